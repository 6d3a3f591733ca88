/*
 * The control port's HTTP/1.1 front: one thread, one epoll set, non-blocking
 * sockets and fixed bounds, so that whatever clients do (hold connections
 * open without a word, send a request a byte at a time, never read the
 * answer, hang up half-way) a monitor's request is still answered at once.
 *
 * - At most max_clients connections at once, max_per_address of them from
 *   one address. A connection past either limit is still taken: the one of
 *   that address (or, at the overall limit, of the address holding most)
 *   that has waited longest without a request in progress is closed for it,
 *   or the oldest when all are busy. A new client is never turned away.
 * - Time limits: a connection with no request begun is closed after
 *   idle_us, a request not complete request_us after its first byte, an
 *   answer not taken by the client write_us after it was ready.
 * - Size limits: head_bytes for the request line and headers, body_bytes
 *   for a body (431 and 413 past them, then the connection is closed).
 * - One request of a connection at a time: pipelined requests wait until
 *   the answer before them has left.
 * - Writes never raise SIGPIPE (MSG_NOSIGNAL): a client that hangs up costs
 *   its connection only.
 *
 * The handler runs on the front's thread and must answer at once from what
 * it has in memory; it never blocks.
 */
#ifndef KESTROW_SERVICE_HTTP_FRONT_H
#define KESTROW_SERVICE_HTTP_FRONT_H

#include <cstddef>
#include <cstdint>
#include <string>

enum http_method { HTTP_GET, HTTP_HEAD, HTTP_POST, HTTP_OTHER };

/* One request, valid during the handler's call. */
struct http_request {
    int method;                 // http_method
    const char *method_text;    // as sent
    const char *path;           // the target up to '?'
    const char *query;          // after '?'; "" when none
    const char *content_type;   // "" when none
    const char *body;           // body_size bytes (not terminated)
    size_t body_size;
};

/* What the handler answers; status 0 leaves the request unanswered: 404. */
struct http_reply {
    int status;
    const char *content_type;   // null: no Content-Type
    std::string headers;        // further header lines, each ending "\r\n"
    std::string body;           // left out of the answer to HEAD, its length kept
};

typedef void (*http_handler)(void *opaque, const http_request *req, http_reply *out);

struct http_limits {
    int max_clients;
    int max_per_address;
    size_t head_bytes;
    size_t body_bytes;
    int64_t idle_us;
    int64_t request_us;
    int64_t write_us;
};

/* The limits of the control port. */
http_limits http_limits_default(void);

/* What the front did since it was created; any thread may read it. */
struct http_stats {
    int64_t clients;            // connections open now
    int64_t accepted;
    int64_t evicted;            // closed to make room for a new one
    int64_t timed_out;          // closed by a time limit
    int64_t refused;            // requests answered 4xx for their form or size
    int64_t requests;           // requests handed to the handler
};

struct http_front;

/*
 * A front on the listening socket fd (bound; the front listens on it and
 * owns it from here on, also on failure) that hands each request to handler.
 * 0 and *out; -EINVAL for a null argument; -ENOMEM; a negative errno of
 * listen or epoll.
 */
int http_front_create(http_front **out, int fd, const http_limits *limits, http_handler handler, void *opaque);

/* Serves until http_front_stop. 0; -EINVAL without a front; epoll's negative errno (the front then stops). */
int http_front_run(http_front *f);

/* Ends http_front_run (now or, before it runs, as soon as it does). Any thread, any number of times. */
void http_front_stop(http_front *f);

/* Closes every connection and the socket, frees *p; *p becomes null. Never while http_front_run runs. */
void http_front_destroy(http_front **p);

void http_front_get_stats(const http_front *f, http_stats *out);

/* The reason phrase of an HTTP status ("OK", "Not Found", ...). */
const char *http_status_text(int status);

#endif
