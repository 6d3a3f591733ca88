/*
 * Live UDP input and output on real sockets: pacing measured at a receiver,
 * RTP both ways, overruns, bounded stops, and multicast joins between two
 * network namespaces the test creates (skipped where it may not).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/time.h>
}

#include "lib/test_support.h"
#include "net/udp_addr.h"
#include "net/udp_in.h"
#include "net/udp_out.h"

namespace {

const int TS = 188;
const int DGRAM = 7 * TS;
const int64_t PCR_WRAP = (int64_t)300 << 33;

/*
 * A constant-rate stream: PID 0x100 carries a PCR every 20 packets and last, PID 0x101
 * numbered payload. jump_at (packet index) adds jump_ticks to every later PCR; from
 * silent_at on there is none.
 */
std::vector<uint8_t> make_ts(int packets, int64_t rate, int64_t pcr0, int jump_at = -1,
                             int64_t jump_ticks = 0, int silent_at = INT32_MAX)
{
    std::vector<uint8_t> ts((size_t)packets * TS, 0xFF);
    for (int i = 0; i < packets; i++) {
        uint8_t *p = &ts[(size_t)i * TS];
        p[0] = 0x47;
        if ((i % 20 == 0 || i == packets - 1) && i < silent_at) {
            int64_t pcr = pcr0 + (int64_t)((__int128)i * TS * 8 * 27000000 / rate);
            if (jump_at >= 0 && i >= jump_at)
                pcr += jump_ticks;
            pcr %= PCR_WRAP;
            int64_t base = pcr / 300, ext = pcr % 300;
            p[1] = 0x01, p[2] = 0x00, p[3] = 0x20, p[4] = 183, p[5] = 0x10;
            p[6] = (uint8_t)(base >> 25), p[7] = (uint8_t)(base >> 17), p[8] = (uint8_t)(base >> 9);
            p[9] = (uint8_t)(base >> 1), p[10] = (uint8_t)(((base & 1) << 7) | 0x7E | (ext >> 8));
            p[11] = (uint8_t)ext;
        } else {
            p[1] = 0x01, p[2] = 0x01, p[3] = (uint8_t)(0x10 | (i & 15));
            memcpy(p + 4, &i, sizeof(i));
        }
    }
    return ts;
}

struct Datagram {
    int64_t at;  // monotonic ns
    std::vector<uint8_t> data;
};

/* A plain socket on 127.0.0.1 that records what arrives. */
struct Receiver {
    int port = 0;
    int fd = kt::bound_socket(SOCK_DGRAM, &port);
    std::string addr = "127.0.0.1:" + std::to_string(port);
    Receiver()
    {
        int big = 4 << 20;
        EXPECT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big)));
    }
    ~Receiver() { close(fd); }
    /* Everything until count datagrams arrived or idle_ms passed without one. */
    std::vector<Datagram> take(size_t count, int idle_ms)
    {
        std::vector<Datagram> got;
        pollfd p = {fd, POLLIN, 0};
        uint8_t buf[2048];
        while (got.size() < count && poll(&p, 1, idle_ms) == 1) {
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n > 0)
                got.push_back({udp_now_ns(), std::vector<uint8_t>(buf, buf + n)});
        }
        return got;
    }
};

udp_out_config out_config(const std::string &addr, int64_t delay_us, int64_t ring_bytes,
                          const std::atomic<int> *stop = nullptr)
{
    udp_out_config c = {};
    c.addr = addr.c_str();
    c.delay_us = delay_us;
    c.max_lead_us = 300000;
    c.ring_bytes = ring_bytes;
    c.stop_flag = stop;
    return c;
}

int send_all(udp_out *o, std::vector<uint8_t> &ts)
{
    return udp_out_write(o, ts.data(), (int)ts.size());
}

