// libFuzzer target for the SCTE 35 section decoder. libFuzzer hands over a
// buffer of exactly the input's size, so AddressSanitizer reports any read
// past it; the checks below catch results that break the parser's contract.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "scte35/scte35.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > INT32_MAX)
        return 0;
    scte35_section s;
    memset(&s, 0, sizeof(s));
    int ret = scte35_parse_section(data, (int32_t)size, &s);
    if (ret != 0 && ret != -22 && ret != -34)
        abort();
    if (s.splice_insert.component_count > SCTE35_MAX_COMPONENTS)
        abort();
    if (ret == 0 && (s.section_length + 3u > size || s.table_id != 0xFC))
        abort();
    if (s.pts_adjustment >> 33 || s.splice_insert.splice_time.value >> 33 ||
        s.splice_insert.break_duration.value >> 33)
        abort();
    return 0;
}
