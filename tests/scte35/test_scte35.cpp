// SCTE 35 section decoder: field values, failures, bounds.
//
// Every buffer handed to the parser is a heap copy of exactly the given size,
// so that AddressSanitizer reports any read past it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "scte35/scte35.h"

namespace {

typedef std::vector<uint8_t> bytes;

// fc 30 25 ...: splice_insert, event 0x0327be20, pts_time 4291654628,
// break_duration 30.4 s with auto_return, avail 1 of 1, CRC_32 77 82 93 a5.
const bytes kInsert = {0xfc, 0x30, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0xff, 0xf0, 0x14, 0x05, 0x03, 0x27, 0xbe, 0x20, 0x7f, 0xef,
                       0xfe, 0xff, 0xcd, 0x73, 0xe4, 0xfe, 0x00, 0x29, 0xbf, 0x80,
                       0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x77, 0x82, 0x93, 0xa5};

// Parses the first n bytes of data from an exactly sized heap copy.
int parse(const bytes &data, size_t n, scte35_section *s)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
    if (n)
        memcpy(copy.get(), data.data(), n);
    return scte35_parse_section(copy.get(), (int32_t)n, s);
}

int parse(const bytes &data, scte35_section *s) { return parse(data, data.size(), s); }

scte35_section zeroed()
{
    scte35_section s;
    memset(&s, 0, sizeof(s));
    return s;
}

// A record whose every byte is 0xA5, to see which fields the parser wrote.
scte35_section marked()
{
    scte35_section s;
    memset(&s, 0xA5, sizeof(s));
    return s;
}

bool untouched(const void *p, size_t n)
{
    const uint8_t *b = (const uint8_t *)p;
    for (size_t i = 0; i < n; i++)
        if (b[i] != 0xA5)
            return false;
    return true;
}

// MSB-first bit writer for building sections.
struct bit_writer {
    bytes out;
    int bits = 0;
    void put(uint64_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            if (bits % 8 == 0)
                out.push_back(0);
            if ((v >> i) & 1)
                out.back() |= (uint8_t)(0x80 >> (bits % 8));
            bits++;
        }
    }
    void splice_time(bool timed, uint64_t pts)
    {
        if (timed) {
            put(1, 1);
            put(0x3f, 6);
            put(pts, 33);
        } else {
            put(0, 1);
            put(0x7f, 7);
        }
    }
};

uint32_t crc32_mpeg(const bytes &b)
{
    uint32_t crc = 0xffffffff;
    for (uint8_t byte : b) {
        crc ^= (uint32_t)byte << 24;
        for (int i = 0; i < 8; i++)
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04c11db7 : crc << 1;
    }
    return crc;
}

// A whole splice_info_section around a command: header, command,
// descriptor_loop_length 0 and the CRC_32. command_length overrides the
// splice_command_length field when not negative.
bytes section(uint8_t type, const bytes &command, uint64_t pts_adjustment = 0,
              int command_length = -1)
{
    bit_writer w;
    int section_length = 11 + (int)command.size() + 2 + 4;
    w.put(0xfc, 8);
    w.put(0, 1);
    w.put(0, 1);
    w.put(3, 2);
    w.put((uint64_t)section_length, 12);
    w.put(0, 8);       // protocol_version
    w.put(0, 1);       // encrypted_packet
    w.put(0, 6);       // encryption_algorithm
    w.put(pts_adjustment, 33);
    w.put(0, 8);       // cw_index
    w.put(0xfff, 12);  // tier
    w.put(command_length < 0 ? command.size() : (uint64_t)command_length, 12);
    w.put(type, 8);
    bytes out = w.out;
    out.insert(out.end(), command.begin(), command.end());
    out.push_back(0);
    out.push_back(0);
    uint32_t crc = crc32_mpeg(out);
    for (int i = 3; i >= 0; i--)
        out.push_back((uint8_t)(crc >> (8 * i)));
    return out;
}

struct component {
    uint8_t tag;
    bool timed;
    uint64_t pts;
};

struct insert_fields {
    uint32_t event_id = 7;
    bool cancel = false;
    bool out_of_network = true;
    bool program = true;
    bool immediate = false;
    bool timed = true;
    uint64_t pts = 900000;
    std::vector<component> components;
    int component_count = -1;  // overrides components.size() when not negative
    bool has_duration = false;
    bool auto_return = true;
    uint64_t duration = 0;
    uint16_t upid = 0x1234;
    uint8_t avail_num = 2;
    uint8_t avails_expected = 3;
};

