/*
 * Decoder of one SCTE 35 splice_info_section carrying a splice_insert. Pure:
 * no allocation, no logging, no global state. Values are stored as carried
 * (pts_time is not corrected by pts_adjustment, 33-bit values are not wrapped)
 * and the parser never clears the record: callers zero it before each call.
 */
#ifndef KESTROW_SCTE35_SCTE35_H
#define KESTROW_SCTE35_SCTE35_H

#include <cstdint>

#define SCTE35_MAX_COMPONENTS 32

struct scte35_time_field {
    uint8_t flag;    // time_specified_flag, or auto_return for a break_duration
    uint64_t value;  // 33-bit count of 90 kHz ticks
};

struct scte35_splice_insert {
    uint32_t splice_event_id;
    uint8_t splice_event_cancel_indicator;
    uint8_t out_of_network_indicator;
    uint8_t program_splice_flag;
    uint8_t duration_flag;
    uint8_t splice_immediate_flag;
    scte35_time_field splice_time;
    uint8_t component_count;
    uint8_t component_tag[SCTE35_MAX_COMPONENTS];
    scte35_time_field component_splice_time[SCTE35_MAX_COMPONENTS];
    scte35_time_field break_duration;
    uint16_t unique_program_id;
    uint8_t avail_num;
    uint8_t avails_expected;
};

struct scte35_section {
    uint8_t table_id;
    uint8_t section_syntax_indicator;
    uint8_t private_indicator;
    uint16_t section_length;         // 12 bits
    uint8_t protocol_version;
    uint8_t encrypted_packet;
    uint8_t encryption_algorithm;    // 6 bits
    uint64_t pts_adjustment;         // 33 bits
    uint8_t cw_index;
    uint16_t tier;                   // 12 bits
    uint16_t splice_command_length;  // 12 bits
    uint8_t splice_command_type;
    scte35_splice_insert splice_insert;  // filled only for command type 5
    uint16_t descriptor_loop_length;
};

/*
 * Decodes the section at data (length bytes, starting at table_id).
 * Returns 0; -22 when length <= 2 or table_id is not 0xFC; -34 when the
 * section runs past length, when its command or component list runs past
 * the section (section_length + 3 bytes), or when it carries more than
 * SCTE35_MAX_COMPONENTS components. No byte past the section or past length
 * is read; on -34 the fields read before the failure stay stored.
 */
int scte35_parse_section(const uint8_t *data, int32_t length, scte35_section *section);

/* Bit reader: the bit at *position (MSB first), advancing it by one. */
int scte35_read_bit(const uint8_t *data, int32_t *position);
/* Reads n (0..64) bits MSB first. */
uint64_t scte35_read_bits(const uint8_t *data, int32_t *position, int n);

#endif
