/*
 * Addresses of the service's live input and output: "HOST:PORT" (plain
 * UDP), "udp://HOST:PORT", "rtp://HOST:PORT" and
 * "srt://HOST:PORT?key=value&..." with the query srt-live-transmit takes:
 *
 *   mode=caller|listener|rendezvous   (client and server also; default:
 *                                     listener without a host, caller with one)
 *   passphrase=TEXT                   10 to 79 characters: AES encryption
 *   pbkeylen=16|24|32                 key length in bytes (AES-128/192/256);
 *                                     with a passphrase only [16]
 *   latency=MS                        receiver's and sender's latency, ms [120]
 *   rcvlatency=MS, peerlatency=MS     each side on its own
 *   streamid=TEXT                     up to 512 characters; a listener with one
 *                                     takes only callers that send it
 *   conntimeo=MS                      a caller's connection attempt [3000]
 *   maxbw=BYTES/S, oheadbw=PERCENT    the sender's bandwidth cap, or its
 *                                     overhead over the input rate [25]
 *   enforcedencryption=yes|no         refuse a peer whose encryption differs [yes]
 *   adapter=IPV4                      local address to bind a caller to
 *   transtype=live                    (the only type a live channel takes)
 *
 * Values are percent-decoded (%26 for '&', %25 for '%'). Parsing is pure:
 * names are resolved when the endpoint is opened.
 */
#ifndef KESTROW_NET_SRT_ADDR_H
#define KESTROW_NET_SRT_ADDR_H

#include <cstddef>
#include <cstdint>

enum net_scheme {
    NET_SCHEME_UDP,   // HOST:PORT or udp://HOST:PORT
    NET_SCHEME_RTP,   // rtp://HOST:PORT
    NET_SCHEME_SRT,   // srt://HOST:PORT?...
};

/*
 * The scheme text names; *rest (when not null) is set to what follows the
 * scheme's "://" (the whole text for a bare HOST:PORT). Any other
 * "xxx://" gives -EPROTONOSUPPORT.
 */
int net_addr_scheme(const char *text, const char **rest);

enum srt_mode {
    SRT_MODE_CALLER,
    SRT_MODE_LISTENER,
    SRT_MODE_RENDEZVOUS,
};

#define SRT_ADDR_PASSPHRASE_MIN 10
#define SRT_ADDR_PASSPHRASE_MAX 79
#define SRT_ADDR_STREAMID_MAX   512
#define SRT_ADDR_HOST_MAX       255
#define SRT_ADDR_PAYLOAD        1316   // bytes of one message: seven TS packets

struct srt_endpoint {
    int mode;                                   // srt_mode
    char host[SRT_ADDR_HOST_MAX + 1];           // empty: every local address (listener)
    int port;                                   // 1..65535
    char passphrase[SRT_ADDR_PASSPHRASE_MAX + 1];  // empty: not encrypted
    int pbkeylen;                               // 0 (the library's: 16), 16, 24 or 32
    int latency_ms;                             // -1: the library's
    int rcvlatency_ms;                          // -1: latency_ms
    int peerlatency_ms;                         // -1: latency_ms
    char streamid[SRT_ADDR_STREAMID_MAX + 1];
    int conntimeo_ms;                           // -1: the library's
    int64_t maxbw;                              // bytes/s; -2: not given (-1: no cap, 0: input rate + overhead)
    int oheadbw;                                // percent, 5..100; -1: not given
    int enforced;                               // 1: a peer with other encryption is refused (the library's)
    char adapter[64];                           // local IPv4 address of a caller; empty: any
};

/*
 * Parses an srt:// address into *out. Returns 0; -EINVAL for anything it
 * does not take, with the reason (one phrase naming the key or part) in why
 * (why_size bytes; may be null). On failure *out is unspecified.
 */
int srt_addr_parse(const char *text, srt_endpoint *out, char *why, size_t why_size);

/*
 * The endpoint as an srt:// address for log lines, its passphrase written
 * as "*****": never the secret itself. Always terminated; cut to size.
 */
void srt_addr_text(const srt_endpoint *ep, char *buf, size_t size);

/* "caller", "listener", "rendezvous"; "?" otherwise. */
const char *srt_mode_name(int mode);

#endif
