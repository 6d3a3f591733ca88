/*
 * Options from the command line and from options files, parsed into a real
 * context; messages are read back from standard error.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "service/opts.h"
#include "support.h"

namespace {

/* What every run needs; /dev/null is a readable filler as far as the options go. */
const std::vector<std::string> required = {"--src-addr=127.0.0.1:5000",
                                           "--dst-addr=127.0.0.1:5001", "--filler=/dev/null"};

struct Parse {
    int ret;
    std::string err;
    std::string out;
};

Parse parse_raw(st::App &app, std::vector<std::string> args)
{
    st::Args a(std::move(args));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int ret = opts_parse(app.ctx, a.argc(), a.argv());
    std::string out = testing::internal::GetCapturedStdout();
    return {ret, testing::internal::GetCapturedStderr(), out};
}

Parse parse(st::App &app, std::vector<std::string> args)
{
    args.insert(args.begin(), required.begin(), required.end());
    return parse_raw(app, std::move(args));
}

/* "ERROR: Incorrect argument! [element]", then the usage. */
void expect_rejected(const Parse &p, const std::string &element)
{
    EXPECT_EQ(-EPERM, p.ret) << element;
    std::string head = "ERROR: Incorrect argument! [" + element + "]\n";
    ASSERT_EQ(0u, p.err.rfind(head, 0)) << p.err;
    EXPECT_EQ(head.size(), p.err.find("KestrowApp - " KESTROW_VERSION ", ")) << p.err;
}

} // namespace

TEST(Opts, Defaults)
{
    st::App app;
    Parse p = parse(app, {});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ("", p.err);
    EXPECT_EQ(14000u, app->port);
    EXPECT_EQ(20000000, app->mux_rate);
    EXPECT_EQ(900000, app->max_delay);
    EXPECT_STREQ("KestrowApp.log", app->log_file_name);
    EXPECT_EQ(86400, app->log_rotate_interval);
    EXPECT_EQ(0, app->service_id);
    EXPECT_EQ(0, app->dst_ttl);
    EXPECT_EQ(0, app->src_buffer);
    EXPECT_EQ(512, app->spot_cache);
    EXPECT_EQ(300, app->max_break);
    EXPECT_EQ(16, app->timing.max_pending);
    EXPECT_EQ(600 * 90000, app->timing.max_cue_lead);
    EXPECT_EQ(2 * 90000, app->timing.late_join);
    EXPECT_EQ(-23.0, app->loudness);
    EXPECT_EQ(500, app->input_loss_ms);
    EXPECT_STREQ("", app->backup_addr);
    EXPECT_EQ(10, app->failback_hold);
    EXPECT_EQ(0, app->failback_stay);
}

TEST(Opts, VersionPrintsOnStandardOutputAndEndsTheParse)
{
    st::App app;
    Parse p = parse_raw(app, {"--port=1", "--version", "--nosuch"});
    EXPECT_EQ(-ECANCELED, p.ret);
    EXPECT_EQ("KestrowApp " KESTROW_VERSION "\n", p.out);
    EXPECT_EQ("", p.err);
}

