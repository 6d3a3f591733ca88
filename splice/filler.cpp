/*
 * Filler store: the whole filler file read into memory once, packets grouped
 * by stream index in file order, exactly as the demuxer returned them, their
 * payloads copied side by side into large blocks (common/bigmem.h: a filler
 * of tens of megabytes in the demuxer's own buffers costs a page fault per
 * 4 KiB, which costs more than reading it). The demuxer stays open so that
 * its stream list (ids, start times) can be consulted while splicing.
 */
#include "splice/filler.h"
#include "common/bigmem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#define FILLER_BLOCK_SIZE ((size_t)8 << 20)  // payloads are kept in blocks of this size (more for a larger one)
#define FILLER_ALIGN      64                 // each payload starts on this boundary, as the library's own do

/* Frees every stored packet and array, the demuxer and the record. */
/*
 * MPEG audio of layers 1 to 3 is one stream type in a transport stream;
 * the demuxer names the layer from a few frames, and may name a short
 * file's differently from a long one's.
 */
bool filler_same_codec(enum AVCodecID a, enum AVCodecID b)
{
    auto mpeg_audio = [](enum AVCodecID c) {
        return c == AV_CODEC_ID_MP1 || c == AV_CODEC_ID_MP2 || c == AV_CODEC_ID_MP3;
    };
    return a == b || (mpeg_audio(a) && mpeg_audio(b));
}

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

/* The block that payloads are copied into while the file is read. */
struct filler_block {
    AVBufferRef *buf;  // null before the first payload
    size_t used;
};

static void filler_block_free(void *opaque, uint8_t *data)
{
    (void)opaque;
    bigmem_free(data);
}

/*
 * Moves pkt's payload into the current block, or into a new one when it does
 * not fit there, zero padding after it: pkt then refers to the block and its
 * own buffer is released. On -ENOMEM pkt is unchanged.
 */
static int filler_keep_payload(filler_block *b, AVPacket *pkt)
{
    size_t need = ((size_t)pkt->size + AV_INPUT_BUFFER_PADDING_SIZE + FILLER_ALIGN - 1) / FILLER_ALIGN * FILLER_ALIGN;
    if (!b->buf || b->buf->size - b->used < need) {
        size_t size = need > FILLER_BLOCK_SIZE ? need : FILLER_BLOCK_SIZE;
        uint8_t *data = (uint8_t *)bigmem_alloc(size);
        AVBufferRef *buf = data ? av_buffer_create(data, size, filler_block_free, nullptr, 0) : nullptr;
        if (!buf) {
            bigmem_free(data);
            return -ENOMEM;
        }
        av_buffer_unref(&b->buf);
        b->buf = buf;
        b->used = 0;
    }
    AVBufferRef *ref = av_buffer_ref(b->buf);
    if (!ref)
        return -ENOMEM;
    uint8_t *data = b->buf->data + b->used;
    if (pkt->size > 0)
        memcpy(data, pkt->data, pkt->size);
    memset(data + pkt->size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    b->used += need;
    av_buffer_unref(&pkt->buf);
    pkt->buf = ref;
    pkt->data = data;
    return 0;
}

/*
 * Appends pkt to slot fs, growing its array by FILLER_GROWTH entries when
 * full. On success the slot owns pkt; on -ENOMEM nothing changed and pkt is
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

/* The library's interrupt callback: a stop asked for ends the reading. */
static int filler_interrupted(void *opaque)
{
    return ((const std::atomic<int> *)opaque)->load() != 0;
}

int filler_load(const char *path, filler_ctx **out, const std::atomic<int> *stop)
{
    filler_block block = {};
    int ret;

    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!path)
        return -EINVAL;

    filler_ctx *f = (filler_ctx *)calloc(1, sizeof(*f));
    if (!f)
        return -ENOMEM;

    if (stop) {  // a stop while a large filler is read is not held up by the reading
        if (!(f->format = avformat_alloc_context())) {
            free(f);
            return -ENOMEM;
        }
        f->format->interrupt_callback.callback = filler_interrupted;
        f->format->interrupt_callback.opaque = (void *)stop;
    }
    // On failure avformat_open_input frees the context and nulls the pointer.
    ret = avformat_open_input(&f->format, path, nullptr, nullptr);
    if (ret < 0)
        goto out_free;
    ret = avformat_find_stream_info(f->format, nullptr);
    if (ret < 0)
        goto out_free;

    for (;;) {
        if (stop && stop->load()) {
            ret = -EINTR;
            goto out_free;
        }
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
        ret = filler_keep_payload(&block, pkt);
        if (ret >= 0)
            ret = filler_append(&f->streams[s], pkt);
        if (ret < 0) {
            av_packet_free(&pkt);
            goto out_free;
        }
    }

    av_buffer_unref(&block.buf);  // the packets hold the blocks
    *out = f;
    return 0;

out_free:
    av_buffer_unref(&block.buf);
    filler_free(f);
    return stop && stop->load() ? -EINTR : ret;
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

int filler_usable(const filler_ctx *f, char *why, size_t size)
{
    if (!f || !f->format || !why)
        return -EINVAL;
    int packets = 0, video = 0;
    for (unsigned s = 0; s < f->format->nb_streams && s < FILLER_MAX_STREAMS; s++) {
        const AVCodecParameters *par = f->format->streams[s]->codecpar;
        packets += f->streams[s].count;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && par->codec_id != AV_CODEC_ID_NONE)
            video += f->streams[s].count;
    }
    const char *format = f->format->iformat ? f->format->iformat->name : "?";
    if (packets == 0) {
        snprintf(why, size, "no packets");
        return -ENODATA;
    }
    bool ts = strcmp(format, "mpegts") == 0;
    if (video == 0 || !ts) {
        snprintf(why, size, "no video stream the MPEG-TS demuxer can read%s%s%s", ts ? "" : " (read as ",
                 ts ? "" : format, ts ? "" : ")");
        return -EMEDIUMTYPE;
    }
    return 0;
}

