/*
 * The demo's console: what the relay and the splice rules report, in the
 * words both programs share (event/event_text.h), on standard output and
 * standard error.
 */
#include <cstdio>
#include <cstring>

#include "common/asrun.h"
#include "common/log.h"
#include "common/trace.h"
#include "demo/demo.h"
#include "common/utils.h"
#include "event/event_text.h"
#include "traffic/traffic.h"

/* The as-run line of ev, if it has one. */
static void demo_record(demo_ctx *demo, const event *ev)
{
    asrun_record rec;

    if (!demo || !demo->asrun || event_asrun(ev, event_asrun_time(&demo->clock, ev, (int64_t)log_now_ms()), &rec) <= 0)
        return;
    const char *channel = demo->channel_id && demo->channel_id[0] ? demo->channel_id : demo->service_name;
    if (channel)
        utils_strlcpy(rec.channel, channel, sizeof(rec.channel));
    int ret = asrun_write(demo->asrun, &rec);
    if (ret < 0)
        fprintf(stderr, "Could not write the as-run file '%s': %s\n", demo->asrun_path, strerror(-ret));
}

/* One line of an event's wording on the console: errors on standard error, the rest on standard output. */
void demo_print_line(void *opaque, int severity, const char *text)
{
    (void)opaque;
    fprintf(severity == LOG_ERROR ? stderr : stdout, "%s\n", text);
}

void demo_print_event(void *opaque, const event *ev)
{
    event_text(ev, demo_print_line, opaque);
}

void demo_on_event(void *opaque, const event *ev)
{
    demo_ctx *demo = (demo_ctx *)opaque;

    event_air_clock_follow(&demo->clock, ev, (int64_t)log_now_ms());
    demo_record(demo, ev);
    /* A read error is named by the run's end, with the exit status. */
    if (ev->type != EVENT_READ_FAILED)
        event_text(ev, demo_print_line, nullptr);
    /* A file to file run can wait for files: the traffic's work is done at once. */
    if (demo->traffic_ctx && traffic_on_event(demo->traffic_ctx, ev))
        traffic_poll(demo->traffic_ctx, event_air_ms(&demo->clock, demo->clock.last_pts, demo->clock_ms));
}

static void demo_on_trace(void *opaque, int kind, const char *line)
{
    (void)opaque;
    if (kind == TRACE_DETAIL)
        puts(line);
    else
        fprintf(stderr, "%s\n", line);
}

const trace_sink demo_trace = {demo_on_trace, nullptr};