TEST(UdpAddr, ParsesHostPortForms)
{
    struct { const char *text; int ret; uint32_t host; int port; } cases[] = {
        {"127.0.0.1:5000", 0, 0x7F000001, 5000},
        {"239.1.2.3:1234", 0, 0xEF010203, 1234},
        {":6000", 0, 0, 6000},
        {"localhost:7", 0, 0x7F000001, 7},
        {"127.0.0.1", -EINVAL, 0, 0},
        {"127.0.0.1:", -EINVAL, 0, 0},
        {"127.0.0.1:12x", -EINVAL, 0, 0},
        {"127.0.0.1:0", -ERANGE, 0, 0},
        {"127.0.0.1:65536", -ERANGE, 0, 0},
    };
    for (auto &c : cases) {
        sockaddr_in a = {};
        EXPECT_EQ(c.ret, udp_addr_parse(c.text, &a)) << c.text;
        if (c.ret == 0) {
            EXPECT_EQ(c.host, ntohl(a.sin_addr.s_addr)) << c.text;
            EXPECT_EQ(c.port, ntohs(a.sin_port)) << c.text;
        }
    }
}

/*
 * Written all at once, the stream leaves at the pace its PCRs give, across
 * the PCR wrap; a PCR jump of 5 s restarts the schedule instead of stalling.
 */
TEST(UdpOut, SendsAtThePaceOfThePcrs)
{
    const int64_t rate = 8000000;
    const int packets = 7 * 700;  // 0.92 s
    struct { const char *name; int jump_at; int64_t jump_ticks; int silent_at; double span_s; int restarts; } cases[] = {
        {"wrap", -1, 0, INT32_MAX, packets * TS * 8.0 / rate, 1},
        {"jump", packets / 2, 5 * 27000000LL, INT32_MAX, packets * TS * 8.0 / rate, 2},
        // The second half without PCRs (they all passed through from an input that stopped): at the same pace.
        {"silent", -1, 0, packets / 2, packets * TS * 8.0 / rate, 1},
    };
    for (auto &c : cases) {
        Receiver rx;
        std::vector<uint8_t> ts = make_ts(packets, rate, PCR_WRAP - 13500000, c.jump_at, c.jump_ticks, c.silent_at);
        udp_out_config cfg = out_config(rx.addr, 20000, 8 << 20);
        cfg.max_lead_us = 2000000;
        udp_out *o = nullptr;
        ASSERT_EQ(0, udp_out_create(&o, &cfg));
        ASSERT_EQ((int)ts.size(), send_all(o, ts));
        std::vector<Datagram> got = rx.take(packets / 7, 3000);
        udp_out_stats st;
        ASSERT_EQ(0, udp_out_destroy(&o, &st));

        ASSERT_EQ((size_t)packets / 7, got.size()) << c.name;
        std::vector<uint8_t> joined;
        for (auto &d : got)
            joined.insert(joined.end(), d.data.begin(), d.data.end());
        EXPECT_TRUE(joined == ts) << c.name;
        // Arrival against the byte's place at the stream's rate, offset removed.
        std::vector<double> off;
        for (size_t k = 0; k < got.size(); k++)
            off.push_back((got[k].at - got[0].at) / 1e9 - k * DGRAM * 8.0 / rate);
        std::vector<double> sorted = off;
        std::sort(sorted.begin(), sorted.end());
        double median = sorted[sorted.size() / 2];
        std::vector<double> dev;
        for (double v : off)
            dev.push_back(std::abs(v - median));
        std::sort(dev.begin(), dev.end());
        // Generous for a loaded machine: unpaced, the deviation reaches 0.45 s.
        EXPECT_LT(dev[dev.size() * 99 / 100], 0.050) << c.name << ": p99 deviation from the PCRs";
        double span = (got.back().at - got.front().at) / 1e9;
        EXPECT_NEAR(c.span_s, span, 0.05) << c.name;
        EXPECT_EQ(0, st.datagrams_dropped) << c.name;
        EXPECT_EQ(c.restarts, st.schedule_restarts) << c.name;  // the first PCR is one
    }
}

/*
 * A picture marked near the stream's end leaves during the drain: its time
 * can be taken after it (a session's last spot or NUL break is billed on
 * it). What is written after the drain is dropped and counted, not waited on.
 */
