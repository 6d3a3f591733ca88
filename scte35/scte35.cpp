/*
 * SCTE 35 splice_info_section decoder (ANSI/SCTE 35, Digital Program
 * Insertion Cueing Message). splice_insert and time_signal are decoded, the
 * event ids of a splice_schedule are read, the other known commands are
 * stepped over by their splice_command_length, and the splice descriptor
 * loop is walked descriptor by descriptor, decoding the segmentation
 * descriptors. An encrypted section is decoded up to splice_command_length
 * only. The CRC_32 is checked and its result reported without failing the
 * section.
 *
 * Every read is checked against the end of the section (section_length + 3
 * bytes, never more than the buffer holds), so a malformed command or
 * component list fails with -ERANGE instead of reading past the buffer. Inside
 * the descriptor loop the bound is the descriptor's own end: a malformed
 * descriptor costs only itself. Fields that fit are stored as they are read;
 * a splice_time, break_duration or segmentation descriptor is stored whole or
 * not at all.
 */
#include "scte35/scte35.h"

#include "common/mpegts.h"

#include <cerrno>
#include <cstring>

namespace {

/* Bits in a splice_time with a time (flag, 6 reserved, 33-bit pts_time). */
const int SPLICE_TIME_BITS_TIMED = 40;
/* Bits in a splice_time without a time (flag, 7 reserved). */
const int SPLICE_TIME_BITS_UNTIMED = 8;
/* Bits in a break_duration (auto_return, 6 reserved, 33-bit duration). */
const int BREAK_DURATION_BITS = 40;

/* True when n more bits starting at pos stay within limit bits. */
bool fits(int32_t pos, int64_t n, int32_t limit)
{
    return pos >= 0 && n >= 0 && (int64_t)pos + n <= (int64_t)limit;
}

/*
 * splice_time(): time_specified_flag, then either 6 reserved bits and the
 * 33-bit pts_time, or 7 reserved bits. Without a time the value is left as
 * the caller had it. Returns 0, or -ERANGE (nothing stored, position unchanged)
 * when the field runs past limit.
 */
int scte35_parse_splice_time(const uint8_t *data, int32_t *position, scte35_time_field *time,
                             int32_t limit)
{
    int32_t pos = *position;

    if (!fits(pos, SPLICE_TIME_BITS_UNTIMED, limit))
        return -ERANGE;
    int32_t peek = pos;
    uint8_t flag = (uint8_t)scte35_read_bit(data, &peek);
    if (flag && !fits(pos, SPLICE_TIME_BITS_TIMED, limit))
        return -ERANGE;

    pos = peek;
    time->flag = flag;
    if (flag) {
        pos += 6;
        time->value = scte35_read_bits(data, &pos, 33);
    } else {
        pos += 7;
    }
    *position = pos;
    return 0;
}

/*
 * break_duration(): auto_return, 6 reserved bits, 33-bit duration; always
 * 5 bytes. Returns 0, or -ERANGE (nothing stored) when it runs past limit.
 */
int scte35_parse_break_duration(const uint8_t *data, int32_t *position,
                                scte35_time_field *duration, int32_t limit)
{
    int32_t pos = *position;

    if (!fits(pos, BREAK_DURATION_BITS, limit))
        return -ERANGE;
    duration->flag = (uint8_t)scte35_read_bit(data, &pos);
    pos += 6;
    duration->value = scte35_read_bits(data, &pos, 33);
    *position = pos;
    return 0;
}

/*
 * splice_insert(). A cancelled event stores only splice_event_id and the
 * cancel indicator. Returns 0; -ERANGE when a field runs past limit or the
 * component list holds more than SCTE35_MAX_COMPONENTS entries (a count
 * above that is not stored). The fields read before the failure stay stored.
 */
int scte35_parse_splice_insert(const uint8_t *data, int32_t *position,
                               scte35_splice_insert *insert, int32_t limit)
{
    int32_t pos = *position;
    int ret = 0;

    if (!fits(pos, 32 + 1 + 7, limit))
        return -ERANGE;
    insert->splice_event_id = (uint32_t)scte35_read_bits(data, &pos, 32);
    insert->splice_event_cancel_indicator = (uint8_t)scte35_read_bit(data, &pos);
    pos += 7;
    if (insert->splice_event_cancel_indicator)
        goto out;

    if (!fits(pos, 8, limit)) {
        ret = -ERANGE;
        goto out;
    }
    insert->out_of_network_indicator = (uint8_t)scte35_read_bit(data, &pos);
    insert->program_splice_flag = (uint8_t)scte35_read_bit(data, &pos);
    insert->duration_flag = (uint8_t)scte35_read_bit(data, &pos);
    insert->splice_immediate_flag = (uint8_t)scte35_read_bit(data, &pos);
    pos += 4;

    if (insert->program_splice_flag == 1 && insert->splice_immediate_flag == 0) {
        ret = scte35_parse_splice_time(data, &pos, &insert->splice_time, limit);
        if (ret < 0)
            goto out;
    }

    if (insert->program_splice_flag == 0) {
        if (!fits(pos, 8, limit)) {
            ret = -ERANGE;
            goto out;
        }
        int32_t count_pos = pos;
        uint8_t count = (uint8_t)scte35_read_bits(data, &count_pos, 8);
        if (count > SCTE35_MAX_COMPONENTS) {
            ret = -ERANGE;
            goto out;
        }
        pos = count_pos;
        insert->component_count = count;
        for (int i = 0; i < count; i++) {
            if (!fits(pos, 8, limit)) {
                ret = -ERANGE;
                goto out;
            }
            insert->component_tag[i] = (uint8_t)scte35_read_bits(data, &pos, 8);
            if (insert->splice_immediate_flag == 0) {
                ret = scte35_parse_splice_time(data, &pos, &insert->component_splice_time[i],
                                               limit);
                if (ret < 0)
                    goto out;
            }
        }
    }

    if (insert->duration_flag == 1) {
        ret = scte35_parse_break_duration(data, &pos, &insert->break_duration, limit);
        if (ret < 0)
            goto out;
    }

    if (!fits(pos, 16 + 8 + 8, limit)) {
        ret = -ERANGE;
        goto out;
    }
    insert->unique_program_id = (uint16_t)scte35_read_bits(data, &pos, 16);
    insert->avail_num = (uint8_t)scte35_read_bits(data, &pos, 8);
    insert->avails_expected = (uint8_t)scte35_read_bits(data, &pos, 8);

out:
    *position = pos;
    return ret;
}

/*
 * splice_schedule() from pos to end bits: splice_count, then per event its
 * splice_event_id and the fields that follow it (skipped). Events decoded
 * whole are counted and their ids kept (the first SCTE35_MAX_SCHEDULE).
 * Returns 0, or -ERANGE when an event runs past end (those before it stay).
 */
int scte35_parse_schedule(const uint8_t *data, int32_t pos, int32_t end, scte35_schedule *schedule)
{
    if (!fits(pos, 8, end))
        return -ERANGE;
    schedule->splice_count = (uint8_t)scte35_read_bits(data, &pos, 8);
    for (int i = 0; i < schedule->splice_count; i++) {
        if (!fits(pos, 40, end))
            return -ERANGE;
        uint32_t id = (uint32_t)scte35_read_bits(data, &pos, 32);
        int cancel = scte35_read_bit(data, &pos);
        pos += 7;
        if (!cancel) {
            if (!fits(pos, 8, end))
                return -ERANGE;
            pos += 1;  // out_of_network_indicator
            int program = scte35_read_bit(data, &pos);
            int duration = scte35_read_bit(data, &pos);
            pos += 5;
            int64_t bits = 32;  // utc_splice_time
            if (!program) {
                if (!fits(pos, 8, end))
                    return -ERANGE;
                bits = 40 * (int64_t)scte35_read_bits(data, &pos, 8);  // component_tag, utc_splice_time each
            }
            bits += (duration ? 40 : 0) + 32;  // break_duration; unique_program_id, avail_num, avails_expected
            if (!fits(pos, bits, end))
                return -ERANGE;
            pos += (int32_t)bits;
        }
        if (schedule->event_count < SCTE35_MAX_SCHEDULE)
            schedule->splice_event_id[schedule->event_count] = id;
        schedule->event_count++;
    }
    return 0;
}

/* True for the segmentation_type_ids that may carry sub_segment_num and
 * sub_segments_expected. */
bool has_sub_segments(uint8_t type_id)
{
    switch (type_id) {
    case 0x34: case 0x36: case 0x38: case 0x3A: case 0x44: case 0x46:
        return true;
    default:
        return false;
    }
}

/*
 * segmentation_descriptor() from segmentation_event_id on (its identifier
 * was read), within end bits. Fills seg, which the caller zeroed. Returns 0,
 * or -ERANGE when a field runs past end or the component list holds more than
 * SCTE35_MAX_COMPONENTS entries; seg is then partly filled and not to be kept.
 * sub_segment_num and sub_segments_expected are optional: older senders stop
 * after segments_expected.
 */
int scte35_parse_segmentation(const uint8_t *data, int32_t pos, int32_t end,
                              scte35_segmentation *seg)
{
    if (!fits(pos, 32 + 1 + 7, end))
        return -ERANGE;
    seg->segmentation_event_id = (uint32_t)scte35_read_bits(data, &pos, 32);
    seg->segmentation_event_cancel_indicator = (uint8_t)scte35_read_bit(data, &pos);
    pos += 7; // event_id_compliance_indicator in later editions, reserved
    if (seg->segmentation_event_cancel_indicator)
        return 0;

    if (!fits(pos, 8, end))
        return -ERANGE;
    seg->program_segmentation_flag = (uint8_t)scte35_read_bit(data, &pos);
    seg->segmentation_duration_flag = (uint8_t)scte35_read_bit(data, &pos);
    seg->delivery_not_restricted_flag = (uint8_t)scte35_read_bit(data, &pos);
    if (seg->delivery_not_restricted_flag) {
        pos += 5;
    } else {
        seg->web_delivery_allowed_flag = (uint8_t)scte35_read_bit(data, &pos);
        seg->no_regional_blackout_flag = (uint8_t)scte35_read_bit(data, &pos);
        seg->archive_allowed_flag = (uint8_t)scte35_read_bit(data, &pos);
        seg->device_restrictions = (uint8_t)scte35_read_bits(data, &pos, 2);
    }

    if (!seg->program_segmentation_flag) {
        if (!fits(pos, 8, end))
            return -ERANGE;
        seg->component_count = (uint8_t)scte35_read_bits(data, &pos, 8);
        // component_tag, 7 reserved bits, 33-bit pts_offset
        if (seg->component_count > SCTE35_MAX_COMPONENTS ||
            !fits(pos, 48 * (int64_t)seg->component_count, end))
            return -ERANGE;
        for (int i = 0; i < seg->component_count; i++) {
            seg->component_tag[i] = (uint8_t)scte35_read_bits(data, &pos, 8);
            pos += 7;
            seg->component_pts_offset[i] = scte35_read_bits(data, &pos, 33);
        }
    }

    if (seg->segmentation_duration_flag) {
        if (!fits(pos, 40, end))
            return -ERANGE;
        seg->segmentation_duration = scte35_read_bits(data, &pos, 40);
    }

    if (!fits(pos, 16, end))
        return -ERANGE;
    seg->segmentation_upid_type = (uint8_t)scte35_read_bits(data, &pos, 8);
    seg->segmentation_upid_length = (uint8_t)scte35_read_bits(data, &pos, 8);
    if (!fits(pos, 8 * (int64_t)seg->segmentation_upid_length, end))
        return -ERANGE;
    for (int i = 0; i < seg->segmentation_upid_length; i++) {
        uint8_t byte = (uint8_t)scte35_read_bits(data, &pos, 8);
        if (i < SCTE35_MAX_UPID)
            seg->segmentation_upid[i] = byte;
    }

    if (!fits(pos, 24, end))
        return -ERANGE;
    seg->segmentation_type_id = (uint8_t)scte35_read_bits(data, &pos, 8);
    seg->segment_num = (uint8_t)scte35_read_bits(data, &pos, 8);
    seg->segments_expected = (uint8_t)scte35_read_bits(data, &pos, 8);
    if (has_sub_segments(seg->segmentation_type_id) && fits(pos, 16, end)) {
        seg->sub_segment_present = 1;
        seg->sub_segment_num = (uint8_t)scte35_read_bits(data, &pos, 8);
        seg->sub_segments_expected = (uint8_t)scte35_read_bits(data, &pos, 8);
    }
    return 0;
}

/*
 * The splice descriptor loop from pos to end bits (the caller checked that
 * end lies within the section). Each descriptor is delimited by its
 * descriptor_length. One whose head or body runs past the loop ends the walk,
 * one shorter than its identifier or a segmentation descriptor that does not
 * decode is stepped over; both are counted in descriptors_skipped. Fills the
 * loop fields of section and ORs SCTE35_DEFECT_* bits into *defects.
 */
void scte35_parse_descriptors(const uint8_t *data, int32_t pos, int32_t end,
                              scte35_section *section, uint8_t *defects)
{
    uint16_t count = 0;
    uint16_t skipped = 0;
    uint8_t kept_segmentation = 0;

    while (pos < end) {
        if (!fits(pos, 16, end)) {
            skipped++;
            break;
        }
        uint8_t tag = (uint8_t)scte35_read_bits(data, &pos, 8);
        uint8_t len = (uint8_t)scte35_read_bits(data, &pos, 8);
        int32_t next = pos + 8 * len;
        if (next > end) {
            skipped++;
            break;
        }
        if (len < 4) {
            skipped++;
            pos = next;
            continue;
        }
        uint32_t identifier = (uint32_t)scte35_read_bits(data, &pos, 32);

        if (tag == SCTE35_TAG_SEGMENTATION) {
            scte35_segmentation seg;
            memset(&seg, 0, sizeof(seg)); // padding too: kept records compare whole
            if (identifier != SCTE35_IDENTIFIER_CUEI ||
                scte35_parse_segmentation(data, pos, next, &seg) < 0) {
                skipped++;
                pos = next;
                continue;
            }
            if (kept_segmentation < SCTE35_MAX_SEGMENTATION)
                section->segmentation[kept_segmentation++] = seg;
            else
                *defects |= SCTE35_DEFECT_OVERFLOW;
        }

        if (count < SCTE35_MAX_DESCRIPTORS) {
            section->descriptors[count].tag = tag;
            section->descriptors[count].length = len;
            section->descriptors[count].identifier = identifier;
        } else {
            *defects |= SCTE35_DEFECT_OVERFLOW;
        }
        count++;
        pos = next;
    }

    section->descriptor_count = count;
    section->descriptors_skipped = skipped;
    section->segmentation_count = kept_segmentation;
    if (skipped)
        *defects |= SCTE35_DEFECT_DESCRIPTOR;
}

/* SCTE35_DEFECT_CRC when the CRC_32 does not match the section's bytes, else 0. */
uint8_t crc_defect(const uint8_t *data, const scte35_section *section)
{
    return mpegts_crc32(data, section->section_length + 3) != 0 ? SCTE35_DEFECT_CRC : 0;
}

} // namespace

