/*
 * H.264 joins onto non-IDR key frames (see h264_join.h): parameter set and
 * slice header reading, and the slice header rewriting.
 */
#include "codec/h264_join.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

#define NAL_SLICE     1
#define NAL_IDR_SLICE 5
#define NAL_SPS       7
#define NAL_PPS       8

#define SLICE_P  0
#define SLICE_B  1
#define SLICE_I  2
#define SLICE_SP 3
#define SLICE_SI 4

#define MAX_MMCO   66     // operations in one header: more than any decoded picture buffer needs
#define HEADER_GROWTH 16  // bytes a rewritten slice header may grow by

/* Bit reader over an RBSP; reading past its end sets bad and yields zeros. */
struct bitr {
    const uint8_t *p;
    size_t end;   // bits
    size_t pos;   // bits
    bool bad;
};

static uint32_t get_bits(bitr *b, int n)
{
    uint32_t v = 0;

    for (int i = 0; i < n; i++) {
        if (b->pos >= b->end) {
            b->bad = true;
            return 0;
        }
        v = (v << 1) | ((b->p[b->pos >> 3] >> (7 - (b->pos & 7))) & 1);
        b->pos++;
    }
    return v;
}

static uint32_t get_ue(bitr *b)
{
    int zeros = 0;

    while (!get_bits(b, 1)) {
        if (b->bad || ++zeros > 31) {
            b->bad = true;
            return 0;
        }
    }
    return zeros ? (1u << zeros) - 1 + get_bits(b, zeros) : 0;
}

static int32_t get_se(bitr *b)
{
    uint32_t k = get_ue(b);
    return (k & 1) ? (int32_t)((k + 1) / 2) : -(int32_t)(k / 2);
}

/* Bit writer into a buffer the caller sized. */
struct bitw {
    uint8_t *p;
    size_t pos;   // bits
};

static void put_bits(bitw *w, uint32_t v, int n)
{
    for (int i = n - 1; i >= 0; i--) {
        uint8_t mask = (uint8_t)(0x80 >> (w->pos & 7));
        if ((v >> i) & 1)
            w->p[w->pos >> 3] |= mask;
        else
            w->p[w->pos >> 3] &= (uint8_t)~mask;
        w->pos++;
    }
}

static void put_ue(bitw *w, uint32_t v)
{
    int len = 0;
    uint64_t x = (uint64_t)v + 1;

    while ((x >> len) > 1)
        len++;
    put_bits(w, 0, len);
    put_bits(w, (uint32_t)x, len + 1);
}

/* Copies the bits [from, to) of src to w. */
static void copy_bits(bitw *w, const uint8_t *src, size_t from, size_t to)
{
    while (from < to && ((from & 7) || (w->pos & 7))) {
        put_bits(w, (src[from >> 3] >> (7 - (from & 7))) & 1, 1);
        from++;
    }
    if (from >= to)
        return;
    size_t bytes = (to - from) >> 3;
    memcpy(w->p + (w->pos >> 3), src + (from >> 3), bytes);
    w->pos += bytes << 3;
    from += bytes << 3;
    for (; from < to; from++)
        put_bits(w, (src[from >> 3] >> (7 - (from & 7))) & 1, 1);
}

/* Copies the bits [from, to) of src to w, eight at a time whatever the alignment. */
static void copy_bits_shifted(bitw *w, const uint8_t *src, size_t from, size_t to)
{
    if (((from ^ w->pos) & 7) == 0) {
        copy_bits(w, src, from, to);
        return;
    }
    for (; from + 8 <= to; from += 8) {
        size_t i = from >> 3;
        int off = (int)(from & 7);
        uint32_t v = off ? ((src[i] << off) | (src[i + 1] >> (8 - off))) & 0xFF : src[i];
        put_bits(w, v, 8);
    }
    copy_bits(w, src, from, to);
}

/* Writes v in n bits at bit position pos of p. */
static void poke_bits(uint8_t *p, size_t pos, uint32_t v, int n)
{
    bitw w = {p, pos};
    put_bits(&w, v, n);
}