TEST(UdpOut, MarksStampedWhileDrainingAreTakenAfterIt)
{
    const int packets = 7 * 70;
    const int64_t pts = 0x1ABCDEF01LL;
    Receiver rx;
    std::vector<uint8_t> ts = make_ts(packets, 8000000, 0);
    uint8_t *p = &ts[(size_t)(packets - 5) * TS];
    const uint8_t pes[] = {0x47, 0x41, 0x02, 0x10, 0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5,
                           (uint8_t)(0x21 | (pts >> 29 & 0x0E)), (uint8_t)(pts >> 22), (uint8_t)(pts >> 14 | 1),
                           (uint8_t)(pts >> 7), (uint8_t)(pts << 1 | 1)};
    memcpy(p, pes, sizeof(pes));
    udp_out_config cfg = out_config(rx.addr, 20000, 1 << 20);
    auto wall_ms = [] {
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
    };
    udp_out *o = nullptr;
    ASSERT_EQ(0, udp_out_create(&o, &cfg));
    ASSERT_EQ(0, udp_out_mark(o, pts));
    int64_t before = wall_ms();
    ASSERT_EQ((int)ts.size(), send_all(o, ts));
    ASSERT_EQ(0, udp_out_drain(o));
    udp_out_mark_time got[UDP_OUT_MARKS];
    ASSERT_EQ(1, udp_out_mark_taken(o, got, UDP_OUT_MARKS));
    EXPECT_EQ(pts, got[0].pts);
    EXPECT_GE(got[0].wall_ms, before);
    EXPECT_LE(got[0].wall_ms, wall_ms());
    EXPECT_EQ(0, udp_out_drain(o));
    EXPECT_EQ(TS, udp_out_write(o, ts.data(), TS));
    udp_out_stats st;
    ASSERT_EQ(0, udp_out_destroy(&o, &st));
    EXPECT_EQ(TS, st.bytes_dropped);
    EXPECT_EQ(packets / 7, (int)rx.take(packets / 7, 500).size());
}

/*
 * A writer held up longer than the lead (0.7 s): the schedule restarts on
 * the late data, which then leaves at the pace of its PCRs, not a few
 * datagrams spread over the time lost with the rest waiting behind them.
 */
TEST(UdpOut, LateDataAfterAStallLeavesAtThePaceOfThePcrs)
{
    const int64_t rate = 8000000;
    const int packets = 7 * 300;  // two halves of 0.197 s
    Receiver rx;
    std::vector<uint8_t> ts = make_ts(packets, rate, 27000000);
    udp_out_config cfg = out_config(rx.addr, 20000, 8 << 20);
    udp_out *o = nullptr;
    ASSERT_EQ(0, udp_out_create(&o, &cfg));
    const int half = (int)ts.size() / 2;
    ASSERT_EQ(half, udp_out_write(o, ts.data(), half));
    av_usleep(197000 + 700000);
    ASSERT_EQ(half, udp_out_write(o, ts.data() + half, half));
    std::vector<Datagram> got = rx.take(packets / 7, 3000);
    udp_out_stats st;
    ASSERT_EQ(0, udp_out_destroy(&o, &st));

    ASSERT_EQ((size_t)packets / 7, got.size());
    EXPECT_NEAR(half * 8.0 / rate, (got.back().at - got[half / DGRAM].at) / 1e9, 0.05);
    EXPECT_EQ(2, st.schedule_restarts);
}

/*
 * A writer whose data comes 50 ms late for over a second, short of a
 * restart: the schedule steps back once, by its delay and the lateness,
 * and the step (a pause on the wire) is counted with its length.
 */
