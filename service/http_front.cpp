/*
 * The control port's bounded HTTP/1.1 front (see http_front.h): accept,
 * read, answer and close on one epoll thread; every connection in one of
 * three phases (idle, reading a request, writing its answer), each with its
 * own time limit.
 */
#include "service/http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#define HTTP_LISTEN_BACKLOG 512
#define HTTP_READ_CHUNK     16384
#define HTTP_ACCEPT_BATCH   64      // connections taken per wake, so that the others get their turn
#define HTTP_ACCEPT_PAUSE_US 100000 // out of descriptors: the listener rests this long
#define HTTP_TICK_US        1000000 // longest epoll wait: time limits are checked at least this often
#define HTTP_PIPELINED_TURN 8       // requests of one connection answered before the others get their turn
#define HTTP_ADDR_SIZE      64

namespace {

enum conn_phase {
    PHASE_IDLE,      // no byte of a request yet
    PHASE_READING,   // a request begun
    PHASE_WRITING,   // its answer going out
};

struct http_conn {
    int fd;
    char addr[HTTP_ADDR_SIZE];  // the peer's address, without its port
    int phase;                  // conn_phase
    int64_t since;              // µs (monotonic) the phase began
    std::string in;             // bytes read and not handled yet
    std::string out;            // the answer
    size_t out_at;              // bytes of it sent
    bool close_after;           // close once the answer left
    bool continued;             // "100 Continue" sent for the request being read
    bool peer_done;             // the client sent its end: the requests read are answered, then it closes
    bool woken;                 // watched for writing too, to answer the requests it has read
};

int64_t now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// epoll's data of the two descriptors that are no connection.
char listen_tag, wake_tag;

} // namespace

struct http_front {
    int fd;                     // listening
    int epoll;
    int wake;                   // eventfd: http_front_stop
    http_limits limits;
    http_handler handler;
    void *opaque;
    std::vector<http_conn *> conns;
    std::vector<http_conn *> closed;  // closed during the events being served: freed after them
    std::atomic<int> stopping;
    int64_t accept_paused_until;  // µs; 0: listening
    std::atomic<int64_t> clients, accepted, evicted, timed_out, refused, requests;
};

http_limits http_limits_default(void)
{
    http_limits l;
    l.max_clients = 256;
    l.max_per_address = 32;
    l.head_bytes = 8192;
    l.body_bytes = 65536;
    l.idle_us = 10000000;
    l.request_us = 3000000;
    l.write_us = 10000000;
    return l;
}

const char *http_status_text(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
    }
}

