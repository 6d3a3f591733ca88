/* SRT output: the paced sender's datagrams as messages to the link's peer. */
#include "net/srt_out.h"

#include <cerrno>
#include <new>

#include <srt/srt.h>

struct srt_out {
    srt_link *link;
};

int srt_out_send(void *opaque, const uint8_t *data, int len)
{
    srt_out *o = (srt_out *)opaque;
    if (!o || !data || len <= 0)
        return -EINVAL;
    int s = srt_link_socket(o->link);
    if (s == SRT_INVALID_SOCK) {
        srt_link_count_unsent(o->link, 1);
        return 0;
    }
    if (srt_sendmsg(s, (const char *)data, len, -1, 1) != SRT_ERROR)
        return 0;
    srt_link_count_unsent(o->link, 1);
    return srt_getlasterror(nullptr) == SRT_EASYNCSND ? -ENOBUFS : -EPIPE;
}

int srt_out_create(srt_out **out, const srt_endpoint *ep, srt_link_report_fn on_report, void *opaque)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    srt_out *o = new (std::nothrow) srt_out();
    if (!o)
        return -ENOMEM;
    srt_link_config config = {};
    config.ep = ep;
    config.sender = 1;
    config.on_report = on_report;
    config.opaque = opaque;
    int ret = srt_link_create(&o->link, &config);
    if (ret < 0) {
        delete o;
        return ret;
    }
    *out = o;
    return 0;
}

int srt_out_get_stats(srt_out *o, srt_link_stats *stats)
{
    return o ? srt_link_get_stats(o->link, stats) : -EINVAL;
}

int srt_out_destroy(srt_out **p)
{
    if (!p || !*p)
        return -EINVAL;
    srt_out *o = *p;
    *p = nullptr;
    srt_link *link = o->link;  // a sender still sending reads o->link
    srt_link_destroy(&link);
    delete o;
    return 0;
}
