/*
 * Rate-limited failure lines.
 */
#include "service/ratelimit.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/utils.h"

namespace {

void report(ratelimit *rl, int64_t now_us)
{
    log_printf(rl->level, "%s (repeated %" PRId64 " times in %.0f s)", rl->line, rl->repeats,
               (double)(now_us - rl->reported_at) / 1e6);
    rl->repeats = 0;
    rl->reported_at = now_us;
}

} // namespace

int ratelimit_log(ratelimit *rl, int64_t now_us, int level, const char *fmt, ...)
{
    char line[RATELIMIT_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);

    if (rl->line[0] && strcmp(line, rl->line) == 0) {
        rl->repeats++;
        if (now_us - rl->reported_at < RATELIMIT_PERIOD_US)
            return 0;
        report(rl, now_us);
        return 1;
    }
    ratelimit_flush(rl, now_us);
    utils_strlcpy(rl->line, line, sizeof(rl->line));
    rl->level = level;
    rl->reported_at = now_us;
    log_printf(level, "%s", line);
    return 1;
}

void ratelimit_flush(ratelimit *rl, int64_t now_us)
{
    if (rl->line[0] && rl->repeats > 0)
        report(rl, now_us);
    rl->line[0] = '\0';
    rl->repeats = 0;
}
