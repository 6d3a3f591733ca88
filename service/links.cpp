/*
 * The channel's SRT and RTP links and their lines in the log. The SRT
 * reports come on the links' threads and on libsrt's (a listener's
 * refusals): each kind of line has a rate limiter of its own, used by that
 * one thread.
 */
#include "service/links.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/log.h"
#include "common/utils.h"
#include "net/rtp_in.h"
#include "net/srt_addr.h"
#include "net/srt_in.h"
#include "net/srt_out.h"
#include "net/udp_addr.h"
#include "net/udp_in.h"
#include "net/udp_out.h"
#include "service/app_ctx.h"
#include "service/ratelimit.h"
#include "service/status.h"

#define LINKS_RTP_LINE_US 60000000  // the RTP input's losses are logged at most this often

/* One side's SRT link and what its lines need. */
struct slicer_srt_side {
    slicer_links *links;
    int side;                   // STATUS_SRT_INPUT or STATUS_SRT_OUTPUT
    int backup;                 // the backup input's link: lines only (the status keeps the input's)
    srt_endpoint ep;
    ratelimit refusals;         // libsrt's thread (a listener's refusals)
    ratelimit failures;         // the link's thread (a caller's attempts)
};

struct slicer_links {
    app_ctx *app;
    int src_scheme;
    int dst_scheme;
    const char *src_rest;       // the source address after its scheme
    const char *dst_rest;
    slicer_srt_side srt_side[2];
    srt_in *srt_src;
    srt_out *srt_dst;
    rtp_in *rtp_src;            // the session's
    rtp_stats rtp_base;         // the sessions' before it
    int bak_scheme;             // -1: no backup input
    const char *bak_rest;
    slicer_srt_side bak_side;
    srt_in *srt_bak;
    rtp_in *rtp_bak;            // the session's
    rtp_stats rtp_logged;       // the RTP thread's: counts at its last line
    int64_t rtp_logged_at;
};

void slicer_links_name(const char *addr, char *buf, size_t size)
{
    const char *rest = addr;
    int scheme = net_addr_scheme(addr, &rest);
    srt_endpoint ep;
    if (scheme == NET_SCHEME_SRT && srt_addr_parse(addr, &ep, nullptr, 0) == 0)
        srt_addr_text(&ep, buf, size);
    else
        snprintf(buf, size, "%s://%s", scheme == NET_SCHEME_RTP ? "rtp" : "udp", rest ? rest : "");
}

static int open_srt_src(slicer_links *l);
static int open_srt_dst(slicer_links *l);
static void slicer_on_srt(void *opaque, const srt_link_report *r);

int slicer_links_create(app_ctx *app, slicer_links **out)
{
    if (!app || !out)
        return -EINVAL;
    *out = nullptr;
    slicer_links *l = new (std::nothrow) slicer_links();
    if (!l)
        return -ENOMEM;
    l->app = app;
    l->src_scheme = net_addr_scheme(app->src_addr, &l->src_rest);
    l->dst_scheme = net_addr_scheme(app->dst_addr, &l->dst_rest);
    const char *addrs[2] = {app->src_addr, app->dst_addr};
    int schemes[2] = {l->src_scheme, l->dst_scheme};
    for (int side = 0; side < 2; side++) {
        l->srt_side[side].links = l;
        l->srt_side[side].side = side;
        if (schemes[side] < 0 ||
            (schemes[side] == NET_SCHEME_SRT && srt_addr_parse(addrs[side], &l->srt_side[side].ep, nullptr, 0) < 0)) {
            delete l;
            return -EINVAL;
        }
    }
    l->bak_scheme = -1;
    l->bak_side.links = l;
    l->bak_side.side = STATUS_SRT_INPUT;
    l->bak_side.backup = 1;
    if (app->backup_addr[0]) {
        l->bak_scheme = net_addr_scheme(app->backup_addr, &l->bak_rest);
        if (l->bak_scheme < 0 ||
            (l->bak_scheme == NET_SCHEME_SRT && srt_addr_parse(app->backup_addr, &l->bak_side.ep, nullptr, 0) < 0)) {
            delete l;
            return -EINVAL;
        }
    }
    /* A listener listens from the start: an output's callers need not wait for the input. */
    open_srt_src(l);
    if (l->bak_scheme == NET_SCHEME_SRT)
        srt_in_create(&l->srt_bak, &l->bak_side.ep, slicer_on_srt, &l->bak_side);
    open_srt_dst(l);
    *out = l;
    return 0;
}

/* ------------------------------------------------------------------------ */
/* SRT lines. */

