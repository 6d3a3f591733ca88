/*
 * SCTE 35 splice_info_section decoder (ANSI/SCTE 35, Digital Program
 * Insertion Cueing Message). Only splice_insert (command type 5) is decoded;
 * the other known commands are stepped over by their splice_command_length.
 * Descriptors, alignment stuffing and the CRC_32 are not read.
 *
 * Every read is checked against the end of the section (section_length + 3
 * bytes, never more than the buffer holds), so a malformed command or
 * component list fails with -34 instead of reading past the buffer. Fields
 * that fit are stored as they are read; a splice_time or break_duration is
 * stored whole or not at all.
 */
#include "scte35/scte35.h"

#include <cerrno>

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
 * the caller had it. Returns 0, or -34 (nothing stored, position unchanged)
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
 * 5 bytes. Returns 0, or -34 (nothing stored) when it runs past limit.
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
 * cancel indicator. Returns 0; -34 when a field runs past limit or the
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

} // namespace

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
    section->splice_command_type = (uint8_t)scte35_read_bits(data, &pos, 8);

    switch (section->splice_command_type) {
    case 5: { // splice_insert
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
        pos += 8 * section->splice_command_length;
        break;
    default: // reserved: nothing to step over
        break;
    }

    if (!fits(pos, 16, limit))
        return -ERANGE;
    section->descriptor_loop_length = (uint16_t)scte35_read_bits(data, &pos, 16);
    return 0;
}
