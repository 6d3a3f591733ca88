/*
 * Schedule files: lines split, each record's fields read at their byte
 * positions, windows placed on the wall clock.
 */
#include "traffic/schedule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/utils.h"

namespace {

enum field_kind { KIND_DATE, KIND_CLOCK, KIND_HHMM, KIND_MINUTES, KIND_BREAK, KIND_POSITION, KIND_LENGTH, KIND_TEXT };

/* One field of a record: its name for the warning, bytes from-to (from 1). */
struct field {
    const char *name;
    int from, to;
    int kind;
};

/* The fields an LOI record must have readable, in line order; a NUL record needs the first five. */
const field record_fields[] = {
    {"date", 5, 8, KIND_DATE},
    {"scheduled time", 10, 15, KIND_CLOCK},
    {"window start", 17, 20, KIND_HHMM},
    {"window duration", 22, 25, KIND_MINUTES},
    {"break number", 27, 29, KIND_BREAK},
    {"position", 31, 33, KIND_POSITION},
    {"scheduled length", 35, 40, KIND_LENGTH},
    {"spot identification", 62, 72, KIND_TEXT},
};
const int NUL_FIELDS = 5;

/* The digits at bytes from-to of line (from 1) as a number; -1 when any is no digit or the line is short. */
long digits(const std::string &line, int from, int to)
{
    if ((int)line.size() < to)
        return -1;
    long v = 0;
    for (int i = from - 1; i < to; i++) {
        if (!isdigit((unsigned char)line[(size_t)i]))
            return -1;
        v = v * 10 + (line[(size_t)i] - '0');
    }
    return v;
}

/* Reads field f of line into r; false when it is unreadable. */
bool read_field(const std::string &line, const field &f, schedule_record *r)
{
    if (f.kind == KIND_TEXT) {
        if ((int)line.size() < f.from)
            return false;
        std::string id = line.substr((size_t)f.from - 1, (size_t)(f.to - f.from + 1));
        size_t a = id.find_first_not_of(' '), b = id.find_last_not_of(' ');
        if (a == std::string::npos)
            return false;
        utils_strlcpy(r->spot_id, id.substr(a, b - a + 1).c_str(), sizeof(r->spot_id));
        return true;
    }
    long v = digits(line, f.from, f.to);
    long hi = v / 100, lo = v % 100;
    switch (f.kind) {
    case KIND_DATE:
        r->month = (int)hi;
        r->day = (int)lo;
        return v >= 0 && hi >= 1 && hi <= 12 && lo >= 1 && lo <= 31;
    case KIND_CLOCK:
        return v >= 0 && v / 10000 < 24 && hi % 100 < 60 && lo < 60;
    case KIND_HHMM:
        r->window_start = (int)(hi * 60 + lo);
        return v >= 0 && hi < 24 && lo < 60;
    case KIND_MINUTES:
        r->window_minutes = (int)(hi * 60 + lo);
        return v > 0 && lo < 60;
    case KIND_BREAK:
        r->break_number = (int)v;
        return v >= 1;
    case KIND_POSITION:
        r->position = (int)v;
        return v >= 1;
    case KIND_LENGTH:
        r->length = (int)(v / 10000 * 3600 + hi % 100 * 60 + lo);
        return v >= 0 && hi % 100 < 60 && lo < 60;
    default:
        return false;
    }
}

/*
 * The type of line and, for LOI and NUL, its fields; a field it cannot
 * read makes it SCHEDULE_UNREAD and is named in *bad.
 */
int read_record(const std::string &line, schedule_record *r, const field **bad)
{
    if (line.find_first_not_of(" \t") == std::string::npos)
        return SCHEDULE_BLANK;
    std::string type = line.substr(0, 3);
    int kind = type == "LOI" ? SCHEDULE_LOI : type == "NUL" ? SCHEDULE_NUL : type == "REM" ? SCHEDULE_REM
             : type == "END" ? SCHEDULE_END : SCHEDULE_UNREAD;
    static const field type_field = {"event type", 1, 3, KIND_TEXT};
    if (kind == SCHEDULE_UNREAD) {
        *bad = &type_field;
        return kind;
    }
    if (kind != SCHEDULE_LOI && kind != SCHEDULE_NUL)
        return kind;
    int n = kind == SCHEDULE_LOI ? (int)(sizeof(record_fields) / sizeof(record_fields[0])) : NUL_FIELDS;
    for (int i = 0; i < n; i++) {
        if (!read_field(line, record_fields[i], r)) {
            *bad = &record_fields[i];
            return SCHEDULE_UNREAD;
        }
    }
    if (kind == SCHEDULE_NUL && !read_field(line, record_fields[NUL_FIELDS], r))
        r->position = 0;  // a NUL line may leave its position out
    return kind;
}

/* Local midnight plus minutes on month/day of year. */
int64_t local_ms(int year, int month, int day, int minutes)
{
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = minutes / 60;
    tm.tm_min = minutes % 60;
    tm.tm_isdst = -1;
    return (int64_t)mktime(&tm) * 1000;
}

/* Wall clock of record r's window start, in the year that puts its date nearest now_ms. */
int64_t place_window(const schedule_record *r, int64_t now_ms)
{
    time_t now = (time_t)(now_ms / 1000);
    struct tm tm;
    localtime_r(&now, &tm);
    int64_t best = SCHEDULE_NONE;
    for (int year = tm.tm_year + 1900 - 1; year <= tm.tm_year + 1900 + 1; year++) {
        int64_t t = local_ms(year, r->month, r->day, r->window_start);
        if (best == SCHEDULE_NONE || llabs(t - now_ms) < llabs(best - now_ms))
            best = t;
    }
    return best;
}

void warn_line(schedule_warn_fn warn, void *opaque, int line, const field *f, const std::string &text)
{
    if (!warn)
        return;
    char msg[256];
    std::string value = (int)text.size() >= f->from ? text.substr((size_t)f->from - 1, (size_t)(f->to - f->from + 1))
                                                    : std::string();
    snprintf(msg, sizeof(msg), "line %d: %s (bytes %d-%d) unreadable: [%s]; the record is left out", line, f->name,
             f->from, f->to, value.c_str());
    warn(opaque, msg);
}

void free_records(schedule *s)
{
    for (int i = 0; i < s->count; i++)
        free(s->records[i].text);
    free(s->records);
}

} // namespace

