/*
 * Live addresses beyond plain UDP: the srt:// query, the RTP reorderer, and
 * an SRT input and output of our own on loopback (encrypted, a wrong
 * passphrase refused on both ends, messages through the fed ring).
 */
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support.h"
#include "net/rtp_in.h"
#include "net/srt_addr.h"
#include "net/srt_in.h"
#include "net/srt_out.h"
#include "net/udp_addr.h"
#include "net/udp_in.h"

namespace {

/* Polls cond every 10 ms until it holds or ms pass. */
template <class F>
bool wait_until(F cond, int ms)
{
    for (int t = 0; t < ms; t += 10) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

TEST(SrtAddr, TakesTheQueryAsSrtLiveTransmitWritesIt)
{
    struct {
        const char *text;
        int mode;
        const char *host;
        int port;
        const char *passphrase;
        int pbkeylen, latency;
        const char *streamid;
    } good[] = {
        {"srt://:9000", SRT_MODE_LISTENER, "", 9000, "", 0, -1, ""},
        {"srt://10.1.2.3:9001", SRT_MODE_CALLER, "10.1.2.3", 9001, "", 0, -1, ""},
        {"SRT://h:1/?mode=server&latency=0", SRT_MODE_LISTENER, "h", 1, "", 0, 0, ""},
        {"srt://h:2?mode=rendezvous&transtype=live", SRT_MODE_RENDEZVOUS, "h", 2, "", 0, -1, ""},
        {"srt://127.0.0.1:9002?mode=listener&passphrase=0123456789%26x&pbkeylen=32&latency=200"
         "&streamid=%23!::r=live/a,m=publish", SRT_MODE_LISTENER, "127.0.0.1", 9002, "0123456789&x", 32, 200,
         "#!::r=live/a,m=publish"},
    };
    for (auto &c : good) {
        srt_endpoint ep;
        char why[256] = "";
        ASSERT_EQ(0, srt_addr_parse(c.text, &ep, why, sizeof(why))) << c.text << ": " << why;
        EXPECT_EQ(c.mode, ep.mode) << c.text;
        EXPECT_STREQ(c.host, ep.host) << c.text;
        EXPECT_EQ(c.port, ep.port) << c.text;
        EXPECT_STREQ(c.passphrase, ep.passphrase) << c.text;
        EXPECT_EQ(c.pbkeylen, ep.pbkeylen) << c.text;
        EXPECT_EQ(c.latency, ep.latency_ms) << c.text;
        EXPECT_STREQ(c.streamid, ep.streamid) << c.text;
    }
    struct {
        const char *text, *why;
    } bad[] = {
        {"srt://:9000?mode=caller", "a caller needs the HOST it calls"},
        {"srt://h:9000?passphrase=short", "passphrase: 10 to 79 characters, not 5"},
        {"srt://h:9000?passphrase=0123456789&pbkeylen=20", "pbkeylen=20: 16, 24 or 32 (AES-128, -192, -256)"},
        {"srt://h:9000?pbkeylen=16", "pbkeylen without a passphrase encrypts nothing"},
        {"srt://h:9000?latency=1s", "latency=1s: milliseconds from 0 to 60000"},
        {"srt://h:9000?mode=push", "mode=push: caller, listener or rendezvous"},
        {"srt://h:9000?transtype=file", "transtype=file: a channel is live"},
        {"srt://h:9000?latency", "query part \"latency\" is not key=value"},
        {"srt://h:9000?streamid=%zz", "streamid: a broken %HH or a value too long"},
        {"srt://h:9000?foo=1", "unknown parameter foo"},
        {"srt://h:0", "not HOST:PORT with a port from 1 to 65535"},
        {"srt://h", "no :PORT"},
        {"srt://[::1]:9000", "IPv6 addresses are not taken"},
        {"srt://:9000?adapter=127.0.0.1", "adapter is a caller's: a listener binds HOST"},
    };
    for (auto &c : bad) {
        srt_endpoint ep;
        char why[256] = "";
        EXPECT_EQ(-EINVAL, srt_addr_parse(c.text, &ep, why, sizeof(why))) << c.text;
        EXPECT_EQ(std::string(c.why), std::string(why).substr(0, strlen(c.why))) << c.text;
    }
    struct {
        const char *text;
        int scheme;
    } schemes[] = {{"1.2.3.4:5", NET_SCHEME_UDP}, {"udp://1.2.3.4:5", NET_SCHEME_UDP},
                   {"rtp://1.2.3.4:5", NET_SCHEME_RTP}, {"srt://:5", NET_SCHEME_SRT},
                   {"http://1.2.3.4:5", -EPROTONOSUPPORT}};
    for (auto &c : schemes)
        EXPECT_EQ(c.scheme, net_addr_scheme(c.text, nullptr)) << c.text;
}

TEST(SrtAddr, LogTextMasksThePassphrase)
{
    srt_endpoint ep;
    ASSERT_EQ(0, srt_addr_parse("srt://:9000?passphrase=very-secret-words&latency=80", &ep, nullptr, 0));
    char text[256];
    srt_addr_text(&ep, text, sizeof(text));
    EXPECT_STREQ("srt://:9000?mode=listener&passphrase=*****&pbkeylen=16&latency=80", text);
}

/* ------------------------------------------------------------------------ */

/* An RTP datagram of one TS packet whose payload carries its sequence number. */
std::vector<uint8_t> rtp_datagram(uint16_t seq, uint32_t ssrc = 7)
{
    std::vector<uint8_t> d(12 + 188, 0xFF);
    d[0] = 0x80, d[1] = RTP_PT_MP2T, d[2] = (uint8_t)(seq >> 8), d[3] = (uint8_t)seq;
    d[8] = (uint8_t)(ssrc >> 24), d[9] = (uint8_t)(ssrc >> 16), d[10] = (uint8_t)(ssrc >> 8), d[11] = (uint8_t)ssrc;
    d[12] = 0x47;
    d[13] = (uint8_t)(seq >> 8), d[14] = (uint8_t)seq;
    return d;
}

void collect(void *opaque, const uint8_t *data, int len)
{
    auto *out = (std::vector<int> *)opaque;
    out->push_back(len == 188 && data[0] == 0x47 ? data[1] << 8 | data[2] : -len);
}

TEST(RtpReorder, PutsDatagramsBackInOrderWithinItsWindow)
{
    const int WAIT = RTP_REORDER_WAIT_NS / 1000000 + 1;  // ms: a missing one is given up after this
    struct row {
        const char *name;
        std::vector<int> in, out;  // sequence numbers; in: -1 a wait of WAIT ms, -2 a plain TS datagram
        rtp_stats want;  // datagrams, lost, reordered, duplicates, late, resyncs, not_rtp
    };
    std::vector<int> ahead = {1};
    std::vector<int> ahead_out = {1};
    for (int s = 3; s <= 2 + RTP_REORDER_SLOTS; s++)
        ahead.push_back(s), ahead_out.push_back(s);
    std::vector<row> rows = {
        {"in order", {1, 2, 3}, {1, 2, 3}, {3, 0, 0, 0, 0, 0, 0}},
        {"two swapped", {1, 3, 2, 4}, {1, 2, 3, 4}, {4, 0, 1, 0, 0, 0, 0}},
        {"three ahead of one", {1, 3, 4, 5, 2}, {1, 2, 3, 4, 5}, {5, 0, 1, 0, 0, 0, 0}},
        {"a duplicate, ahead and behind", {1, 3, 3, 2, 2}, {1, 2, 3}, {5, 0, 1, 2, 0, 0, 0}},
        {"a loss past the window", ahead, ahead_out, {RTP_REORDER_SLOTS + 1, 1, 0, 0, 0, 0, 0}},
        {"a loss waited out", {1, 3, -1, 4}, {1, 3, 4}, {3, 1, 0, 0, 0, 0, 0}},
        {"too late", {1, 3, -1, 2}, {1, 3}, {3, 1, 0, 0, 1, 0, 0}},
        {"across the wrap", {65534, 65535, 1, 0}, {65534, 65535, 0, 1}, {4, 0, 1, 0, 0, 0, 0}},
        {"a new source", {10, 12, 5000, 5001}, {10, 12, 5000, 5001}, {4, 1, 0, 0, 0, 1, 0}},
        {"plain TS passes", {1, -2, 2}, {1, -188, 2}, {2, 0, 0, 0, 0, 0, 1}},
    };
    for (const row &r : rows) {
        std::vector<int> got;
        rtp_reorder *ro = nullptr;
        ASSERT_EQ(0, rtp_reorder_create(&ro, collect, &got));
        int64_t now = 1000000000;
        for (int seq : r.in) {
            if (seq == -1) {
                now += (int64_t)WAIT * 1000000;
                rtp_reorder_tick(ro, now);
                continue;
            }
            std::vector<uint8_t> d = rtp_datagram((uint16_t)seq);
            if (seq == -2) {  // a null packet without RTP header
                d.erase(d.begin(), d.begin() + 12);
                d[1] = 0x1F, d[2] = 0xFF;
            }
            rtp_reorder_put(ro, d.data(), (int)d.size(), now);
            now += 100000;
        }
        for (int &v : got)
            v = v == 0x1FFF ? -188 : v;
        EXPECT_EQ(r.out, got) << r.name;
        rtp_stats st;
        ASSERT_EQ(0, rtp_reorder_get_stats(ro, &st));
        const rtp_stats &w = r.want;
        EXPECT_EQ(std::vector<int64_t>({w.datagrams, w.lost, w.reordered, w.duplicates, w.late, w.resyncs, w.not_rtp}),
                  std::vector<int64_t>({st.datagrams, st.lost, st.reordered, st.duplicates, st.late, st.resyncs,
                                        st.not_rtp}))
            << r.name;
        EXPECT_EQ(0, rtp_reorder_destroy(&ro));
    }
}

/* ------------------------------------------------------------------------ */

struct Reports {
    std::mutex lock;
    std::vector<srt_link_report> seen;
    static void on(void *opaque, const srt_link_report *r)
    {
        Reports *self = (Reports *)opaque;
        std::lock_guard<std::mutex> guard(self->lock);
        if (r->change != SRT_LINK_STATS)
            self->seen.push_back(*r);
    }
    bool has(int change, int why = -1)
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const srt_link_report &r : seen)
            if (r.change == change && (why < 0 || r.why == why))
                return true;
        return false;
    }
};

