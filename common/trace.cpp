/*
 * Timestamp and error texts, the one-line packet trace, and the media
 * library's log callback that gathers its output into whole log lines.
 */
#include "common/trace.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
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
/* TRACE_FORMAT's text when no time is AV_NOPTS_VALUE: ts_to_str's and ts_to_timestr's numbers in the same widths. */
#define TRACE_FORMAT_TIMED                                                                             \
    "%s: pts:%10" PRId64 " pts_time:%10.6g dts:%10" PRId64 " dts_time:%10.6g duration:%10" PRId64 \
    " duration_time:%10.6g stream_index:%d, size=%d"

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

void log_packet_tb(const trace_sink *sink, AVRational tb, const AVPacket *pkt, const char *tag)
{
    char line[512];

    if (!pkt || !sink || !sink->fn)
        return;
    if (!tag)
        tag = "";
    if (pkt->pts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->duration != AV_NOPTS_VALUE) {
        /* Every time known (nearly every line): the same text in one call, the numbers formatted in place. */
        double s = av_q2d(tb);
        snprintf(line, sizeof(line), TRACE_FORMAT_TIMED, tag, pkt->pts, s * (double)pkt->pts, pkt->dts,
                 s * (double)pkt->dts, pkt->duration, s * (double)pkt->duration, pkt->stream_index, pkt->size);
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
