/*
 * Control server: the HTTP front's requests routed to XML-RPC (/RPC2), the
 * metrics (/metrics) and the console (everything else). ctl_init runs on
 * the main thread, ctl_run and ctl_destroy on the control thread,
 * ctl_terminate on whichever thread handles a stop request; the request
 * handlers run on the control thread and only read the status record.
 */
#include "service/ctl.h"

#include <libxml/parser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "service/app_ctx.h"
#include "common/log.h"
#include "service/console.h"
#include "service/http_front.h"
#include "service/status.h"
#include "traffic/traffic.h"

namespace {

/*
 * Guards the app's ctl pointer and the record's listening flag between the
 * thread that sets them up or tears them down and the thread that asks the
 * server to stop, so a terminate never works on a server being destroyed.
 */
std::mutex ctl_lock;

/*
 * Logs the set-up step that failed with the library's reason (reason, or
 * env's fault), and frees reason: the library allocates its error texts
 * with malloc. Returns -EIO.
 */
int init_failed(xmlrpc_env *env, const char *step, const char *reason)
{
    const char *why = reason ? reason : env->fault_occurred ? env->fault_string : nullptr;
    if (why)
        log_printf(LOG_ERROR, "ctl_init: %s failed: %s", step, why);
    else
        log_printf(LOG_ERROR, "ctl_init: %s failed", step);
    free((void *)reason);
    return -EIO;
}

/*
 * A TCP socket bound to port on host (a numeric IPv4 or IPv6 address; every
 * IPv4 address when empty); the fd, or a negative errno.
 */
int bind_port(const char *host, uint32_t port)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(sockaddr_in);
    if (!host[0]) {
        sockaddr_in *in = (sockaddr_in *)&addr;
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_ANY);
        in->sin_port = htons((uint16_t)port);
    } else {
        addrinfo hints{}, *found = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
        char service[16];
        snprintf(service, sizeof(service), "%u", port);
        if (getaddrinfo(host, service, &hints, &found) != 0 || !found)
            return -EADDRNOTAVAIL;
        memcpy(&addr, found->ai_addr, found->ai_addrlen);
        len = found->ai_addrlen;
        freeaddrinfo(found);
    }
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (addr.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    if (bind(fd, (sockaddr *)&addr, len) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

/* Adds "name":value to the struct st unless value is absent. */
void set_number(xmlrpc_env *env, xmlrpc_value *st, const char *name, int64_t value)
{
    if (value == ASRUN_NONE || env->fault_occurred)
        return;
    xmlrpc_value *v = xmlrpc_i8_new(env, value);
    if (!env->fault_occurred)
        xmlrpc_struct_set_value(env, st, name, v);
    if (v)
        xmlrpc_DECREF(v);
}

void set_string(xmlrpc_env *env, xmlrpc_value *st, const char *name, const char *value)
{
    if (env->fault_occurred)
        return;
    xmlrpc_value *v = xmlrpc_string_new(env, value);
    if (!env->fault_occurred)
        xmlrpc_struct_set_value(env, st, name, v);
    if (v)
        xmlrpc_DECREF(v);
}

/* The last event as a struct like an as-run line (absent fields left out); empty when none. */
xmlrpc_value *event_struct(xmlrpc_env *env, channel_status *s)
{
    xmlrpc_value *st = xmlrpc_struct_new(env);
    asrun_record r;
    if (env->fault_occurred || status_last_event(s, &r) != 0)
        return st;
    char line[ASRUN_LINE_SIZE];
    if (asrun_format(&r, line, sizeof(line)) > 0) {
        // The time as written in the as-run line: "time":"...".
        char *start = strchr(line, ':') + 2;
        char *end = strchr(start, '"');
        *end = '\0';
        set_string(env, st, "time", start);
    }
    set_string(env, st, "event", asrun_event_name(r.event));
    set_number(env, st, "splice_event_id", r.splice_event_id);
    set_number(env, st, "segmentation_event_id", r.segmentation_event_id);
    set_number(env, st, "splice_time", r.splice_time);
    set_number(env, st, "duration", r.duration);
    set_number(env, st, "pts", r.pts);
    set_number(env, st, "aired", r.aired);
    set_number(env, st, "late", r.late);
    if (r.reason[0] && ctl_check_utf8(r.reason) == 0)
        set_string(env, st, "reason", r.reason);
    const char *texts[][2] = {{"channel", r.channel}, {"spot_id", r.spot_id}, {"file", r.spot_file}};
    for (const auto &t : texts)
        if (t[1][0] && ctl_check_utf8(t[1]) == 0)
            set_string(env, st, t[0], t[1]);
    set_number(env, st, "break_number", r.break_number);
    set_number(env, st, "position", r.position);
    return st;
}

/* "HH:MM:SS" of wall ms, local time: a window as the schedule gives it. */
std::string window_text(int64_t ms)
{
    time_t t = (time_t)(ms / 1000);
    struct tm tm;
    char buf[16];
    localtime_r(&t, &tm);
    strftime(buf, sizeof(buf), "%H:%M:%S", &tm);
    return buf;
}

/* The spots not decided yet, by outlook (traffic_spot_outlook below DONE). */
struct plan_counts {
    int64_t n[TRAFFIC_SPOT_DONE] = {};
};

plan_counts count_plan(const std::vector<traffic_spot_plan> &plan)
{
    plan_counts c;
    for (const traffic_spot_plan &p : plan)
        if (p.outlook >= 0 && p.outlook < TRAFFIC_SPOT_DONE)
            c.n[p.outlook]++;
    return c;
}

/*
 * The breaks of the schedule, in the order their first spot comes, each a
 * struct {window, window_minutes, break, spots: [{position, spot_id, file,
 * seconds, outlook, status, why}]}; texts that are no UTF-8 left empty.
 */
xmlrpc_value *plan_array(xmlrpc_env *env, const std::vector<traffic_spot_plan> &plan)
{
    xmlrpc_value *breaks = xmlrpc_array_new(env);
    std::vector<bool> done(plan.size());
    for (size_t i = 0; i < plan.size() && !env->fault_occurred; i++) {
        if (done[i])
            continue;
        const traffic_spot_plan &b = plan[i];
        xmlrpc_value *spots = xmlrpc_array_new(env);
        for (size_t k = i; k < plan.size() && !env->fault_occurred; k++) {
            const traffic_spot_plan &p = plan[k];
            if (done[k] || p.window_ms != b.window_ms || p.window_minutes != b.window_minutes ||
                p.break_number != b.break_number)
                continue;
            done[k] = true;
            char status[8];
            snprintf(status, sizeof(status), "%04d", p.status % 10000);
            xmlrpc_value *spot = xmlrpc_build_value(
                env, "{s:i,s:s,s:s,s:i,s:s,s:s,s:s}", "position", p.position, "spot_id",
                ctl_check_utf8(p.id) == 0 ? p.id : "", "file", ctl_check_utf8(p.file) == 0 ? p.file : "", "seconds",
                p.seconds, "outlook", traffic_spot_outlook_name(p.outlook, p.status), "status", status, "why",
                ctl_check_utf8(p.why) == 0 ? p.why : "");
            if (!env->fault_occurred)
                xmlrpc_array_append_item(env, spots, spot);
            if (spot)
                xmlrpc_DECREF(spot);
        }
        xmlrpc_value *brk = env->fault_occurred ? nullptr
                            : xmlrpc_build_value(env, "{s:s,s:i,s:i,s:V}", "window", window_text(b.window_ms).c_str(),
                                                 "window_minutes", b.window_minutes, "break", b.break_number,
                                                 "spots", spots);
        if (!env->fault_occurred)
            xmlrpc_array_append_item(env, breaks, brk);
        if (brk)
            xmlrpc_DECREF(brk);
        if (spots)
            xmlrpc_DECREF(spots);
    }
    return breaks;
}

/* The SRT link of a side as a struct; null when the side is no SRT. */
xmlrpc_value *srt_struct(xmlrpc_env *env, channel_status *s, int side)
{
    srt_link_stats st;
    if (!status_srt(s, side, &st) || env->fault_occurred)
        return nullptr;
    xmlrpc_value *v = xmlrpc_build_value(
        env, "{s:b,s:s,s:I,s:I,s:d,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:I}",
        "connected", (xmlrpc_bool)(st.connected != 0),
        "peer", ctl_check_utf8(st.peer) == 0 ? st.peer : "",
        "connections", (xmlrpc_int64)st.connections,
        "refused", (xmlrpc_int64)st.refused,
        "rtt_ms", st.rtt_us / 1000.0,
        "packets", (xmlrpc_int64)st.packets,
        "lost", (xmlrpc_int64)st.lost,
        "retransmitted", (xmlrpc_int64)st.retransmitted,
        "dropped", (xmlrpc_int64)st.dropped,
        "buffer_ms", (xmlrpc_int64)st.buffer_ms,
        "latency_ms", (xmlrpc_int64)st.latency_ms,
        "undecrypted", (xmlrpc_int64)st.undecrypted,
        "unsent", (xmlrpc_int64)st.unsent);
    return env->fault_occurred ? nullptr : v;
}

/* The RTP input's counts as a struct; null without one. */
xmlrpc_value *rtp_struct(xmlrpc_env *env, channel_status *s)
{
    rtp_stats st;
    if (!status_rtp(s, &st) || env->fault_occurred)
        return nullptr;
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:I,s:I,s:I,s:I,s:I,s:I,s:I}",
                                         "datagrams", (xmlrpc_int64)st.datagrams, "lost", (xmlrpc_int64)st.lost,
                                         "reordered", (xmlrpc_int64)st.reordered,
                                         "duplicates", (xmlrpc_int64)st.duplicates, "late", (xmlrpc_int64)st.late,
                                         "resyncs", (xmlrpc_int64)st.resyncs, "not_rtp", (xmlrpc_int64)st.not_rtp);
    return env->fault_occurred ? nullptr : v;
}

