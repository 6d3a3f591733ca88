// The merge of two paths carrying one stream: a burst the main loses comes
// from the backup, 150 ms late, in its place; copies are dropped, packets
// that repeat to the byte (a tone's) are kept; the stream goes out whole.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "net/input_merge.h"
#include "net/udp_addr.h"
#include "net/udp_in.h"

namespace {

typedef std::vector<uint8_t> packet;

packet ts_packet(int pid, int cc, bool start, int fill)
{
    packet p(188, 0xff);
    p[0] = 0x47;
    p[1] = (uint8_t)((start ? 0x40 : 0) | (pid >> 8));
    p[2] = (uint8_t)pid;
    p[3] = (uint8_t)(0x10 | (cc & 15));
    for (int i = 4; i < 188; i++)
        p[i] = (uint8_t)(fill + i);
    return p;
}

/* A PAT naming PMT PID 0x1000, a PMT with H.264 on 0x100 and AAC on 0x101, in one packet each. */
packet table(int pid, int cc)
{
    packet p = ts_packet(pid, cc, true, 0);
    static const uint8_t pat[] = {0x00, 0x00, 0xb0, 0x0d, 0x00, 0x01, 0xc1, 0x00, 0x00, 0x00, 0x01, 0xf0, 0x00, 0, 0, 0, 0};
    static const uint8_t pmt[] = {0x00, 0x02, 0xb0, 0x17, 0x00, 0x01, 0xc1, 0x00, 0x00, 0xe1, 0x00, 0xf0, 0x00,
                                  0x1b, 0xe1, 0x00, 0xf0, 0x00, 0x0f, 0xe1, 0x01, 0xf0, 0x00, 0, 0, 0, 0};
    const uint8_t *s = pid == 0 ? pat : pmt;
    size_t n = pid == 0 ? sizeof(pat) : sizeof(pmt);
    memcpy(&p[4], s, n);
    return p;
}

/* The stream: tables every 100 packets, pictures on 0x100 (a PES start every 8), a tone on 0x101 whose packets repeat. */
std::vector<packet> stream(int n)
{
    std::vector<packet> out;
    int cc[3] = {0, 0, 0}, tables = 0;
    for (int i = 0; i < n; i++) {
        if (i % 100 == 0) {
            out.push_back(table(0, tables));
            out.push_back(table(0x1000, tables++));
        } else if (i % 5 == 0) {
            out.push_back(ts_packet(0x101, cc[1]++, false, 7));  // the same bytes every 16th
        } else {
            out.push_back(ts_packet(0x100, cc[0], cc[0] % 8 == 0, i));
            cc[0]++;
        }
    }
    return out;
}

udp_in *fed_ring()
{
    udp_in_config c = {};
    c.ring_bytes = 4 << 20;
    c.fed = 1;
    udp_in *in = nullptr;
    EXPECT_EQ(0, udp_in_create(&in, &c));
    return in;
}

/* The main's and the backup's receivers and the merge's output ring, and a merge over them. */
struct Rings {
    udp_in *main_in = fed_ring(), *backup_in = fed_ring(), *out = fed_ring();

    merge_config config(int64_t loss_us) const
    {
        merge_config c = {};
        c.inputs[MERGE_MAIN] = main_in;
        c.inputs[MERGE_BACKUP] = backup_in;
        c.out = out;
        c.loss_us = loss_us;
        c.hold_us = 1000000;
        return c;
    }

    ~Rings()
    {
        udp_in_destroy(&main_in);
        udp_in_destroy(&backup_in);
        udp_in_destroy(&out);
    }
};

std::map<int, std::vector<packet>> by_pid(const std::vector<packet> &all)
{
    std::map<int, std::vector<packet>> out;
    for (const packet &p : all)
        out[((p[1] & 0x1f) << 8) | p[2]].push_back(p);
    return out;
}

} // namespace

