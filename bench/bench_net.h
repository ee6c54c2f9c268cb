// Small socket and clock helpers shared by the benchmark, the soak run and
// the peer comparison: an NTRIP caster stand-in on 127.0.0.1:2101 and the
// plain receive loop the library is measured against. Header-only so every
// bench program stays one translation unit plus this file.
#ifndef VELTO_BENCH_NET_H
#define VELTO_BENCH_NET_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace bench {

const int kCasterPort = 2101;

inline int64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

inline double secondsSince(int64_t startNs) { return (double)(nowNs() - startNs) / 1e9; }

inline void die(const char *what) {
    fprintf(stderr, "%s: %s\n", what, strerror(errno));
    exit(2);
}

// The library talks to port 2101 of its caster host only, so every bench
// program runs in a network namespace of its own (see bench/run.sh) and
// listens there.
inline int listenOnCasterPort(int backlog = 1024) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(kCasterPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (sockaddr *)&address, sizeof address) != 0 || listen(fd, backlog) != 0)
        die("listen on 127.0.0.1:2101 (run inside bench/run.sh)");
    return fd;
}

inline int connectToCaster() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(kCasterPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0)
        die("connect");
    return fd;
}

inline bool waitReadable(int fd, int milliseconds) {
    pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, milliseconds) > 0;
}

// Reads a request head up to its empty line; empty when the peer left or
// nothing came within the timeout.
inline std::string readRequestHead(int fd, int timeoutMs = 10000) {
    std::string head;
    int64_t deadline = nowNs() + (int64_t)timeoutMs * 1000000;
    while (head.find("\r\n\r\n") == std::string::npos) {
        int left = (int)((deadline - nowNs()) / 1000000);
        if (left <= 0 || !waitReadable(fd, left))
            return std::string();
        char chunk[2048];
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return std::string();
        head.append(chunk, (size_t)got);
    }
    return head;
}

inline bool sendAll(int fd, const void *bytes, size_t count) {
    const char *next = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t sent = send(fd, next, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        next += sent;
        count -= (size_t)sent;
    }
    return true;
}

inline bool sendAll(int fd, const std::string &text) { return sendAll(fd, text.data(), text.size()); }

// The latency probe's message: a sequence number and the moment it was sent.
struct Stamp {
    uint32_t magic;
    uint32_t sequence;
    int64_t sentNs;
};
const uint32_t kStampMagic = 0x7374616d;

// Sends count stamps at 100 per second on an absolute 10 ms schedule, so a
// late send does not push the ones after it; stops early when *stop is set.
inline bool sendStampsAt100Hz(int fd, int count, const std::atomic<bool> *stop = nullptr) {
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < count && !(stop != nullptr && *stop); ++i) {
        next.tv_nsec += 10 * 1000 * 1000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
        Stamp stamp = {kStampMagic, (uint32_t)i, nowNs()};
        if (!sendAll(fd, &stamp, sizeof stamp))
            return false;
    }
    return true;
}

inline void resetConnection(int fd) {
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// The value of a header line such as "Authorization:" in a request head.
inline std::string headerValue(const std::string &head, const char *name) {
    size_t at = 0;
    size_t length = strlen(name);
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos)
            end = head.size();
        if (end - at > length && strncasecmp(head.c_str() + at, name, length) == 0) {
            size_t value = at + length;
            while (value < end && head[value] == ' ')
                ++value;
            return head.substr(value, end - value);
        }
        at = end + 2;
    }
    return std::string();
}

// The client number a request carries after '#' in its User-Agent line.
inline int clientNumberOf(const std::string &head) {
    std::string agent = headerValue(head, "User-Agent:");
    size_t hash = agent.rfind('#');
    return hash == std::string::npos ? -1 : atoi(agent.c_str() + hash + 1);
}

// The stream request the plain baseline sends: the library's own text, so
// the caster cannot tell the two apart.
inline std::string baselineStreamRequest(const char *mountPoint, int clientNumber) {
    return std::string("GET /") + mountPoint + " HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0 #" +
           std::to_string(clientNumber) + "\r\nAuthorization: Basic cXdlcnQ6eXVpb3A=\r\n\r\n";
}

inline void raiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

inline double cpuSeconds(int who = RUSAGE_SELF) {
    rusage usage;
    getrusage(who, &usage);
    return (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

inline double cpuSecondsOf(const rusage &usage) {
    return (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

} // namespace bench

#endif
