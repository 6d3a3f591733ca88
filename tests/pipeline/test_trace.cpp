// Timestamp texts, packet trace lines and the media library's log callback.
// The logger runs with a temporary file for the whole executable; tests read
// the lines it wrote.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "common/log.h"
#include "common/log_internal.h"
#include "pipeline/trace.h"

namespace {

std::string log_path;

// The two sinks the programs install: the service's logger, the demo's stderr.
void to_log(void *, int, const char *line) { log_printf(LOG_INFO, "%s", line); }
void to_stderr(void *, int, const char *line) { fprintf(stderr, "%s\n", line); }
const trace_sink log_sink = {to_log, nullptr};
const trace_sink stderr_sink = {to_stderr, nullptr};
size_t log_offset;  // bytes of the log file already looked at

class LogFile : public ::testing::Environment {
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kestrow-trace-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        log_path = dir + "/trace.log";
        log_set_stderr(0);
        ASSERT_EQ(0, log_start(log_path.c_str(), 1000000));
        log_packet_set_sink(&log_sink);
    }
    void TearDown() override
    {
        log_stop();
        unlink(log_path.c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

::testing::Environment *const log_env = ::testing::AddGlobalTestEnvironment(new LogFile);

// The messages (text after the time stamp) logged since the last call.
std::vector<std::string> new_messages()
{
    EXPECT_EQ(0, log_flush(5000));
    std::ifstream in(log_path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    std::vector<std::string> out;
    if (text.size() <= log_offset)
        return out;
    std::istringstream rest(text.substr(log_offset));
    log_offset = text.size();
    std::string line;
    while (std::getline(rest, line)) {
        size_t end = line.find("] ");
        out.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return out;
}

void callback(int level, const char *fmt, ...)
{
    va_list vl;
    va_start(vl, fmt);
    ffmpeg_log_callback(nullptr, level, fmt, vl);
    va_end(vl);
}

// Standard error written while fn runs.
template <typename F> std::string capture_stderr(F fn)
{
    char tmpl[] = "/tmp/kestrow-stderr-XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::ifstream in(tmpl);
    std::stringstream text;
    text << in.rdbuf();
    unlink(tmpl);
    return text.str();
}

const AVRational k90k = {1, 90000};

} // namespace

TEST(TimestampText, TicksAndSeconds)
{
    char buf[TS_TEXT_SIZE] = {0};
    EXPECT_STREQ("NOPTS", ts_to_str(buf, AV_NOPTS_VALUE));
    EXPECT_STREQ("0", ts_to_str(buf, 0));
    EXPECT_STREQ("-1", ts_to_str(buf, -1));
    EXPECT_STREQ("8589934591", ts_to_str(buf, 8589934591LL));
    EXPECT_STREQ("-9223372036854775807", ts_to_str(buf, -INT64_MAX));

    EXPECT_STREQ("NOPTS", ts_to_timestr(buf, AV_NOPTS_VALUE, k90k));
    EXPECT_STREQ("1", ts_to_timestr(buf, 90000, k90k));
    EXPECT_STREQ("1.11111e-05", ts_to_timestr(buf, 1, k90k));
    EXPECT_STREQ("0.0015", ts_to_timestr(buf, 135, k90k));
    EXPECT_STREQ("-0.04", ts_to_timestr(buf, -40, AVRational{1, 1000}));

    char err[ERR_TEXT_SIZE] = {0};
    EXPECT_EQ(err, err_to_str(err, sizeof(err), AVERROR(ENOENT)));
    EXPECT_STREQ("No such file or directory", err);
    EXPECT_STREQ("End of file", err_to_str(err, sizeof(err), AVERROR_EOF));
}

TEST(PacketTrace, MissingPtsRightAlignedOnStderr)
{
    AVPacket *pkt = av_packet_alloc();
    ASSERT_EQ(0, av_new_packet(pkt, 188));
    pkt->pts = AV_NOPTS_VALUE;
    pkt->dts = 3600;
    pkt->duration = 3600;
    pkt->stream_index = 2;

    log_packet_set_sink(&stderr_sink);
    std::string text = capture_stderr([&] { log_packet_tb(k90k, pkt, "Vin"); });
    log_packet_set_sink(&log_sink);
    EXPECT_EQ("Vin: pts:     NOPTS pts_time:     NOPTS dts:      3600 dts_time:      0.04 "
              "duration:      3600 duration_time:      0.04 stream_index:2, size=188\n",
              text);
    av_packet_free(&pkt);
}

TEST(PacketTrace, LoggerSinkUsesTheStreamTimeBase)
{
    new_messages();
    AVFormatContext *fmt = avformat_alloc_context();
    ASSERT_NE(nullptr, fmt);
    AVStream *st = avformat_new_stream(fmt, nullptr);
    st->time_base = AVRational{1, 1000};
    AVPacket *pkt = av_packet_alloc();
    pkt->pts = 1500;
    pkt->dts = 1000;
    pkt->duration = 40;
    pkt->stream_index = 0;

    log_packet(fmt, pkt, "key");
    // No stream 5 in the context: 90 kHz ticks are assumed.
    pkt->stream_index = 5;
    log_packet(fmt, pkt, "SCTE-35");

    std::vector<std::string> lines = new_messages();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("key: pts:      1500 pts_time:       1.5 dts:      1000 dts_time:         1 "
              "duration:        40 duration_time:      0.04 stream_index:0, size=0",
              lines[0]);
    EXPECT_EQ("SCTE-35: pts:      1500 pts_time: 0.0166667 dts:      1000 dts_time: 0.0111111 "
              "duration:        40 duration_time:0.000444444 stream_index:5, size=0",
              lines[1]);
    av_packet_free(&pkt);
    avformat_free_context(fmt);
}

TEST(LibraryLog, GathersPiecesIntoLines)
{
    new_messages();
    av_log_set_callback(ffmpeg_log_callback);
    av_log(nullptr, AV_LOG_INFO, "abc");
    av_log(nullptr, AV_LOG_INFO, "%s\n", "def");
    av_log_set_callback(av_log_default_callback);

    callback(AV_LOG_ERROR, "first %d\nsecond %s\nthird", 1, "two");
    callback(AV_LOG_WARNING, "\n");

    std::vector<std::string> lines = new_messages();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("FFMPEG: abcdef", lines[0]);
    EXPECT_EQ("FFMPEG: first 1", lines[1]);
    EXPECT_EQ("FFMPEG: second two", lines[2]);
    EXPECT_EQ("FFMPEG: third", lines[3]);
}

TEST(LibraryLog, VerboseAndDetailedMessagesAreIgnored)
{
    new_messages();
    callback(AV_LOG_INFO, "kept ");
    callback(AV_LOG_VERBOSE, "verbose\n");
    callback(AV_LOG_DEBUG, "debug\n");
    callback(AV_LOG_TRACE, "trace\n");
    callback(AV_LOG_PANIC, "and kept\n");

    std::vector<std::string> lines = new_messages();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("FFMPEG: kept and kept", lines[0]);
}

TEST(LibraryLog, FullBufferWithoutLineFeedIsFlushed)
{
    new_messages();
    const std::string a(20000, 'a'), b(20000, 'b');
    callback(AV_LOG_INFO, "%s", a.c_str());
    callback(AV_LOG_INFO, "%s", b.c_str());
    callback(AV_LOG_INFO, "\n");
    callback(AV_LOG_INFO, "after\n");

    // 32767 characters fill the buffer: they make one line, and the rest of
    // the message starts the next one. Nothing is lost.
    std::vector<std::string> lines = new_messages();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("FFMPEG: " + a + std::string(32767 - 20000, 'b'), lines[0]);
    EXPECT_EQ("FFMPEG: " + std::string(20000 - (32767 - 20000), 'b'), lines[1]);
    EXPECT_EQ("FFMPEG: after", lines[2]);
}
