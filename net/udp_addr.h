/*
 * IPv4 UDP endpoints of the service's live input and output: "host:port"
 * text, multicast groups included.
 */
#ifndef KESTROW_NET_UDP_ADDR_H
#define KESTROW_NET_UDP_ADDR_H

#include <cstdint>
#include <netinet/in.h>

/*
 * Parses "host:port" (host a dotted IPv4 address or a name; empty: any
 * address) into *out. Returns 0; -EINVAL without text or out, without a ':' or
 * with a port that is not a number; -ERANGE for a port outside 1..65535; -ENOENT when
 * the host cannot be resolved. On failure *out is unchanged.
 */
int udp_addr_parse(const char *text, sockaddr_in *out);

/*
 * Parses a local interface given by its IPv4 address (null or empty:
 * INADDR_ANY) into *out. 0; -EINVAL for anything but a dotted IPv4 address.
 */
int udp_addr_interface(const char *text, in_addr *out);

/* Monotonic clock in nanoseconds. */
int64_t udp_now_ns(void);

#define UDP_THREAD_NICE (-10)  // the receiver's and the sender's threads, where the process may

/*
 * Gives the calling thread nice UDP_THREAD_NICE, where the process may
 * (CAP_SYS_NICE, or RLIMIT_NICE: LimitNICE= of a systemd unit). The receiver
 * and the sender sleep between datagrams; on a busy host a thread of normal
 * priority that wakes waits for the running one's time slice (milliseconds:
 * PCR arrival jitter, an input socket that overflows), a heavier one runs at
 * once. 0, or -errno with the thread's priority unchanged.
 */
int udp_raise_thread(void);

#endif
