/*
 * An SRT connection kept up by a thread of its own (see srt_link.h).
 *
 * The thread alone creates, connects, accepts and closes sockets; current
 * (the socket data goes through) is an atomic that any thread reads: libsrt
 * checks every socket id it is given, so a send on one just closed fails
 * and does no harm. The counters of the connections that ended add up in
 * base; the published stats are base plus the current connection's.
 */
#include "net/srt_link.h"
#include "net/udp_addr.h"
#include "common/utils.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>

#include <srt/srt.h>
#include <srt/access_control.h>

#define LINK_WAIT_MS      100        // the thread's longest wait: it sees destroy this often
#define LINK_EVENTS       8
#define LINK_BACKLOG      4
#define SRT_LOG_WARNING   4          // syslog's LOG_WARNING: libsrt tells refusals at this level
#define REFUSAL_WINDOW_NS 1000000000 // a refusal in libsrt's log belongs to the handshake seen this recently

struct srt_link {
    srt_endpoint ep;
    int sender;
    srt_link_report_fn on_report;
    void *opaque;
    void (*readable)(void *hook_opaque, int s);
    void *hook_opaque;

    std::atomic<int> quit;
    std::atomic<int> current;        // connected socket; SRT_INVALID_SOCK without
    int listener;                    // SRT_INVALID_SOCK but for a listener
    int connecting;                  // a caller's or rendezvous's socket being connected
    int eid;
    sockaddr_in remote;              // the peer called; a listener's own address
    sockaddr_in local;               // what a caller binds (rendezvous: the port; adapter)
    bool bind_local;
    char remote_text[64];
    char current_peer[64];
    int64_t connected_at_ns;
    int64_t attempts;                // failed in a row
    int64_t next_attempt_ns;
    int64_t stats_at_ns;
    pthread_t thread;

    std::mutex lock;                 // guards what follows
    srt_link_stats stats;            // as published
    srt_link_stats base;             // the sums of the connections that ended
    std::atomic<int64_t> unsent;
};

