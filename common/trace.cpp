/*
 * Timestamp and error texts, the one-line packet trace, and the media
 * library's log callback that gathers its output into whole log lines.
 */
#include "common/trace.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <mutex>
#include <pthread.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/time.h>
}

#include "common/log.h"

#define TRACE_FORMAT                                                                      \
    "%s: pts:%10s pts_time:%10s dts:%10s dts_time:%10s duration:%10s duration_time:%10s " \
    "stream_index:%d, size=%d"
/* Size of the text held between calls of the log callback, terminator included. */
#define FFMPEG_LOG_BUFFER_SIZE 32768


char *err_to_str(char *buf, size_t size, int code)
{
    if (buf && size > 0)
        av_strerror(code, buf, size);
    return buf;
}

char *ts_to_str(char *buf, int64_t ts)
{
    if (ts == AV_NOPTS_VALUE)
        snprintf(buf, TS_TEXT_SIZE, "NOPTS");
    else
        snprintf(buf, TS_TEXT_SIZE, "%" PRId64, ts);
    return buf;
}

char *ts_to_timestr(char *buf, int64_t ts, AVRational tb)
{
    if (ts == AV_NOPTS_VALUE)
        snprintf(buf, TS_TEXT_SIZE, "NOPTS");
    else
        snprintf(buf, TS_TEXT_SIZE, "%.6g", av_q2d(tb) * (double)ts);
    return buf;
}

void log_detail(const trace_sink *sink, const char *fmt, ...)
{
    char line[1024];
    va_list ap;

    if (!sink || !sink->fn)
        return;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    sink->fn(sink->opaque, TRACE_DETAIL, line);
}

/* Appends text right-aligned in width columns (or whole when longer); returns the end. */
static char *put_right(char *at, const char *text, size_t len, size_t width)
{
    for (; width > len; width--)
        *at++ = ' ';
    memcpy(at, text, len);
    return at + len;
}

/* Appends v as "%10" PRId64 would; returns the end. */
static char *put_int(char *at, int64_t v)
{
    char digits[24], *d = digits + sizeof(digits);
    uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
    do {
        *--d = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0)
        *--d = '-';
    return put_right(at, d, (size_t)(digits + sizeof(digits) - d), 10);
}

/*
 * Appends v as "%10.6g" would: six significant digits rounded to the
 * nearest, trailing zeros and point left out. Values this does not
 * round with certainty (within a millionth of a tie or of a decade's
 * edge, below 1e-4 or from 1e6 on, negative zero, not finite) are left to
 * snprintf. Returns the end.
 */
static char *put_g6(char *at, double v)
{
    static const double pow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    double a = v < 0 ? -v : v;
    if (v == 0 && !std::signbit(v))
        return put_right(at, "0", 1, 10);
    if (a >= 1e-4 && a < 1e6) {
        int p = 0;  // digits after the point: the value times 10^p lies in [1e5, 1e6)
        while (p < 9 && a * pow10[p] < 1e5)
            p++;
        double scaled = a * pow10[p];
        double whole = std::floor(scaled), frac = scaled - whole;
        if (scaled >= 1e5 + 1e-6 && scaled < 1e6 - 1e-6 && std::fabs(frac - 0.5) > 1e-6) {
            uint64_t n = (uint64_t)whole + (frac > 0.5);
            if (n == 1000000) {  // rounded up to the next decade
                n = 100000;
                p--;
            }
            char text[24], *t = text;
            if (v < 0)
                *t++ = '-';
            uint64_t unit = (uint64_t)pow10[p > 0 ? p : 0];
            uint64_t ip = n / unit, fp = n % unit;
            char digits[24], *d = digits + sizeof(digits);
            do {
                *--d = (char)('0' + ip % 10);
                ip /= 10;
            } while (ip);
            size_t len = (size_t)(digits + sizeof(digits) - d);
            memcpy(t, d, len);
            t += len;
            if (p > 0 && fp) {
                int q = p;
                while (fp % 10 == 0) {
                    fp /= 10;
                    q--;
                }
                *t++ = '.';
                for (int i = q - 1; i >= 0; i--, fp /= 10)
                    t[i] = (char)('0' + fp % 10);
                t += q;
            }
            return put_right(at, text, (size_t)(t - text), 10);
        }
    }
    char text[32];
    int len = snprintf(text, sizeof(text), "%.6g", v);
    return put_right(at, text, len > 0 ? (size_t)len : 0, 10);
}

