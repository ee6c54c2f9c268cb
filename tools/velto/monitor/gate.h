// What stands between velto monitor's port and its HTTP library: the
// listening socket, the accept loop, and the wait for each request's head.
//
// cpp-httplib gives every accepted connection one of its threads for as
// long as the connection lasts, and reads the request head with a timeout
// per receive but none in all: a client that sends nothing, or one byte of
// its head every few seconds, holds a thread for as long as it likes, and
// twenty such clients took the page and /metrics for a minute. Here one
// thread of our own waits for every connection's head at once, under a
// deadline, and hands a connection to a worker only when its whole head is
// in. Idle and slow clients then cost a descriptor and a few bytes each,
// never a thread, and how many there may be is bounded per peer address
// and in all: a new connection takes the place of the oldest one still
// waiting for its head. A worker answers one request and gives the
// connection back here for the next (keep-alive), so an idle keep-alive
// connection holds no thread either.
//
// The listening socket is our own too: no SO_REUSEPORT, so a second monitor
// on the same port fails to bind instead of sharing its connections.
#ifndef VELTO_TOOL_MONITOR_GATE_H
#define VELTO_TOOL_MONITOR_GATE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct GateLimits {
    size_t workers = 16;            // requests answered at once (event streams included)
    size_t workersPerPeer = 12;     // of them for one address: a client that does not read
                                    // its answers holds at most these, and one with every
                                    // event stream open (8) still gets answers
    size_t maxConnections = 512;    // open at once, all peers together
    size_t maxPerPeer = 64;         // open at once from one address
    double headSeconds = 5;         // from accept, or from the last answer, to a complete head
    size_t maxHeadBytes = 48 << 10; // a longer head gets 431
    double writeStallSeconds = 10;  // an answer's write that makes no progress for this long fails
    double writeSeconds = 60;       // and one that is not out after this long
};

// Which connections may stay when a new one comes. Only those waiting for
// their head can be closed to make room: one that a worker is answering is
// busy. Pure bookkeeping, kept by the gate's thread.
class ConnectionBook {
public:
    ConnectionBook(size_t maxTotal, size_t maxPerPeer) : maxTotal_(maxTotal), maxPerPeer_(maxPerPeer) {}

    struct Decision {
        enum Kind { Admit, Evict, Refuse } kind;
        uint64_t victim; // Evict: close this one, then admit
    };
    // What to do with a new connection from `peer`: admit it, close the
    // oldest connection waiting (of that peer when the peer is at its limit,
    // of anyone when all are) to make room, or refuse it when every one that
    // counts is busy.
    Decision admit(const std::string &peer) const;
    // The oldest connection waiting for its head, of anyone; 0 for none.
    uint64_t oldestWaiting() const;

    void opened(uint64_t id, const std::string &peer); // waiting for its head
    void busy(uint64_t id);                            // handed to a worker
    void waiting(uint64_t id);                         // back, waiting again (the newest)
    void closed(uint64_t id);

    size_t open() const { return entries_.size(); }
    size_t openFrom(const std::string &peer) const;

private:
    struct Entry {
        std::string peer;
        uint64_t order = 0; // in waitingOrder_ while waiting; 0 while busy
    };
    uint64_t oldestWaitingOf(const std::string *peer) const;

    const size_t maxTotal_;
    const size_t maxPerPeer_;
    std::map<uint64_t, Entry> entries_;
    std::map<uint64_t, uint64_t> waitingOrder_; // order -> id, oldest first
    std::map<std::string, size_t> perPeer_;
    uint64_t nextOrder_ = 1;
};

// "localhost", or a numeric loopback address (127.0.0.0/8, ::1, or 127.x.y.z
// mapped into IPv6): a name only this machine can reach.
bool namesLoopback(const std::string &host);

// Whether a request's Host names this monitor: a loopback name or address
// (localhost, 127.0.0.0/8, ::1), the address the connection reached
// (`localAddress`, numeric), or one of `allowed` (names the operator gave,
// and the listening address when it is not a wildcard), ignoring case, a
// port and a final dot. Anything else may be a name that a web page made
// resolve to this machine (DNS rebinding).
bool hostAllowed(const std::string &hostHeader, const std::string &localAddress,
                 const std::vector<std::string> &allowed);

// A numeric address as text, IPv4 for an IPv4-mapped IPv6 address, so that
// one peer counts as one whichever way it came in.
std::string canonicalAddress(const std::string &numeric);

// Removes from the request head at the start of `request` every Range
// header other than one of a single, short range ("bytes=0-99",
// "bytes=-500"), and returns how many it removed; the whole file is then
// sent. cpp-httplib
// would build every range asked for in memory (2,700 ranges of the chart's
// script fit in one 8-kB header: 539 MB), and its parsing of the header
// recurses once per character of it.
size_t dropRangesButOne(std::string *request);

// One connection as the gate hands it to a worker: the socket, the bytes
// read so far (its head, and whatever followed it), and the two ends.
struct GateConnection {
    uint64_t id = 0;
    int fd = -1;
    std::string buffered;
    std::string peer;
    int peerPort = 0;
    std::string local;
    int localPort = 0;
    size_t answered = 0; // requests answered on this connection
    std::chrono::steady_clock::time_point deadline;
};

class HttpGate {
public:
    // Answers the request whose head stands at the start of `buffered`,
    // reading and writing the socket itself; leaves in `buffered` what came
    // after it. True: the connection may carry another request.
    using Serve = std::function<bool(GateConnection &connection)>;

    HttpGate(const GateLimits &limits, Serve serve);
    ~HttpGate();
    HttpGate(const HttpGate &) = delete;
    HttpGate &operator=(const HttpGate &) = delete;

    // host: a numeric IPv4 or IPv6 address, or "localhost". Port 0 takes a
    // free port; port() tells which.
    bool bind(const std::string &host, int port, std::string *error);
    int port() const { return port_; }
    int listener() const { return listener_; }
    void start();
    // Ends at once whatever the clients do: waiting connections are closed,
    // and the workers' reads and writes give up within a tenth of a second
    // (see stopping()); returns when every thread has ended.
    void stop();
    const std::atomic<bool> &stopping() const { return stopping_; }
    const GateLimits &limits() const { return limits_; }

private:
    using Owned = std::unique_ptr<GateConnection>;
    void gateLoop();
    void workerLoop();
    void acceptSome(std::chrono::steady_clock::time_point now);
    void readHead(Owned &connection, std::chrono::steady_clock::time_point now);
    void dispatch(Owned connection);
    void takeReturned(std::chrono::steady_clock::time_point now);
    void closeWaiting(uint64_t id, const std::string *answer);
    void wake();

    const GateLimits limits_;
    const Serve serve_;
    int listener_ = -1;
    int port_ = 0;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread gate_;
    std::vector<std::thread> workers_;

    // The gate's thread only.
    ConnectionBook book_;
    std::map<uint64_t, Owned> waiting_;
    uint64_t nextId_ = 1;
    std::chrono::steady_clock::time_point acceptAgain_;

    std::mutex mutex_; // the two queues and the count of answers per peer
    std::condition_variable readyChanged_;
    std::deque<Owned> ready_;                        // heads in, for the workers
    std::vector<std::pair<Owned, bool>> returned_;   // answered; keep?
    std::map<std::string, size_t> answering_;        // peer -> workers on its requests
    std::deque<Owned>::iterator nextEligible();      // with mutex_ held
};

#endif