bytes splice_insert(const insert_fields &f)
{
    bit_writer w;
    w.put(f.event_id, 32);
    w.put(f.cancel, 1);
    w.put(0x7f, 7);
    if (!f.cancel) {
        w.put(f.out_of_network, 1);
        w.put(f.program, 1);
        w.put(f.has_duration, 1);
        w.put(f.immediate, 1);
        w.put(0xf, 4);
        if (f.program && !f.immediate)
            w.splice_time(f.timed, f.pts);
        if (!f.program) {
            w.put(f.component_count >= 0 ? (uint64_t)f.component_count : f.components.size(), 8);
            for (const component &c : f.components) {
                w.put(c.tag, 8);
                if (!f.immediate)
                    w.splice_time(c.timed, c.pts);
            }
        }
        if (f.has_duration) {
            w.put(f.auto_return, 1);
            w.put(0x3f, 6);
            w.put(f.duration, 33);
        }
        w.put(f.upid, 16);
        w.put(f.avail_num, 8);
        w.put(f.avails_expected, 8);
    }
    return w.out;
}

const uint64_t kMax33 = (1ULL << 33) - 1;

} // namespace

TEST(Scte35Parse, ReferenceSectionFieldByField)
{
    scte35_section s = zeroed();
    ASSERT_EQ(0, parse(kInsert, &s));
    EXPECT_EQ(0xFC, s.table_id);
    EXPECT_EQ(0, s.section_syntax_indicator);
    EXPECT_EQ(0, s.private_indicator);
    EXPECT_EQ(37, s.section_length);
    EXPECT_EQ(0, s.protocol_version);
    EXPECT_EQ(0, s.encrypted_packet);
    EXPECT_EQ(0, s.encryption_algorithm);
    EXPECT_EQ(0u, s.pts_adjustment);
    EXPECT_EQ(0, s.cw_index);
    EXPECT_EQ(0xFFF, s.tier);
    EXPECT_EQ(20, s.splice_command_length);
    EXPECT_EQ(5, s.splice_command_type);
    const scte35_splice_insert &i = s.splice_insert;
    EXPECT_EQ(52936224u, i.splice_event_id);
    EXPECT_EQ(0, i.splice_event_cancel_indicator);
    EXPECT_EQ(1, i.out_of_network_indicator);
    EXPECT_EQ(1, i.program_splice_flag);
    EXPECT_EQ(1, i.duration_flag);
    EXPECT_EQ(0, i.splice_immediate_flag);
    EXPECT_EQ(1, i.splice_time.flag);
    EXPECT_EQ(4291654628u, i.splice_time.value);
    EXPECT_EQ(0, i.component_count);
    EXPECT_EQ(1, i.break_duration.flag);
    EXPECT_EQ(2736000u, i.break_duration.value);
    EXPECT_EQ(0, i.unique_program_id);
    EXPECT_EQ(1, i.avail_num);
    EXPECT_EQ(1, i.avails_expected);
    EXPECT_EQ(0, s.descriptor_loop_length);
}

TEST(Scte35Parse, CrcIsNotCheckedAndTrailingBytesAreIgnored)
{
    scte35_section ref = zeroed();
    ASSERT_EQ(0, parse(kInsert, &ref));

    bytes bad_crc = kInsert;
    bad_crc[38] ^= 0xff;
    scte35_section s = zeroed();
    EXPECT_EQ(0, parse(bad_crc, &s));
    EXPECT_EQ(0, memcmp(&ref, &s, sizeof(s)));

    bytes stuffed = kInsert;
    stuffed.insert(stuffed.end(), 148, 0xff);
    s = zeroed();
    EXPECT_EQ(0, parse(stuffed, &s));
    EXPECT_EQ(0, memcmp(&ref, &s, sizeof(s)));

    // The builder's sections carry a valid CRC_32, like the reference.
    EXPECT_EQ(0u, crc32_mpeg(kInsert));
}

TEST(Scte35Parse, RejectsShortForeignAndOverlongSections)
{
    for (size_t n = 0; n <= 2; n++) {
        scte35_section s = marked();
        EXPECT_EQ(-22, parse(kInsert, n, &s)) << n;
        EXPECT_TRUE(untouched(&s, sizeof(s))) << n;
    }

    bytes foreign = kInsert;
    foreign[0] = 0x00;
    scte35_section s = marked();
    EXPECT_EQ(-22, parse(foreign, &s));
    EXPECT_EQ(0x00, s.table_id);
    EXPECT_TRUE(untouched(&s.section_syntax_indicator, sizeof(s) - offsetof(scte35_section, section_syntax_indicator)));

    s = marked();
    EXPECT_EQ(-34, parse(bytes{0xfc, 0x30, 0x01}, &s));
    EXPECT_EQ(0xFC, s.table_id);
    EXPECT_EQ(0, s.section_syntax_indicator);
    EXPECT_EQ(0, s.private_indicator);
    EXPECT_EQ(1, s.section_length);
    EXPECT_TRUE(untouched(&s.protocol_version, sizeof(s) - offsetof(scte35_section, protocol_version)));

    s = marked();
    EXPECT_EQ(-34, parse(kInsert, kInsert.size() - 1, &s));
    EXPECT_EQ(37, s.section_length);

    EXPECT_EQ(-22, scte35_parse_section(nullptr, 40, &s));
    EXPECT_EQ(-22, scte35_parse_section(kInsert.data(), 40, nullptr));
}

