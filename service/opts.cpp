/*
 * Command line and options files. getopt_long does the scanning with GNU
 * permutation: all options of one list are taken first, and every argument
 * left over names an options file, read afterwards in the order given.
 */
#include "service/opts.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "service/app_ctx.h"
#include "common/utils.h"
#include "net/srt_addr.h"
#include "traffic/schedule.h"

namespace {

enum opt_id {
    OPT_HELP = 'h',
    OPT_PORT = 256,
    OPT_SRC_ADDR,
    OPT_DST_ADDR,
    OPT_SRC_IF,
    OPT_DST_IF,
    OPT_MUX_RATE,
    OPT_MAX_DELAY,
    OPT_FILLER,
    OPT_TRANSPORT_STREAM_ID,
    OPT_ORIGINAL_NETWORK_ID,
    OPT_SERVICE_ID,
    OPT_PMT_START_PID,
    OPT_SERVICE_NAME,
    OPT_SERVICE_PROVIDER,
    OPT_LOG_FILE_NAME,
    OPT_LOG_ROTATE_INTERVAL,
    OPT_DEMONIZE,
    OPT_NODEMONIZE,
    OPT_REALTIME_IO,
    OPT_CPU_AFFINITY,
    OPT_DEBUG,
    OPT_REALTIME_CPU,
    OPT_VERSION,
    OPT_SRC_SOURCE,
    OPT_SRC_BUFFER,
    OPT_DST_TTL,
    OPT_DST_RTP,
    OPT_ASRUN_FILE,
    OPT_TIME_SIGNAL_BREAKS,
    OPT_SCHEDULE,
    OPT_SPOTS,
    OPT_CHANNEL_ID,
    OPT_HEADEND_ID,
    OPT_VERIFICATION,
    OPT_SPOT_CACHE,
    OPT_OPEN_BREAKS,
    OPT_FRAME_ACCURATE,
    OPT_MAX_BREAK,
    OPT_MAX_PENDING,
    OPT_MAX_CUE_LEAD,
    OPT_LATE_JOIN,
    OPT_PROGRAM,
    OPT_SPTS,
    OPT_LOUDNESS,
    OPT_INPUT_LOSS_MS,
    OPT_INPUT_LOSS_SLATE,
    OPT_NORMALIZE_FILLER,
    OPT_FORMAT_FROM,
    OPT_BACKUP_SRC_ADDR,
    OPT_BACKUP_SRC_IF,
    OPT_BACKUP_SRC_SOURCE,
    OPT_FAILBACK_HOLD,
    OPT_FAILBACK,
};

const struct option long_options[] = {
    {"port", required_argument, nullptr, OPT_PORT},
    {"src-addr", required_argument, nullptr, OPT_SRC_ADDR},
    {"dst-addr", required_argument, nullptr, OPT_DST_ADDR},
    {"src-if", required_argument, nullptr, OPT_SRC_IF},
    {"src-interface", required_argument, nullptr, OPT_SRC_IF},
    {"src-source", required_argument, nullptr, OPT_SRC_SOURCE},
    {"src-buffer", required_argument, nullptr, OPT_SRC_BUFFER},
    {"dst-if", required_argument, nullptr, OPT_DST_IF},
    {"dst-interface", required_argument, nullptr, OPT_DST_IF},
    {"dst-ttl", required_argument, nullptr, OPT_DST_TTL},
    {"dst-rtp", no_argument, nullptr, OPT_DST_RTP},
    {"mux-rate", required_argument, nullptr, OPT_MUX_RATE},
    {"max-delay", required_argument, nullptr, OPT_MAX_DELAY},
    {"filler", required_argument, nullptr, OPT_FILLER},
    {"asrun-file", required_argument, nullptr, OPT_ASRUN_FILE},
    {"time-signal-breaks", no_argument, nullptr, OPT_TIME_SIGNAL_BREAKS},
    {"input-loss-slate", required_argument, nullptr, OPT_INPUT_LOSS_SLATE},
    {"mpegts_transport_stream_id", required_argument, nullptr, OPT_TRANSPORT_STREAM_ID},
    {"mpegts_original_network_id", required_argument, nullptr, OPT_ORIGINAL_NETWORK_ID},
    {"mpegts_service_id", required_argument, nullptr, OPT_SERVICE_ID},
    {"mpegts_pmt_start_pid", required_argument, nullptr, OPT_PMT_START_PID},
    {"service_name", required_argument, nullptr, OPT_SERVICE_NAME},
    {"service_provider", required_argument, nullptr, OPT_SERVICE_PROVIDER},
    {"log-file-name", required_argument, nullptr, OPT_LOG_FILE_NAME},
    {"log-rotate-interval", required_argument, nullptr, OPT_LOG_ROTATE_INTERVAL},
    {"demonize", no_argument, nullptr, OPT_DEMONIZE},
    {"nodemonize", no_argument, nullptr, OPT_NODEMONIZE},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"realtime-io", no_argument, nullptr, OPT_REALTIME_IO},
    {"cpu-affinity", required_argument, nullptr, OPT_CPU_AFFINITY},
    {"debug", no_argument, nullptr, OPT_DEBUG},
    {"realtime-cpu", required_argument, nullptr, OPT_REALTIME_CPU},
    {"schedule", required_argument, nullptr, OPT_SCHEDULE},
    {"spots", required_argument, nullptr, OPT_SPOTS},
    {"channel-id", required_argument, nullptr, OPT_CHANNEL_ID},
    {"headend-id", required_argument, nullptr, OPT_HEADEND_ID},
    {"verification", required_argument, nullptr, OPT_VERIFICATION},
    {"spot-cache", required_argument, nullptr, OPT_SPOT_CACHE},
    {"open-breaks", no_argument, nullptr, OPT_OPEN_BREAKS},
    {"frame-accurate", required_argument, nullptr, OPT_FRAME_ACCURATE},
    {"max-break", required_argument, nullptr, OPT_MAX_BREAK},
    {"max-pending", required_argument, nullptr, OPT_MAX_PENDING},
    {"max-cue-lead", required_argument, nullptr, OPT_MAX_CUE_LEAD},
    {"late-join", required_argument, nullptr, OPT_LATE_JOIN},
    {"program", required_argument, nullptr, OPT_PROGRAM},
    {"spts", no_argument, nullptr, OPT_SPTS},
    {"loudness", required_argument, nullptr, OPT_LOUDNESS},
    {"input-loss-ms", required_argument, nullptr, OPT_INPUT_LOSS_MS},
    {"normalize-filler", no_argument, nullptr, OPT_NORMALIZE_FILLER},
    {"format-from", required_argument, nullptr, OPT_FORMAT_FROM},
    {"backup-src-addr", required_argument, nullptr, OPT_BACKUP_SRC_ADDR},
    {"backup-src-if", required_argument, nullptr, OPT_BACKUP_SRC_IF},
    {"backup-src-interface", required_argument, nullptr, OPT_BACKUP_SRC_IF},
    {"backup-src-source", required_argument, nullptr, OPT_BACKUP_SRC_SOURCE},
    {"failback-hold", required_argument, nullptr, OPT_FAILBACK_HOLD},
    {"failback", required_argument, nullptr, OPT_FAILBACK},
    {nullptr, 0, nullptr, 0},
};

