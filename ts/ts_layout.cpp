#include "ts/ts_layout.h"
#include "ts/ts_psi.h"

#include <cerrno>
#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#define MUXER_DEFAULT_PMT_PID   0x1000
#define MUXER_DEFAULT_SERVICE_ID 1
#define MUXER_DEFAULT_START_PID 0x100
#define MUXER_MIN_PID           0x20
#define MUXER_MAX_PID           0x1FFA
#define FILLED_SAMPLE_RATE      48000
#define FILLED_LSF_SAMPLE_RATE  24000   // MPEG-2 audio's lower rates: stream type 0x04
#define STREAM_TYPE_MPEG2_AUDIO 0x04
#define STREAM_TYPE_PRIVATE_PES 0x06

int ts_layout_identity_from_demuxer(const AVFormatContext *in, ts_identity *id)
{
    if (!in || !id)
        return -EINVAL;
    if (in->nb_programs > 0) {
        const AVProgram *p = in->programs[0];
        if (id->program_number < 0)
            id->program_number = p->id;
        if (id->pmt_pid < 0)
            id->pmt_pid = p->pmt_pid;
        if (id->pcr_pid < 0)
            id->pcr_pid = p->pcr_pid;
    }
    int64_t ts_id = -1;
    if (id->ts_id < 0 && in->priv_data && av_opt_get_int(in->priv_data, "ts_id", 0, &ts_id) >= 0)
        id->ts_id = (int)ts_id;
    return 0;
}

/* The PID the muxer gives output stream i. */
static int muxer_pid(const AVFormatContext *out, unsigned i)
{
    int id = out->streams[i]->id;
    return id < 16 ? MUXER_DEFAULT_START_PID + (int)i : id;
}

/* The override when set, the input's value when the muxer can take it, else 0. */
static int pick(int override_value, int input_value, int lo, int hi)
{
    if (override_value)
        return override_value;
    return input_value >= lo && input_value <= hi ? input_value : 0;
}

/* Whether the output's PMT PID or program number is another programme's (msg says which). */
static int other_programme(const ts_identity *in, const ts_layout_ids &r, int pmt_pid, char *msg, int msg_size)
{
    int number = r.service_id ? r.service_id : MUXER_DEFAULT_SERVICE_ID;
    if (pmt_pid != in->pmt_pid && ts_identity_other(in, pmt_pid)) {
        if (msg && msg_size > 0)
            snprintf(msg, msg_size, "PMT PID 0x%X is also a PID of another programme of the input", pmt_pid);
        return 1;
    }
    for (int i = 0; i < in->programme_count; i++) {
        if (in->numbers[i] != number || in->numbers[i] == in->program_number)
            continue;
        if (msg && msg_size > 0)
            snprintf(msg, msg_size, "program number %d is also the number of another programme of the input",
                     number);
        return 1;
    }
    return 0;
}

int ts_layout_output_ids(const ts_identity *in, const ts_layout_overrides *ov,
                         const AVFormatContext *out, ts_layout_ids *ids, char *msg,
                         int msg_size)
{
    if (!in || !ov || !out || !ids)
        return -EINVAL;
    const struct {
        const char *name;
        int value, lo, hi;
    } given[] = {
        {"program number", ov->service_id, 1, 0xFFFF},
        {"PMT PID", ov->pmt_pid, MUXER_MIN_PID, MUXER_MAX_PID},
        {"transport_stream_id", ov->ts_id, 1, 0xFFFF},
    };
    for (const auto &g : given) {
        if (g.value && (g.value < g.lo || g.value > g.hi)) {
            if (msg && msg_size > 0)
                snprintf(msg, msg_size, "%s %d is outside %d..%d", g.name, g.value, g.lo, g.hi);
            return -ERANGE;
        }
    }
    ts_layout_ids r;
    r.service_id = pick(ov->service_id, in->program_number, 1, 0xFFFF);
    r.pmt_pid = pick(ov->pmt_pid, in->pmt_pid, MUXER_MIN_PID, MUXER_MAX_PID);
    r.ts_id = pick(ov->ts_id, in->ts_id, 1, 0xFFFF);
    r.system_b = 0;
    for (unsigned i = 0; i < out->nb_streams; i++) {
        enum AVCodecID codec = out->streams[i]->codecpar->codec_id;
        if ((codec == AV_CODEC_ID_AC3 || codec == AV_CODEC_ID_EAC3) &&
            ts_identity_stream_type(in, muxer_pid(out, i)) == STREAM_TYPE_PRIVATE_PES)
            r.system_b = 1;
    }
    int pmt_pid = r.pmt_pid ? r.pmt_pid : MUXER_DEFAULT_PMT_PID;
    r.pcr_pid = in->pcr_pid >= MUXER_MIN_PID && in->pcr_pid < TS_NULL_PID && in->pcr_pid != pmt_pid &&
                ts_identity_stream_type(in, in->pcr_pid) < 0 ? in->pcr_pid : 0;
    if (!ov->spts && other_programme(in, r, pmt_pid, msg, msg_size))
        return -EINVAL;
    for (unsigned i = 0; i < out->nb_streams; i++) {
        if (muxer_pid(out, i) == r.pcr_pid)
            r.pcr_pid = 0;
        if (muxer_pid(out, i) != pmt_pid)
            continue;
        if (msg && msg_size > 0) {
            const char *type = av_get_media_type_string(out->streams[i]->codecpar->codec_type);
            snprintf(msg, msg_size, "PMT PID 0x%X is also the PID of stream %u (%s)", pmt_pid, i,
                     type ? type : "unknown");
        }
        return -EINVAL;
    }
    *ids = r;
    return 0;
}

int ts_layout_set_options(const ts_layout_ids *ids, AVDictionary **opts)
{
    if (!ids || !opts)
        return -EINVAL;
    const struct {
        const char *key;
        int value;
    } set[] = {
        {"mpegts_service_id", ids->service_id},
        {"mpegts_pmt_start_pid", ids->pmt_pid},
        {"mpegts_transport_stream_id", ids->ts_id},
    };
    for (const auto &s : set) {
        int ret = s.value ? av_dict_set_int(opts, s.key, s.value, 0) : 0;
        if (ret < 0)
            return ret;
    }
    return ids->system_b ? av_dict_set(opts, "mpegts_flags", "+system_b", 0) : 0;
}

int ts_layout_stream_plan(const AVCodecParameters *par)
{
    if (!par)
        return -EINVAL;
    if (par->codec_type == AVMEDIA_TYPE_ATTACHMENT)
        return TS_STREAM_LEAVE_OUT;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO || par->sample_rate > 0)
        return TS_STREAM_RELAY;
    return par->codec_id == AV_CODEC_ID_NONE ? TS_STREAM_LEAVE_OUT : TS_STREAM_RELAY_FILLED;
}

int ts_layout_fill_params(AVCodecParameters *par, int stream_type)
{
    int plan = ts_layout_stream_plan(par);
    if (plan == TS_STREAM_RELAY_FILLED)
        par->sample_rate = stream_type == STREAM_TYPE_MPEG2_AUDIO ? FILLED_LSF_SAMPLE_RATE
                                                                  : FILLED_SAMPLE_RATE;
    return plan;
}
