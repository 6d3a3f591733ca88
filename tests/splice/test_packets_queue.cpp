// Packet queue: capacity + 1 slots in push order, failures that leave the
// packet with the caller, and destroy freeing what is still held (leaks and
// double frees are reported by AddressSanitizer).
#include <gtest/gtest.h>

#include <cerrno>

extern "C" {
#include <libavcodec/packet.h>
}

#include "splice/packets_queue.h"

namespace {

AVPacket *packet(int64_t pts)
{
    AVPacket *p = av_packet_alloc();
    p->pts = pts;
    return p;
}

/* Takes the queue's head: its pts, or the pop's result when it failed (and left *out null). */
int64_t take(packets_queue *q)
{
    AVPacket *p = packet(-2);
    AVPacket *keep = p;
    int ret = packets_queue_pop(q, &p);
    int64_t pts = ret < 0 ? ret : p->pts;
    EXPECT_TRUE(ret >= 0 || p == nullptr);
    if (ret >= 0)
        av_packet_free(&p);
    av_packet_free(&keep);
    return pts;
}

} // namespace

TEST(PacketsQueue, HoldsCapacityPlusOneInPushOrder)
{
    for (int capacity : {0, 16}) {
        packets_queue *q = nullptr;
        ASSERT_EQ(0, packets_queue_create(&q, capacity));
        for (int round = 0; round < 2; round++) {  // again after emptying
            for (int i = 0; i <= capacity; i++)
                ASSERT_EQ(i + 1, packets_queue_push(q, packet(i)));
            AVPacket *extra = packet(99);
            EXPECT_EQ(-12, packets_queue_push(q, extra));
            av_packet_free(&extra);  // still ours: a double free otherwise
            for (int i = 0; i <= capacity; i++)
                ASSERT_EQ(i, take(q));
            EXPECT_EQ(-EAGAIN, take(q));
        }
        EXPECT_EQ(0, packets_queue_destroy(&q));
        EXPECT_EQ(nullptr, q);
    }
}

TEST(PacketsQueue, DestroyFreesHeldPacketsOnceAndArgumentsAreChecked)
{
    packets_queue *q = nullptr;
    ASSERT_EQ(0, packets_queue_create(&q, 16));
    for (int i = 0; i < 17; i++) {
        AVPacket *p = packet(i);
        ASSERT_EQ(0, av_new_packet(p, 188));  // with data, so a leak would show
        packets_queue_push(q, p);
    }
    EXPECT_EQ(0, packets_queue_destroy(&q));
    EXPECT_EQ(-22, packets_queue_destroy(&q));
    EXPECT_EQ(-22, packets_queue_create(nullptr, 16));
    packets_queue stale = {};
    q = &stale;
    EXPECT_EQ(-22, packets_queue_create(&q, -1));
    EXPECT_EQ(nullptr, q);
}
