/*
 * Decoder of one SCTE 35 splice_info_section: the splice_insert and
 * time_signal commands and the splice descriptor loop with its segmentation
 * descriptors. Pure: no allocation, no logging, no global state. Values are
 * stored as carried (pts_time is not corrected by pts_adjustment, 33-bit
 * values are not wrapped) and the parser never clears the record: callers
 * zero it before each call, and a field the section does not carry keeps the
 * caller's value.
 */
#ifndef KESTROW_SCTE35_SCTE35_H
#define KESTROW_SCTE35_SCTE35_H

#include <cstdint>

#define SCTE35_MAX_COMPONENTS 32   // per splice_insert or segmentation descriptor
#define SCTE35_MAX_DESCRIPTORS 16  // descriptor heads kept per section
#define SCTE35_MAX_SEGMENTATION 8  // segmentation descriptors kept per section
#define SCTE35_MAX_UPID 64         // segmentation_upid bytes kept
#define SCTE35_MAX_SCHEDULE 8      // splice_schedule events whose ids are kept

#define SCTE35_TAG_SEGMENTATION 0x02
#define SCTE35_IDENTIFIER_CUEI 0x43554549u  // "CUEI"

/* Bits of scte35_section.defects: faults that cost a part of a section, not the section. */
#define SCTE35_DEFECT_CRC 0x01         // CRC_32 does not match the section's bytes
#define SCTE35_DEFECT_COMMAND 0x02     // time_signal too short for its splice_time, splice_schedule cut short
#define SCTE35_DEFECT_DESCRIPTOR 0x04  // descriptors_skipped is not 0
#define SCTE35_DEFECT_OVERFLOW 0x08    // more descriptors or segmentation descriptors than kept

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

struct scte35_time_signal {
    scte35_time_field splice_time;
};

/* What a splice_schedule says of its events: their ids, in order. */
struct scte35_schedule {
    uint8_t splice_count;     // as carried
    uint8_t event_count;      // events decoded whole (the first SCTE35_MAX_SCHEDULE ids kept)
    uint32_t splice_event_id[SCTE35_MAX_SCHEDULE];
};

/* Head of one well-formed splice descriptor. */
struct scte35_descriptor {
    uint8_t tag;          // splice_descriptor_tag
    uint8_t length;       // descriptor_length: bytes after this field, identifier included
    uint32_t identifier;  // SCTE35_IDENTIFIER_CUEI for the descriptors SCTE 35 defines
};

/*
 * One segmentation_descriptor, stored whole: a field it does not carry is 0.
 * A cancelled event carries only its id and the cancel indicator.
 */
struct scte35_segmentation {
    uint32_t segmentation_event_id;
    uint8_t segmentation_event_cancel_indicator;
    uint8_t program_segmentation_flag;
    uint8_t segmentation_duration_flag;
    uint8_t delivery_not_restricted_flag;
    uint8_t web_delivery_allowed_flag;  // this and the next three: only when
    uint8_t no_regional_blackout_flag;  // delivery_not_restricted_flag is 0
    uint8_t archive_allowed_flag;
    uint8_t device_restrictions;        // 2 bits
    uint8_t component_count;            // only when program_segmentation_flag is 0
    uint8_t component_tag[SCTE35_MAX_COMPONENTS];
    uint64_t component_pts_offset[SCTE35_MAX_COMPONENTS];  // 33 bits, 90 kHz
    uint64_t segmentation_duration;     // 40 bits, 90 kHz
    uint8_t segmentation_upid_type;
    uint8_t segmentation_upid_length;   // as carried; the first SCTE35_MAX_UPID bytes are kept
    uint8_t segmentation_upid[SCTE35_MAX_UPID];
    uint8_t segmentation_type_id;
    uint8_t segment_num;
    uint8_t segments_expected;
    uint8_t sub_segment_present;        // 1 when the next two fields were carried
    uint8_t sub_segment_num;
    uint8_t sub_segments_expected;
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
    scte35_time_signal time_signal;      // filled only for command type 6
    uint8_t defects;                     // SCTE35_DEFECT_* bits, set on success
    // The descriptor loop, filled when it could be located: a clear section
    // with a known command (not a reserved type, not encrypted).
    uint16_t descriptor_count;           // well-formed descriptors, all kept or not
    uint16_t descriptors_skipped;        // malformed descriptors stepped over
    scte35_descriptor descriptors[SCTE35_MAX_DESCRIPTORS];  // the first descriptor_count
    uint8_t segmentation_count;          // entries filled in segmentation
    scte35_segmentation segmentation[SCTE35_MAX_SEGMENTATION];  // in loop order
    scte35_schedule schedule;            // filled only for command type 4
};

/*
 * Decodes the section at data (length bytes, starting at table_id).
 * Returns 0; -EINVAL when length <= 2 or table_id is not 0xFC; -ERANGE when the
 * section runs past length, when its command, its component list or the
 * descriptor loop it walks runs past the section (section_length + 3 bytes),
 * or when a splice_insert carries more than SCTE35_MAX_COMPONENTS
 * components. No byte past the section or past length is read; on -ERANGE the
 * fields read before the failure stay stored.
 *
 * Faults that leave the section usable do not fail it; they are reported in
 * defects: a CRC_32 mismatch, a time_signal too short for its splice_time
 * (not stored), and malformed descriptors (a head or body past the loop, a
 * descriptor_length under 4, a segmentation descriptor not identified "CUEI",
 * cut short or with more than SCTE35_MAX_COMPONENTS components), each skipped
 * and counted in descriptors_skipped while the rest of the loop is decoded.
 * A reserved command type is not stepped over (its length is not trusted):
 * descriptor_loop_length is then read at the command's first byte and the
 * loop is not decoded. An encrypted section (encrypted_packet 1) is
 * scrambled from splice_command_type on: nothing after
 * splice_command_length is decoded (the CRC_32 is still checked).
 */
int scte35_parse_section(const uint8_t *data, int32_t length, scte35_section *section);

/*
 * Moves the pts_adjustment of the section at data (length bytes, starting
 * at table_id) by offset ticks, modulo 2^33, and writes its CRC_32 anew:
 * the splice times it announces move with the stream they belong to.
 * Returns 0; -EINVAL when length does not hold a whole section with
 * table_id 0xFC and room for its CRC_32; -EBADMSG when the CRC_32 does
 * not match (a damaged section is not made to look whole). On failure
 * nothing is written.
 */
int scte35_move_pts_adjustment(uint8_t *data, int32_t length, int64_t offset);

/* Bit reader: the bit at *position (MSB first), advancing it by one. */
int scte35_read_bit(const uint8_t *data, int32_t *position);
/* Reads n (0..64) bits MSB first. */
uint64_t scte35_read_bits(const uint8_t *data, int32_t *position, int n);

#endif