/* "caller 127.0.0.1" or "peer 127.0.0.1:9000": who a line is about. */
static void who(const slicer_srt_side *s, const char *peer, bool with_port, char *buf, size_t size)
{
    const char *colon = strrchr(peer, ':');
    int len = with_port || !colon ? (int)strlen(peer) : (int)(colon - peer);
    snprintf(buf, size, "%s %.*s", s->ep.mode == SRT_MODE_LISTENER ? "caller" : "peer", len, peer);
}

/* Why a connection was refused or failed, in the operator's words. */
static const char *why_text(const slicer_srt_side *s, const srt_link_report *r)
{
    switch (r->why) {
    case SRT_WHY_PASSPHRASE:
        return "wrong passphrase";
    case SRT_WHY_ENCRYPTION:
        return s->ep.passphrase[0] ? "no passphrase, where this end requires one"
                                   : "a passphrase, where this end has none";
    case SRT_WHY_STREAMID:
        return "another stream id than the one set";
    case SRT_WHY_TIMEOUT:
        return "no answer";
    default:
        return r->reason;
    }
}

/* A report of one side's link: its line, the channel's status. Never throws. */
static void slicer_on_srt(void *opaque, const srt_link_report *r)
{
    try {
        slicer_srt_side *s = (slicer_srt_side *)opaque;
        app_ctx *app = s->links->app;
        const char *side = s->backup ? "backup input" : s->side == STATUS_SRT_INPUT ? "input" : "output";
        char peer[96], other[96];
        if (!s->backup)
            status_set_srt(&app->status, s->side, &r->stats);
        switch (r->change) {
        case SRT_LINK_CONNECTED:
            who(s, r->peer, true, peer, sizeof(peer));
            log_printf(LOG_INFO, "%s: %s: %s connected, latency %" PRId64 " ms%s", "slicer_on_srt", side, peer,
                       r->stats.latency_ms, s->ep.passphrase[0] ? ", encrypted" : "");
            break;
        case SRT_LINK_LEFT:
            who(s, r->peer, true, peer, sizeof(peer));
            log_printf(LOG_ERROR, "%s: %s: %s gone after %.1f s (%s); %s", "slicer_on_srt", side, peer,
                       r->connected_ms / 1000.0, r->reason,
                       s->ep.mode == SRT_MODE_LISTENER ? "waiting for a caller" : "calling again");
            break;
        case SRT_LINK_REPLACED:
            who(s, r->other, true, other, sizeof(other));
            log_printf(LOG_INFO, "%s: %s: %s replaces caller %s", "slicer_on_srt", side, other, r->peer);
            break;
        case SRT_LINK_REFUSED:
            who(s, r->peer, false, peer, sizeof(peer));
            ratelimit_log(&s->refusals, status_now_us(), LOG_ERROR, "%s: %s: %s refused: %s", "slicer_on_srt", side,
                          peer, why_text(s, r));
            break;
        case SRT_LINK_FAILED:
            who(s, r->peer, true, peer, sizeof(peer));
            ratelimit_log(&s->failures, status_now_us(), LOG_ERROR, "%s: %s: cannot connect to %s: %s; trying again "
                          "within %d s", "slicer_on_srt", side, peer, why_text(s, r), SRT_LINK_BACKOFF_MAX_MS / 1000);
            break;
        default:
            break;
        }
    } catch (...) {
    }
}

/* ------------------------------------------------------------------------ */
/* RTP. */

/* The RTP input's counts (its thread, once a second): the status, and a line when datagrams went missing. */
static void slicer_on_rtp(void *opaque, const rtp_stats *st)
{
    try {
        slicer_links *l = (slicer_links *)opaque;
        rtp_stats all = *st;
        const rtp_stats &b = l->rtp_base;
        all.datagrams += b.datagrams, all.lost += b.lost, all.reordered += b.reordered;
        all.duplicates += b.duplicates, all.late += b.late, all.resyncs += b.resyncs, all.not_rtp += b.not_rtp;
        status_set_rtp(&l->app->status, &all);
        rtp_stats &was = l->rtp_logged;
        int64_t now = status_now_us();
        bool news = all.lost > was.lost || all.duplicates > was.duplicates || all.not_rtp > was.not_rtp;
        if (!news || (l->rtp_logged_at && now - l->rtp_logged_at < LINKS_RTP_LINE_US))
            return;
        log_printf(LOG_ERROR, "%s: input: %" PRId64 " RTP datagrams lost (%" PRId64 " of them late), %" PRId64
                   " reordered, %" PRId64 " duplicated, %" PRId64 " without an RTP header, since the last count (%"
                   PRId64 " lost in all)", "slicer_on_rtp", all.lost - was.lost, all.late - was.late,
                   all.reordered - was.reordered, all.duplicates - was.duplicates, all.not_rtp - was.not_rtp, all.lost);
        was = all;
        l->rtp_logged_at = now;
    } catch (...) {
    }
}

/* ------------------------------------------------------------------------ */