TEST(Scte35Parse, CancelledEventStoresOnlyIdAndIndicator)
{
    insert_fields f;
    f.event_id = 0xdeadbeef;
    f.cancel = true;
    bytes sec = section(5, splice_insert(f));

    scte35_section s = marked();
    ASSERT_EQ(0, parse(sec, &s));
    EXPECT_EQ(0xdeadbeefu, s.splice_insert.splice_event_id);
    EXPECT_EQ(1, s.splice_insert.splice_event_cancel_indicator);
    EXPECT_TRUE(untouched(&s.splice_insert.out_of_network_indicator,
                          sizeof(s.splice_insert) -
                              offsetof(scte35_splice_insert, out_of_network_indicator)));
    EXPECT_EQ(0, s.descriptor_loop_length);

    s = zeroed();
    ASSERT_EQ(0, parse(sec, &s));
    EXPECT_EQ(0, s.splice_insert.splice_time.flag);
}

TEST(Scte35Parse, ImmediateSpliceCarriesNoTime)
{
    insert_fields f;
    f.immediate = true;
    f.has_duration = true;
    f.duration = 90000;
    f.auto_return = false;
    scte35_section s = zeroed();
    ASSERT_EQ(0, parse(section(5, splice_insert(f)), &s));
    EXPECT_EQ(1, s.splice_insert.splice_immediate_flag);
    EXPECT_EQ(0, s.splice_insert.splice_time.flag);
    EXPECT_EQ(0u, s.splice_insert.splice_time.value);
    EXPECT_EQ(0, s.splice_insert.break_duration.flag);
    EXPECT_EQ(90000u, s.splice_insert.break_duration.value);
    EXPECT_EQ(0x1234, s.splice_insert.unique_program_id);
    EXPECT_EQ(2, s.splice_insert.avail_num);
    EXPECT_EQ(3, s.splice_insert.avails_expected);
}

TEST(Scte35Parse, UntimedSpliceTimeTakesOneByteAndKeepsValue)
{
    insert_fields f;
    f.timed = false;
    f.has_duration = true;
    f.duration = 450000;
    scte35_section s = zeroed();
    s.splice_insert.splice_time.value = 4242;
    ASSERT_EQ(0, parse(section(5, splice_insert(f)), &s));
    EXPECT_EQ(0, s.splice_insert.splice_time.flag);
    EXPECT_EQ(4242u, s.splice_insert.splice_time.value);
    EXPECT_EQ(450000u, s.splice_insert.break_duration.value);
    EXPECT_EQ(0x1234, s.splice_insert.unique_program_id);
}

TEST(Scte35Parse, ComponentMode)
{
    insert_fields f;
    f.program = false;
    f.components = {{0x10, true, 1000}, {0x11, false, 0}, {0x12, true, kMax33}};
    f.has_duration = true;
    f.duration = 2700000;
    scte35_section s = zeroed();
    ASSERT_EQ(0, parse(section(5, splice_insert(f)), &s));
    const scte35_splice_insert &i = s.splice_insert;
    EXPECT_EQ(0, i.program_splice_flag);
    EXPECT_EQ(0, i.splice_time.flag);
    ASSERT_EQ(3, i.component_count);
    EXPECT_EQ(0x10, i.component_tag[0]);
    EXPECT_EQ(1, i.component_splice_time[0].flag);
    EXPECT_EQ(1000u, i.component_splice_time[0].value);
    EXPECT_EQ(0x11, i.component_tag[1]);
    EXPECT_EQ(0, i.component_splice_time[1].flag);
    EXPECT_EQ(0x12, i.component_tag[2]);
    EXPECT_EQ(kMax33, i.component_splice_time[2].value);
    EXPECT_EQ(2700000u, i.break_duration.value);
    EXPECT_EQ(0x1234, i.unique_program_id);

    // Immediate: tags only, no splice_time per component.
    f.immediate = true;
    s = zeroed();
    ASSERT_EQ(0, parse(section(5, splice_insert(f)), &s));
    EXPECT_EQ(3, s.splice_insert.component_count);
    EXPECT_EQ(0x12, s.splice_insert.component_tag[2]);
    EXPECT_EQ(0, s.splice_insert.component_splice_time[0].flag);
    EXPECT_EQ(2700000u, s.splice_insert.break_duration.value);
    EXPECT_EQ(3, s.splice_insert.avails_expected);
}