const char usage_text[] =
    KESTROW_BANNER "\n"
    "Usage:\n"
    "    KestrowApp --src-addr=HOST:PORT --dst-addr=HOST:PORT --filler=PATH [options] [FILE...]\n"
    "Each FILE is an options file: one argument per line, read after the options before it and\n"
    "starting again from the defaults; a # at the start of a line or after a blank starts a comment.\n"
    "Input and output:\n"
    "    --src-addr=ADDR                    input (required): HOST:PORT (UDP), rtp://HOST:PORT,\n"
    "                                       srt://HOST:PORT?mode=caller|listener|rendezvous&passphrase=..\n"
    "                                       &pbkeylen=16|24|32&latency=MS&streamid=..\n"
    "    --src-interface=ADDR, --src-if     address of the interface to receive on\n"
    "    --src-source=ADDR                  only this sender of a multicast input\n"
    "    --src-buffer=BYTES                 receive buffer size (k, M: x1024)\n"
    "    --backup-src-addr=ADDR             a second source of the same programme, received all the time and\n"
    "                                       taken when the input fails (as --src-addr)\n"
    "    --backup-src-interface=ADDR, --backup-src-if, --backup-src-source=ADDR   as for the input\n"
    "    --failback=revert|stay             back to the input once it is healthy again, or stay [revert]\n"
    "    --failback-hold=S                  healthy this long before the failback, 0-3600 s [10]\n"
    "    --dst-addr=ADDR                    output (required): HOST:PORT, rtp://HOST:PORT, srt://...\n"
    "    --dst-interface=ADDR, --dst-if     address of the interface to send from\n"
    "    --dst-ttl=N                        multicast TTL, 1-255\n"
    "    --dst-rtp                          send RTP instead of plain UDP\n"
    "    --mux-rate=BIT/S                   constant output rate (k, M, G: x1000); 0: variable\n"
    "    --max-delay=US                     muxer's maximum delay, microseconds\n"
    "Breaks:\n"
    "    --filler=PATH                      transport stream aired in breaks (required)\n"
    "    --time-signal-breaks               time_signal cues also start breaks\n"
    "    --asrun-file=PATH                  as-run record, one JSON line per event\n"
    "    --program=N                        programme (program_number) of a multiplex that breaks go\n"
    "                                       into; default: the first in the PAT with a video stream\n"
    "    --spts                             send that programme alone (the others pass through by default)\n"
    "    --max-pending=N                    events waiting beside the armed one, 0-64 [16]\n"
    "    --max-cue-lead=S                   a splice point further ahead is not taken, 1-43200 s [600]\n"
    "    --late-join=S                      a cue up to S late joins its break, 0-600 s [2]\n"
    "    --open-breaks                      an out cue without break_duration lasts until its return cue\n"
    "    --frame-accurate=auto|off          return on the announced picture, re-encoding up to the key frame (auto)\n"
    "    --max-break=S                      longest an open break lasts, seconds (300)\n"
    "    --input-loss-ms=MS                 without the programme this long the input is lost, 100-60000 [500]\n"
    "    --input-loss-slate=MS              the filler airs after this long without input; 0: never\n"
    "Traffic:\n"
    "    --schedule=PATH                    traffic schedule (.SCH), or a folder of daily MDDCCHHH.SCH files\n"
    "    --spots=DIR                        spot files, <id>.<any extension the media library reads>\n"
    "    --channel-id=CC, --headend-id=HHH  the daily file's name in a schedule folder\n"
    "    --verification=PATH                verification file (.VER) or its folder; beside the schedule\n"
    "    --spot-cache=MIB                   spots held in memory at most (512)\n"
    "    --loudness=LUFS                    spots and a filler that is no .ts are conformed, in the background,\n"
    "                                       to the channel's format at this loudness, -40 to -5 LUFS [-23]\n"
    "    --normalize-filler                 a .ts filler is conformed to --loudness too (without it, its\n"
    "                                       loudness is measured and reported)\n"
    "    --format-from=PATH                 a recording of the channel: its format, to conform spots to\n"
    "                                       before the input comes [the format of the last session]\n"
    "Output tables:\n"
    "    --mpegts_transport_stream_id=N     0-65535\n"
    "    --mpegts_original_network_id=N     0-65535\n"
    "    --mpegts_service_id=N              0-65535\n"
    "    --mpegts_pmt_start_pid=PID         16-8190\n"
    "    --service_name=STR\n"
    "    --service_provider=STR\n"
    "Service:\n"
    "    --port=[HOST:]PORT                 control port (XML-RPC, metrics, console), 1-65535; HOST: the\n"
    "                                       numeric address it binds (IPv6 in brackets); default: every one\n"
    "    --log-file-name=PATH               log file; empty: standard error only\n"
    "    --log-rotate-interval=S            log and as-run rotation, seconds\n"
    "    --demonize, --nodemonize           become a daemon; --nodemonize overrides\n"
    "    --debug                            more detail in the log (repeatable)\n"
    "    --realtime-io, --realtime-cpu=N, --cpu-affinity=N   accepted, no effect\n"
    "    -h, --help                         show this help\n"
    "    --version                          show the version\n";

