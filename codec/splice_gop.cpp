/*
 * Picture bookkeeping at frame-accurate splice points (see splice_gop.h).
 */
#include "codec/splice_gop.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

/* Index of the key frame nearest point within slack, or -1. */
static int key_near(const gop_pic *pics, int n, int64_t point, int64_t slack)
{
    int best = -1;

    for (int i = 0; i < n; i++) {
        if (!pics[i].key || llabs(pics[i].pts - point) > slack)
            continue;
        if (best < 0 || llabs(pics[i].pts - point) < llabs(pics[best].pts - point))
            best = i;
    }
    return best;
}

/* Whether the picture may reference one shown at or after the point. */
static bool may_cross(const gop_pic *p)
{
    return p->type != GOP_PIC_I && p->refs != GOP_REFS_BEFORE;
}

/* The out side's actions; -1 when a picture to re-encode leads pics[0] (its references come before it). */
static int plan_out(const gop_pic *pics, int n, int64_t point, uint8_t *act)
{
    int first_drop = n;
    int64_t run_from = point;       // pictures shown from here up to the point are re-encoded

    for (int i = 0; i < n; i++) {
        if (pics[i].pts >= point && first_drop == n)
            first_drop = i;
        if (i > first_drop && pics[i].pts < point && may_cross(&pics[i]) && pics[i].pts < run_from)
            run_from = pics[i].pts;
    }
    /*
     * The run is contiguous in display order up to the point: a kept picture
     * shown after the run's IDR would be shown before it, the IDR having
     * flushed it out of the decoder.
     */
    for (int i = 0; i < n; i++) {
        if (pics[i].pts >= point)
            act[i] = GOP_DROP;
        else if (pics[i].pts >= run_from)
            act[i] = GOP_REENCODE;
        else
            act[i] = GOP_KEEP;
        if (act[i] == GOP_REENCODE && pics[i].pts < pics[0].pts)
            return -1;
    }
    return 0;
}

/* The in side's actions, the run joining key frame k. */
static void plan_in(const gop_pic *pics, int n, int64_t point, int k, uint8_t *act)
{
    for (int i = 0; i < n; i++) {
        if (pics[i].pts < point)
            act[i] = GOP_DROP;
        else if (i >= k && pics[i].pts >= pics[k].pts)
            act[i] = GOP_KEEP;
        else
            act[i] = GOP_REENCODE;
    }
}

/*
 * Decoding times for the m re-encoded pictures, shown at pts (ascending):
 * the slots' times, the last m of them (in) or the first (out), each at most
 * its picture's pts and after the one before it.
 */
static void run_dts(const std::vector<int64_t> &slots, const std::vector<int64_t> &pts,
                    bool last, int64_t *dts)
{
    size_t m = pts.size();
    size_t from = last && slots.size() > m ? slots.size() - m : 0;

    for (size_t k = 0; k < m; k++) {
        int64_t t = from + k < slots.size() ? slots[from + k] : pts[k];
        if (t > pts[k])
            t = pts[k];
        if (k && t <= dts[k - 1])
            t = dts[k - 1] + 1;
        dts[k] = t;
    }
}

int splice_gop_plan(const gop_pic *pics, int n, int side, int64_t point, int64_t slack,
                    uint8_t *action, int64_t *dts, gop_plan *plan)
{
    if (n < 1 || !pics[0].key || pics[0].pts > point + slack)
        return AVERROR(EINVAL);

    std::vector<uint8_t> act(n);
    int near = key_near(pics, n, point, slack);
    int join = -1;
    if (near >= 0)
        point = pics[near].pts;

    if (side == GOP_OUT) {
        bool reach = false;
        for (int i = 0; i < n && !reach; i++)
            reach = pics[i].dts >= point;
        if (!reach)
            return AVERROR(EAGAIN);
        if (plan_out(pics, n, point, act.data()) < 0)
            return AVERROR(EINVAL);
    } else if (near >= 0) {
        for (int i = 0; i < n; i++)
            act[i] = i >= near && pics[i].pts >= point ? GOP_KEEP : GOP_DROP;
    } else {
        for (int i = 1; i < n && join < 0; i++)
            if (pics[i].key && pics[i].pts > point)
                join = i;
        bool behind = false;
        for (int i = join + 1; join > 0 && i < n && !behind; i++)
            behind = pics[i].pts > pics[join].pts;
        if (!behind)
            return AVERROR(EAGAIN);
        plan_in(pics, n, point, join, act.data());
    }

    gop_plan p = {};
    std::vector<int64_t> slots, run_pts;
    int64_t last_kept = INT64_MIN;
    p.point = point;
    p.join_key = -1;
    for (int i = 0; i < n; i++) {
        p.kept += act[i] == GOP_KEEP;
        p.dropped += act[i] == GOP_DROP;
        if (act[i] == GOP_REENCODE) {
            p.reencoded++;
            p.decode_to = i + 1;
            run_pts.push_back(pics[i].pts);
            if (p.reencoded == 1 || pics[i].pts < p.run_from)
                p.run_from = pics[i].pts;
        }
        if (act[i] == GOP_KEEP && (join < 0 || i < join))
            last_kept = pics[i].dts;
    }
    if (p.reencoded) {
        p.join_key = join;
        for (int i = 0; i < (join >= 0 ? join : n); i++)
            if (act[i] != GOP_KEEP && pics[i].dts > last_kept)
                slots.push_back(pics[i].dts);
        std::sort(run_pts.begin(), run_pts.end());
        p.run_to = side == GOP_IN ? pics[join].pts : point;
        if (dts)
            run_dts(slots, run_pts, side == GOP_IN, dts);
    }
    for (int i = 0; i < n; i++)
        action[i] = act[i];
    *plan = p;
    return 0;
}

int splice_gop_open(const gop_pic *pics, int n)
{
    if (n < 1 || !pics[0].key)
        return AVERROR(EINVAL);
    int64_t key_pts = pics[0].pts;
    for (int i = 1; i < n; i++) {
        if (pics[i].key)
            key_pts = pics[i].pts;
        else if (pics[i].pts < key_pts)
            return 1;
    }
    return 0;
}