/* NAL unit payload without emulation prevention bytes; returns its length. */
static size_t unescape(const uint8_t *src, size_t n, uint8_t *dst)
{
    size_t o = 0;

    /* A 03 goes when the two bytes before it are 00 (a 03 left out is no 00 either):
     * between the 03s, which memchr finds, the bytes are copied as they are. */
    for (size_t i = 0; i < n;) {
        const uint8_t *three = (const uint8_t *)memchr(src + i, 3, n - i);
        size_t p = three ? (size_t)(three - src) : n;
        memcpy(dst + o, src + i, p - i);
        o += p - i;
        if (p == n)
            break;
        if (p < 2 || src[p - 1] != 0 || src[p - 2] != 0)
            dst[o++] = 3;
        i = p + 1;
    }
    return o;
}

/* The RBSP as a NAL unit payload (dst holds n * 3 / 2 + 1); returns its length. */
static size_t escape(const uint8_t *src, size_t n, uint8_t *dst)
{
    size_t o = 0;
    int zeros = 0;

    for (size_t i = 0; i < n; i++) {
        if (zeros >= 2 && src[i] <= 3) {
            dst[o++] = 3;
            zeros = 0;
        }
        dst[o++] = src[i];
        zeros = src[i] ? 0 : zeros + 1;
    }
    if (o > 0 && dst[o - 1] == 0)
        dst[o++] = 3;  // a NAL unit does not end with a zero byte
    return o;
}

static void skip_scaling_list(bitr *b, int size)
{
    int last = 8, next = 8;

    for (int j = 0; j < size && !b->bad; j++) {
        if (next)
            next = (last + get_se(b) + 256) % 256;
        last = next ? next : last;
    }
}