/*
 * Options files being read, outermost first, by device and inode, so that a
 * file naming itself (directly or through others) is recognised whatever
 * path names it. Only the thread parsing the options touches it.
 */
struct open_file {
    dev_t dev;
    ino_t ino;
};
open_file open_files[OPTS_FILE_MAX_DEPTH];
int open_depth;

/*
 * Copies a text value into its field; a value that does not fit with its
 * terminator is refused (-ENAMETOOLONG) rather than cut, since a cut path or address
 * would silently point somewhere else.
 */
int set_text(char *field, const char *value)
{
    if (utils_strnlen(value, APP_TEXT_SIZE) >= APP_TEXT_SIZE)
        return -ENAMETOOLONG;
    utils_strlcpy(field, value, APP_TEXT_SIZE);
    return 0;
}

/* How a number option is read and what it accepts. */
struct number_rule {
    int base;             // 10, or 0 for identifiers (0x.. hexadecimal, 0.. octal)
    int64_t unit;         // multiplier of a k suffix (M and G: its powers); 0 = no suffix
    int64_t min, max;
    const char *what;     // what the option takes, for the message
};

const number_rule rule_port = {10, 0, 1, 65535, "a port from 1 to 65535"};
// 0 is the documented variable rate (no padding, no pacing): an explicit
// choice, kept so that existing options files still start.
const number_rule rule_rate = {10, 1000, 0, INT32_MAX, "bit/s, 0 for a variable rate (k, M, G allowed)"};
const number_rule rule_size = {10, 1024, 1, INT32_MAX, "a size above 0 bytes (k, M allowed)"};
const number_rule rule_delay = {10, 0, 0, INT32_MAX, "microseconds from 0"};
const number_rule rule_seconds = {10, 0, 1, INT32_MAX, "seconds above 0"};
const number_rule rule_ttl = {10, 0, 1, 255, "a TTL from 1 to 255"};
const number_rule rule_id = {0, 0, 0, 65535, "a number from 0 to 65535"};
const number_rule rule_pid = {0, 0, 0x10, 0x1FFE, "a PID from 16 to 8190"};
const number_rule rule_cpu = {10, 0, 0, 4095, "a CPU number from 0"};
const number_rule rule_cache = {10, 0, 1, 1 << 20, "MiB from 1"};
const number_rule rule_max_break = {10, 0, 1, 86400, "seconds from 1 to 86400"};
const number_rule rule_pending = {10, 0, 0, REP_MAX_PENDING, "a number of events from 0 to 64"};
// Beyond 12 h a splice point could not be told from one half a 33-bit wrap (13.25 h) in the past.
const number_rule rule_cue_lead = {10, 0, 1, 43200, "seconds from 1 to 43200"};
const number_rule rule_late_join = {10, 0, 0, 600, "seconds from 0 to 600"};
const number_rule rule_program = {0, 0, 1, 65535, "a program_number from 1 to 65535"};
const number_rule rule_ms = {10, 0, 0, 3600000, "milliseconds from 0 to 3600000"};
const number_rule rule_loss_ms = {10, 0, 100, 60000, "milliseconds from 100 to 60000"};
const number_rule rule_hold = {10, 0, 0, 3600, "seconds from 0 to 3600"};

