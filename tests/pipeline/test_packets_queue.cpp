// Packet queue: capacity + 1 slots, push order, failures that leave the
// packet with the caller, and destroy freeing what is still held (leaks are
// reported by AddressSanitizer at exit).
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/packet.h>
}

#include "pipeline/packets_queue.h"

namespace {

AVPacket *packet(int64_t pts)
{
    AVPacket *p = av_packet_alloc();
    p->pts = pts;
    return p;
}

} // namespace

TEST(PacketsQueue, HoldsCapacityPlusOneInPushOrder)
{
    packets_queue *q = nullptr;
    ASSERT_EQ(0, packets_queue_create(&q, 16));
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(16, q->capacity);
    EXPECT_EQ(0, q->count);

    for (int i = 0; i < 17; i++)
        ASSERT_EQ(i + 1, packets_queue_push(q, packet(i)));

    AVPacket *extra = packet(99);
    EXPECT_EQ(-12, packets_queue_push(q, extra));
    EXPECT_EQ(17, q->count);
    av_packet_free(&extra);  // still ours: ASan would report a double free otherwise

    for (int i = 0; i < 17; i++) {
        AVPacket *p = nullptr;
        ASSERT_EQ(16 - i, packets_queue_pop(q, &p));
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(i, p->pts);
        av_packet_free(&p);
    }

    AVPacket *mine = packet(5);
    AVPacket *p = mine;
    EXPECT_EQ(-12, packets_queue_pop(q, &p));
    EXPECT_EQ(nullptr, p);  // the pointer is cleared, the packet not freed
    EXPECT_EQ(0, q->count);
    av_packet_free(&mine);

    // Refill after emptying: the queue works again from the head.
    EXPECT_EQ(1, packets_queue_push(q, packet(40)));
    EXPECT_EQ(0, packets_queue_pop(q, &p));
    EXPECT_EQ(40, p->pts);
    av_packet_free(&p);

    EXPECT_EQ(0, packets_queue_destroy(&q));
}

TEST(PacketsQueue, DestroyFreesHeldPacketsOnce)
{
    packets_queue *q = nullptr;
    ASSERT_EQ(0, packets_queue_create(&q, 16));
    for (int i = 0; i < 17; i++) {
        AVPacket *p = packet(i);
        ASSERT_EQ(0, av_new_packet(p, 188));  // with data, so a leak would show
        packets_queue_push(q, p);
    }
    EXPECT_EQ(0, packets_queue_destroy(&q));
    EXPECT_EQ(nullptr, q);
    EXPECT_EQ(-22, packets_queue_destroy(&q));
    EXPECT_EQ(-22, packets_queue_destroy(nullptr));
}

TEST(PacketsQueue, CreateArguments)
{
    EXPECT_EQ(-22, packets_queue_create(nullptr, 16));

    packets_queue stale = {};
    packets_queue *q = &stale;  // a stale value is cleared
    EXPECT_EQ(-22, packets_queue_create(&q, -1));
    EXPECT_EQ(nullptr, q);

    // Capacity 0 still holds one packet.
    ASSERT_EQ(0, packets_queue_create(&q, 0));
    EXPECT_EQ(1, packets_queue_push(q, packet(1)));
    AVPacket *p = packet(2);
    EXPECT_EQ(-12, packets_queue_push(q, p));
    av_packet_free(&p);
    EXPECT_EQ(-22, packets_queue_push(nullptr, nullptr));
    EXPECT_EQ(0, packets_queue_destroy(&q));
}