TEST(Opts, ValueFormsPrefixesAliasesAndFlags)
{
    for (const auto &form : std::vector<std::vector<std::string>>{
             {"--port", "123"}, {"--port=123"}, {"--po=123"}, {"--po", "123"}}) {
        st::App app;
        Parse p = parse(app, form);
        EXPECT_EQ(0, p.ret) << form[0] << p.err;
        EXPECT_EQ(123u, app->port) << form[0];
    }
    st::App app;
    Parse p = parse(app, {"--src-i=10.0.0.2", "--dst-i", "10.0.0.1", "--log-f=a.log", "--fil=/dev/null",
                          "--asrun-file=/var/log/a.json", "--src-source=10.1.1.1", "--dst-rtp",
                          "--time-signal-breaks", "--debug", "--demonize", "--realtime-io",
                          "--debug", "--nodemonize", "--service_name=News 24", "--service_provider",
                          " P ", "--spts"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_STREQ("10.0.0.2", app->src_if);
    EXPECT_STREQ("10.0.0.1", app->dst_if);
    EXPECT_STREQ("a.log", app->log_file_name);
    EXPECT_STREQ("/var/log/a.json", app->asrun_file);
    EXPECT_STREQ("10.1.1.1", app->src_source);
    EXPECT_EQ(1, app->dst_rtp);
    EXPECT_EQ(1, app->time_signal_breaks);
    EXPECT_EQ(2, app->debug);
    EXPECT_EQ(1, app->demonize);
    EXPECT_EQ(1, app->nodemonize);
    EXPECT_STREQ("News 24", app->service_name);
    EXPECT_STREQ(" P ", app->service_provider);
    EXPECT_EQ(1, app->spts);
}

TEST(Opts, RejectedArgumentsNameTheElementAndPrintTheUsage)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-P", "5"}, "-P"},                 // the only short option is -h
        {{"--nosuch=1"}, "--nosuch=1"},
        {{"--d"}, "--d"},                    // dst-addr, dst-ttl, demonize, debug, ...
        {{"--mpegts_"}, "--mpegts_"},
        {{"--debug", "--port"}, "--port"},   // argument missing
        {{"--demonize=1"}, "--demonize=1"},  // argument to an option without one
        {{"--service_name=" + std::string(APP_TEXT_SIZE, 'b')},
         "--service_name=" + std::string(APP_TEXT_SIZE, 'b')},  // refused rather than cut
    };
    for (const auto &c : cases) {
        st::App app;
        expect_rejected(parse(app, c.first), c.second);
    }
    st::App app;
    Parse p = parse(app, {"--log-file-name=" + std::string(APP_TEXT_SIZE - 1, 'a')});
    EXPECT_EQ(0, p.ret);
}

TEST(Opts, NumbersAreReadWhollyWithSuffixesAndInRange)
{
    struct Ok {
        const char *arg;
        int64_t want;
        int64_t (*get)(app_ctx *);
    };
    auto port = [](app_ctx *a) { return (int64_t)a->port; };
    auto rate = [](app_ctx *a) { return (int64_t)a->mux_rate; };
    auto buffer = [](app_ctx *a) { return a->src_buffer; };
    auto sid = [](app_ctx *a) { return (int64_t)a->service_id; };
    auto pid = [](app_ctx *a) { return (int64_t)a->pmt_start_pid; };
    auto pending = [](app_ctx *a) { return (int64_t)a->timing.max_pending; };
    auto lead = [](app_ctx *a) { return a->timing.max_cue_lead; };
    auto late = [](app_ctx *a) { return a->timing.late_join; };
    auto program = [](app_ctx *a) { return (int64_t)a->program; };
    const Ok ok[] = {
        {"--port=1", 1, port},
        {"--port=65535", 65535, port},
        {"--mux-rate=20M", 20000000, rate},
        {"--mux-rate=1500k", 1500000, rate},
        {"--mux-rate=2G", 2000000000, rate},
        {"--mux-rate=0", 0, rate},
        {"--src-buffer=4M", 4 << 20, buffer},
        {"--src-buffer=64k", 65536, buffer},
        {"--mpegts_service_id=0x10", 16, sid},
        {"--mpegts_service_id=010", 8, sid},
        {"--mpegts_pmt_start_pid=0x1FFE", 0x1FFE, pid},
        {"--spot-cache=64", 64, [](app_ctx *a) { return (int64_t)a->spot_cache; }},
        {"--max-break=86400", 86400, [](app_ctx *a) { return (int64_t)a->max_break; }},
        {"--max-pending=0", 0, pending},
        {"--max-pending=64", 64, pending},
        {"--max-cue-lead=43200", INT64_C(43200) * 90000, lead},
        {"--late-join=0", 0, late},
        {"--program=0x810", 0x810, program},
        {"--loudness=-40", -40, [](app_ctx *a) { return (int64_t)a->loudness; }},
        {"--loudness=-5.0", -5, [](app_ctx *a) { return (int64_t)a->loudness; }},
        {"--input-loss-ms=100", 100, [](app_ctx *a) { return (int64_t)a->input_loss_ms; }},
        {"--input-loss-ms=60000", 60000, [](app_ctx *a) { return (int64_t)a->input_loss_ms; }},
    };
    for (const Ok &c : ok) {
        st::App app;
        Parse p = parse(app, {c.arg});
        EXPECT_EQ(0, p.ret) << c.arg << p.err;
        EXPECT_EQ(c.want, c.get(app.ctx)) << c.arg;
    }

    // Each refusal names the option, its value and what it takes, on one line.
    const std::string in_port = "a port from 1 to 65535", in_rate = "bit/s, 0 for a variable rate (k, M, G allowed)",
                      number = "a number from 0 to 65535";
    const std::pair<std::string, std::string> refused[] = {
        {"--port=47O40", in_port}, {"--port=0", in_port}, {"--port=65536", in_port}, {"--port=-1", in_port},
        {"--port= 80", in_port}, {"--port=", in_port}, {"--port=80k", in_port},
        {"--mux-rate=20MM", in_rate}, {"--mux-rate=-5", in_rate}, {"--mux-rate=3G", in_rate},
        {"--mux-rate=99999999999999999999", in_rate},
        {"--src-buffer=1G", "a size above 0 bytes (k, M allowed)"},
        {"--max-delay=1.5", "microseconds from 0"},
        {"--log-rotate-interval=0", "seconds above 0"},
        {"--dst-ttl=256", "a TTL from 1 to 255"},
        {"--mpegts_service_id=junk", number},
        {"--mpegts_transport_stream_id=0x10000", number},
        {"--mpegts_pmt_start_pid=0x1FFF", "a PID from 16 to 8190"},
        {"--cpu-affinity=x", "a CPU number from 0"},
        {"--spot-cache=0", "MiB from 1"},
        {"--max-break=86401", "seconds from 1 to 86400"},
        {"--max-pending=65", "a number of events from 0 to 64"},
        {"--max-cue-lead=0", "seconds from 1 to 43200"},
        {"--late-join=601", "seconds from 0 to 600"},
        {"--program=0", "a program_number from 1 to 65535"},
        {"--loudness=-4.9", "LUFS from -40 to -5"},
        {"--loudness=-23dB", "LUFS from -40 to -5"},
        {"--input-loss-ms=99", "milliseconds from 100 to 60000"},
        {"--input-loss-ms=60001", "milliseconds from 100 to 60000"},
    };
    for (const auto &c : refused) {
        st::App app;
        Parse p = parse(app, {c.first});
        size_t eq = c.first.find('=');
        EXPECT_EQ(-EPERM, p.ret) << c.first;
        EXPECT_EQ("ERROR: " + c.first.substr(0, eq + 1) + "[" + c.first.substr(eq + 1) + "]: " + c.second + "\n",
                  p.err);
    }
}

