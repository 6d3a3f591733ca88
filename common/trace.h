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
 * Where packet traces go: the program installs a sink; without one traces
 * are not written. kind TRACE_PACKET is a packet trace line, TRACE_DETAIL a
 * per-packet detail line of the splice rules. The line has no line feed and
 * is valid during the call only.
 */
enum trace_kind { TRACE_PACKET = 0, TRACE_DETAIL = 1 };
struct trace_sink {
    void (*fn)(void *opaque, int kind, const char *line);
    void *opaque;
};
/* Installs sink (kept by pointer; null: none). Safe from any thread. */
void log_packet_set_sink(const trace_sink *sink);
/* One TRACE_DETAIL line through the installed sink. */
void log_detail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/*
 * One trace line "tag: pts:... stream_index:%d, size=%d" for pkt, with the
 * time base of the stream at the packet's stream index in fmt_ctx.
 */
void log_packet(const AVFormatContext *fmt_ctx, const AVPacket *pkt, const char *tag);
/* The same with an explicit time base. */
void log_packet_tb(AVRational tb, const AVPacket *pkt, const char *tag);

/*
 * Media library log callback: messages up to AV_LOG_INFO are gathered into
 * whole lines and logged as "FFMPEG: %s". Safe from any thread.
 */
void ffmpeg_log_callback(void *avcl, int level, const char *fmt, va_list vl);

#endif
