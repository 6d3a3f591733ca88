/*
 * As-run writer. Each line is opened, appended with one write(2) and closed
 * on its own, like the log: a crash of the process never loses a line already
 * written, and a file renamed from outside is simply started again. Lines
 * posted (asrun_post) are written so by a thread of their own, in order, so
 * that a file system that stalls (a network mount, a full disk's retries)
 * holds up no caller.
 */
#include "common/asrun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "common/utils.h"

#define ASRUN_PATH_SIZE 4096

/* Lines posted and not written yet, at most (about 4 MB): beyond them a line is lost, and said so. */
#define ASRUN_QUEUE_MAX 1000
/* How long asrun_destroy waits for the lines posted to be written. */
#define ASRUN_DRAIN_MS 500

struct asrun_ctx {
    std::mutex lock;               // one line at a time, rotation included
    char path[ASRUN_PATH_SIZE];
    int64_t rotate_interval;       // seconds; 0: only at the first line
    int64_t last_rotation;         // seconds since the epoch; 0 until the first line
    // the writer of posted lines
    std::mutex queue_lock;
    std::condition_variable posted, written;
    std::deque<std::pair<int64_t, std::string>> queue;  // (time_ms, line), oldest first
    std::thread writer;            // joinable once a line was posted
    bool writing;                  // the writer holds a line taken from the queue
    bool stop;
    int failing;                   // the negative errno that began the current spell of failed writes; 0: none
    int error;                     // that errno, until a post reports it
    int64_t lost;                  // lines the current (or last) spell lost
    int64_t recovered;             // lines the spell that just ended lost, until a post reports it
};

namespace {

const char *const event_names[ASRUN_EVENT_COUNT] = {
    "cue", "armed", "repeat", "cancelled", "break_start", "break_end", "break_skipped", "ignored",
    "kept", "dropped", "expired", "return", "spot", "input_switch",
};

/* Appends text to buf at *len; false when it does not fit with a terminator. */
bool put(char *buf, size_t size, size_t *len, const char *text)
{
    size_t n = strlen(text);
    if (*len + n >= size)
        return false;
    memcpy(buf + *len, text, n + 1);
    *len += n;
    return true;
}

bool put_number(char *buf, size_t size, size_t *len, const char *key, int64_t value)
{
    char item[64];
    if (value == ASRUN_NONE)
        snprintf(item, sizeof(item), ",\"%s\":null", key);
    else
        snprintf(item, sizeof(item), ",\"%s\":%" PRId64, key, value);
    return put(buf, size, len, item);
}

/* A JSON string: quotes, backslashes and control characters escaped. */
bool put_string(char *buf, size_t size, size_t *len, const char *text)
{
    if (!put(buf, size, len, "\""))
        return false;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        char esc[8] = {(char)*p, 0};
        if (*p == '"' || *p == '\\')
            snprintf(esc, sizeof(esc), "\\%c", *p);
        else if (*p < 0x20)
            snprintf(esc, sizeof(esc), "\\u%04x", *p);
        if (!put(buf, size, len, esc))
            return false;
    }
    return put(buf, size, len, "\"");
}

/* ,"key":"text", or null when text is empty. */
bool put_text(char *buf, size_t size, size_t *len, const char *key, const char *text)
{
    char item[64];
    snprintf(item, sizeof(item), ",\"%s\":", key);
    return put(buf, size, len, item) && (text[0] ? put_string(buf, size, len, text) : put(buf, size, len, "null"));
}

/* ,"ver_status":"1006": the verification file's four digits. */
bool put_ver(char *buf, size_t size, size_t *len, int64_t status)
{
    char code[16];
    snprintf(code, sizeof(code), "%04d", (int)(status % 10000));
    return put_text(buf, size, len, "ver_status", code);
}

/* A spot record's own fields. */
bool put_spot(char *buf, size_t size, size_t *len, const asrun_record *r)
{
    return put_text(buf, size, len, "spot_id", r->spot_id) && put_text(buf, size, len, "file", r->spot_file) &&
           put_number(buf, size, len, "break_number", r->break_number) &&
           put_number(buf, size, len, "position", r->position) &&
           (!r->why[0] || put_text(buf, size, len, "why", r->why)) &&
           (r->ver_status == ASRUN_NONE || put_ver(buf, size, len, r->ver_status));
}

