// velto-caster: a small NTRIP caster on 127.0.0.1 for demonstrations and
// tests. It serves a source table, streams synthetic RTCM 3 to the
// library's credential, refuses any other credential, and can be told to
// misbehave (stall, drop) so that a client's reconnection can be watched.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "content.h"
#include "display.h"
#include "frame_scanner.h"
#include "options.h"
#include "stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kProgram[] = "velto-caster";
const size_t kMaxRequestHead = 8192;
const int kRequestWaitMs = 10000;
// A client classifies only the first block it receives after its request
// and drops whatever came with it; a pause between the answer and the first
// frame keeps the answer alone in its block, so no stream byte is lost.
const int kAnswerGapMs = 250;
const int kTickMs = 50;
const size_t kMaxChunk = 65536;
const int kExitSetup = 1;
// Each connection is a thread and a descriptor. Past this many, a new one
// takes the place of the oldest that has not sent its request yet, or is
// closed when every one is busy with a request; a flood of idle connections
// then cannot keep a real client out.
const size_t kMaxConnections = 256;
// When accept fails for want of descriptors or memory the connection stays
// in the kernel's queue and the listener stays readable: wait this long
// before trying again, rather than spin on it.
const int kAcceptBackOffMs = 100;
// Closed at once when accept runs out of descriptors, so the next try can
// succeed.
const size_t kEvictOnShortage = 8;

// Counts the frames a connection was sent, for its log line.
struct FrameCounter : analysis::FrameSink {
    void onFrame(const uint8_t *, size_t) override {}
    analysis::FrameScanner scanner{this};
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool startsWithIgnoringCase(const std::string &text, const char *prefix) {
    size_t length = strlen(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}

std::string trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

struct Request {
    std::string method;
    std::string target;
    std::string userAgent;
    std::string authorization;
};

bool parseRequest(const std::string &head, Request *request) {
    size_t lineEnd = head.find_first_of("\r\n");
    std::string first = head.substr(0, lineEnd);
    size_t space1 = first.find(' ');
    size_t space2 = first.find(' ', space1 == std::string::npos ? 0 : space1 + 1);
    if (space1 == std::string::npos || space2 == std::string::npos)
        return false;
    request->method = first.substr(0, space1);
    request->target = first.substr(space1 + 1, space2 - space1 - 1);
    size_t pos = lineEnd;
    while (pos != std::string::npos && pos < head.size()) {
        size_t begin = head.find_first_not_of("\r\n", pos);
        if (begin == std::string::npos)
            break;
        size_t end = head.find_first_of("\r\n", begin);
        std::string line = head.substr(begin, end == std::string::npos ? end : end - begin);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = trim(line.substr(colon + 1));
            if (startsWithIgnoringCase(line, "authorization:"))
                request->authorization = value;
            else if (startsWithIgnoringCase(line, "user-agent:"))
                request->userAgent = value;
        }
        pos = end;
    }
    return true;
}

// One accepted connection, served on its own thread.
struct Connection {
    int fd = -1;
    int number = 0;
    std::string peer;
    std::string request; // as the log shows it, escaped
    std::string answer;
    std::thread thread;
    bool requested = false; // its request head is in (under the lock)
    bool evicted = false;   // shut down to make room (under the lock)
    std::atomic<bool> done{false};
};

class Caster {
public:
    explicit Caster(const Options &options) : options_(options), dropsLeft_(options.drops) {}

    int run();

private:
    bool openListener();
    bool openRecord();
    int openConnectionRecord(const Connection *connection);
    void acceptOne();
    size_t evictIdle(size_t most);
    void reapFinished(bool all);
    void serve(Connection *connection);
    std::string answer(Connection *connection, const std::string &head);
    std::string sourceTable() const;
    std::string stream(Connection *connection);
    bool readHead(int fd, std::string *head);
    bool sendAll(int fd, const void *data, size_t size);
    int waitReadable(int fd, int timeoutMs);
    bool takeDrop();
    void record(int fd, const uint8_t *data, size_t size);
    void logLine(const std::string &line);
    void logConnection(const Connection *connection, const char *what, const std::string &more);

    Options options_;
    int listener_ = -1;
    int recordFd_ = -1;     // --record FILE: every stream, in order
    bool recordDir_ = false; // --record DIR: a file per stream connection
    std::mutex recordMutex_;
    std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> dropsLeft_;
    int nextNumber_ = 1;
    Clock::time_point acceptAgain_; // after a failed accept: the back-off
    bool shortageTold_ = false;
};

bool Caster::openListener() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        fprintf(stderr, "%s: socket: %s\n", kProgram, strerror(errno));
        return false;
    }
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)options_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // loopback only, never a real network
    if (bind(listener_, (sockaddr *)&address, sizeof address) != 0 || listen(listener_, 64) != 0) {
        fprintf(stderr, "%s: cannot listen on 127.0.0.1:%d: %s\n", kProgram, options_.port,
                strerror(errno));
        return false;
    }
    return true;
}

