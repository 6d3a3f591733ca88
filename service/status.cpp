/*
 * Channel status record: lock-free counters, one-second bitrate windows and
 * the last as-run event behind a mutex (held for one small copy).
 */
#include "service/status.h"

#include <cerrno>
#include <ctime>
#include <mutex>

#include "common/mpegts.h"
#include "common/utils.h"

namespace {

const char *const state_names[STATE_COUNT] = {"starting", "no_input",   "idle",         "armed",
                                              "in_break", "input_lost", "input_invalid"};

void count(rate_meter *m, int64_t packets, int64_t bytes, int64_t now_us)
{
    m->packets.fetch_add(packets, std::memory_order_relaxed);
    m->bytes.fetch_add(bytes, std::memory_order_relaxed);
    if (m->window_start == 0) {
        m->window_start = now_us;
        m->window_bytes = 0;
    }
    m->window_bytes += bytes;
    int64_t length = now_us - m->window_start;
    if (length >= STATUS_RATE_WINDOW_US) {
        m->bitrate.store(m->window_bytes * 8 * 1000000 / length);
        m->bitrate_at.store(now_us);
        m->window_start = now_us;
        m->window_bytes = 0;
    }
}

/*
 * Moves the input to down (INPUT_LOST or INPUT_INVALID) unless it is so
 * already, or was never up and from_unseen is 0. 1 when it moved.
 */
int input_down(channel_status *s, int down, int64_t now_us, int from_unseen)
{
    if (!s)
        return 0;
    std::lock_guard<std::mutex> guard(s->event_lock);
    int was = s->input.load();
    int moved = was != down && (was != INPUT_UNSEEN || from_unseen);
    if (moved) {
        if (was == INPUT_UP) {
            s->outage_start = now_us > 0 ? now_us : 1;
            s->input_losses++;
        }
        s->input.store(down);
    }
    return moved;
}

} // namespace

int64_t status_now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

const char *status_state_name(int state)
{
    return state >= 0 && state < STATE_COUNT ? state_names[state] : "unknown";
}

void status_set_state(channel_status *s, int state)
{
    if (s && state >= 0 && state <= STATE_IN_BREAK)
        s->state.store(state);
}

void status_session_started(channel_status *s, int64_t now_us)
{
    if (s)
        s->session_start.store(now_us > 0 ? now_us : 1);
}

void status_session_ended(channel_status *s)
{
    if (!s)
        return;
    s->session_start.store(0);
    s->state.store(STATE_NO_INPUT);
}

void status_count_in(channel_status *s, int64_t packets, int64_t bytes, int64_t now_us)
{
    if (s)
        count(&s->in, packets, bytes, now_us);
}

void status_count_out(channel_status *s, int64_t packets, int64_t bytes, int64_t now_us)
{
    if (s)
        count(&s->out, packets, bytes, now_us);
}

void status_add_overruns(channel_status *s, int64_t n)
{
    if (s)
        s->overruns.fetch_add(n);
}

void status_add_pass_dropped(channel_status *s, int64_t n)
{
    if (s)
        s->pass_dropped.fetch_add(n);
}

void status_add_fast_dropped(channel_status *s, int64_t n)
{
    if (s)
        s->fast_dropped.fetch_add(n);
}

void status_add_output_errors(channel_status *s, int check, int64_t n)
{
    if (s && check >= 0 && check < STATUS_CHECK_COUNT)
        s->output_errors[check].fetch_add(n);
}

void status_add_input_cc(channel_status *s, int pid, int64_t n)
{
    if (s && pid >= 0 && pid < TS_PID_COUNT)
        s->input_cc[pid].fetch_add(n);
}

const char *status_check_name(int check)
{
    if (check == STATUS_CHECK_LATE)
        return "late";
    if (check == STATUS_CHECK_SEND)
        return "send";
    return check >= 0 && check < TS_OUT_CHECK_COUNT ? ts_out_check_name(check) : nullptr;
}

