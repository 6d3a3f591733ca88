/* SRT input: the link's messages into the attached ring. */
#include "net/srt_in.h"
#include "net/udp_addr.h"
#include "net/udp_in.h"

#include <cerrno>
#include <ctime>
#include <mutex>
#include <new>

#include <srt/srt.h>

#define SRT_IN_MESSAGE 1500  // longer than a live message (SRTO_PAYLOADSIZE, 1456 at most)
#define SRT_IN_GATHER_NS 3000000  // after a few messages, let this much more come before the next read
#define SRT_IN_FEW 32

struct srt_in {
    srt_link *link;
    std::mutex lock;         // guards ring against attach while the link's thread pushes
    udp_in *ring;
    char buf[SRT_IN_MESSAGE];
};

/*
 * The link's thread: every message waiting on s goes into the ring. libsrt
 * hands each over at its own time (TSBPD), one wake-up a message: after a
 * few, the thread lets a few milliseconds' worth gather, as the UDP
 * receiver does.
 */
static void srt_in_readable(void *opaque, int s)
{
    srt_in *in = (srt_in *)opaque;
    int64_t unsent = 0, got = 0;
    {
        std::lock_guard<std::mutex> guard(in->lock);
        for (;;) {
            int n = srt_recvmsg(s, in->buf, sizeof(in->buf));
            if (n <= 0)
                break;  // none left (SRT_EASYNCRCV), or the connection ended: the link sees it
            got++;
            if (in->ring)
                udp_in_push(in->ring, (const uint8_t *)in->buf, n, udp_now_ns());
            else
                unsent++;
        }
    }
    if (unsent)
        srt_link_count_unsent(in->link, unsent);
    if (got > 0 && got < SRT_IN_FEW) {
        timespec gather = {0, SRT_IN_GATHER_NS};
        nanosleep(&gather, nullptr);
    }
}

int srt_in_create(srt_in **out, const srt_endpoint *ep, srt_link_report_fn on_report, void *opaque)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    srt_in *in = new (std::nothrow) srt_in();
    if (!in)
        return -ENOMEM;
    srt_link_config config = {};
    config.ep = ep;
    config.sender = 0;
    config.on_report = on_report;
    config.opaque = opaque;
    config.readable = srt_in_readable;
    config.hook_opaque = in;
    int ret = srt_link_create(&in->link, &config);
    if (ret < 0) {
        delete in;
        return ret;
    }
    *out = in;
    return 0;
}

int srt_in_attach(srt_in *in, udp_in *ring)
{
    if (!in)
        return -EINVAL;
    std::lock_guard<std::mutex> guard(in->lock);
    in->ring = ring;
    return 0;
}

int srt_in_get_stats(srt_in *in, srt_link_stats *stats)
{
    return in ? srt_link_get_stats(in->link, stats) : -EINVAL;
}

int srt_in_destroy(srt_in **p)
{
    if (!p || !*p)
        return -EINVAL;
    srt_in *in = *p;
    *p = nullptr;
    srt_link *link = in->link;  // the link's thread reads in->link until it is joined
    srt_link_destroy(&link);
    delete in;
    return 0;
}