TEST(UdpOut, DataLateForAWholeSecondStepsTheScheduleBackAndCountsIt)
{
    const int64_t rate = 2000000;
    const int chunk = 20, packets = chunk * 166;  // a PCR each chunk (15 ms), 2.5 s in all
    Receiver rx;
    std::vector<uint8_t> ts = make_ts(packets, rate, 27000000);
    udp_out_config cfg = out_config(rx.addr, 20000, 8 << 20);
    udp_out *o = nullptr;
    ASSERT_EQ(0, udp_out_create(&o, &cfg));
    int64_t t0 = udp_now_ns();
    for (int k = 0; k < packets / chunk; k++) {
        int64_t due = t0 + (int64_t)k * chunk * TS * 8 * 1000000000 / rate + (k ? 70000000 : 0);
        int64_t wait = due - udp_now_ns();
        if (wait > 0)
            av_usleep((unsigned)(wait / 1000));
        ASSERT_EQ(chunk * TS, udp_out_write(o, ts.data() + (size_t)k * chunk * TS, chunk * TS));
    }
    rx.take(packets / 7, 1000);
    udp_out_stats st;
    ASSERT_EQ(0, udp_out_destroy(&o, &st));
    EXPECT_EQ(1, st.steps_back);
    EXPECT_GE(st.max_step_back_us, 70000);
    EXPECT_LT(st.max_step_back_us, 150000);
    EXPECT_EQ(1, st.schedule_restarts);  // the first PCR's alone
}

TEST(UdpOut, RtpHeadersCarryTheStreamClockAndComeOffAtTheInput)
{
    const int64_t rate = 8000000;
    const int packets = 7 * 200;
    Receiver rx;
    std::vector<uint8_t> ts = make_ts(packets, rate, 27000000);
    udp_out_config cfg = out_config(rx.addr, 10000, 1 << 20);
    cfg.rtp = 1;
    udp_out *o = nullptr;
    ASSERT_EQ(0, udp_out_create(&o, &cfg));
    send_all(o, ts);
    std::vector<Datagram> got = rx.take(packets / 7, 3000);
    udp_out_destroy(&o, nullptr);
    ASSERT_EQ((size_t)packets / 7, got.size());
    for (size_t k = 0; k < got.size(); k++) {
        const uint8_t *h = got[k].data.data();
        ASSERT_EQ((size_t)UDP_OUT_RTP_HEADER + DGRAM, got[k].data.size());
        EXPECT_EQ(0x80, h[0]);
        EXPECT_EQ(33, h[1]);
        uint32_t ts90 = (uint32_t)h[4] << 24 | h[5] << 16 | h[6] << 8 | h[7];
        EXPECT_NEAR(90000.0 + k * DGRAM * 8 * 90000.0 / rate, ts90, 1.0) << k;
        if (k > 0) {
            const uint8_t *p = got[k - 1].data.data();
            EXPECT_EQ((uint16_t)((p[2] << 8 | p[3]) + 1), (uint16_t)(h[2] << 8 | h[3])) << k;
        }
    }

    // The same datagrams into the input, read through its AVIO context.
    udp_in_config icfg = {};
    std::string addr = "127.0.0.1:" + std::to_string(kt::free_port(SOCK_DGRAM));
    icfg.addr = addr.c_str();
    icfg.ring_bytes = 1 << 20;
    icfg.socket_buffer = 4 << 20;
    udp_in *in = nullptr;
    ASSERT_EQ(0, udp_in_create(&in, &icfg));
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dst;
    udp_addr_parse(addr.c_str(), &dst);
    for (auto &d : got)
        sendto(fd, d.data.data(), d.data.size(), 0, (sockaddr *)&dst, sizeof(dst));
    close(fd);
    udp_in_stats st = {};
    for (int waited = 0; waited < 300 && st.datagrams + st.kernel_drops < (int64_t)got.size(); waited++) {
        usleep(10000);
        udp_in_get_stats(in, &st);
    }
    ASSERT_EQ((int64_t)got.size(), st.rtp_datagrams);
    std::vector<uint8_t> back(ts.size());
    EXPECT_EQ((int)back.size(), avio_read(udp_in_pb(in), back.data(), (int)back.size()));
    EXPECT_TRUE(back == ts);
    udp_in_destroy(&in);
}