int status_sent(channel_status *s, const udp_out_report *rep)
{
    if (!s || !rep)
        return 0;
    send_meter *m = &s->sent;
    status_count_out(s, rep->bytes / TS_PACKET_SIZE, rep->bytes, rep->now_us);
    for (int i = 0; i <= UDP_OUT_LATE_BUCKETS; i++)
        if (rep->late[i])
            m->late[i].fetch_add(rep->late[i], std::memory_order_relaxed);
    m->late_sum_us.fetch_add(rep->late_sum_us, std::memory_order_relaxed);
    int64_t refused = 0;
    for (int c = 0; c < UDP_OUT_ERR_COUNT; c++) {
        if (rep->errors[c])
            m->errors[c].fetch_add(rep->errors[c], std::memory_order_relaxed);
        refused += rep->errors[c];
    }
    if (refused)
        s->output_errors[STATUS_CHECK_SEND].fetch_add(refused);
    /* The span of now: a new one replaces the oldest. */
    int span = (int)((rep->now_us / STATUS_LATE_SPAN_US) % STATUS_LATE_SPANS);
    int64_t began = rep->now_us - rep->now_us % STATUS_LATE_SPAN_US;
    if (m->span_at[span].load() != began) {
        m->span_max[span].store(0);
        m->span_at[span].store(began);
    }
    if (rep->late_max_us > m->span_max[span].load())
        m->span_max[span].store(rep->late_max_us);
    if (rep->late_max_us <= STATUS_LATE_ALARM_US || !rep->steady) {
        m->late_since = 0;
        return 0;
    }
    if (m->late_since)
        return 0;
    m->late_since = rep->now_us;
    s->output_errors[STATUS_CHECK_LATE].fetch_add(1);
    return 1;
}

int64_t status_late_max_us(const channel_status *s, int64_t now_us)
{
    int64_t worst = 0;
    for (int i = 0; i < STATUS_LATE_SPANS; i++)
        if (now_us - s->sent.span_at[i].load() < STATUS_LATE_SPANS * STATUS_LATE_SPAN_US &&
            s->sent.span_max[i].load() > worst)
            worst = s->sent.span_max[i].load();
    return worst;
}

void status_event(channel_status *s, const asrun_record *r)
{
    if (!s || !r)
        return;
    if (r->event == ASRUN_CUE)
        s->cues.fetch_add(1);
    else if (r->event == ASRUN_BREAK_END)
        s->breaks_aired.fetch_add(1);
    bool point = r->event == ASRUN_BREAK_START || r->event == ASRUN_BREAK_END;
    if (point && r->reencoded > 0)
        s->reencoded.fetch_add(r->reencoded);
    if (point && r->fallback[0])
        s->accurate_fallbacks.fetch_add(1);
    else if (r->event == ASRUN_BREAK_SKIPPED)
        s->breaks_skipped.fetch_add(1);
    std::lock_guard<std::mutex> guard(s->event_lock);
    s->last_event = *r;
    s->has_event = 1;
}

int status_input_lost(channel_status *s, int64_t now_us)
{
    return input_down(s, INPUT_LOST, now_us, 0);
}

int status_input_invalid(channel_status *s, int64_t now_us)
{
    return input_down(s, INPUT_INVALID, now_us, 1);
}

int64_t status_input_back(channel_status *s, int64_t now_us)
{
    if (!s)
        return 0;
    int64_t outage = 0;
    std::lock_guard<std::mutex> guard(s->event_lock);
    if (s->input.load() != INPUT_UP && s->outage_start) {
        outage = now_us - s->outage_start > 0 ? now_us - s->outage_start : 1;
        s->input_lost_us += outage;
        s->outage_start = 0;
        // The uptime counts from the return; a session that ended (0) or began meanwhile keeps its value.
        int64_t start = s->session_start.load();
        if (start != 0)
            s->session_start.compare_exchange_strong(start, now_us > 0 ? now_us : 1);
    }
    s->input.store(INPUT_UP);
    return outage;
}

int status_state(const channel_status *s)
{
    if (!s)
        return STATE_STARTING;
    int input = s->input.load();
    return input == INPUT_LOST ? STATE_INPUT_LOST : input == INPUT_INVALID ? STATE_INPUT_INVALID : s->state.load();
}

int status_input_up(const channel_status *s)
{
    return s && s->input.load() == INPUT_UP;
}

int64_t status_input_losses(channel_status *s)
{
    if (!s)
        return 0;
    std::lock_guard<std::mutex> guard(s->event_lock);
    int64_t n = s->input_losses;
    return n;
}

double status_input_lost_seconds(channel_status *s, int64_t now_us)
{
    if (!s)
        return 0.0;
    std::lock_guard<std::mutex> guard(s->event_lock);
    int64_t us = s->input_lost_us;
    if (s->outage_start && now_us > s->outage_start)
        us += now_us - s->outage_start;
    return (double)us / 1e6;
}

