/*
 * Asynchronous logger. A caller formats its message on its own stack (or
 * one heap block for a long one), copies it with the time into one heap
 * entry and puts that into a bounded queue without a lock (a slot claimed
 * with one compare-and-swap): no caller ever waits for another, nor for the
 * writer, whatever their priorities. A full queue drops the line and counts
 * it. The writer thread takes the entries in queue order, formats the mark
 * and the local time, and writes each line to standard error (when switched
 * on) and to the log file, which it opens, appends to and closes per line and
 * rotates by time. A file that cannot be written is said once on standard
 * error, and in the file when it can be written again.
 */
#include "common/log.h"
#include "common/log_internal.h"
#include "common/utils.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#define LOG_PATH_SIZE      4096
#define LOG_LINE_MAX_CHARS 127989   // longest line of log_printf, newline excluded
#define LOG_PREFIX_CHARS   28       // "M [YYYY-mm-dd HH:MM:SS.mmm] "
#define LOG_SRC_PREFIX     24       // "YYYY-mm-dd HH:MM:SS.mmm " of log_printf_src
#define LOG_STACK_TEXT     1024     // messages up to this long are formatted on the caller's stack
#define LOG_WRITER_WAKE_MS 200      // the writer looks at the queue at least this often

static const char overflow_msg[] = "ERROR! message queue OVERFLOW!!!\n";

enum log_state { LOG_STATE_IDLE, LOG_STATE_RUNNING, LOG_STATE_STOPPED };

/* One queued line: its time, its level (LOG_SRC: a log_printf_src line) and its message. */
#define LOG_SRC (-1000)
struct log_entry {
    struct timeval tv;
    int level;
    size_t len;
    char text[1];
};

/*
 * The queue: a ring of LOG_QUEUE_MAX_LINES cells, each with a sequence
 * number that says whose turn it is (a bounded multi-producer queue with
 * one consumer). Producers claim the cell at enq with a compare-and-swap and
 * publish it by its sequence; the writer alone takes at deq.
 */
struct log_cell {
    std::atomic<uint64_t> seq;
    log_entry *entry;
};

static log_cell cells[LOG_QUEUE_MAX_LINES];
static std::atomic<uint64_t> enq{0};
static uint64_t deq;                // the writer's

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // start and stop only
static sem_t wake_writer;           // posted for every line queued, a release and the stop

static std::atomic<int> state{LOG_STATE_IDLE};
static std::atomic<int> producers{0};   // calls between their look at the state and their push
static std::atomic<int> stop_flag{0};
static std::atomic<int> stderr_on{1};
static std::atomic<int> threshold{20};
static std::atomic<int> writer_paused{0};
static std::atomic<uint64_t> lines_queued{0};   // lines ever queued, for log_flush
static std::atomic<uint64_t> lines_written{0};
static std::atomic<uint64_t> lines_dropped{0};  // ever dropped by a full queue
static std::atomic<time_t (*)(void)> time_source{nullptr};

static pthread_t writer;

// Used by the writer thread only once log_start has set them.
static char path[LOG_PATH_SIZE];
static int64_t rotate_interval;     // seconds
static time_t last_rotation;        // 0 at process start
static uint64_t dropped_told;       // lines_dropped when the writer last said so
static int file_error;              // the log file's write failure (negative errno) since it was said; 0: none
static uint64_t file_lost;          // lines the file lost meanwhile
static char line_buf[LOG_LINE_BUFFER_SIZE];

/* Appends printf output at buf + len without going past limit characters; returns the new length. */
static size_t append_vfmt(char *buf, size_t len, size_t limit, const char *fmt, va_list ap)
{
    if (len >= limit)
        return len;
    int n = vsnprintf(buf + len, limit - len + 1, fmt, ap);
    if (n < 0) {
        buf[len] = '\0';
        return len;
    }
    return len + (size_t)n < limit ? len + (size_t)n : limit;
}

