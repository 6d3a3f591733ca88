/*
 * Filler store: the whole filler file read into memory once, packets grouped
 * by stream index in file order, exactly as the demuxer returned them. The
 * demuxer stays open so that its stream list (ids, start times) can be
 * consulted while splicing.
 */
#include "pipeline/filler.h"

#include <cerrno>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
}

/* Frees every stored packet and array, the demuxer and the record. */
static void filler_free(filler_ctx *f)
{
    for (int s = 0; s < FILLER_MAX_STREAMS; s++) {
        filler_stream *fs = &f->streams[s];
        if (!fs->packets)
            continue;
        for (int32_t i = 0; i < fs->count; i++)
            av_packet_free(&fs->packets[i]);
        free(fs->packets);
        fs->packets = nullptr;
        fs->count = fs->capacity = 0;
    }
    avformat_close_input(&f->format);
    free(f);
}

/*
 * Appends pkt to slot fs, growing its array by FILLER_GROWTH entries when
 * full. On success the slot owns pkt; on -12 nothing changed and pkt is
 * still the caller's.
 */
static int filler_append(filler_stream *fs, AVPacket *pkt)
{
    if (fs->capacity < fs->count + 1) {
        if (fs->capacity > INT32_MAX - FILLER_GROWTH)
            return -ENOMEM;
        int32_t capacity = fs->capacity + FILLER_GROWTH;
        AVPacket **packets =
            (AVPacket **)realloc(fs->packets, (size_t)capacity * sizeof(*packets));
        if (!packets)
            return -ENOMEM;
        fs->packets = packets;
        fs->capacity = capacity;
    }
    fs->packets[fs->count++] = pkt;
    return 0;
}

int filler_load(const char *path, filler_ctx **out)
{
    int ret;

    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!path)
        return -EINVAL;

    filler_ctx *f = (filler_ctx *)calloc(1, sizeof(*f));
    if (!f)
        return -ENOMEM;

    // On failure avformat_open_input frees the context and nulls the pointer.
    ret = avformat_open_input(&f->format, path, nullptr, nullptr);
    if (ret < 0)
        goto out_free;
    ret = avformat_find_stream_info(f->format, nullptr);
    if (ret < 0)
        goto out_free;

    for (;;) {
        AVPacket *pkt = av_packet_alloc();
        if (!pkt) {
            ret = -ENOMEM;
            goto out_free;
        }
        ret = av_read_frame(f->format, pkt);
        if (ret < 0) {
            av_packet_free(&pkt);
            // Out of memory would leave a hole in the filler; any other
            // error (end of file, damaged data) ends the filler here.
            if (ret == AVERROR(ENOMEM)) {
                ret = -ENOMEM;
                goto out_free;
            }
            break;
        }

        int s = pkt->stream_index;
        if (s < 0 || s >= FILLER_MAX_STREAMS) {
            // No slot for this stream: the caller reports it from the
            // format context's stream list.
            av_packet_free(&pkt);
            continue;
        }
        ret = filler_append(&f->streams[s], pkt);
        if (ret < 0) {
            av_packet_free(&pkt);
            goto out_free;
        }
    }

    *out = f;
    return 0;

out_free:
    filler_free(f);
    return ret;
}

int filler_destroy(filler_ctx **p)
{
    if (!p)
        return -EINVAL;
    filler_ctx *f = *p;
    *p = nullptr;
    if (!f)
        return -EINVAL;
    filler_free(f);
    return 0;
}
