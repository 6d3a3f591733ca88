// libFuzzer target for the SCTE 35 section decoder. libFuzzer hands over a
// buffer of exactly the input's size, so AddressSanitizer reports any read
// past it; the checks below read the decoded fields and catch results that
// break the parser's contract.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "scte35/scte35.h"

namespace {

bool time_ok(const scte35_time_field &t) { return t.flag <= 1 && !(t.value >> 33); }

bool insert_ok(const scte35_splice_insert &i)
{
    bool ok = time_ok(i.splice_time) && time_ok(i.break_duration) &&
              i.component_count <= SCTE35_MAX_COMPONENTS &&
              (i.splice_event_cancel_indicator | i.out_of_network_indicator | i.program_splice_flag |
               i.duration_flag | i.splice_immediate_flag) <= 1;
    for (int c = 0; ok && c < i.component_count; c++)
        ok = time_ok(i.component_splice_time[c]);
    return ok;
}

// A segmentation descriptor is stored whole: what it does not carry is 0.
bool segmentation_ok(const scte35_segmentation &g)
{
    if (g.segmentation_event_cancel_indicator) {
        scte35_segmentation only_id;
        memset(&only_id, 0, sizeof(only_id));
        only_id.segmentation_event_id = g.segmentation_event_id;
        only_id.segmentation_event_cancel_indicator = 1;
        return memcmp(&only_id, &g, sizeof(g)) == 0;
    }
    const uint8_t sub_types[] = {0x34, 0x36, 0x38, 0x3A, 0x44, 0x46};
    bool ok = (g.program_segmentation_flag | g.segmentation_duration_flag |
               g.delivery_not_restricted_flag | g.web_delivery_allowed_flag |
               g.no_regional_blackout_flag | g.archive_allowed_flag | g.sub_segment_present) <= 1 &&
              g.device_restrictions <= 3 && g.component_count <= SCTE35_MAX_COMPONENTS &&
              !(g.program_segmentation_flag && g.component_count) &&
              !(g.delivery_not_restricted_flag &&
                (g.web_delivery_allowed_flag | g.no_regional_blackout_flag |
                 g.archive_allowed_flag | g.device_restrictions)) &&
              !(g.segmentation_duration >> (g.segmentation_duration_flag ? 40 : 0)) &&
              (g.sub_segment_present ? memchr(sub_types, g.segmentation_type_id, sizeof(sub_types)) != nullptr
                                     : !(g.sub_segment_num | g.sub_segments_expected));
    for (int c = 0; ok && c < g.component_count; c++)
        ok = !(g.component_pts_offset[c] >> 33);
    for (int k = g.segmentation_upid_length; ok && k < SCTE35_MAX_UPID; k++)
        ok = !g.segmentation_upid[k];
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > INT32_MAX)
        return 0;
    scte35_section s;
    memset(&s, 0, sizeof(s));
    int ret = scte35_parse_section(data, (int32_t)size, &s);
    if (ret != 0 && ret != -22 && ret != -34)
        abort();
    if (s.pts_adjustment >> 33 || !insert_ok(s.splice_insert) || !time_ok(s.time_signal.splice_time))
        abort();
    if (ret != 0)
        return 0;
    const unsigned all_defects = SCTE35_DEFECT_CRC | SCTE35_DEFECT_COMMAND |
                                 SCTE35_DEFECT_DESCRIPTOR | SCTE35_DEFECT_OVERFLOW;
    if (s.section_length + 3u > size || s.table_id != 0xFC || (s.defects & ~all_defects) ||
        !(s.defects & SCTE35_DEFECT_DESCRIPTOR) != !s.descriptors_skipped)
        abort();
    // Nothing of a scrambled command is decoded; a schedule counts no more events than it carries.
    if ((s.encrypted_packet &&
         (s.splice_command_type || s.descriptor_loop_length || (s.defects & ~SCTE35_DEFECT_CRC))) ||
        s.schedule.event_count > s.schedule.splice_count)
        abort();

    // The loop's descriptors fit within descriptor_loop_length: each takes
    // 2 bytes of head and its length (at least 4); a skipped one at least 1
    // byte. Every CUEI segmentation descriptor listed was decoded.
    unsigned kept = s.descriptor_count < SCTE35_MAX_DESCRIPTORS ? s.descriptor_count
                                                                : SCTE35_MAX_DESCRIPTORS;
    unsigned used = (s.descriptor_count - kept) * 6u + s.descriptors_skipped;
    unsigned segmentation = 0;
    for (unsigned d = 0; d < kept; d++) {
        const scte35_descriptor &h = s.descriptors[d];
        used += 2u + h.length;
        if (h.length < 4 ||
            (h.tag == SCTE35_TAG_SEGMENTATION && h.identifier != SCTE35_IDENTIFIER_CUEI))
            abort();
        segmentation += h.tag == SCTE35_TAG_SEGMENTATION;
    }
    if (segmentation > SCTE35_MAX_SEGMENTATION)
        segmentation = SCTE35_MAX_SEGMENTATION;
    if (used > s.descriptor_loop_length || s.segmentation_count > SCTE35_MAX_SEGMENTATION ||
        (kept == s.descriptor_count && s.segmentation_count != segmentation))
        abort();

    // The loop is walked after a known command in a clear section; the
    // descriptors it keeps are the same whatever the record held before.
    const uint8_t known[] = {0, 4, 5, 6, 7, 0xFF};
    const bool walked = !s.encrypted_packet && memchr(known, s.splice_command_type, sizeof(known));
    scte35_section again;
    memset(&again, 0xA5, sizeof(again));
    if (scte35_parse_section(data, (int32_t)size, &again) != 0 ||
        (walked && again.segmentation_count != s.segmentation_count) ||
        (!walked && (s.descriptor_count || s.descriptors_skipped || s.segmentation_count)))
        abort();
    for (int n = 0; n < s.segmentation_count; n++)
        if (!segmentation_ok(s.segmentation[n]) ||
            memcmp(&s.segmentation[n], &again.segmentation[n], sizeof(s.segmentation[n])) != 0)
            abort();
    return 0;
}