static size_t append_fmt(char *buf, size_t len, size_t limit, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    len = append_vfmt(buf, len, limit, fmt, ap);
    va_end(ap);
    return len;
}

/* "M [YYYY-mm-dd HH:MM:SS.mmm] " (or, for a log_printf_src line, "YYYY-mm-dd HH:MM:SS.mmm ") into buf. */
static size_t format_prefix(char *buf, size_t limit, int level, const struct timeval *tv)
{
    struct tm tm;
    time_t sec = tv->tv_sec;
    localtime_r(&sec, &tm);
    if (level == LOG_SRC) {
        size_t len = strftime(buf, limit, "%Y-%m-%d %H:%M:%S", &tm);
        return append_fmt(buf, len, limit, ".%.3d ", (int)(tv->tv_usec / 1000));
    }
    buf[0] = level == LOG_ERROR ? '!' : level == LOG_DEBUG ? '?' : ' ';
    buf[1] = ' ';
    size_t len = 2 + strftime(buf + 2, limit - 1, "[%Y-%m-%d %H:%M:%S", &tm);
    return append_fmt(buf, len, limit, ".%.03d] ", (int)(tv->tv_usec / 1000));
}

/* The whole line of an entry, its newline included, into buf (LOG_LINE_BUFFER_SIZE bytes). Its length. */
static size_t format_entry(char *buf, const log_entry *e)
{
    size_t limit = e->level == LOG_SRC ? LOG_LINE_BUFFER_SIZE - 2 : LOG_LINE_MAX_CHARS;
    size_t len = format_prefix(buf, limit, e->level, &e->tv);
    size_t n = e->len < limit - len ? e->len : limit - len;
    memcpy(buf + len, e->text, n);
    len += n;
    buf[len++] = '\n';
    buf[len] = '\0';
    return len;
}

/* Puts e into the queue without waiting. False when the queue is full (e is still the caller's). */
static bool queue_push(log_entry *e)
{
    uint64_t pos = enq.load(std::memory_order_relaxed);
    for (;;) {
        log_cell *c = &cells[pos % LOG_QUEUE_MAX_LINES];
        uint64_t seq = c->seq.load(std::memory_order_acquire);
        int64_t diff = (int64_t)(seq - pos);
        if (diff == 0) {
            if (enq.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed))
                break;
        } else if (diff < 0) {
            return false;
        } else {
            pos = enq.load(std::memory_order_relaxed);
        }
    }
    log_cell *c = &cells[pos % LOG_QUEUE_MAX_LINES];
    c->entry = e;
    c->seq.store(pos + 1, std::memory_order_release);
    return true;
}

/* The writer's take: the oldest entry published, or null (none, or its producer is still putting it). */
static log_entry *queue_pop(void)
{
    log_cell *c = &cells[deq % LOG_QUEUE_MAX_LINES];
    if (c->seq.load(std::memory_order_acquire) != deq + 1)
        return nullptr;
    log_entry *e = c->entry;
    c->entry = nullptr;
    c->seq.store(deq + LOG_QUEUE_MAX_LINES, std::memory_order_release);
    deq++;
    return e;
}

/*
 * Hands a message on (len characters at text): to standard error before
 * log_start, into the queue while running (counted as dropped when it is
 * full), nowhere after log_stop. Never waits for another thread.
 */
static void log_put(int level, const struct timeval *tv, const char *text, size_t len)
{
    producers.fetch_add(1);
    int s = state.load();
    if (s == LOG_STATE_IDLE) {
        producers.fetch_sub(1);
        char head[64];
        size_t n = format_prefix(head, sizeof(head) - 1, level, tv);
        size_t limit = level == LOG_SRC ? LOG_LINE_BUFFER_SIZE - 2 - n : LOG_LINE_MAX_CHARS - n;
        fwrite(head, 1, n, stderr);
        fwrite(text, 1, len < limit ? len : limit, stderr);
        fputc('\n', stderr);
        return;
    }
    if (s != LOG_STATE_RUNNING) {
        producers.fetch_sub(1);
        return;
    }
    log_entry *e = (log_entry *)malloc(sizeof(log_entry) + len);
    if (e) {
        e->tv = *tv;
        e->level = level;
        e->len = len;
        memcpy(e->text, text, len);
        e->text[len] = '\0';
    }
    if (!e || !queue_push(e)) {
        free(e);
        lines_dropped.fetch_add(1);
    } else {
        lines_queued.fetch_add(1);
    }
    producers.fetch_sub(1);
    sem_post(&wake_writer);
}

