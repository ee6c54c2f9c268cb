#include "monitor/gate.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

const int kBacklog = 128;
const size_t kAcceptsPerRound = 64;
// accept fails for want of descriptors (or memory) while the connection
// stays queued and the listener readable: close a few waiting connections
// and wait this long, rather than spin on it.
const std::chrono::milliseconds kAcceptBackOff(100);
const size_t kEvictOnShortage = 8;
const int kLongestPollMs = 1000;

// The gate's own answers, each ending the connection.
std::string plainAnswer(const char *status, const char *text, const char *more = "") {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain; charset=utf-8\r\n" + more +
           "Content-Length: " + std::to_string(strlen(text) + 1) + "\r\nConnection: close\r\n\r\n" + text +
           "\n";
}
const std::string kTooLarge = plainAnswer("431 Request Header Fields Too Large", "the request head is too large");
const std::string kTimedOut = plainAnswer("408 Request Timeout", "the request head came too slowly");
const std::string kBusy = plainAnswer("503 Service Unavailable", "too many connections from your address",
                                      "Retry-After: 5\r\n");

Clock::duration seconds(double count) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(count));
}

// Best effort: the socket's buffer takes a short answer whole, and a client
// that does not read it loses it.
void sendAndClose(int fd, const std::string *answer) {
    if (answer != nullptr) {
        ssize_t ignored = send(fd, answer->data(), answer->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)ignored;
    }
    close(fd);
}

bool addressOf(const sockaddr_storage &address, std::string *text, int *port) {
    char buffer[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const sockaddr_in *v4 = (const sockaddr_in *)&address;
        inet_ntop(AF_INET, &v4->sin_addr, buffer, sizeof buffer);
        *port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const sockaddr_in6 *v6 = (const sockaddr_in6 *)&address;
        inet_ntop(AF_INET6, &v6->sin6_addr, buffer, sizeof buffer);
        *port = ntohs(v6->sin6_port);
    } else {
        return false;
    }
    *text = canonicalAddress(buffer);
    return true;
}

// "HOST", "HOST:PORT", "[V6]:PORT" -> the host, lower case, without a final
// dot; empty when malformed.
std::string hostPart(const std::string &header) {
    std::string host = header;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos)
            return "";
        std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':')
            return "";
        host = host.substr(1, close - 1);
    } else if (host.find(':') != host.rfind(':')) {
        // a bare IPv6 address, as some clients send it
    } else if (host.find(':') != std::string::npos) {
        host = host.substr(0, host.find(':'));
    }
    for (char &c : host)
        c = (char)tolower((unsigned char)c);
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    return host;
}

bool parseAddress(const std::string &text, in6_addr *out) {
    in_addr v4;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        // as IPv4-mapped, so that both kinds compare
        memset(out, 0, sizeof *out);
        out->s6_addr[10] = 0xff;
        out->s6_addr[11] = 0xff;
        memcpy(&out->s6_addr[12], &v4, 4);
        return true;
    }
    return inet_pton(AF_INET6, text.c_str(), out) == 1;
}

bool isLoopback(const in6_addr &address) {
    if (IN6_IS_ADDR_V4MAPPED(&address))
        return address.s6_addr[12] == 127;
    return IN6_IS_ADDR_LOOPBACK(&address);
}

} // namespace

std::string canonicalAddress(const std::string &numeric) {
    in6_addr address;
    if (inet_pton(AF_INET6, numeric.c_str(), &address) == 1 && IN6_IS_ADDR_V4MAPPED(&address)) {
        char v4[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &address.s6_addr[12], v4, sizeof v4);
        return v4;
    }
    return numeric;
}

bool namesLoopback(const std::string &host) {
    in6_addr address;
    return host == "localhost" || (parseAddress(host, &address) && isLoopback(address));
}

bool hostAllowed(const std::string &hostHeader, const std::string &localAddress,
                 const std::vector<std::string> &allowed) {
    std::string host = hostPart(hostHeader);
    if (host.empty())
        return false;
    if (namesLoopback(host))
        return true;
    in6_addr asked;
    bool numeric = parseAddress(host, &asked);
    in6_addr local;
    if (numeric && parseAddress(localAddress, &local) && memcmp(&asked, &local, sizeof asked) == 0)
        return true;
    for (const std::string &name : allowed) {
        std::string wanted = hostPart(name);
        in6_addr address;
        if (numeric && parseAddress(wanted, &address) ? memcmp(&asked, &address, sizeof asked) == 0
                                                      : wanted == host)
            return true;
    }
    return false;
}

