/*
 * The relay's input: the input filter (ts/ts_in) opened on a URL or on the
 * program's own reader, and the demuxer probed on it. A live input's probe
 * is bounded in stream time and on the wall clock, since its set-up is
 * time off air.
 */
#include "relay/relay.h"
#include "relay/relay_internal.h"

#include <cerrno>

extern "C" {
#include <libavformat/avformat.h>
}

#include "ts/ts_in.h"

#define RELAY_LIVE_PROBE_US     1500000 // stream time a live input's probe waits for streams still unknown
/* Input time (27 MHz) the input filter's end of the probe waits for a stream of the programme not seen yet. */
#define RELAY_PROBE_UNSEEN      ((int64_t)RELAY_LIVE_PROBE_US * 27)
#define RELAY_LIVE_PROBE_WALL_US 3000000 // wall-clock time a live input's probe may last once its programme is chosen

/* Opens and probes the demuxer on in->filter, which is set; on failure closes both. */
static int relay_open_demuxer(relay_input *in, const char *name, const AVIOInterruptCB *interrupt)
{
    bool live = !(ts_in_seekable(in->filter) & AVIO_SEEKABLE_NORMAL);
    int ret = ts_in_set_pass(in->filter, in->program, in->spts, relay_pass_capacity(in->rate, live));
    in->fmt = ret < 0 ? nullptr : avformat_alloc_context();
    if (!in->fmt) {
        ts_in_close(&in->filter);
        return ret < 0 ? ret : AVERROR(ENOMEM);
    }
    in->fmt->pb = ts_in_pb(in->filter);
    in->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (interrupt)
        in->fmt->interrupt_callback = *interrupt;
    /*
     * A live input's set-up is time off air (what arrives meanwhile is left
     * out): a declared stream that carries nothing yet must not hold the
     * probe for the library's seven seconds. Streams it has not learned are
     * relayed as declared.
     */
    if (live)
        in->fmt->max_analyze_duration = RELAY_LIVE_PROBE_US;
    /*
     * Nor must a programme whose video cannot be read (scrambled, of a type
     * the demuxer does not know): such streams never end the probe, and
     * nothing of it could be spliced anyway. The input filter ends the
     * probe once it knows (both programs alike), and a live one after a
     * few seconds on the wall clock in any case: a source whose times keep
     * going back (a looped recording) never spans the analysis time.
     */
    ts_in_set_probe(in->filter, RELAY_PROBE_UNSEEN, live ? RELAY_LIVE_PROBE_WALL_US : 0);
    /* On failure avformat_open_input frees the context and nulls the pointer. */
    ret = avformat_open_input(&in->fmt, name, av_find_input_format("mpegts"), nullptr);
    if (ret >= 0) {
        in->failed_step = RELAY_INPUT_PROBE;
        ret = avformat_find_stream_info(in->fmt, nullptr);
    }
    /* The demuxer took the filter's end for the end of the input: its streams are all that can be known. */
    if (ts_in_end_probe(in->filter) > 0 && ret == AVERROR_EOF)
        ret = 0;
    if (ret < 0) {
        relay_close_input(in);
        return ret;
    }
    return 0;
}

int relay_open_input(relay_input *in, const char *url, const AVIOInterruptCB *interrupt,
                     AVDictionary **options)
{
    if (!in || !url)
        return -EINVAL;
    in->fmt = nullptr;
    in->filter = nullptr;
    in->failed_step = RELAY_INPUT_OPEN;
    int ret = ts_in_open_url(&in->filter, url, interrupt, options, RELAY_INPUT_BUFFER);
    if (ret < 0)
        return ret;
    return relay_open_demuxer(in, url, interrupt);
}

int relay_open_input_reader(relay_input *in, const char *name, ts_in_read_fn read, void *opaque,
                            const AVIOInterruptCB *interrupt)
{
    if (!in || !name || !read)
        return -EINVAL;
    in->fmt = nullptr;
    in->filter = nullptr;
    in->failed_step = RELAY_INPUT_OPEN;
    int ret = ts_in_open(&in->filter, read, opaque, RELAY_INPUT_BUFFER);
    if (ret < 0)
        return ret;
    return relay_open_demuxer(in, name, interrupt);
}

void relay_close_input(relay_input *in)
{
    if (!in)
        return;
    avformat_close_input(&in->fmt);
    if (in->filter)
        ts_in_close(&in->filter);
}