TEST(Scte35Parse, ComponentListLimits)
{
    insert_fields f;
    f.program = false;
    for (int c = 0; c < SCTE35_MAX_COMPONENTS; c++)
        f.components.push_back({(uint8_t)c, true, (uint64_t)c * 3000});
    scte35_section s = zeroed();
    ASSERT_EQ(0, parse(section(5, splice_insert(f)), &s));
    EXPECT_EQ(32, s.splice_insert.component_count);
    EXPECT_EQ(31, s.splice_insert.component_tag[31]);
    EXPECT_EQ(93000u, s.splice_insert.component_splice_time[31].value);
    EXPECT_EQ(0x1234, s.splice_insert.unique_program_id);

    // 33 components do not fit the record: refused, nothing stored past
    // the flags, the count included.
    f.components.push_back({32, true, 0});
    s = marked();
    EXPECT_EQ(-34, parse(section(5, splice_insert(f)), &s));
    EXPECT_EQ(0, s.splice_insert.program_splice_flag);
    EXPECT_TRUE(untouched(&s.splice_insert.splice_time,
                          sizeof(s.splice_insert) - offsetof(scte35_splice_insert, splice_time)));
    EXPECT_TRUE(untouched(&s.descriptor_loop_length, sizeof(s.descriptor_loop_length)));

    // A count of 255 with one component present.
    insert_fields big;
    big.program = false;
    big.components = {{1, true, 5}};
    big.component_count = 255;
    s = marked();
    EXPECT_EQ(-34, parse(section(5, splice_insert(big)), &s));
    EXPECT_TRUE(untouched(&s.splice_insert.component_count, 1));
}

TEST(Scte35Parse, TruncatedComponentListFails)
{
    // Count 20, two components present: the parser reads on into the
    // section's remaining bytes and stops at its end, well before entry 19.
    insert_fields f;
    f.program = false;
    f.components = {{1, true, 100}, {2, true, 200}};
    f.component_count = 20;
    scte35_section s = marked();
    EXPECT_EQ(-34, parse(section(5, splice_insert(f)), &s));
    EXPECT_EQ(20, s.splice_insert.component_count);
    EXPECT_EQ(1, s.splice_insert.component_tag[0]);
    EXPECT_EQ(100u, s.splice_insert.component_splice_time[0].value);
    EXPECT_EQ(2, s.splice_insert.component_tag[1]);
    EXPECT_EQ(200u, s.splice_insert.component_splice_time[1].value);
    EXPECT_TRUE(untouched(&s.splice_insert.component_tag[19], 1));
    EXPECT_TRUE(untouched(&s.splice_insert.component_splice_time[19],
                          sizeof(s.splice_insert.component_splice_time[19])));
    EXPECT_TRUE(untouched(&s.splice_insert.unique_program_id,
                          sizeof(s.splice_insert) - offsetof(scte35_splice_insert, unique_program_id)));
    EXPECT_TRUE(untouched(&s.descriptor_loop_length, sizeof(s.descriptor_loop_length)));
}

TEST(Scte35Parse, OtherCommandsAreSteppedOver)
{
    // time_signal: a timed splice_time, 5 bytes; descriptor_loop_length is
    // read after them.
    bit_writer ts;
    ts.splice_time(true, 123456);
    bytes cmd = ts.out;
    bytes sec = section(6, cmd);
    sec[11 + 3 + cmd.size()] = 0x00;
    sec[11 + 3 + cmd.size() + 1] = 0x2a;  // descriptor_loop_length 42
    scte35_section s = marked();
    ASSERT_EQ(0, parse(sec, &s));
    EXPECT_EQ(6, s.splice_command_type);
    EXPECT_EQ(5, s.splice_command_length);
    EXPECT_EQ(42, s.descriptor_loop_length);
    EXPECT_TRUE(untouched(&s.splice_insert, sizeof(s.splice_insert)));

    // splice_null: empty command.
    s = marked();
    ASSERT_EQ(0, parse(section(0, bytes{}), &s));
    EXPECT_EQ(0, s.splice_command_type);
    EXPECT_EQ(0, s.descriptor_loop_length);
    EXPECT_TRUE(untouched(&s.splice_insert, sizeof(s.splice_insert)));

    // Private command of 7 bytes.
    s = zeroed();
    ASSERT_EQ(0, parse(section(0xff, bytes{1, 2, 3, 4, 5, 6, 7}), &s));
    EXPECT_EQ(0, s.descriptor_loop_length);

    // Reserved type: nothing is skipped, the loop length is the command's
    // first two bytes.
    s = zeroed();
    ASSERT_EQ(0, parse(section(2, bytes{0xab, 0xcd}), &s));
    EXPECT_EQ(0xabcd, s.descriptor_loop_length);

    // A command length that runs past the section is refused.
    s = marked();
    EXPECT_EQ(-34, parse(section(6, cmd, 0, 200), &s));
    EXPECT_EQ(200, s.splice_command_length);
    EXPECT_TRUE(untouched(&s.descriptor_loop_length, sizeof(s.descriptor_loop_length)));
    s = zeroed();
    EXPECT_EQ(-34, parse(section(6, cmd, 0, 0xfff), &s));
}