/* Also: how long what the reader has not taken has waited (a reader behind is not an input gone). */
TEST(UdpIn, CountsOverrunsAndKeepsTheOldestDatagrams)
{
    std::string addr = "127.0.0.1:" + std::to_string(kt::free_port(SOCK_DGRAM));
    udp_in_config cfg = {};
    cfg.addr = addr.c_str();
    cfg.ring_bytes = 0;  // the smallest ring: 16 datagrams
    udp_in *in = nullptr;
    ASSERT_EQ(0, udp_in_create(&in, &cfg));
    EXPECT_EQ(0, udp_in_unread_since(in));
    std::vector<uint8_t> ts = make_ts(7 * 40, 8000000, 0);
    int64_t sent = av_gettime_relative();
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dst;
    udp_addr_parse(addr.c_str(), &dst);
    for (int k = 0; k < 40; k++)
        sendto(fd, &ts[(size_t)k * DGRAM], DGRAM, 0, (sockaddr *)&dst, sizeof(dst));
    close(fd);
    udp_in_stats st = {};
    for (int waited = 0; waited < 300 && st.datagrams + st.overruns + st.kernel_drops < 40; waited++) {
        usleep(10000);
        udp_in_get_stats(in, &st);
    }
    EXPECT_EQ(16, st.datagrams);
    EXPECT_EQ(24, st.overruns + st.kernel_drops);
    int64_t unread = udp_in_unread_since(in);
    EXPECT_GE(unread, sent);
    EXPECT_LE(unread, av_gettime_relative());
    std::vector<uint8_t> back(16 * DGRAM);
    EXPECT_EQ((int)back.size(), avio_read(udp_in_pb(in), back.data(), (int)back.size()));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), ts.begin()));
    EXPECT_EQ(0, udp_in_unread_since(in));
    udp_in_destroy(&in);
}

/* The receiver's reports of the input (udp_in_config.on_change). */
struct Changes {
    std::mutex lock;
    std::vector<udp_in_report> seen;
    static void on(void *opaque, const udp_in_report *rep)
    {
        Changes *c = (Changes *)opaque;
        std::lock_guard<std::mutex> guard(c->lock);
        c->seen.push_back(*rep);
    }
    size_t wait(size_t n)
    {
        for (int i = 0; i < 300 && count() < n; i++)
            usleep(10000);
        return count();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return seen.size();
    }
};

TEST(UdpIn, TellsWhenTheInputIsNotMpegTsAndBack)
{
    std::string addr = "127.0.0.1:" + std::to_string(kt::free_port(SOCK_DGRAM));
    Changes ch;
    udp_in_config cfg = {};
    cfg.addr = addr.c_str();
    cfg.on_change = Changes::on;
    cfg.on_change_opaque = &ch;
    cfg.ring_bytes = 200 * DGRAM;  // nothing is read: room for all
    udp_in *in = nullptr;
    ASSERT_EQ(0, udp_in_create(&in, &cfg));
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dst;
    udp_addr_parse(addr.c_str(), &dst);
    auto send = [&](const uint8_t *d) { sendto(fd, d, DGRAM, 0, (sockaddr *)&dst, sizeof(dst)); };

    std::vector<uint8_t> ts = make_ts(14, 8000000, 0);
    send(ts.data());
    ASSERT_EQ(1u, ch.wait(1));  // back: the first TS datagram; a silence is not the receiver's to tell

    // Random bytes for 1.5 s, then a TS datagram that does not start on a packet.
    std::vector<uint8_t> junk(DGRAM);
    srand(1);
    int64_t junk_from = udp_now_ns() / 1000;
    std::vector<int64_t> sent_us;  // a busy machine sleeps longer: the count is checked against these
    for (int k = 0; k < 150; k++) {
        for (uint8_t &b : junk)
            b = (uint8_t)rand();
        send(junk.data());
        sent_us.push_back(udp_now_ns() / 1000);
        usleep(10000);
    }
    send(ts.data() + 50);
    ASSERT_EQ(3u, ch.wait(3));
    std::vector<int> changes;
    for (auto &c : ch.seen)
        changes.push_back(c.change);
    EXPECT_EQ((std::vector<int>{UDP_IN_BACK, UDP_IN_INVALID, UDP_IN_BACK}), changes);
    EXPECT_GE(ch.seen[1].now_us - junk_from, UDP_IN_INVALID_AFTER_US);
    EXPECT_EQ(1, ch.seen[1].seconds);
    // The datagrams counted are those of the junk sent before the change (a few still in the socket aside).
    long before = std::count_if(sent_us.begin(), sent_us.end(), [&](int64_t t) { return t < ch.seen[1].now_us; });
    EXPECT_GE(ch.seen[1].datagrams, before - 5);
    EXPECT_LE(ch.seen[1].datagrams, before + 1);
    close(fd);
    udp_in_destroy(&in);
}