double status_session_uptime(const channel_status *s, int64_t now_us)
{
    int64_t start = s ? s->session_start.load() : 0;
    int input = s ? s->input.load() : INPUT_UNSEEN;
    if (start == 0 || now_us < start || input == INPUT_LOST || input == INPUT_INVALID)
        return 0.0;
    return (double)(now_us - start) / 1e6;
}

int64_t status_bitrate(const rate_meter *m, int64_t now_us)
{
    if (!m)
        return 0;
    int64_t at = m->bitrate_at.load();
    if (at == 0 || now_us - at > STATUS_RATE_STALE_US)
        return 0;
    return m->bitrate.load();
}

int status_last_event(channel_status *s, asrun_record *out)
{
    if (!s || !out)
        return -EINVAL;
    std::lock_guard<std::mutex> guard(s->event_lock);
    int has = s->has_event;
    if (has)
        *out = s->last_event;
    return has ? 0 : -ENODATA;
}

void status_set_schedule(channel_status *s, const char *path, int64_t spots, int64_t aired, int64_t missed)
{
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->event_lock);
    utils_strlcpy(s->schedule, path ? path : "", sizeof(s->schedule));
    s->schedule_spots.store(spots);
    s->spots_aired.store(aired);
    s->spots_missed.store(missed);
}

void status_set_traffic(channel_status *s, int schedule_state, int verification_failing)
{
    if (!s)
        return;
    s->schedule_state.store(schedule_state);
    s->verification_failing.store(verification_failing);
}

void status_schedule(channel_status *s, char *buf, size_t size)
{
    if (!s || !buf || size == 0)
        return;
    std::lock_guard<std::mutex> guard(s->event_lock);
    utils_strlcpy(buf, s->schedule, size);
}

void status_set_plan(channel_status *s, const traffic_spot_plan *rows, int n)
{
    if (!s)
        return;
    try {
        std::vector<traffic_spot_plan> copy(rows, rows + (n > 0 ? n : 0));
        std::lock_guard<std::mutex> guard(s->event_lock);
        s->plan.swap(copy);
    } catch (...) {
    }
}

void status_plan(channel_status *s, std::vector<traffic_spot_plan> *out)
{
    if (!s || !out)
        return;
    std::lock_guard<std::mutex> guard(s->event_lock);
    *out = s->plan;  // the caller catches a failure to copy
}

void status_set_filler_loudness(channel_status *s, double lufs)
{
    if (!s)
        return;
    s->filler_lufs.store(lufs);
    s->filler_measured.store(1);
}

void status_set_srt(channel_status *s, int side, const srt_link_stats *st)
{
    if (!s || !st || side < 0 || side > 1)
        return;
    std::lock_guard<std::mutex> guard(s->event_lock);
    s->srt_used[side] = 1;
    s->srt[side] = *st;
}

void status_set_rtp(channel_status *s, const rtp_stats *st)
{
    if (!s || !st)
        return;
    std::lock_guard<std::mutex> guard(s->event_lock);
    s->rtp_used = 1;
    s->rtp = *st;
}

int status_srt(channel_status *s, int side, srt_link_stats *out)
{
    if (!s || !out || side < 0 || side > 1)
        return 0;
    std::lock_guard<std::mutex> guard(s->event_lock);
    if (s->srt_used[side])
        *out = s->srt[side];
    return s->srt_used[side];
}

int status_rtp(channel_status *s, rtp_stats *out)
{
    if (!s || !out)
        return 0;
    std::lock_guard<std::mutex> guard(s->event_lock);
    if (s->rtp_used)
        *out = s->rtp;
    return s->rtp_used;
}

void status_set_inputs(channel_status *s, int active, const merge_health *inputs, const merge_counts *counts)
{
    if (!s || !inputs || !counts)
        return;
    std::lock_guard<std::mutex> guard(s->event_lock);
    s->inputs_used = 1;
    s->input_active = active;
    for (int i = 0; i < MERGE_INPUTS; i++)
        s->inputs[i] = inputs[i];
    s->merge = *counts;
}

int status_inputs(channel_status *s, int *active, merge_health *inputs, merge_counts *counts)
{
    if (!s || !active || !inputs || !counts)
        return 0;
    std::lock_guard<std::mutex> guard(s->event_lock);
    if (!s->inputs_used)
        return 0;
    *active = s->input_active;
    for (int i = 0; i < MERGE_INPUTS; i++)
        inputs[i] = s->inputs[i];
    *counts = s->merge;
    return 1;
}