/* A break start's or end's frame accuracy: pictures re-encoded, why it fell back to the key frame. */
bool put_accurate(char *buf, size_t size, size_t *len, const asrun_record *r)
{
    return put_number(buf, size, len, "reencoded", r->reencoded) && put_text(buf, size, len, "fallback", r->fallback);
}

} // namespace

asrun_record asrun_record_make(int event, int64_t time_ms)
{
    asrun_record r;
    r.time_ms = time_ms;
    r.event = event;
    r.splice_event_id = ASRUN_NONE;
    r.segmentation_event_id = ASRUN_NONE;
    r.splice_time = ASRUN_NONE;
    r.duration = ASRUN_NONE;
    r.pts = ASRUN_NONE;
    r.aired = ASRUN_NONE;
    r.late = ASRUN_NONE;
    r.reencoded = ASRUN_NONE;
    r.reason[0] = '\0';
    r.channel[0] = r.spot_id[0] = r.spot_file[0] = r.why[0] = r.fallback[0] = r.input[0] = '\0';
    r.break_number = r.position = ASRUN_NONE;
    r.ver_status = ASRUN_NONE;
    return r;
}

const char *asrun_event_name(int event)
{
    return event >= 0 && event < ASRUN_EVENT_COUNT ? event_names[event] : nullptr;
}

int asrun_format(const asrun_record *r, char *buf, size_t size)
{
    if (!r || !buf || !asrun_event_name(r->event))
        return -EINVAL;
    if (size > 0)
        buf[0] = '\0';

    time_t secs = (time_t)(r->time_ms / 1000);
    int ms = (int)(r->time_ms % 1000);
    if (ms < 0) {
        secs--;
        ms += 1000;
    }
    struct tm tm;
    char when[64], head[128];
    gmtime_r(&secs, &tm);
    strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(head, sizeof(head), "{\"time\":\"%s.%03dZ\",\"event\":\"%s\"", when, ms,
             asrun_event_name(r->event));

    size_t len = 0;
    bool ok = put(buf, size, &len, head) && put_text(buf, size, &len, "channel", r->channel) &&
              put_number(buf, size, &len, "splice_event_id", r->splice_event_id) &&
              put_number(buf, size, &len, "segmentation_event_id", r->segmentation_event_id) &&
              put_number(buf, size, &len, "splice_time", r->splice_time) &&
              put_number(buf, size, &len, "duration", r->duration) &&
              put_number(buf, size, &len, "pts", r->pts) &&
              put_number(buf, size, &len, "aired", r->aired) &&
              put_number(buf, size, &len, "late", r->late) &&
              (r->event != ASRUN_SPOT || put_spot(buf, size, &len, r)) &&
              (r->event != ASRUN_INPUT_SWITCH || put_text(buf, size, &len, "input", r->input)) &&
              ((r->event != ASRUN_BREAK_END && r->event != ASRUN_BREAK_START) || put_accurate(buf, size, &len, r)) &&
              put_text(buf, size, &len, "reason", r->reason) && put(buf, size, &len, "}\n");
    if (!ok) {
        if (size > 0)
            buf[0] = '\0';
        return -ENOSPC;
    }
    return (int)len;
}

int asrun_create(asrun_ctx **out, const char *path, int rotate_interval)
{
    if (!out || !path || !path[0])
        return -EINVAL;
    if (strlen(path) >= ASRUN_PATH_SIZE)
        return -ENAMETOOLONG;
    asrun_ctx *a = new (std::nothrow) asrun_ctx();
    if (!a)
        return -ENOMEM;
    utils_strlcpy(a->path, path, sizeof(a->path));
    a->rotate_interval = rotate_interval < 0 ? 0 : rotate_interval;
    a->last_rotation = 0;
    *out = a;
    return 0;
}

