// SCTE 35 section decoder: decoded records, failures, bounds, descriptor loop.
//
// Every buffer handed to the parser is a heap copy of exactly the given size,
// so that AddressSanitizer reports any read past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/mpegts.h"
#include "scte35/scte35.h"

namespace {

typedef std::vector<uint8_t> bytes;

bytes hex(std::string h)
{
    h.erase(std::remove(h.begin(), h.end(), ' '), h.end());
    bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back((uint8_t)std::stoul(h.substr(i, 2), nullptr, 16));
    return out;
}

// splice_insert, event 0x0327be20, pts_time 4291654628, break_duration 30.4 s
// with auto_return, avail 1 of 1.
const bytes kInsert = hex("fc302500000000000000fff01405 0327be20 7fef feffcd73e4 fe0029bf80 00000101"
                          "0000 778293a5");
// The SCTE 35 standard's sample messages: a time_signal with a Provider
// Placement Opportunity Start; a splice_insert with an avail_descriptor; a
// time_signal with Placement Opportunity End, Program End and Program Start.
const bytes kStdPoStart = hex(
    "fc3034000000000000fffff00506fe72bd0050001e021c435545494800008e7fcf0001a599b00808000000002c"
    "a0a18a3402009ac9d17e");
const bytes kStdInsert = hex(
    "fc302f000000000000fffff014054800008f7feffe7369c02efe0052ccf500000000000a0008435545490000013562"
    "dba30a");
const bytes kStdThree = hex(
    "fc3061000000000000fffff00506fea8cd44ed004b021743554549480000ad7f9f0808000000002cb2d79d350200"
    "021743554549480000267f9f0808000000002cb2d79d110000021743554549480000277f9f0808000000002cb2d7"
    "b31000008a18869f");

// Parses the first n bytes of data from an exactly sized heap copy.
int parse(const bytes &data, size_t n, scte35_section *s)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
    if (n)
        memcpy(copy.get(), data.data(), n);
    return scte35_parse_section(copy.get(), (int32_t)n, s);
}

int parse(const bytes &data, scte35_section *s) { return parse(data, data.size(), s); }