TEST(Opts, ControlPortBindsEveryAddressOrTheOneGiven)
{
    const struct {
        const char *arg, *host;
        uint32_t port;
    } ok[] = {{"--port=14001", "", 14001}, {"--port=127.0.0.1:14002", "127.0.0.1", 14002},
              {"--port=[::1]:14003", "::1", 14003}, {"--port=0.0.0.0:1", "0.0.0.0", 1}};
    for (const auto &c : ok) {
        st::App app;
        Parse p = parse(app, {"--port=127.0.0.9:9", c.arg});  // the last one given counts, its address with it
        EXPECT_EQ(0, p.ret) << c.arg << p.err;
        EXPECT_STREQ(c.host, app->ctl_host) << c.arg;
        EXPECT_EQ(c.port, app->port) << c.arg;
    }
    const std::string form = "not PORT, or HOST:PORT with a numeric address and a port from 1 to 65535";
    for (const char *value : {"localhost:14000", "::1:14000", "[::1:14000", "1.2.3:14000", ":14000", "127.0.0.1:0"}) {
        st::App app;
        Parse p = parse(app, {std::string("--port=") + value});
        EXPECT_EQ(-EPERM, p.ret) << value;
        EXPECT_EQ("ERROR: --port=[" + std::string(value) + "]: " + form + "\n", p.err) << value;
    }
}