/*
 * Reads all of text as a number by rule. 0 and *out set; -EINVAL when text is
 * not a number (or has anything after it but one allowed suffix); -ERANGE when
 * it is outside the rule's range.
 */
int parse_number(const char *text, const number_rule &rule, int64_t *out)
{
    if (!isdigit((unsigned char)text[0]))
        return -EINVAL;
    errno = 0;
    char *end = nullptr;
    long long value = strtoll(text, &end, rule.base);
    if (end == text)
        return -EINVAL;
    if (errno == ERANGE)
        return -ERANGE;
    int64_t mult = 1;
    if (*end && rule.unit) {
        const char *suffixes = rule.unit == 1000 ? "kMG" : "kM";
        const char *at = strchr(suffixes, *end);
        if (!at)
            return -EINVAL;
        for (const char *p = suffixes; p <= at; p++)
            mult *= rule.unit;
        end++;
    }
    if (*end)
        return -EINVAL;
    if (value > rule.max / mult)
        return -ERANGE;
    value *= mult;
    if (value < rule.min || value > rule.max)
        return -ERANGE;
    *out = value;
    return 0;
}

/* Name of the option with this id, as the table spells it. */
const char *option_name(int id)
{
    for (const option *o = long_options; o->name; o++) {
        if (o->val == id)
            return o->name;
    }
    return "?";
}

/* Reads a number option into *field by rule; on refusal says which option and what it takes. */
template <typename T>
int set_number(T *field, int id, const char *arg, const number_rule &rule)
{
    int64_t value;
    int ret = parse_number(arg, rule, &value);
    if (ret < 0) {
        fprintf(stderr, "ERROR: --%s=[%s]: %s\n", option_name(id), arg, rule.what);
        return ret;
    }
    *field = (T)value;
    return 0;
}

/* Reads a number of seconds by rule into *ticks (90 kHz). */
int set_ticks(int64_t *ticks, int id, const char *arg, const number_rule &rule)
{
    int64_t seconds;
    int ret = set_number(&seconds, id, arg, rule);
    if (ret == 0)
        *ticks = seconds * 90000;
    return ret;
}

/* --loudness: LUFS from -40 to -5 (-23 for EBU R128, -24 for ATSC A/85). */
int set_loudness(double *field, int id, const char *arg)
{
    char *end = nullptr;
    double value = strtod(arg, &end);
    if (end == arg || *end || !(value >= -40 && value <= -5)) {
        fprintf(stderr, "ERROR: --%s=[%s]: LUFS from -40 to -5\n", option_name(id), arg);
        return -ERANGE;
    }
    *field = value;
    return 0;
}

/*
 * "host:port" with a non-empty host (an IPv6 address in brackets) and a
 * port from 1 to 65535. 0 or -22.
 */
int check_address(const char *text)
{
    const char *colon = strrchr(text, ':');
    if (!colon || colon == text)
        return -EINVAL;
    if (text[0] == '[' && colon[-1] != ']')
        return -EINVAL;
    if (text[0] != '[' && memchr(text, ':', (size_t)(colon - text)))
        return -EINVAL;  // an IPv6 address without brackets: where its port starts is a guess
    int64_t port;
    return parse_number(colon + 1, rule_port, &port) == 0 ? 0 : -EINVAL;
}

/*
 * HOST:PORT or udp://, rtp:// or srt:// followed by it (srt:// with its
 * query; a listener without HOST). A refusal says why; an srt:// address is
 * shown without its query, which may hold a passphrase.
 */
int set_address(char *field, int id, const char *arg)
{
    const char *rest = arg;
    char why[256] = "not HOST:PORT with a port from 1 to 65535";
    int scheme = net_addr_scheme(arg, &rest);
    srt_endpoint ep;
    bool ok = scheme == NET_SCHEME_SRT ? srt_addr_parse(arg, &ep, why, sizeof(why)) == 0
                                       : scheme >= 0 && check_address(rest) == 0;
    if (scheme < 0)
        utils_strlcpy(why, "HOST:PORT, or udp://, rtp:// or srt:// and HOST:PORT", sizeof(why));
    if (!ok) {
        int shown = scheme == NET_SCHEME_SRT && strchr(arg, '?') ? (int)(strchr(arg, '?') - arg) : (int)strlen(arg);
        fprintf(stderr, "ERROR: --%s=[%.*s%s]: %s\n", option_name(id), shown, arg, arg[shown] ? "?..." : "", why);
        return -EINVAL;
    }
    return set_text(field, arg);
}

