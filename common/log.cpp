/*
 * Asynchronous logger. Callers format a line under the lock into the shared
 * line buffer and queue a heap copy; the writer thread takes lines in queue
 * order and writes each to standard error (when switched on) and to the log
 * file, which it opens, appends to and closes per line and rotates by time.
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
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#define LOG_PATH_SIZE      4096
#define LOG_LINE_MAX_CHARS 127989   // longest line of log_printf, newline excluded

static const char overflow_msg[] = "ERROR! message queue OVERFLOW!!!\n";

enum log_state { LOG_STATE_IDLE, LOG_STATE_RUNNING, LOG_STATE_STOPPED };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake_writer = PTHREAD_COND_INITIALIZER;  // a line, a release or the stop

// Guarded by the lock.
static char line_buf[LOG_LINE_BUFFER_SIZE];
static char **ring;                 // LOG_QUEUE_MAX_LINES pending lines, oldest at ring_head
static uint32_t ring_head;
static uint32_t ring_count;
static uint64_t lines_queued;       // lines ever queued, for log_flush

static std::atomic<int> state{LOG_STATE_IDLE};
static std::atomic<int> stop_flag{0};
static std::atomic<int> stderr_on{1};
static std::atomic<int> threshold{20};
static std::atomic<int> writer_paused{0};
static std::atomic<uint64_t> lines_written{0};
static std::atomic<time_t (*)(void)> time_source{nullptr};
static std::atomic<uint64_t> overflow_unreported{0};  // overflow messages standard error has not taken yet

static pthread_t writer;

// Used by the writer thread only once log_start has set them.
static char path[LOG_PATH_SIZE];
static int64_t rotate_interval;     // seconds
static time_t last_rotation;        // 0 at process start

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

/*
 * Formats "M [YYYY-mm-dd HH:MM:SS.mmm] message\n" into buf, at most limit
 * characters before the newline (buf holds limit + 2 bytes). Returns the
 * length including the newline.
 */
static size_t format_line(char *buf, size_t limit, int level, const struct timeval *tv,
                          const char *fmt, va_list ap)
{
    struct tm tm;
    time_t sec = tv->tv_sec;
    localtime_r(&sec, &tm);
    buf[0] = level == LOG_ERROR ? '!' : level == LOG_DEBUG ? '?' : ' ';
    buf[1] = ' ';
    size_t len = 2 + strftime(buf + 2, limit - 1, "[%Y-%m-%d %H:%M:%S", &tm);
    len = append_fmt(buf, len, limit, ".%.03d] ", (int)(tv->tv_usec / 1000));
    len = append_vfmt(buf, len, limit, fmt, ap);
    buf[len++] = '\n';
    buf[len] = '\0';
    return len;
}

/*
 * The overflow message on standard error, with the lock held: written at once
 * only when standard error takes it without waiting, and otherwise left to
 * the writer thread (overflow_unreported). A slow reader of standard error (a
 * pipe, a console, the journal) holds up the writer thread, which is what
 * fills the queue; a blocking write here would then stall every thread that
 * logs, the packet loop among them.
 */
static void report_overflow_locked(void)
{
    struct pollfd out = {STDERR_FILENO, POLLOUT, 0};
    if (overflow_unreported.load() == 0 && poll(&out, 1, 0) == 1 && (out.revents & POLLOUT)) {
        ssize_t n = write(STDERR_FILENO, overflow_msg, sizeof(overflow_msg) - 1);
        if (n == (ssize_t)sizeof(overflow_msg) - 1)
            return;
    }
    overflow_unreported.fetch_add(1);
    pthread_cond_signal(&wake_writer);
}

/* Writer thread: the overflow messages that standard error could not take at once. */
static void report_deferred_overflows(void)
{
    for (uint64_t n = overflow_unreported.exchange(0); n > 0; n--)
        fwrite(overflow_msg, 1, sizeof(overflow_msg) - 1, stderr);
}

