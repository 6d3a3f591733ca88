/*
 * Options from the command line and from options files, parsed into a real
 * context; messages are read back from standard error.
 */
#include <gtest/gtest.h>

#include <string>

#include "service/opts.h"
#include "support.h"

namespace {

const std::string usage_body =
    "Usage:\n"
    "    KestrowApp [args]\n"
    "Where args:\n"
    "    --port=<N>                             xmlrpc control port\n"
    "    --demonize                         Become daemon on executing\n"
    "\n"
    "                                       Log file operation\n"
    "    --log-file-name=<STR>\n"
    "    --log-rotate-interval=<INT>\n"
    "\n"
    "    -h, --help                         Show this help and usage\n";

/* The usage: the banner line, then the body above. */
void expect_usage(const std::string &text)
{
    size_t nl = text.find('\n');
    ASSERT_NE(std::string::npos, nl);
    std::string banner = text.substr(0, nl);
    std::string head = std::string("KestrowApp - ") + KESTROW_VERSION + ", ";
    EXPECT_EQ(0u, banner.rfind(head, 0)) << banner;
    EXPECT_GT(banner.size(), head.size()) << "banner without notice";
    EXPECT_EQ(usage_body, text.substr(nl + 1));
}

struct Parse {
    int ret;
    std::string err;
};

Parse parse(st::App &app, std::vector<std::string> args)
{
    st::Args a(std::move(args));
    testing::internal::CaptureStderr();
    int ret = opts_parse(app.ctx, a.argc(), a.argv());
    return {ret, testing::internal::GetCapturedStderr()};
}

} // namespace

TEST(Opts, NoArgumentsGivesTheDefaults)
{
    st::App app;
    Parse p = parse(app, {});
    EXPECT_EQ(0, p.ret);
    EXPECT_EQ("", p.err);
    EXPECT_EQ(14000u, app->port);
    EXPECT_EQ(20000000, app->mux_rate);
    EXPECT_EQ(900000, app->max_delay);
    EXPECT_STREQ("KestrowApp.log", app->log_file_name);
    EXPECT_EQ(86400, app->log_rotate_interval);
    EXPECT_STREQ("", app->src_addr);
    EXPECT_STREQ("", app->filler_path);
    EXPECT_EQ(0, app->service_id);
    EXPECT_EQ(0, app->debug);
    EXPECT_EQ(0, app->demonize);
}

TEST(Opts, ValueAfterEqualsOrNextArgumentAndUnambiguousPrefixes)
{
    const std::vector<std::vector<std::string>> forms = {
        {"--port", "123"}, {"--port=123"}, {"--po=123"}, {"--p", "123"}};
    for (const auto &form : forms) {
        st::App app;
        Parse p = parse(app, form);
        EXPECT_EQ(0, p.ret) << form[0];
        EXPECT_EQ(123u, app->port) << form[0];
    }
    st::App app;
    Parse p = parse(app, {"--src-a=1.2.3.4:5", "--dst-i", "10.0.0.1", "--log-f=a.log",
                          "--log-r=60", "--mux=5", "--max=7", "--fil=/f.ts"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_STREQ("1.2.3.4:5", app->src_addr);
    EXPECT_STREQ("10.0.0.1", app->dst_if);
    EXPECT_STREQ("a.log", app->log_file_name);
    EXPECT_EQ(60, app->log_rotate_interval);
    EXPECT_EQ(5, app->mux_rate);
    EXPECT_EQ(7, app->max_delay);
    EXPECT_STREQ("/f.ts", app->filler_path);
}

TEST(Opts, RejectedArgumentsNameTheElementAndPrintTheUsage)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-P", "5"}, "-P"},                 // the only short option is -h
        {{"--nosuch=1"}, "--nosuch=1"},
        {{"--d"}, "--d"},                    // dst-addr, dst-if, demonize, debug
        {{"--mpegts_"}, "--mpegts_"},        // ambiguous too
        {{"--debug", "--port"}, "--port"},   // argument missing
        {{"--demonize=1"}, "--demonize=1"},  // argument to an option without one
    };
    for (const auto &c : cases) {
        st::App app;
        Parse p = parse(app, c.first);
        EXPECT_EQ(-1, p.ret) << c.second;
        std::string head = "ERROR: Incorrect argument! [" + c.second + "]\n";
        ASSERT_EQ(0u, p.err.rfind(head, 0)) << p.err;
        expect_usage(p.err.substr(head.size()));
    }
}