TEST(Merge, ABurstLostOnTheMainComesFromTheLateBackupInItsPlace)
{
    const std::vector<packet> sent = stream(1200);
    Rings r;
    udp_in *main_in = r.main_in, *backup_in = r.backup_in, *out = r.out;
    merge_config c = r.config(1000000);  // longer than the read: the end of the main is no switch
    c.revert = 1;
    merge_in *m = nullptr;
    ASSERT_EQ(0, merge_create(&m, &c));

    // One packet a millisecond; the main loses 40 of them, the backup brings them all 150 ms later.
    std::thread feeder([&] {
        auto t0 = std::chrono::steady_clock::now();
        size_t next_main = 0, next_backup = 0;
        while (next_backup < sent.size()) {
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            for (; next_main < sent.size() && next_main <= ms; next_main++)
                if (next_main < 500 || next_main >= 540)
                    udp_in_push(main_in, sent[next_main].data(), 188, udp_now_ns());
            for (; next_backup < sent.size() && next_backup + 150 <= ms; next_backup++)
                udp_in_push(backup_in, sent[next_backup].data(), 188, udp_now_ns());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::vector<packet> got;
    // The ring reads as bytes, across datagrams: a buffer of whole packets never ends inside one.
    uint8_t buf[188 * 7];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1800);
    while (std::chrono::steady_clock::now() < end) {
        int n = udp_in_read_until(out, buf, sizeof(buf), 20000);
        for (int i = 0; i + 188 <= n; i += 188)
            got.emplace_back(buf + i, buf + i + 188);
    }
    feeder.join();
    merge_counts counts;
    ASSERT_EQ(0, merge_get_counts(m, &counts));
    merge_destroy(&m);

    // Every PID's packets as sent, each once, in order.
    auto want = by_pid(sent), have = by_pid(got);
    for (const auto &kv : want)
        EXPECT_TRUE(have[kv.first] == kv.second) << "PID " << kv.first << ": " << have[kv.first].size() << " of "
                                                 << kv.second.size();
    EXPECT_EQ(sent.size(), got.size());
    EXPECT_GE(counts.repaired, 40);
    EXPECT_EQ(0, counts.switches);  // a burst shorter than the loss threshold: the main stays on air
}

// An input errored when it went silent is not taken for healthy on its first
// packets back: its errors count over the time it flows, not the silence's.
TEST(Merge, AnInputErroredBeforeASilenceIsStillErroredWhenItComesBack)
{
    const std::vector<packet> sent = stream(1400);
    Rings r;
    udp_in *backup_in = r.backup_in;
    merge_config c = r.config(300000);
    merge_in *m = nullptr;
    ASSERT_EQ(0, merge_create(&m, &c));

    // A packet a millisecond: 300 with a packet lost in every 20, 1.2 s of silence, then 1.1 s clean.
    auto feed = [&](size_t from, size_t to, bool lossy) {
        auto t0 = std::chrono::steady_clock::now();
        for (size_t i = from; i < to; i++) {
            if (!lossy || i % 20 != 7)
                udp_in_push(backup_in, sent[i].data(), 188, udp_now_ns());
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(i - from + 1));
        }
    };
    auto state = [&] {
        merge_health h = {};
        EXPECT_EQ(0, merge_health_of(m, MERGE_BACKUP, &h));
        return std::make_pair(h.state, h.why);
    };
    feed(0, 300, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(MERGE_REPORT_US / 1000 + 50));
    EXPECT_EQ(std::make_pair((int)MERGE_ERRORED, (int)MERGE_WHY_CONTINUITY), state());
    std::this_thread::sleep_for(std::chrono::milliseconds(1200 - MERGE_REPORT_US / 1000 - 50));
    feed(300, 600, false);
    EXPECT_EQ(std::make_pair((int)MERGE_ERRORED, (int)MERGE_WHY_CONTINUITY), state());
    feed(600, 1400, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(MERGE_REPORT_US / 1000 + 50));
    EXPECT_EQ(std::make_pair((int)MERGE_UP, (int)MERGE_WHY_NONE), state());
    merge_destroy(&m);
}
