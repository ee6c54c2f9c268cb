// The decisions of velto monitor's gate that need no socket: which
// connection makes room for a new one, which Host names the monitor, and
// which Range headers the HTTP library gets to see.
// Scenario: an attacker on one address opens connection after connection
// and sends nothing (or a byte now and then), while Prometheus scrapes from
// another address and a browser keeps its connections alive; a web page
// elsewhere makes its own name resolve to the monitor's address.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/gate.h"

namespace {

TEST(MonitorGate, IdleFloodMakesRoom) {
    ConnectionBook book(6, 3);
    book.opened(1, "10.0.0.66");
    book.opened(2, "10.0.0.66");
    book.opened(3, "10.0.0.66");
    // The attacker is at its limit: its own oldest waiting one goes.
    ConnectionBook::Decision again = book.admit("10.0.0.66");
    EXPECT_TRUE(again.kind == ConnectionBook::Decision::Evict && again.victim == 1);
    // Another peer is not held back by the attacker's connections.
    EXPECT_TRUE(book.admit("127.0.0.1").kind == ConnectionBook::Decision::Admit);

    // One being answered (a worker has it) never goes: the next oldest does.
    book.busy(1);
    again = book.admit("10.0.0.66");
    EXPECT_TRUE(again.kind == ConnectionBook::Decision::Evict && again.victim == 2);
    // Back for its next request (keep-alive), it is the newest waiting.
    book.waiting(1);
    EXPECT_TRUE(book.admit("10.0.0.66").victim == 2);
    book.busy(2);
    book.busy(3);
    EXPECT_TRUE(book.admit("10.0.0.66").victim == 1);
    // All of the peer's connections busy: the new one is refused.
    book.busy(1);
    EXPECT_TRUE(book.admit("10.0.0.66").kind == ConnectionBook::Decision::Refuse);
    EXPECT_TRUE(book.openFrom("10.0.0.66") == 3 && book.open() == 3);

    // At the limit in all, the oldest waiting of anyone makes room.
    book.opened(4, "127.0.0.1");
    book.opened(5, "192.0.2.7");
    book.opened(6, "192.0.2.7");
    EXPECT_TRUE(book.oldestWaiting() == 4);
    ConnectionBook::Decision full = book.admit("198.51.100.1");
    EXPECT_TRUE(full.kind == ConnectionBook::Decision::Evict && full.victim == 4);
    book.closed(4);
    EXPECT_TRUE(book.open() == 5 && book.openFrom("127.0.0.1") == 0);
    EXPECT_TRUE(book.admit("198.51.100.1").kind == ConnectionBook::Decision::Admit);
    book.closed(1);
    EXPECT_TRUE(book.openFrom("10.0.0.66") == 2);
    book.closed(42); // unknown: nothing happens
    EXPECT_TRUE(book.open() == 4);
}

TEST(MonitorGate, HostHeaders) {
    const std::vector<std::string> none;
    const std::vector<std::string> allowed = {"Monitor.Example", "192.0.2.10", "[2001:db8::1]"};
    // Loopback names and addresses, with or without a port.
    for (const char *host : {"localhost", "LOCALHOST:8080", "localhost.", "127.0.0.1", "127.1.2.3:80",
                             "[::1]", "[::1]:8080", "::1", "[0:0::1]"})
        EXPECT_TRUE(hostAllowed(host, "127.0.0.1", none));
    // The address the request reached, however written; an IPv4 client of
    // an IPv6 listener reaches ::ffff:a.b.c.d.
    EXPECT_TRUE(hostAllowed("192.0.2.99:8080", "192.0.2.99", none));
    EXPECT_TRUE(hostAllowed("192.0.2.99", "::ffff:192.0.2.99", none));
    EXPECT_TRUE(hostAllowed("[2001:db8:0::5]:80", "2001:db8::5", none));
    EXPECT_TRUE(!hostAllowed("192.0.2.98", "192.0.2.99", none));
    // Names given by the operator (and the listening address), any case.
    EXPECT_TRUE(hostAllowed("monitor.example:8080", "192.0.2.99", allowed));
    EXPECT_TRUE(hostAllowed("MONITOR.EXAMPLE.", "192.0.2.99", allowed));
    EXPECT_TRUE(hostAllowed("192.0.2.10", "192.0.2.99", allowed));
    EXPECT_TRUE(hostAllowed("[2001:DB8::1]:8080", "192.0.2.99", allowed));
    // Rebound names and look-alikes.
    for (const char *host : {"evil.example", "monitor.example.evil.example", "127.0.0.1.evil.example",
                             "localhost.evil.example", "0.0.0.0", "0.0.0.0:8080", "[::]", "",
                             ":8080", "[::1", "[::1]x"})
        EXPECT_TRUE(!hostAllowed(host, "127.0.0.1", allowed));
    EXPECT_TRUE(canonicalAddress("::ffff:127.0.0.1") == "127.0.0.1");
    EXPECT_TRUE(canonicalAddress("::1") == "::1");
}

// A request for the chart's script with 2,700 ranges in one header, and
// its neighbours: only a single, short range reaches the HTTP library.
TEST(MonitorGate, RangeHeaders) {
    std::string many = "bytes=0-";
    for (int i = 1; i < 2700; ++i)
        many += ",0-";
    std::string request = "GET /chart.js HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: " + many +
                          "\r\nAccept: */*\r\n\r\nGET / HTTP/1.1\r\nRange: bytes=0-,0-\r\n\r\n";
    EXPECT_TRUE(dropRangesButOne(&request) == 1);
    // The next, pipelined request is left for its own turn.
    EXPECT_TRUE(request == "GET /chart.js HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n"
                     "GET / HTTP/1.1\r\nRange: bytes=0-,0-\r\n\r\n");
    for (const char *kept : {"bytes=0-99", "bytes=-500", "bytes=100-", " bytes=0-0 "}) {
        std::string one = std::string("GET / HTTP/1.1\r\nrange:") + kept + "\r\n\r\n";
        std::string before = one;
        EXPECT_TRUE(dropRangesButOne(&one) == 0 && one == before);
    }
    for (const char *dropped : {"bytes=0-1,2-3", "bytes=", "bytes=5", "bytes=1-2-3", "items=0-1",
                                "bytes=12345678901234567890-"}) {
        std::string one = std::string("GET / HTTP/1.1\r\nRANGE: ") + dropped + "\r\nX: y\r\n\r\n";
        EXPECT_TRUE(dropRangesButOne(&one) == 1 && one == "GET / HTTP/1.1\r\nX: y\r\n\r\n");
    }
    std::string unfinished = "GET / HTTP/1.1\r\nRange: bytes=0-,0-\r\n";
    EXPECT_TRUE(dropRangesButOne(&unfinished) == 0); // not a whole head: not handed on anyway
}

} // namespace