TEST(Opts, HelpPrintsOnlyTheUsage)
{
    for (const char *form : {"-h", "--help", "--he"}) {
        st::App app;
        Parse p = parse(app, {"--port=1", form, "--port=2"});
        EXPECT_EQ(-1, p.ret) << form;
        expect_usage(p.err);
    }
}

TEST(Opts, IdentifiersTakeBaseZeroAndKeepTheLow32Bits)
{
    st::App app;
    Parse p = parse(app, {"--mpegts_service_id=0x10", "--mpegts_pmt_start_pid=010",
                          "--mpegts_transport_stream_id=0xFFFFFFFF",
                          "--mpegts_original_network_id=0x100000005"});
    EXPECT_EQ(0, p.ret);
    EXPECT_EQ(16, app->service_id);
    EXPECT_EQ(8, app->pmt_start_pid);
    EXPECT_EQ(-1, app->transport_stream_id);
    EXPECT_EQ(5, app->original_network_id);

    st::App junk;
    p = parse(junk, {"--mpegts_service_id=junk", "--port=junk"});
    EXPECT_EQ(0, p.ret);
    EXPECT_EQ(0, junk->service_id);
    EXPECT_EQ(0u, junk->port);
}

TEST(Opts, FlagsCountersAndIgnoredOptions)
{
    st::App app;
    Parse p = parse(app, {"--debug", "--demonize", "--realtime-io", "--cpu-affinity=3",
                          "--realtime-cpu", "2", "--debug", "--nodemonize"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(2, app->debug);
    EXPECT_EQ(1, app->demonize);
    EXPECT_EQ(1, app->nodemonize);
}

TEST(Opts, TextValuesKeepBlanksAndAreRefusedWhenTooLong)
{
    st::App app;
    Parse p = parse(app, {"--service_name=News 24", "--service_provider", " P "});
    EXPECT_EQ(0, p.ret);
    EXPECT_STREQ("News 24", app->service_name);
    EXPECT_STREQ(" P ", app->service_provider);

    std::string longest(APP_TEXT_SIZE - 1, 'a');
    p = parse(app, {"--filler=" + longest});
    EXPECT_EQ(0, p.ret);
    EXPECT_EQ(longest, app->filler_path);

    std::string too_long(APP_TEXT_SIZE, 'b');
    for (const char *name : {"--filler", "--src-addr", "--log-file-name", "--service_name"}) {
        st::App fresh;
        p = parse(fresh, {std::string(name) + "=" + too_long});
        EXPECT_EQ(-1, p.ret) << name;
        EXPECT_EQ(0u, p.err.find("ERROR: Incorrect argument! [" + std::string(name) + "=bbb"))
            << name;
        EXPECT_EQ(0, fresh->filler_path[0]);
    }
}

TEST(OptsFile, NestedParseWritesTheDefaultsAgain)
{
    st::TempDir dir;
    st::write_file(dir / "a.conf", "--src-addr=239.0.0.1:1234\n");
    st::App app;
    Parse p = parse(app, {"--port=1234", dir / "a.conf", "--mux-rate=5", "--service_name=X"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(14000u, app->port);
    EXPECT_EQ(20000000, app->mux_rate);
    EXPECT_STREQ("239.0.0.1:1234", app->src_addr);
    EXPECT_STREQ("X", app->service_name);
}

TEST(OptsFile, BlankAndCommentLinesApplyNothing)
{
    st::TempDir dir;
    st::write_file(dir / "empty.conf", "\n   \n\t\r\n# --port=1\n  # --debug\n");
    st::App app;
    Parse p = parse(app, {"--port=1234", dir / "empty.conf"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(1234u, app->port);
    EXPECT_EQ(0, app->debug);
}

TEST(OptsFile, LinesAreStrippedAtTheEndsOnly)
{
    st::TempDir dir;
    st::write_file(dir / "a.conf",
                   "  --service_name=News 24 \t \r\n"
                   "\t--service_provider\n"
                   "  My  Provider\t\n"
                   "--filler=/tmp/x.ts # not a comment");
    st::App app;
    Parse p = parse(app, {dir / "a.conf"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_STREQ("News 24", app->service_name);
    EXPECT_STREQ("My  Provider", app->service_provider);
    EXPECT_STREQ("/tmp/x.ts # not a comment", app->filler_path);
}

TEST(OptsFile, NamedFileIsReadAfterTheOptionsOfItsFile)
{
    st::TempDir dir;
    // b.conf comes after every option of a.conf, so its own defaults
    // replace a.conf's mux rate while its port wins.
    st::write_file(dir / "a.conf", "--port=1\n" + (dir / "b.conf") + "\n--mux-rate=7\n--debug\n");
    st::write_file(dir / "b.conf", "--port=2\n--debug\n");
    st::App app;
    Parse p = parse(app, {dir / "a.conf"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(2u, app->port);
    EXPECT_EQ(20000000, app->mux_rate);
    EXPECT_EQ(2, app->debug);
}

TEST(OptsFile, FilesAreReadInOrderEachOnceWithoutLosingTheOuterWalk)
{
    st::TempDir dir;
    st::write_file(dir / "a.conf", "--service_name=a\n--debug\n" + (dir / "inner.conf") + "\n");
    st::write_file(dir / "inner.conf", "--service_provider=inner\n--debug\n");
    st::write_file(dir / "b.conf", "--service_name=b\n--debug\n");
    st::write_file(dir / "c.conf", "--filler=c\n");
    st::App app;
    Parse p = parse(app, {dir / "a.conf", "--debug", dir / "b.conf", dir / "c.conf"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_STREQ("b", app->service_name);
    EXPECT_STREQ("inner", app->service_provider);
    EXPECT_STREQ("c", app->filler_path);
    EXPECT_EQ(4, app->debug);
}

TEST(OptsFile, FailingFileStopsTheParse)
{
    st::TempDir dir;
    std::string missing = dir / "missing.conf";
    st::App app;
    Parse p = parse(app, {missing});
    EXPECT_EQ(-1, p.ret);
    EXPECT_EQ("opts_from_file: failed to open [" + missing + "]\n", p.err);

    st::write_file(dir / "bad.conf", "--port=5\n--nosuch\n");
    st::write_file(dir / "after.conf", "--filler=after\n");
    st::App bad;
    p = parse(bad, {dir / "bad.conf", dir / "after.conf"});
    EXPECT_EQ(-1, p.ret);
    EXPECT_EQ(0u, p.err.find("ERROR: Incorrect argument! [--nosuch]\n")) << p.err;
    EXPECT_STREQ("", bad->filler_path);

    st::write_file(dir / "help.conf", "--help\n");
    st::App help;
    p = parse(help, {dir / "help.conf"});
    EXPECT_EQ(-1, p.ret);
    expect_usage(p.err);

    // A line longer than 4095 bytes is read as pieces; the rest of this one
    // names no file, so the whole start is refused.
    st::write_file(dir / "long.conf", "--filler=" + std::string(5000, 'x') + "\n");
    st::App cut;
    p = parse(cut, {dir / "long.conf"});
    EXPECT_EQ(-1, p.ret);
    EXPECT_NE(std::string::npos, p.err.find("opts_from_file: failed to open [xxx")) << p.err;
}

TEST(OptsFile, CyclesAreRefused)
{
    st::TempDir dir;
    st::write_file(dir / "self.conf", "--debug\n" + (dir / "self.conf") + "\n");
    st::write_file(dir / "a.conf", "--debug\n" + (dir / "b.conf") + "\n");
    // b.conf names a.conf through another path spelling.
    st::write_file(dir / "b.conf", "--debug\n" + dir.path + "/./a.conf\n");
    for (const char *name : {"self.conf", "b.conf"}) {
        st::App app;
        Parse p = parse(app, {dir / name});
        EXPECT_EQ(-1, p.ret) << name;
        EXPECT_NE(std::string::npos, p.err.find("opts_from_file: options file [")) << p.err;
        EXPECT_NE(std::string::npos, p.err.find("refused")) << p.err;
    }
    // The same file twice side by side is no cycle.
    st::write_file(dir / "d.conf", "--debug\n");
    st::App app;
    Parse p = parse(app, {dir / "d.conf", dir / "d.conf"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(2, app->debug);
}

TEST(OptsFile, NestingIsBoundedAtSixteenFiles)
{
    st::TempDir dir;
    auto chain = [&](int files) {
        for (int i = 1; i <= files; i++) {
            std::string text = "--debug\n";
            if (i < files)
                text += (dir / ("f" + std::to_string(i + 1))) + "\n";
            st::write_file(dir / ("f" + std::to_string(i)), text);
        }
    };
    chain(OPTS_FILE_MAX_DEPTH);
    st::App app;
    Parse p = parse(app, {dir / "f1"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(OPTS_FILE_MAX_DEPTH, app->debug);

    chain(OPTS_FILE_MAX_DEPTH + 1);
    st::App deep;
    p = parse(deep, {dir / "f1"});
    EXPECT_EQ(-1, p.ret);
    EXPECT_NE(std::string::npos, p.err.find("nested deeper than 16")) << p.err;
}

TEST(OptsFile, AtMost4095ArgumentLines)
{
    st::TempDir dir;
    std::string lines;
    for (int i = 0; i < OPTS_FILE_MAX_ENTRIES - 1; i++)
        lines += "--debug\n# comment lines do not count\n";
    st::write_file(dir / "full.conf", lines);
    st::write_file(dir / "over.conf", lines + "--debug\n");

    st::App app;
    Parse p = parse(app, {dir / "full.conf"});
    EXPECT_EQ(0, p.ret) << p.err;
    EXPECT_EQ(OPTS_FILE_MAX_ENTRIES - 1, app->debug);

    st::App over;
    p = parse(over, {dir / "over.conf"});
    EXPECT_EQ(-1, p.ret);
    EXPECT_EQ(0, over->debug);  // nothing of the file is applied
    EXPECT_NE(std::string::npos, p.err.find("more than 4095 arguments")) << p.err;
}

namespace {
int calls;
int seen_argc;
std::string seen_first, seen_last;
int record_parse(app_ctx *, int argc, char **argv)
{
    calls++;
    seen_argc = argc;
    seen_first = argv[0];
    seen_last = argv[argc - 1];
    return 7;
}
} // namespace

TEST(OptsFile, ReaderHandsTheListToItsCallback)
{
    st::TempDir dir;
    st::App app;
    st::write_file(dir / "a.conf", "one\n\n two \n");
    calls = 0;
    EXPECT_EQ(7, opts_from_file((dir / "a.conf").c_str(), app.ctx, record_parse));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(3, seen_argc);
    EXPECT_EQ(dir / "a.conf", seen_first);
    EXPECT_EQ("two", seen_last);

    st::write_file(dir / "none.conf", "# nothing\n");
    calls = 0;
    EXPECT_EQ(0, opts_from_file((dir / "none.conf").c_str(), app.ctx, record_parse));
    EXPECT_EQ(0, calls);

    testing::internal::CaptureStderr();
    EXPECT_EQ(1, opts_from_file((dir / "no.conf").c_str(), app.ctx, record_parse));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, calls);
}