/*
 * --port: PORT, or HOST:PORT where HOST is the numeric address the control
 * port binds (an IPv6 one in brackets). 0 or -22 after its message.
 */
int set_control_port(app_ctx *app, int id, const char *arg)
{
    const char *colon = strrchr(arg, ':');
    if (!colon) {
        app->ctl_host[0] = '\0';
        return set_number(&app->port, id, arg, rule_port);
    }
    std::string host(arg, (size_t)(colon - arg));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char addr[16];
    bool v6 = host.find(':') != std::string::npos;
    if (check_address(arg) != 0 || inet_pton(v6 ? AF_INET6 : AF_INET, host.c_str(), addr) != 1 ||
        (v6 && arg[0] != '[')) {
        fprintf(stderr, "ERROR: --%s=[%s]: not PORT, or HOST:PORT with a numeric address and a port from 1 to "
                "65535\n", option_name(id), arg);
        return -EINVAL;
    }
    int ret = set_number(&app->port, id, colon + 1, rule_port);
    if (ret == 0)
        utils_strlcpy(app->ctl_host, host.c_str(), sizeof(app->ctl_host));
    return ret;
}

/*
 * The options a run cannot do without: both addresses and a filler that
 * can be opened for reading and is no directory. 0, or the first refusal's
 * negative errno after its message.
 */
int check_required(const app_ctx *app)
{
    static const int required[] = {OPT_SRC_ADDR, OPT_DST_ADDR, OPT_FILLER};
    const char *values[] = {app->src_addr, app->dst_addr, app->filler_path};
    for (int i = 0; i < 3; i++) {
        if (!values[i][0]) {
            fprintf(stderr, "ERROR: --%s is required\n", option_name(required[i]));
            return -EINVAL;
        }
    }
    int fd = open(app->filler_path, O_RDONLY | O_CLOEXEC);
    int ret = fd < 0 ? -errno : 0;
    struct stat st;
    if (ret == 0 && fstat(fd, &st) != 0)
        ret = -errno;
    else if (ret == 0 && S_ISDIR(st.st_mode))
        ret = -EISDIR;
    if (fd >= 0)
        close(fd);
    if (ret < 0) {
        fprintf(stderr, "ERROR: --filler=[%s]: %s\n", app->filler_path, strerror(-ret));
        return ret;
    }
    const char *why = app->schedule_path[0] ? schedule_config_error(app->schedule_path, app->spots_dir,
                                                                    app->channel_id, app->headend_id)
                                            : nullptr;
    if (why)
        fprintf(stderr, "ERROR: --schedule=[%s]: %s\n", app->schedule_path, why);
    return why ? -EINVAL : 0;
}

void write_defaults(app_ctx *app)
{
    utils_strlcpy(app->log_file_name, "KestrowApp.log", sizeof(app->log_file_name));
    app->log_rotate_interval = 86400;
    app->port = 14000;
    app->mux_rate = 20000000;
    app->max_delay = 900000;
    app->spot_cache = 512;
    app->max_break = 300;
    app->input_loss_slate_ms = 1000;
    app->loudness = -23.0;
    app->failback_hold = 10;
}