/* Adds the SRT and RTP structs of the links in use to the status struct. */
void add_links(xmlrpc_env *env, xmlrpc_value *result, channel_status *s)
{
    xmlrpc_value *parts[3] = {srt_struct(env, s, STATUS_SRT_INPUT), srt_struct(env, s, STATUS_SRT_OUTPUT),
                              rtp_struct(env, s)};
    const char *names[3] = {"srt_input", "srt_output", "rtp_input"};
    for (int i = 0; i < 3; i++) {
        if (!parts[i])
            continue;
        if (!env->fault_occurred)
            xmlrpc_struct_set_value(env, result, names[i], parts[i]);
        xmlrpc_DECREF(parts[i]);
    }
}

/* Adds the two sources (a channel with a backup) to the status struct: the active one and each one's health. */
void add_inputs(xmlrpc_env *env, xmlrpc_value *result, app_ctx *app, int64_t now)
{
    int active;
    merge_health h[MERGE_INPUTS];
    merge_counts c;
    if (!status_inputs(&app->status, &active, h, &c) || env->fault_occurred)
        return;
    xmlrpc_value *list = xmlrpc_array_new(env);
    const char *addrs[MERGE_INPUTS] = {app->src_url, app->backup_url};
    for (int i = 0; i < MERGE_INPUTS && !env->fault_occurred; i++) {
        double ago = h[i].last_packet_us ? (now - h[i].last_packet_us) / 1e6 : -1.0;
        xmlrpc_value *v = xmlrpc_build_value(
            env, "{s:s,s:s,s:b,s:s,s:s,s:I,s:I,s:d,s:I,s:I,s:I,s:I}", "name", merge_input_name(i),
            "address", ctl_check_utf8(addrs[i]) == 0 ? addrs[i] : "", "active", (xmlrpc_bool)(i == active),
            "state", merge_state_name(h[i].state), "why", merge_why_name(h[i].why),
            "bitrate", (xmlrpc_int64)h[i].bitrate, "packets", (xmlrpc_int64)h[i].packets,
            "last_packet_ago", ago, "continuity_errors", (xmlrpc_int64)h[i].cc_errors,
            "pat_errors", (xmlrpc_int64)h[i].pat_errors, "pmt_errors", (xmlrpc_int64)h[i].pmt_errors,
            "pid_errors", (xmlrpc_int64)h[i].pid_errors);
        if (!env->fault_occurred)
            xmlrpc_array_append_item(env, list, v);
        if (v)
            xmlrpc_DECREF(v);
    }
    xmlrpc_value *more = env->fault_occurred ? nullptr : xmlrpc_build_value(
        env, "{s:s,s:V,s:I,s:I,s:I,s:I}", "active_input", merge_input_name(active), "inputs", list,
        "input_switches", (xmlrpc_int64)c.switches, "input_cuts", (xmlrpc_int64)c.cuts,
        "input_repaired", (xmlrpc_int64)c.repaired, "input_duplicates", (xmlrpc_int64)c.duplicates);
    if (list)
        xmlrpc_DECREF(list);
    static const char *const keys[] = {"active_input", "inputs", "input_switches", "input_cuts", "input_repaired",
                                       "input_duplicates"};
    for (const char *k : keys) {
        xmlrpc_value *v = nullptr;
        if (!env->fault_occurred && more)
            xmlrpc_struct_find_value(env, more, k, &v);
        if (v && !env->fault_occurred)
            xmlrpc_struct_set_value(env, result, k, v);
        if (v)
            xmlrpc_DECREF(v);
    }
    if (more)
        xmlrpc_DECREF(more);
}