/* The SRT input, unless it is open or the source is no SRT. 0 or srt_in_create's error. */
static int open_srt_src(slicer_links *l)
{
    if (l->src_scheme != NET_SCHEME_SRT || l->srt_src)
        return 0;
    return srt_in_create(&l->srt_src, &l->srt_side[STATUS_SRT_INPUT].ep, slicer_on_srt,
                         &l->srt_side[STATUS_SRT_INPUT]);
}

static int open_srt_dst(slicer_links *l)
{
    if (l->dst_scheme != NET_SCHEME_SRT || l->srt_dst)
        return 0;
    return srt_out_create(&l->srt_dst, &l->srt_side[STATUS_SRT_OUTPUT].ep, slicer_on_srt,
                          &l->srt_side[STATUS_SRT_OUTPUT]);
}

int slicer_links_receiver(slicer_links *l, const udp_in_config *config, udp_in **out)
{
    if (!l || !config || !out)
        return -EINVAL;
    *out = nullptr;
    udp_in_config c = *config;
    if (l->src_scheme == NET_SCHEME_UDP) {
        c.addr = l->src_rest;
        return udp_in_create(out, &c);
    }
    int ret = open_srt_src(l);
    if (ret < 0)
        return ret;
    c.fed = 1;
    ret = udp_in_create(out, &c);
    if (ret < 0)
        return ret;
    if (l->src_scheme == NET_SCHEME_SRT) {
        srt_in_attach(l->srt_src, *out);
        return 0;
    }
    c = *config;
    c.addr = l->src_rest;
    ret = rtp_in_create(&l->rtp_src, &c, *out, slicer_on_rtp, l);
    if (ret < 0)
        udp_in_destroy(out);
    return ret;
}

int slicer_links_backup_receiver(slicer_links *l, const udp_in_config *config, udp_in **out)
{
    if (!l || !config || !out || l->bak_scheme < 0)
        return -EINVAL;
    *out = nullptr;
    udp_in_config c = *config;
    c.addr = l->bak_rest;
    if (l->bak_scheme == NET_SCHEME_UDP)
        return udp_in_create(out, &c);
    if (l->bak_scheme == NET_SCHEME_SRT && !l->srt_bak) {
        int ret = srt_in_create(&l->srt_bak, &l->bak_side.ep, slicer_on_srt, &l->bak_side);
        if (ret < 0)
            return ret;
    }
    c.fed = 1;
    int ret = udp_in_create(out, &c);
    if (ret < 0)
        return ret;
    if (l->bak_scheme == NET_SCHEME_SRT) {
        srt_in_attach(l->srt_bak, *out);
        return 0;
    }
    c.fed = 0;
    ret = rtp_in_create(&l->rtp_bak, &c, *out, nullptr, nullptr);
    if (ret < 0)
        udp_in_destroy(out);
    return ret;
}

void slicer_links_backup_close(slicer_links *l, udp_in **src)
{
    if (!l || !src || !*src)
        return;
    if (l->srt_bak)
        srt_in_attach(l->srt_bak, nullptr);
    rtp_in_destroy(&l->rtp_bak);
    udp_in_destroy(src);
}

void slicer_links_receiver_close(slicer_links *l, udp_in **src)
{
    if (!l || !src || !*src)
        return;
    if (l->srt_src)
        srt_in_attach(l->srt_src, nullptr);
    if (l->rtp_src) {
        rtp_stats st;
        rtp_in_destroy(&l->rtp_src);  // its last count told: the totals include it
        if (status_rtp(&l->app->status, &st))
            l->rtp_base = st;
    }
    udp_in_destroy(src);
}

int slicer_links_sender(slicer_links *l, udp_out_config *config)
{
    if (!l || !config)
        return -EINVAL;
    config->addr = l->dst_rest;
    if (l->dst_scheme == NET_SCHEME_RTP)
        config->rtp = 1;
    if (l->dst_scheme != NET_SCHEME_SRT)
        return 0;
    int ret = open_srt_dst(l);
    if (ret < 0)
        return ret;
    config->rtp = 0;  // TS in SRT messages, as srt-live-transmit and the libraries expect
    config->send = srt_out_send;
    config->send_opaque = l->srt_dst;
    return 0;
}

void slicer_links_destroy(slicer_links **p)
{
    if (!p || !*p)
        return;
    slicer_links *l = *p;
    *p = nullptr;
    srt_in_destroy(&l->srt_src);
    srt_in_destroy(&l->srt_bak);
    srt_out_destroy(&l->srt_dst);
    for (slicer_srt_side &s : l->srt_side) {
        ratelimit_flush(&s.refusals, status_now_us());
        ratelimit_flush(&s.failures, status_now_us());
    }
    ratelimit_flush(&l->bak_side.refusals, status_now_us());
    ratelimit_flush(&l->bak_side.failures, status_now_us());
    delete l;
}