TEST(UdpIn, EmptyDatagramsAreSkippedAndAnEmptyReadReturnsAtOnce)
{
    std::string addr = "127.0.0.1:" + std::to_string(48000 + getpid() % 10000);
    udp_in_config cfg = {};
    cfg.addr = addr.c_str();
    udp_in *in = nullptr;
    ASSERT_EQ(0, udp_in_create(&in, &cfg));
    std::vector<uint8_t> ts = make_ts(7, 8000000, 0);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dst;
    udp_addr_parse(addr.c_str(), &dst);
    auto send = [&](int size) { sendto(fd, ts.data(), size, 0, (sockaddr *)&dst, sizeof(dst)); };
    for (int k = 0; k < 3; k++)
        send(0);
    udp_in_stats st = {};
    for (int waited = 0; waited < 300 && st.datagrams < 3; waited++) {
        usleep(10000);
        udp_in_get_stats(in, &st);
    }
    ASSERT_EQ(3, st.datagrams);
    uint8_t buf[DGRAM];
    EXPECT_EQ(0, udp_in_read(in, buf, 0));
    // Only empty datagrams queued: the read waits for bytes.
    std::thread late([&] { usleep(100000); send(DGRAM); });
    EXPECT_EQ(DGRAM, udp_in_read(in, buf, sizeof(buf)));
    late.join();
    EXPECT_TRUE(std::equal(buf, buf + DGRAM, ts.begin()));
    // With a time limit, as the service reads: empty datagrams do not end the wait either.
    for (int k = 0; k < 3; k++)
        send(0);
    for (int waited = 0; waited < 300 && st.datagrams < 7; waited++) {
        usleep(10000);
        udp_in_get_stats(in, &st);
    }
    ASSERT_EQ(7, st.datagrams);
    EXPECT_EQ(AVERROR(EAGAIN), udp_in_read_until(in, buf, sizeof(buf), 50000));
    close(fd);
    udp_in_destroy(&in);
}

TEST(UdpLive, EveryWaitEndsInBoundedTime)
{
    Receiver rx;
    std::vector<uint8_t> ts = make_ts(7 * 400, 8000000, 0);
    auto ms_since = [](int64_t t0) { return (udp_now_ns() - t0) / 1000000; };

    // Destroy drains for 0.5 s at most, then drops and counts.
    udp_out_config cfg = out_config(rx.addr, 5000000, 1 << 20);
    cfg.max_lead_us = 10000000;
    udp_out *o = nullptr;
    ASSERT_EQ(0, udp_out_create(&o, &cfg));
    send_all(o, ts);
    int64_t t0 = udp_now_ns();
    udp_out_stats st;
    udp_out_destroy(&o, &st);
    EXPECT_GE(ms_since(t0), 450);
    EXPECT_LT(ms_since(t0), 1500);
    EXPECT_EQ(400, st.datagrams_dropped);
    EXPECT_EQ(0, st.datagrams_sent);

    // Stopping with a full ring: the writer drops instead of waiting.
    std::atomic<int> stop{1};
    cfg = out_config(rx.addr, 5000000, 0, &stop);
    cfg.max_lead_us = 10000000;
    ASSERT_EQ(0, udp_out_create(&o, &cfg));
    t0 = udp_now_ns();
    EXPECT_EQ((int)ts.size(), send_all(o, ts));
    EXPECT_LT(ms_since(t0), 500);
    udp_out_destroy(&o, &st);
    EXPECT_EQ((int64_t)(400 - 16) * DGRAM, st.bytes_dropped);

    // A read with nothing to read ends when the stop flag is set.
    std::atomic<int> stop_in{0};
    udp_in_config icfg = {};
    std::string addr = "127.0.0.1:" + std::to_string(kt::free_port(SOCK_DGRAM));
    icfg.addr = addr.c_str();
    icfg.stop_flag = &stop_in;
    udp_in *in = nullptr;
    ASSERT_EQ(0, udp_in_create(&in, &icfg));
    std::thread setter([&] { usleep(100000); stop_in.store(1); });
    uint8_t buf[DGRAM];
    t0 = udp_now_ns();
    EXPECT_EQ(AVERROR_EXIT, udp_in_read(in, buf, sizeof(buf)));
    EXPECT_LT(ms_since(t0), 1000);
    setter.join();
    t0 = udp_now_ns();
    udp_in_destroy(&in);
    EXPECT_LT(ms_since(t0), 500);
}