int schedule_parse(const char *text, size_t size, int64_t now_ms, schedule **out, schedule_warn_fn warn, void *opaque)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!text)
        return -EINVAL;
    schedule *s = (schedule *)calloc(1, sizeof(*s));
    size_t lines = (size_t)std::count(text, text + size, '\n') + 1;
    if (s)
        s->records = (schedule_record *)calloc(lines, sizeof(schedule_record));
    if (!s || !s->records) {
        free(s);
        return -ENOMEM;
    }
    int records = 0;
    for (size_t at = 0; at < size;) {
        const char *nl = (const char *)memchr(text + at, '\n', size - at);
        size_t end = nl ? (size_t)(nl - text) : size;
        std::string line(text + at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            s->crlf = 1;
        }
        schedule_record *r = &s->records[s->count];
        r->line = s->count + 1;
        r->aired_ms = r->air_pts = SCHEDULE_NONE;
        r->text = strdup(line.c_str());
        s->count++;
        if (!r->text) {
            free_records(s);
            free(s);
            return -ENOMEM;
        }
        const field *bad = nullptr;
        r->type = read_record(line, r, &bad);
        if (bad)
            warn_line(warn, opaque, r->line, bad, line);
        if (r->type == SCHEDULE_LOI || r->type == SCHEDULE_NUL)
            r->window_ms = place_window(r, now_ms);
        s->spots += r->type == SCHEDULE_LOI;
        records += r->type != SCHEDULE_BLANK && r->type != SCHEDULE_UNREAD;
    }
    if (records == 0) {
        free_records(s);
        free(s);
        return -ENODATA;
    }
    *out = s;
    return 0;
}

