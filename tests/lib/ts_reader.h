/*
 * Transport-stream reading for the output stage's tests, written apart from
 * the stage so that the two do not share a mistake: packets, PSI sections of
 * one PID, PMT entries, continuity errors, and the MPEG-2 CRC-32 (bit by bit);
 * and a builder of packet sequences for the stage's tests and fuzz target.
 */
#ifndef KESTROW_TESTS_TS_OUT_TS_READER_H
#define KESTROW_TESTS_TS_OUT_TS_READER_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace tsr {

using bytes = std::vector<uint8_t>;

inline uint32_t crc32(const uint8_t *p, size_t len)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; i++)
        for (int bit = 7; bit >= 0; bit--) {
            uint32_t in = ((p[i] >> bit) & 1u) ^ (crc >> 31);
            crc = (crc << 1) ^ (in ? 0x04C11DB7u : 0);
        }
    return crc;
}

/* Sets section_length and appends the CRC_32 that makes the section check to 0. */
inline bytes with_crc(bytes s)
{
    int sl = (int)s.size() + 4 - 3;
    s[1] = (uint8_t)((s[1] & 0xF0) | (sl >> 8));
    s[2] = (uint8_t)sl;
    uint32_t crc = crc32(s.data(), s.size());
    for (int b = 24; b >= 0; b -= 8)
        s.push_back((uint8_t)(crc >> b));
    return s;
}

/* A PAT of the programmes (number, PMT PID), with the NIT's entry first. */
inline bytes pat_section(int ts_id, const std::vector<std::pair<int, int>> &programmes)
{
    bytes s = {0x00, 0xB0, 0, (uint8_t)(ts_id >> 8), (uint8_t)ts_id, 0xC1, 0, 0, 0, 0, 0xE0, 0x10};
    for (auto [number, pid] : programmes)
        s.insert(s.end(), {(uint8_t)(number >> 8), (uint8_t)number, (uint8_t)(0xE0 | pid >> 8), (uint8_t)pid});
    return with_crc(s);
}

/* A PMT of one stream of stream_type type on pid, which carries the PCR. */
inline bytes pmt_section(int number, int type, int pid)
{
    return with_crc({0x02, 0xB0, 0, (uint8_t)(number >> 8), (uint8_t)number, 0xC1, 0, 0, (uint8_t)(0xE0 | pid >> 8),
                     (uint8_t)pid, 0xF0, 0, (uint8_t)type, (uint8_t)(0xE0 | pid >> 8), (uint8_t)pid, 0xF0, 0});
}

/* An SDT (actual) of transport stream ts_id listing each service with a service_descriptor. */
inline bytes sdt_section(int ts_id, const std::vector<std::pair<int, std::string>> &services)
{
    bytes s = {0x42, 0xF0, 0, (uint8_t)(ts_id >> 8), (uint8_t)ts_id, 0xC1, 0, 0, 0xFF, 0x01, 0xFF};
    for (const auto &[id, name] : services) {
        bytes d = {0x48, (uint8_t)(4 + name.size()), 0x01, 1, 'P', (uint8_t)name.size()};
        d.insert(d.end(), name.begin(), name.end());
        s.insert(s.end(), {(uint8_t)(id >> 8), (uint8_t)id, 0xFD, 0x80, (uint8_t)d.size()});
        s.insert(s.end(), d.begin(), d.end());
    }
    return with_crc(s);
}

/* An adaptation field with the PCR flag and pcr (27 MHz); flags adds others (0x80: discontinuity_indicator). */
inline bytes pcr_field(int64_t pcr, uint8_t flags = 0)
{
    int64_t base = pcr / 300;
    int ext = (int)(pcr % 300);
    return {(uint8_t)(0x10 | flags), (uint8_t)(base >> 25), (uint8_t)(base >> 17), (uint8_t)(base >> 9),
            (uint8_t)(base >> 1), (uint8_t)(((base & 1) << 7) | 0x7E | (ext >> 8)), (uint8_t)ext};
}

/* Builds a TS packet by packet, each PID with its own counter. */
struct builder {
    bytes ts;
    int cc[8192] = {};

    /* One packet; a payload shorter than 184 bytes is preceded by adaptation
     * stuffing, which starts with the adaptation field af when given. */
    void packet(int pid, bool unit_start, const uint8_t *data, size_t n, const bytes &af = {})
    {
        size_t at = ts.size();
        ts.resize(at + 188, 0xFF);
        uint8_t *p = &ts[at];
        p[0] = 0x47;
        p[1] = (uint8_t)((unit_start ? 0x40 : 0) | (pid >> 8));
        p[2] = (uint8_t)pid;
        size_t o = 4;
        if (n < 184 || !af.empty()) {
            size_t af_len = 183 - n;
            p[4] = (uint8_t)af_len;
            if (af_len > 0) {
                p[5] = 0;
                if (!af.empty())
                    memcpy(p + 5, af.data(), af.size());
            }
            o = 5 + af_len;
        }
        p[3] = (uint8_t)((o > 4 ? 0x30 : 0x10) | (cc[pid] & 0x0F));
        if (pid != 0x1FFF)
            cc[pid]++;
        memcpy(p + o, data, std::min(n, (size_t)188 - o));
    }

    /* d over as many packets as it takes; the first starts a unit when
     * unit_start and carries the adaptation field af. */
    void carry(int pid, bool unit_start, const bytes &d, const bytes &af = {})
    {
        size_t first = af.empty() ? 184 : 183 - af.size() - 1;
        size_t pos = 0;
        for (bool start = true; start || pos < d.size(); start = false) {
            size_t n = std::min(start ? first : (size_t)184, d.size() - pos);
            packet(pid, start && unit_start, d.data() + pos, n, start ? af : bytes());
            pos += n;
        }
    }

