/*
 * Which pictures of a group of pictures a frame-accurate splice point
 * keeps, re-encodes or drops. A feed's key frames seldom fall on a break's
 * splice point or on its return; splicing at the nearest key frame leaves
 * the break up to a GOP late at each end. Instead:
 *
 * - out (the programme leaves at point): every picture shown before the
 *   point stays, every picture shown at or after it is dropped. A picture
 *   shown before the point but decoded after a dropped one (the B-pictures
 *   of the last group, an open GOP's leading pictures) may reference a
 *   dropped picture: it and every later one shown before the point are
 *   re-encoded from the decoded pictures, as a closed run starting with an
 *   IDR (intra) picture.
 * - in (the programme returns at point): the first picture shown is the
 *   first at or after the point. The pictures shown from there up to the
 *   next key frame are re-encoded (decoded from the key frame before them),
 *   starting with an IDR picture; the next key frame and what follows it
 *   stay, its leading pictures (shown before it) are in the re-encoded run
 *   and dropped from the programme. Pictures shown before the point are
 *   dropped.
 *
 * When a key frame sits within slack of the point the point moves onto it
 * and, in a closed GOP, nothing is re-encoded (an open GOP's leading
 * pictures shown before an out point still are: they reference the key
 * frame the break drops).
 *
 * A picture is one access unit (a frame, or the two fields of a frame in
 * one packet); pictures coded as single fields in packets of their own are
 * not handled here. Times are 90 kHz ticks on one time line (no wrap within
 * a GOP).
 */
#ifndef KESTROW_CODEC_SPLICE_GOP_H
#define KESTROW_CODEC_SPLICE_GOP_H

#include <cstdint>

enum gop_pic_type {
    GOP_PIC_I,
    GOP_PIC_P,
    GOP_PIC_B,
};

enum gop_refs {
    GOP_REFS_UNKNOWN = -1,         // assumed to reference any picture decoded before it
    GOP_REFS_BEFORE = 0,           // references only pictures shown before the point
    GOP_REFS_ACROSS = 1,           // references a picture shown at or after the point
};

/* One picture, in decoding order. */
struct gop_pic {
    int64_t pts;                   // 90 kHz
    int64_t dts;                   // 90 kHz
    uint8_t key;                   // a decoder can start here (IDR, CRA, an I picture starting a GOP)
    uint8_t type;                  // gop_pic_type
    int8_t refs;                   // gop_refs; an I picture never references
};

enum gop_side {
    GOP_OUT,                       // the programme's last picture shown is the one before the point
    GOP_IN,                        // the programme's first picture shown is the first at or after the point
};

enum gop_action {
    GOP_KEEP,                      // passes as it is
    GOP_REENCODE,                  // replaced by its re-encoded picture
    GOP_DROP,                      // left out
};

struct gop_plan {
    int64_t point;                 // the point used: the one asked, or the key frame's it moved to
    int reencoded;                 // pictures re-encoded
    int kept;
    int dropped;
    int64_t run_from;              // the re-encoded pictures are those shown in [run_from, run_to)
    int64_t run_to;
    int decode_to;                 // pictures [0, decode_to) are decoded to re-encode; 0 when none are
    int join_key;                  // in: index of the key frame the re-encoded run joins, -1 when none is re-encoded
};

/*
 * Decides, for n pictures in decoding order starting at a key frame shown
 * at or before point, what the splice at point on side does with each:
 * action[i] (gop_action). For the re-encoded pictures, dts[k] is the
 * decoding time of the k-th one in display order (the run has no
 * reordering: its pictures keep their pts and take the decoding times of
 * the pictures they replace, so that the programme's pictures around the
 * run keep theirs). dts may be null; it must hold n entries otherwise.
 * slack: how far (90 kHz) a key frame may be from the point to be taken
 * instead, usually one frame.
 *
 * Returns 0 and fills plan; AVERROR(EINVAL) when pics[0] is not a key frame
 * shown at or before point or n < 1; AVERROR(EAGAIN) when the pictures do
 * not reach far enough to decide (out: none decoded at or after the point;
 * in: no key frame after the point, or not one picture shown after it
 * behind it). action, dts and plan are unchanged on failure.
 */
int splice_gop_plan(const gop_pic *pics, int n, int side, int64_t point, int64_t slack,
                    uint8_t *action, int64_t *dts, gop_plan *plan);

/*
 * Whether n pictures in decoding order starting at a key frame show open
 * GOPs: a picture decoded after a key frame (pics[0] or a later one) and
 * shown before it, a leading picture that may reference the GOP before.
 * At a return such pictures follow the key frame the re-encoded run joins
 * and reference what the run replaced. Returns 1 (open), 0 (none seen), or
 * AVERROR(EINVAL) when n < 1 or pics[0] is not a key frame.
 */
int splice_gop_open(const gop_pic *pics, int n);

#endif