int schedule_load(const char *path, int64_t now_ms, schedule **out, schedule_warn_fn warn, void *opaque)
{
    if (!out || !path)
        return -EINVAL;
    *out = nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0 && text.size() <= SCHEDULE_MAX_BYTES)
        text.append(buf, (size_t)n);
    int ret = n < 0 ? -errno : 0;
    close(fd);
    if (ret == 0 && text.size() > SCHEDULE_MAX_BYTES)
        ret = -EFBIG;
    if (ret == 0)
        ret = schedule_parse(text.data(), text.size(), now_ms, out, warn, opaque);
    if (ret == 0)
        utils_strlcpy((*out)->path, path, sizeof((*out)->path));
    return ret;
}

int schedule_destroy(schedule **p)
{
    if (!p || !*p)
        return -EINVAL;
    free_records(*p);
    free(*p);
    *p = nullptr;
    return 0;
}

/* Whether id has exactly n letters or digits. */
static bool id_ok(const char *id, size_t n)
{
    if (!id || strlen(id) != n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!isalnum((unsigned char)id[i]))
            return false;
    return true;
}

int schedule_file_name(int64_t wall_ms, const char *channel, const char *headend, char *buf, size_t size)
{
    if (!id_ok(channel, 2) || !id_ok(headend, 3) || !buf)
        return -EINVAL;
    time_t t = (time_t)(wall_ms / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    int n = snprintf(buf, size, "%X%02d%s%s.SCH", tm.tm_mon + 1, tm.tm_mday, channel, headend);
    return n < 0 || (size_t)n >= size ? -ENOSPC : 0;
}

int schedule_day_file(const char *option, int64_t wall_ms, const char *channel, const char *headend, char *buf,
                      size_t size)
{
    struct stat st;
    char name[SCHEDULE_NAME_SIZE];
    if (!option || !buf)
        return -EINVAL;
    bool folder = stat(option, &st) == 0 && S_ISDIR(st.st_mode);
    int ret = folder ? schedule_file_name(wall_ms, channel ? channel : "", headend ? headend : "", name, sizeof(name)) : 0;
    if (ret < 0)
        return ret;
    int n = folder ? snprintf(buf, size, "%s/%s", option, name) : snprintf(buf, size, "%s", option);
    return n < 0 || (size_t)n >= size ? -ENOSPC : 0;
}

const char *schedule_config_error(const char *schedule, const char *spots, const char *channel,
                                  const char *headend)
{
    struct stat st;
    char name[SCHEDULE_NAME_SIZE];

    if (!schedule || !schedule[0])
        return "no schedule given";
    if (!spots || !spots[0])
        return "a schedule needs the folder of its spot files (--spots)";
    if (stat(schedule, &st) == 0 && S_ISDIR(st.st_mode) &&
        schedule_file_name(0, channel ? channel : "", headend ? headend : "", name, sizeof(name)) < 0)
        return "a schedule folder needs --channel-id (2 letters or digits) and --headend-id (3)";
    return nullptr;
}

bool schedule_same_window(const schedule_record *a, const schedule_record *b)
{
    return a->window_ms == b->window_ms && a->window_minutes == b->window_minutes;
}

int schedule_window_at(const schedule *s, int64_t wall_ms)
{
    int found = -1;
    for (int i = 0; s && i < s->count; i++) {
        const schedule_record *r = &s->records[i];
        if (r->type != SCHEDULE_LOI && r->type != SCHEDULE_NUL)
            continue;
        if (wall_ms >= r->window_ms && wall_ms < r->window_ms + (int64_t)r->window_minutes * 60000 &&
            (found < 0 || r->window_ms < s->records[found].window_ms))
            found = i;
    }
    return found;
}

int schedule_break_records(const schedule *s, int w, int n, int *out, int max)
{
    int count = 0;
    if (!s || w < 0 || w >= s->count)
        return 0;
    for (int i = 0; i < s->count && count < max; i++) {
        const schedule_record *r = &s->records[i];
        if ((r->type == SCHEDULE_LOI || r->type == SCHEDULE_NUL) && r->break_number == n &&
            schedule_same_window(r, &s->records[w]))
            out[count++] = i;
    }
    std::stable_sort(out, out + count, [s](int a, int b) { return s->records[a].position < s->records[b].position; });
    return count;
}
