/* Live addresses: the scheme, and the srt:// query as srt-live-transmit takes it. */
#include "net/srt_addr.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/utils.h"

int net_addr_scheme(const char *text, const char **rest)
{
    static const struct {
        const char *prefix;
        int scheme;
    } schemes[] = {{"udp://", NET_SCHEME_UDP}, {"rtp://", NET_SCHEME_RTP}, {"srt://", NET_SCHEME_SRT}};

    if (!text)
        return -EINVAL;
    for (const auto &s : schemes) {
        size_t n = strlen(s.prefix);
        if (strncasecmp(text, s.prefix, n) == 0) {
            if (rest)
                *rest = text + n;
            return s.scheme;
        }
    }
    if (strstr(text, "://"))
        return -EPROTONOSUPPORT;
    if (rest)
        *rest = text;
    return NET_SCHEME_UDP;
}

const char *srt_mode_name(int mode)
{
    switch (mode) {
    case SRT_MODE_CALLER: return "caller";
    case SRT_MODE_LISTENER: return "listener";
    case SRT_MODE_RENDEZVOUS: return "rendezvous";
    default: return "?";
    }
}

namespace {

int refuse(char *why, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int refuse(char *why, size_t size, const char *fmt, ...)
{
    if (why && size > 0) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(why, size, fmt, ap);
        va_end(ap);
    }
    return -EINVAL;
}

int hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = tolower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

/* Percent-decodes [s, s + n) into out (size bytes). The decoded length, or -1 when it does not fit or a %HH is broken. */
int decode(const char *s, size_t n, char *out, size_t size)
{
    size_t len = 0;
    for (size_t i = 0; i < n; i++) {
        int c = (unsigned char)s[i];
        if (c == '%') {
            if (i + 2 >= n)
                return -1;
            int a = hex_digit(s[i + 1]), b = hex_digit(s[i + 2]);
            if (a < 0 || b < 0)
                return -1;
            c = a * 16 + b;
            i += 2;
        }
        if (c == 0 || len + 1 >= size)
            return -1;
        out[len++] = (char)c;
    }
    out[len] = '\0';
    return (int)len;
}

/* A whole decimal number in [min, max]. */
bool number(const char *v, int64_t min, int64_t max, int64_t *out)
{
    if (!isdigit((unsigned char)v[0]) && !(v[0] == '-' && isdigit((unsigned char)v[1])))
        return false;
    errno = 0;
    char *end = nullptr;
    long long x = strtoll(v, &end, 10);
    if (*end || errno || x < min || x > max)
        return false;
    *out = x;
    return true;
}

/* "yes", "no", "true", "false", "on", "off", "1", "0". */
int boolean(const char *v)
{
    static const char *const yes[] = {"yes", "true", "on", "1"}, *const no[] = {"no", "false", "off", "0"};
    for (const char *y : yes)
        if (strcasecmp(v, y) == 0)
            return 1;
    for (const char *n : no)
        if (strcasecmp(v, n) == 0)
            return 0;
    return -1;
}

/* One key=value of the query, decoded. 0, or -EINVAL with the reason. */
int take_param(srt_endpoint *ep, const char *key, const char *v, bool *mode_given, char *why, size_t size)
{
    int64_t x;
    if (strcmp(key, "mode") == 0) {
        if (strcmp(v, "caller") == 0 || strcmp(v, "client") == 0)
            ep->mode = SRT_MODE_CALLER;
        else if (strcmp(v, "listener") == 0 || strcmp(v, "server") == 0)
            ep->mode = SRT_MODE_LISTENER;
        else if (strcmp(v, "rendezvous") == 0)
            ep->mode = SRT_MODE_RENDEZVOUS;
        else
            return refuse(why, size, "mode=%s: caller, listener or rendezvous", v);
        *mode_given = true;
    } else if (strcmp(key, "passphrase") == 0) {
        size_t n = strlen(v);
        if (n < SRT_ADDR_PASSPHRASE_MIN || n > SRT_ADDR_PASSPHRASE_MAX)
            return refuse(why, size, "passphrase: %d to %d characters, not %zu", SRT_ADDR_PASSPHRASE_MIN,
                          SRT_ADDR_PASSPHRASE_MAX, n);
        utils_strlcpy(ep->passphrase, v, sizeof(ep->passphrase));
    } else if (strcmp(key, "pbkeylen") == 0) {
        if (!number(v, 0, 32, &x) || (x != 0 && x != 16 && x != 24 && x != 32))
            return refuse(why, size, "pbkeylen=%s: 16, 24 or 32 (AES-128, -192, -256)", v);
        ep->pbkeylen = (int)x;
    } else if (strcmp(key, "latency") == 0 || strcmp(key, "rcvlatency") == 0 || strcmp(key, "peerlatency") == 0) {
        if (!number(v, 0, 60000, &x))
            return refuse(why, size, "%s=%s: milliseconds from 0 to 60000", key, v);
        int *field = key[0] == 'l' ? &ep->latency_ms : key[0] == 'r' ? &ep->rcvlatency_ms : &ep->peerlatency_ms;
        *field = (int)x;
    } else if (strcmp(key, "streamid") == 0) {
        if (strlen(v) > SRT_ADDR_STREAMID_MAX)
            return refuse(why, size, "streamid: at most %d characters", SRT_ADDR_STREAMID_MAX);
        utils_strlcpy(ep->streamid, v, sizeof(ep->streamid));
    } else if (strcmp(key, "conntimeo") == 0) {
        if (!number(v, 100, 120000, &x))
            return refuse(why, size, "conntimeo=%s: milliseconds from 100 to 120000", v);
        ep->conntimeo_ms = (int)x;
    } else if (strcmp(key, "maxbw") == 0) {
        if (!number(v, -1, INT64_MAX / 8, &x))
            return refuse(why, size, "maxbw=%s: bytes/s, 0 (input rate and overhead) or -1 (no cap)", v);
        ep->maxbw = x;
    } else if (strcmp(key, "oheadbw") == 0) {
        if (!number(v, 5, 100, &x))
            return refuse(why, size, "oheadbw=%s: percent from 5 to 100", v);
        ep->oheadbw = (int)x;
    } else if (strcmp(key, "enforcedencryption") == 0) {
        int b = boolean(v);
        if (b < 0)
            return refuse(why, size, "enforcedencryption=%s: yes or no", v);
        ep->enforced = b;
    } else if (strcmp(key, "adapter") == 0) {
        in_addr a;
        if (strlen(v) >= sizeof(ep->adapter) || inet_pton(AF_INET, v, &a) != 1)
            return refuse(why, size, "adapter=%s: an IPv4 address", v);
        utils_strlcpy(ep->adapter, v, sizeof(ep->adapter));
    } else if (strcmp(key, "transtype") == 0) {
        if (strcmp(v, "live") != 0)
            return refuse(why, size, "transtype=%s: a channel is live", v);
    } else {
        return refuse(why, size, "unknown parameter %s (mode, passphrase, pbkeylen, latency, rcvlatency, "
                      "peerlatency, streamid, conntimeo, maxbw, oheadbw, enforcedencryption, adapter, transtype)", key);
    }
    return 0;
}

/* "HOST:PORT" (HOST may be empty) of [s, s + n) into ep. */
int take_host_port(srt_endpoint *ep, const char *s, size_t n, char *why, size_t size)
{
    const char *colon = (const char *)memrchr(s, ':', n);
    if (n > 0 && s[0] == '[')
        return refuse(why, size, "IPv6 addresses are not taken");
    if (!colon)
        return refuse(why, size, "no :PORT");
    size_t host_len = (size_t)(colon - s);
    if (host_len > SRT_ADDR_HOST_MAX || memchr(s, ':', host_len))
        return refuse(why, size, "not HOST:PORT");
    char port[16];
    size_t port_len = n - host_len - 1;
    int64_t p;
    if (port_len == 0 || port_len >= sizeof(port))
        return refuse(why, size, "not HOST:PORT with a port from 1 to 65535");
    memcpy(port, colon + 1, port_len);
    port[port_len] = '\0';
    if (!isdigit((unsigned char)port[0]) || !number(port, 1, 65535, &p))
        return refuse(why, size, "not HOST:PORT with a port from 1 to 65535");
    memcpy(ep->host, s, host_len);
    ep->host[host_len] = '\0';
    ep->port = (int)p;
    return 0;
}

} // namespace