/* kestrow.status: no parameters; the channel's status struct. */
xmlrpc_value *method_status(xmlrpc_env *env, xmlrpc_value *params, void *server_info,
                            void *call_info)
{
    (void)call_info;
    try {
        app_ctx *app = (app_ctx *)server_info;
        channel_status *s = &app->status;
        if (xmlrpc_array_size(env, params) != 0 || env->fault_occurred) {
            xmlrpc_env_clean(env);
            xmlrpc_env_init(env);
            xmlrpc_env_set_fault(env, 1, "kestrow.status: takes no parameters");
            return nullptr;
        }
        int64_t now = status_now_us();
        xmlrpc_value *event = event_struct(env, s);
        if (env->fault_occurred)
            return nullptr;
        xmlrpc_value *errors = xmlrpc_struct_new(env);
        for (int c = 0; c < STATUS_CHECK_COUNT; c++)
            set_number(env, errors, status_check_name(c), s->output_errors[c].load());
        if (env->fault_occurred) {
            xmlrpc_DECREF(event);
            return nullptr;
        }
        std::vector<traffic_spot_plan> plan;
        status_plan(s, &plan);
        plan_counts counts = count_plan(plan);
        xmlrpc_value *breaks = plan_array(env, plan);
        if (env->fault_occurred) {
            xmlrpc_DECREF(event);
            xmlrpc_DECREF(errors);
            return nullptr;
        }
        char schedule[STATUS_SCHEDULE_SIZE];
        status_schedule(s, schedule, sizeof(schedule));
        if (ctl_check_utf8(schedule) != 0)
            schedule[0] = '\0';
        xmlrpc_value *result = xmlrpc_build_value(
            env, "{s:s,s:d,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:V,s:s,s:s,s:b,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:V,"
                 "s:V}",
            "state", status_state_name(status_state(s)),
            "session_uptime", status_session_uptime(s, now),
            "input_bitrate", (xmlrpc_int64)status_bitrate(&s->in, now),
            "output_bitrate", (xmlrpc_int64)status_bitrate(&s->out, now),
            "packets_in", (xmlrpc_int64)s->in.packets.load(),
            "packets_out", (xmlrpc_int64)s->out.packets.load(),
            "overruns", (xmlrpc_int64)s->overruns.load(),
            "cues", (xmlrpc_int64)s->cues.load(),
            "breaks_aired", (xmlrpc_int64)s->breaks_aired.load(),
            "breaks_skipped", (xmlrpc_int64)s->breaks_skipped.load(),
            "last_event", event,
            "schedule", schedule,
            "schedule_state", traffic_schedule_state_name(s->schedule_state.load()),
            "verification_failing", (xmlrpc_bool)(s->verification_failing.load() != 0),
            "schedule_spots", (xmlrpc_int64)s->schedule_spots.load(),
            "spots_aired", (xmlrpc_int64)s->spots_aired.load(),
            "spots_missed", (xmlrpc_int64)s->spots_missed.load(),
            "spots_conformed", (xmlrpc_int64)s->spots_conformed.load(),
            "spots_conform_pending", (xmlrpc_int64)s->spots_conform_pending.load(),
            "spots_conform_failed", (xmlrpc_int64)s->spots_conform_failed.load(),
            "spots_ready", (xmlrpc_int64)counts.n[TRAFFIC_SPOT_READY],
            "spots_pending", (xmlrpc_int64)counts.n[TRAFFIC_SPOT_PENDING],
            "spots_will_not_air", (xmlrpc_int64)counts.n[TRAFFIC_SPOT_WILL_NOT_AIR],
            "breaks", breaks,
            "output_errors", errors);
        if (!env->fault_occurred && s->filler_measured.load()) {
            xmlrpc_value *v = xmlrpc_double_new(env, s->filler_lufs.load());
            if (!env->fault_occurred)
                xmlrpc_struct_set_value(env, result, "filler_loudness", v);
            if (v)
                xmlrpc_DECREF(v);
        }
        xmlrpc_DECREF(event);
        xmlrpc_DECREF(errors);
        xmlrpc_DECREF(breaks);
        if (result && !env->fault_occurred)
            add_links(env, result, s);
        if (result && !env->fault_occurred)
            add_inputs(env, result, app, now);
        if (env->fault_occurred && result) {
            xmlrpc_DECREF(result);
            return nullptr;
        }
        return env->fault_occurred ? nullptr : result;
    } catch (...) {
        xmlrpc_env_set_fault(env, 1, "kestrow.status: internal error");
        return nullptr;
    }
}

