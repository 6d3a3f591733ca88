// libFuzzer target for the MPEG-TS output stage's write path. The first byte
// chooses between raw bytes and a transport stream assembled from the input
// (PATs, PMTs with valid or broken CRCs, PES units of sections on the cue and
// EPG PIDs with and without length or PCR, nulls, other packets, stray
// bytes), so that the fuzzer reaches the rewriting without a seed corpus.
// The bytes are handed to the stage in pieces whose sizes come from the input
// too, as is the mux rate (constant or variable) of the PCR copies on 0x1FF,
// and whether a third of the packets come through a passthrough queue (the
// input's PAT, PMT, SDT and other packets, rewritten or passed). The destination is a memory file (pipe:FD on a memfd); besides the
// sanitizers, the checks below catch output that breaks the stage's contract.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/log.h>
}

#include "lib/ts_reader.h"
#include "ts/ts_out.h"
#include "ts/ts_pass.h"

namespace {

const int CUE_PIDS[2] = {0x590, 0x591};
const int EPG_PID = 0x12;
const int PIDS[] = {0x0, 0x1000, 0x1001, 0x590, 0x591, 0x12, 0x100, 0x1FFF};

/* Takes bytes from the front of the input; zeros once it is used up. */
struct input {
    const uint8_t *p;
    size_t left;
    uint8_t byte()
    {
        if (!left)
            return 0;
        left--;
        return *p++;
    }
    int pid() { return PIDS[byte() % (sizeof(PIDS) / sizeof(PIDS[0]))]; }
};

/* Sets section_length and appends the CRC_32 (broken when asked). */
void finish_section(std::vector<uint8_t> &s, bool break_crc)
{
    s[1] = 0xB0;
    s = tsr::with_crc(s);
    s.back() ^= break_crc ? 1 : 0;
}

std::vector<uint8_t> pat(input &in)
{
    std::vector<uint8_t> s = {0x00, 0, 0, 0x00, 0x01, 0xC1, 0, 0};
    for (int n = in.byte() % 4; n > 0; n--) {
        int program = in.byte() % 3;
        int pid = in.pid();
        s.insert(s.end(), {0, (uint8_t)program, (uint8_t)(0xE0 | (pid >> 8)), (uint8_t)pid});
    }
    finish_section(s, in.byte() == 0xFF);
    return s;
}

std::vector<uint8_t> pmt(input &in)
{
    std::vector<uint8_t> s = {0x02, 0, 0, 0x00, 0x01, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0};
    int info = in.byte() % 12;
    for (int i = 0; i < info; i++)
        s.push_back(i == 0 ? 0x05 : i == 1 ? (uint8_t)(info - 2) : in.byte());
    s[11] = (uint8_t)info;
    for (int n = in.byte() % 5; n > 0; n--) {
        int pid = in.pid();
        int es = in.byte() % 10;
        s.insert(s.end(), {in.byte(), (uint8_t)(0xE0 | (pid >> 8)), (uint8_t)pid, 0xF0,
                           (uint8_t)es});
        for (int i = 0; i < es; i++)
            s.push_back(i == 1 ? (uint8_t)(es - 2) : in.byte());
    }
    finish_section(s, in.byte() == 0xFF);
    return s;
}

/* The payload of a PES unit: one or more sections (or raw bytes). */
std::vector<uint8_t> pes_payload(input &in)
{
    std::vector<uint8_t> payload;
    for (int n = 1 + in.byte() % 3; n > 0; n--) {
        size_t len = 3 + in.byte() * (1 + in.byte() % 4);
        std::vector<uint8_t> sec = {0xFC, 0, 0};
        while (sec.size() < len)
            sec.push_back(in.byte());
        sec[1] = (uint8_t)(0x30 | ((len - 3) >> 8));
        sec[2] = (uint8_t)(len - 3);
        if (in.byte() & 1)
            sec.resize(sec.size() - in.byte() % sec.size());  // cut short
        payload.insert(payload.end(), sec.begin(), sec.end());
    }
    return payload;
}

int check_cc(const std::vector<uint8_t> &out)
{
    int last[8192];
    memset(last, -1, sizeof(last));
    for (size_t i = 0; i + 188 <= out.size(); i += 188) {
        const uint8_t *p = &out[i];
        if (p[0] != 0x47)
            return -1;
        int pid = ((p[1] & 0x1F) << 8) | p[2];
        bool rewritten = pid == CUE_PIDS[0] || pid == CUE_PIDS[1] || pid == EPG_PID;
        if (!rewritten || !(p[3] & 0x10))
            continue;
        int cc = p[3] & 0x0F;
        if (last[pid] >= 0 && cc != ((last[pid] + 1) & 0x0F))
            return -1;
        last[pid] = cc;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int fd = -1;
    if (fd < 0) {
        av_log_set_level(AV_LOG_QUIET);
        fd = memfd_create("fuzz_ts_out", 0);
        if (fd < 0)
            abort();
    }
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
        abort();

    input in = {data, size};
    std::vector<uint8_t> stream;
    if (in.byte() & 1) {
        stream.assign(in.p, in.p + in.left);
        in.left = 0;
    } else {
        tsr::builder b;
        while (in.left) {
            switch (in.byte() % 8) {
            case 0: b.section(0, pat(in)); break;
            case 1: {
                int pid = in.byte() & 1 ? 0x1000 : 0x1001;
                b.section(pid, pmt(in));
                break;
            }
            case 2: {
                int pid = in.byte() % 3;
                pid = pid == 2 ? EPG_PID : CUE_PIDS[pid];
                const std::vector<uint8_t> pcr = {0x10, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42};
                bool with_pcr = in.byte() & 1;
                std::vector<uint8_t> payload = pes_payload(in);
                if (in.byte() == 0x42) {  // no start code
                    payload.insert(payload.begin(), {0, 0, 2});
                    b.carry(pid, true, payload, with_pcr ? pcr : std::vector<uint8_t>());
                } else {
                    b.pes(pid, payload, in.byte() & 1, with_pcr ? pcr : std::vector<uint8_t>());
                }
                break;
            }
            case 3:
                for (int n = 1 + in.byte() % 8; n > 0; n--)
                    b.null();
                break;
            case 4:
                b.carry(0x100, false, std::vector<uint8_t>(184 * (1 + in.byte() % 80), 0x11));
                break;
            case 5: {  // any packet on an interesting PID
                uint8_t p[188];
                for (uint8_t &c : p)
                    c = in.byte();
                int pid = in.pid();
                p[0] = 0x47;
                p[1] = (uint8_t)((p[1] & 0xE0) | (pid >> 8));
                p[2] = (uint8_t)pid;
                b.ts.insert(b.ts.end(), p, p + 188);
                break;
            }
            default:  // stray bytes
                for (int n = in.byte() % 5; n > 0; n--)
                    b.ts.push_back(in.byte());
                break;
            }
        }
        stream.swap(b.ts);
    }

    char url[32];
    snprintf(url, sizeof(url), "pipe:%d", fd);
    ts_out_config config = {{CUE_PIDS[0], CUE_PIDS[1]}, 2, EPG_PID, 0x1FF, size % 2 ? 20000000 : 0};
    ts_out *stage = nullptr;
    if (ts_out_open(&stage, url, &config, nullptr, 1316) != 0)
        abort();
    // With a passthrough queue (the second byte's bits choose its settings),
    // every third whole packet is the input's and goes through the queue,
    // but those of the PIDs the relay carries (cues, EPG).
    uint8_t mode = size > 1 ? data[1] : 0;
    ts_pass *pass = nullptr;
    if (mode & 0x80) {
        if (ts_pass_create(&pass, 256) != 0)
            abort();
        std::vector<uint8_t> muxed;
        for (size_t i = 0; i + 188 <= stream.size(); i += 188) {
            int pid = ((stream[i + 1] & 0x1F) << 8) | stream[i + 2];
            bool rewritten = pid == CUE_PIDS[0] || pid == CUE_PIDS[1] || pid == EPG_PID;  // never passed
            if (i / 188 % 3 == 0 && !rewritten && stream[i] == 0x47)  // the input filter queues whole packets
                ts_pass_push(pass, &stream[i], (int64_t)(i / 188) * 3000);
            else
                muxed.insert(muxed.end(), stream.begin() + (long)i, stream.begin() + (long)i + 188);
        }
        stream.swap(muxed);
        ts_out_pass_config pc = {1, 0x1000, mode & 1, (mode >> 1) & 1, (mode >> 2) & 1, (mode >> 3) & 1,
                                 mode & 0x10 ? "Name" : nullptr, mode & 0x20 ? "Provider" : nullptr};
        if (ts_out_set_pass(stage, pass, &pc) != 0)
            abort();
    }
    AVIOContext *pb = ts_out_pb(stage);
    uint8_t piece = size ? data[size - 1] : 0;
    for (size_t pos = 0; pos < stream.size();) {
        size_t n = piece < 0x80 ? stream.size() - pos : 1 + (pos * 31 + piece) % 400;
        if (n > stream.size() - pos)
            n = stream.size() - pos;
        avio_write(pb, stream.data() + pos, (int)n);
        avio_flush(pb);
        pos += n;
    }
    ts_out_stats st;
    if (ts_out_get_stats(stage, &st) != 0)
        abort();
    // One null place may still be held back for a PCR copy until the next packet or the close.
    int64_t held = st.packets_in + st.packets_added - st.nulls_repaid - st.packets_out;
    if (st.bytes_in != (int64_t)stream.size() || (!pass && (held < 0 || held > 1)) ||
        st.bytes_out != 188 * st.packets_out)
        abort();
    if (ts_out_close(&stage) != 0 || stage)
        abort();
    if (pass && (ts_pass_count(pass) != 0 || ts_pass_destroy(&pass) != 0))
        abort();  // the queue is emptied by the close

    off_t len = lseek(fd, 0, SEEK_END);
    if (len < 0 || len % 188 != 0 || len < 188 * st.packets_out)
        abort();
    std::vector<uint8_t> out((size_t)len);
    if (len && pread(fd, out.data(), out.size(), 0) != len)
        abort();
    if (check_cc(out) != 0)
        abort();
    return 0;
}