namespace {

// "bytes=FIRST-LAST" with at most 19 digits on each side (either side may
// be empty), spaces around allowed.
bool singleShortRange(const std::string &value) {
    size_t at = value.find_first_not_of(" \t");
    if (at == std::string::npos || value.compare(at, 6, "bytes=") != 0)
        return false;
    at += 6;
    size_t digits = 0, dashes = 0;
    for (size_t end = value.find_last_not_of(" \t") + 1; at < end; ++at) {
        if (value[at] == '-' && dashes++ == 0)
            digits = 0;
        else if (!isdigit((unsigned char)value[at]) || ++digits > 19)
            return false;
    }
    return dashes == 1;
}

} // namespace

size_t dropRangesButOne(std::string *request) {
    size_t headEnd = request->find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return 0;
    size_t dropped = 0;
    size_t line = request->find("\r\n"); // after the request line
    while (line < headEnd) {
        size_t start = line + 2;
        size_t end = request->find("\r\n", start);
        bool isRange = end - start >= 6 && strncasecmp(request->c_str() + start, "range:", 6) == 0;
        if (isRange && !singleShortRange(request->substr(start + 6, end - start - 6))) {
            request->erase(line, end - line); // the line and the CR LF before it
            headEnd -= end - line;
            ++dropped;
            continue;
        }
        line = end;
    }
    return dropped;
}

// --- ConnectionBook --------------------------------------------------------

ConnectionBook::Decision ConnectionBook::admit(const std::string &peer) const {
    bool peerFull = openFrom(peer) >= maxPerPeer_;
    bool allFull = entries_.size() >= maxTotal_;
    if (!peerFull && !allFull)
        return {Decision::Admit, 0};
    // A peer at its limit makes room among its own connections; otherwise
    // the oldest of anyone's goes.
    uint64_t victim = oldestWaitingOf(peerFull ? &peer : nullptr);
    if (victim == 0)
        return {Decision::Refuse, 0};
    return {Decision::Evict, victim};
}

uint64_t ConnectionBook::oldestWaiting() const { return oldestWaitingOf(nullptr); }

uint64_t ConnectionBook::oldestWaitingOf(const std::string *peer) const {
    for (const auto &waiting : waitingOrder_)
        if (peer == nullptr || entries_.at(waiting.second).peer == *peer)
            return waiting.second;
    return 0;
}

void ConnectionBook::opened(uint64_t id, const std::string &peer) {
    Entry &entry = entries_[id];
    entry.peer = peer;
    entry.order = nextOrder_++;
    waitingOrder_[entry.order] = id;
    perPeer_[peer] += 1;
}

void ConnectionBook::busy(uint64_t id) {
    auto found = entries_.find(id);
    if (found == entries_.end() || found->second.order == 0)
        return;
    waitingOrder_.erase(found->second.order);
    found->second.order = 0;
}

void ConnectionBook::waiting(uint64_t id) {
    auto found = entries_.find(id);
    if (found == entries_.end())
        return;
    if (found->second.order != 0)
        waitingOrder_.erase(found->second.order);
    found->second.order = nextOrder_++;
    waitingOrder_[found->second.order] = id;
}

void ConnectionBook::closed(uint64_t id) {
    auto found = entries_.find(id);
    if (found == entries_.end())
        return;
    if (found->second.order != 0)
        waitingOrder_.erase(found->second.order);
    auto peer = perPeer_.find(found->second.peer);
    if (--peer->second == 0)
        perPeer_.erase(peer);
    entries_.erase(found);
}

size_t ConnectionBook::openFrom(const std::string &peer) const {
    auto found = perPeer_.find(peer);
    return found == perPeer_.end() ? 0 : found->second;
}

// --- HttpGate ----------------------------------------------------------------

HttpGate::HttpGate(const GateLimits &limits, Serve serve)
    : limits_(limits), serve_(std::move(serve)), book_(limits.maxConnections, limits.maxPerPeer) {}

HttpGate::~HttpGate() {
    stop();
    if (listener_ >= 0)
        close(listener_);
    if (wakeRead_ >= 0) {
        close(wakeRead_);
        close(wakeWrite_);
    }
}