namespace {

/* Watches c for reading or, while it writes, for room to write. */
void watch(http_front *f, http_conn *c)
{
    struct epoll_event ev = {};
    ev.events = c->phase == PHASE_WRITING ? EPOLLOUT : EPOLLIN;
    ev.data.ptr = c;
    epoll_ctl(f->epoll, EPOLL_CTL_MOD, c->fd, &ev);
}

void set_phase(http_front *f, http_conn *c, int phase, int64_t now)
{
    bool rewatch = (c->phase == PHASE_WRITING) != (phase == PHASE_WRITING) || c->woken;
    c->woken = false;
    c->phase = phase;
    c->since = now;
    if (rewatch)
        watch(f, c);
}

void close_conn(http_front *f, size_t i)
{
    http_conn *c = f->conns[i];
    epoll_ctl(f->epoll, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    c->fd = -1;
    try {
        f->closed.push_back(c);  // room reserved at the start
    } catch (...) {
        // never freed: better than freed while an event of the batch names it
    }
    f->conns[i] = f->conns.back();
    f->conns.pop_back();
    f->clients.store((int64_t)f->conns.size());
}

size_t index_of(const http_front *f, const http_conn *c)
{
    for (size_t i = 0; i < f->conns.size(); i++)
        if (f->conns[i] == c)
            return i;
    return f->conns.size();
}

/* Case-insensitive comparison of a header's name (len bytes at name) with want. */
bool name_is(const char *name, size_t len, const char *want)
{
    return strlen(want) == len && strncasecmp(name, want, len) == 0;
}

/* Whether the comma-separated list value (len bytes) holds token, in any case. */
bool has_token(const char *value, size_t len, const char *token)
{
    size_t n = strlen(token), i = 0;
    while (i < len) {
        while (i < len && (value[i] == ' ' || value[i] == '\t' || value[i] == ','))
            i++;
        size_t start = i;
        while (i < len && value[i] != ',')
            i++;
        size_t end = i;
        while (end > start && (value[end - 1] == ' ' || value[end - 1] == '\t'))
            end--;
        if (end - start == n && strncasecmp(value + start, token, n) == 0)
            return true;
    }
    return false;
}

/* The request head being read, taken apart (pointers into the connection's input). */
struct head {
    int status;                 // 0: well formed; else the answer it gets, and the connection closes
    std::string method, target, content_type;
    bool http10, close, keep_alive, expect_continue;
    size_t length;              // of the head, its blank line included
    size_t body;                // Content-Length; 0 when none
};

/* Parses the head of c->in, which ends at end (the "\r\n\r\n"). */
head parse_head(const http_limits *limits, const std::string &in, size_t end)
{
    head h = {};
    h.length = end + 4;
    const char *p = in.data(), *stop = p + end + 2;  // each line ends with "\r\n"
    const char *eol = (const char *)memmem(p, (size_t)(stop - p), "\r\n", 2);
    std::string line(p, (size_t)(eol - p));
    size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1 || line.find(' ', sp1 + 1) != sp2) {
        h.status = 400;
        return h;
    }
    h.method = line.substr(0, sp1);
    h.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string version = line.substr(sp2 + 1);
    if (version.compare(0, 5, "HTTP/") != 0 || h.method.empty() || h.target.empty()) {
        h.status = 400;
        return h;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        h.status = 505;
        return h;
    }
    h.http10 = version == "HTTP/1.0";
    if (h.target[0] != '/') {
        h.status = 400;
        return h;
    }
    bool has_length = false;
    for (p = eol + 2; p < stop; p = eol + 2) {
        eol = (const char *)memmem(p, (size_t)(stop - p), "\r\n", 2);
        const char *colon = (const char *)memchr(p, ':', (size_t)(eol - p));
        if (!colon || colon == p || *p == ' ' || *p == '\t') {  // no name, or a folded line
            h.status = 400;
            return h;
        }
        size_t name_len = (size_t)(colon - p);
        const char *v = colon + 1, *v_end = eol;
        while (v < v_end && (*v == ' ' || *v == '\t'))
            v++;
        while (v_end > v && (v_end[-1] == ' ' || v_end[-1] == '\t'))
            v_end--;
        size_t v_len = (size_t)(v_end - v);
        if (name_is(p, name_len, "Content-Length")) {
            size_t n = 0;
            if (v_len == 0 || v_len > 12) {
                h.status = v_len > 12 ? 413 : 400;
                return h;
            }
            for (size_t i = 0; i < v_len; i++) {
                if (v[i] < '0' || v[i] > '9') {
                    h.status = 400;
                    return h;
                }
                n = n * 10 + (size_t)(v[i] - '0');
            }
            if (has_length && n != h.body) {
                h.status = 400;
                return h;
            }
            has_length = true;
            h.body = n;
        } else if (name_is(p, name_len, "Transfer-Encoding")) {
            h.status = 501;  // a body without a length: not taken
            return h;
        } else if (name_is(p, name_len, "Content-Type")) {
            h.content_type.assign(v, v_len);
        } else if (name_is(p, name_len, "Connection")) {
            h.close = h.close || has_token(v, v_len, "close");
            h.keep_alive = h.keep_alive || has_token(v, v_len, "keep-alive");
        } else if (name_is(p, name_len, "Expect")) {
            h.expect_continue = has_token(v, v_len, "100-continue");
        }
    }
    if (h.body > limits->body_bytes)
        h.status = 413;
    return h;
}

/* The answer's head and body into c->out. */
void put_answer(http_conn *c, int status, const char *content_type, const std::string &headers,
                const std::string &body, bool head_only, bool keep_alive_10)
{
    char line[512];
    char date[64];
    time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    int n = snprintf(line, sizeof(line), "HTTP/1.1 %d %s\r\nDate: %s\r\nContent-Length: %zu\r\n", status,
                     http_status_text(status), date, body.size());
    c->out.assign(line, (size_t)n);
    if (content_type) {
        c->out += "Content-Type: ";
        c->out += content_type;
        c->out += "\r\n";
    }
    if (c->close_after)
        c->out += "Connection: close\r\n";
    else if (keep_alive_10)
        c->out += "Connection: keep-alive\r\n";
    c->out += headers;
    c->out += "\r\n";
    if (!head_only)
        c->out += body;
    c->out_at = 0;
}

/* An answer of the front's own to a request it does not take; the connection closes after it. */
void refuse(http_front *f, http_conn *c, int status, int64_t now)
{
    f->refused.fetch_add(1);
    c->close_after = true;
    c->in.clear();
    std::string body = std::to_string(status) + " " + http_status_text(status) + "\n";
    put_answer(c, status, "text/plain; charset=utf-8", "", body, false, false);
    set_phase(f, c, PHASE_WRITING, now);
}

/*
 * Handles the request at the head of c->in once it is complete: its answer
 * goes into c->out and the connection into the writing phase.
 */
void take_request(http_front *f, http_conn *c, int64_t now)
{
    if (c->phase == PHASE_WRITING || c->in.empty())
        return;
    if (c->phase == PHASE_IDLE)
        set_phase(f, c, PHASE_READING, now);
    size_t scan = c->in.size() < f->limits.head_bytes ? c->in.size() : f->limits.head_bytes;
    const char *end = (const char *)memmem(c->in.data(), scan, "\r\n\r\n", 4);
    if (!end) {
        if (c->in.size() >= f->limits.head_bytes)
            refuse(f, c, 431, now);
        return;
    }
    head h = parse_head(&f->limits, c->in, (size_t)(end - c->in.data()));
    if (h.status) {
        refuse(f, c, h.status, now);
        return;
    }
    if (c->in.size() < h.length + h.body) {
        if (h.expect_continue && !c->continued && !h.http10) {
            static const char go_on[] = "HTTP/1.1 100 Continue\r\n\r\n";
            ssize_t n = send(c->fd, go_on, sizeof(go_on) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)n;  // a client that cannot take it now sends its body after its own wait
            c->continued = true;
        }
        return;
    }
    std::string path = h.target, query;
    size_t q = path.find('?');
    if (q != std::string::npos) {
        query = path.substr(q + 1);
        path.resize(q);
    }
    http_request req;
    req.method_text = h.method.c_str();
    req.method = h.method == "GET" ? HTTP_GET : h.method == "HEAD" ? HTTP_HEAD : h.method == "POST" ? HTTP_POST
                                                                                                    : HTTP_OTHER;
    req.path = path.c_str();
    req.query = query.c_str();
    req.content_type = h.content_type.c_str();
    req.body = c->in.data() + h.length;
    req.body_size = h.body;
    http_reply reply;
    reply.status = 0;
    reply.content_type = nullptr;
    try {
        f->requests.fetch_add(1);
        f->handler(f->opaque, &req, &reply);
    } catch (...) {
        reply.status = 500;
        reply.content_type = nullptr;
        reply.headers.clear();
        reply.body.clear();
    }
    if (reply.status == 0) {
        reply.status = 404;
        reply.content_type = "text/plain; charset=utf-8";
        reply.body = "404 Not Found\n";
    }
    c->close_after = h.close || (h.http10 && !h.keep_alive);
    put_answer(c, reply.status, reply.content_type, reply.headers, reply.body, req.method == HTTP_HEAD,
               h.http10 && !c->close_after);
    c->in.erase(0, h.length + h.body);
    c->continued = false;
    set_phase(f, c, PHASE_WRITING, now);
}

/* Sends what c's answer has left. false when the connection is to be closed. */
bool write_out(http_front *f, http_conn *c, int64_t now)
{
    while (c->out_at < c->out.size()) {
        ssize_t n = send(c->fd, c->out.data() + c->out_at, c->out.size() - c->out_at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c->out_at += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    if (c->close_after)
        return false;
    c->out.clear();
    c->out_at = 0;
    set_phase(f, c, c->in.empty() ? PHASE_IDLE : PHASE_READING, now);
    return true;
}

/* Reads what c has sent, up to what a request may hold. false when the connection failed. */
bool read_in(http_front *f, http_conn *c)
{
    size_t most = f->limits.head_bytes + f->limits.body_bytes;
    char buf[HTTP_READ_CHUNK];
    while (c->in.size() < most) {
        ssize_t n = recv(c->fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            c->in.append(buf, (size_t)n);
            continue;
        }
        if (n == 0) {
            c->peer_done = true;
            return true;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

/* Serves one event of connection c. */
void serve(http_front *f, http_conn *c, uint32_t events, int64_t now)
{
    bool keep = true;
    if (c->fd < 0)
        return;  // closed by an earlier event of the same batch
    if (c->phase == PHASE_WRITING)
        keep = !(events & (EPOLLERR | EPOLLHUP));
    else
        keep = read_in(f, c);
    // Each complete request in turn, its answer sent at once, as long as the client takes them; a few per
    // turn, so that one client's pipelined requests do not keep the others waiting.
    int turns = 0;
    for (; keep && turns < HTTP_PIPELINED_TURN; turns++) {
        if (c->phase != PHASE_WRITING) {
            take_request(f, c, now);
            if (c->phase != PHASE_WRITING)
                break;  // no complete request
        }
        keep = write_out(f, c, now);
        if (keep && c->phase == PHASE_WRITING)
            break;  // the client takes its time: the rest when it has room
    }
    // A client that sent its end and has nothing more to be answered is done.
    if (keep && c->peer_done && c->phase != PHASE_WRITING && turns < HTTP_PIPELINED_TURN)
        keep = false;
    if (!keep) {
        close_conn(f, index_of(f, c));
    } else if (c->woken && turns < HTTP_PIPELINED_TURN && c->phase != PHASE_WRITING) {
        c->woken = false;  // all answered: reading only again
        watch(f, c);
    } else if (turns == HTTP_PIPELINED_TURN && c->phase != PHASE_WRITING) {
        // Requests still read and not answered: the socket being writable brings the connection back.
        struct epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.ptr = c;
        epoll_ctl(f->epoll, EPOLL_CTL_MOD, c->fd, &ev);
        c->woken = true;
    }
}

/*
 * Makes room for a connection from addr: the connection closed is one of
 * addr's when it holds max_per_address already, else (at max_clients) one of
 * the address holding most; among them the one idle or reading the longest,
 * or the oldest answer when all are writing.
 */
void make_room(http_front *f, const char *addr)
{
    size_t of_addr = 0;
    for (http_conn *c : f->conns)
        of_addr += strcmp(c->addr, addr) == 0;
    const char *from = nullptr;
    if ((int)of_addr >= f->limits.max_per_address) {
        from = addr;
    } else if ((int)f->conns.size() >= f->limits.max_clients) {
        size_t most = 0;
        for (http_conn *c : f->conns) {
            size_t n = 0;
            for (http_conn *d : f->conns)
                n += strcmp(c->addr, d->addr) == 0;
            if (n > most) {
                most = n;
                from = c->addr;
            }
        }
    } else {
        return;
    }
    size_t victim = f->conns.size();
    for (size_t i = 0; i < f->conns.size(); i++) {
        http_conn *c = f->conns[i];
        if (strcmp(c->addr, from) != 0)
            continue;
        if (victim == f->conns.size()) {
            victim = i;
            continue;
        }
        http_conn *v = f->conns[victim];
        bool c_busy = c->phase == PHASE_WRITING, v_busy = v->phase == PHASE_WRITING;
        if ((v_busy && !c_busy) || (c_busy == v_busy && c->since < v->since))
            victim = i;
    }
    if (victim < f->conns.size()) {
        close_conn(f, victim);
        f->evicted.fetch_add(1);
    }
}

void accept_clients(http_front *f, int64_t now)
{
    for (int n = 0; n < HTTP_ACCEPT_BATCH; n++) {
        struct sockaddr_storage peer;
        socklen_t len = sizeof(peer);
        int fd = accept4(f->fd, (struct sockaddr *)&peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // No descriptor for it now: the listener rests, the kernel keeps the connection waiting.
                struct epoll_event ev = {};
                ev.data.ptr = &listen_tag;
                epoll_ctl(f->epoll, EPOLL_CTL_MOD, f->fd, &ev);
                f->accept_paused_until = now + HTTP_ACCEPT_PAUSE_US;
            }
            return;
        }
        char addr[HTTP_ADDR_SIZE] = "?";
        if (peer.ss_family == AF_INET)
            inet_ntop(AF_INET, &((struct sockaddr_in *)&peer)->sin_addr, addr, sizeof(addr));
        else if (peer.ss_family == AF_INET6)
            inet_ntop(AF_INET6, &((struct sockaddr_in6 *)&peer)->sin6_addr, addr, sizeof(addr));
        make_room(f, addr);
        http_conn *c = new (std::nothrow) http_conn();
        if (!c) {
            close(fd);
            return;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        c->fd = fd;
        snprintf(c->addr, sizeof(c->addr), "%s", addr);
        c->phase = PHASE_IDLE;
        c->since = now;
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.ptr = c;
        if (epoll_ctl(f->epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            delete c;
            return;
        }
        try {
            f->conns.push_back(c);
        } catch (...) {
            epoll_ctl(f->epoll, EPOLL_CTL_DEL, fd, nullptr);
            close(fd);
            delete c;
            return;
        }
        f->accepted.fetch_add(1);
        f->clients.store((int64_t)f->conns.size());
    }
}

/* Closes the connections past their phase's limit; the µs until the next limit falls due. */
int64_t expire(http_front *f, int64_t now)
{
    int64_t next = HTTP_TICK_US;
    for (size_t i = 0; i < f->conns.size();) {
        http_conn *c = f->conns[i];
        int64_t limit = c->phase == PHASE_IDLE ? f->limits.idle_us
                        : c->phase == PHASE_READING ? f->limits.request_us : f->limits.write_us;
        int64_t left = c->since + limit - now;
        if (left <= 0) {
            close_conn(f, i);
            f->timed_out.fetch_add(1);
            continue;
        }
        if (left < next)
            next = left;
        i++;
    }
    if (f->accept_paused_until) {
        if (now >= f->accept_paused_until) {
            struct epoll_event ev = {};
            ev.events = EPOLLIN;
            ev.data.ptr = &listen_tag;
            epoll_ctl(f->epoll, EPOLL_CTL_MOD, f->fd, &ev);
            f->accept_paused_until = 0;
        } else if (f->accept_paused_until - now < next) {
            next = f->accept_paused_until - now;
        }
    }
    return next;
}

} // namespace

int http_front_create(http_front **out, int fd, const http_limits *limits, http_handler handler, void *opaque)
{
    if (!out || fd < 0 || !limits || !handler) {
        if (fd >= 0)
            close(fd);
        return -EINVAL;
    }
    http_front *f = new (std::nothrow) http_front();
    if (!f) {
        close(fd);
        return -ENOMEM;
    }
    f->fd = fd;
    f->limits = *limits;
    f->handler = handler;
    f->opaque = opaque;
    try {
        f->conns.reserve((size_t)limits->max_clients + 1);
        f->closed.reserve((size_t)limits->max_clients + HTTP_ACCEPT_BATCH + 1);
    } catch (...) {
        close(fd);
        delete f;
        return -ENOMEM;
    }
    f->epoll = epoll_create1(EPOLL_CLOEXEC);
    f->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int ret = 0;
    if (f->epoll < 0 || f->wake < 0 || listen(fd, HTTP_LISTEN_BACKLOG) != 0)
        ret = -errno;
    int flags = ret == 0 ? fcntl(fd, F_GETFL) : -1;
    if (ret == 0 && (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0))
        ret = -errno;
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.ptr = &listen_tag;
    if (ret == 0 && epoll_ctl(f->epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
        ret = -errno;
    ev.data.ptr = &wake_tag;
    if (ret == 0 && epoll_ctl(f->epoll, EPOLL_CTL_ADD, f->wake, &ev) != 0)
        ret = -errno;
    if (ret < 0) {
        http_front_destroy(&f);
        return ret;
    }
    *out = f;
    return 0;
}

int http_front_run(http_front *f)
{
    if (!f)
        return -EINVAL;
    struct epoll_event events[64];
    int64_t wait_us = 0;
    while (!f->stopping.load()) {
        int n = epoll_wait(f->epoll, events, 64, (int)((wait_us + 999) / 1000));
        if (n < 0 && errno != EINTR)
            return -errno;
        int64_t now = now_us();
        for (int i = 0; i < n; i++) {
            void *tag = events[i].data.ptr;
            if (tag == &listen_tag)
                accept_clients(f, now);
            else if (tag != &wake_tag)
                serve(f, (http_conn *)tag, events[i].events, now);
        }
        wait_us = expire(f, now);
        for (http_conn *c : f->closed)
            delete c;
        f->closed.clear();
    }
    return 0;
}

void http_front_stop(http_front *f)
{
    if (!f)
        return;
    f->stopping.store(1);
    uint64_t one = 1;
    ssize_t n = write(f->wake, &one, sizeof(one));
    (void)n;
}

void http_front_destroy(http_front **p)
{
    if (!p || !*p)
        return;
    http_front *f = *p;
    *p = nullptr;
    for (http_conn *c : f->conns) {
        close(c->fd);
        delete c;
    }
    for (http_conn *c : f->closed)
        delete c;
    if (f->fd >= 0)
        close(f->fd);
    if (f->epoll >= 0)
        close(f->epoll);
    if (f->wake >= 0)
        close(f->wake);
    delete f;
}

void http_front_get_stats(const http_front *f, http_stats *out)
{
    if (!out)
        return;
    *out = http_stats{};
    if (!f)
        return;
    out->clients = f->clients.load();
    out->accepted = f->accepted.load();
    out->evicted = f->evicted.load();
    out->timed_out = f->timed_out.load();
    out->refused = f->refused.load();
    out->requests = f->requests.load();
}