int scte35_move_pts_adjustment(uint8_t *data, int32_t length, int64_t offset)
{
    /* table_id, section_length, protocol_version, pts_adjustment: 9 bytes; then 4 up to the CRC_32 at least. */
    if (!data || length < 15 || data[0] != 0xFC)
        return -EINVAL;
    int len = 3 + (((data[1] & 0x0F) << 8) | data[2]);
    if (len < 15 || len > length)
        return -EINVAL;
    if (mpegts_crc32(data, len) != 0)
        return -EBADMSG;
    int64_t adj = ((int64_t)(data[4] & 1) << 32) | ((int64_t)data[5] << 24) | (data[6] << 16) | (data[7] << 8) | data[8];
    adj = ts_pts_wrap(adj + offset);
    data[4] = (uint8_t)((data[4] & 0xFE) | (adj >> 32));
    for (int i = 0; i < 4; i++)
        data[5 + i] = (uint8_t)(adj >> (24 - 8 * i));
    uint32_t crc = mpegts_crc32(data, len - 4);
    for (int i = 0; i < 4; i++)
        data[len - 4 + i] = (uint8_t)(crc >> (24 - 8 * i));
    return 0;
}

int scte35_read_bit(const uint8_t *data, int32_t *position)
{
    int32_t pos = *position;
    int bit = (data[pos / 8] >> (7 - pos % 8)) & 1;
    *position = pos + 1;
    return bit;
}