/* Applies one option of the table; returns 0, or a negative errno when its value is refused. */
int apply_option(app_ctx *app, int id, const char *arg)
{
    int32_t unused;
    switch (id) {
    case OPT_PORT: return set_control_port(app, id, arg);
    case OPT_SRC_ADDR: return set_address(app->src_addr, id, arg);
    case OPT_DST_ADDR: return set_address(app->dst_addr, id, arg);
    case OPT_SRC_IF: return set_text(app->src_if, arg);
    case OPT_SRC_SOURCE: return set_text(app->src_source, arg);
    case OPT_SRC_BUFFER: return set_number(&app->src_buffer, id, arg, rule_size);
    case OPT_DST_IF: return set_text(app->dst_if, arg);
    case OPT_DST_TTL: return set_number(&app->dst_ttl, id, arg, rule_ttl);
    case OPT_DST_RTP: app->dst_rtp = 1; return 0;
    case OPT_MUX_RATE: return set_number(&app->mux_rate, id, arg, rule_rate);
    case OPT_MAX_DELAY: return set_number(&app->max_delay, id, arg, rule_delay);
    case OPT_FILLER: return set_text(app->filler_path, arg);
    case OPT_ASRUN_FILE: return set_text(app->asrun_file, arg);
    case OPT_TIME_SIGNAL_BREAKS: app->time_signal_breaks = 1; return 0;
    case OPT_INPUT_LOSS_SLATE: return set_number(&app->input_loss_slate_ms, id, arg, rule_ms);
    case OPT_INPUT_LOSS_MS: return set_number(&app->input_loss_ms, id, arg, rule_loss_ms);
    case OPT_TRANSPORT_STREAM_ID: return set_number(&app->transport_stream_id, id, arg, rule_id);
    case OPT_ORIGINAL_NETWORK_ID: return set_number(&app->original_network_id, id, arg, rule_id);
    case OPT_SERVICE_ID: return set_number(&app->service_id, id, arg, rule_id);
    case OPT_PMT_START_PID: return set_number(&app->pmt_start_pid, id, arg, rule_pid);
    case OPT_SERVICE_NAME: return set_text(app->service_name, arg);
    case OPT_SERVICE_PROVIDER: return set_text(app->service_provider, arg);
    case OPT_LOG_FILE_NAME: return set_text(app->log_file_name, arg);
    case OPT_LOG_ROTATE_INTERVAL: return set_number(&app->log_rotate_interval, id, arg, rule_seconds);
    case OPT_DEMONIZE: app->demonize = 1; return 0;
    case OPT_NODEMONIZE: app->nodemonize = 1; return 0;
    case OPT_REALTIME_IO: return 0;
    case OPT_CPU_AFFINITY: return set_number(&unused, id, arg, rule_cpu);
    case OPT_DEBUG: app->debug++; return 0;
    case OPT_REALTIME_CPU: return set_number(&unused, id, arg, rule_cpu);
    case OPT_SCHEDULE: return set_text(app->schedule_path, arg);
    case OPT_SPOTS: return set_text(app->spots_dir, arg);
    case OPT_CHANNEL_ID: return set_text(app->channel_id, arg);
    case OPT_HEADEND_ID: return set_text(app->headend_id, arg);
    case OPT_VERIFICATION: return set_text(app->verification_path, arg);
    case OPT_SPOT_CACHE: return set_number(&app->spot_cache, id, arg, rule_cache);
    case OPT_OPEN_BREAKS: app->open_breaks = 1; return 0;
    case OPT_FRAME_ACCURATE:
        if (strcmp(arg, "auto") != 0 && strcmp(arg, "off") != 0) {
            fprintf(stderr, "ERROR: --%s=[%s]: auto or off\n", option_name(id), arg);
            return -EINVAL;
        }
        app->frame_accurate_off = strcmp(arg, "off") == 0;
        return 0;
    case OPT_MAX_BREAK: return set_number(&app->max_break, id, arg, rule_max_break);
    case OPT_MAX_PENDING: return set_number(&app->timing.max_pending, id, arg, rule_pending);
    case OPT_MAX_CUE_LEAD: return set_ticks(&app->timing.max_cue_lead, id, arg, rule_cue_lead);
    case OPT_LATE_JOIN: return set_ticks(&app->timing.late_join, id, arg, rule_late_join);
    case OPT_PROGRAM: return set_number(&app->program, id, arg, rule_program);
    case OPT_SPTS: app->spts = 1; return 0;
    case OPT_LOUDNESS: return set_loudness(&app->loudness, id, arg);
    case OPT_NORMALIZE_FILLER: app->filler_normalize = 1; return 0;
    case OPT_FORMAT_FROM: return set_text(app->format_from, arg);
    case OPT_BACKUP_SRC_ADDR: return set_address(app->backup_addr, id, arg);
    case OPT_BACKUP_SRC_IF: return set_text(app->backup_if, arg);
    case OPT_BACKUP_SRC_SOURCE: return set_text(app->backup_source, arg);
    case OPT_FAILBACK_HOLD: return set_number(&app->failback_hold, id, arg, rule_hold);
    case OPT_FAILBACK:
        if (strcmp(arg, "revert") != 0 && strcmp(arg, "stay") != 0) {
            fprintf(stderr, "ERROR: --%s=[%s]: revert or stay\n", option_name(id), arg);
            return -EINVAL;
        }
        app->failback_stay = strcmp(arg, "stay") == 0;
        return 0;
    default: return -EINVAL;
    }
}

/* The bytes of app that option id sets (text: a terminated string); size 0 for a flag or a count. */
struct option_field {
    const void *at;
    size_t size;
    bool text;
};

