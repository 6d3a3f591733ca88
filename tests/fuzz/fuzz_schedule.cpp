// libFuzzer target for the CCMS schedule reader (traffic/schedule.cpp): the
// input is a schedule file's text. Besides the sanitizers, the checks below
// catch results outside the reader's contract: records that are not the
// file's lines, fields out of their ranges, a window lookup or a break's
// records outside the schedule, and a verification text that does not give
// back every line.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "traffic/schedule.h"
#include "traffic/verification.h"

namespace {

const int64_t NOW_MS = INT64_C(1709294400000);  // 2024-03-01 12:00 UTC: each date's year is chosen from it

void count_warning(void *opaque, const char *text)
{
    if (!text || !memchr(text, '\0', 4096))
        abort();
    ++*(int *)opaque;
}

void check_record(const schedule_record &r, int index)
{
    if (r.type < SCHEDULE_BLANK || r.type > SCHEDULE_UNREAD || r.line != index + 1 || !r.text ||
        !memchr(r.spot_id, '\0', SCHEDULE_ID_SIZE) || r.aired_ms != SCHEDULE_NONE)
        abort();
    if (r.type == SCHEDULE_LOI || r.type == SCHEDULE_NUL) {
        if (r.month < 1 || r.month > 12 || r.day < 1 || r.day > 31 || r.window_start < 0 ||
            r.window_start >= 24 * 60 || r.window_minutes <= 0 || r.break_number < 1 || r.position < 0 ||
            r.length < 0)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    schedule *s = nullptr;
    int warnings = 0;
    int ret = schedule_parse((const char *)data, size, NOW_MS, &s, count_warning, &warnings);
    if (ret != 0) {
        if ((ret != -ENODATA && ret != -ENOMEM) || s)
            abort();
        return 0;
    }
    int spots = 0;
    for (int i = 0; i < s->count; i++) {
        check_record(s->records[i], i);
        spots += s->records[i].type == SCHEDULE_LOI;
    }
    if (s->count <= 0 || spots != s->spots || warnings > s->count)
        abort();

    // Every window's start finds a window, and a break's records are LOI or
    // NUL lines of the same window, as many as asked for at most.
    for (int i = 0; i < s->count; i++) {
        const schedule_record &r = s->records[i];
        if (r.type != SCHEDULE_LOI && r.type != SCHEDULE_NUL)
            continue;
        int w = schedule_window_at(s, r.window_ms);
        if (r.window_ms != SCHEDULE_NONE && (w < 0 || w >= s->count))
            abort();
        int idx[8];
        int n = schedule_break_records(s, i, r.break_number, idx, 8);
        if (n < 0 || n > 8)
            abort();
        for (int k = 0; k < n; k++)
            if (idx[k] < 0 || idx[k] >= s->count || !schedule_same_window(&s->records[idx[k]], &r))
                abort();
    }

    // The verification text gives back every line: at least as many bytes as the records' texts.
    size_t len = 0, lines = 0;
    char *text = verification_text(s, &len);
    for (int i = 0; i < s->count; i++)
        lines += strlen(s->records[i].text);
    if (!text || len < lines)
        abort();
    free(text);
    schedule_destroy(&s);
    if (s)
        abort();
    return 0;
}
