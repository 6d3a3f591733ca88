/*
 * The channel's format kept between runs: read from a recording of the
 * channel, written to and read back from a small text file, so that a
 * service can conform its spots before its input comes.
 *
 * The file, one line each:
 *   kestrow-format 1
 *   video PID CODEC PROFILE LEVEL WIDTHxHEIGHT PIXFMT SAR_NUM:SAR_DEN FPS_NUM/FPS_DEN FIELD_ORDER BIT_RATE
 *   audio PID CODEC SAMPLE_RATE CHANNELS BIT_RATE LANGUAGE   (one per audio stream; "-": untagged)
 * codecs and the pixel format by the library's names, so that another
 * build of the libraries reads it the same.
 */
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "conform/conform.h"
#include "common/utils.h"

#define FORMAT_MAGIC "kestrow-format 1"

int conform_target_from_file(const char *path, double lufs, conform_target *out)
{
    if (!path || !out)
        return -EINVAL;
    AVFormatContext *fmt = nullptr;
    int ret = avformat_open_input(&fmt, path, nullptr, nullptr);
    if (ret >= 0)
        ret = avformat_find_stream_info(fmt, nullptr);
    if (ret >= 0)
        ret = conform_target_from(fmt, fmt, lufs, out);
    avformat_close_input(&fmt);
    return ret;
}

int conform_target_save(const char *path, const conform_target *t)
{
    if (!path || !t)
        return -EINVAL;
    std::string part = std::string(path) + ".part";
    FILE *f = fopen(part.c_str(), "w");
    if (!f)
        return -errno;
    const conform_video *v = &t->video;
    const char *pix = av_get_pix_fmt_name((AVPixelFormat)v->pix_fmt);
    fprintf(f, FORMAT_MAGIC "\nvideo %d %s %d %d %dx%d %s %d:%d %d/%d %d %" PRId64 "\n", v->pid,
            avcodec_get_name((AVCodecID)v->codec_id), v->profile, v->level, v->width, v->height, pix ? pix : "-",
            v->sar.num, v->sar.den, v->fps.num, v->fps.den, v->field_order, v->bit_rate);
    for (int i = 0; i < t->audio_count; i++) {
        const conform_audio *a = &t->audio[i];
        fprintf(f, "audio %d %s %d %d %" PRId64 " %s\n", a->pid, avcodec_get_name((AVCodecID)a->codec_id),
                a->sample_rate, a->channels, a->bit_rate, a->language[0] ? a->language : "-");
    }
    int ret = ferror(f) ? -EIO : 0;
    if (fclose(f) != 0 && ret == 0)
        ret = -errno;
    if (ret == 0 && rename(part.c_str(), path) != 0)
        ret = -errno;
    if (ret < 0)
        unlink(part.c_str());
    return ret;
}

/* The codec of a name the library gives; AV_CODEC_ID_NONE when it knows none. */
static int codec_named(const char *name)
{
    const AVCodecDescriptor *d = avcodec_descriptor_get_by_name(name);
    return d ? d->id : AV_CODEC_ID_NONE;
}

int conform_target_load(const char *path, double lufs, conform_target *out)
{
    if (!path || !out)
        return -EINVAL;
    FILE *f = fopen(path, "r");
    if (!f)
        return -errno;
    conform_target t;
    memset(&t, 0, sizeof(t));  // the padding too: targets are compared whole
    t.lufs = lufs;
    char line[512], codec[64], pix[64], lang[8];
    bool magic = false, video = false, bad = false;
    while (!bad && fgets(line, sizeof(line), f)) {
        line[strcspn(line, "\n")] = '\0';
        conform_video *v = &t.video;
        if (!magic) {
            magic = strcmp(line, FORMAT_MAGIC) == 0;
            bad = !magic;
        } else if (strncmp(line, "video ", 6) == 0) {
            bad = video || sscanf(line, "video %d %63s %d %d %dx%d %63s %d:%d %d/%d %d %" SCNd64, &v->pid, codec,
                                  &v->profile, &v->level, &v->width, &v->height, pix, &v->sar.num, &v->sar.den,
                                  &v->fps.num, &v->fps.den, &v->field_order, &v->bit_rate) != 13;
            v->codec_id = bad ? AV_CODEC_ID_NONE : codec_named(codec);
            v->pix_fmt = bad ? AV_PIX_FMT_NONE : av_get_pix_fmt(pix);
            bad |= v->codec_id == AV_CODEC_ID_NONE || v->pix_fmt == AV_PIX_FMT_NONE || v->width <= 0 ||
                   v->height <= 0 || v->fps.num <= 0 || v->fps.den <= 0 || v->sar.num <= 0 || v->sar.den <= 0;
            video = true;
        } else if (strncmp(line, "audio ", 6) == 0) {
            if (t.audio_count == CONFORM_MAX_AUDIO) {
                bad = true;
                break;
            }
            conform_audio *a = &t.audio[t.audio_count];
            bad = sscanf(line, "audio %d %63s %d %d %" SCNd64 " %7s", &a->pid, codec, &a->sample_rate, &a->channels,
                         &a->bit_rate, lang) != 6;
            a->codec_id = bad ? AV_CODEC_ID_NONE : codec_named(codec);
            bad |= a->codec_id == AV_CODEC_ID_NONE || a->sample_rate <= 0 || a->channels <= 0 ||
                   (strcmp(lang, "-") != 0 && strlen(lang) != 3);
            if (!bad && strcmp(lang, "-") != 0)
                utils_strlcpy(a->language, lang, sizeof(a->language));
            t.audio_count++;
        } else if (line[0]) {
            bad = true;
        }
    }
    int ret = ferror(f) ? -EIO : bad || !video ? -EINVAL : 0;
    fclose(f);
    if (ret == 0)
        *out = t;
    return ret;
}