uint64_t scte35_read_bits(const uint8_t *data, int32_t *position, int n)
{
    uint64_t value = 0;
    for (int i = 0; i < n; i++)
        value = (value << 1) | (uint64_t)scte35_read_bit(data, position);
    return value;
}

int scte35_parse_section(const uint8_t *data, int32_t length, scte35_section *section)
{
    int32_t pos = 0;

    if (!data || !section || length <= 2)
        return -EINVAL;

    section->table_id = (uint8_t)scte35_read_bits(data, &pos, 8);
    if (section->table_id != 0xFC)
        return -EINVAL;

    section->section_syntax_indicator = (uint8_t)scte35_read_bit(data, &pos);
    section->private_indicator = (uint8_t)scte35_read_bit(data, &pos);
    pos += 2; // reserved (sap_type in later editions)
    section->section_length = (uint16_t)scte35_read_bits(data, &pos, 12);
    if (section->section_length + 3 > length)
        return -ERANGE;

    // Everything below stays within the section; trailing bytes such as
    // transport-stream stuffing are ignored.
    const int32_t limit = (section->section_length + 3) * 8;

    // protocol_version .. splice_command_type: 11 bytes.
    if (!fits(pos, 8 + 1 + 6 + 33 + 8 + 12 + 12 + 8, limit))
        return -ERANGE;
    section->protocol_version = (uint8_t)scte35_read_bits(data, &pos, 8);
    section->encrypted_packet = (uint8_t)scte35_read_bit(data, &pos);
    section->encryption_algorithm = (uint8_t)scte35_read_bits(data, &pos, 6);
    section->pts_adjustment = scte35_read_bits(data, &pos, 33);
    section->cw_index = (uint8_t)scte35_read_bits(data, &pos, 8);
    section->tier = (uint16_t)scte35_read_bits(data, &pos, 12);
    section->splice_command_length = (uint16_t)scte35_read_bits(data, &pos, 12);
    if (section->encrypted_packet) {
        // Scrambled from splice_command_type to E_CRC_32: without the key
        // nothing there can be read, and a guess would act on noise.
        section->defects = crc_defect(data, section);
        return 0;
    }
    section->splice_command_type = (uint8_t)scte35_read_bits(data, &pos, 8);

    // The descriptor loop is walked only where its place and bytes are known:
    // not after a reserved command type.
    bool loop_located = true;
    uint8_t defects = 0;
    const int32_t command_start = pos;
    const int32_t command_end = pos + 8 * section->splice_command_length;

    switch (section->splice_command_type) {
    case 5: { // splice_insert; it ends where its fields end, whatever its length says
        int ret = scte35_parse_splice_insert(data, &pos, &section->splice_insert, limit);
        if (ret < 0)
            return ret;
        break;
    }
    case 0:    // splice_null
    case 4:    // splice_schedule
    case 6:    // time_signal
    case 7:    // bandwidth_reservation
    case 0xFF: // private_command
        if (!fits(pos, 8 * (int64_t)section->splice_command_length, limit))
            return -ERANGE;
        if (section->splice_command_type == 6) {
            int32_t time_pos = command_start;
            if (scte35_parse_splice_time(data, &time_pos, &section->time_signal.splice_time,
                                         command_end) < 0)
                defects |= SCTE35_DEFECT_COMMAND;
        }
        if (section->splice_command_type == 4 &&
            scte35_parse_schedule(data, command_start, command_end, &section->schedule) < 0)
            defects |= SCTE35_DEFECT_COMMAND;
        pos = command_end;
        break;
    default: // reserved: nothing to step over
        loop_located = false;
        break;
    }

    if (!fits(pos, 16, limit))
        return -ERANGE;
    section->descriptor_loop_length = (uint16_t)scte35_read_bits(data, &pos, 16);
    if (loop_located) {
        if (!fits(pos, 8 * (int64_t)section->descriptor_loop_length, limit))
            return -ERANGE;
        scte35_parse_descriptors(data, pos, pos + 8 * section->descriptor_loop_length, section,
                                 &defects);
    }

    section->defects = defects | crc_defect(data, section);
    return 0;
}