/* Runs a shell command; true on status 0. */
bool sh(const std::string &cmd)
{
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

/* Moves the calling thread into a named network namespace; false when it cannot. */
bool enter_netns(const std::string &name)
{
    int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

/* Multicast from one namespace to another over a veth pair: any-source and source-specific joins. */
TEST(UdpLive, MulticastJoinsBetweenNamespaces)
{
    std::string a = "kta" + std::to_string(getpid()), b = "ktb" + std::to_string(getpid());
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    bool made = home >= 0 && sh("ip netns add " + a) && sh("ip netns add " + b) &&
                sh("ip link add v" + a + " netns " + a + " type veth peer name v" + b + " netns " + b) &&
                sh("ip -n " + a + " addr add 10.77.0.1/24 dev v" + a) &&
                sh("ip -n " + b + " addr add 10.77.0.2/24 dev v" + b) &&
                sh("ip -n " + a + " link set v" + a + " up") && sh("ip -n " + b + " link set v" + b + " up");
    if (!made) {
        sh("ip netns del " + a);
        sh("ip netns del " + b);
        if (home >= 0)
            close(home);
        GTEST_SKIP() << "network namespaces not allowed here: multicast not tested";
    }

    struct { const char *source; int64_t expect; } joins[] = {{"", 60}, {"10.77.0.1", 60}, {"10.77.0.9", 0}};
    udp_in *in[3] = {};
    ASSERT_TRUE(enter_netns(b));
    for (int k = 0; k < 3; k++) {
        std::string group = "239.77.0." + std::to_string(k + 1) + ":5000";
        udp_in_config icfg = {};
        icfg.addr = group.c_str();
        icfg.interface = "10.77.0.2";
        icfg.source = joins[k].source;
        icfg.ring_bytes = 1 << 20;
        EXPECT_EQ(0, udp_in_create(&in[k], &icfg)) << k;
    }
    ASSERT_TRUE(enter_netns(a));
    std::vector<uint8_t> ts = make_ts(7 * 60, 8000000, 0);
    for (int k = 0; k < 3; k++) {
        std::string group = "239.77.0." + std::to_string(k + 1) + ":5000";
        udp_out_config cfg = out_config(group, 0, 1 << 20);
        cfg.interface = "10.77.0.1";
        cfg.ttl = 2;
        udp_out *o = nullptr;
        EXPECT_EQ(0, udp_out_create(&o, &cfg)) << k;
        send_all(o, ts);
        udp_out_destroy(&o, nullptr);
    }
    setns(home, CLONE_NEWNET);
    close(home);
    usleep(200000);
    for (int k = 0; k < 3; k++) {
        udp_in_stats st = {};
        udp_in_get_stats(in[k], &st);
        EXPECT_EQ(joins[k].expect, st.datagrams) << "join " << k << " source '" << joins[k].source << "'";
        udp_in_destroy(&in[k]);
    }
    sh("ip netns del " + a);
    sh("ip netns del " + b);
}

}  // namespace
