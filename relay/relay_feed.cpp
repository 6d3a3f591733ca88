/*
 * A live input's demuxer on a thread of its own.
 *
 * The demuxer blocks in its reads while the input is silent; the relay's
 * loop must not: it keeps the output going, ends breaks and airs the slate
 * on the wall clock. So the reader thread runs the demuxer and queues each
 * packet with the time it was read, and the loop takes them with a deadline
 * and acts on time between them. The two share the input (demuxer, input
 * filter and its passthrough queue) under one lock, which the reader holds
 * while it demultiplexes and gives up around every read from the source
 * (ts_in_set_lock), where it waits for the input; the loop takes it for
 * everything it does (relay_feed_take).
 */
#include "relay/relay_internal.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <pthread.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "common/handoff.h"
#include "ts/ts_in.h"
#include "common/utils.h"

#define FEED_CAPACITY 512  // packets read and not yet taken: the reader waits beyond

struct feed_item {
    AVPacket *pkt;
    int64_t at;  // µs (monotonic) when it was read
};

struct relay_feed {
    relay *r;
    handoff input;             // the demuxer, the input filter, what passes through
    std::mutex lock;           // the queue below
    std::condition_variable filled;
    std::condition_variable emptied;
    feed_item items[FEED_CAPACITY];
    int head;
    int count;
    int end;                   // the reader's last result (AVERROR_EOF, an error); 0 while it reads
    int64_t heard;             // µs (monotonic) the latest audio or video packet was read at; 0: none yet
    bool quit;
    pthread_t thread;
};

/*
 * Queues pkt read at at (heard: an audio or video packet); waits for room.
 * False when the loop has stopped the feed (pkt is freed).
 */
static bool feed_put(relay_feed *f, AVPacket *pkt, int64_t at, bool heard)
{
    std::unique_lock<std::mutex> lk(f->lock);
    if (heard)
        f->heard = at;  // the input is there, however far behind the loop is
    f->emptied.wait(lk, [f] { return f->quit || f->count < FEED_CAPACITY; });
    if (f->quit) {
        lk.unlock();
        av_packet_free(&pkt);
        return false;
    }
    f->items[(f->head + f->count) % FEED_CAPACITY] = {pkt, at};
    f->count++;
    f->filled.notify_one();
    return true;
}

static void feed_end(relay_feed *f, int ret)
{
    std::lock_guard<std::mutex> lk(f->lock);
    f->end = ret < 0 ? ret : AVERROR_EOF;
    f->filled.notify_one();
}

static void feed_loop(relay_feed *f, bool *held);

/*
 * The reader thread. Whatever throws in it (memory for the reader's own
 * C++ parts) ends the read as a failed one: the input is given back and
 * the loop sees the error, so that no exception leaves the thread and the
 * session ends as at any failed read.
 */
static void *feed_thread(void *arg)
{
    utils_name_thread("feed");
    relay_feed *f = (relay_feed *)arg;
    bool held = false;
    try {
        feed_loop(f, &held);
    } catch (...) {
        try {
            if (held)
                handoff_release(&f->input);
            feed_end(f, AVERROR(ENOMEM));
        } catch (...) {
        }
    }
    return nullptr;
}

static void feed_loop(relay_feed *f, bool *held)
{
    int ret = 0;

    handoff_acquire(&f->input);
    *held = true;
    for (;;) {
        AVPacket *pkt = av_packet_alloc();
        ret = pkt ? relay_pes_next(f->r, pkt) : AVERROR(ENOMEM);
        if (ret == AVERROR(EAGAIN)) {  // the filter yields only when asked to; read on
            ts_in_resume(f->r->filter);
            av_packet_free(&pkt);
            continue;
        }
        if (ret < 0) {
            av_packet_free(&pkt);
            break;
        }
        int64_t at = av_gettime_relative();
        const AVStream *st = f->r->in->streams[pkt->stream_index];
        bool heard = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO || st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        handoff_release(&f->input);
        *held = false;
        bool go = feed_put(f, pkt, at, heard);
        handoff_acquire(&f->input);
        *held = true;
        if (!go)
            break;
    }
    handoff_release(&f->input);
    *held = false;
    feed_end(f, ret);
}

int relay_feed_start(relay *r, relay_feed **out)
{
    relay_feed *f = new (std::nothrow) relay_feed();
    if (!f)
        return AVERROR(ENOMEM);
    f->r = r;
    ts_in_cancel(r->filter, false);
    ts_in_set_lock(r->filter, &f->input);
    int ret = pthread_create(&f->thread, nullptr, feed_thread, f);
    if (ret != 0) {
        ts_in_set_lock(r->filter, nullptr);
        delete f;
        return AVERROR(ret);
    }
    *out = f;
    return 0;
}

int relay_feed_next(relay_feed *f, AVPacket **pkt, int64_t *at, int64_t deadline)
{
    std::unique_lock<std::mutex> lk(f->lock);
    if (f->count == 0 && !f->end) {
        int64_t wait = deadline - av_gettime_relative();
        if (wait > 0)
            f->filled.wait_for(lk, std::chrono::microseconds(wait), [f] { return f->count > 0 || f->end; });
    }
    if (f->count == 0)
        return f->end;
    *pkt = f->items[f->head].pkt;
    *at = f->items[f->head].at;
    f->head = (f->head + 1) % FEED_CAPACITY;
    f->count--;
    f->emptied.notify_one();
    return 1;
}

int64_t relay_feed_heard(relay_feed *f)
{
    std::lock_guard<std::mutex> lk(f->lock);
    return f->heard;
}

void relay_feed_take(relay_feed *f)
{
    handoff_take(&f->input);
}

void relay_feed_give(relay_feed *f)
{
    handoff_give(&f->input);
}

void relay_feed_stop(relay_feed **p)
{
    relay_feed *f = *p;
    if (!f)
        return;
    {
        std::lock_guard<std::mutex> lk(f->lock);
        f->quit = true;
        f->emptied.notify_all();
    }
    ts_in_cancel(f->r->filter, true);
    pthread_join(f->thread, nullptr);
    ts_in_set_lock(f->r->filter, nullptr);
    ts_in_cancel(f->r->filter, false);
    for (; f->count > 0; f->count--) {
        av_packet_free(&f->items[f->head].pkt);
        f->head = (f->head + 1) % FEED_CAPACITY;
    }
    delete f;
    *p = nullptr;
}
