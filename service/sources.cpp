/*
 * The channel's two sources and the merge between them (see the header).
 * The merge's reports come on its thread: lines through the lock-free
 * logger, the as-run record through the writer's queue, the health into
 * the status under its lock; nothing here waits.
 */
#include "service/sources.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "common/asrun.h"
#include "common/log.h"
#include "common/utils.h"
#include "net/input_merge.h"
#include "net/udp_in.h"
#include "service/app_ctx.h"
#include "service/links.h"
#include "service/status.h"

struct slicer_sources {
    app_ctx *app;
    udp_in *inputs[MERGE_INPUTS];
    udp_in *merged;
    merge_in *merge;
};

/* Why a switch was made, in the operator's words. */
static const char *switch_why(const merge_switch *sw)
{
    switch (sw->why) {
    case MERGE_WHY_LOST: return "nothing received for the loss threshold";
    case MERGE_WHY_CONTINUITY: return "continuity errors";
    case MERGE_WHY_PAT: return "no PAT";
    case MERGE_WHY_PMT: return "no PMT of the programme";
    case MERGE_WHY_PID: return "a PID of the programme missing";
    case MERGE_WHY_FAILBACK: return "healthy for the failback hold";
    default: return "unknown";
    }
}

static void on_switch(void *opaque, const merge_switch *sw)
{
    slicer_sources *s = (slicer_sources *)opaque;
    app_ctx *app = s->app;
    const char *left = sw->to == MERGE_MAIN ? "the backup" : "the main";
    if (sw->why == MERGE_WHY_FAILBACK)
        log_printf(LOG_INFO, "%s: the main input is on air again: %s (%s)", "slicer_sources", switch_why(sw),
                   sw->hitless ? "the same stream, nothing cut" : "another stream, taken at its next key frame");
    else
        log_printf(LOG_ERROR, "%s: the %s input is on air: %s on %s (%s)", "slicer_sources",
                   merge_input_name(sw->to), switch_why(sw), left,
                   sw->hitless ? "the same stream, nothing cut" : "another stream, taken at its next key frame");
    if (!app->asrun)
        return;
    asrun_record rec = asrun_record_make(ASRUN_INPUT_SWITCH, (int64_t)log_now_ms());
    utils_strlcpy(rec.channel, app->channel_id[0] ? app->channel_id : app->service_name, sizeof(rec.channel));
    utils_strlcpy(rec.input, merge_input_name(sw->to), sizeof(rec.input));
    utils_strlcpy(rec.reason, merge_why_name(sw->why), sizeof(rec.reason));
    if (asrun_post(app->asrun, &rec) < 0)
        log_printf(LOG_ERROR, "%s: the as-run line of the switch is lost", "slicer_sources");
}

static void on_health(void *opaque, int active, const merge_health *inputs, const merge_counts *counts)
{
    status_set_inputs(&((slicer_sources *)opaque)->app->status, active, inputs, counts);
}

int slicer_sources_open(app_ctx *app, slicer_links *links, const udp_in_config *config, udp_in **src,
                        slicer_sources **out)
{
    *out = nullptr;
    slicer_sources *s = new (std::nothrow) slicer_sources();
    if (!s) {
        slicer_links_receiver_close(links, src);
        return -ENOMEM;
    }
    s->app = app;
    s->inputs[MERGE_MAIN] = *src;
    *src = nullptr;
    udp_in_config c = *config;
    c.addr = app->backup_addr;
    c.interface = app->backup_if;
    c.source = app->backup_source;
    c.on_change = nullptr;
    int ret = slicer_links_backup_receiver(links, &c, &s->inputs[MERGE_BACKUP]);
    if (ret >= 0) {
        c = *config;
        c.fed = 1;
        ret = udp_in_create(&s->merged, &c);
    }
    if (ret >= 0) {
        merge_config mc = {};
        mc.inputs[MERGE_MAIN] = s->inputs[MERGE_MAIN];
        mc.inputs[MERGE_BACKUP] = s->inputs[MERGE_BACKUP];
        mc.out = s->merged;
        mc.loss_us = (int64_t)app->input_loss_ms * 1000;
        mc.hold_us = (int64_t)app->failback_hold * 1000000;
        mc.revert = !app->failback_stay;
        mc.program = app->program;
        mc.stop_flag = app->stop_flag;
        mc.on_switch = on_switch;
        mc.on_health = on_health;
        mc.opaque = s;
        ret = merge_create(&s->merge, &mc);
    }
    if (ret < 0) {
        slicer_sources_close(&s, links, src);
        return ret;
    }
    *src = s->merged;
    *out = s;
    return 0;
}

int slicer_sources_switching(slicer_sources *s)
{
    return s ? merge_switching(s->merge) : 0;
}

int64_t slicer_sources_cuts(slicer_sources *s)
{
    merge_counts counts;
    return s && merge_get_counts(s->merge, &counts) == 0 ? counts.cuts : 0;
}

void slicer_sources_add_stats(slicer_sources *s, udp_in_stats *st)
{
    udp_in_stats in;
    for (int i = 0; s && i < MERGE_INPUTS; i++) {
        if (udp_in_get_stats(s->inputs[i], &in) != 0)
            continue;
        st->overruns += in.overruns;
        st->kernel_drops += in.kernel_drops;
    }
}

void slicer_sources_close(slicer_sources **p, slicer_links *links, udp_in **src)
{
    if (!p || !*p)
        return;
    slicer_sources *s = *p;
    *p = nullptr;
    merge_destroy(&s->merge);
    slicer_links_backup_close(links, &s->inputs[MERGE_BACKUP]);
    slicer_links_receiver_close(links, &s->inputs[MERGE_MAIN]);
    if (s->merged)
        udp_in_destroy(&s->merged);
    if (src)
        *src = nullptr;
    delete s;
}
