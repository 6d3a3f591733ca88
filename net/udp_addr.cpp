/* IPv4 endpoint parsing shared by the live UDP input and output. */
#include "net/udp_addr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

int udp_addr_parse(const char *text, sockaddr_in *out)
{
    if (!text || !out)
        return -EINVAL;
    const char *colon = strrchr(text, ':');
    if (!colon || !colon[1])
        return -EINVAL;
    char *end = nullptr;
    errno = 0;
    long port = strtol(colon + 1, &end, 10);
    if (*end || errno)
        return -EINVAL;
    if (port < 1 || port > 65535)
        return -ERANGE;

    char host[256];
    size_t len = (size_t)(colon - text);
    if (len >= sizeof(host))
        return -EINVAL;
    memcpy(host, text, len);
    host[len] = '\0';

    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    if (len == 0) {
        a.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, host, &a.sin_addr) != 1) {
        addrinfo hints;
        addrinfo *res = nullptr;
        memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res)
            return -ENOENT;
        a.sin_addr = ((const sockaddr_in *)res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    *out = a;
    return 0;
}

int udp_addr_interface(const char *text, in_addr *out)
{
    if (!out)
        return -EINVAL;
    if (!text || !text[0]) {
        out->s_addr = htonl(INADDR_ANY);
        return 0;
    }
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        return -EINVAL;
    *out = a;
    return 0;
}

int64_t udp_now_ns(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int udp_raise_thread(void)
{
    if (setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), UDP_THREAD_NICE) != 0)
        return -errno;
    return 0;
}