/* A reply of status with a short text body. */
void reply_text(http_reply *out, int status, const char *text)
{
    out->status = status;
    out->content_type = "text/plain; charset=utf-8";
    out->body = text;
}

/* GET or HEAD /metrics. */
void serve_metrics(app_ctx *app, const http_request *req, http_reply *out)
{
    if (req->method != HTTP_GET && req->method != HTTP_HEAD) {
        reply_text(out, 405, "GET or HEAD\n");
        out->headers = "Allow: GET, HEAD\r\n";
        return;
    }
    std::vector<char> text(ctl_metrics_size(&app->status));
    int len = ctl_metrics_text(&app->status, status_now_us(), text.data(), text.size());
    if (len < 0) {
        reply_text(out, 500, "metrics do not fit\n");
        return;
    }
    out->status = 200;
    out->content_type = "text/plain; version=0.0.4; charset=utf-8";
    out->body.assign(text.data(), (size_t)len);
}

/*
 * POST /RPC2: the call through the registry, as xmlrpc-c's own HTTP server
 * takes it: text/xml only; faults (unknown methods, bad XML, bad
 * parameters) come back as XML-RPC fault responses.
 */
void serve_rpc(ctl_ctx *ctl, const http_request *req, http_reply *out)
{
    if (req->method != HTTP_POST) {
        reply_text(out, 405, "XML-RPC calls are POST\n");
        out->headers = "Allow: POST\r\n";
        return;
    }
    if (strncasecmp(req->content_type, "text/xml", 8) != 0) {
        reply_text(out, 400, "XML-RPC calls are text/xml\n");
        return;
    }
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_mem_block *response = nullptr;
    xmlrpc_registry_process_call2(&env, ctl->registry, req->body, req->body_size, nullptr, &response);
    if (env.fault_occurred || !response) {
        reply_text(out, 500, "the call could not be answered\n");
    } else {
        out->status = 200;
        out->content_type = "text/xml; charset=\"utf-8\"";
        out->body.assign((const char *)XMLRPC_MEMBLOCK_CONTENTS(char, response),
                         XMLRPC_MEMBLOCK_SIZE(char, response));
    }
    if (response)
        XMLRPC_MEMBLOCK_FREE(char, response);
    xmlrpc_env_clean(&env);
}

/* Every request of the port: XML-RPC, metrics, or the console's. */
void handle_request(void *opaque, const http_request *req, http_reply *out)
{
    ctl_ctx *ctl = (ctl_ctx *)opaque;
    if (strcmp(req->path, "/RPC2") == 0) {
        serve_rpc(ctl, req, out);
    } else if (strcmp(req->path, "/metrics") == 0) {
        serve_metrics(ctl->app, req, out);
    } else {
        http_stats stats;
        http_front_get_stats(ctl->front, &stats);
        console_serve(ctl->app, &stats, req, out);
    }
}

/* The method registry: kestrow.status, and the default method's fault for every other name. */
int init_registry(ctl_ctx *ctl, app_ctx *app, xmlrpc_env *env)
{
    ctl->registry = xmlrpc_registry_new(env);
    if (env->fault_occurred || !ctl->registry)
        return init_failed(env, "xmlrpc_registry_new", nullptr);
    xmlrpc_registry_set_default_method(env, ctl->registry, ctl_method_default, app);
    if (env->fault_occurred)
        return init_failed(env, "xmlrpc_registry_set_default_method", nullptr);
    xmlrpc_method_info3 status_info = {"kestrow.status", method_status, app, 0, "S:",
                                       "The channel's state and counters."};
    xmlrpc_registry_add_method3(env, ctl->registry, &status_info);
    if (env->fault_occurred)
        return init_failed(env, "xmlrpc_registry_add_method3", nullptr);
    return 0;
}

/* The text of the control port's address for the log: "PORT", or "HOST:PORT" with a host. */
void port_text(const app_ctx *app, char *buf, size_t size)
{
    if (!app->ctl_host[0])
        snprintf(buf, size, "%u", app->port);
    else if (strchr(app->ctl_host, ':'))
        snprintf(buf, size, "[%s]:%u", app->ctl_host, app->port);
    else
        snprintf(buf, size, "%s:%u", app->ctl_host, app->port);
}