option_field field_of(const app_ctx *app, int id)
{
#define NUMBER(f) {&app->f, sizeof(app->f), false}
#define TEXT(f) {app->f, sizeof(app->f), true}
    switch (id) {
    case OPT_PORT: return NUMBER(port);
    case OPT_SRC_ADDR: return TEXT(src_addr);
    case OPT_DST_ADDR: return TEXT(dst_addr);
    case OPT_SRC_IF: return TEXT(src_if);
    case OPT_SRC_SOURCE: return TEXT(src_source);
    case OPT_SRC_BUFFER: return NUMBER(src_buffer);
    case OPT_DST_IF: return TEXT(dst_if);
    case OPT_DST_TTL: return NUMBER(dst_ttl);
    case OPT_MUX_RATE: return NUMBER(mux_rate);
    case OPT_MAX_DELAY: return NUMBER(max_delay);
    case OPT_FILLER: return TEXT(filler_path);
    case OPT_ASRUN_FILE: return TEXT(asrun_file);
    case OPT_INPUT_LOSS_SLATE: return NUMBER(input_loss_slate_ms);
    case OPT_INPUT_LOSS_MS: return NUMBER(input_loss_ms);
    case OPT_TRANSPORT_STREAM_ID: return NUMBER(transport_stream_id);
    case OPT_ORIGINAL_NETWORK_ID: return NUMBER(original_network_id);
    case OPT_SERVICE_ID: return NUMBER(service_id);
    case OPT_PMT_START_PID: return NUMBER(pmt_start_pid);
    case OPT_SERVICE_NAME: return TEXT(service_name);
    case OPT_SERVICE_PROVIDER: return TEXT(service_provider);
    case OPT_LOG_FILE_NAME: return TEXT(log_file_name);
    case OPT_LOG_ROTATE_INTERVAL: return NUMBER(log_rotate_interval);
    case OPT_SCHEDULE: return TEXT(schedule_path);
    case OPT_SPOTS: return TEXT(spots_dir);
    case OPT_CHANNEL_ID: return TEXT(channel_id);
    case OPT_HEADEND_ID: return TEXT(headend_id);
    case OPT_VERIFICATION: return TEXT(verification_path);
    case OPT_SPOT_CACHE: return NUMBER(spot_cache);
    case OPT_MAX_BREAK: return NUMBER(max_break);
    case OPT_MAX_PENDING: return NUMBER(timing.max_pending);
    case OPT_MAX_CUE_LEAD: return NUMBER(timing.max_cue_lead);
    case OPT_LATE_JOIN: return NUMBER(timing.late_join);
    case OPT_PROGRAM: return NUMBER(program);
    case OPT_LOUDNESS: return NUMBER(loudness);
    case OPT_FRAME_ACCURATE: return NUMBER(frame_accurate_off);
    case OPT_FORMAT_FROM: return TEXT(format_from);
    case OPT_BACKUP_SRC_ADDR: return TEXT(backup_addr);
    case OPT_BACKUP_SRC_IF: return TEXT(backup_if);
    case OPT_BACKUP_SRC_SOURCE: return TEXT(backup_source);
    case OPT_FAILBACK_HOLD: return NUMBER(failback_hold);
    case OPT_FAILBACK: return NUMBER(failback_stay);
    default: return {nullptr, 0, false};
    }
#undef NUMBER
#undef TEXT
}

/* A value the command line gave, as it stood before the options files were read. */
struct given_value {
    int id;
    std::string element;  // "--name=value"
    std::string value;    // the field's bytes (a text up to its terminator)
};

std::string field_value(const app_ctx *app, int id)
{
    option_field f = field_of(app, id);
    if (f.text)
        return std::string((const char *)f.at, utils_strnlen((const char *)f.at, f.size));
    return std::string((const char *)f.at, f.size);
}

/*
 * Says, once each, which of the command line's values the options file at
 * path replaced (it set the option, or a default of its own start did).
 */
void say_replaced(const app_ctx *app, std::vector<given_value> *given, const char *path)
{
    for (auto it = given->begin(); it != given->end();) {
        if (field_value(app, it->id) == it->value) {
            ++it;
            continue;
        }
        fprintf(stderr, "opts_parse: options file [%s] replaced %s of the command line\n", path,
                it->element.c_str());
        it = given->erase(it);
    }
}

void reject(int argc, char **argv)
{
    int at = optind - 1;
    const char *element = (at >= 0 && at < argc && argv[at]) ? argv[at] : "";
    fprintf(stderr, "ERROR: Incorrect argument! [%s]\n", element);
    print_usage();
}

/* Strips the set "\n\t\r " from both ends; returns the start of what is left. */
char *strip(char *line)
{
    static const char blanks[] = "\n\t\r ";
    size_t len = strlen(line);
    while (len > 0 && strchr(blanks, line[len - 1]))
        line[--len] = '\0';
    while (*line && strchr(blanks, *line))
        line++;
    return line;
}

} // namespace

void print_usage(void)
{
    if (write(STDERR_FILENO, usage_text, sizeof(usage_text) - 1) < 0) {
        // Nothing else can report a failing standard error.
    }
}

namespace {

/*
 * Takes the options of one list, then reads its leftover arguments as
 * options files. Also the parser of every options file. 0, or the first
 * refusal's negative errno (its message written); -ECANCELED after help or
 * --version.
 */
int parse_list(app_ctx *app, int argc, char **argv)
{
    optind = 0;
    opterr = 0;
    optopt = 0;
    write_defaults(app);
    std::vector<given_value> given;  // the command line's own values (the outermost list)

    for (;;) {
        int id = getopt_long(argc, argv, "h", long_options, nullptr);
        if (id == -1)
            break;
        if (id == OPT_HELP) {
            print_usage();
            return -EPERM;
        }
        if (id == OPT_VERSION) {
            printf("KestrowApp %s\n", KESTROW_VERSION);
            fflush(stdout);
            return -ECANCELED;
        }
        int ret = apply_option(app, id, optarg);
        if (ret == -ENAMETOOLONG || id == '?' || id == ':') {
            reject(argc, argv);
            return -EINVAL;
        }
        if (ret < 0)
            return ret;
        if (open_depth == 0 && field_of(app, id).size) {
            std::string element = std::string("--") + option_name(id) + "=" + optarg;
            given.erase(std::remove_if(given.begin(), given.end(), [id](const given_value &g) { return g.id == id; }),
                        given.end());
            given.push_back({id, element, ""});
        }
    }
    for (given_value &g : given)
        g.value = field_value(app, g.id);

    /*
     * A nested parse restarts getopt_long's global scanner, so the leftover
     * arguments are fixed here, before the first file is read. The array
     * itself is not touched by a nested parse, which scans its own list.
     */
    std::vector<char *> files(argv + optind, argv + argc);
    for (char *file : files) {
        int ret = opts_from_file(file, app, parse_list);
        if (ret < 0)
            return ret;
        say_replaced(app, &given, file);
    }
    return 0;
}

} // namespace

