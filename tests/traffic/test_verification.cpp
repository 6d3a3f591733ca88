// The verification file: what aired at its byte positions, every other line
// as it came, the file replaced whole, and where it goes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "lib/test_support.h"
#include "traffic/sch.h"
#include "traffic/verification.h"

namespace {

TEST(Verification, WhatAiredGoesBackAtItsBytePositions)
{
    setenv("TZ", "UTC", 1);
    tzset();
    std::string loi = sch::record("LOI", "0301", "1000", "0030", 1, 2, "000030", "SPOT1");
    std::string text = "REM kept\n" + loi + "\nNUL 0301 120000 1015 0015 001\n";
    schedule *s = nullptr;
    ASSERT_EQ(0, schedule_parse(text.data(), text.size(), 1709283600000, &s, nullptr, nullptr));
    schedule_record *r = &s->records[1];
    r->aired_ms = 1709287204500;  // 10:00:04.5
    r->aired_length = 2999;       // 29.99 s
    r->aired_position = 1;
    r->status = SCHEDULE_STATUS_AIRED;
    s->records[2].status = SCHEDULE_STATUS_NO_BREAK;

    char line[512];
    ASSERT_EQ((int)loi.size(), verification_line(r, line, sizeof(line)));
    std::string got = line;
    EXPECT_EQ("100004", got.substr(41, 6));
    EXPECT_EQ("00002999", got.substr(48, 8));
    EXPECT_EQ("001", got.substr(57, 3));
    EXPECT_EQ("0001", got.substr(73, 4));
    EXPECT_EQ(loi.substr(0, 41), got.substr(0, 41));  // the schedule's own fields are kept
    EXPECT_EQ(loi.substr(77), got.substr(77));
    EXPECT_EQ(-ENOSPC, verification_line(r, line, 20));

    kt::TempDir dir;
    std::string path = dir / "301AB123.VER";
    ASSERT_EQ(0, verification_write(s, path.c_str()));
    std::string nul = "NUL 0301 120000 1015 0015 001" + std::string(12, ' ') + "000000 00000000 000" +
                      std::string(13, ' ') + "1003";  // padded out to its status
    EXPECT_EQ("REM kept\n" + got + "\n" + nul + "\n", kt::read_file(path));
    EXPECT_FALSE(kt::read_file(path + ".tmp").size());
    s->crlf = 1;  // a schedule read with CR LF line ends goes back with them
    size_t size = 0;
    char *crlf = verification_text(s, &size);
    EXPECT_EQ("REM kept\r\n" + got + "\r\n" + nul + "\r\n", std::string(crlf, size));
    free(crlf);
    EXPECT_EQ(-ENOENT, verification_write(s, (dir / "none/x.VER").c_str()));
    schedule_destroy(&s);
}

TEST(Verification, BesideTheScheduleOrWhereTheOptionSays)
{
    kt::TempDir dir;
    struct { const char *schedule, *option; std::string want; } rows[] = {
        {"/srv/sch/301AB123.SCH", nullptr, "/srv/sch/301AB123.VER"},
        {"301ab123.sch", "", "301ab123.ver"},
        {"/srv/sch/301AB123.SCH", dir.path.c_str(), dir / "301AB123.VER"},
        {"/srv/sch/301AB123.SCH", "/srv/out/today.ver", "/srv/out/today.ver"},
    };
    char path[256];
    for (const auto &row : rows) {
        ASSERT_EQ(0, verification_path(row.schedule, row.option, path, sizeof(path))) << row.schedule;
        EXPECT_EQ(row.want, path);
    }
    EXPECT_EQ(-ENAMETOOLONG, verification_path("/srv/sch/301AB123.SCH", nullptr, path, 10));
}

} // namespace
