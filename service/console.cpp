/*
 * The operator's console: what it keeps of the last hour, the state
 * document of /api/state and the console's paths on the control port.
 */
#include "service/console.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

extern "C" {
#include <libavutil/avutil.h>
}

#include "common/log.h"
#include "common/mpegts.h"
#include "event/event.h"
#include "service/app_ctx.h"
#include "service/http_front.h"
#include "service/status.h"
#include "service/thumbs.h"
#include "splice/event_asrun.h"
#include "traffic/traffic.h"
#include "ts/ts_out.h"

/* The page, compiled in from console.html (console_page.cpp, made by the build). */
extern const unsigned char console_page[];
extern const size_t console_page_size;

#define CONSOLE_SCHEMA "kestrow-state/1"

/* The page may load nothing but what the port serves, and send nothing anywhere else. */
#define CONSOLE_PAGE_POLICY                                                                          \
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; " \
    "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"

namespace {

const char *const break_states[] = {"waiting", "armed", "on_air", "aired", "skipped", "cancelled", "expired",
                                    "dropped"};

/*
 * The statuses the verification file gives spot records, with their names:
 * the as-run's spot reasons, and for an unusable spot that was too short or
 * not ready (its record carries which) names of their own.
 */
const char *const spot_reasons[CONSOLE_SPOT_STATUSES] = {"aired", "cut_short", "break_too_short", "unusable",
                                                         "break_skipped", "too_short", "not_ready"};
const int spot_ver[CONSOLE_SPOT_STATUSES] = {1, 1005, 1001, 1002, 1004, 1006, 1007};

int spot_index(const asrun_record *r)
{
    for (int i = 0; i < CONSOLE_SPOT_STATUSES; i++)
        if (r->ver_status != ASRUN_NONE ? spot_ver[i] == r->ver_status : strcmp(r->reason, spot_reasons[i]) == 0)
            return i;
    return -1;
}

int local_day(int64_t ms)
{
    time_t t = (time_t)(ms / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

bool final_state(int state)
{
    return state >= CONSOLE_BREAK_AIRED;
}

/* -- JSON ------------------------------------------------------------------ */

/* A JSON document written front to back; commas go where they belong. */
struct json_out {
    std::string text;
    std::vector<bool> fresh;  // per open object or array: nothing in it yet
};

/* Text as a JSON string: escaped, bytes that are no UTF-8 replaced by U+FFFD. */
void put_string(std::string *out, const char *text)
{
    out->push_back('"');
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back((char)c);
            p++;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out->append(esc);
            p++;
        } else if (c < 0x80) {
            out->push_back((char)c);
            p++;
        } else {
            int n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            int ok = n > 0;
            for (int i = 1; ok && i < n; i++)
                ok = (p[i] & 0xC0) == 0x80;
            if (ok && n == 3)  // no overlong forms, no surrogates
                ok = !(c == 0xE0 && p[1] < 0xA0) && !(c == 0xED && p[1] >= 0xA0);
            if (ok && n == 4)
                ok = !(c == 0xF0 && p[1] < 0x90) && !(c == 0xF4 && p[1] >= 0x90);
            if (ok) {
                out->append((const char *)p, (size_t)n);
                p += n;
            } else {
                out->append("\xef\xbf\xbd");
                p++;
            }
        }
    }
    out->push_back('"');
}

void key(json_out *j, const char *name)
{
    if (!j->fresh.empty()) {
        if (!j->fresh.back())
            j->text.push_back(',');
        j->fresh.back() = false;
    }
    if (name) {
        put_string(&j->text, name);
        j->text.push_back(':');
    }
}

void jopen(json_out *j, const char *name, char brace)
{
    key(j, name);
    j->text.push_back(brace);
    j->fresh.push_back(true);
}

void jclose(json_out *j, char brace)
{
    j->text.push_back(brace);
    j->fresh.pop_back();
}

void str(json_out *j, const char *name, const char *value)
{
    key(j, name);
    if (value)
        put_string(&j->text, value);
    else
        j->text.append("null");
}

/* A text that is null when empty. */
void text(json_out *j, const char *name, const char *value)
{
    str(j, name, value && value[0] ? value : nullptr);
}

void num(json_out *j, const char *name, int64_t value)
{
    key(j, name);
    if (value == ASRUN_NONE) {
        j->text.append("null");
        return;
    }
    char buf[32];
    snprintf(buf, sizeof(buf), "%" PRId64, value);
    j->text.append(buf);
}

void real(json_out *j, const char *name, double value)
{
    key(j, name);
    char buf[48];
    snprintf(buf, sizeof(buf), "%.3f", value);
    j->text.append(buf);
}

void flag(json_out *j, const char *name, bool value)
{
    key(j, name);
    j->text.append(value ? "true" : "false");
}

/* Wall ms as "YYYY-mm-ddTHH:MM:SS.mmmZ"; null for ASRUN_NONE. */
void when(json_out *j, const char *name, int64_t ms)
{
    if (ms == ASRUN_NONE) {
        str(j, name, nullptr);
        return;
    }
    time_t t = (time_t)(ms / 1000);
    int rest = (int)(ms % 1000);
    if (rest < 0) {
        t--;
        rest += 1000;
    }
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[48], day[32];
    strftime(day, sizeof(day), "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(buf, sizeof(buf), "%s.%03dZ", day, rest);
    str(j, name, buf);
}

/* 90 kHz ticks as seconds; null for ASRUN_NONE. */
void seconds(json_out *j, const char *name, int64_t ticks)
{
    if (ticks == ASRUN_NONE)
        str(j, name, nullptr);
    else
        real(j, name, (double)ticks / 90000.0);
}

/* -- the state's parts --------------------------------------------------- */

void write_channel(json_out *j, app_ctx *app, int64_t now_us)
{
    channel_status *s = &app->status;
    jopen(j, "channel", '{');
    text(j, "name", app->service_name[0] ? app->service_name : app->channel_id);
    text(j, "provider", app->service_provider);
    text(j, "channel_id", app->channel_id);
    str(j, "input", app->src_addr);
    str(j, "output", app->dst_addr);
    // A channel with a backup lists both and names the one on air.
    int active = MERGE_MAIN;
    merge_health health[MERGE_INPUTS];
    merge_counts counts;
    bool two = status_inputs(s, &active, health, &counts) != 0;
    str(j, "active_input", active == MERGE_BACKUP ? "backup" : "primary");
    jopen(j, "inputs", '[');
    for (int i = 0; i < (two ? MERGE_INPUTS : 1); i++) {
        jopen(j, nullptr, '{');
        str(j, "name", i == MERGE_BACKUP ? "backup" : "primary");
        str(j, "address", i == MERGE_BACKUP ? app->backup_addr : app->src_addr);
        flag(j, "active", i == active);
        flag(j, "up", two ? health[i].state == MERGE_UP : status_input_up(s) != 0);
        jclose(j, '}');
    }
    jclose(j, ']');
    num(j, "program", app->program > 0 ? app->program : ASRUN_NONE);
    num(j, "mux_rate", app->mux_rate > 0 ? app->mux_rate : ASRUN_NONE);
    num(j, "input_bitrate", status_bitrate(&s->in, now_us));
    num(j, "output_bitrate", status_bitrate(&s->out, now_us));
    real(j, "session_uptime", status_session_uptime(s, now_us));
    jclose(j, '}');
}

void write_counters(json_out *j, channel_status *s, int64_t now_us)
{
    jopen(j, "counters", '{');
    num(j, "packets_in", s->in.packets.load());
    num(j, "packets_out", s->out.packets.load());
    num(j, "cues", s->cues.load());
    num(j, "breaks_aired", s->breaks_aired.load());
    num(j, "breaks_skipped", s->breaks_skipped.load());
    num(j, "overruns", s->overruns.load());
    num(j, "input_losses", status_input_losses(s));
    real(j, "input_lost_seconds", status_input_lost_seconds(s, now_us));
    num(j, "reencoded_pictures", s->reencoded.load());
    num(j, "frame_accurate_fallbacks", s->accurate_fallbacks.load());
    jopen(j, "output_errors", '{');
    for (int c = 0; c < TS_OUT_CHECK_COUNT; c++)
        num(j, ts_out_check_name(c), s->output_errors[c].load());
    jclose(j, '}');
    jclose(j, '}');
}

/* What the console noted, copied under its lock. */
struct snapshot {
    std::vector<console_entry> entries;  // oldest first
    std::vector<console_outage> outages;
    int64_t check_ms, check_count;
    int check;
    int day;
    int64_t day_spots[CONSOLE_SPOT_STATUSES];
    int64_t day_breaks_aired, day_breaks_skipped;
};

void take_snapshot(console_log *l, snapshot *out)
{
    std::lock_guard<std::mutex> guard(l->lock);
    out->entries.reserve((size_t)l->count);
    for (int i = 0; i < l->count; i++)
        out->entries.push_back(l->entries[(l->next - l->count + i + CONSOLE_EVENTS) % CONSOLE_EVENTS]);
    for (int i = 0; i < l->outage_count; i++)
        out->outages.push_back(l->outages[(l->outage_next - l->outage_count + i + CONSOLE_OUTAGES) % CONSOLE_OUTAGES]);
    out->check_ms = l->check_ms;
    out->check_count = l->check_count;
    out->check = l->check;
    out->day = l->day;
    memcpy(out->day_spots, l->day_spots, sizeof(out->day_spots));
    out->day_breaks_aired = l->day_breaks_aired;
    out->day_breaks_skipped = l->day_breaks_skipped;
}

void alarm(json_out *j, const char *id, const char *severity, bool active, const char *what)
{
    jopen(j, nullptr, '{');
    str(j, "id", id);
    str(j, "severity", severity);
    flag(j, "active", active);
    str(j, "text", what);
    jclose(j, '}');
}

void write_alarms(json_out *j, app_ctx *app, const snapshot *snap, int64_t now_ms)
{
    channel_status *s = &app->status;
    int state = status_state(s);
    char what[256];
    jopen(j, "alarms", '[');
    const char *input = state == STATE_INPUT_INVALID ? "what arrives on the input is not MPEG-TS"
                        : state == STATE_INPUT_LOST ? "nothing arrives on the input"
                        : state == STATE_NO_INPUT || state == STATE_STARTING ? "no input yet" : "the input arrives";
    alarm(j, "input_lost", "critical", status_input_up(s) == 0, input);
    bool checks = snap->check_ms && now_ms - snap->check_ms < CONSOLE_CHECK_MS;
    if (checks)
        snprintf(what, sizeof(what), "%" PRId64 " failures of the output's own checks in the last minute, last: %s",
                 snap->check_count, ts_out_check_name(snap->check));
    else
        snprintf(what, sizeof(what), "the output passes its own checks");
    alarm(j, "output_checks", "critical", checks, what);
    int sched = s->schedule_state.load();
    bool with_schedule = app->schedule_path[0] != '\0';
    snprintf(what, sizeof(what), "schedule: %s", with_schedule ? traffic_schedule_state_name(sched) : "none asked for");
    alarm(j, "schedule", "warning",
          with_schedule && (sched == TRAFFIC_SCHEDULE_MISSING || sched == TRAFFIC_SCHEDULE_OTHER_DAY ||
                            sched == TRAFFIC_SCHEDULE_UNREADABLE),
          what);
    bool ver = s->verification_failing.load() != 0;
    alarm(j, "verification_failing", "warning", ver,
          ver ? "the verification file cannot be written (retried)" : "the verification file is written");
    int64_t failed = s->spots_conform_failed.load();
    snprintf(what, sizeof(what), "spot files of the schedule that cannot be conformed: %" PRId64, failed);
    alarm(j, "conform_failures", "warning", failed > 0, what);
    int64_t missed = 0;
    for (int i = 1; i < CONSOLE_SPOT_STATUSES; i++)
        missed += snap->day == local_day(now_ms) ? snap->day_spots[i] : 0;
    snprintf(what, sizeof(what), "spots that did not air in full today: %" PRId64, missed);
    alarm(j, "spots_missed", "warning", missed > 0, what);
    int on_air = MERGE_MAIN;
    merge_health health[MERGE_INPUTS];
    merge_counts counts;
    status_inputs(s, &on_air, health, &counts);
    alarm(j, "backup_input", "warning", on_air == MERGE_BACKUP,
          on_air == MERGE_BACKUP ? "the backup input is on air" : "the primary input is on air");
    jclose(j, ']');
}

/* The spot records of a break. */
void write_spots(json_out *j, const console_break &b)
{
    jopen(j, "spots", '[');
    for (const asrun_record *r : b.spots) {
        jopen(j, nullptr, '{');
        text(j, "spot_id", r->spot_id);
        text(j, "file", r->spot_file);
        num(j, "position", r->position);
        num(j, "break_number", r->break_number);
        text(j, "status", r->reason);
        int ver = console_ver_status(r);
        char code[8];
        snprintf(code, sizeof(code), "%04d", ver);
        str(j, "ver_status", ver ? code : nullptr);
        when(j, "time", r->time_ms);
        seconds(j, "aired", r->aired);
        text(j, "why", r->why);
        jclose(j, '}');
    }
    jclose(j, ']');
}

/* A break start's or end's frame accuracy. */
void write_point(json_out *j, const char *name, const asrun_record *r)
{
    if (!r) {
        str(j, name, nullptr);
        return;
    }
    jopen(j, name, '{');
    when(j, "time", r->time_ms);
    num(j, "pts", r->pts);
    num(j, "reencoded", r->reencoded);
    text(j, "fallback", r->fallback);
    jclose(j, '}');
}

/* The latest time a break is known by: for the window. */
int64_t break_time(const console_break &b)
{
    int64_t t = ASRUN_NONE;
    const int64_t times[] = {b.splice_ms, b.start_ms, b.end_ms, b.return_ms};
    for (int64_t v : times)
        if (v != ASRUN_NONE && (t == ASRUN_NONE || v > t))
            t = v;
    return t;
}

void write_timeline(json_out *j, const snapshot *snap, int64_t now_ms)
{
    int64_t from = now_ms - CONSOLE_WINDOW_MS, to = now_ms + CONSOLE_WINDOW_MS;
    const std::vector<console_entry> &e = snap->entries;
    jopen(j, "timeline", '{');
    when(j, "from", from);
    when(j, "to", to);

    // Cues, each with the decision that followed it (the next record of its event id).
    jopen(j, "cues", '[');
    std::vector<bool> claimed(e.size(), false);
    for (size_t i = 0; i < e.size(); i++) {
        const asrun_record *r = &e[i].rec;
        if (r->event == ASRUN_IGNORED && claimed[i])
            continue;
        if ((r->event != ASRUN_CUE && r->event != ASRUN_IGNORED) || r->time_ms < from)
            continue;
        const asrun_record *decision = r->event == ASRUN_IGNORED ? r : nullptr;
        for (size_t k = i + 1; !decision && k < e.size() && k <= i + 8; k++) {
            const asrun_record *d = &e[k].rec;
            if (d->event != ASRUN_CUE && d->splice_event_id == r->splice_event_id &&
                d->segmentation_event_id == r->segmentation_event_id) {
                decision = d;
                claimed[k] = true;
            }
        }
        jopen(j, nullptr, '{');
        when(j, "time", r->time_ms);
        num(j, "splice_event_id", r->splice_event_id);
        num(j, "segmentation_event_id", r->segmentation_event_id);
        num(j, "splice_time", r->splice_time);
        when(j, "splice_at", e[i].splice_ms);
        seconds(j, "duration", r->duration);
        str(j, "decision", decision ? asrun_event_name(decision->event) : nullptr);
        text(j, "reason", decision ? decision->reason : "");
        seconds(j, "late", decision ? decision->late : ASRUN_NONE);
        jclose(j, '}');
    }
    jclose(j, ']');

    jopen(j, "breaks", '[');
    std::vector<console_break> breaks = console_breaks(e.data(), (int)e.size());
    for (const console_break &b : breaks) {
        int64_t t = break_time(b);
        if (final_state(b.state) && (t == ASRUN_NONE || t < from || t > to))
            continue;
        jopen(j, nullptr, '{');
        num(j, "splice_event_id", b.splice_event_id);
        num(j, "segmentation_event_id", b.segmentation_event_id);
        str(j, "state", console_break_state_name(b.state));
        num(j, "splice_time", b.splice_time);
        when(j, "splice_at", b.splice_ms);
        seconds(j, "duration", b.duration);
        when(j, "start", b.start_ms);
        when(j, "end", b.end_ms);
        when(j, "return_at", b.return_ms);
        seconds(j, "aired", b.aired);
        text(j, "reason", b.reason);
        write_point(j, "start_point", b.start);
        write_point(j, "end_point", b.end);
        write_spots(j, b);
        jclose(j, '}');
    }
    jclose(j, ']');

    // Where a start or a return stayed on the programme's key frame.
    jopen(j, "fallbacks", '[');
    for (const console_entry &c : e) {
        const asrun_record *r = &c.rec;
        if ((r->event != ASRUN_BREAK_START && r->event != ASRUN_BREAK_END) || !r->fallback[0] || r->time_ms < from)
            continue;
        jopen(j, nullptr, '{');
        when(j, "time", r->time_ms);
        num(j, "splice_event_id", r->splice_event_id);
        str(j, "point", r->event == ASRUN_BREAK_START ? "start" : "return");
        str(j, "reason", r->fallback);
        jclose(j, '}');
    }
    jclose(j, ']');

    jopen(j, "outages", '[');
    for (const console_outage &o : snap->outages) {
        if (o.end_ms != ASRUN_NONE && o.end_ms < from)
            continue;
        jopen(j, nullptr, '{');
        when(j, "start", o.start_ms);
        when(j, "end", o.end_ms);
        jclose(j, '}');
    }
    jclose(j, ']');
    jclose(j, '}');
}

void write_reconciliation(json_out *j, app_ctx *app, const snapshot *snap, int64_t now_ms)
{
    channel_status *s = &app->status;
    int today = local_day(now_ms);
    bool counted = snap->day == today;
    char day[16];
    snprintf(day, sizeof(day), "%04d-%02d-%02d", today / 10000, today / 100 % 100, today % 100);
    char schedule[STATUS_SCHEDULE_SIZE];
    status_schedule(s, schedule, sizeof(schedule));
    jopen(j, "reconciliation", '{');
    str(j, "day", day);
    text(j, "schedule", schedule);
    str(j, "schedule_state", traffic_schedule_state_name(s->schedule_state.load()));
    flag(j, "verification_failing", s->verification_failing.load() != 0);
    int64_t scheduled = s->schedule_spots.load(), aired = s->spots_aired.load(), missed = s->spots_missed.load();
    num(j, "scheduled", scheduled);
    num(j, "aired", aired);
    num(j, "missed", missed);
    num(j, "open", scheduled - aired - missed > 0 ? scheduled - aired - missed : 0);
    num(j, "conformed", s->spots_conformed.load());
    num(j, "conform_pending", s->spots_conform_pending.load());
    num(j, "conform_failed", s->spots_conform_failed.load());
    num(j, "breaks_aired_today", counted ? snap->day_breaks_aired : 0);
    num(j, "breaks_skipped_today", counted ? snap->day_breaks_skipped : 0);
    jopen(j, "spots_today", '[');
    for (int i = 0; i < CONSOLE_SPOT_STATUSES; i++) {
        jopen(j, nullptr, '{');
        str(j, "status", spot_reasons[i]);
        char code[8];
        snprintf(code, sizeof(code), "%04d", spot_ver[i]);
        str(j, "ver_status", code);
        num(j, "count", counted ? snap->day_spots[i] : 0);
        jclose(j, '}');
    }
    jclose(j, ']');
    jclose(j, '}');
}

void write_thumbnails(json_out *j, app_ctx *app)
{
    static const char *const kinds[THUMB_COUNT] = {"input", "output"};
    jopen(j, "thumbnails", '{');
    for (int k = 0; k < THUMB_COUNT; k++) {
        thumb_picture p;
        bool has = thumbs_get(&app->thumbs, k, &p) == 0;
        char url[64];
        snprintf(url, sizeof(url), "/thumbnails/%s.jpg", kinds[k]);
        jopen(j, kinds[k], '{');
        str(j, "url", url);
        when(j, "time", has ? p.made_ms : ASRUN_NONE);
        num(j, "width", has ? p.width : ASRUN_NONE);
        num(j, "height", has ? p.height : ASRUN_NONE);
        jclose(j, '}');
    }
    jclose(j, '}');
}

void write_port(json_out *j, const http_stats *port)
{
    http_stats none = {};
    if (!port)
        port = &none;
    jopen(j, "control_port", '{');
    num(j, "clients", port->clients);
    num(j, "accepted", port->accepted);
    num(j, "evicted", port->evicted);
    num(j, "timed_out", port->timed_out);
    num(j, "refused", port->refused);
    num(j, "requests", port->requests);
    jclose(j, '}');
}

void serve_thumbnail(app_ctx *app, int kind, http_reply *out)
{
    thumb_picture p;
    if (thumbs_get(&app->thumbs, kind, &p) != 0) {
        out->status = 503;
        out->content_type = "text/plain; charset=utf-8";
        out->headers = "Retry-After: 2\r\nCache-Control: no-store\r\n";
        out->body = "no picture yet\n";
        return;
    }
    out->status = 200;
    out->content_type = "image/jpeg";
    out->headers = "Cache-Control: no-store\r\n";
    out->body.swap(p.jpeg);
}

} // namespace

const char *console_break_state_name(int state)
{
    return state >= 0 && state <= CONSOLE_BREAK_DROPPED ? break_states[state] : "unknown";
}

int console_ver_status(const asrun_record *r)
{
    int i = r ? spot_index(r) : -1;
    return i >= 0 ? spot_ver[i] : 0;
}

int64_t console_splice_ms(const event_air_clock *c, const event *ev)
{
    if (!c || !ev || ev->splice_time == AV_NOPTS_VALUE || c->pts == AV_NOPTS_VALUE)
        return ASRUN_NONE;
    return event_air_ms(c, ts_pts_nearest(ev->splice_time, c->pts), 0);
}

void console_note_record(console_log *l, const asrun_record *r, int64_t splice_ms)
{
    if (!l || !r)
        return;
    std::lock_guard<std::mutex> guard(l->lock);
    console_entry *e = &l->entries[l->next];
    e->rec = *r;
    e->splice_ms = splice_ms;
    l->next = (l->next + 1) % CONSOLE_EVENTS;
    if (l->count < CONSOLE_EVENTS)
        l->count++;
    int day = local_day(r->time_ms);
    if (day != l->day && (r->event == ASRUN_SPOT || r->event == ASRUN_BREAK_END || r->event == ASRUN_BREAK_SKIPPED)) {
        l->day = day;
        memset(l->day_spots, 0, sizeof(l->day_spots));
        l->day_breaks_aired = l->day_breaks_skipped = 0;
    }
    if (r->event == ASRUN_SPOT) {
        int i = spot_index(r);
        if (i >= 0)
            l->day_spots[i]++;
    } else if (r->event == ASRUN_BREAK_END) {
        l->day_breaks_aired++;
    } else if (r->event == ASRUN_BREAK_SKIPPED) {
        l->day_breaks_skipped++;
    }
}

void console_note_event(console_log *l, const event *ev, int64_t now_ms)
{
    if (!l || !ev)
        return;
    if (ev->type != EVENT_INPUT_LOST && ev->type != EVENT_INPUT_BACK && ev->type != EVENT_OUTPUT_CHECK)
        return;
    std::lock_guard<std::mutex> guard(l->lock);
    int last = (l->outage_next + CONSOLE_OUTAGES - 1) % CONSOLE_OUTAGES;
    bool open_outage = l->outage_count > 0 && l->outages[last].end_ms == ASRUN_NONE;
    if (ev->type == EVENT_INPUT_LOST && !open_outage) {
        l->outages[l->outage_next] = {now_ms, ASRUN_NONE};
        l->outage_next = (l->outage_next + 1) % CONSOLE_OUTAGES;
        if (l->outage_count < CONSOLE_OUTAGES)
            l->outage_count++;
    } else if (ev->type == EVENT_INPUT_BACK && open_outage) {
        l->outages[last].end_ms = now_ms;
    } else if (ev->type == EVENT_OUTPUT_CHECK) {
        if (!l->check_ms || now_ms - l->check_ms >= CONSOLE_CHECK_MS)
            l->check_count = 0;
        l->check_count += ev->count > 0 ? ev->count : 1;
        l->check_ms = now_ms > 0 ? now_ms : 1;
        l->check = ev->reason;
    }
}

std::vector<console_break> console_breaks(const console_entry *entries, int n)
{
    std::vector<console_break> out;
    std::map<std::pair<int64_t, int64_t>, size_t> latest;  // event id -> its latest break
    for (int i = 0; i < n; i++) {
        const console_entry *e = &entries[i];
        const asrun_record *r = &e->rec;
        if (r->event == ASRUN_CUE || r->event == ASRUN_IGNORED || r->event == ASRUN_REPEAT)
            continue;
        std::pair<int64_t, int64_t> id(r->splice_event_id, r->segmentation_event_id);
        if (id.first == ASRUN_NONE && id.second == ASRUN_NONE)
            continue;
        auto it = latest.find(id);
        // A spot's record may follow its break's end: it belongs to the break all the same.
        bool fresh = it == latest.end() || (final_state(out[it->second].state) && r->event != ASRUN_SPOT);
        if (fresh) {
            console_break b;
            b.splice_event_id = id.first;
            b.segmentation_event_id = id.second;
            b.state = CONSOLE_BREAK_ARMED;
            b.splice_time = r->splice_time;
            b.duration = r->duration;
            b.splice_ms = e->splice_ms;
            b.start_ms = b.end_ms = b.return_ms = b.aired = ASRUN_NONE;
            b.reason = "";
            b.start = b.end = nullptr;
            out.push_back(b);
            latest[id] = out.size() - 1;
        }
        console_break &b = out[latest[id]];
        switch (r->event) {
        case ASRUN_ARMED:
        case ASRUN_KEPT:
            b.state = r->event == ASRUN_ARMED ? CONSOLE_BREAK_ARMED : CONSOLE_BREAK_WAITING;
            b.splice_time = r->splice_time;
            b.duration = r->duration;
            b.splice_ms = e->splice_ms;
            break;
        case ASRUN_RETURN:
            b.return_ms = e->splice_ms;
            break;
        case ASRUN_BREAK_START:
            b.state = CONSOLE_BREAK_ON_AIR;
            b.start_ms = r->time_ms;
            b.start = r;
            break;
        case ASRUN_SPOT:
            b.spots.push_back(r);
            break;
        case ASRUN_BREAK_END:
            b.state = CONSOLE_BREAK_AIRED;
            b.end_ms = r->time_ms;
            b.aired = r->aired;
            b.reason = r->reason;
            b.end = r;
            break;
        default: {
            static const int ends[][2] = {{ASRUN_BREAK_SKIPPED, CONSOLE_BREAK_SKIPPED},
                                          {ASRUN_CANCELLED, CONSOLE_BREAK_CANCELLED},
                                          {ASRUN_EXPIRED, CONSOLE_BREAK_EXPIRED},
                                          {ASRUN_DROPPED, CONSOLE_BREAK_DROPPED}};
            for (const auto &end : ends) {
                if (r->event == end[0]) {
                    b.state = end[1];
                    b.reason = r->reason;
                    if (b.end_ms == ASRUN_NONE)
                        b.end_ms = r->time_ms;
                }
            }
            break;
        }
        }
    }
    return out;
}

std::string console_state_json(app_ctx *app, const http_stats *port, int64_t now_ms)
{
    int64_t now_us = status_now_us();
    snapshot snap;
    take_snapshot(&app->console, &snap);
    json_out j;
    jopen(&j, nullptr, '{');
    str(&j, "schema", CONSOLE_SCHEMA);
    when(&j, "time", now_ms);
    str(&j, "state", status_state_name(status_state(&app->status)));
    write_channel(&j, app, now_us);
    write_alarms(&j, app, &snap, now_ms);
    write_counters(&j, &app->status, now_us);
    write_timeline(&j, &snap, now_ms);
    write_reconciliation(&j, app, &snap, now_ms);
    write_thumbnails(&j, app);
    write_port(&j, port);
    jclose(&j, '}');
    j.text.push_back('\n');
    return j.text;
}

void console_serve(app_ctx *app, const http_stats *port, const http_request *req, http_reply *out)
{
    static const char *const thumbnails[THUMB_COUNT] = {"/thumbnails/input.jpg", "/thumbnails/output.jpg"};
    int kind = -1;
    for (int k = 0; k < THUMB_COUNT; k++)
        if (strcmp(req->path, thumbnails[k]) == 0)
            kind = k;
    bool page = strcmp(req->path, "/") == 0, state = strcmp(req->path, "/api/state") == 0;
    if (!page && !state && kind < 0)
        return;
    if (req->method != HTTP_GET && req->method != HTTP_HEAD) {
        out->status = 405;
        out->content_type = "text/plain; charset=utf-8";
        out->headers = "Allow: GET, HEAD\r\n";
        out->body = "GET or HEAD\n";
        return;
    }
    if (kind >= 0) {
        serve_thumbnail(app, kind, out);
        return;
    }
    out->status = 200;
    out->headers = "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (page) {
        out->content_type = "text/html; charset=utf-8";
        out->headers += CONSOLE_PAGE_POLICY;
        out->body.assign((const char *)console_page, console_page_size);
    } else {
        out->content_type = "application/json";
        out->body = console_state_json(app, port, (int64_t)log_now_ms());
    }
}