bool HttpGate::bind(const std::string &host, int port, std::string *error) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | (host == "localhost" ? 0 : AI_NUMERICHOST);
    addrinfo *found = nullptr;
    int failure = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (failure != 0 || found == nullptr) {
        *error = gai_strerror(failure);
        return false;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // SO_REUSEADDR only lets the port be taken again while old connections
    // linger in TIME_WAIT; unlike SO_REUSEPORT it never lets two listeners
    // share it.
    int on = 1;
    bool bound = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                 ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, kBacklog) == 0;
    int saved = errno;
    freeaddrinfo(found);
    sockaddr_storage address;
    socklen_t length = sizeof address;
    std::string ignored;
    if (bound && getsockname(fd, (sockaddr *)&address, &length) == 0 && addressOf(address, &ignored, &port_)) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            wakeRead_ = ends[0];
            wakeWrite_ = ends[1];
            listener_ = fd;
            return true;
        }
    }
    if (!bound)
        errno = saved;
    *error = strerror(errno);
    if (fd >= 0)
        close(fd);
    return false;
}

void HttpGate::start() {
    gate_ = std::thread(&HttpGate::gateLoop, this);
    for (size_t i = 0; i < limits_.workers; ++i)
        workers_.emplace_back(&HttpGate::workerLoop, this);
}

void HttpGate::stop() {
    if (!gate_.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    readyChanged_.notify_all();
    wake();
    gate_.join();
    for (std::thread &worker : workers_)
        worker.join();
    workers_.clear();
    for (Owned &connection : ready_)
        close(connection->fd);
    for (auto &back : returned_)
        close(back.first->fd);
    ready_.clear();
    returned_.clear();
    close(listener_); // the port is free again at once
    listener_ = -1;
}

void HttpGate::wake() {
    char byte = 1;
    ssize_t ignored = write(wakeWrite_, &byte, 1); // a full pipe is awake already
    (void)ignored;
}

void HttpGate::gateLoop() {
    std::vector<pollfd> watched;
    std::vector<uint64_t> ids;
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        bool listening = now >= acceptAgain_;
        int timeoutMs = kLongestPollMs;
        if (!listening)
            timeoutMs = (int)std::chrono::duration_cast<std::chrono::milliseconds>(acceptAgain_ - now).count() + 1;
        watched.assign({{wakeRead_, POLLIN, 0}, {listening ? listener_ : -1, POLLIN, 0}});
        ids.clear();
        for (auto &entry : waiting_) {
            watched.push_back({entry.second->fd, POLLIN, 0});
            ids.push_back(entry.first);
            long long left =
                std::chrono::duration_cast<std::chrono::milliseconds>(entry.second->deadline - now).count();
            timeoutMs = std::min<long long>(timeoutMs, std::max<long long>(left + 1, 0));
        }
        if (poll(watched.data(), watched.size(), timeoutMs) < 0 && errno != EINTR)
            break;
        now = Clock::now();
        if (watched[0].revents & POLLIN) {
            char drain[256];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (stopping_)
            break;
        takeReturned(now);
        for (size_t i = 0; i < ids.size(); ++i) {
            auto found = waiting_.find(ids[i]);
            if (found == waiting_.end())
                continue; // closed to make room meanwhile
            if (watched[i + 2].revents != 0)
                readHead(found->second, now);
            else if (now >= found->second->deadline)
                closeWaiting(ids[i], found->second->buffered.empty() ? nullptr : &kTimedOut);
        }
        if (watched[1].revents & POLLIN)
            acceptSome(now);
    }
    for (auto &entry : waiting_)
        close(entry.second->fd);
    waiting_.clear();
}

void HttpGate::acceptSome(Clock::time_point now) {
    for (size_t round = 0; round < kAcceptsPerRound; ++round) {
        sockaddr_storage address;
        socklen_t length = sizeof address;
        int fd = accept4(listener_, (sockaddr *)&address, &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                for (size_t i = 0; i < kEvictOnShortage; ++i) {
                    uint64_t victim = book_.oldestWaiting();
                    if (victim == 0)
                        break;
                    closeWaiting(victim, nullptr);
                }
                acceptAgain_ = now + kAcceptBackOff;
            }
            return;
        }
        Owned connection(new GateConnection);
        connection->fd = fd;
        sockaddr_storage local;
        socklen_t localLength = sizeof local;
        if (!addressOf(address, &connection->peer, &connection->peerPort) ||
            getsockname(fd, (sockaddr *)&local, &localLength) != 0 ||
            !addressOf(local, &connection->local, &connection->localPort)) {
            close(fd);
            continue;
        }
        ConnectionBook::Decision decision = book_.admit(connection->peer);
        if (decision.kind == ConnectionBook::Decision::Refuse) {
            sendAndClose(fd, &kBusy);
            continue;
        }
        if (decision.kind == ConnectionBook::Decision::Evict)
            closeWaiting(decision.victim, nullptr);
        connection->id = nextId_++;
        connection->deadline = now + seconds(limits_.headSeconds);
        book_.opened(connection->id, connection->peer);
        waiting_[connection->id] = std::move(connection);
    }
}

