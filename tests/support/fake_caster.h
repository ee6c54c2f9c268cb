// A scripted NTRIP caster on 127.0.0.1 for the behavioural tests. Every
// accepted connection runs the test's script on a thread of its own, so a
// test says exactly what the caster answers, when it stalls and when it
// hangs up, and can check byte for byte what the library sent.
#ifndef VELTO_TEST_FAKE_CASTER_H
#define VELTO_TEST_FAKE_CASTER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeCaster;
class Moments;
class StatusRecorder;

class CasterConnection {
public:
    CasterConnection(FakeCaster *caster, int fd, int index) : caster_(caster), fd_(fd), index_(index) {}

    // Reads the request head (up to and including the empty line) and records
    // it with the caster; empty when the peer closed or nothing came in time.
    std::string readRequest(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends all bytes; false when the peer is gone.
    bool send(const std::string &bytes);
    bool send(const void *bytes, size_t count);
    // Orderly close (the library sees end of stream).
    void close();
    // Abortive close (the library sees a reset).
    void reset();
    // Waits until the peer closes its side or the caster is shut down; true
    // when the peer closed. Bytes arriving meanwhile are discarded.
    bool waitPeerClosed(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Sleeps, but returns early (false) when the caster is shutting down.
    bool pause(std::chrono::milliseconds duration);
    // Which connection this is, counted from 0.
    int index() const { return index_; }
    int fd() const { return fd_; }

private:
    FakeCaster *caster_;
    int fd_;
    int index_;
};

class FakeCaster {
public:
    using Script = std::function<void(CasterConnection &)>;

    // Listens on 127.0.0.1:port and serves each connection with script.
    explicit FakeCaster(Script script, int port = 2101);
    ~FakeCaster();
    FakeCaster(const FakeCaster &) = delete;
    FakeCaster &operator=(const FakeCaster &) = delete;

    int connections() const;
    // Waits until at least count connections were accepted.
    bool waitForConnections(int count, std::chrono::milliseconds timeout);
    // Waits until at least count request heads were read.
    bool waitForRequests(int count, std::chrono::milliseconds timeout);
    // Request heads read so far, in the order the connections were accepted.
    std::vector<std::string> requests() const;
    // Times at which each connection was accepted.
    std::vector<std::chrono::steady_clock::time_point> acceptTimes() const;
    // Scripts still running.
    int activeConnections() const;
    bool stopping() const { return stopping_.load(); }

private:
    friend class CasterConnection;
    void acceptLoop();
    void recordRequest(int index, const std::string &request);
    void forgetFd(int fd);

    Script script_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
    std::vector<int> openFds_;
    std::vector<std::string> requests_;
    std::vector<std::chrono::steady_clock::time_point> acceptTimes_;
    std::atomic<int> active_{0};
};

// --- caster scripts that many tests share ------------------------------------
// Each one reads the request first and ends at once when none comes.

// A caster's acceptance of a stream request.
extern const char kIcyAccept[];

// Answers "ICY 200 OK" and keeps the link open, sending nothing, until the
// client hangs up.
void acceptStream(CasterConnection &connection);

// Sends answer (nothing when it is empty) and keeps the link open until the
// client hangs up; then closes its own side at once, so that no descriptor
// of the link stays open, and notes the hang-up in hangUps when given.
FakeCaster::Script answerThenHold(const std::string &answer, Moments *hangUps = nullptr);

// Sends answer (nothing when it is empty) and closes the link in order.
FakeCaster::Script answerThenClose(const std::string &answer);

// Sends answer ("ICY 200 OK" unless told otherwise), waits up to 10 s until
// the client reports that it streams, and then plays part on the link.
FakeCaster::Script acceptThen(StatusRecorder &client, FakeCaster::Script part,
                              const std::string &answer = kIcyAccept);

// Answers "ICY 200 OK" and sends blocks of changing sizes as fast as the
// link takes them, until the client hangs up.
void floodStream(CasterConnection &connection);

// Answers "ICY 200 OK" and sends a 64-byte block every 2 ms until the client
// hangs up. Because data keeps arriving, a stopped client thread finds its
// run flag cleared as soon as its receive returns.
void trickleStream(CasterConnection &connection);

// A listening socket on 127.0.0.1:port whose accept queue is full and never
// drained: further connects stay pending for ever (their SYNs are dropped).
class StalledListener {
public:
    explicit StalledListener(int port = 2101);
    ~StalledListener();

private:
    int listener_ = -1;
    std::vector<int> fillers_;
};

#endif