/* Appends the metrics of the SRT links and the RTP input in use to out. */
void links_metrics(channel_status *s, std::string *out)
{
    srt_link_stats srt[2];
    int used[2] = {status_srt(s, STATUS_SRT_INPUT, &srt[0]), status_srt(s, STATUS_SRT_OUTPUT, &srt[1])};
    const char *side_names[2] = {"input", "output"};
    struct family {
        const char *name, *type, *help;
        double (*value)(const srt_link_stats &);
    };
    static const family families[] = {
        {"kestrow_srt_connected", "gauge", "1 while the SRT peer is connected.",
         [](const srt_link_stats &st) { return (double)st.connected; }},
        {"kestrow_srt_connections_total", "counter", "SRT connections made.",
         [](const srt_link_stats &st) { return (double)st.connections; }},
        {"kestrow_srt_refused_total", "counter",
         "SRT callers refused (a listener) or connection attempts that failed (a caller).",
         [](const srt_link_stats &st) { return (double)st.refused; }},
        {"kestrow_srt_rtt_seconds", "gauge", "Round-trip time of the SRT connection.",
         [](const srt_link_stats &st) { return st.rtt_us / 1e6; }},
        {"kestrow_srt_packets_total", "counter", "SRT data packets received (input) or sent (output).",
         [](const srt_link_stats &st) { return (double)st.packets; }},
        {"kestrow_srt_packets_lost_total", "counter",
         "SRT packets found missing by the receiver (input) or reported lost by the peer (output).",
         [](const srt_link_stats &st) { return (double)st.lost; }},
        {"kestrow_srt_packets_retransmitted_total", "counter",
         "SRT retransmissions received (input) or sent (output).",
         [](const srt_link_stats &st) { return (double)st.retransmitted; }},
        {"kestrow_srt_packets_dropped_total", "counter",
         "SRT packets dropped too late to play (input) or to send (output): lost for good.",
         [](const srt_link_stats &st) { return (double)st.dropped; }},
        {"kestrow_srt_buffer_seconds", "gauge",
         "Data in the SRT receive buffer (input) or unacknowledged in the send buffer (output).",
         [](const srt_link_stats &st) { return st.buffer_ms / 1e3; }},
        {"kestrow_srt_latency_seconds", "gauge", "SRT latency agreed with the peer.",
         [](const srt_link_stats &st) { return st.latency_ms / 1e3; }},
        {"kestrow_srt_unsent_total", "counter",
         "Datagrams not handed to SRT: no peer or a full send buffer (output); read between sessions (input).",
         [](const srt_link_stats &st) { return (double)st.unsent; }},
    };
    char line[512];
    for (const family &f : families) {
        if (!used[0] && !used[1])
            break;
        snprintf(line, sizeof(line), "# HELP %s %s\n# TYPE %s %s\n", f.name, f.help, f.name, f.type);
        *out += line;
        for (int side = 0; side < 2; side++) {
            if (!used[side])
                continue;
            snprintf(line, sizeof(line), "%s{side=\"%s\"} %.15g\n", f.name, side_names[side], f.value(srt[side]));
            *out += line;
        }
    }
    rtp_stats rtp;
    if (!status_rtp(s, &rtp))
        return;
    const struct {
        const char *name, *help;
        int64_t value;
    } counters[] = {
        {"kestrow_rtp_datagrams_total", "RTP datagrams received on the input.", rtp.datagrams},
        {"kestrow_rtp_lost_total", "RTP sequence numbers given up: never came, or too late.", rtp.lost},
        {"kestrow_rtp_reordered_total", "RTP datagrams that came out of order and were put back in it.",
         rtp.reordered},
        {"kestrow_rtp_duplicates_total", "RTP datagrams received twice (dropped).", rtp.duplicates},
        {"kestrow_rtp_not_rtp_total", "Datagrams on the RTP input without an MP2T RTP header.", rtp.not_rtp},
    };
    for (const auto &c : counters) {
        snprintf(line, sizeof(line), "# HELP %s %s\n# TYPE %s counter\n%s %" PRId64 "\n", c.name, c.help, c.name,
                 c.name, c.value);
        *out += line;
    }
}

/* 1 while the backup is on air. */
int backup_active(channel_status *s)
{
    int active;
    merge_health h[MERGE_INPUTS];
    merge_counts c;
    return status_inputs(s, &active, h, &c) && active == MERGE_BACKUP;
}

/* Appends the metrics of the two sources (a channel with a backup) to out. */
void inputs_metrics(channel_status *s, std::string *out)
{
    int active;
    merge_health h[MERGE_INPUTS];
    merge_counts c;
    if (!status_inputs(s, &active, h, &c))
        return;
    char line[256];
    *out += "# HELP kestrow_input_active 1 for the source on air, else 0, by input.\n"
            "# TYPE kestrow_input_active gauge\n";
    for (int i = 0; i < MERGE_INPUTS; i++) {
        snprintf(line, sizeof(line), "kestrow_input_active{input=\"%s\"} %d\n", merge_input_name(i), i == active);
        *out += line;
    }
    *out += "# HELP kestrow_source_up 1 while the source is healthy (received, no priority 1 errors), by input.\n"
            "# TYPE kestrow_source_up gauge\n";
    for (int i = 0; i < MERGE_INPUTS; i++) {
        snprintf(line, sizeof(line), "kestrow_source_up{input=\"%s\"} %d\n", merge_input_name(i),
                 h[i].state == MERGE_UP);
        *out += line;
    }
    *out += "# HELP kestrow_source_bitrate Bit/s received over the last second, by input.\n"
            "# TYPE kestrow_source_bitrate gauge\n";
    for (int i = 0; i < MERGE_INPUTS; i++) {
        snprintf(line, sizeof(line), "kestrow_source_bitrate{input=\"%s\"} %" PRId64 "\n", merge_input_name(i),
                 h[i].bitrate);
        *out += line;
    }
    *out += "# HELP kestrow_source_errors_total Priority 1 errors of each source: continuity errors, and spells "
            "without PAT, PMT or one of the programme's PIDs, by input and error.\n"
            "# TYPE kestrow_source_errors_total counter\n";
    for (int i = 0; i < MERGE_INPUTS; i++) {
        const int64_t n[4] = {h[i].cc_errors, h[i].pat_errors, h[i].pmt_errors, h[i].pid_errors};
        static const char *const kinds[4] = {"continuity", "pat", "pmt", "pid"};
        for (int k = 0; k < 4; k++) {
            snprintf(line, sizeof(line), "kestrow_source_errors_total{input=\"%s\",error=\"%s\"} %" PRId64 "\n",
                     merge_input_name(i), kinds[k], n[k]);
            *out += line;
        }
    }
    snprintf(line, sizeof(line), "# HELP kestrow_input_switches_total Switches between the sources.\n"
             "# TYPE kestrow_input_switches_total counter\nkestrow_input_switches_total %" PRId64 "\n", c.switches);
    *out += line;
    snprintf(line, sizeof(line), "# HELP kestrow_input_repaired_total Packets one source lost taken from the "
             "other.\n# TYPE kestrow_input_repaired_total counter\nkestrow_input_repaired_total %" PRId64 "\n",
             c.repaired);
    *out += line;
}

} // namespace