void log_packet_tb(const trace_sink *sink, AVRational tb, const AVPacket *pkt, const char *tag)
{
    char line[512];

    if (!pkt || !sink || !sink->fn)
        return;
    if (!tag)
        tag = "";
    size_t tag_len = strlen(tag);
    if (pkt->pts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->duration != AV_NOPTS_VALUE &&
        tag_len < sizeof(line) - 256) {
        /*
         * Every time known (nearly every line): TRACE_FORMAT's text with the
         * numbers put in place here (a line a packet the rules touch,
         * thousands a break: the C library's formatting of the times cost
         * more than the rest of the trace).
         */
        double s = av_q2d(tb);
        char *at = line;
        at = put_right(at, tag, tag_len, 0);
        at = put_right(at, ": pts:", 6, 0);
        at = put_int(at, pkt->pts);
        at = put_right(at, " pts_time:", 10, 0);
        at = put_g6(at, s * (double)pkt->pts);
        at = put_right(at, " dts:", 5, 0);
        at = put_int(at, pkt->dts);
        at = put_right(at, " dts_time:", 10, 0);
        at = put_g6(at, s * (double)pkt->dts);
        at = put_right(at, " duration:", 10, 0);
        at = put_int(at, pkt->duration);
        at = put_right(at, " duration_time:", 15, 0);
        at = put_g6(at, s * (double)pkt->duration);
        snprintf(at, sizeof(line) - (size_t)(at - line), " stream_index:%d, size=%d", pkt->stream_index, pkt->size);
        sink->fn(sink->opaque, TRACE_PACKET, line);
        return;
    }

    char pts[TS_TEXT_SIZE] = {0}, pts_time[TS_TEXT_SIZE] = {0};
    char dts[TS_TEXT_SIZE] = {0}, dts_time[TS_TEXT_SIZE] = {0};
    char dur[TS_TEXT_SIZE] = {0}, dur_time[TS_TEXT_SIZE] = {0};
    ts_to_str(pts, pkt->pts);
    ts_to_timestr(pts_time, pkt->pts, tb);
    ts_to_str(dts, pkt->dts);
    ts_to_timestr(dts_time, pkt->dts, tb);
    ts_to_str(dur, pkt->duration);
    ts_to_timestr(dur_time, pkt->duration, tb);

    snprintf(line, sizeof(line), TRACE_FORMAT, tag, pts, pts_time, dts, dts_time, dur, dur_time,
             pkt->stream_index, pkt->size);
    sink->fn(sink->opaque, TRACE_PACKET, line);
}

void log_packet(const trace_sink *sink, const AVFormatContext *fmt_ctx, const AVPacket *pkt, const char *tag)
{
    // Every timestamp of this system is in 90 kHz ticks; that time base
    // stands in when the packet's stream index names no stream of fmt_ctx.
    AVRational tb = {1, 90000};

    if (!pkt)
        return;
    if (fmt_ctx && pkt->stream_index >= 0 &&
        (unsigned)pkt->stream_index < fmt_ctx->nb_streams)
        tb = fmt_ctx->streams[pkt->stream_index]->time_base;
    log_packet_tb(sink, tb, pkt, tag);
}

/*
 * The library's output not yet logged (always terminated, ffmpeg_log_len
 * characters), and one formatted message; both guarded by ffmpeg_log_lock.
 */
static pthread_mutex_t ffmpeg_log_lock = PTHREAD_MUTEX_INITIALIZER;
static char ffmpeg_log_text[FFMPEG_LOG_BUFFER_SIZE];
static size_t ffmpeg_log_len;
static char ffmpeg_log_message[FFMPEG_LOG_BUFFER_SIZE];

namespace {

struct ffmpeg_log_locked {
    ffmpeg_log_locked() { pthread_mutex_lock(&ffmpeg_log_lock); }
    ~ffmpeg_log_locked() { pthread_mutex_unlock(&ffmpeg_log_lock); }
    ffmpeg_log_locked(const ffmpeg_log_locked &) = delete;
    ffmpeg_log_locked &operator=(const ffmpeg_log_locked &) = delete;
};

/* Logs every complete line held and keeps the text after the last line feed. */
void ffmpeg_log_emit_lines()
{
    for (;;) {
        char *lf = (char *)memchr(ffmpeg_log_text, '\n', ffmpeg_log_len);
        if (!lf)
            break;
        *lf = '\0';
        log_printf(LOG_INFO, "FFMPEG: %s", ffmpeg_log_text);
        size_t rest = ffmpeg_log_len - (size_t)(lf + 1 - ffmpeg_log_text);
        memmove(ffmpeg_log_text, lf + 1, rest);
        ffmpeg_log_len = rest;
        ffmpeg_log_text[ffmpeg_log_len] = '\0';
    }
}

/* Appends a message to the held text, logging lines as they complete. */
void ffmpeg_log_append(const char *msg, size_t len)
{
    const size_t room_max = sizeof(ffmpeg_log_text) - 1;

    while (len > 0) {
        size_t chunk = std::min(len, room_max - ffmpeg_log_len);
        memcpy(ffmpeg_log_text + ffmpeg_log_len, msg, chunk);
        ffmpeg_log_len += chunk;
        ffmpeg_log_text[ffmpeg_log_len] = '\0';
        msg += chunk;
        len -= chunk;

        ffmpeg_log_emit_lines();

        // A buffer full of text without a line feed can take nothing more:
        // log it as one line so that later output is not lost.
        if (ffmpeg_log_len == room_max) {
            log_printf(LOG_INFO, "FFMPEG: %s", ffmpeg_log_text);
            ffmpeg_log_len = 0;
            ffmpeg_log_text[0] = '\0';
        }
    }
}

} // namespace

