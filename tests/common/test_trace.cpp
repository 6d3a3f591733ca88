// Timestamp texts, packet trace lines and the media library's log callback.
// The logger runs with a temporary file for the whole executable; tests read
// the lines it wrote.
#include <gtest/gtest.h>

#include <cstdarg>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "lib/test_support.h"
#include "common/log.h"
#include "common/log_internal.h"
#include "common/trace.h"

namespace {

kt::TempDir *dir;
// The sink the service installs: its logger.
void to_log(void *, int, const char *line) { log_printf(LOG_INFO, "%s", line); }
const trace_sink log_sink = {to_log, nullptr};
size_t log_offset;  // bytes of the log file already looked at

class LogFile : public ::testing::Environment {
public:
    void SetUp() override
    {
        dir = new kt::TempDir;
        log_set_stderr(0);
        ASSERT_EQ(0, log_start((*dir / "trace.log").c_str(), 1000000));
    }
    void TearDown() override
    {
        log_stop();
        delete dir;
    }
};

::testing::Environment *const log_env = ::testing::AddGlobalTestEnvironment(new LogFile);

// The messages (text after the time stamp) logged since the last call.
std::vector<std::string> new_messages()
{
    EXPECT_EQ(0, log_flush(5000));
    std::string text = kt::read_file(*dir / "trace.log");
    std::vector<std::string> out;
    for (auto &line : kt::split_lines(text.substr(std::min(log_offset, text.size())))) {
        size_t end = line.find("] ");
        out.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    log_offset = text.size();
    return out;
}

void callback(int level, const char *fmt, ...)
{
    va_list vl;
    va_start(vl, fmt);
    ffmpeg_log_callback(nullptr, level, fmt, vl);
    va_end(vl);
}

const AVRational k90k = {1, 90000};

} // namespace

TEST(TimestampText, TicksSecondsAndErrors)
{
    char buf[TS_TEXT_SIZE] = {0};
    struct {
        int64_t ts;
        const char *text;
    } ticks[] = {{AV_NOPTS_VALUE, "NOPTS"}, {0, "0"}, {-1, "-1"}, {8589934591LL, "8589934591"},
                 {-INT64_MAX, "-9223372036854775807"}};
    for (auto &c : ticks)
        EXPECT_STREQ(c.text, ts_to_str(buf, c.ts));
    struct {
        int64_t ts;
        AVRational tb;
        const char *text;
    } seconds[] = {{AV_NOPTS_VALUE, k90k, "NOPTS"}, {90000, k90k, "1"}, {1, k90k, "1.11111e-05"},
                   {135, k90k, "0.0015"}, {-40, {1, 1000}, "-0.04"}};
    for (auto &c : seconds)
        EXPECT_STREQ(c.text, ts_to_timestr(buf, c.ts, c.tb));
    char err[ERR_TEXT_SIZE] = {0};
    EXPECT_EQ(err, err_to_str(err, sizeof(err), AVERROR(ENOENT)));
    EXPECT_STREQ("No such file or directory", err);
    EXPECT_STREQ("End of file", err_to_str(err, sizeof(err), AVERROR_EOF));
}

TEST(PacketTrace, LinesInTheStreamsTimeBase)
{
    // In the stream's time base; 90 kHz for a stream the context lacks.
    AVPacket *pkt = av_packet_alloc();
    new_messages();
    AVFormatContext *fmt = avformat_alloc_context();
    avformat_new_stream(fmt, nullptr)->time_base = AVRational{1, 1000};
    pkt->pts = 1500;
    pkt->dts = 1000;
    pkt->duration = 40;
    pkt->stream_index = 0;
    log_packet(&log_sink, fmt, pkt, "key");
    pkt->stream_index = 5;
    log_packet(&log_sink, fmt, pkt, "SCTE-35");
    log_packet(nullptr, fmt, pkt, "none");
    EXPECT_EQ((std::vector<std::string>{
                  "key: pts:      1500 pts_time:       1.5 dts:      1000 dts_time:         1 "
                  "duration:        40 duration_time:      0.04 stream_index:0, size=0",
                  "SCTE-35: pts:      1500 pts_time: 0.0166667 dts:      1000 dts_time: 0.0111111 "
                  "duration:        40 duration_time:0.000444444 stream_index:5, size=0"}),
              new_messages());
    av_packet_free(&pkt);
    avformat_free_context(fmt);
}

TEST(LibraryLog, GathersPiecesIntoLinesAndDropsDetail)
{
    new_messages();
    av_log_set_callback(ffmpeg_log_callback);
    av_log(nullptr, AV_LOG_INFO, "abc");
    av_log(nullptr, AV_LOG_INFO, "%s\n", "def");
    av_log_set_callback(av_log_default_callback);
    callback(AV_LOG_ERROR, "first %d\nsecond %s\nthird", 1, "two");
    callback(AV_LOG_WARNING, "\n");
    callback(AV_LOG_INFO, "kept ");
    for (int level : {AV_LOG_VERBOSE, AV_LOG_DEBUG, AV_LOG_TRACE})
        callback(level, "detail\n");
    callback(AV_LOG_PANIC, "and kept\n");
    // 32767 characters fill the buffer: they make one line, and the rest of
    // the message starts the next one. Nothing is lost.
    const std::string a(20000, 'a'), b(20000, 'b');
    callback(AV_LOG_INFO, "%s", a.c_str());
    callback(AV_LOG_INFO, "%s", b.c_str());
    callback(AV_LOG_INFO, "\n");
    EXPECT_EQ((std::vector<std::string>{"FFMPEG: abcdef", "FFMPEG: first 1", "FFMPEG: second two",
                                        "FFMPEG: third", "FFMPEG: kept and kept",
                                        "FFMPEG: " + a + std::string(32767 - 20000, 'b'),
                                        "FFMPEG: " + std::string(20000 - (32767 - 20000), 'b')}),
              new_messages());
}

TEST(LibraryLog, PolicyCountsAFormatRepeatedPastItsBoundAndCanBeQuiet)
{
    new_messages();
    const ffmpeg_log_policy into_log = {1, 2, INT64_C(3600000000), "who"};
    ffmpeg_log_policy_set(&into_log);
    for (int i = 0; i < 5; i++)
        av_log(nullptr, AV_LOG_INFO, "same %d\n", i);
    av_log(nullptr, AV_LOG_INFO, "other\n");
    ffmpeg_log_quiet(1);
    av_log(nullptr, AV_LOG_ERROR, "hushed\n");
    ffmpeg_log_quiet(0);
    const ffmpeg_log_policy own = {0, 0, 0, nullptr};
    ffmpeg_log_policy_set(&own);
    EXPECT_EQ((std::vector<std::string>{"FFMPEG: same 0", "FFMPEG: same 1",
                                        "who: 3 lines of the media library like the previous one left out",
                                        "FFMPEG: other"}),
              new_messages());
}
