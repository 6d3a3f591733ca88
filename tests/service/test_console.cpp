/*
 * The console's timeline: what becomes of each break from the as-run
 * records, as sequences of records in table rows; and the state document's
 * text fields as valid JSON whatever bytes the options gave.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/utils.h"
#include "service/console.h"
#include "support.h"

namespace {

/* A record of event for splice_event_id id at time s (seconds), reason as given. */
console_entry entry(int event, int64_t id, int64_t s, const char *reason = "")
{
    console_entry e;
    e.rec = asrun_record_make(event, s * 1000);
    e.rec.splice_event_id = id;
    snprintf(e.rec.reason, sizeof(e.rec.reason), "%s", reason);
    e.splice_ms = (s + 5) * 1000;
    return e;
}

/* "id:state:reason:spots" of each break, in order. */
std::string breaks(const std::vector<console_entry> &entries)
{
    std::string out;
    for (const console_break &b : console_breaks(entries.data(), (int)entries.size())) {
        out += std::to_string(b.splice_event_id) + ":" + console_break_state_name(b.state) + ":" + b.reason + ":" +
               std::to_string(b.spots.size()) + " ";
    }
    return out;
}

} // namespace

TEST(Console, BreaksFromTheirRecords)
{
    struct Row {
        std::vector<console_entry> entries;
        const char *want;
    };
    const Row rows[] = {
        {{entry(ASRUN_CUE, 1, 0), entry(ASRUN_ARMED, 1, 0, "cue")}, "1:armed::0 "},
        {{entry(ASRUN_ARMED, 1, 0), entry(ASRUN_BREAK_START, 1, 5), entry(ASRUN_SPOT, 1, 9, "aired"),
          entry(ASRUN_BREAK_END, 1, 11, "duration")},
         "1:aired:duration:1 "},
        // A spot's record that comes after its break's end still belongs to it.
        {{entry(ASRUN_ARMED, 1, 0), entry(ASRUN_BREAK_START, 1, 5), entry(ASRUN_BREAK_END, 1, 11, "return_cue"),
          entry(ASRUN_SPOT, 1, 11, "cut_short")},
         "1:aired:return_cue:1 "},
        // Kept behind the armed one, then armed when it ends; the id used again later is a new break.
        {{entry(ASRUN_ARMED, 1, 0), entry(ASRUN_KEPT, 2, 1, "after_armed"), entry(ASRUN_BREAK_SKIPPED, 1, 5, "no_video"),
          entry(ASRUN_ARMED, 2, 6, "kept"), entry(ASRUN_ARMED, 1, 60)},
         "1:skipped:no_video:0 2:armed::0 1:armed::0 "},
        {{entry(ASRUN_KEPT, 3, 0), entry(ASRUN_CANCELLED, 3, 1, "kept"), entry(ASRUN_KEPT, 4, 2),
          entry(ASRUN_DROPPED, 4, 3, "max_pending"), entry(ASRUN_ARMED, 5, 4), entry(ASRUN_EXPIRED, 5, 5, "passed")},
         "3:cancelled:kept:0 4:dropped:max_pending:0 5:expired:passed:0 "},
        // Cues, repeats and records without an event id make no break.
        {{entry(ASRUN_CUE, 1, 0), entry(ASRUN_REPEAT, 1, 1), entry(ASRUN_IGNORED, ASRUN_NONE, 2, "crc_mismatch")}, ""},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.want, breaks(r.entries)) << r.want;

    // Its times: announced at the armed record, then aired.
    std::vector<console_entry> e = {entry(ASRUN_ARMED, 9, 0), entry(ASRUN_RETURN, 9, 3), entry(ASRUN_BREAK_START, 9, 5),
                                    entry(ASRUN_BREAK_END, 9, 8)};
    e[3].rec.aired = 270000;
    std::vector<console_break> b = console_breaks(e.data(), (int)e.size());
    ASSERT_EQ(1u, b.size());
    EXPECT_EQ(5000, b[0].splice_ms);
    EXPECT_EQ(8000, b[0].return_ms);
    EXPECT_EQ(5000, b[0].start_ms);
    EXPECT_EQ(8000, b[0].end_ms);
    EXPECT_EQ(270000, b[0].aired);
    EXPECT_EQ(&e[3].rec, b[0].end);
}

TEST(Console, VerificationStatusOfEachSpotReason)
{
    // reason, the status the record carries (0: none), the verification file's status
    const std::tuple<const char *, int, int> rows[] = {
        {"aired", 0, 1},         {"cut_short", 0, 1005},     {"break_too_short", 0, 1001}, {"unusable", 0, 1002},
        {"break_skipped", 0, 1004}, {"unusable", 1006, 1006}, {"unusable", 1007, 1007},      {"other", 0, 0}};
    for (const auto &[reason, carried, ver] : rows) {
        asrun_record r = asrun_record_make(ASRUN_SPOT, 0);
        utils_strlcpy(r.reason, reason, sizeof(r.reason));
        r.ver_status = carried ? carried : ASRUN_NONE;
        EXPECT_EQ(ver, console_ver_status(&r)) << reason << " " << carried;
    }
}

TEST(Console, StateIsValidJsonWhateverTheOptionsBytes)
{
    st::App app;
    // Cut UTF-8, a quote, a control character: each comes out escaped or replaced.
    strcpy(app->service_name, "Caf\xc3\xa9 \"24\"\x01\xe2\x82");
    std::string doc = console_state_json(app.ctx, nullptr, 1700000000000);
    EXPECT_NE(std::string::npos, doc.find("\"name\":\"Caf\xc3\xa9 \\\"24\\\"\\u0001\xef\xbf\xbd\xef\xbf\xbd\"")) << doc;
    EXPECT_NE(std::string::npos, doc.find("\"time\":\"2023-11-14T22:13:20.000Z\""));
    EXPECT_EQ('\n', doc.back());
}