/* A stream's language (ISO 639), or null when it has none or an undetermined one. */
static const char *stream_language(const AVStream *st)
{
    const AVDictionaryEntry *e = av_dict_get(st->metadata, "language", nullptr, 0);
    return e && e->value[0] && strcmp(e->value, "und") != 0 ? e->value : nullptr;
}

static bool same_language(const char *a, const char *b)
{
    return a && b && strcmp(a, b) == 0;
}

/* The filler stream k when it has packets of kind (and of codec, unless AV_CODEC_ID_NONE); null otherwise. */
static const AVStream *filler_candidate(const filler_ctx *f, unsigned k, enum AVMediaType kind, enum AVCodecID codec)
{
    if (k >= f->format->nb_streams || k >= FILLER_MAX_STREAMS || f->streams[k].count <= 0)
        return nullptr;
    const AVStream *st = f->format->streams[k];
    bool fits = st->codecpar->codec_type == kind &&
                (codec == AV_CODEC_ID_NONE || filler_same_codec(st->codecpar->codec_id, codec));
    return fits ? st : nullptr;
}

/* The rank-th filler stream of kind and codec (language lang when not null), or -1. */
static int filler_ranked(const filler_ctx *f, enum AVMediaType kind, enum AVCodecID codec, const char *lang, int rank)
{
    for (unsigned k = 0; k < f->format->nb_streams; k++) {
        const AVStream *st = filler_candidate(f, k, kind, codec);
        if (st && (!lang || same_language(lang, stream_language(st))) && rank-- == 0)
            return (int)k;
    }
    return -1;
}

/*
 * filler_match among the filler's streams of ps's kind and of codec (any:
 * AV_CODEC_ID_NONE), ranks counted among the programme's streams of that
 * kind and codec.
 */
static int filler_match_codec(const filler_ctx *f, const AVFormatContext *programme, const AVStream *ps, int id,
                              enum AVCodecID codec)
{
    enum AVMediaType kind = ps ? ps->codecpar->codec_type : AVMEDIA_TYPE_VIDEO;
    const char *lang = ps ? stream_language(ps) : nullptr;
    int rank = 0, lang_rank = 0;
    for (unsigned i = 0; ps && programme->streams[i] != ps; i++) {
        const AVStream *st = programme->streams[i];
        if (st->codecpar->codec_type != kind ||
            (codec != AV_CODEC_ID_NONE && !filler_same_codec(st->codecpar->codec_id, codec)))
            continue;
        rank++;
        lang_rank += same_language(lang, stream_language(st));
    }
    int k = lang && kind == AVMEDIA_TYPE_AUDIO ? filler_ranked(f, kind, codec, lang, lang_rank) : -1;
    for (unsigned i = 0; k < 0 && i < f->format->nb_streams; i++)
        if (filler_candidate(f, i, kind, codec) && f->format->streams[i]->id == id)
            k = (int)i;
    if (k < 0)
        k = filler_ranked(f, kind, codec, nullptr, rank);
    if (k < 0 && kind == AVMEDIA_TYPE_VIDEO)
        k = filler_ranked(f, kind, codec, nullptr, 0);
    return k;
}