TEST(Opts, AddressesAndFillerAreRequiredAndChecked)
{
    kt::TempDir dir;
    kt::write_file(dir / "unreadable.ts", "x");
    chmod((dir / "unreadable.ts").c_str(), 0);
    const bool root = access((dir / "unreadable.ts").c_str(), R_OK) == 0;
    const std::string addr_error = ": not HOST:PORT with a port from 1 to 65535\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--dst-addr=1.2.3.4:5", "--filler=/dev/null"}, "ERROR: --src-addr is required\n"},
        {{"--src-addr=1.2.3.4:5", "--filler=/dev/null"}, "ERROR: --dst-addr is required\n"},
        {{"--src-addr=1.2.3.4:5", "--dst-addr=1.2.3.4:5"}, "ERROR: --filler is required\n"},
        {{"--dst-addr=127.0.0.1"}, "ERROR: --dst-addr=[127.0.0.1]" + addr_error},
        {{"--dst-addr=127.0.0.1:99999"}, "ERROR: --dst-addr=[127.0.0.1:99999]" + addr_error},
        {{"--dst-addr=127.0.0.1:"}, "ERROR: --dst-addr=[127.0.0.1:]" + addr_error},
        {{"--src-addr=:5000"}, "ERROR: --src-addr=[:5000]" + addr_error},
        {{"--src-addr=::1:5000"}, "ERROR: --src-addr=[::1:5000]" + addr_error},
        {{"--src-addr=[::1]5000"}, "ERROR: --src-addr=[[::1]5000]" + addr_error},
        {{"--backup-src-addr=10.0.0.1"}, "ERROR: --backup-src-addr=[10.0.0.1]" + addr_error},
        {{"--failback=never"}, "ERROR: --failback=[never]: revert or stay\n"},
        {{"--filler=" + (dir / "missing.ts")},
         "ERROR: --filler=[" + (dir / "missing.ts") + "]: No such file or directory\n"},
        {{"--filler=" + dir.path}, "ERROR: --filler=[" + dir.path + "]: Is a directory\n"},
        {{"--filler=" + (dir / "unreadable.ts")},
         root ? "" : "ERROR: --filler=[" + (dir / "unreadable.ts") + "]: Permission denied\n"},
        {{"--schedule=a.SCH"}, "ERROR: --schedule=[a.SCH]: a schedule needs the folder of its spot files (--spots)\n"},
        {{"--schedule=" + dir.path, "--spots=.", "--channel-id=AB", "--headend-id=12"},
         "ERROR: --schedule=[" + dir.path + "]: a schedule folder needs --channel-id (2 letters or digits) and "
         "--headend-id (3)\n"},
        {{"--schedule=" + dir.path, "--spots=.", "--channel-id=AB", "--headend-id=123", "--open-breaks"}, ""},
    };
    for (const auto &c : cases) {
        st::App app;
        // The later options override the good ones of parse(); the first
        // three cases leave one out altogether.
        Parse p = c.second.find("required") != std::string::npos ? parse_raw(app, c.first)
                                                                    : parse(app, c.first);
        EXPECT_EQ(c.second.empty() ? 0 : -EPERM, p.ret) << c.second;
        EXPECT_EQ(c.second, p.err);
    }
    st::App app;
    Parse p = parse(app, {"--src-addr=[::1]:5000", "--dst-addr=239.1.1.1:1234"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_STREQ("[::1]:5000", app->src_addr);
    st::App two;
    p = parse(two, {"--backup-src-addr=rtp://239.2.1.1:5000", "--backup-src-interface=10.0.2.5", "--failback=stay",
                    "--failback-hold=0"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_STREQ("rtp://239.2.1.1:5000", two->backup_addr);
    EXPECT_STREQ("10.0.2.5", two->backup_if);
    EXPECT_EQ(1, two->failback_stay);
    EXPECT_EQ(0, two->failback_hold);
}

TEST(OptsFile, FilesAreReadAfterTheOptionsOfTheirListEachWithFreshDefaults)
{
    kt::TempDir dir;
    // b.conf is read after every option of a.conf: its defaults replace
    // a.conf's mux rate while its own port and name win. Lines are stripped
    // at the ends; blank and comment lines apply nothing, and a '#' after a
    // blank starts a comment in numbers and texts, one inside a word not.
    kt::write_file(dir / "a.conf", "--port=1\n" + (dir / "b.conf") +
                                       "\n--mux-rate=7\n  --debug \t\r\n\n   \n# --port=9\n"
                                       "--service_name=a\n");
    kt::write_file(dir / "b.conf", "--port=2   # control port\n--debug\t# more\n--service_name=b#1 # ours\n"
                                   "\t--service_provider\n  My  Provider\t# theirs\n--asrun-file=x.json #\n--max-break=60");
    st::App app;
    Parse p = parse(app, {"--port=1234", dir / "a.conf", "--debug", "--mux-rate=5", "--max-break=60",
                          "--service_name=cmd"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(2u, app->port);
    EXPECT_EQ(20000000, app->mux_rate);
    EXPECT_EQ(3, app->debug);
    EXPECT_STREQ("b#1", app->service_name);
    EXPECT_STREQ("My  Provider", app->service_provider);
    EXPECT_STREQ("x.json", app->asrun_file);
    EXPECT_STREQ("127.0.0.1:5000", app->src_addr);  // not a default: kept from the command line
    // One line for each value of the command line a file replaced; the same
    // value set again (--max-break) or a count (--debug) is not one.
    const std::string by = "opts_parse: options file [" + (dir / "a.conf") + "] replaced ";
    EXPECT_EQ(by + "--port=1234 of the command line\n" + by + "--mux-rate=5 of the command line\n" + by +
                  "--service_name=cmd of the command line\n",
              p.err);
}

TEST(OptsFile, FailingFilesStopTheParse)
{
    kt::TempDir dir;
    std::string missing = dir / "missing.conf";
    kt::write_file(dir / "self.conf", "--debug\n" + (dir / "self.conf") + "\n");
    kt::write_file(dir / "a.conf", "--debug\n" + (dir / "b.conf") + "\n");
    kt::write_file(dir / "b.conf", "--debug\n" + dir.path + "/./a.conf\n");  // a.conf, spelt otherwise
    kt::write_file(dir / "bad.conf", "--port=5\n--nosuch\n");
    kt::write_file(dir / "badnum.conf", "--port=5x\n");
    kt::write_file(dir / "help.conf", "--help\n");
    kt::write_file(dir / "after.conf", "--service_name=after\n");
    const std::pair<std::string, std::string> cases[] = {
        {missing, "opts_from_file: failed to open [" + missing + "]\n"},
        {dir / "self.conf", "opts_from_file: options file [" + (dir / "self.conf") +
                                "] names itself through the files it names; refused\n"},
        {dir / "b.conf", "opts_from_file: options file [" + (dir / "b.conf") +
                             "] names itself through the files it names; refused\n"},
        {dir / "bad.conf", "ERROR: Incorrect argument! [--nosuch]\n"},
        {dir / "badnum.conf", "ERROR: --port=[5x]: a port from 1 to 65535\n"},
        {dir / "help.conf", "KestrowApp - "},
    };
    for (const auto &c : cases) {
        st::App app;
        Parse p = parse(app, {c.first, dir / "after.conf"});
        EXPECT_EQ(-EPERM, p.ret) << c.first;
        EXPECT_EQ(0u, p.err.find(c.second)) << p.err;
        EXPECT_STREQ("", app->service_name) << c.first;  // nothing after the failure is read
    }
    // The same file twice side by side is no cycle.
    kt::write_file(dir / "d.conf", "--debug\n");
    st::App app;
    EXPECT_EQ(0, parse(app, {dir / "d.conf", dir / "d.conf"}).ret);
    EXPECT_EQ(2, app->debug);
}

TEST(OptsFile, NestingAndLengthAreBounded)
{
    kt::TempDir dir;
    auto chain = [&](int files) {
        for (int i = 1; i <= files; i++) {
            std::string text = "--debug\n";
            if (i < files)
                text += (dir / ("f" + std::to_string(i + 1))) + "\n";
            kt::write_file(dir / ("f" + std::to_string(i)), text);
        }
    };
    chain(OPTS_FILE_MAX_DEPTH);
    st::App app;
    EXPECT_EQ(0, parse(app, {dir / "f1"}).ret);
    EXPECT_EQ(OPTS_FILE_MAX_DEPTH, app->debug);
    chain(OPTS_FILE_MAX_DEPTH + 1);
    st::App deep;
    Parse p = parse(deep, {dir / "f1"});
    EXPECT_EQ(-EPERM, p.ret);
    EXPECT_NE(std::string::npos, p.err.find("nested deeper than 16")) << p.err;

    std::string lines;
    for (int i = 0; i < OPTS_FILE_MAX_ENTRIES - 1; i++)
        lines += "--debug\n# comment lines do not count\n";
    kt::write_file(dir / "full.conf", lines);
    kt::write_file(dir / "over.conf", lines + "--debug\n");
    st::App full;
    EXPECT_EQ(0, parse(full, {dir / "full.conf"}).ret);
    EXPECT_EQ(OPTS_FILE_MAX_ENTRIES - 1, full->debug);
    st::App over;
    p = parse(over, {dir / "over.conf"});
    EXPECT_EQ(-EPERM, p.ret);
    EXPECT_EQ(0, over->debug);  // nothing of the file is applied
    EXPECT_NE(std::string::npos, p.err.find("more than 4095 arguments")) << p.err;
}