/* Formats fmt (after head, head_len characters) and hands it on: on the stack when short, else one heap block. */
static void log_vput(int level, const char *head, size_t head_len, size_t limit, const char *fmt, va_list ap)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);     // one reading, so seconds and milliseconds agree
    char local[LOG_STACK_TEXT + 1];
    va_list again;
    va_copy(again, ap);
    memcpy(local, head, head_len);
    size_t len = append_vfmt(local, head_len, LOG_STACK_TEXT < limit ? LOG_STACK_TEXT : limit, fmt, ap);
    if (len < LOG_STACK_TEXT || limit <= LOG_STACK_TEXT) {
        log_put(level, &tv, local, len);
    } else {
        char *big = (char *)malloc(limit + 1);
        if (big) {
            memcpy(big, head, head_len);
            len = append_vfmt(big, head_len, limit, fmt, again);
            log_put(level, &tv, big, len);
            free(big);
        } else {
            log_put(level, &tv, local, len);
        }
    }
    va_end(again);
}

/* Creates every parent directory of path named before a "/"; failures are ignored. */
static void make_parents(void)
{
    char dir[LOG_PATH_SIZE];
    utils_strlcpy(dir, path, sizeof(dir));
    for (char *p = dir + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        mkdir(dir, 0777);
        *p = '/';
    }
}

/* Seconds since the epoch, from the test clock when one is set. */
static time_t log_clock(void)
{
    time_t (*clock)(void) = time_source.load();
    return clock ? clock() : time(nullptr);
}

/*
 * At start: moves the file an earlier run left aside (time-stamped name) and
 * opens the path for appending, creating it and its directories, to learn
 * that lines can be written there. 0 or the negative errno of the open.
 */
static int log_open_file(void)
{
    time_t now = log_clock();
    utils_rotate_file(path, now);
    last_rotation = now;
    make_parents();
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -errno;
    close(fd);
    return 0;
}

/* Appends len bytes to the log file (created with its directories). 0 or a negative errno. */
static int log_append(const char *line, size_t len)
{
    struct stat st;
    if (stat(path, &st) != 0)
        make_parents();
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -errno;
    int ret = 0;
    while (len > 0) {
        ssize_t n = write(fd, line, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ret = n < 0 ? -errno : -EIO;
            break;
        }
        line += n;
        len -= (size_t)n;
    }
    if (close(fd) != 0 && ret == 0 && errno != EINTR)
        ret = -errno;
    return ret;
}