int filler_match(const filler_ctx *f, const AVFormatContext *programme, int id)
{
    if (!f || !f->format)
        return -1;
    const AVStream *ps = nullptr;
    for (unsigned i = 0; programme && i < programme->nb_streams && !ps; i++)
        if (programme->streams[i]->id == id)
            ps = programme->streams[i];
    if (programme && !ps)
        return -1;
    enum AVMediaType kind = ps ? ps->codecpar->codec_type : AVMEDIA_TYPE_VIDEO;
    if (kind != AVMEDIA_TYPE_VIDEO && kind != AVMEDIA_TYPE_AUDIO)
        return -1;
    /* Streams of the programme's codec first; else any of its kind, which filler_check names. */
    enum AVCodecID codec = ps ? ps->codecpar->codec_id : AV_CODEC_ID_NONE;
    int k = codec != AV_CODEC_ID_NONE ? filler_match_codec(f, programme, ps, id, codec) : -1;
    return k >= 0 ? k : filler_match_codec(f, programme, ps, id, AV_CODEC_ID_NONE);
}

/* Records one difference when there is room; counts it in any case. */
static void filler_note(filler_mismatch *out, int max, int *n, const filler_mismatch *m)
{
    if (*n < max)
        out[*n] = *m;
    (*n)++;
}

int filler_check(const filler_ctx *filler, const AVFormatContext *programme, filler_mismatch *out, int max)
{
    if (!filler || !filler->format || !programme || (!out && max > 0))
        return -EINVAL;
    int n = 0;
    for (unsigned i = 0; i < programme->nb_streams; i++) {
        const AVCodecParameters *p = programme->streams[i]->codecpar;
        if (p->codec_type != AVMEDIA_TYPE_VIDEO && p->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        filler_mismatch m = {};
        m.pid = programme->streams[i]->id;
        m.video = p->codec_type == AVMEDIA_TYPE_VIDEO;

        int k = filler_match(filler, programme, m.pid);
        const AVCodecParameters *f = k >= 0 ? filler->format->streams[k]->codecpar : nullptr;
        if (!f) {
            m.difference = FILLER_NO_STREAM;
        } else if (!filler_same_codec(f->codec_id, p->codec_id)) {
            m.difference = FILLER_OTHER_CODEC;
            m.programme_value = p->codec_id;
            m.filler_value = f->codec_id;
        } else if (m.video && p->width > 0 && (f->width != p->width || f->height != p->height)) {
            m.difference = FILLER_OTHER_SIZE;
            m.programme_value = p->width;
            m.programme_extra = p->height;
            m.filler_value = f->width;
            m.filler_extra = f->height;
        } else if (!m.video && p->sample_rate > 0 && f->sample_rate != p->sample_rate) {
            m.difference = FILLER_OTHER_RATE;
            m.programme_value = p->sample_rate;
            m.filler_value = f->sample_rate;
        } else {
            continue;
        }
        filler_note(out, max, &n, &m);
    }
    return n;
}

int filler_mismatch_text(const filler_mismatch *m, char *buf, size_t size)
{
    return filler_mismatch_text_as(m, "filler", buf, size);
}

int filler_mismatch_text_as(const filler_mismatch *m, const char *what, char *buf, size_t size)
{
    if (!m || !buf || !what)
        return -EINVAL;
    const char *kind = m->video ? "video" : "audio";
    switch (m->difference) {
    case FILLER_OTHER_CODEC:
        return snprintf(buf, size, "PID 0x%x (%s): codec %s in the %s, %s in the programme", m->pid, kind,
                        avcodec_get_name((AVCodecID)m->filler_value), what,
                        avcodec_get_name((AVCodecID)m->programme_value));
    case FILLER_OTHER_SIZE:
        return snprintf(buf, size, "PID 0x%x (%s): %dx%d in the %s, %dx%d in the programme", m->pid, kind,
                        m->filler_value, m->filler_extra, what, m->programme_value, m->programme_extra);
    case FILLER_OTHER_RATE:
        return snprintf(buf, size, "PID 0x%x (%s): %d Hz in the %s, %d Hz in the programme", m->pid, kind,
                        m->filler_value, what, m->programme_value);
    default:
        return snprintf(buf, size, "PID 0x%x (%s): no %s stream", m->pid, kind, what);
    }
}