xmlrpc_value *ctl_method_default(xmlrpc_env *env, const char *host, const char *method_name,
                                 xmlrpc_value *params, void *server_info)
{
    (void)host;
    (void)params;
    (void)server_info;
    xmlrpc_env_set_fault_formatted(env, 1, "%s: method %s not bypassed", "ctl_method_default",
                                   method_name ? method_name : "");
    return nullptr;
}

namespace {

/* A label value with backslash, quote and line end escaped as the text format wants. */
std::string label(const char *text)
{
    std::string out;
    for (const char *c = text; *c; c++) {
        if (*c == '\\' || *c == '"')
            out += '\\';
        if (*c == '\n')
            out += "\\n";
        else
            out += *c;
    }
    return out;
}

/*
 * The metrics of the spots before air: per break not over, its spots by
 * what they are set to do; each spot that will not air, with its status;
 * the filler's loudness once measured.
 */
std::string plan_metrics(channel_status *s, const std::vector<traffic_spot_plan> &plan)
{
    std::string out;
    char line[512];
    if (s->filler_measured.load()) {
        snprintf(line, sizeof(line), "# HELP kestrow_filler_loudness_lufs Integrated loudness of the filler that airs.\n"
                 "# TYPE kestrow_filler_loudness_lufs gauge\nkestrow_filler_loudness_lufs %.1f\n", s->filler_lufs.load());
        out += line;
    }
    out += "# HELP kestrow_break_spots Spots of a break not aired yet, by what they are set to do.\n"
           "# TYPE kestrow_break_spots gauge\n";
    std::vector<bool> done(plan.size());
    for (size_t i = 0; i < plan.size(); i++) {
        const traffic_spot_plan &b = plan[i];
        if (done[i] || b.outlook == TRAFFIC_SPOT_DONE)
            continue;
        int64_t n[TRAFFIC_SPOT_DONE] = {};
        for (size_t k = i; k < plan.size(); k++) {
            const traffic_spot_plan &p = plan[k];
            if (p.window_ms == b.window_ms && p.window_minutes == b.window_minutes && p.break_number == b.break_number &&
                p.outlook != TRAFFIC_SPOT_DONE) {
                done[k] = true;
                n[p.outlook]++;
            }
        }
        for (int o = 0; o < TRAFFIC_SPOT_DONE; o++) {
            snprintf(line, sizeof(line), "kestrow_break_spots{window=\"%s\",break=\"%d\",outlook=\"%s\"} %" PRId64 "\n",
                     window_text(b.window_ms).c_str(), b.break_number, traffic_spot_outlook_name(o, 0), n[o]);
            out += line;
        }
    }
    out += "# HELP kestrow_spot_will_not_air A scheduled spot that will not air as things stand, with its status.\n"
           "# TYPE kestrow_spot_will_not_air gauge\n";
    for (const traffic_spot_plan &p : plan) {
        if (p.outlook != TRAFFIC_SPOT_WILL_NOT_AIR)
            continue;
        snprintf(line, sizeof(line),
                 "kestrow_spot_will_not_air{window=\"%s\",break=\"%d\",position=\"%d\",spot=\"%s\",status=\"%04d\"} 1\n",
                 window_text(p.window_ms).c_str(), p.break_number, p.position, label(p.id).c_str(), p.status % 10000);
        out += line;
    }
    return out;
}

} // namespace

size_t ctl_metrics_size(channel_status *s)
{
    size_t rows = 0;
    if (s) {
        std::lock_guard<std::mutex> guard(s->event_lock);
        rows = s->plan.size();
    }
    return CTL_METRICS_SIZE + rows * CTL_METRICS_SPOT_SIZE;
}

/* One unlabelled metric. */
struct metric {
    const char *name, *type, *help;
    double value;  // integers are exact up to 2^53
};

/* The n metrics as text into buf from *len on; -ENOSPC (buf emptied) when they do not fit. */
static int put_metrics(const metric *metrics, size_t n, char *buf, size_t size, size_t *len)
{
    for (size_t i = 0; i < n; i++) {
        const metric &m = metrics[i];
        int w = snprintf(buf + *len, size - *len, "# HELP %s %s\n# TYPE %s %s\n%s %.15g\n",
                         m.name, m.help, m.name, m.type, m.name, m.value);
        if (w < 0 || (size_t)w >= size - *len) {
            if (size > 0)
                buf[0] = '\0';
            return -ENOSPC;
        }
        *len += (size_t)w;
    }
    return 0;
}