namespace {

/*
 * The listener whose handshake libsrt is processing on this (libsrt's)
 * thread: the next refusal in libsrt's log is its caller's.
 */
struct pending_handshake {
    srt_link *link;
    char peer[64];
    int64_t at_ns;
    bool told;       // refused and told already
};
thread_local pending_handshake tl_handshake;
std::once_flag log_handler_once;

/* The links alive: a handshake's link is told of its refusal only while it is one of them. */
#define LINK_REGISTRY 16
std::mutex registry_lock;
srt_link *registry[LINK_REGISTRY];

bool registry_set(srt_link *l, srt_link *to)
{
    std::lock_guard<std::mutex> guard(registry_lock);
    for (srt_link *&r : registry) {
        if (r == l) {
            r = to;
            return true;
        }
    }
    return false;
}

void addr_text(const sockaddr *a, char *buf, size_t size)
{
    buf[0] = '\0';
    if (!a || a->sa_family != AF_INET)
        return;
    const sockaddr_in *in = (const sockaddr_in *)a;
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
    snprintf(buf, size, "%s:%d", host, ntohs(in->sin_port));
}

int why_of_reject(int reject)
{
    switch (reject) {
    case SRT_REJ_BADSECRET: return SRT_WHY_PASSPHRASE;
    case SRT_REJ_UNSECURE: return SRT_WHY_ENCRYPTION;
    case SRT_REJ_TIMEOUT: return SRT_WHY_TIMEOUT;
    case SRT_REJ_SYSTEM: return SRT_WHY_SYSTEM;
    case SRT_REJ_PEER: return SRT_WHY_PEER;
    default: return reject >= SRT_REJC_PREDEFINED ? SRT_WHY_PEER : SRT_WHY_OTHER;
    }
}

void reject_text(int reject, char *buf, size_t size)
{
    if (reject >= SRT_REJC_PREDEFINED)
        snprintf(buf, size, "refused by the peer's application with code %d", reject);
    else
        snprintf(buf, size, "%s", srt_rejectreason_str(reject));
}

void report(srt_link *l, srt_link_report *r)
{
    {
        std::lock_guard<std::mutex> guard(l->lock);
        r->stats = l->stats;
    }
    r->stats.unsent = l->unsent.load();
    if (l->on_report)
        l->on_report(l->opaque, r);
}

/* A caller refused by the listener (on libsrt's thread). */
void tell_refused(srt_link *l, int why, const char *peer, const char *reason)
{
    srt_link_report r = {};
    r.change = SRT_LINK_REFUSED;
    r.why = why;
    utils_strlcpy(r.peer, peer, sizeof(r.peer));
    utils_strlcpy(r.reason, reason, sizeof(r.reason));
    {
        std::lock_guard<std::mutex> guard(l->lock);
        l->stats.refused++;
        l->base.refused++;
    }
    report(l, &r);
}

/*
 * libsrt's log, warnings and worse: a listener's refusal of a handshake
 * ("processConnectRequest: rsp(REJECT): 1010 - Incorrect passphrase") goes
 * to the link whose handshake it is; nothing else is kept. Never throws.
 */
void on_srt_log(void *opaque, int level, const char *file, int line, const char *area, const char *message)
{
    (void)opaque, (void)level, (void)file, (void)line, (void)area;
    try {
        static const char marker[] = "rsp(REJECT): ";
        const char *at = message ? strstr(message, marker) : nullptr;
        pending_handshake &p = tl_handshake;
        if (!at || !p.link || p.told || udp_now_ns() - p.at_ns > REFUSAL_WINDOW_NS)
            return;
        int code = atoi(at + sizeof(marker) - 1);
        if (code >= 1000)
            code -= 1000;  // the handshake carries the reason past its request types
        p.told = true;
        char reason[160];
        reject_text(code, reason, sizeof(reason));
        std::lock_guard<std::mutex> guard(registry_lock);  // the link stays while it is told
        for (srt_link *r : registry)
            if (r && r == p.link)
                tell_refused(p.link, why_of_reject(code), p.peer, reason);
    } catch (...) {
    }
}

/*
 * A caller's handshake reaches a listener (on libsrt's thread): its stream
 * id is checked. A listener being destroyed (no longer a registered link)
 * refuses it. Never throws.
 */
int on_listen(void *opaque, SRTSOCKET ns, int hsversion, const sockaddr *peer, const char *streamid)
{
    (void)hsversion;
    try {
        srt_link *l = (srt_link *)opaque;
        std::lock_guard<std::mutex> guard(registry_lock);  // the link stays while its handshake is looked at
        bool alive = false;
        for (srt_link *r : registry)
            alive |= r == l;
        if (!alive)
            return -1;
        pending_handshake &p = tl_handshake;
        p.link = l;
        addr_text(peer, p.peer, sizeof(p.peer));
        p.at_ns = udp_now_ns();
        p.told = false;
        if (l->ep.streamid[0] && strcmp(streamid ? streamid : "", l->ep.streamid) != 0) {
            srt_setrejectreason(ns, SRT_REJX_NOTFOUND);
            p.told = true;
            char reason[160];
            snprintf(reason, sizeof(reason), "stream id \"%.100s\"", streamid ? streamid : "");
            tell_refused(l, SRT_WHY_STREAMID, p.peer, reason);
            return -1;
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

int set_int(SRTSOCKET s, SRT_SOCKOPT opt, int value)
{
    return srt_setsockflag(s, opt, &value, sizeof(value));
}

/* The endpoint's options on s, before it binds or connects. 0 or -EINVAL. */
int apply_options(const srt_link *l, SRTSOCKET s)
{
    const srt_endpoint *ep = &l->ep;
    int ret = 0;
    ret |= set_int(s, SRTO_TRANSTYPE, SRTT_LIVE);
    ret |= set_int(s, SRTO_RCVSYN, 0);
    ret |= set_int(s, SRTO_SNDSYN, 0);
    if (ep->passphrase[0])
        ret |= srt_setsockflag(s, SRTO_PASSPHRASE, ep->passphrase, (int)strlen(ep->passphrase));
    if (ep->pbkeylen)
        ret |= set_int(s, SRTO_PBKEYLEN, ep->pbkeylen);
    if (ep->latency_ms >= 0)
        ret |= set_int(s, SRTO_LATENCY, ep->latency_ms);
    if (ep->rcvlatency_ms >= 0)
        ret |= set_int(s, SRTO_RCVLATENCY, ep->rcvlatency_ms);
    if (ep->peerlatency_ms >= 0)
        ret |= set_int(s, SRTO_PEERLATENCY, ep->peerlatency_ms);
    if (ep->streamid[0] && ep->mode != SRT_MODE_LISTENER)
        ret |= srt_setsockflag(s, SRTO_STREAMID, ep->streamid, (int)strlen(ep->streamid));
    if (ep->conntimeo_ms >= 0)
        ret |= set_int(s, SRTO_CONNTIMEO, ep->conntimeo_ms);
    if (ep->maxbw != -2) {
        int64_t v = ep->maxbw;
        ret |= srt_setsockflag(s, SRTO_MAXBW, &v, sizeof(v));
    }
    if (ep->oheadbw >= 0)
        ret |= set_int(s, SRTO_OHEADBW, ep->oheadbw);
    ret |= set_int(s, SRTO_ENFORCEDENCRYPTION, ep->enforced);
    if (ep->mode == SRT_MODE_RENDEZVOUS)
        ret |= set_int(s, SRTO_RENDEZVOUS, 1);
    return ret == 0 ? 0 : -EINVAL;
}

/* This connection's counts and gauges. */
void read_connection(const srt_link *l, SRTSOCKET s, srt_link_stats *c)
{
    SRT_TRACEBSTATS p;
    memset(c, 0, sizeof(*c));
    if (srt_bstats(s, &p, 0) != 0)
        return;
    c->rtt_us = (int64_t)(p.msRTT * 1000);
    if (l->sender) {
        c->packets = p.pktSentUniqueTotal;
        c->lost = p.pktSndLossTotal;
        c->retransmitted = p.pktRetransTotal;
        c->dropped = p.pktSndDropTotal;
        c->buffer_ms = p.msSndBuf;
        c->buffer_bytes = p.byteSndBuf;
        c->latency_ms = p.msSndTsbPdDelay;
    } else {
        c->packets = p.pktRecvUniqueTotal;
        c->lost = p.pktRcvLossTotal;
        c->retransmitted = p.pktRcvRetrans;
        c->dropped = p.pktRcvDropTotal;
        c->buffer_ms = p.msRcvBuf;
        c->buffer_bytes = p.byteRcvBuf;
        c->latency_ms = p.msRcvTsbPdDelay;
        c->undecrypted = p.pktRcvUndecryptTotal;
    }
}

/* base + the current connection's counts into stats (the link's thread). */
void publish(srt_link *l)
{
    srt_link_stats c = {};
    int s = l->current.load();
    if (s != SRT_INVALID_SOCK)
        read_connection(l, s, &c);
    std::lock_guard<std::mutex> guard(l->lock);
    srt_link_stats st = l->base;
    st.connected = s != SRT_INVALID_SOCK;
    utils_strlcpy(st.peer, st.connected ? l->current_peer : "", sizeof(st.peer));
    st.rtt_us = c.rtt_us;
    st.packets += c.packets;
    st.lost += c.lost;
    st.retransmitted += c.retransmitted;
    st.dropped += c.dropped;
    st.undecrypted += c.undecrypted;
    st.buffer_ms = c.buffer_ms;
    st.buffer_bytes = c.buffer_bytes;
    st.latency_ms = c.latency_ms;
    st.unsent = l->unsent.load();
    l->stats = st;
}

/* Ends the current connection: its counts into base, the socket closed. */
void close_current(srt_link *l)
{
    int s = l->current.exchange(SRT_INVALID_SOCK);
    if (s == SRT_INVALID_SOCK)
        return;
    srt_link_stats c;
    read_connection(l, s, &c);
    srt_epoll_remove_usock(l->eid, s);
    srt_close(s);
    std::lock_guard<std::mutex> guard(l->lock);
    l->base.packets += c.packets;
    l->base.lost += c.lost;
    l->base.retransmitted += c.retransmitted;
    l->base.dropped += c.dropped;
    l->base.undecrypted += c.undecrypted;
}

/* s is connected to peer: data goes through it from now on. */
void take_connection(srt_link *l, SRTSOCKET s, const char *peer)
{
    if (l->current.load() != SRT_INVALID_SOCK) {
        srt_link_report r = {};
        r.change = SRT_LINK_REPLACED;
        utils_strlcpy(r.peer, l->current_peer, sizeof(r.peer));
        utils_strlcpy(r.other, peer, sizeof(r.other));
        close_current(l);
        publish(l);
        report(l, &r);
    }
    int events = l->sender ? SRT_EPOLL_ERR : SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(l->eid, s, &events);
    utils_strlcpy(l->current_peer, peer, sizeof(l->current_peer));
    l->connected_at_ns = udp_now_ns();
    l->attempts = 0;
    {
        std::lock_guard<std::mutex> guard(l->lock);
        l->base.connections++;
    }
    l->current.store(s);
    publish(l);
    srt_link_report r = {};
    r.change = SRT_LINK_CONNECTED;
    utils_strlcpy(r.peer, peer, sizeof(r.peer));
    report(l, &r);
}

/* The current connection broke or its peer left. */
void lose_connection(srt_link *l)
{
    int s = l->current.load();
    srt_link_report r = {};
    r.change = SRT_LINK_LEFT;
    int reject = srt_getrejectreason(s);
    r.why = reject == SRT_REJ_UNKNOWN ? SRT_WHY_OTHER : why_of_reject(reject);
    SRT_SOCKSTATUS state = srt_getsockstate(s);
    utils_strlcpy(r.reason, state == SRTS_BROKEN ? "connection broken or closed by the peer" : "connection closed",
                  sizeof(r.reason));
    utils_strlcpy(r.peer, l->current_peer, sizeof(r.peer));
    r.connected_ms = (udp_now_ns() - l->connected_at_ns) / 1000000;
    close_current(l);
    publish(l);
    report(l, &r);
    l->next_attempt_ns = 0;  // a caller tries again at once
}

/* A caller's or rendezvous's attempt failed: reported, and the next one scheduled. */
void attempt_failed(srt_link *l, int reject, const char *system_error)
{
    srt_link_report r = {};
    r.change = SRT_LINK_FAILED;
    r.why = system_error ? SRT_WHY_SYSTEM : why_of_reject(reject);
    if (system_error)
        utils_strlcpy(r.reason, system_error, sizeof(r.reason));
    else
        reject_text(reject, r.reason, sizeof(r.reason));
    utils_strlcpy(r.peer, l->remote_text, sizeof(r.peer));
    l->attempts++;
    int64_t shift = l->attempts - 1 < 5 ? l->attempts - 1 : 5;
    int64_t delay = (int64_t)SRT_LINK_BACKOFF_MIN_MS << shift;
    if (delay > SRT_LINK_BACKOFF_MAX_MS)
        delay = SRT_LINK_BACKOFF_MAX_MS;
    l->next_attempt_ns = udp_now_ns() + delay * 1000000;
    r.attempts = l->attempts;
    r.retry_ms = delay;
    {
        std::lock_guard<std::mutex> guard(l->lock);
        l->base.refused++;
    }
    publish(l);
    report(l, &r);
}

/* A caller or rendezvous peer starts connecting (non-blocking). */
void start_attempt(srt_link *l)
{
    SRTSOCKET s = srt_create_socket();
    if (s == SRT_INVALID_SOCK) {
        attempt_failed(l, SRT_REJ_SYSTEM, srt_getlasterror_str());
        return;
    }
    if (apply_options(l, s) != 0 ||
        (l->bind_local && srt_bind(s, (const sockaddr *)&l->local, sizeof(l->local)) != 0) ||
        srt_connect(s, (const sockaddr *)&l->remote, sizeof(l->remote)) == SRT_ERROR) {
        char why[160];
        utils_strlcpy(why, srt_getlasterror_str(), sizeof(why));
        srt_close(s);
        attempt_failed(l, SRT_REJ_SYSTEM, why);
        return;
    }
    int events = SRT_EPOLL_OUT | SRT_EPOLL_ERR;
    srt_epoll_add_usock(l->eid, s, &events);
    l->connecting = s;
}

void on_connecting(srt_link *l, int events)
{
    SRTSOCKET s = l->connecting;
    SRT_SOCKSTATUS state = srt_getsockstate(s);
    if ((events & SRT_EPOLL_ERR) || state >= SRTS_BROKEN) {
        int reject = srt_getrejectreason(s);
        srt_epoll_remove_usock(l->eid, s);
        srt_close(s);
        l->connecting = SRT_INVALID_SOCK;
        attempt_failed(l, reject == SRT_REJ_UNKNOWN ? SRT_REJ_TIMEOUT : reject, nullptr);
    } else if (state == SRTS_CONNECTED) {
        srt_epoll_remove_usock(l->eid, s);
        l->connecting = SRT_INVALID_SOCK;
        take_connection(l, s, l->remote_text);
    }
}

void on_listener(srt_link *l)
{
    for (;;) {
        sockaddr_storage peer;
        int len = sizeof(peer);
        SRTSOCKET s = srt_accept(l->listener, (sockaddr *)&peer, &len);
        if (s == SRT_INVALID_SOCK)
            return;
        char text[64];
        addr_text((const sockaddr *)&peer, text, sizeof(text));
        take_connection(l, s, text);
    }
}

void on_current(srt_link *l, int events)
{
    int s = l->current.load();
    if ((events & SRT_EPOLL_IN) && l->readable)
        l->readable(l->hook_opaque, s);
    if ((events & SRT_EPOLL_ERR) || srt_getsockstate(s) >= SRTS_BROKEN)
        lose_connection(l);
}

void *link_thread(void *arg)
{
    srt_link *l = (srt_link *)arg;
    utils_name_thread(l->sender ? "srt-out" : "srt-in");
    l->stats_at_ns = udp_now_ns();
    while (!l->quit.load()) {
        int64_t now = udp_now_ns();
        if (l->listener == SRT_INVALID_SOCK && l->current.load() == SRT_INVALID_SOCK &&
            l->connecting == SRT_INVALID_SOCK && now >= l->next_attempt_ns)
            start_attempt(l);
        SRT_EPOLL_EVENT ev[LINK_EVENTS];
        int n = srt_epoll_uwait(l->eid, ev, LINK_EVENTS, LINK_WAIT_MS);
        for (int i = 0; i < n && !l->quit.load(); i++) {
            if (ev[i].fd == l->listener && l->listener != SRT_INVALID_SOCK)
                on_listener(l);
            else if (ev[i].fd == l->connecting && l->connecting != SRT_INVALID_SOCK)
                on_connecting(l, ev[i].events);
            else if (ev[i].fd == l->current.load())
                on_current(l, ev[i].events);
        }
        int s = l->current.load();
        if (s != SRT_INVALID_SOCK && srt_getsockstate(s) >= SRTS_BROKEN)
            lose_connection(l);
        now = udp_now_ns();
        if (now - l->stats_at_ns >= (int64_t)SRT_LINK_STATS_MS * 1000000) {
            l->stats_at_ns = now;
            publish(l);
            srt_link_report r = {};
            r.change = SRT_LINK_STATS;
            report(l, &r);
        }
    }
    return nullptr;
}

/* The addresses of the endpoint: what a listener binds, what a caller calls and binds. */
int resolve(srt_link *l)
{
    const srt_endpoint *ep = &l->ep;
    char text[SRT_ADDR_HOST_MAX + 16];
    snprintf(text, sizeof(text), "%s:%d", ep->host, ep->port);
    int ret = udp_addr_parse(text, &l->remote);
    if (ret < 0)
        return ret;
    addr_text((const sockaddr *)&l->remote, l->remote_text, sizeof(l->remote_text));
    memset(&l->local, 0, sizeof(l->local));
    l->local.sin_family = AF_INET;
    if (ep->mode == SRT_MODE_RENDEZVOUS) {
        l->local.sin_port = htons((uint16_t)ep->port);
        l->bind_local = true;
    }
    if (ep->adapter[0]) {
        if (inet_pton(AF_INET, ep->adapter, &l->local.sin_addr) != 1)
            return -EINVAL;
        l->bind_local = true;
    }
    return 0;
}

/* A listener bound and listening on the endpoint's address. 0, or a negative errno. */
int open_listener(srt_link *l)
{
    SRTSOCKET s = srt_create_socket();
    if (s == SRT_INVALID_SOCK)
        return -ENOMEM;
    int sys = 0;
    int ret = apply_options(l, s);
    if (ret == 0 && srt_bind(s, (const sockaddr *)&l->remote, sizeof(l->remote)) != 0) {
        srt_getlasterror(&sys);
        ret = sys ? -sys : -EADDRINUSE;
    }
    if (ret == 0 && (srt_listen(s, LINK_BACKLOG) != 0 || srt_listen_callback(s, on_listen, l) != 0))
        ret = -EIO;
    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    if (ret == 0 && srt_epoll_add_usock(l->eid, s, &events) != 0)
        ret = -EIO;
    if (ret < 0) {
        srt_close(s);
        return ret;
    }
    l->listener = s;
    return 0;
}

} // namespace

int srt_link_create(srt_link **out, const srt_link_config *config)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!config || !config->ep || (!config->sender && !config->readable))
        return -EINVAL;
    srt_link *l = new (std::nothrow) srt_link();
    if (!l)
        return -ENOMEM;
    l->ep = *config->ep;
    l->sender = config->sender != 0;
    l->on_report = config->on_report;
    l->opaque = config->opaque;
    l->readable = config->readable;
    l->hook_opaque = config->hook_opaque;
    l->quit.store(0);
    l->current.store(SRT_INVALID_SOCK);
    l->unsent.store(0);
    l->listener = l->connecting = SRT_INVALID_SOCK;

    int ret = resolve(l);
    if (ret < 0) {
        delete l;
        return ret;
    }
    if (srt_startup() < 0) {
        delete l;
        return -EIO;
    }
    std::call_once(log_handler_once, [] {
        srt_setloghandler(nullptr, on_srt_log);
        srt_setloglevel(SRT_LOG_WARNING);
    });
    l->eid = srt_epoll_create();
    if (l->eid < 0) {
        ret = -ENOMEM;
        goto out_cleanup;
    }
    srt_epoll_set(l->eid, SRT_EPOLL_ENABLE_EMPTY);
    if (l->ep.mode == SRT_MODE_LISTENER) {
        ret = open_listener(l);
        if (ret < 0)
            goto out_release;
    }
    if (!registry_set(nullptr, l)) {
        ret = -EMFILE;
        goto out_close;
    }
    ret = -pthread_create(&l->thread, nullptr, link_thread, l);
    if (ret < 0)
        goto out_unregister;
    *out = l;
    return 0;

out_unregister:
    registry_set(l, nullptr);
out_close:
    if (l->listener != SRT_INVALID_SOCK)
        srt_close(l->listener);
out_release:
    srt_epoll_release(l->eid);
out_cleanup:
    srt_cleanup();
    delete l;
    return ret;
}

int srt_link_socket(srt_link *link)
{
    return link ? link->current.load() : SRT_INVALID_SOCK;
}

void srt_link_count_unsent(srt_link *link, int64_t n)
{
    if (link)
        link->unsent.fetch_add(n, std::memory_order_relaxed);
}

int srt_link_get_stats(srt_link *link, srt_link_stats *stats)
{
    if (!link || !stats)
        return -EINVAL;
    std::lock_guard<std::mutex> guard(link->lock);
    *stats = link->stats;
    stats->unsent = link->unsent.load();
    return 0;
}

int srt_link_destroy(srt_link **p)
{
    if (!p || !*p)
        return -EINVAL;
    srt_link *l = *p;
    *p = nullptr;
    registry_set(l, nullptr);
    l->quit.store(1);
    pthread_join(l->thread, nullptr);
    close_current(l);
    if (l->connecting != SRT_INVALID_SOCK)
        srt_close(l->connecting);
    if (l->listener != SRT_INVALID_SOCK)
        srt_close(l->listener);
    srt_epoll_release(l->eid);
    srt_cleanup();
    delete l;
    return 0;
}