// A record whose every byte is fill: 0, or 0xA5 to see which fields the parser wrote.
std::unique_ptr<scte35_section> record(uint8_t fill = 0)
{
    std::unique_ptr<scte35_section> s(new scte35_section);
    memset(s.get(), fill, sizeof(*s));
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

// Every field a section can set, as one line of text.
std::string dump(const scte35_section &s)
{
    std::string o;
    char b[200];
    auto add = [&](const char *fmt, auto... v) { snprintf(b, sizeof(b), fmt, v...); o += b; };
    auto u = [](uint64_t v) { return (unsigned long long)v; };
    add("table=%x ssi=%u pi=%u len=%u ver=%u enc=%u/%u adj=%llu cw=%u tier=%x cmd=%u/%u loop=%x",
        s.table_id, s.section_syntax_indicator, s.private_indicator, s.section_length,
        s.protocol_version, s.encrypted_packet, s.encryption_algorithm, u(s.pts_adjustment),
        s.cw_index, s.tier, s.splice_command_type, s.splice_command_length, s.descriptor_loop_length);
    add(" defects=%x", s.defects);
    const scte35_splice_insert &i = s.splice_insert;
    if (s.splice_command_type == 5) {
        add(" | insert id=%x cancel=%u out=%u prog=%u dur=%u imm=%u time=%u/%llu comps=[",
            i.splice_event_id, i.splice_event_cancel_indicator, i.out_of_network_indicator,
            i.program_splice_flag, i.duration_flag, i.splice_immediate_flag, i.splice_time.flag,
            u(i.splice_time.value));
        for (int c = 0; c < i.component_count && c < SCTE35_MAX_COMPONENTS; c++)
            add(" %x:%u/%llu", i.component_tag[c], i.component_splice_time[c].flag,
                u(i.component_splice_time[c].value));
        add("] break=%u/%llu upid=%x avail=%u/%u", i.break_duration.flag,
            u(i.break_duration.value), i.unique_program_id, i.avail_num, i.avails_expected);
    }
    if (s.splice_command_type == 6)
        add(" | ts=%u/%llu", s.time_signal.splice_time.flag, u(s.time_signal.splice_time.value));
    for (int e = 0; s.splice_command_type == 4 && e <= s.schedule.event_count && e < SCTE35_MAX_SCHEDULE; e++)
        e == 0 ? add(" | schedule %u/%u", s.schedule.splice_count, s.schedule.event_count)
               : add(" %x", s.schedule.splice_event_id[e - 1]);
    add(" | descs=%u/%u", s.descriptor_count, s.descriptors_skipped);
    for (int d = 0; d < s.descriptor_count && d < SCTE35_MAX_DESCRIPTORS; d++)
        add(" %x:%u:%x", s.descriptors[d].tag, s.descriptors[d].length, s.descriptors[d].identifier);
    for (int n = 0; n < s.segmentation_count; n++) {
        const scte35_segmentation &g = s.segmentation[n];
        add(" | seg id=%x cancel=%u prog=%u dur=%u/%llu dnr=%u web=%u nrb=%u arch=%u dev=%u comps=[",
            g.segmentation_event_id, g.segmentation_event_cancel_indicator,
            g.program_segmentation_flag, g.segmentation_duration_flag, u(g.segmentation_duration),
            g.delivery_not_restricted_flag, g.web_delivery_allowed_flag,
            g.no_regional_blackout_flag, g.archive_allowed_flag, g.device_restrictions);
        for (int c = 0; c < g.component_count; c++)
            add(" %x:%llu", g.component_tag[c], u(g.component_pts_offset[c]));
        add("] upid=%x/%u:", g.segmentation_upid_type, g.segmentation_upid_length);
        for (int k = 0; k < g.segmentation_upid_length && k < SCTE35_MAX_UPID; k++)
            add("%02x", g.segmentation_upid[k]);
        add(" type=%x num=%u/%u sub=%u:%u/%u", g.segmentation_type_id, g.segment_num,
            g.segments_expected, g.sub_segment_present, g.sub_segment_num, g.sub_segments_expected);
    }
    return o;
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
        put(timed, 1);
        put(timed ? 0x3f : 0x7f, timed ? 6 : 7);
        if (timed)
            put(pts, 33);
    }
    void append(const bytes &b)
    {
        for (uint8_t byte : b)
            put(byte, 8);
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

// A whole splice_info_section around a command and a descriptor loop, with
// its CRC_32. command_length overrides splice_command_length when not negative.
bytes section(uint8_t type, const bytes &command, const bytes &loop = {},
              uint64_t pts_adjustment = 0, int command_length = -1)
{
    bit_writer w;
    w.put(0xfc, 8);
    w.put(0x3, 4);  // section_syntax_indicator 0, private_indicator 0, reserved
    w.put(11 + command.size() + 2 + loop.size() + 4, 12);
    w.put(0, 15);   // protocol_version, encrypted_packet, encryption_algorithm
    w.put(pts_adjustment, 33);
    w.put(0, 8);    // cw_index
    w.put(0xfff, 12);
    w.put(command_length < 0 ? command.size() : (uint64_t)command_length, 12);
    w.put(type, 8);
    w.append(command);
    w.put(loop.size(), 16);
    w.append(loop);
    w.put(crc32_mpeg(w.out), 32);
    return w.out;
}

struct component {
    uint8_t tag;
    bool timed;
    uint64_t pts;
};

// A splice_insert in component mode, out of network, without break_duration;
// count overrides the number of components when not negative.
bytes components_insert(const std::vector<component> &components, int count = -1)
{
    bit_writer w;
    w.put(7, 32);          // splice_event_id
    w.put(0x7f8f, 16);     // not cancelled; out_of_network_indicator, component mode
    w.put(count >= 0 ? (uint64_t)count : components.size(), 8);
    for (const component &c : components) {
        w.put(c.tag, 8);
        w.splice_time(c.timed, c.pts);
    }
    w.put(0x12340203, 32);  // unique_program_id 0x1234, avail 2 of 3
    return w.out;
}

const bytes kTimeSignal = hex("fe00000005");  // time_signal() at pts_time 5

// Segmentation descriptors, fields apart. no_sub: program-wide, delivery not
// restricted, 40-bit duration all ones, upid "AD1", type 0x34 without the
// optional sub-segment fields. with_comps: two components, restricted (web 1,
// no_regional_blackout 0, archive 1, device 2), no duration, type 0x36,
// sub-segment 3 of 4 and one byte more. cancelled: id and indicator only.
const bytes kSegNoSub = hex("0217 43554549 00001000 7f ff ffffffffff 09 03 414431 34 05 06");
const bytes kSegWithComps = hex(
    "0222 43554549 00001000 7f 16 02 21fe00000000 22ffffffffff 09 03 414431 36 01 02 03 04 ee");
const bytes kSegCancelled = hex("0209 43554549 0000cafe ff");

bytes seg_with_id(uint32_t id)
{
    bytes d = kSegNoSub;
    for (int i = 0; i < 4; i++)
        d[6 + i] = (uint8_t)(id >> (24 - 8 * i));
    return d;
}

bytes cat(std::vector<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const uint64_t kMax33 = (1ULL << 33) - 1;

#define AT(field) offsetof(scte35_section, field)

} // namespace

TEST(Scte35Parse, DecodesSectionsFieldByField)
{
    // splice_insert commands, event 7: three components (timed, untimed, timed)
    // and a break_duration; the same immediate; programme-wide immediate with
    // a break_duration without auto_return.
    const bytes comp = hex("00000007 7faf 03 10fe000003e8 117f 12ffffffffff ffffffffff 1234 0203");
    const bytes comp_now = hex("00000007 7fbf 03 10 11 12 ffffffffff 1234 0203");
    const bytes now = hex("00000007 7fff 7e00015f90 1234 0203");
    bytes encrypted = kStdPoStart;
    encrypted[4] |= 0x80;
    const bytes schedule = hex("03 00000007 7fff 00001000 fe00015f90 1234 0203 00000009 7f9f 02 1000000001 "
                               "1100000002 1234 0203 00000008 ff");

    const std::string head = "table=fc ssi=0 pi=0 len=";
    struct {
        const char *name;
        bytes in;
        const char *want;
    } cases[] = {
        {"insert", kInsert,
         "37 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=5/20 loop=0 defects=0 | insert id=327be20 "
         "cancel=0 out=1 prog=1 dur=1 imm=0 time=1/4291654628 comps=[] break=1/2736000 upid=0 "
         "avail=1/1 | descs=0/0"},
        {"standard splice_insert", kStdInsert,
         "47 ver=0 enc=0/0 adj=0 cw=255 tier=fff cmd=5/20 loop=a defects=0 | insert id=4800008f "
         "cancel=0 out=1 prog=1 dur=1 imm=0 time=1/1936310318 comps=[] break=1/5426421 upid=0 "
         "avail=0/0 | descs=1/0 0:8:43554549"},
        {"standard placement opportunity start", kStdPoStart,
         "52 ver=0 enc=0/0 adj=0 cw=255 tier=fff cmd=6/5 loop=1e defects=0 | ts=1/1924989008 | "
         "descs=1/0 2:28:43554549 | seg id=4800008e cancel=0 prog=1 dur=1/27630000 dnr=0 web=0 "
         "nrb=1 arch=1 dev=3 comps=[] upid=8/8:000000002ca0a18a type=34 num=2/0 sub=0:0/0"},
        {"standard three segmentation descriptors", kStdThree,
         "97 ver=0 enc=0/0 adj=0 cw=255 tier=fff cmd=6/5 loop=4b defects=0 | ts=1/2832024813 | "
         "descs=3/0 2:23:43554549 2:23:43554549 2:23:43554549 | seg id=480000ad cancel=0 prog=1 "
         "dur=0/0 dnr=0 web=1 nrb=1 arch=1 dev=3 comps=[] upid=8/8:000000002cb2d79d type=35 num=2/0 "
         "sub=0:0/0 | seg id=48000026 cancel=0 prog=1 dur=0/0 dnr=0 web=1 nrb=1 arch=1 dev=3 comps=[] "
         "upid=8/8:000000002cb2d79d type=11 num=0/0 sub=0:0/0 | seg id=48000027 cancel=0 prog=1 "
         "dur=0/0 dnr=0 web=1 nrb=1 arch=1 dev=3 comps=[] upid=8/8:000000002cb2d7b3 type=10 "
         "num=0/0 sub=0:0/0"},
        {"encrypted: nothing from splice_command_type on", encrypted,
         "52 ver=0 enc=1/0 adj=0 cw=255 tier=fff cmd=0/5 loop=0 defects=1 | descs=0/0"},
        // Events 7 (program, with a duration), 9 (two components), 8 (cancelled); then cut in event 9.
        {"splice_schedule", section(4, schedule),
         "63 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=4/46 loop=0 defects=0 | schedule 3/3 7 9 8 | descs=0/0"},
        {"splice_schedule cut short", section(4, bytes(schedule.begin(), schedule.begin() + 24)),
         "41 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=4/24 loop=0 defects=2 | schedule 3/1 7 | descs=0/0"},
        // 33-bit values as carried, not sign-extended nor corrected by pts_adjustment.
        {"component mode", section(5, comp, {}, kMax33),
         "47 ver=0 enc=0/0 adj=8589934591 cw=0 tier=fff cmd=5/30 loop=0 defects=0 | insert id=7 "
         "cancel=0 out=1 prog=0 dur=1 imm=0 time=0/0 comps=[ 10:1/1000 11:0/0 12:1/8589934591] "
         "break=1/8589934591 upid=1234 avail=2/3 | descs=0/0"},
        {"component mode, immediate", section(5, comp_now),
         "36 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=5/19 loop=0 defects=0 | insert id=7 cancel=0 "
         "out=1 prog=0 dur=1 imm=1 time=0/0 comps=[ 10:0/0 11:0/0 12:0/0] break=1/8589934591 "
         "upid=1234 avail=2/3 | descs=0/0"},
        {"immediate", section(5, now),
         "32 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=5/15 loop=0 defects=0 | insert id=7 cancel=0 "
         "out=1 prog=1 dur=1 imm=1 time=0/0 comps=[] break=0/90000 upid=1234 avail=2/3 | descs=0/0"},
        {"segmentation forms",
         section(6, kTimeSignal, cat({kSegWithComps, kSegCancelled, kSegNoSub})),
         "94 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=6/5 loop=48 defects=0 | ts=1/5 | descs=3/0 "
         "2:34:43554549 2:9:43554549 2:23:43554549 | seg id=1000 cancel=0 prog=0 dur=0/0 dnr=0 "
         "web=1 nrb=0 arch=1 dev=2 comps=[ 21:0 22:8589934591] upid=9/3:414431 type=36 num=1/2 "
         "sub=1:3/4 | seg id=cafe cancel=1 prog=0 dur=0/0 dnr=0 web=0 nrb=0 arch=0 dev=0 comps=[] "
         "upid=0/0: type=0 num=0/0 sub=0:0/0 | seg id=1000 cancel=0 prog=1 dur=1/1099511627775 "
         "dnr=1 web=0 nrb=0 arch=0 dev=0 comps=[] upid=9/3:414431 type=34 num=5/6 sub=0:0/0"},
        {"time_signal shorter than its splice_time", section(6, bytes{0xfe, 0, 0, 0}),
         "21 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=6/4 loop=0 defects=2 | ts=0/0 | descs=0/0"},
        {"splice_null", section(0, {}),
         "17 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=0/0 loop=0 defects=0 | descs=0/0"},
        {"private command", section(0xff, bytes{1, 2, 3, 4, 5, 6, 7}, kSegNoSub),
         "49 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=255/7 loop=19 defects=0 | descs=1/0 "
         "2:23:43554549 | seg id=1000 cancel=0 prog=1 dur=1/1099511627775 dnr=1 web=0 nrb=0 "
         "arch=0 dev=0 comps=[] upid=9/3:414431 type=34 num=5/6 sub=0:0/0"},
        // Reserved type: nothing is stepped over, the loop length is the
        // command's first two bytes and the loop is not walked.
        {"reserved command", section(2, bytes{0xab, 0xcd}),
         "19 ver=0 enc=0/0 adj=0 cw=0 tier=fff cmd=2/2 loop=abcd defects=0 | descs=0/0"},
    };
    for (const auto &c : cases) {
        auto s = record();
        EXPECT_EQ(0, parse(c.in, s.get())) << c.name;
        EXPECT_EQ(head + c.want, dump(*s)) << c.name;

        // Bytes after the section (transport-stream stuffing) are ignored; a
        // CRC_32 mismatch is reported and costs nothing else.
        bytes stuffed = c.in;
        stuffed.insert(stuffed.end(), 148, 0xff);
        auto t = record();
        EXPECT_EQ(0, parse(stuffed, t.get())) << c.name;
        EXPECT_EQ(0, memcmp(s.get(), t.get(), sizeof(*s))) << c.name;
        bytes bad_crc = c.in;
        bad_crc.back() ^= 0x01;
        t = record();
        EXPECT_EQ(0, parse(bad_crc, t.get())) << c.name;
        EXPECT_EQ(s->defects | SCTE35_DEFECT_CRC, t->defects) << c.name;
        t->defects = s->defects;
        EXPECT_EQ(0, memcmp(s.get(), t.get(), sizeof(*s))) << c.name;
    }
}

// A section that cannot be decoded fails with its code; the fields before the
// fault stay stored and nothing from the fault on is written.
TEST(Scte35Parse, FailuresStoreNothingFromTheFaultOn)
{
    bytes foreign = kInsert;
    foreign[0] = 0x00;
    bytes long_loop = section(6, kTimeSignal, kSegNoSub);
    long_loop[20] += 5;  // descriptor_loop_length one byte past the section, CRC_32 included
    const std::vector<component> many(SCTE35_MAX_COMPONENTS + 1, {1, true, 5});
    struct {
        const char *name;
        bytes in;
        int n;  // bytes handed over; -1: all
        int want;
        size_t untouched_from;
    } cases[] = {
        {"empty", kInsert, 0, -22, 0},
        {"two bytes", kInsert, 2, -22, 0},
        {"table_id not 0xFC", foreign, -1, -22, AT(section_syntax_indicator)},
        {"section_length 1 in 3 bytes", {0xfc, 0x30, 0x01}, -1, -34, AT(protocol_version)},
        {"one byte short", kInsert, 39, -34, AT(protocol_version)},
        {"command past the section", section(6, kTimeSignal, {}, 0, 200), -1, -34,
         AT(descriptor_loop_length)},
        {"command length 0xfff", section(6, kTimeSignal, {}, 0, 0xfff), -1, -34,
         AT(descriptor_loop_length)},
        {"loop past the section", long_loop, -1, -34, AT(descriptor_count)},
        {"33 components", section(5, components_insert(many)), -1, -34, AT(splice_insert.component_count)},
        {"count 255, one component", section(5, components_insert({{1, true, 5}}, 255)), -1, -34,
         AT(splice_insert.component_count)},
    };
    for (const auto &c : cases) {
        auto s = record(0xA5);
        EXPECT_EQ(c.want, parse(c.in, c.n < 0 ? c.in.size() : (size_t)c.n, s.get())) << c.name;
        EXPECT_TRUE(untouched((uint8_t *)s.get() + c.untouched_from, sizeof(*s) - c.untouched_from))
            << c.name;
        EXPECT_EQ(c.untouched_from ? c.in[0] : 0xA5, s->table_id) << c.name;
        const bool length_read = c.untouched_from > AT(section_length);
        EXPECT_EQ(length_read ? (c.in[1] & 0x0f) << 8 | c.in[2] : 0xA5A5, s->section_length) << c.name;
    }
    auto s = record(0xA5);
    EXPECT_EQ(-22, scte35_parse_section(nullptr, 40, s.get()));
    EXPECT_EQ(-22, scte35_parse_section(kInsert.data(), 40, nullptr));
    EXPECT_TRUE(untouched(s.get(), sizeof(*s)));
}

// The parser never clears the record: what a section does not carry keeps
// the caller's value.
TEST(Scte35Parse, FieldsNotCarriedAreLeftAlone)
{
    auto s = record(0xA5);
    ASSERT_EQ(0, parse(section(5, hex("deadbeef ff")), s.get()));  // cancelled event
    EXPECT_EQ(0xdeadbeefu, s->splice_insert.splice_event_id);
    EXPECT_EQ(1, s->splice_insert.splice_event_cancel_indicator);
    EXPECT_TRUE(untouched(&s->splice_insert.out_of_network_indicator,
                          sizeof(s->splice_insert) -
                              offsetof(scte35_splice_insert, out_of_network_indicator)));

    s = record(0xA5);
    ASSERT_EQ(0, parse(section(5, hex("00000007 7fcf 7f 1234 0203")), s.get()));  // untimed
    EXPECT_EQ(0, s->splice_insert.splice_time.flag);
    EXPECT_TRUE(untouched(&s->splice_insert.splice_time.value, sizeof(uint64_t)));
    EXPECT_EQ(0x1234, s->splice_insert.unique_program_id);

    s = record(0xA5);
    ASSERT_EQ(0, parse(kStdPoStart, s.get()));
    EXPECT_TRUE(untouched(&s->splice_insert, sizeof(s->splice_insert)));
    EXPECT_TRUE(untouched(&s->segmentation[1], sizeof(s->segmentation[1])));
    EXPECT_TRUE(untouched(&s->descriptors[1], sizeof(s->descriptors[1])));
}

// Count 20, two components present: the parser reads on into the section's
// remaining bytes and stops at its end, well before entry 19, keeping what it
// read before.
TEST(Scte35Parse, ComponentListCutShortFails)
{
    auto s = record(0xA5);
    EXPECT_EQ(-34, parse(section(5, components_insert({{1, true, 100}, {2, true, 200}}, 20)), s.get()));
    EXPECT_EQ(20, s->splice_insert.component_count);
    EXPECT_EQ(200u, s->splice_insert.component_splice_time[1].value);
    EXPECT_TRUE(untouched(&s->splice_insert.component_tag[19], 1));
    EXPECT_TRUE(untouched(&s->splice_insert.component_splice_time[19],
                          sizeof(*s) - AT(splice_insert.component_splice_time[19])));
}

// A malformed descriptor costs only itself: the section parses, the
// descriptor is counted as skipped, and those around it are decoded.
TEST(Scte35Parse, MalformedDescriptorsAreSkipped)
{
    const bytes good_a = seg_with_id(0xa), good_b = seg_with_id(0xb);
    bytes wrong_id = good_b;
    wrong_id[5] = 'X';
    auto components = [](int n) {
        bytes d = cat({hex("0200 43554549 0000000c 7f 3f"), bytes{(uint8_t)n}});
        for (int i = 0; i < n; i++)
            d = cat({d, hex("01 fe00000002")});
        d = cat({d, hex("0900 300102")});
        d[1] = (uint8_t)(d.size() - 2);
        return d;
    };
    auto cut = [](bytes d, size_t body) { d.resize(2 + body); d[1] = (uint8_t)body; return d; };
    const bytes avail = hex("0008 43554549 00000135");

    struct {
        const char *name;
        bytes loop;
        int count, skipped, segmentation;
    } cases[] = {
        {"well formed", cat({good_a, avail, good_b, components(SCTE35_MAX_COMPONENTS)}), 4, 0, 3},
        {"length under 4", cat({good_a, hex("0003 435545"), good_b}), 2, 1, 2},
        {"identifier not CUEI", cat({good_a, wrong_id, good_b}), 2, 1, 2},
        {"33 components", cat({good_a, components(SCTE35_MAX_COMPONENTS + 1), good_b}), 2, 1, 2},
        {"cut in segments_expected", cat({good_a, cut(good_b, good_b.size() - 3), good_b}), 2, 1, 2},
        {"cut in event id", cat({good_a, cut(good_b, 6), good_b}), 2, 1, 2},
        {"upid past the descriptor", cat({good_a, cut(good_b, good_b.size() - 6), good_b}), 2, 1, 2},
        {"upid past the section", cat({good_a, good_b, hex("020d 43554549 00000001 7f bf 09ff 41")}),
         2, 1, 2},
        {"body past the loop", cat({good_a, good_b, hex("0210 43554549")}), 2, 1, 2},
        {"head past the loop", cat({good_a, good_b, hex("02")}), 2, 1, 2},
    };
    for (const auto &c : cases) {
        auto s = record();
        ASSERT_EQ(0, parse(section(6, kTimeSignal, c.loop), s.get())) << c.name;
        EXPECT_EQ(c.count, s->descriptor_count) << c.name;
        EXPECT_EQ(c.skipped, s->descriptors_skipped) << c.name;
        EXPECT_EQ(c.skipped ? SCTE35_DEFECT_DESCRIPTOR : 0, s->defects) << c.name;
        ASSERT_EQ(c.segmentation, s->segmentation_count) << c.name;
        EXPECT_EQ(0xau, s->segmentation[0].segmentation_event_id) << c.name;
        EXPECT_EQ(0xbu, s->segmentation[1].segmentation_event_id) << c.name;
        EXPECT_EQ(6, s->segmentation[1].segments_expected) << c.name;
    }

    // A upid longer than kept: its length as carried, the first bytes kept.
    bytes long_upid = hex("0250 43554549 00000001 7f bf 0941");
    long_upid.resize(long_upid.size() + SCTE35_MAX_UPID + 1, 0x55);
    long_upid = cat({long_upid, hex("300102")});
    auto s = record();
    ASSERT_EQ(0, parse(section(6, kTimeSignal, long_upid), s.get()));
    ASSERT_EQ(1, s->segmentation_count);
    EXPECT_EQ(SCTE35_MAX_UPID + 1, s->segmentation[0].segmentation_upid_length);
    EXPECT_EQ(0x55, s->segmentation[0].segmentation_upid[SCTE35_MAX_UPID - 1]);
    EXPECT_EQ(0x30, s->segmentation[0].segmentation_type_id);
}

TEST(Scte35Parse, DescriptorsBeyondTheRecordAreCountedNotStored)
{
    std::vector<bytes> segs, others(SCTE35_MAX_DESCRIPTORS + 1, hex("0104 43554549"));
    for (uint32_t id = 0; id < SCTE35_MAX_SEGMENTATION + 1; id++)
        segs.push_back(seg_with_id(id));
    for (const std::vector<bytes> &parts : {segs, others}) {
        auto s = record(0xA5);
        ASSERT_EQ(0, parse(section(6, kTimeSignal, cat(parts)), s.get()));
        EXPECT_EQ(parts.size(), s->descriptor_count);
        EXPECT_EQ(0, s->descriptors_skipped);
        EXPECT_EQ(SCTE35_DEFECT_OVERFLOW, s->defects);
        const size_t heads = std::min(parts.size(), (size_t)SCTE35_MAX_DESCRIPTORS);
        EXPECT_EQ(parts.back()[0], s->descriptors[heads - 1].tag);
        const bool seg = parts[0][0] == SCTE35_TAG_SEGMENTATION;
        ASSERT_EQ(seg ? SCTE35_MAX_SEGMENTATION : 0, s->segmentation_count);
        EXPECT_EQ(seg ? 7u : 0xA5A5A5A5u, s->segmentation[SCTE35_MAX_SEGMENTATION - 1].segmentation_event_id);
    }
}

// Cutting a valid section short anywhere before the end of its descriptor
// loop fails, whether only the buffer is cut (section_length then exceeds
// it) or the section_length is cut with it (the command or the loop then runs
// past the section); cuts in the CRC_32 still parse.
TEST(Scte35Parse, EveryTruncationFailsWithinBounds)
{
    std::vector<component> comps;  // as many as the record holds, timed or not
    for (int c = 0; c < SCTE35_MAX_COMPONENTS; c++)
        comps.push_back({(uint8_t)c, c % 3 != 1, (uint64_t)c * 3000});
    const std::vector<bytes> valid = {kInsert, kStdInsert, kStdThree, section(5, components_insert(comps)),
                                      section(6, kTimeSignal, kSegWithComps)};

    for (const bytes &full : valid) {
        const size_t end_of_loop = full.size() - 4;
        for (size_t n = 0; n < full.size(); n++) {
            auto s = record();
            EXPECT_EQ(n <= 2 ? -22 : -34, parse(full, n, s.get())) << "buffer cut at " << n;

            if (n < 3)
                continue;
            // section_length cut to match; the buffer cut, or kept whole.
            bytes cut = full;
            cut[1] = (uint8_t)((cut[1] & 0xf0) | (((n - 3) >> 8) & 0x0f));
            cut[2] = (uint8_t)((n - 3) & 0xff);
            int want = n < end_of_loop ? -34 : 0;
            s = record();
            EXPECT_EQ(want, parse(cut, n, s.get())) << "section cut at " << n;
            s = record();
            EXPECT_EQ(want, parse(cut, cut.size(), s.get())) << "section cut at " << n << ", buffer whole";
        }
    }
}

// The relay moves a cue's pts_adjustment onto the output's clock: the section
// must decode as before but for pts_adjustment, CRC_32 whole; a section that
// is not whole is left as it is.
TEST(Scte35Write, MovesPtsAdjustmentAndRewritesTheCrc)
{
    auto with_crc = [](bytes b) {
        const uint32_t crc = mpegts_crc32(b.data(), (int)b.size() - 4);
        for (int i = 0; i < 4; i++)
            b[b.size() - 4 + i] = (uint8_t)(crc >> (24 - 8 * i));
        return b;
    };
    bytes encrypted = kStdPoStart;  // encryption bits share pts_adjustment's first byte
    encrypted[4] |= 0xFE;
    bytes high = kInsert;           // pts_adjustment 2^33 - 1
    high[4] |= 0x01;
    std::fill(high.begin() + 5, high.begin() + 9, 0xff);
    encrypted = with_crc(encrypted);
    high = with_crc(high);
    struct { const char *name; bytes in; int64_t offset; uint64_t adjustment; } cases[] = {
        {"forward", kInsert, 90000, 90000},
        {"back past 0", kInsert, -1, kMax33},
        {"a whole wrap", kStdInsert, INT64_C(3) << 33, 0},
        {"past 2^33", high, 2, 1},
        {"beside the encryption bits", encrypted, 0x123456789, 0x123456789},
    };
    for (const auto &c : cases) {
        auto before = record(), after = record();
        ASSERT_EQ(0, parse(c.in, before.get())) << c.name;
        bytes out = c.in;
        EXPECT_EQ(0, scte35_move_pts_adjustment(out.data(), (int32_t)out.size(), c.offset)) << c.name;
        EXPECT_EQ(0u, mpegts_crc32(out.data(), (int)out.size())) << c.name;
        ASSERT_EQ(0, parse(out, after.get())) << c.name;
        EXPECT_EQ(c.adjustment, after->pts_adjustment) << c.name;
        after->pts_adjustment = before->pts_adjustment;
        EXPECT_EQ(0, memcmp(before.get(), after.get(), sizeof(*before))) << c.name;
    }

    bytes bad_crc = kInsert, foreign = kInsert;
    bad_crc[10] ^= 1;
    foreign[0] = 0x00;
    struct { const char *name; bytes in; int32_t n; int want; } refused[] = {
        {"CRC mismatch", bad_crc, (int32_t)kInsert.size(), -EBADMSG},
        {"table_id not 0xFC", foreign, (int32_t)kInsert.size(), -EINVAL},
        {"buffer shorter than the section", kInsert, (int32_t)kInsert.size() - 1, -EINVAL},
        {"no room for a CRC", {0xfc, 0x30, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 15, -EINVAL},
    };
    for (const auto &c : refused) {
        bytes out = c.in;
        EXPECT_EQ(c.want, scte35_move_pts_adjustment(out.data(), c.n, 90000)) << c.name;
        EXPECT_EQ(c.in, out) << c.name;
    }
}
