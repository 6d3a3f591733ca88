/*
 * Texts of library error codes and timestamps, the one-line packet trace and
 * the callback that routes the media library's own messages into the log.
 */
#ifndef KESTROW_COMMON_TRACE_H
#define KESTROW_COMMON_TRACE_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

struct AVFormatContext;
struct AVPacket;

#define TS_TEXT_SIZE  32
#define ERR_TEXT_SIZE 64

/* av_strerror of code into buf; returns buf. */
char *err_to_str(char *buf, size_t size, int code);
/* "NOPTS" or the ticks in decimal; buf holds TS_TEXT_SIZE bytes. */
char *ts_to_str(char *buf, int64_t ts);
/* "NOPTS" or the seconds ("%.6g") of ts in time base tb. */
char *ts_to_timestr(char *buf, int64_t ts, AVRational tb);

/*
 * Where packet traces go: the program gives a sink to the parts that trace
 * (relay_desc, splice_desc); without one traces are not written. kind
 * TRACE_PACKET is a packet trace line, TRACE_DETAIL a per-packet detail line
 * of the splice rules. The line has no line feed and is valid during the
 * call only.
 */
enum trace_kind { TRACE_PACKET = 0, TRACE_DETAIL = 1 };
struct trace_sink {
    void (*fn)(void *opaque, int kind, const char *line);
    void *opaque;
};
/* One TRACE_DETAIL line through sink (null: none). */
void log_detail(const trace_sink *sink, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/*
 * One trace line "tag: pts:... stream_index:%d, size=%d" for pkt through
 * sink (null: none), with the time base of the stream at the packet's
 * stream index in fmt_ctx.
 */
void log_packet(const trace_sink *sink, const AVFormatContext *fmt_ctx, const AVPacket *pkt, const char *tag);
/* The same with an explicit time base. */
void log_packet_tb(const trace_sink *sink, AVRational tb, const AVPacket *pkt, const char *tag);

/*
 * Media library log callback: messages up to AV_LOG_INFO are gathered into
 * whole lines and logged as "FFMPEG: %s". Safe from any thread.
 */
void ffmpeg_log_callback(void *avcl, int level, const char *fmt, va_list vl);

/* What a program does with the media library's log (ffmpeg_log_policy_set). */
struct ffmpeg_log_policy {
    int to_log;              // 1: into the logger through ffmpeg_log_callback; 0: the library's own output
    int repeats;             // to_log: lines of one format logged in a row before the rest are counted; 0: all
    int64_t period_us;       // past repeats, one such line is logged per period with the count left out
    const char *who;         // the name in front of that count's line
};

/*
 * The media library's log policy, set once by each program at its start.
 * The library's log callback is process-wide (av_log_set_callback): this is
 * the one place of the programs that sets it. Into the logger, repeated
 * messages are skipped by the library and a format repeated past
 * policy->repeats lines in a row is logged once per policy->period_us with
 * the number left out; otherwise the library writes as it does by default.
 * policy is copied; who must outlive the program's use of the library.
 */
void ffmpeg_log_policy_set(const ffmpeg_log_policy *policy);

/* Non-zero: the library's lines are left out (the program repeats a step that failed at once). */
void ffmpeg_log_quiet(int quiet);

#endif