udp_in *fed_ring()
{
    udp_in_config c = {};
    c.fed = 1;
    c.ring_bytes = 1 << 20;
    udp_in *ring = nullptr;
    EXPECT_EQ(0, udp_in_create(&ring, &c));
    return ring;
}

/*
 * Our listener input (encrypted) and caller output: a wrong passphrase is
 * refused and said on both ends, then the right one connects and every
 * message arrives in the ring, in order, counted.
 */
TEST(SrtLink, EncryptedMessagesGoThroughAndAWrongPassphraseIsRefusedOnBothEnds)
{
    int port = kt::free_port(SOCK_DGRAM);
    std::string base = "srt://127.0.0.1:" + std::to_string(port);
    srt_endpoint listen_ep, wrong_ep, right_ep;
    ASSERT_EQ(0, srt_addr_parse((base + "?mode=listener&passphrase=the-right-words&pbkeylen=32").c_str(), &listen_ep,
                                nullptr, 0));
    ASSERT_EQ(0, srt_addr_parse((base + "?passphrase=the-wrong-words&pbkeylen=32").c_str(), &wrong_ep, nullptr, 0));
    ASSERT_EQ(0, srt_addr_parse((base + "?passphrase=the-right-words&pbkeylen=32").c_str(), &right_ep, nullptr, 0));

    Reports in_reports, out_reports;
    udp_in *ring = fed_ring();
    srt_in *in = nullptr;
    ASSERT_EQ(0, srt_in_create(&in, &listen_ep, Reports::on, &in_reports));
    ASSERT_EQ(0, srt_in_attach(in, ring));

    srt_out *out = nullptr;
    ASSERT_EQ(0, srt_out_create(&out, &wrong_ep, Reports::on, &out_reports));
    EXPECT_TRUE(wait_until([&] { return out_reports.has(SRT_LINK_FAILED, SRT_WHY_PASSPHRASE); }, 5000));
    EXPECT_TRUE(wait_until([&] { return in_reports.has(SRT_LINK_REFUSED, SRT_WHY_PASSPHRASE); }, 5000));
    EXPECT_FALSE(in_reports.has(SRT_LINK_CONNECTED));
    srt_out_destroy(&out);

    ASSERT_EQ(0, srt_out_create(&out, &right_ep, Reports::on, &out_reports));
    ASSERT_TRUE(wait_until([&] { return out_reports.has(SRT_LINK_CONNECTED); }, 5000));
    uint8_t msg[SRT_ADDR_PAYLOAD];
    const int N = 200;
    for (int i = 0; i < N; i++) {
        memset(msg, 0xFF, sizeof(msg));
        for (int k = 0; k < 7; k++)
            msg[k * 188] = 0x47;
        memcpy(msg + 4, &i, sizeof(i));
        ASSERT_EQ(0, srt_out_send(out, msg, sizeof(msg)));
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    std::vector<int> order;
    uint8_t buf[SRT_ADDR_PAYLOAD];
    while ((int)order.size() < N) {
        int n = udp_in_read_until(ring, buf, sizeof(buf), 3000000);
        ASSERT_EQ((int)sizeof(buf), n) << "after " << order.size();
        int i;
        memcpy(&i, buf + 4, sizeof(i));
        order.push_back(i);
    }
    for (int i = 0; i < N; i++)
        ASSERT_EQ(i, order[i]);
    srt_link_stats st;
    ASSERT_TRUE(wait_until([&] { return srt_in_get_stats(in, &st) == 0 && st.packets >= N; }, 3000));
    EXPECT_EQ(1, st.connected);
    EXPECT_EQ(1, st.connections);
    EXPECT_EQ(1, st.refused);
    EXPECT_GT(st.latency_ms, 0);

    srt_out_destroy(&out);
    EXPECT_TRUE(wait_until([&] { return in_reports.has(SRT_LINK_LEFT); }, 5000));
    EXPECT_EQ(0, srt_in_destroy(&in));
    EXPECT_EQ(0, udp_in_destroy(&ring));
}

} // namespace