    /* A section as muxers send it: pointer_field 0, 0xFF stuffing after it. */
    void section(int pid, const bytes &sec)
    {
        bytes d;
        d.reserve(1 + sec.size());
        d.push_back(0);
        d.insert(d.end(), sec.begin(), sec.end());
        d.resize((d.size() + 183) / 184 * 184, 0xFF);
        carry(pid, true, d);
    }

    /* A PES unit (stream_id 0xFC, PTS) carrying payload; PES_packet_length 0 when unbounded. */
    void pes(int pid, const bytes &payload, bool unbounded = false, const bytes &af = {})
    {
        bytes d = {0, 0, 1, 0xFC, 0, 0, 0x84, 0x80, 5, 0x21, 0, 1, 0, 1};
        size_t len = payload.size() + 8;
        if (!unbounded && len <= 0xFFFF) {
            d[4] = (uint8_t)(len >> 8);
            d[5] = (uint8_t)len;
        }
        d.insert(d.end(), payload.begin(), payload.end());
        carry(pid, true, d, af);
    }

    void null()
    {
        const bytes stuffing(184, 0xFF);
        packet(0x1FFF, false, stuffing.data(), stuffing.size());
    }
};

inline int pid_of(const uint8_t *p) { return ((p[1] & 0x1F) << 8) | p[2]; }

inline size_t packet_count(const bytes &ts) { return ts.size() / 188; }

inline const uint8_t *packet(const bytes &ts, size_t i) { return ts.data() + i * 188; }

/* Payload of a packet; empty when it has none. */
inline bool payload(const uint8_t *p, const uint8_t **data, int *len)
{
    int afc = (p[3] >> 4) & 3;
    int off = (afc & 2) ? 5 + p[4] : 4;
    if (!(afc & 1) || off >= 188)
        return false;
    *data = p + off;
    *len = 188 - off;
    return true;
}

/* Every complete section on pid, in order; several may share a packet. */
inline std::vector<bytes> sections(const bytes &ts, int pid)
{
    std::vector<bytes> out;
    bytes cur;
    bool active = false;
    auto take = [&](const uint8_t *d, int n) {
        while (n > 0 && active) {
            if (cur.empty() && d[0] == 0xFF) {
                active = false;
                return;
            }
            size_t want = cur.size() < 3 ? 3 : 3 + (((cur[1] & 0x0F) << 8) | cur[2]);
            size_t k = std::min<size_t>(want - cur.size(), (size_t)n);
            cur.insert(cur.end(), d, d + k);
            d += k;
            n -= (int)k;
            if (cur.size() >= 3 && cur.size() == 3u + (((cur[1] & 0x0F) << 8) | cur[2])) {
                out.push_back(cur);
                cur.clear();
            }
        }
    };
    for (size_t i = 0; i < packet_count(ts); i++) {
        const uint8_t *p = packet(ts, i);
        const uint8_t *d;
        int n;
        if (pid_of(p) != pid || !payload(p, &d, &n))
            continue;
        if (p[1] & 0x40) {
            int ptr = d[0];
            if (active && !cur.empty())
                take(d + 1, ptr);
            cur.clear();
            active = true;
            take(d + 1 + ptr, n - 1 - ptr);
        } else {
            take(d, n);
        }
    }
    return out;
}

/* 27 MHz PCR of a packet, or -1 when it carries none. */
inline int64_t pcr_of(const uint8_t *p)
{
    if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10))
        return -1;
    int64_t base = ((int64_t)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
    return base * 300 + (((p[10] & 1) << 8) | p[11]);
}

/* Continuity-counter errors per PID (null packets and packets without payload left out). */
inline std::map<int, int> cc_errors(const bytes &ts)
{
    std::map<int, int> last, errors;
    for (size_t i = 0; i < packet_count(ts); i++) {
        const uint8_t *p = packet(ts, i);
        int pid = pid_of(p);
        if (pid == 0x1FFF || !((p[3] >> 4) & 1))
            continue;
        int cc = p[3] & 0x0F;
        errors[pid] += 0;
        if (last.count(pid) && cc != ((last[pid] + 1) & 0x0F))
            errors[pid]++;
        last[pid] = cc;
    }
    return errors;
}

/* PMT contents. */
struct pmt_entry {
    int type;
    int pid;
    bytes descriptors;
};
struct pmt_info {
    bool crc_ok = false;
    bytes program_descriptors;
    std::vector<pmt_entry> entries;
};

inline pmt_info parse_pmt(const bytes &sec)
{
    pmt_info pmt;
    if (sec.size() < 16 || sec[0] != 0x02)
        return pmt;
    pmt.crc_ok = crc32(sec.data(), sec.size()) == 0;
    size_t info = ((sec[10] & 0x0F) << 8) | sec[11];
    pmt.program_descriptors.assign(sec.begin() + 12, sec.begin() + 12 + info);
    for (size_t o = 12 + info; o + 5 <= sec.size() - 4;) {
        size_t n = ((sec[o + 3] & 0x0F) << 8) | sec[o + 4];
        pmt.entries.push_back({sec[o], ((sec[o + 1] & 0x1F) << 8) | sec[o + 2],
                               bytes(sec.begin() + o + 5, sec.begin() + o + 5 + n)});
        o += 5 + n;
    }
    return pmt;
}

/* The PMT PID of the first programme of the first PAT. */
inline int first_pmt_pid(const bytes &ts)
{
    for (const bytes &pat : sections(ts, 0))
        for (size_t o = 8; o + 4 <= pat.size() - 4; o += 4)
            if (((pat[o] << 8) | pat[o + 1]) != 0)
                return ((pat[o + 2] & 0x1F) << 8) | pat[o + 3];
    return -1;
}

}  // namespace tsr

#endif