bool Caster::openRecord() {
    if (options_.record.empty())
        return true;
    struct stat info;
    if (stat(options_.record.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        recordDir_ = true;
        return true;
    }
    recordFd_ = open(options_.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (recordFd_ < 0) {
        fprintf(stderr, "%s: %s: %s\n", kProgram, options_.record.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// --record DIR: DIR/connection-N.rtcm, truncated, for stream connection #N.
int Caster::openConnectionRecord(const Connection *connection) {
    if (!recordDir_)
        return recordFd_;
    std::string path = options_.record + "/connection-" + std::to_string(connection->number) + ".rtcm";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), strerror(errno));
    return fd;
}

int Caster::run() {
    int signals = takeStopSignals(); // before any connection thread exists
    if (signals < 0 || !openListener() || !openRecord())
        return kExitSetup;

    std::string mountList;
    for (const std::string &mount : options_.mounts)
        mountList += (mountList.empty() ? "" : ", ") + mount;
    fprintf(stderr, "%s: listening on 127.0.0.1:%d, mount points %s\n", kProgram, options_.port,
            mountList.c_str());

    Clock::time_point start = Clock::now();
    const char *reason = "stopped";
    for (;;) {
        int timeoutMs = 1000;
        if (options_.lifetime > 0) {
            double left = options_.lifetime - secondsSince(start);
            if (left <= 0) {
                reason = "lifetime over";
                break;
            }
            timeoutMs = left * 1000 < timeoutMs ? (int)(left * 1000) + 1 : timeoutMs;
        }
        // While backing off, only the signals are watched.
        int backOffMs = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                            acceptAgain_ - Clock::now()).count();
        bool listening = backOffMs <= 0;
        if (!listening)
            timeoutMs = std::min(timeoutMs, backOffMs + 1);
        pollfd watched[2] = {{signals, POLLIN, 0}, {listening ? listener_ : -1, POLLIN, 0}};
        int ready = poll(watched, 2, timeoutMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (watched[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) > 0)
                reason = strsignal((int)info.ssi_signo);
            break;
        }
        if (watched[1].revents & POLLIN)
            acceptOne();
        reapFinished(false);
    }

    stopping_ = true;
    close(listener_);
    {
        // Wake every connection thread out of its send or wait.
        std::lock_guard<std::mutex> hold(connectionsMutex_);
        for (auto &connection : connections_)
            if (!connection->done && connection->fd >= 0)
                shutdown(connection->fd, SHUT_RDWR);
    }
    reapFinished(true);
    if (recordFd_ >= 0)
        close(recordFd_);
    if (options_.log)
        fprintf(stderr, "%s: exiting (%s)\n", kProgram, reason);
    return 0;
}

void Caster::acceptOne() {
    sockaddr_in peer;
    socklen_t length = sizeof peer;
    int fd = accept4(listener_, (sockaddr *)&peer, &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            if (!shortageTold_)
                logLine(std::string("accept: ") + strerror(errno) + "; closing idle connections, backing off");
            shortageTold_ = true;
            evictIdle(kEvictOnShortage);
            acceptAgain_ = Clock::now() + std::chrono::milliseconds(kAcceptBackOffMs);
        }
        return;
    }
    shortageTold_ = false;
    size_t live = 0;
    {
        std::lock_guard<std::mutex> hold(connectionsMutex_);
        for (const auto &connection : connections_)
            live += !connection->done && !connection->evicted;
    }
    if (live >= kMaxConnections && evictIdle(1) == 0) {
        logLine("refused a connection: " + std::to_string(live) + " connections are busy");
        close(fd);
        return;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    std::unique_ptr<Connection> connection(new Connection);
    connection->fd = fd;
    connection->number = nextNumber_++;
    connection->peer = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    Connection *raw = connection.get();
    std::lock_guard<std::mutex> hold(connectionsMutex_);
    connections_.push_back(std::move(connection));
    raw->thread = std::thread(&Caster::serve, this, raw);
}

// Shuts down the oldest connections still waiting for their request (their
// threads then close them); returns how many.
size_t Caster::evictIdle(size_t most) {
    size_t evicted = 0;
    std::lock_guard<std::mutex> hold(connectionsMutex_);
    for (auto &connection : connections_) {
        if (evicted == most)
            break;
        if (connection->done || connection->evicted || connection->requested || connection->fd < 0)
            continue;
        shutdown(connection->fd, SHUT_RDWR);
        connection->evicted = true;
        ++evicted;
    }
    return evicted;
}

void Caster::reapFinished(bool all) {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> hold(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &connection : finished)
        connection->thread.join();
}

void Caster::serve(Connection *connection) {
    Clock::time_point start = Clock::now();
    std::string head;
    std::string outcome;
    bool headIn = readHead(connection->fd, &head);
    bool evicted;
    {
        // From here on it is never evicted; one shut down meanwhile is over.
        std::lock_guard<std::mutex> hold(connectionsMutex_);
        connection->requested = true;
        evicted = connection->evicted;
    }
    if (!headIn || evicted) {
        connection->request = evicted ? "no request (closed to make room)" : "no request";
        connection->answer = "none";
    } else {
        outcome = answer(connection, head);
    }
    {
        // Closed under the lock so that the stopping caster never shuts
        // down a descriptor number that has already been reused.
        std::lock_guard<std::mutex> hold(connectionsMutex_);
        close(connection->fd);
        connection->fd = -1;
    }
    char duration[32];
    snprintf(duration, sizeof duration, "open %.1f s", secondsSince(start));
    logConnection(connection, "close", outcome.empty() ? duration : outcome + "; " + duration);
    connection->done = true;
}

// Answers the request; the log gets an "open" line as soon as the answer
// is out. Returns what happened after the answer ("" when nothing did).
std::string Caster::answer(Connection *connection, const std::string &head) {
    Request request;
    int fd = connection->fd;
    bool parsed = parseRequest(head, &request);
    auto reply = [&](const char *text, const char *logged) {
        sendAll(fd, text, strlen(text));
        connection->answer = logged;
        logConnection(connection, "open", "");
        return std::string();
    };
    if (!parsed) {
        connection->request = "\"" + display::escaped(head.substr(0, head.find_first_of("\r\n"))) + "\"";
        return reply("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n", "400 (malformed)");
    }
    connection->request = "\"" + display::escaped(request.method + " " + request.target) + "\" (" +
                          (request.userAgent.empty() ? "no user agent" : display::escaped(request.userAgent)) +
                          ")";
    if (request.method != "GET") // SOURCE (a server feeding the caster) and anything else
        return reply("HTTP/1.1 501 Not Implemented\r\nConnection: close\r\n\r\n", "501");
    if (request.target.empty() || request.target[0] != '/')
        return reply("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n", "400 (malformed)");
    std::string mount = request.target.substr(1);
    bool known = false;
    for (const std::string &offered : options_.mounts)
        known = known || offered == mount;
    if (!known) {
        std::string table = sourceTable();
        return reply(table.c_str(), mount.empty() ? "source table" : "unknown mount point, source table");
    }
    const std::string &authorization = request.authorization;
    bool basic = startsWithIgnoringCase(authorization, "basic ");
    if (!basic || trim(authorization.substr(6)) != options_.credential)
        return reply("HTTP/1.1 401 Unauthorized\r\n"
                     "WWW-Authenticate: Basic realm=\"velto-caster\"\r\n"
                     "Connection: close\r\n\r\n",
                     authorization.empty() ? "401 (no credential)" : "401 (wrong credential)");
    return stream(connection);
}

std::string Caster::sourceTable() const {
    std::string body;
    for (const std::string &mount : options_.mounts)
        body += "STR;" + mount + ";Velto demo;RTCM 3.3;"
                "1005(10),1006(10),1033(10),1074(1),1084(1),1094(1),1124(1),1230(10);2;GPS+GLO+GAL+BDS;"
                "VELTO;DEU;52.38;13.07;0;0;velto-caster;none;B;N;" +
                std::to_string((long)(options_.rate * 8)) + ";synthetic\r\n";
    body += "NET;VELTO;Velto;B;N;none;none;none;none\r\n";
    body += "ENDSOURCETABLE\r\n";
    return "SOURCETABLE 200 OK\r\n"
           "Server: velto-caster/" VELTO_VERSION "\r\n"
           "Content-Type: text/plain\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n"
           "\r\n" + body;
}

std::string Caster::stream(Connection *connection) {
    int fd = connection->fd;
    // An NTRIP 1 caster sends the status line alone: its clients take every
    // byte after it as stream data, so an empty line here would reach them
    // as two bytes of garbage.
    const char ok[] = "ICY 200 OK\r\n";
    bool answered = sendAll(fd, ok, sizeof ok - 1);
    connection->answer = "ICY 200 OK";
    logConnection(connection, "open", "");
    if (!answered)
        return "client gone";
    if (waitReadable(fd, kAnswerGapMs) != 0)
        return "client closed";
    int recordFd = openConnectionRecord(connection);

    std::unique_ptr<StreamContent> content =
        openStreamContent(options_.content, options_.rate, connection->number);
    FrameCounter sentFrames;
    uint64_t sent = 0;
    std::string ending = "caster stopped";
    Clock::time_point start = Clock::now();
    while (!stopping_) {
        double elapsed = secondsSince(start);
        if (options_.dropEvery > 0 && elapsed >= options_.dropEvery && takeDrop()) {
            ending = "dropped";
            break;
        }
        if (content->finished()) {
            ending = "end of the replayed file";
            break;
        }
        bool stalled = options_.stallAfter > 0 && elapsed >= options_.stallAfter;
        StreamContent::Bytes due = stalled ? StreamContent::Bytes{NULL, 0} : content->due(kMaxChunk);
        if (due.size > 0) {
            if (!sendAll(fd, due.data, due.size)) {
                ending = stopping_ ? "caster stopped" : "client gone";
                break;
            }
            record(recordFd, due.data, due.size);
            sentFrames.scanner.feed(due.data, due.size);
            sent += due.size;
        }
        int event = waitReadable(fd, stalled ? kTickMs : content->msUntilDue(kTickMs));
        if (event != 0) {
            ending = stopping_ ? "caster stopped" : "client closed";
            break;
        }
    }
    if (recordDir_ && recordFd >= 0)
        close(recordFd);
    char summary[160];
    snprintf(summary, sizeof summary, "streamed %llu bytes (%llu frames) in %.1f s, %s",
             (unsigned long long)sent, (unsigned long long)sentFrames.scanner.counts().frames, secondsSince(start),
             ending.c_str());
    return summary;
}

// Reads up to the empty line that ends the request head.
bool Caster::readHead(int fd, std::string *head) {
    Clock::time_point start = Clock::now();
    char buffer[1024];
    while (head->size() < kMaxRequestHead) {
        if (head->find("\r\n\r\n") != std::string::npos || head->find("\n\n") != std::string::npos)
            return true;
        int left = kRequestWaitMs - (int)(secondsSince(start) * 1000);
        pollfd watched = {fd, POLLIN, 0};
        if (left <= 0 || stopping_ || poll(&watched, 1, left < 200 ? left : 200) < 0)
            return false;
        if (!(watched.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        head->append(buffer, (size_t)got);
    }
    return true; // an over-long head is answered as whatever its first line says
}

bool Caster::sendAll(int fd, const void *data, size_t size) {
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t done = send(fd, at, size, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        at += done;
        size -= (size_t)done;
    }
    return true;
}

// Waits up to timeoutMs for the client to close. Returns 0 when the time
// ran out with the link intact, 1 when the client closed it or it failed.
// Whatever the client sends meanwhile (some send position reports) is read
// and ignored.
int Caster::waitReadable(int fd, int timeoutMs) {
    Clock::time_point start = Clock::now();
    for (;;) {
        if (stopping_)
            return 1;
        int left = timeoutMs - (int)(secondsSince(start) * 1000);
        pollfd watched = {fd, POLLIN, 0};
        int ready = poll(&watched, 1, left > 0 ? (left < 200 ? left : 200) : 0);
        if (ready < 0 && errno != EINTR)
            return 1;
        if (ready > 0) {
            char discard[512];
            ssize_t got = recv(fd, discard, sizeof discard, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return 1;
            continue;
        }
        if (left <= 0)
            return 0;
    }
}

bool Caster::takeDrop() {
    if (options_.drops < 0)
        return true;
    long left = dropsLeft_.load();
    while (left > 0)
        if (dropsLeft_.compare_exchange_weak(left, left - 1))
            return true;
    return false;
}

void Caster::record(int fd, const uint8_t *data, size_t size) {
    if (fd < 0)
        return;
    // One shared file keeps every stream's blocks whole, in sending order.
    std::lock_guard<std::mutex> hold(recordMutex_);
    while (size > 0) {
        ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        data += done;
        size -= (size_t)done;
    }
}

void Caster::logLine(const std::string &line) {
    if (options_.log)
        fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
}

// "2026-05-01T12:00:00.123Z #3 127.0.0.1:41234 open: "GET /M" (agent) -> answer"
void Caster::logConnection(const Connection *connection, const char *what, const std::string &more) {
    logLine(display::utcTimestamp(std::chrono::system_clock::now()) + " #" +
            std::to_string(connection->number) + " " + connection->peer + " " + what + ": " +
            connection->request + " -> " + connection->answer + (more.empty() ? "" : "; " + more));
}

} // namespace

int main(int argc, char **argv) {
    Options options = parseOptions(argc, argv);
    Caster caster(options);
    return caster.run();
}