/* A line the writer itself words, of the log's own health, at now. */
static void log_own_line(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void log_write_line(const char *line, size_t len);
static void log_own_line(int level, const char *fmt, ...)
{
    char buf[1024];
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    size_t len = format_prefix(buf, sizeof(buf) - 2, level, &tv);
    va_list ap;
    va_start(ap, fmt);
    len = append_vfmt(buf, len, sizeof(buf) - 2, fmt, ap);
    va_end(ap);
    buf[len++] = '\n';
    buf[len] = '\0';
    log_write_line(buf, len);
}

/*
 * Writes one line to standard error (when on) and to the log file, rotating
 * first when due. A file that cannot be written loses its lines: the first
 * failure of a spell is said on standard error (whatever the switch: the
 * file no longer shows anything), and the first line the file takes again
 * is preceded by one that says how many it lost.
 */
static void log_write_line(const char *line, size_t len)
{
    if (!path[0]) {
        if (stderr_on.load())
            fwrite(line, 1, len, stderr);
        return;
    }

    time_t now = log_clock();
    if (last_rotation + rotate_interval < now) {
        utils_rotate_file(path, now);
        last_rotation = now;
    }
    if (file_error) {
        /* Said first, so that the file shows where its lines are missing. */
        char said[1024];
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        size_t n = format_prefix(said, sizeof(said) - 2, LOG_ERROR, &tv);
        n = append_fmt(said, n, sizeof(said) - 2, "log: the log file [%s] is written again; %llu lines were lost",
                       path, (unsigned long long)file_lost);
        said[n++] = '\n';
        if (log_append(said, n) == 0) {
            if (stderr_on.load())
                fwrite(said, 1, n, stderr);
            file_error = 0;
            file_lost = 0;
        }
    }
    if (stderr_on.load())
        fwrite(line, 1, len, stderr);
    int ret = file_error ? file_error : log_append(line, len);
    if (ret < 0) {
        if (!file_error)
            fprintf(stderr, "log: cannot write the log file [%s]: %s; its lines are lost until it can be\n", path,
                    strerror(-ret));
        file_error = ret;
        file_lost++;
    }
}

/*
 * The lines a full queue dropped: one overflow message each on standard
 * error at once, and in the log, once the lines queued before them are
 * written (drained), one line with their count where they are missing.
 */
static uint64_t overflow_told;      // lines_dropped when standard error last had its messages

static void log_tell_dropped(bool drained)
{
    uint64_t dropped = lines_dropped.load();
    for (; overflow_told < dropped; overflow_told++)
        fwrite(overflow_msg, 1, sizeof(overflow_msg) - 1, stderr);
    if (!drained || dropped == dropped_told)
        return;
    log_own_line(LOG_ERROR, "log: %llu lines dropped: the log's queue was full (%llu since the start)",
                 (unsigned long long)(dropped - dropped_told), (unsigned long long)dropped);
    dropped_told = dropped;
}

/* Writes out every pending line; a pausable drain stops while the writer is paused. */
static void log_drain(bool pausable)
{
    log_entry *e;
    while (!(pausable && writer_paused.load()) && (e = queue_pop())) {
        log_write_line(line_buf, format_entry(line_buf, e));
        free(e);
        lines_written.fetch_add(1);
        log_tell_dropped(false);  // standard error hears of drops while the queue stays full
    }
    log_tell_dropped(!(pausable && writer_paused.load()));
}

/*
 * Writer thread: drains the queue, then sleeps until a line is queued, the
 * writer is released or the stop is asked for; drains once more at stop.
 */
static void *log_writer_thread(void *)
{
    utils_name_thread("log");
    try {
        while (!stop_flag.load()) {
            log_drain(true);
            struct timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_sec += LOG_WRITER_WAKE_MS / 1000;
            until.tv_nsec += (LOG_WRITER_WAKE_MS % 1000) * 1000000L;
            if (until.tv_nsec >= 1000000000L) {
                until.tv_sec++;
                until.tv_nsec -= 1000000000L;
            }
            while (sem_timedwait(&wake_writer, &until) != 0 && errno == EINTR)
                ;
        }
        log_drain(false);
    } catch (...) {
        fputs("log: the log's writer stopped on an exception\n", stderr);
    }
    return nullptr;
}

/*
 * Moves an earlier run's file_name aside and opens it (see log.h), then
 * starts the writer thread for it (empty: standard error only) with a
 * rotation interval in seconds (negative taken as 0). Returns 0; -EBUSY when
 * already started or stopped; the open's negative errno; the thread error
 * when start-up fails, leaving nothing running.
 */
int log_start(const char *file_name, int interval)
{
    int ret = 0;
    pthread_mutex_lock(&lock);
    if (state.load() != LOG_STATE_IDLE) {
        ret = -EBUSY;
        goto out_unlock;
    }
    for (uint64_t i = 0; i < LOG_QUEUE_MAX_LINES; i++)
        cells[i].seq.store(i);
    enq.store(0);
    deq = 0;
    sem_init(&wake_writer, 0, 0);
    utils_strlcpy(path, file_name ? file_name : "", sizeof(path));
    rotate_interval = interval < 0 ? 0 : interval;
    stop_flag.store(0);
    ret = path[0] ? log_open_file() : 0;
    if (ret == 0)
        ret = -pthread_create(&writer, nullptr, log_writer_thread, nullptr);
    if (ret < 0) {
        path[0] = '\0';
        sem_destroy(&wake_writer);
        goto out_unlock;
    }
    state.store(LOG_STATE_RUNNING);
out_unlock:
    pthread_mutex_unlock(&lock);
    return ret;
}

/*
 * Refuses further lines, lets the writer write every line queued so far,
 * joins it and frees what is left. Returns 0; -EINVAL when the logger is not
 * running; the lock's negative errno when it cannot be taken (nothing done).
 */
int log_stop(void)
{
    int err = pthread_mutex_lock(&lock);
    if (err != 0)
        return -err;
    if (state.load() != LOG_STATE_RUNNING) {
        pthread_mutex_unlock(&lock);
        return -EINVAL;
    }
    state.store(LOG_STATE_STOPPED);
    while (producers.load() > 0)   // a call that saw the logger running puts its line in first
        sched_yield();
    stop_flag.store(1);
    sem_post(&wake_writer);
    pthread_join(writer, nullptr);
    for (log_entry *e; (e = queue_pop());)   // none left: the writer drained after the flag
        free(e);
    pthread_mutex_unlock(&lock);
    return 0;
}

/* Switches the copy of every line to standard error on (non-zero) or off; returns on. */
int log_set_stderr(int on)
{
    stderr_on.store(on);
    return on;
}

/* Sets the level above which log_printf_src drops lines; returns it. */
int log_set_threshold(int level)
{
    threshold.store(level);
    return level;
}

/*
 * Formats one message and queues it with its time (before log_start:
 * standard error; after log_stop: dropped). Returns 0.
 */
int log_printf(int level, const char *fmt, ...)
{
    if (state.load() == LOG_STATE_STOPPED)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    log_vput(level == LOG_SRC ? LOG_INFO : level, "", 0, LOG_LINE_MAX_CHARS - LOG_PREFIX_CHARS, fmt, ap);
    va_end(ap);
    return 0;
}

/*
 * Like log_printf, without level mark and with "[file:line:function] " after
 * the time; levels above the threshold are dropped. Returns 0.
 */
int log_printf_src(int level, const char *file, int line, const char *function,
                   const char *fmt, ...)
{
    if (level > threshold.load())
        return 0;
    if (state.load() == LOG_STATE_STOPPED)
        return 0;
    char head[LOG_STACK_TEXT];
    size_t len = append_fmt(head, 0, sizeof(head) - 1, "[%s:%d:%s] ", file, line, function);
    va_list ap;
    va_start(ap, fmt);
    log_vput(LOG_SRC, head, len, LOG_LINE_BUFFER_SIZE - 3 - LOG_SRC_PREFIX, fmt, ap);
    va_end(ap);
    return 0;
}

/* Wall-clock milliseconds since the epoch. */
uint64_t log_now_ms(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}

uint64_t log_lines_dropped(void)
{
    return lines_dropped.load();
}

void log_set_time_source(time_t (*now)(void))
{
    time_source.store(now);
}

void log_pause_writer(int paused)
{
    writer_paused.store(paused);
    if (state.load() == LOG_STATE_RUNNING)
        sem_post(&wake_writer);
}

int log_flush(int timeout_ms)
{
    if (state.load() != LOG_STATE_RUNNING)
        return -EINVAL;
    uint64_t target = lines_queued.load();
    for (int waited = 0; lines_written.load() < target; waited++) {
        if (waited >= timeout_ms)
            return -ETIMEDOUT;
        usleep(1000);
    }
    return 0;
}