/* The output's and the sender's labelled families, each as one block of text, into out (at most about room bytes of PIDs). */
static void sender_metrics(channel_status *s, int64_t now_us, size_t room, std::string *out)
{
    std::string &more = *out;
    more = "# HELP kestrow_output_errors_total Failures of the output's own checks of what it sends "
                       "(TR 101 290 priority 1 and 2, by the stream's clock), and of the sender (late: spells of "
                       "datagrams sent over 40 ms after their time; send: datagrams the kernel refused), by check.\n"
                       "# TYPE kestrow_output_errors_total counter\n";
    char line[256];
    for (int c = 0; c < STATUS_CHECK_COUNT; c++) {
        snprintf(line, sizeof(line), "kestrow_output_errors_total{check=\"%s\"} %" PRId64 "\n", status_check_name(c),
                 s->output_errors[c].load());
        more += line;
    }
    more += "# HELP kestrow_input_continuity_errors_total Continuity breaks the input brought on PIDs passing "
            "through, passed as they came (packets lost before the input), by PID.\n"
            "# TYPE kestrow_input_continuity_errors_total counter\n";
    for (int pid = 0; pid < TS_PID_COUNT; pid++) {
        int64_t n = s->input_cc[pid].load(std::memory_order_relaxed);
        if (!n)
            continue;
        snprintf(line, sizeof(line), "kestrow_input_continuity_errors_total{pid=\"0x%x\"} %" PRId64 "\n", pid, n);
        more += line;
        if (more.size() > room)
            break;
    }
    more += "# HELP kestrow_output_send_errors_total Datagrams the kernel refused to send, by cause.\n"
            "# TYPE kestrow_output_send_errors_total counter\n";
    for (int c = 0; c < UDP_OUT_ERR_COUNT; c++) {
        snprintf(line, sizeof(line), "kestrow_output_send_errors_total{cause=\"%s\"} %" PRId64 "\n",
                 udp_out_error_name(c), s->sent.errors[c].load());
        more += line;
    }
    more += "# HELP kestrow_output_lateness_seconds How late the datagrams left against their due times.\n"
            "# TYPE kestrow_output_lateness_seconds histogram\n";
    int64_t total = 0;
    for (int i = 0; i <= UDP_OUT_LATE_BUCKETS; i++) {
        total += s->sent.late[i].load();
        if (i < UDP_OUT_LATE_BUCKETS)
            snprintf(line, sizeof(line), "kestrow_output_lateness_seconds_bucket{le=\"%g\"} %" PRId64 "\n",
                     udp_out_late_bounds_us[i] / 1e6, total);
        else
            snprintf(line, sizeof(line), "kestrow_output_lateness_seconds_bucket{le=\"+Inf\"} %" PRId64 "\n", total);
        more += line;
    }
    snprintf(line, sizeof(line), "kestrow_output_lateness_seconds_sum %.6f\nkestrow_output_lateness_seconds_count %"
             PRId64 "\n", s->sent.late_sum_us.load() / 1e6, total);
    more += line;
    snprintf(line, sizeof(line), "# HELP kestrow_output_late_max_seconds The latest a datagram left in the last "
             "minute.\n# TYPE kestrow_output_late_max_seconds gauge\nkestrow_output_late_max_seconds %.6f\n",
             status_late_max_us(s, now_us) / 1e6);
    more += line;
    snprintf(line, sizeof(line), "# HELP kestrow_log_lines_dropped_total Log lines dropped: the log's queue was "
             "full.\n# TYPE kestrow_log_lines_dropped_total counter\nkestrow_log_lines_dropped_total %llu\n",
             (unsigned long long)log_lines_dropped());
    more += line;
}