/*
 * Hands a formatted line on, with the lock held: to standard error before
 * log_start, onto the queue while running (or the overflow message when
 * LOG_QUEUE_MAX_LINES are pending), nowhere after log_stop.
 */
static void dispatch_locked(const char *line, size_t len)
{
    int s = state.load();
    if (s == LOG_STATE_IDLE) {
        fwrite(line, 1, len, stderr);
        return;
    }
    if (s != LOG_STATE_RUNNING)
        return;
    if (ring_count >= LOG_QUEUE_MAX_LINES) {
        report_overflow_locked();
        return;
    }
    char *copy = (char *)malloc(len + 1);
    if (!copy) {                        // better on the console than nowhere
        fwrite(line, 1, len, stderr);
        return;
    }
    memcpy(copy, line, len + 1);
    ring[(ring_head + ring_count) % LOG_QUEUE_MAX_LINES] = copy;
    ring_count++;
    lines_queued++;
    pthread_cond_signal(&wake_writer);
}

/*
 * Takes the oldest pending line (the caller frees it), or null when none is
 * pending or, for a pausable take, while the writer is paused. The pause is
 * tested under the lock, so no line is taken once log_pause_writer returned.
 */
static char *log_take(bool pausable)
{
    char *line = nullptr;
    pthread_mutex_lock(&lock);
    if (ring_count > 0 && !(pausable && writer_paused.load())) {
        line = ring[ring_head];
        ring[ring_head] = nullptr;
        ring_head = (ring_head + 1) % LOG_QUEUE_MAX_LINES;
        ring_count--;
    }
    pthread_mutex_unlock(&lock);
    return line;
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

/* Writes one line to standard error (when on) and to the log file, rotating first when due. */
static void log_write_line(const char *line)
{
    size_t len = strlen(line);
    if (stderr_on.load())
        fwrite(line, 1, len, stderr);
    if (!path[0])
        return;

    time_t now = log_clock();
    if (last_rotation + rotate_interval < now) {
        utils_rotate_file(path, now);
        last_rotation = now;
    }

    struct stat st;
    if (stat(path, &st) != 0)
        make_parents();
    FILE *f = fopen(path, "a");
    if (!f)
        return;
    fwrite(line, 1, len, f);
    fclose(f);
}

/* Writes out every pending line; a pausable drain stops as soon as the writer is paused. */
static void log_drain(bool pausable)
{
    char *line;
    report_deferred_overflows();
    while ((line = log_take(pausable))) {
        log_write_line(line);
        free(line);
        lines_written.fetch_add(1);
        report_deferred_overflows();
    }
}

/*
 * Writer thread: drains the queue, then sleeps until a line is queued, the
 * writer is released or the stop is asked for; drains once more at stop.
 */
static void *log_writer_thread(void *)
{
    utils_name_thread("log");
    while (!stop_flag.load()) {
        log_drain(true);
        pthread_mutex_lock(&lock);
        while (!stop_flag.load() && (ring_count == 0 || writer_paused.load()) &&
               overflow_unreported.load() == 0)
            pthread_cond_wait(&wake_writer, &lock);
        pthread_mutex_unlock(&lock);
    }
    log_drain(false);
    return nullptr;
}

/*
 * Moves an earlier run's file_name aside and opens it (see log.h), then
 * starts the writer thread for it (empty: standard error only) with a
 * rotation interval in seconds (negative taken as 0). Returns 0; -EBUSY when
 * already started or stopped; the open's negative errno; -ENOMEM or the thread
 * error when start-up fails, leaving nothing running.
 */
int log_start(const char *file_name, int interval)
{
    int ret = 0;
    pthread_mutex_lock(&lock);
    if (state.load() != LOG_STATE_IDLE) {
        ret = -EBUSY;
        goto out_unlock;
    }
    ring = (char **)calloc(LOG_QUEUE_MAX_LINES, sizeof(*ring));
    if (!ring) {
        ret = -ENOMEM;
        goto out_unlock;
    }
    ring_head = ring_count = 0;
    utils_strlcpy(path, file_name ? file_name : "", sizeof(path));
    rotate_interval = interval < 0 ? 0 : interval;
    stop_flag.store(0);
    ret = path[0] ? log_open_file() : 0;
    if (ret == 0)
        ret = -pthread_create(&writer, nullptr, log_writer_thread, nullptr);
    if (ret < 0) {
        path[0] = '\0';
        free(ring);
        ring = nullptr;
        goto out_unlock;
    }
    state.store(LOG_STATE_RUNNING);
out_unlock:
    pthread_mutex_unlock(&lock);
    return ret;
}

/*
 * Refuses further lines, lets the writer write every line queued so far,
 * joins it and frees the queue. Returns 0; -EINVAL when the logger is not
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
    pthread_mutex_unlock(&lock);

    pthread_mutex_lock(&lock);
    stop_flag.store(1);
    pthread_cond_signal(&wake_writer);
    pthread_mutex_unlock(&lock);
    pthread_join(writer, nullptr);

    pthread_mutex_lock(&lock);
    for (uint32_t i = 0; i < ring_count; i++)   // none left: the writer drained after the flag
        free(ring[(ring_head + i) % LOG_QUEUE_MAX_LINES]);
    free(ring);
    ring = nullptr;
    ring_count = 0;
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
 * Formats one line and queues it (before log_start: standard error; after
 * log_stop: dropped without touching the lock). Returns 0.
 */
int log_printf(int level, const char *fmt, ...)
{
    if (state.load() == LOG_STATE_STOPPED)
        return 0;
    struct timeval tv;
    gettimeofday(&tv, nullptr);     // one reading, so seconds and milliseconds agree
    va_list ap;
    va_start(ap, fmt);
    if (pthread_mutex_lock(&lock) != 0) {
        char local[1024];
        size_t len = format_line(local, sizeof(local) - 2, level, &tv, fmt, ap);
        fwrite(local, 1, len, stderr);
    } else {
        size_t len = format_line(line_buf, LOG_LINE_MAX_CHARS, level, &tv, fmt, ap);
        dispatch_locked(line_buf, len);
        pthread_mutex_unlock(&lock);
    }
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
    struct timeval tv;
    struct tm tm;
    char date[32];
    gettimeofday(&tv, nullptr);
    time_t sec = tv.tv_sec;
    localtime_r(&sec, &tm);
    strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &tm);

    va_list ap;
    va_start(ap, fmt);
    char local[1024];
    bool locked = pthread_mutex_lock(&lock) == 0;
    char *buf = locked ? line_buf : local;
    size_t max = (locked ? sizeof(line_buf) : sizeof(local)) - 2;
    size_t len = append_fmt(buf, 0, max, "%s.%.3d [%s:%d:%s] ", date, (int)(tv.tv_usec / 1000),
                            file, line, function);
    len = append_vfmt(buf, len, max, fmt, ap);
    buf[len++] = '\n';
    buf[len] = '\0';
    va_end(ap);
    if (!locked) {
        fwrite(buf, 1, len, stderr);
        return 0;
    }
    dispatch_locked(buf, len);
    pthread_mutex_unlock(&lock);
    return 0;
}

/* Wall-clock milliseconds since the epoch. */
uint64_t log_now_ms(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}

void log_set_time_source(time_t (*now)(void))
{
    time_source.store(now);
}

void log_pause_writer(int paused)
{
    pthread_mutex_lock(&lock);
    writer_paused.store(paused);
    pthread_cond_signal(&wake_writer);
    pthread_mutex_unlock(&lock);
}

int log_flush(int timeout_ms)
{
    pthread_mutex_lock(&lock);
    bool running = state.load() == LOG_STATE_RUNNING;
    uint64_t target = lines_queued;
    pthread_mutex_unlock(&lock);
    if (!running)
        return -EINVAL;
    for (int waited = 0; lines_written.load() < target; waited++) {
        if (waited >= timeout_ms)
            return -ETIMEDOUT;
        usleep(1000);
    }
    return 0;
}