TEST(Scte35Parse, ThirtyThreeBitValuesAreNotSignExtended)
{
    insert_fields f;
    f.pts = kMax33;
    f.has_duration = true;
    f.duration = kMax33;
    scte35_section s = zeroed();
    ASSERT_EQ(0, parse(section(5, splice_insert(f), kMax33), &s));
    EXPECT_EQ(8589934591u, s.pts_adjustment);
    EXPECT_EQ(8589934591u, s.splice_insert.splice_time.value);
    EXPECT_EQ(8589934591u, s.splice_insert.break_duration.value);
    // pts_time is stored as carried, not corrected by pts_adjustment.
    f.pts = 1000;
    s = zeroed();
    ASSERT_EQ(0, parse(section(5, splice_insert(f), 5000), &s));
    EXPECT_EQ(1000u, s.splice_insert.splice_time.value);
    EXPECT_EQ(5000u, s.pts_adjustment);
}

// Cutting a valid section short anywhere before the end of its
// descriptor_loop_length fails, whether only the buffer is cut
// (section_length then exceeds it) or the section_length is cut with it
// (the command then runs past the section); cuts in the CRC_32 still parse.
TEST(Scte35Parse, EveryTruncationFailsWithinBounds)
{
    insert_fields comp;
    comp.program = false;
    comp.components = {{1, true, 100}, {2, false, 0}, {3, true, 300}};
    comp.has_duration = true;
    comp.duration = 1234;
    bit_writer ts;
    ts.splice_time(true, 99);
    const std::vector<bytes> valid = {kInsert, section(5, splice_insert(comp)), section(6, ts.out)};

    for (const bytes &full : valid) {
        const size_t end_of_loop_length = full.size() - 4;
        for (size_t n = 0; n < full.size(); n++) {
            scte35_section s = zeroed();
            int expect = n <= 2 ? -22 : -34;
            EXPECT_EQ(expect, parse(full, n, &s)) << "buffer cut at " << n;

            if (n < 3)
                continue;
            // section_length cut to match; the buffer cut, or kept whole.
            bytes cut = full;
            cut[1] = (uint8_t)((cut[1] & 0xf0) | (((n - 3) >> 8) & 0x0f));
            cut[2] = (uint8_t)((n - 3) & 0xff);
            int want = n < end_of_loop_length ? -34 : 0;
            s = zeroed();
            EXPECT_EQ(want, parse(cut, n, &s)) << "section cut at " << n;
            s = zeroed();
            EXPECT_EQ(want, parse(cut, cut.size(), &s)) << "section cut at " << n << ", buffer whole";
        }
    }
}

TEST(Scte35BitReader, ReadsMsbFirst)
{
    const uint8_t data[9] = {0x80, 0x01, 0xff, 0x00, 0x12, 0x34, 0x56, 0x78, 0x9a};
    int32_t pos = 0;
    EXPECT_EQ(1, scte35_read_bit(data, &pos));
    EXPECT_EQ(0, scte35_read_bit(data, &pos));
    EXPECT_EQ(2, pos);
    EXPECT_EQ(0u, scte35_read_bits(data, &pos, 0));
    EXPECT_EQ(2, pos);
    EXPECT_EQ(1u, scte35_read_bits(data, &pos, 14));  // rest of byte 0, byte 1
    EXPECT_EQ(0xff00123456789aULL, scte35_read_bits(data, &pos, 56));
    pos = 0;
    EXPECT_EQ(0x8001ff0012345678ULL, scte35_read_bits(data, &pos, 64));
    EXPECT_EQ(64, pos);
}
