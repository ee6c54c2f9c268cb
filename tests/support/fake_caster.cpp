#include "fake_caster.h"

#include "moments.h"
#include "recorders.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int listenOn(int port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (sockaddr *)&address, sizeof address) != 0 || listen(fd, backlog) != 0) {
        perror("fake caster: bind/listen");
        abort();
    }
    return fd;
}

bool waitReadable(int fd, int milliseconds) {
    pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, milliseconds) > 0;
}

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (int)left;
}

} // namespace

std::string CasterConnection::readRequest(std::chrono::milliseconds timeout) {
    std::string head;
    auto deadline = Clock::now() + timeout;
    while (head.find("\r\n\r\n") == std::string::npos) {
        int wait = remainingMs(deadline);
        if (wait == 0 || caster_->stopping())
            return std::string();
        if (!waitReadable(fd_, wait < 100 ? wait : 100))
            continue;
        char chunk[4096];
        ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0)
            return std::string();
        head.append(chunk, (size_t)got);
    }
    caster_->recordRequest(index_, head);
    return head;
}

bool CasterConnection::send(const std::string &bytes) { return send(bytes.data(), bytes.size()); }

bool CasterConnection::send(const void *bytes, size_t count) {
    const char *next = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t sent = ::send(fd_, next, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue; // tests may run under a storm of signals
        if (sent <= 0)
            return false;
        next += sent;
        count -= (size_t)sent;
    }
    return true;
}

void CasterConnection::close() { shutdown(fd_, SHUT_RDWR); }

void CasterConnection::reset() {
    linger hard = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    caster_->forgetFd(fd_);
    ::close(fd_);
    fd_ = -1;
}

bool CasterConnection::waitPeerClosed(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!caster_->stopping() && remainingMs(deadline) > 0) {
        if (fd_ < 0 || !waitReadable(fd_, 100))
            continue;
        char chunk[4096];
        ssize_t got = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
    return false;
}

bool CasterConnection::pause(std::chrono::milliseconds duration) {
    auto deadline = Clock::now() + duration;
    while (remainingMs(deadline) > 0) {
        if (caster_->stopping())
            return false;
        int step = remainingMs(deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(step < 50 ? step : 50));
    }
    return true;
}

const char kIcyAccept[] = "ICY 200 OK\r\n\r\n";

namespace {

bool answerRequest(CasterConnection &connection, const std::string &answer) {
    if (connection.readRequest().empty())
        return false;
    return answer.empty() || connection.send(answer);
}

void holdUntilHangUp(CasterConnection &connection, Moments *hangUps) {
    if (!connection.waitPeerClosed())
        return;
    connection.reset();
    if (hangUps != nullptr)
        hangUps->note();
}

} // namespace

void acceptStream(CasterConnection &connection) {
    if (answerRequest(connection, kIcyAccept))
        connection.waitPeerClosed();
}

FakeCaster::Script answerThenHold(const std::string &answer, Moments *hangUps) {
    return [answer, hangUps](CasterConnection &connection) {
        if (answerRequest(connection, answer))
            holdUntilHangUp(connection, hangUps);
    };
}

FakeCaster::Script answerThenClose(const std::string &answer) {
    return [answer](CasterConnection &connection) {
        if (answerRequest(connection, answer))
            connection.close();
    };
}

FakeCaster::Script acceptThen(StatusRecorder &client, FakeCaster::Script part,
                              const std::string &answer) {
    return [&client, part, answer](CasterConnection &connection) {
        if (answerRequest(connection, answer) &&
            client.waitFor(VELTO_STATUS_STREAMING, std::chrono::seconds(10)))
            part(connection);
    };
}

void floodStream(CasterConnection &connection) {
    if (!answerRequest(connection, kIcyAccept))
        return;
    std::string block(1500, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (char)(i * 7);
    for (int i = 0; connection.send(block.data(), 1 + (size_t)(i * 131) % block.size()); ++i) {
    }
}

void trickleStream(CasterConnection &connection) {
    if (!answerRequest(connection, kIcyAccept))
        return;
    const std::string block(64, 'r');
    while (connection.send(block) && connection.pause(std::chrono::milliseconds(2))) {
    }
}

FakeCaster::FakeCaster(Script script, int port) : script_(std::move(script)) {
    listener_ = listenOn(port, 64);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeCaster::~FakeCaster() {
    stopping_ = true;
    acceptor_.join();
    ::close(listener_);
    for (auto &worker : workers_)
        worker.join();
    for (int fd : openFds_)
        if (fd >= 0)
            ::close(fd);
}

void FakeCaster::acceptLoop() {
    while (!stopping_) {
        if (!waitReadable(listener_, 50))
            continue;
        int fd = accept4(listener_, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> hold(mutex_);
        int index = (int)acceptTimes_.size();
        acceptTimes_.push_back(Clock::now());
        requests_.emplace_back();
        openFds_.push_back(fd);
        ++active_;
        workers_.emplace_back([this, fd, index] {
            CasterConnection connection(this, fd, index);
            script_(connection);
            --active_;
            changed_.notify_all();
        });
        changed_.notify_all();
    }
}

void FakeCaster::forgetFd(int fd) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto &open : openFds_)
        if (open == fd)
            open = -1;
}

void FakeCaster::recordRequest(int index, const std::string &request) {
    std::lock_guard<std::mutex> hold(mutex_);
    requests_[(size_t)index] = request;
    changed_.notify_all();
}

int FakeCaster::connections() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return (int)acceptTimes_.size();
}

bool FakeCaster::waitForConnections(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, timeout, [&] { return (int)acceptTimes_.size() >= count; });
}

bool FakeCaster::waitForRequests(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, timeout, [&] {
        int read = 0;
        for (const std::string &request : requests_)
            read += !request.empty();
        return read >= count;
    });
}

std::vector<std::string> FakeCaster::requests() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

std::vector<std::chrono::steady_clock::time_point> FakeCaster::acceptTimes() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return acceptTimes_;
}

int FakeCaster::activeConnections() const { return active_.load(); }

StalledListener::StalledListener(int port) {
    listener_ = listenOn(port, 0);
    // With a backlog of 0 the queue holds one connection; fill it so that the
    // next SYN is dropped and that connect stays pending.
    for (int i = 0; i < 2; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port = htons((unsigned short)port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, (sockaddr *)&address, sizeof address);
        fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // whole, even when signalled
}

StalledListener::~StalledListener() {
    for (int fd : fillers_)
        ::close(fd);
    ::close(listener_);
}