int ctl_metrics_text(channel_status *s, int64_t now_us, char *buf, size_t size)
{
    if (!s || !buf)
        return -EINVAL;
    std::vector<traffic_spot_plan> plan;
    std::string after;
    try {
        status_plan(s, &plan);
        after = plan_metrics(s, plan);
    } catch (...) {
        plan.clear();  // out of memory: the figures without the spots' lines
    }
    plan_counts counts = count_plan(plan);
    const metric metrics[] = {
        {"kestrow_packets_in_total", "counter", "Transport stream packets received.",
         (double)s->in.packets.load()},
        {"kestrow_packets_out_total", "counter", "Transport stream packets sent.",
         (double)s->out.packets.load()},
        {"kestrow_cues_total", "counter", "SCTE-35 cues read from the input.", (double)s->cues.load()},
        {"kestrow_breaks_aired_total", "counter", "Breaks aired to their end.",
         (double)s->breaks_aired.load()},
        {"kestrow_breaks_skipped_total", "counter", "Breaks that could not be aired.",
         (double)s->breaks_skipped.load()},
        {"kestrow_reencoded_pictures_total", "counter", "Programme pictures re-encoded for frame-accurate starts and returns.",
         (double)s->reencoded.load()},
        {"kestrow_frame_accurate_fallbacks_total", "counter",
         "Starts and returns that stayed on the programme's key frame: the point could not be conditioned; and "
         "starts whose re-encoded pictures were left out.",
         (double)s->accurate_fallbacks.load()},
        {"kestrow_input_overruns_total", "counter", "Input overruns: data lost before it was read.",
         (double)s->overruns.load()},
        {"kestrow_input_up", "gauge", "1 while MPEG-TS arrives on the input, else 0.", (double)status_input_up(s)},
        {"kestrow_input_backup_active", "gauge", "1 while the backup input is on air, else 0 (one input: always 0).",
         (double)backup_active(s)},
        {"kestrow_input_losses_total", "counter", "Times the input went from up to lost or not MPEG-TS.",
         (double)status_input_losses(s)},
        {"kestrow_input_lost_seconds_total", "counter", "Seconds the input was lost or not MPEG-TS after it was up.",
         status_input_lost_seconds(s, now_us)},
        {"kestrow_input_bitrate", "gauge", "Input bit/s over the last second.",
         (double)status_bitrate(&s->in, now_us)},
        {"kestrow_output_bitrate", "gauge", "Output bit/s over the last second.",
         (double)status_bitrate(&s->out, now_us)},
        {"kestrow_state", "gauge",
         "Channel state: 0 starting, 1 no_input, 2 idle, 3 armed, 4 in_break, 5 input_lost, 6 input_invalid.",
         (double)status_state(s)},
        {"kestrow_schedule_state", "gauge",
         "Schedule: 0 none, 1 today's in force, 2 no file for today, 3 the one in force is of another day, "
         "4 today's cannot be used.", (double)s->schedule_state.load()},
        {"kestrow_verification_failing", "gauge", "1 while the verification file cannot be written (retried).",
         (double)s->verification_failing.load()},
        {"kestrow_schedule_spots", "gauge", "Spots the schedule in force names.", (double)s->schedule_spots.load()},
        {"kestrow_spots_aired_total", "counter", "Scheduled spots aired in full.", (double)s->spots_aired.load()},
        {"kestrow_spots_missed_total", "counter", "Scheduled spots that did not air in full.",
         (double)s->spots_missed.load()},
        {"kestrow_spots_conformed", "gauge", "Spot files of the schedule in the channel's format and loudness.",
         (double)s->spots_conformed.load()},
        {"kestrow_spots_conform_pending", "gauge", "Spot files of the schedule waiting to be conformed.",
         (double)s->spots_conform_pending.load()},
        {"kestrow_spots_conform_failed", "gauge", "Spot files of the schedule that cannot be conformed.",
         (double)s->spots_conform_failed.load()},
        {"kestrow_spots_ready", "gauge", "Scheduled spots not aired yet whose files are read and fit to air.",
         (double)counts.n[TRAFFIC_SPOT_READY]},
        {"kestrow_spots_pending", "gauge",
         "Scheduled spots not aired yet whose files are not read or conformed yet.",
         (double)counts.n[TRAFFIC_SPOT_PENDING]},
        {"kestrow_spots_will_not_air", "gauge",
         "Scheduled spots not aired yet that will not air: no file, unusable, shorter than sold.",
         (double)counts.n[TRAFFIC_SPOT_WILL_NOT_AIR]},
        {"kestrow_passthrough_dropped_total", "counter",
         "Packets of other programmes and tables passing through, dropped: the output had no room.",
         (double)s->pass_dropped.load()},
        {"kestrow_input_fast_dropped_total", "counter",
         "Packets of an input faster than real time left out (added at each warning, one a minute at most).",
         (double)s->fast_dropped.load()},
    };
    size_t len = 0;
    if (put_metrics(metrics, std::size(metrics), buf, size, &len) < 0)
        return -ENOSPC;
    /* The labelled families, each as one block of text. */
    std::string more;
    sender_metrics(s, now_us, size, &more);
    more += after;
    links_metrics(s, &more);
    inputs_metrics(s, &more);
    if (more.size() >= size - len) {
        if (size > 0)
            buf[0] = '\0';
        return -ENOSPC;
    }
    memcpy(buf + len, more.c_str(), more.size() + 1);
    return (int)(len + more.size());
}

int ctl_init(app_ctx *app)
{
    if (!app)
        return -EINVAL;

    ctl_ctx *ctl = (ctl_ctx *)calloc(1, sizeof(*ctl));
    if (!ctl)
        return -ENOMEM;
    ctl->app = app;
    {
        std::lock_guard<std::mutex> guard(ctl_lock);
        app->ctl = ctl;
    }

    xmlInitParser();
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    int ret = init_registry(ctl, app, &env);
    xmlrpc_env_clean(&env);
    char where[APP_TEXT_SIZE + 16];
    port_text(app, where, sizeof(where));
    int fd = -1;
    if (ret == 0) {
        fd = bind_port(app->ctl_host, app->port);
        if (fd < 0) {
            ret = fd;
            log_printf(LOG_ERROR, "ctl_init: cannot bind control port %s: %s", where, strerror(-fd));
        }
    }
    if (ret == 0) {
        http_limits limits = http_limits_default();
        ret = http_front_create(&ctl->front, fd, &limits, handle_request, ctl);
        if (ret < 0)
            log_printf(LOG_ERROR, "ctl_init: cannot listen on control port %s: %s", where, strerror(-ret));
    }
    if (ret == 0) {
        std::lock_guard<std::mutex> guard(ctl_lock);
        ctl->listening = 1;
    }
    return ret;
}

int ctl_run(ctl_ctx **pctl)
{
    if (!pctl || !*pctl || !(*pctl)->listening)
        return -EINVAL;
    int ret = http_front_run((*pctl)->front);
    if (ret < 0)
        log_printf(LOG_ERROR, "%s: the control port stopped serving: %s", "ctl_run", strerror(-ret));
    log_printf(LOG_INFO, "%s: control server finished", "ctl_run");
    return 0;
}

int ctl_destroy(ctl_ctx **pctl)
{
    if (!pctl)
        return -EINVAL;
    ctl_ctx *ctl;
    {
        std::lock_guard<std::mutex> guard(ctl_lock);
        ctl = *pctl;
        *pctl = nullptr;
    }
    if (!ctl)
        return -EINVAL;

    http_front_destroy(&ctl->front);
    if (ctl->registry)
        xmlrpc_registry_free(ctl->registry);
    free(ctl);
    xmlCleanupParser();
    return 0;
}

int ctl_terminate(ctl_ctx **pctl)
{
    if (!pctl)
        return -EINVAL;
    std::lock_guard<std::mutex> guard(ctl_lock);
    if (!*pctl || !(*pctl)->listening)
        return -EINVAL;
    http_front_stop((*pctl)->front);
    return 0;
}

int ctl_check_utf8(const char *text)
{
    if (!text)
        return -EINVAL;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_validate_utf8(&env, text, strlen(text));
    int ret = env.fault_occurred ? -EINVAL : 0;
    xmlrpc_env_clean(&env);
    return ret;
}
