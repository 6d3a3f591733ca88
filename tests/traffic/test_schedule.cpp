// The schedule file: records read at their byte positions, one warning for a
// line that cannot be read, windows on the wall clock, the day's file name.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "traffic/schedule.h"
#include "traffic/sch.h"

namespace {

const int64_t NOW = 1709283600000;  // 2024-03-01 09:00:00 UTC

struct Parsed {
    schedule *s = nullptr;
    std::vector<std::string> warnings;
    int ret;
    explicit Parsed(const std::string &text)
    {
        setenv("TZ", "UTC", 1);
        tzset();
        ret = schedule_parse(text.data(), text.size(), NOW, &s, warn, this);
    }
    ~Parsed() { schedule_destroy(&s); }
    static void warn(void *opaque, const char *text) { ((Parsed *)opaque)->warnings.push_back(text); }
};

TEST(Schedule, RecordsAreReadAtTheirBytePositions)
{
    std::string text = "REM the day\r\n" + sch::record("LOI", "0301", "1000", "0130", 2, 2, "000030", "SPOT2") +
                       "\r\n" + sch::record("LOI", "0301", "1000", "0130", 2, 1, "010215", "00000000004") +
                       "\r\nNUL 0301 120000 1015 0015 001\r\n\r\nEND\r\n";
    Parsed p(text);
    ASSERT_EQ(0, p.ret);
    EXPECT_TRUE(p.warnings.empty());
    EXPECT_EQ(6, p.s->count);
    EXPECT_EQ(1, p.s->crlf);
    EXPECT_EQ(2, p.s->spots);
    const int types[] = {SCHEDULE_REM, SCHEDULE_LOI, SCHEDULE_LOI, SCHEDULE_NUL, SCHEDULE_BLANK, SCHEDULE_END};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(types[i], p.s->records[i].type) << i;
    const schedule_record &r = p.s->records[2];
    EXPECT_EQ(3, r.line);
    EXPECT_EQ(600, r.window_start);
    EXPECT_EQ(90, r.window_minutes);
    EXPECT_EQ(2, r.break_number);
    EXPECT_EQ(1, r.position);
    EXPECT_EQ(3735, r.length);  // 01:02:15
    EXPECT_STREQ("00000000004", r.spot_id);
    EXPECT_EQ(NOW + 3600000, r.window_ms);
    EXPECT_EQ(0, p.s->records[3].position);
    EXPECT_EQ(SCHEDULE_STATUS_OPEN, r.status);
    EXPECT_EQ(SCHEDULE_NONE, r.aired_ms);
}

TEST(Schedule, AnUnreadableRecordIsNamedOnceAndTheRestUsed)
{
    const std::string good = sch::record("LOI", "0301", "1000", "0030", 1, 1, "000030", "SPOT1");
    struct { int at; const char *put; const char *field; } rows[] = {
        {1, "LOX", "event type"},          {5, "13", "date"},
        {10, "25", "scheduled time"},     {17, "2460", "window start"},
        {22, "0000", "window duration"},  {27, "000", "break number"},
        {31, "0x1", "position"},          {35, "0000x0", "scheduled length"},
        {62, "           ", "spot identification"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.field);
        std::string bad = good;
        bad.replace((size_t)row.at - 1, strlen(row.put), row.put);
        Parsed p("REM\n" + bad + "\n" + good + "\n");
        ASSERT_EQ(0, p.ret);
        ASSERT_EQ(1u, p.warnings.size());
        EXPECT_EQ(0u, p.warnings[0].find("line 2: " + std::string(row.field) + " (bytes ")) << p.warnings[0];
        EXPECT_EQ(SCHEDULE_UNREAD, p.s->records[1].type);
        EXPECT_EQ(SCHEDULE_LOI, p.s->records[2].type);
        EXPECT_EQ(1, p.s->spots);
    }
    Parsed cut(good.substr(0, 50) + "\n");
    EXPECT_EQ(-ENODATA, cut.ret);
    ASSERT_EQ(1u, cut.warnings.size());
    EXPECT_EQ("line 1: spot identification (bytes 62-72) unreadable: []; the record is left out", cut.warnings[0]);
    EXPECT_EQ(nullptr, cut.s);
    EXPECT_EQ(-ENODATA, Parsed("\n\n").ret);
}

TEST(Schedule, WindowsOnTheWallClockAndTheDaysFileName)
{
    Parsed p(sch::record("LOI", "0301", "1015", "0100", 1, 2, "000030", "B2") + "\n" +
             sch::record("LOI", "0301", "1000", "0030", 1, 1, "000030", "A") + "\n" +
             sch::record("LOI", "0301", "1015", "0100", 1, 1, "000030", "B1") + "\n" +
             sch::record("NUL", "0302", "0000", "0010", 1, 1, "000000", "") + "\n" +
             sch::record("LOI", "1231", "2350", "0020", 1, 1, "000030", "D") + "\n");
    ASSERT_EQ(0, p.ret);
    const int64_t H = 3600000, M = 60000;
    struct { int64_t at; int record; } rows[] = {
        {NOW + H - 1, -1},      {NOW + H, 1},            {NOW + H + 20 * M, 1},  // the earlier of two windows
        {NOW + H + 30 * M, 0},  {NOW + 2 * H + 15 * M, -1},
        {NOW + 15 * H + 5 * M, 3},                                               // the next day
        {NOW - 61 * 24 * H + 14 * H + 55 * M, 4},                                // last year's Dec 31
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.record, schedule_window_at(p.s, row.at)) << row.at;
    int out[4];
    ASSERT_EQ(2, schedule_break_records(p.s, 0, 1, out, 4));
    EXPECT_STREQ("B1", p.s->records[out[0]].spot_id);
    EXPECT_STREQ("B2", p.s->records[out[1]].spot_id);
    EXPECT_EQ(0, schedule_break_records(p.s, 0, 2, out, 4));

    char name[SCHEDULE_NAME_SIZE];
    ASSERT_EQ(0, schedule_file_name(1728086400000, "AB", "123", name, sizeof(name)));  // 2024-10-05
    EXPECT_STREQ("A05AB123.SCH", name);
    ASSERT_EQ(0, schedule_file_name(NOW, "x7", "H01", name, sizeof(name)));
    EXPECT_STREQ("301x7H01.SCH", name);
    EXPECT_EQ(-EINVAL, schedule_file_name(NOW, "A", "123", name, sizeof(name)));
    EXPECT_EQ(-EINVAL, schedule_file_name(NOW, "AB", "12#", name, sizeof(name)));
    EXPECT_EQ(-ENOSPC, schedule_file_name(NOW, "AB", "123", name, 12));

    // The option itself, or the day's file in the folder it names.
    char path[SCHEDULE_PATH_SIZE];
    ASSERT_EQ(0, schedule_day_file("/nonexistent/day.SCH", NOW, nullptr, nullptr, path, sizeof(path)));
    EXPECT_STREQ("/nonexistent/day.SCH", path);
    ASSERT_EQ(0, schedule_day_file("/tmp", NOW, "x7", "H01", path, sizeof(path)));
    EXPECT_STREQ("/tmp/301x7H01.SCH", path);
    EXPECT_EQ(-EINVAL, schedule_day_file("/tmp", NOW, "x7", nullptr, path, sizeof(path)));
    EXPECT_EQ(-ENOSPC, schedule_day_file("/tmp", NOW, "x7", "H01", path, 10));
}

} // namespace