int srt_addr_parse(const char *text, srt_endpoint *out, char *why, size_t why_size)
{
    const char *rest = nullptr;
    if (!out || net_addr_scheme(text, &rest) != NET_SCHEME_SRT)
        return refuse(why, why_size, "not an srt:// address");

    srt_endpoint ep;
    memset(&ep, 0, sizeof(ep));
    ep.latency_ms = ep.rcvlatency_ms = ep.peerlatency_ms = ep.conntimeo_ms = ep.oheadbw = -1;
    ep.maxbw = -2;
    ep.enforced = 1;

    const char *query = strchr(rest, '?');
    size_t n = query ? (size_t)(query - rest) : strlen(rest);
    if (n > 0 && rest[n - 1] == '/')
        n--;  // srt://HOST:PORT/?...
    int ret = take_host_port(&ep, rest, n, why, why_size);
    if (ret < 0)
        return ret;

    bool mode_given = false;
    char key[32], value[SRT_ADDR_STREAMID_MAX * 3 + 1];
    for (const char *p = query ? query + 1 : nullptr; p && *p;) {
        const char *amp = strchr(p, '&');
        size_t len = amp ? (size_t)(amp - p) : strlen(p);
        const char *eq = (const char *)memchr(p, '=', len);
        if (len == 0) {
            p = amp ? amp + 1 : nullptr;
            continue;
        }
        if (!eq || eq == p)
            return refuse(why, why_size, "query part \"%.*s\" is not key=value", (int)(len > 40 ? 40 : len), p);
        if (decode(p, (size_t)(eq - p), key, sizeof(key)) < 0)
            return refuse(why, why_size, "unknown parameter %.*s", (int)((eq - p) > 40 ? 40 : (eq - p)), p);
        if (decode(eq + 1, len - (size_t)(eq - p) - 1, value, sizeof(value)) < 0)
            return refuse(why, why_size, "%s: a broken %%HH or a value too long", key);
        ret = take_param(&ep, key, value, &mode_given, why, why_size);
        if (ret < 0)
            return ret;
        p = amp ? amp + 1 : nullptr;
    }
    if (!mode_given)
        ep.mode = ep.host[0] ? SRT_MODE_CALLER : SRT_MODE_LISTENER;
    if (ep.mode != SRT_MODE_LISTENER && !ep.host[0])
        return refuse(why, why_size, "a %s needs the HOST it calls", srt_mode_name(ep.mode));
    if (ep.pbkeylen && !ep.passphrase[0])
        return refuse(why, why_size, "pbkeylen without a passphrase encrypts nothing");
    if (ep.mode == SRT_MODE_LISTENER && ep.adapter[0])
        return refuse(why, why_size, "adapter is a caller's: a listener binds HOST");
    *out = ep;
    return 0;
}

void srt_addr_text(const srt_endpoint *ep, char *buf, size_t size)
{
    if (!buf || size == 0)
        return;
    buf[0] = '\0';
    if (!ep)
        return;
    char extra[64];
    int len = snprintf(buf, size, "srt://%s:%d?mode=%s", ep->host, ep->port, srt_mode_name(ep->mode));
    auto add = [&](const char *fmt, auto... args) {
        if (len >= 0 && (size_t)len < size) {
            snprintf(extra, sizeof(extra), fmt, args...);
            len += snprintf(buf + len, size - (size_t)len, "%s", extra);
        }
    };
    if (ep->passphrase[0])
        add("&passphrase=*****&pbkeylen=%d", ep->pbkeylen ? ep->pbkeylen : 16);
    if (ep->latency_ms >= 0)
        add("&latency=%d", ep->latency_ms);
    if (ep->rcvlatency_ms >= 0)
        add("&rcvlatency=%d", ep->rcvlatency_ms);
    if (ep->peerlatency_ms >= 0)
        add("&peerlatency=%d", ep->peerlatency_ms);
    if (ep->streamid[0] && len >= 0 && (size_t)len < size)
        len += snprintf(buf + len, size - (size_t)len, "&streamid=%s", ep->streamid);
}