int asrun_open(asrun_ctx *a, int64_t now_ms)
{
    if (!a)
        return -EINVAL;
    std::lock_guard<std::mutex> guard(a->lock);
    a->last_rotation = now_ms / 1000;
    utils_rotate_file(a->path, (time_t)a->last_rotation);
    // Not waiting for a reader (a FIFO): a file that cannot be written now is refused now.
    int fd = open(a->path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
        return -errno;
    close(fd);
    return 0;
}

/* Appends line (len bytes) of a record at time_ms, rotating first when due. 0 or a negative errno. */
static int write_line(asrun_ctx *a, int64_t time_ms, const char *line, size_t len)
{
    std::lock_guard<std::mutex> guard(a->lock);
    time_t now = (time_t)(time_ms / 1000);
    if (a->last_rotation == 0 || (a->rotate_interval > 0 && a->last_rotation + a->rotate_interval < now)) {
        utils_rotate_file(a->path, now);
        a->last_rotation = now;
    }
    int fd = open(a->path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    int ret = 0;
    ssize_t n = write(fd, line, len);
    if (n < 0)
        ret = -errno;
    else if ((size_t)n != len)
        ret = -EIO;
    close(fd);
    return ret;
}

/* The writer thread: the posted lines, oldest first, until stopped with none left. */
static void write_posted_loop(asrun_ctx *a);

/* The writer thread's body: nothing may leave it (a lost line is said by the next post). */
static void write_posted(asrun_ctx *a)
{
    utils_name_thread("asrun");
    try {
        write_posted_loop(a);
    } catch (...) {
        /* std::mutex and std::string only: an exception here is a bug, and the thread ends. */
    }
}

static void write_posted_loop(asrun_ctx *a)
{
    std::unique_lock<std::mutex> q(a->queue_lock);
    for (;;) {
        a->posted.wait(q, [a] { return a->stop || !a->queue.empty(); });
        if (a->queue.empty())
            return;
        std::pair<int64_t, std::string> item = std::move(a->queue.front());
        a->queue.pop_front();
        a->writing = true;
        q.unlock();
        int ret = write_line(a, item.first, item.second.data(), item.second.size());
        q.lock();
        a->writing = false;
        if (ret < 0 && !a->failing) {
            a->failing = a->error = ret;
            a->lost = 0;
        }
        if (ret < 0) {
            a->lost++;
        } else if (a->failing) {
            a->failing = a->error = 0;
            a->recovered = a->lost;
        }
        a->written.notify_all();
    }
}

/* r as a line, written now or posted to the writer's thread (post; written now when it cannot start). */
static int put_line(asrun_ctx *a, const asrun_record *r, bool post)
{
    if (!a)
        return -EINVAL;
    char line[ASRUN_LINE_SIZE];
    int len = asrun_format(r, line, sizeof(line));
    if (len < 0 || !post)
        return len < 0 ? len : write_line(a, r->time_ms, line, (size_t)len);
    try {
        std::lock_guard<std::mutex> q(a->queue_lock);
        if (!a->writer.joinable())
            a->writer = std::thread(write_posted, a);
        if (a->queue.size() >= ASRUN_QUEUE_MAX)
            return -ENOBUFS;
        a->queue.emplace_back(r->time_ms, std::string(line, (size_t)len));
        a->posted.notify_one();
        int ret = a->error ? a->error : (int)a->recovered;
        a->error = 0;
        a->recovered = 0;
        return ret;
    } catch (const std::system_error &) {  // no thread: written here
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    return write_line(a, r->time_ms, line, (size_t)len);
}

int asrun_write(asrun_ctx *a, const asrun_record *r)
{
    return put_line(a, r, false);
}

int asrun_post(asrun_ctx *a, const asrun_record *r)
{
    return put_line(a, r, true);
}

int asrun_destroy(asrun_ctx **a)
{
    if (!a || !*a)
        return -EINVAL;
    asrun_ctx *c = *a;
    *a = nullptr;
    if (c->writer.joinable()) {
        std::unique_lock<std::mutex> q(c->queue_lock);
        c->stop = true;
        c->posted.notify_one();
        bool drained = c->written.wait_for(q, std::chrono::milliseconds(ASRUN_DRAIN_MS),
                                           [c] { return c->queue.empty() && !c->writing; });
        if (!drained) {
            /* The file system holds the writer: it and the context are left to the process's exit. */
            int left = (int)c->queue.size() + (c->writing ? 1 : 0);
            q.unlock();
            c->writer.detach();
            return left;
        }
        q.unlock();
        c->writer.join();
    }
    delete c;
    return 0;
}