static bool high_profile(uint32_t profile)
{
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
    case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

/*
 * Takes note of the sequence parameter set rbsp[0, len). Returns the bit
 * position of its gaps_in_frame_num_value_allowed_flag, or -1 when the set
 * is not understood (and not noted).
 */
static long read_sps(h264_join *j, const uint8_t *rbsp, size_t len)
{
    bitr b = {rbsp, len * 8, 8, false};
    h264_sps s;
    memset(&s, 0, sizeof(s));

    uint32_t profile = get_bits(&b, 8);
    get_bits(&b, 16);  // constraint flags, level
    uint32_t id = get_ue(&b);
    uint32_t chroma_format = 1;
    if (high_profile(profile)) {
        chroma_format = get_ue(&b);
        if (chroma_format == 3)
            s.separate_colour_plane = (uint8_t)get_bits(&b, 1);
        get_ue(&b);       // bit depths
        get_ue(&b);
        get_bits(&b, 1);  // qpprime_y_zero_transform_bypass_flag
        if (get_bits(&b, 1))
            for (int i = 0; i < (chroma_format != 3 ? 8 : 12) && !b.bad; i++)
                if (get_bits(&b, 1))
                    skip_scaling_list(&b, i < 6 ? 16 : 64);
    }
    uint32_t log2_max_frame_num = get_ue(&b) + 4;
    uint32_t poc_type = get_ue(&b);
    uint32_t log2_max_poc_lsb = 0;
    if (poc_type == 0) {
        log2_max_poc_lsb = get_ue(&b) + 4;
    } else if (poc_type == 1) {
        s.delta_pic_order_always_zero = (uint8_t)get_bits(&b, 1);
        get_se(&b);
        get_se(&b);
        uint32_t cycle = get_ue(&b);
        for (uint32_t i = 0; i < cycle && i < 256 && !b.bad; i++)
            get_se(&b);
    }
    get_ue(&b);       // max_num_ref_frames
    size_t gaps = b.pos;
    get_bits(&b, 1);  // gaps_in_frame_num_value_allowed_flag
    get_ue(&b);       // size in macroblocks
    get_ue(&b);
    s.frame_mbs_only = (uint8_t)get_bits(&b, 1);
    if (b.bad || id >= H264_MAX_SPS || chroma_format > 3 || log2_max_frame_num > 16 || poc_type > 2 ||
        (poc_type == 0 && log2_max_poc_lsb > 16))
        return -1;
    s.log2_max_frame_num = (uint8_t)log2_max_frame_num;
    s.poc_type = (uint8_t)poc_type;
    s.log2_max_poc_lsb = (uint8_t)log2_max_poc_lsb;
    s.chroma_array_type = s.separate_colour_plane ? 0 : (uint8_t)chroma_format;
    s.valid = 1;
    j->sps[id] = s;
    return (long)gaps;
}

static void read_pps(h264_join *j, const uint8_t *rbsp, size_t len)
{
    bitr b = {rbsp, len * 8, 8, false};
    h264_pps p;
    memset(&p, 0, sizeof(p));

    uint32_t id = get_ue(&b);
    uint32_t sps_id = get_ue(&b);
    p.cabac = (uint8_t)get_bits(&b, 1);
    p.bottom_field_pic_order_in_frame_present = (uint8_t)get_bits(&b, 1);
    p.slice_groups = get_ue(&b) > 0;
    uint32_t l0 = get_ue(&b) + 1, l1 = get_ue(&b) + 1;
    p.weighted_pred = (uint8_t)get_bits(&b, 1);
    p.weighted_bipred_idc = (uint8_t)get_bits(&b, 2);
    get_se(&b);  // pic_init_qp_minus26, pic_init_qs_minus26, chroma_qp_index_offset
    get_se(&b);
    get_se(&b);
    p.deblocking_filter_control_present = (uint8_t)get_bits(&b, 1);
    get_bits(&b, 1);  // constrained_intra_pred_flag
    p.redundant_pic_cnt_present = (uint8_t)get_bits(&b, 1);
    if (b.bad || id >= H264_MAX_PPS || sps_id >= H264_MAX_SPS || l0 > 32 || l1 > 32)
        return;
    p.sps_id = (uint8_t)sps_id;
    p.num_ref_idx_default[0] = (uint8_t)l0;
    p.num_ref_idx_default[1] = (uint8_t)l1;
    p.valid = 1;
    j->pps[id] = p;
}

struct mmco {
    uint32_t op, a, b;
};

/* A slice header as far as the joiner reads and rewrites it; positions in bits of the RBSP. */
struct slice_hdr {
    int nal_type;
    int nal_ref_idc;
    uint32_t first_mb;
    uint32_t type;                 // slice_type % 5
    const h264_sps *sps;
    const h264_pps *pps;
    uint32_t frame_num;
    size_t pos_frame_num;
    int field;                     // field_pic_flag
    size_t pos_idr;                // where idr_pic_id is or would be
    size_t pos_after_idr;
    uint32_t idr_pic_id;
    uint32_t poc_lsb;              // picture order count type 0
    size_t pos_poc_lsb;
    size_t pos_marking;            // dec_ref_pic_marking (reference pictures)
    size_t pos_marking_end;
    int adaptive;                  // adaptive_ref_pic_marking_mode_flag
    int mmco_count;
    mmco ops[MAX_MMCO];
    size_t pos_end;                // end of the header
};

static void skip_list_modification(bitr *b)
{
    if (!get_bits(b, 1))
        return;
    for (int n = 0; n <= 33 && !b->bad; n++) {
        uint32_t idc = get_ue(b);
        if (idc == 3)
            return;
        if (idc > 2)
            break;
        get_ue(b);
    }
    b->bad = true;
}

static void skip_weights(bitr *b, uint32_t count, int chroma)
{
    for (uint32_t i = 0; i < count && !b->bad; i++) {
        if (get_bits(b, 1)) {
            get_se(b);
            get_se(b);
        }
        if (chroma && get_bits(b, 1))
            for (int k = 0; k < 4; k++)
                get_se(b);
    }
}

/*
 * From first_mb_in_slice to the picture order count: which picture the
 * slice belongs to, with its parameter sets. 0, or -EINVAL for a parameter
 * set not seen or slice groups.
 */
static int read_slice_picture(const h264_join *j, bitr *b, slice_hdr *h)
{
    h->first_mb = get_ue(b);
    uint32_t type = get_ue(b);
    uint32_t pps_id = get_ue(b);
    if (b->bad || type > 9 || pps_id >= H264_MAX_PPS || !j->pps[pps_id].valid ||
        !j->sps[j->pps[pps_id].sps_id].valid)
        return -EINVAL;
    h->type = type % 5;
    h->pps = &j->pps[pps_id];
    h->sps = &j->sps[h->pps->sps_id];
    const h264_sps *sps = h->sps;
    const h264_pps *pps = h->pps;
    if (pps->slice_groups)
        return -EINVAL;
    if (sps->separate_colour_plane)
        get_bits(b, 2);
    h->pos_frame_num = b->pos;
    h->frame_num = get_bits(b, sps->log2_max_frame_num);
    h->field = 0;
    if (!sps->frame_mbs_only) {
        h->field = (int)get_bits(b, 1);
        if (h->field)
            get_bits(b, 1);  // bottom_field_flag
    }
    h->pos_idr = b->pos;
    h->idr_pic_id = h->nal_type == NAL_IDR_SLICE ? get_ue(b) : 0;
    h->pos_after_idr = b->pos;
    h->pos_poc_lsb = b->pos;
    if (sps->poc_type == 0) {
        h->poc_lsb = get_bits(b, sps->log2_max_poc_lsb);
        if (pps->bottom_field_pic_order_in_frame_present && !h->field)
            get_se(b);
    } else if (sps->poc_type == 1 && !sps->delta_pic_order_always_zero) {
        get_se(b);
        if (pps->bottom_field_pic_order_in_frame_present && !h->field)
            get_se(b);
    }
    return 0;
}

/*
 * From redundant_pic_cnt to the prediction weights: the reference lists,
 * stepped over. 0, or -EINVAL for more than 32 references.
 */
static int skip_slice_references(bitr *b, const slice_hdr *h)
{
    const h264_pps *pps = h->pps;

    if (pps->redundant_pic_cnt_present)
        get_ue(b);
    uint32_t refs[2] = {pps->num_ref_idx_default[0], pps->num_ref_idx_default[1]};
    if (h->type == SLICE_B)
        get_bits(b, 1);  // direct_spatial_mv_pred_flag
    if (h->type == SLICE_P || h->type == SLICE_SP || h->type == SLICE_B) {
        if (get_bits(b, 1)) {
            refs[0] = get_ue(b) + 1;
            if (h->type == SLICE_B)
                refs[1] = get_ue(b) + 1;
        }
    }
    if (refs[0] > 32 || refs[1] > 32)
        return -EINVAL;
    if (h->type != SLICE_I && h->type != SLICE_SI)
        skip_list_modification(b);
    if (h->type == SLICE_B)
        skip_list_modification(b);
    if ((pps->weighted_pred && (h->type == SLICE_P || h->type == SLICE_SP)) ||
        (pps->weighted_bipred_idc == 1 && h->type == SLICE_B)) {
        get_ue(b);  // luma_log2_weight_denom
        if (h->sps->chroma_array_type)
            get_ue(b);
        skip_weights(b, refs[0], h->sps->chroma_array_type);
        if (h->type == SLICE_B)
            skip_weights(b, refs[1], h->sps->chroma_array_type);
    }
    return 0;
}

/*
 * dec_ref_pic_marking of a reference picture: where it lies and its memory
 * management operations. 0, or -EINVAL for an unknown operation or too many.
 */
static int read_slice_marking(bitr *b, slice_hdr *h)
{
    h->pos_marking = b->pos;
    h->adaptive = 0;
    h->mmco_count = 0;
    if (h->nal_ref_idc) {
        if (h->nal_type == NAL_IDR_SLICE) {
            get_bits(b, 2);
        } else if ((h->adaptive = (int)get_bits(b, 1))) {
            for (;;) {
                mmco m = {get_ue(b), 0, 0};
                if (m.op == 0 || b->bad)
                    break;
                if (m.op > 6 || h->mmco_count == MAX_MMCO)
                    return -EINVAL;
                if (m.op != 5)
                    m.a = get_ue(b);
                if (m.op == 3)
                    m.b = get_ue(b);
                h->ops[h->mmco_count++] = m;
            }
        }
    }
    h->pos_marking_end = b->pos;
    return 0;
}

/* From cabac_init_idc to the deblocking filter's offsets: stepped over to the header's end. */
static void skip_slice_tail(bitr *b, const slice_hdr *h)
{
    if (h->pps->cabac && h->type != SLICE_I && h->type != SLICE_SI)
        get_ue(b);  // cabac_init_idc
    get_se(b);      // slice_qp_delta
    if (h->type == SLICE_SP || h->type == SLICE_SI) {
        if (h->type == SLICE_SP)
            get_bits(b, 1);
        get_se(b);
    }
    if (h->pps->deblocking_filter_control_present && get_ue(b) != 1) {
        get_se(b);
        get_se(b);
    }
}

/* Reads the slice header of the NAL unit rbsp[0, len) with its parameter sets. Returns 0 or -EINVAL. */
static int read_slice(const h264_join *j, const uint8_t *rbsp, size_t len, slice_hdr *h)
{
    bitr b = {rbsp, len * 8, 8, false};

    h->nal_ref_idc = (rbsp[0] >> 5) & 3;
    h->nal_type = rbsp[0] & 0x1F;
    if (read_slice_picture(j, &b, h) < 0 || skip_slice_references(&b, h) < 0 || read_slice_marking(&b, h) < 0)
        return -EINVAL;
    skip_slice_tail(&b, h);
    h->pos_end = b.pos;
    return b.bad ? -EINVAL : 0;
}

/* One NAL unit of a packet: its payload, without start code and trailing zero bytes. */
struct nal_unit {
    size_t start;
    size_t end;
};

/*
 * Where the first start code (00 00 01) at or after from begins, or n when
 * none begins before n - 2. A picture is mostly slice data, where 01 is
 * rare: memchr finds the candidates.
 */
static size_t next_start_code(const uint8_t *d, size_t from, size_t n)
{
    for (size_t p = from + 2; p < n; p++) {  // p: where the 01 would lie
        const uint8_t *one = (const uint8_t *)memchr(d + p, 1, n - p);
        if (!one)
            break;
        p = (size_t)(one - d);
        if (d[p - 1] == 0 && d[p - 2] == 0)
            return p - 2;
    }
    return n;
}

/*
 * Splits an Annex B packet into its NAL units, stored in j->units (grown as
 * they come: one pass over the packet); returns their count (0: not Annex
 * B), or AVERROR(ENOMEM).
 */
static int split_nal_units(h264_join *j, const uint8_t *d, size_t n)
{
    int count = 0;
    size_t i = 0;

    while (i + 3 <= n && !(d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)) {
        if (d[i] != 0)
            return 0;  // data before the first start code
        i++;
    }
    while (i + 3 <= n) {
        size_t start = i + 3, next = next_start_code(d, start, n);
        size_t end = next;
        while (end > start && d[end - 1] == 0)
            end--;
        if (end > start) {
            size_t need = (size_t)(count + 1) * sizeof(nal_unit);
            void *units = need > UINT32_MAX / 2 ? nullptr : av_fast_realloc(j->units, &j->units_size, need);
            if (!units)
                return AVERROR(ENOMEM);
            j->units = (uint8_t *)units;
            ((nal_unit *)j->units)[count++] = {start, end};
        }
        i = next;
    }
    return count;
}

static int grow(uint8_t **buf, unsigned *size, size_t need)
{
    if (need > UINT32_MAX / 2)
        return AVERROR(ENOMEM);
    av_fast_malloc(buf, size, need);
    return *buf ? 0 : AVERROR(ENOMEM);
}

void h264_join_init(h264_join *j)
{
    memset(j, 0, sizeof(*j));
}

void h264_join_uninit(h264_join *j)
{
    av_freep(&j->rbsp);
    av_freep(&j->edit);
    av_freep(&j->units);
    j->rbsp_size = j->edit_size = j->units_size = 0;
}

void h264_join_switch(h264_join *j)
{
    j->pending = 1;
}

/* Frame distance from the current picture (frame number cur) back to the one a picture number names. */
static uint32_t frame_distance(const slice_hdr *h, uint32_t pic_num_diff)
{
    if (!h->field)
        return pic_num_diff;
    /* Fields: CurrPicNum = 2 * frame_num + 1; a picture number's frame is half of it, rounded down. */
    int64_t cur = 2 * (int64_t)h->frame_num + 1;
    int64_t target = cur - pic_num_diff;
    int64_t frame = target >= 0 ? target / 2 : -((1 - target) / 2);
    return (uint32_t)((int64_t)h->frame_num - frame);
}

/*
 * The memory management operations of a picture after the key frame that
 * still apply: those naming a short-term picture older than the key frame,
 * or a long-term one not assigned since, are left out. Returns the count
 * kept in out.
 */
static int keep_operations(h264_join *j, const slice_hdr *h, mmco *out)
{
    int kept = 0;
    bool checking = j->span < (1u << h->sps->log2_max_frame_num);

    for (int i = 0; i < h->mmco_count; i++) {
        mmco m = h->ops[i];
        uint32_t lt = m.op == 2 ? (h->field ? m.a >> 1 : m.a) : m.op == 3 ? m.b : m.op == 6 ? m.a : 32;
        if ((m.op == 1 || m.op == 3) && checking && frame_distance(h, m.a + 1) > j->span)
            continue;
        if (m.op == 2 && (lt >= 32 || !(j->long_term & (1u << lt))))
            continue;
        if ((m.op == 3 || m.op == 6) && lt < 32)
            j->long_term |= 1u << lt;
        if (m.op == 4)
            j->long_term &= m.a >= 32 ? ~0u : (1u << m.a) - 1;
        out[kept++] = m;
    }
    return kept;
}

/*
 * The slice's RBSP rbsp[0, len) rewritten into j->edit: the key frame's
 * slices as IDR slices, the others renumbered with the operations kept.
 * Returns the new length, or -EINVAL when the slice data ends nowhere.
 */
static long rewrite_slice(h264_join *j, const uint8_t *rbsp, size_t len, const slice_hdr *h, bool key,
                          uint32_t idr_pic_id)
{
    uint32_t fn_mask = (1u << h->sps->log2_max_frame_num) - 1;
    uint32_t lsb_mask = h->sps->poc_type == 0 ? (1u << h->sps->log2_max_poc_lsb) - 1 : 0;
    uint32_t frame_num = key ? 0 : (h->frame_num - j->key_frame_num) & fn_mask;
    uint32_t poc_lsb = key ? 0 : (h->poc_lsb - j->key_poc_lsb) & lsb_mask;
    mmco ops[MAX_MMCO];
    int kept = key || !h->adaptive ? h->mmco_count : keep_operations(j, h, ops);
    bitw w = {j->edit, 0};

    memcpy(j->edit, rbsp, len);
    if (!key && kept == h->mmco_count) {
        /* Same header length: the fixed-length fields are written in place. */
        poke_bits(j->edit, h->pos_frame_num, frame_num, h->sps->log2_max_frame_num);
        if (lsb_mask)
            poke_bits(j->edit, h->pos_poc_lsb, poc_lsb, h->sps->log2_max_poc_lsb);
        return (long)len;
    }

    size_t last = len;  // past the byte holding rbsp_stop_one_bit
    while (last > 0 && rbsp[last - 1] == 0)
        last--;
    if (last == 0)
        return -EINVAL;
    size_t stop = (last - 1) * 8 + 7;
    while (!((rbsp[stop >> 3] >> (7 - (stop & 7))) & 1))
        stop--;
    if (stop < h->pos_end || (h->pos_end + 7) / 8 > len)
        return -EINVAL;

    if (key)
        j->edit[0] = (uint8_t)((rbsp[0] & 0xE0) | NAL_IDR_SLICE);
    w.pos = 8;
    copy_bits(&w, rbsp, 8, h->pos_frame_num);
    put_bits(&w, frame_num, h->sps->log2_max_frame_num);
    copy_bits(&w, rbsp, h->pos_frame_num + h->sps->log2_max_frame_num, h->pos_idr);
    if (key)
        put_ue(&w, idr_pic_id);
    if (lsb_mask) {
        copy_bits(&w, rbsp, h->pos_after_idr, h->pos_poc_lsb);
        put_bits(&w, poc_lsb, h->sps->log2_max_poc_lsb);
        copy_bits(&w, rbsp, h->pos_poc_lsb + h->sps->log2_max_poc_lsb, h->pos_marking);
    } else {
        copy_bits(&w, rbsp, h->pos_after_idr, h->pos_marking);
    }
    if (key) {
        put_bits(&w, 0, 2);  // no_output_of_prior_pics_flag, long_term_reference_flag
    } else {
        put_bits(&w, 1, 1);
        for (int i = 0; i < kept; i++) {
            put_ue(&w, ops[i].op);
            if (ops[i].op != 5)
                put_ue(&w, ops[i].a);
            if (ops[i].op == 3)
                put_ue(&w, ops[i].b);
        }
        put_ue(&w, 0);
    }
    copy_bits(&w, rbsp, h->pos_marking_end, h->pos_end);
    if (h->pps->cabac) {
        /* CABAC slice data starts byte-aligned after cabac_alignment_one_bits. */
        while (w.pos & 7)
            put_bits(&w, 1, 1);
        size_t from = (h->pos_end + 7) / 8;
        memcpy(j->edit + w.pos / 8, rbsp + from, len - from);
        return (long)(w.pos / 8 + len - from);
    }
    copy_bits_shifted(&w, rbsp, h->pos_end, stop + 1);
    while (w.pos & 7)
        put_bits(&w, 0, 1);
    return (long)(w.pos / 8);
}

/* Unescapes the NAL unit u of data into j->rbsp; returns its RBSP length or a negative code. */
static long take_rbsp(h264_join *j, const uint8_t *data, const nal_unit *u)
{
    int ret = grow(&j->rbsp, &j->rbsp_size, u->end - u->start + AV_INPUT_BUFFER_PADDING_SIZE);
    if (ret < 0)
        return ret;
    return (long)unescape(data + u->start, u->end - u->start, j->rbsp);
}

/*
 * First pass over a packet: parameter sets are taken note of; at a switch,
 * the key frame (the slices up to the next picture) decides whether a join
 * starts. Returns the key frame's slice count when one starts, 0 when not,
 * or a negative code.
 */
static int scan_packet(h264_join *j, const AVPacket *pkt, const nal_unit *units, int count, bool pending)
{
    int slices = 0;
    bool deciding = pending;  // the key frame's slices are being read
    bool refused = false;

    for (int i = 0; i < count; i++) {
        int type = pkt->data[units[i].start] & 0x1F;
        if (type != NAL_SPS && type != NAL_PPS && type != NAL_IDR_SLICE && !(type == NAL_SLICE && deciding))
            continue;
        long len = take_rbsp(j, pkt->data, &units[i]);
        if (len < 0)
            return (int)len;
        if (type == NAL_SPS) {
            read_sps(j, j->rbsp, (size_t)len);
            continue;
        }
        if (type == NAL_PPS) {
            read_pps(j, j->rbsp, (size_t)len);
            continue;
        }
        slice_hdr h;
        bool readable = read_slice(j, j->rbsp, (size_t)len, &h) == 0;
        if (readable && h.nal_type == NAL_IDR_SLICE)
            j->idr_pic_id = h.idr_pic_id;
        if (!deciding)
            continue;
        if (readable && slices > 0 && h.first_mb == 0) {
            deciding = false;  // the key frame's slices are all seen
            continue;
        }
        bool key_ok = readable && h.nal_type == NAL_SLICE && h.type == SLICE_I && h.nal_ref_idc &&
                      h.sps->poc_type != 1;
        for (int k = 0; key_ok && k < h.mmco_count; k++)
            key_ok = h.ops[k].op != 6;  // the key frame made long-term: not joined
        if (!key_ok) {
            refused = !readable || h.nal_type != NAL_IDR_SLICE;
            slices = 0;
            deciding = false;
            continue;
        }
        if (slices++ == 0) {
            j->key_frame_num = h.frame_num;
            j->key_poc_lsb = h.poc_lsb;
            j->span = 0;
            j->last_frame_num = h.frame_num;
            j->long_term = 0;
        }
    }
    j->refused += refused;
    return slices;
}

/*
 * The NAL unit of type type in j->rbsp (len bytes), rewritten into j->edit
 * for the join: an SPS that allows gaps in frame_num; a slice renumbered,
 * the key frame's first key_slices slices made IDR slices (*slices counts
 * the slices met). Returns the new length, or a negative value to pass the
 * unit as it is; *ends is set at the source's own IDR picture, which ends
 * the join.
 */
static long rewrite_unit(h264_join *j, int type, size_t len, int key_slices, int *slices, uint32_t idr_pic_id,
                         bool *ends)
{
    if (type == NAL_SPS) {
        /*
         * Leading reference pictures left out after the key frame leave a
         * gap in frame_num: the decoder is told to infer them, as it
         * would for any gap it is allowed, instead of taking it for loss.
         */
        long gaps = read_sps(j, j->rbsp, len);
        if (gaps < 0)
            return -1;
        memcpy(j->edit, j->rbsp, len);
        poke_bits(j->edit, (size_t)gaps, 1, 1);
        return (long)len;
    }
    slice_hdr h;
    if (read_slice(j, j->rbsp, len, &h) < 0)
        return -1;  // damaged: passed as it is, the join goes on
    if (h.nal_type == NAL_IDR_SLICE) {
        *ends = true;
        return -1;
    }
    bool key = (*slices)++ < key_slices;
    if (!key && h.first_mb == 0) {
        uint32_t mask = (1u << h.sps->log2_max_frame_num) - 1;
        uint32_t step = (h.frame_num - j->last_frame_num) & mask;
        j->span = j->span + step > mask ? mask + 1 : j->span + step;
        j->last_frame_num = h.frame_num;
    }
    return rewrite_slice(j, j->rbsp, len, &h, key, idr_pic_id);
}

/*
 * Rewrites the packet's slices (and, unless the source's own IDR picture
 * comes in it, its SPS) while the join runs, into a new buffer that
 * replaces pkt's when anything changed. 0, or a negative code with pkt
 * unchanged.
 */
static int rewrite_packet(h264_join *j, AVPacket *pkt, const nal_unit *units, int count, int key_slices)
{
    size_t cap = (size_t)pkt->size * 3 / 2 + (size_t)count * HEADER_GROWTH * 2 + AV_INPUT_BUFFER_PADDING_SIZE;
    AVBufferRef *buf = av_buffer_alloc(cap);
    if (!buf)
        return AVERROR(ENOMEM);
    uint32_t idr_pic_id = (j->idr_pic_id + 1) & 0xFFFF;
    bool own_idr = false;  // the source's own IDR picture ends the join in this packet
    for (int i = 0; i < count; i++)
        own_idr = own_idr || (pkt->data[units[i].start] & 0x1F) == NAL_IDR_SLICE;
    size_t o = 0, copied = 0;  // output length; input bytes done
    int slices = 0;
    for (int i = 0; i < count && j->state == H264_JOIN_ON; i++) {
        const nal_unit *u = &units[i];
        int type = pkt->data[u->start] & 0x1F;
        if (type != NAL_SLICE && type != NAL_IDR_SLICE && (type != NAL_SPS || own_idr))
            continue;
        long len = take_rbsp(j, pkt->data, u);
        int ret = len < 0 ? (int)len : grow(&j->edit, &j->edit_size, (size_t)len + HEADER_GROWTH);
        if (ret < 0) {
            av_buffer_unref(&buf);
            return ret;
        }
        bool ends = false;
        long n = rewrite_unit(j, type, (size_t)len, key_slices, &slices, idr_pic_id, &ends);
        if (ends)
            j->state = H264_JOIN_OFF;
        if (n < 0)
            continue;
        memcpy(buf->data + o, pkt->data + copied, u->start - copied);
        o += u->start - copied;
        o += escape(j->edit, (size_t)n, buf->data + o);
        copied = u->end;
    }
    if (key_slices > 0) {
        j->idr_pic_id = idr_pic_id;
        j->joined++;
    }
    if (copied == 0) {
        av_buffer_unref(&buf);
        return 0;
    }
    memcpy(buf->data + o, pkt->data + copied, (size_t)pkt->size - copied);
    o += (size_t)pkt->size - copied;
    memset(buf->data + o, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_buffer_unref(&pkt->buf);
    pkt->buf = buf;
    pkt->data = buf->data;
    pkt->size = (int)o;
    return 0;
}

int h264_join_packet(h264_join *j, AVPacket *pkt)
{
    bool pending = j->pending;

    j->pending = 0;
    if (!pkt->data || (j->state == H264_JOIN_OFF && !pending && !(pkt->flags & AV_PKT_FLAG_KEY)))
        return 0;
    int count = split_nal_units(j, pkt->data, (size_t)pkt->size);
    if (count < 0)
        return count;
    const nal_unit *units = (const nal_unit *)j->units;
    int key_slices = scan_packet(j, pkt, units, count, pending);
    if (key_slices < 0)
        return key_slices;
    if (pending)
        j->state = key_slices > 0 ? H264_JOIN_ON : H264_JOIN_OFF;
    if (j->state == H264_JOIN_OFF)
        return 0;
    return rewrite_packet(j, pkt, units, count, key_slices);
}
