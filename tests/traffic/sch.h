// A schedule record with its fields at their byte positions, for the traffic tests.
#ifndef KESTROW_TESTS_TRAFFIC_SCH_H
#define KESTROW_TESTS_TRAFFIC_SCH_H

#include <cstdio>
#include <string>

namespace sch {

// type date window-start window-duration break position length(HHMMSS) spot-id, the rest as a .SCH has it.
inline std::string record(const char *type, const char *date, const char *start, const char *minutes, int brk,
                          int pos, const char *length, const char *id)
{
    char line[256];
    snprintf(line, sizeof(line), "%s %s 120000 %s %s %03d %03d %s 000000 00000000 000 %-11s 0000 %-32s %-20s SCHD "
             "000000 own", type, date, start, minutes, brk, pos, length, id, "ACME Corp", "Spring");
    return line;
}

} // namespace sch

#endif