void ffmpeg_log_callback(void *avcl, int level, const char *fmt, va_list vl)
{
    (void)avcl;
    if (level > AV_LOG_INFO || !fmt)
        return;

    // Called by the library from any of its threads: nothing may escape.
    try {
        ffmpeg_log_locked locked;
        va_list args;
        va_copy(args, vl);
        int n = vsnprintf(ffmpeg_log_message, sizeof(ffmpeg_log_message), fmt, args);
        va_end(args);
        if (n > 0)
            ffmpeg_log_append(ffmpeg_log_message,
                              std::min((size_t)n, sizeof(ffmpeg_log_message) - 1));
    } catch (...) {
    }
}

/*
 * The policy in force and the library's lines of one format in a row, and
 * those of them left out (guarded by ffmpeg_repeat_lock).
 */
static std::mutex ffmpeg_repeat_lock;
static ffmpeg_log_policy ffmpeg_policy;
static const char *ffmpeg_repeat_fmt;
static int64_t ffmpeg_repeats;
static int64_t ffmpeg_left_out;
static int64_t ffmpeg_logged_at;  // µs (monotonic)
static std::atomic<int> ffmpeg_quiet{0};

/*
 * The library's log into the logger, except while it would only repeat
 * itself. A demuxer searching random bytes for packets writes one line
 * dozens of times a second: past policy.repeats lines of one format in a
 * row, one is logged per policy.period_us with the count left out.
 */
static void ffmpeg_log_policy_callback(void *avcl, int level, const char *fmt, va_list vl)
{
    if (ffmpeg_quiet.load() || level > AV_LOG_INFO)
        return;
    /* A filter's own notes (the loudness meter's summary of each stream it measured, some 15 lines, at its
     * end): the conforming reads the figures from the frames and says them once. Its warnings pass. */
    const AVClass *cls = avcl ? *(const AVClass **)avcl : nullptr;
    if (level == AV_LOG_INFO && cls && cls->category == AV_CLASS_CATEGORY_FILTER)
        return;
    int64_t left_out = 0;
    const char *who = "";
    try {
        std::lock_guard<std::mutex> guard(ffmpeg_repeat_lock);
        int64_t now = av_gettime_relative();
        who = ffmpeg_policy.who ? ffmpeg_policy.who : "";
        if (fmt != ffmpeg_repeat_fmt) {
            left_out = ffmpeg_left_out;
            ffmpeg_repeat_fmt = fmt;
            ffmpeg_repeats = 0;
        } else if (ffmpeg_policy.repeats > 0 && ffmpeg_repeats >= ffmpeg_policy.repeats) {
            if (now - ffmpeg_logged_at < ffmpeg_policy.period_us) {
                ffmpeg_left_out++;
                return;
            }
            left_out = ffmpeg_left_out;
        }
        ffmpeg_repeats++;
        ffmpeg_left_out = 0;
        ffmpeg_logged_at = now;
    } catch (...) {
        return;
    }
    if (left_out > 0)
        log_printf(LOG_INFO, "%s: %" PRId64 " lines of the media library like the previous one left out", who,
                   left_out);
    ffmpeg_log_callback(avcl, level, fmt, vl);
}

void ffmpeg_log_policy_set(const ffmpeg_log_policy *policy)
{
    {
        std::lock_guard<std::mutex> guard(ffmpeg_repeat_lock);
        ffmpeg_policy = policy ? *policy : ffmpeg_log_policy{};
    }
    if (ffmpeg_policy.to_log) {
        av_log_set_flags(AV_LOG_SKIP_REPEATED);
        av_log_set_callback(ffmpeg_log_policy_callback);
    } else {
        av_log_set_callback(av_log_default_callback);
    }
}

void ffmpeg_log_quiet(int quiet)
{
    ffmpeg_quiet.store(quiet);
}
