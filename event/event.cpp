/*
 * Events: a blank record, the names of reasons, handing an event to a sink.
 */
#include "event/event.h"

#include <cstring>
#include <iterator>

extern "C" {
#include <libavutil/avutil.h>
}

event event_make(event_type t)
{
    event ev;

    memset(&ev, 0, sizeof(ev));
    ev.type = t;
    ev.stream = ev.input_index = ev.pid = -1;
    ev.splice_time = ev.duration = AV_NOPTS_VALUE;
    ev.pts = ev.delta_ticks = ev.end_pts = ev.pts_time = ev.aired = AV_NOPTS_VALUE;
    ev.reencoded = -1;
    return ev;
}

static const char *reason_name(const char *const *names, size_t n, int reason)
{
    return reason >= 0 && (size_t)reason < n ? names[reason] : "";
}

const char *event_reason_name(const event *ev)
{
    static const char *const ends[] = {"duration", "filler_end", "session_end", "return_cue", "next_event",
                                       "max_break", "input_lost"};
    static const char *const ignores[] = {"no_splice_time", "crc_mismatch", "already_started", "not_in_break",
                                          "unknown_event", "time_signal_off", "segmentation_type",
                                          "running_moved", "too_far", "late", "encrypted", "component_mode",
                                          "splice_schedule", "bandwidth_reservation", "private_command",
                                          "splice_null", "reserved_command"};
    static const char *const arms[] = {"cue", "updated", "kept", "late_join"};
    static const char *const keeps[] = {"after_armed", "after_break", "displaced", "updated"};
    static const char *const drops[] = {"max_pending"};
    static const char *const expiries[] = {"passed", "session_end"};
    static const char *const cancels[] = {"armed", "kept", "source_restart"};
    static const char *const skips[] = {"no_filler_video", "schedule", "no_video"};
    static const char *const unspliceable[] = {"scrambled", "unread"};
    static const char *const spots[] = {"aired", "cut_short", "break_too_short", "unusable", "break_skipped"};
    static const char *const switches[] = {"to_filler", "back_at_end", "back_filler_end"};
    static const char *const timelines[] = {"start", "resumed", "late", "early", "restart"};
    static const char *const plans[] = {"spots", "nul", "outside"};
    static const char *const checks[] = {"ready", "short", "missing", "unusable"};
    static const char *const memory[] = {"plan", "events", "files"};

    switch (ev->type) {
    case EVENT_BREAK_ENDED: return reason_name(ends, std::size(ends), ev->reason);
    case EVENT_CUE_IGNORED: return reason_name(ignores, std::size(ignores), ev->reason);
    case EVENT_ARMED: return reason_name(arms, std::size(arms), ev->reason);
    case EVENT_NEXT_KEPT: return reason_name(keeps, std::size(keeps), ev->reason);
    case EVENT_DROPPED: return reason_name(drops, std::size(drops), ev->reason);
    case EVENT_EXPIRED: return reason_name(expiries, std::size(expiries), ev->reason);
    case EVENT_CANCELLED: return reason_name(cancels, std::size(cancels), ev->reason);
    case EVENT_BREAK_SKIPPED: return reason_name(skips, std::size(skips), ev->reason);
    case EVENT_PROGRAMME_UNSPLICEABLE: return reason_name(unspliceable, std::size(unspliceable), ev->reason);
    case EVENT_STREAM_SWITCHED: return reason_name(switches, std::size(switches), ev->reason);
    case EVENT_SPOT_ENDED: return reason_name(spots, std::size(spots), ev->reason);
    case EVENT_TIMELINE_MOVED: return reason_name(timelines, std::size(timelines), ev->reason);
    case EVENT_BREAK_PLANNED: return reason_name(plans, std::size(plans), ev->reason);
    case EVENT_SPOT_CHECKED: return reason_name(checks, std::size(checks), ev->reason);
    case EVENT_TRAFFIC_NO_MEMORY: return reason_name(memory, std::size(memory), ev->reason);
    default: return "";
    }
}

const char *event_fallback_name(int fallback)
{
    static const char *const names[] = {"", "unmatched", "no_gop", "open_gop", "error", "timeline_break", "field_pictures",
                                         "late_cue", "late"};
    return reason_name(names, std::size(names), fallback);
}

void event_emit(const event_sink *sink, const event *ev)
{
    if (sink && sink->fn)
        sink->fn(sink->opaque, ev);
}