// Reads what has come; a whole head goes to a worker.
void HttpGate::readHead(Owned &connection, Clock::time_point now) {
    GateConnection &c = *connection;
    size_t before = c.buffered.size();
    while (c.buffered.size() < limits_.maxHeadBytes) {
        char block[4096];
        size_t room = std::min(sizeof block, limits_.maxHeadBytes - c.buffered.size());
        ssize_t got = recv(c.fd, block, room, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeWaiting(c.id, nullptr);
            return;
        }
        if (got < 0)
            break;
        c.buffered.append(block, (size_t)got);
    }
    size_t from = before < 3 ? 0 : before - 3;
    if (c.buffered.find("\r\n\r\n", from) != std::string::npos) {
        uint64_t id = c.id;
        Owned taken = std::move(waiting_.at(id));
        waiting_.erase(id);
        book_.busy(id);
        dispatch(std::move(taken));
    } else if (c.buffered.size() >= limits_.maxHeadBytes) {
        closeWaiting(c.id, &kTooLarge);
    } else if (now >= c.deadline) {
        closeWaiting(c.id, &kTimedOut);
    }
}

void HttpGate::dispatch(Owned connection) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ready_.push_back(std::move(connection));
    }
    readyChanged_.notify_one();
}

// Connections the workers are done with: closed, or waiting for their next
// request (which may be in already, sent right behind the last one).
void HttpGate::takeReturned(Clock::time_point now) {
    std::vector<std::pair<Owned, bool>> back;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        back.swap(returned_);
    }
    for (auto &entry : back) {
        Owned &connection = entry.first;
        uint64_t id = connection->id;
        if (!entry.second) {
            close(connection->fd);
            book_.closed(id);
            continue;
        }
        connection->deadline = now + seconds(limits_.headSeconds);
        book_.waiting(id);
        if (connection->buffered.find("\r\n\r\n") != std::string::npos) {
            book_.busy(id);
            dispatch(std::move(connection));
        } else {
            waiting_[id] = std::move(connection);
        }
    }
}

void HttpGate::closeWaiting(uint64_t id, const std::string *answer) {
    auto found = waiting_.find(id);
    if (found == waiting_.end())
        return;
    sendAndClose(found->second->fd, answer);
    waiting_.erase(found);
    book_.closed(id);
}

// The oldest request whose peer has fewer than workersPerPeer answers
// under way: one address cannot take every worker, whatever it asks for and
// however slowly it reads.
std::deque<HttpGate::Owned>::iterator HttpGate::nextEligible() {
    for (auto it = ready_.begin(); it != ready_.end(); ++it) {
        auto found = answering_.find((*it)->peer);
        if (found == answering_.end() || found->second < limits_.workersPerPeer)
            return it;
    }
    return ready_.end();
}

void HttpGate::workerLoop() {
    for (;;) {
        Owned connection;
        {
            std::unique_lock<std::mutex> hold(mutex_);
            readyChanged_.wait(hold, [this] { return stopping_ || nextEligible() != ready_.end(); });
            if (stopping_)
                return;
            auto taken = nextEligible();
            connection = std::move(*taken);
            ready_.erase(taken);
            answering_[connection->peer] += 1;
        }
        bool keep = serve_(*connection) && !stopping_;
        connection->answered += 1;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            auto peer = answering_.find(connection->peer);
            if (--peer->second == 0)
                answering_.erase(peer);
            returned_.emplace_back(std::move(connection), keep);
        }
        // A request of this peer that had to wait may go now.
        readyChanged_.notify_all();
        wake();
    }
}
