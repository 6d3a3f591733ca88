/*
 * Joins H.264 video onto a non-IDR key frame. A splice that switches a
 * stream onto an I picture that is not an IDR (an open GOP's key frame, or
 * a filler cut from a stream) leaves the decoder with the other source's
 * reference pictures, frame numbers and picture order counts: the key
 * frame's frame_num is a gap, its picture order count is derived from the
 * other source's, and the reference marking of the pictures after it
 * refers to pictures that were never sent. Decoders report errors and
 * drop or misorder pictures.
 *
 * The joiner makes the key frame an IDR picture (frame_num 0, picture
 * order count 0, the decoder's references and order reset as at any IDR)
 * and renumbers the pictures of the same source after it, their frame_num
 * and pic_order_cnt_lsb moved by the key frame's, until that source's next
 * IDR picture. Memory management operations that would unmark or convert
 * a picture from before the key frame are left out: the IDR already
 * unmarked it. The pictures' coded data is not touched. Leading pictures
 * (after the key frame in decoding order, shown before it) must be left out
 * by the caller; they reference pictures the switch removed.
 *
 * Streams it does not join (the key frame not an I picture, picture order
 * count type 1, slice groups, long-term references made by the key frame,
 * parameter sets not seen) pass unchanged.
 */
#ifndef KESTROW_CODEC_H264_JOIN_H
#define KESTROW_CODEC_H264_JOIN_H

#include <cstddef>
#include <cstdint>

struct AVPacket;

#define H264_MAX_SPS 32
#define H264_MAX_PPS 256

/* What the slice headers need of a sequence parameter set. */
struct h264_sps {
    uint8_t valid;
    uint8_t log2_max_frame_num;
    uint8_t poc_type;
    uint8_t log2_max_poc_lsb;      // picture order count type 0
    uint8_t delta_pic_order_always_zero;
    uint8_t frame_mbs_only;
    uint8_t separate_colour_plane;
    uint8_t chroma_array_type;
};

/* What the slice headers need of a picture parameter set. */
struct h264_pps {
    uint8_t valid;
    uint8_t sps_id;
    uint8_t cabac;
    uint8_t bottom_field_pic_order_in_frame_present;
    uint8_t slice_groups;          // num_slice_groups_minus1 > 0: not joined
    uint8_t num_ref_idx_default[2];
    uint8_t weighted_pred;
    uint8_t weighted_bipred_idc;
    uint8_t deblocking_filter_control_present;
    uint8_t redundant_pic_cnt_present;
};

enum h264_join_state {
    H264_JOIN_OFF,                 // packets pass unchanged
    H264_JOIN_ON,                  // the source's pictures are renumbered
};

struct h264_join {
    h264_sps sps[H264_MAX_SPS];
    h264_pps pps[H264_MAX_PPS];
    int pending;                   // the next packet is a switch's key frame
    int state;                     // h264_join_state
    uint32_t key_frame_num;        // the key frame's, in the source's numbering
    uint32_t key_poc_lsb;
    uint32_t last_frame_num;       // of the last picture renumbered
    uint32_t span;                 // frame numbers from the key frame to the last picture, up to a wrap
    uint32_t long_term;            // long-term frame indices assigned since the key frame (bit mask)
    uint32_t idr_pic_id;           // of the last IDR picture passed or made
    int64_t joined;                // key frames made IDR pictures
    int64_t refused;               // switches onto a key frame that could not be joined
    uint8_t *rbsp;                 // scratch: one NAL unit without emulation prevention
    unsigned rbsp_size;
    uint8_t *edit;                 // scratch: the rewritten NAL unit
    unsigned edit_size;
    uint8_t *units;                // scratch: where the packet's NAL units lie
    unsigned units_size;
};

/* Sets j up with nothing seen and no switch pending. */
void h264_join_init(h264_join *j);

/* Frees j's scratch buffers; j can be set up again. */
void h264_join_uninit(h264_join *j);

/* The stream switches: the next packet passed to h264_join_packet is the key frame it switches on. */
void h264_join_switch(h264_join *j);

/*
 * One packet of the stream (Annex B byte stream, whole access units), in
 * writing order. Parameter sets are taken note of; the packet is rewritten
 * as described above when a join is running. On success pkt may hold a new
 * buffer (the old one is released; packets sharing it are not changed).
 * Returns 0, or AVERROR(ENOMEM) with pkt unchanged. A slice header that
 * cannot be read leaves its packet unchanged and ends the join.
 */
int h264_join_packet(h264_join *j, AVPacket *pkt);

#endif