int opts_parse(app_ctx *app, int argc, char **argv)
{
    int ret = parse_list(app, argc, argv);
    if (ret == 0)
        ret = check_required(app);
    if (ret < 0 && ret != -ECANCELED)
        ret = -EPERM;
    return ret;
}

namespace {

/*
 * Opens the options file at path and refuses it when it is being read
 * already (it names itself through the files it names) or would nest deeper
 * than OPTS_FILE_MAX_DEPTH. 0 with *out and *st set; otherwise the negative
 * errno after its message, nothing left open.
 */
int open_options_file(const char *path, FILE **out, struct stat *st)
{
    FILE *f = fopen(path, "r");
    if (!f || fstat(fileno(f), st) != 0) {
        int err = errno;
        fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", path);
        if (f)
            fclose(f);
        return -err;
    }
    for (int i = 0; i < open_depth; i++) {
        if (open_files[i].dev == st->st_dev && open_files[i].ino == st->st_ino) {
            fprintf(stderr, "%s: options file [%s] names itself through the files it names; refused\n",
                    "opts_from_file", path);
            fclose(f);
            return -ELOOP;
        }
    }
    if (open_depth >= OPTS_FILE_MAX_DEPTH) {
        fprintf(stderr, "%s: options file [%s] nested deeper than %d files; refused\n",
                "opts_from_file", path, OPTS_FILE_MAX_DEPTH);
        fclose(f);
        return -ELOOP;
    }
    *out = f;
    return 0;
}

/*
 * Cuts the comment off a line: from a '#' at its start or after a blank on.
 * A '#' inside a word ("News#1") is kept.
 */
void cut_comment(char *line)
{
    for (char *p = line; *p; p++) {
        if (*p == '#' && (p == line || p[-1] == ' ' || p[-1] == '\t')) {
            *p = '\0';
            return;
        }
    }
}

/*
 * Copies every line of f that holds more than a comment, the comment cut
 * and stripped,
 * into list from entry *count on (list holds OPTS_FILE_MAX_ENTRIES entries),
 * advancing *count. 0; -E2BIG when the list is full, -ENOMEM without memory,
 * each after its message; list then holds what was copied.
 */
int read_arguments(FILE *f, const char *path, char **list, int *count)
{
    char *line = (char *)calloc(1, APP_TEXT_SIZE);
    int ret = 0;
    if (!line)
        ret = -ENOMEM;
    while (ret == 0 && fgets(line, APP_TEXT_SIZE, f)) {
        cut_comment(line);
        char *arg = strip(line);
        if (*arg == '\0')
            continue;
        if (*count >= OPTS_FILE_MAX_ENTRIES) {
            fprintf(stderr, "%s: options file [%s] holds more than %d arguments; refused\n",
                    "opts_from_file", path, OPTS_FILE_MAX_ENTRIES - 1);
            ret = -E2BIG;
        } else if (!(list[*count] = strdup(arg))) {
            ret = -ENOMEM;
        } else {
            (*count)++;
        }
    }
    if (ret == -ENOMEM)
        fprintf(stderr, "%s: out of memory reading [%s]\n", "opts_from_file", path);
    free(line);
    return ret;
}

} // namespace

int opts_from_file(const char *path, app_ctx *app, opts_parse_fn parse)
{
    FILE *f = nullptr;
    struct stat st;
    int result = open_options_file(path, &f, &st);
    if (result < 0)
        return result;

    int count = 1;
    char **list = (char **)calloc(OPTS_FILE_MAX_ENTRIES, sizeof(char *));
    if (!list || !(list[0] = strdup(path))) {
        fprintf(stderr, "%s: out of memory reading [%s]\n", "opts_from_file", path);
        result = -ENOMEM;
        goto out_free;
    }
    result = read_arguments(f, path, list, &count);
    if (result == 0 && count >= 2) {
        open_files[open_depth].dev = st.st_dev;
        open_files[open_depth].ino = st.st_ino;
        open_depth++;
        result = parse(app, count, list);
        open_depth--;
    }

out_free:
    if (list) {
        for (int i = 0; i < OPTS_FILE_MAX_ENTRIES; i++)
            free(list[i]);
    }
    free(list);
    fclose(f);
    return result;
}
