#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "caster.h"
#include "fake_caster.h"
#include "recorders.h"
#include "sandbox.h"
#include "slow_host.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const unsigned short kCasterPort = 2101;

sockaddr_in loopbackAddress(unsigned short port) {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// The network of this host is gone: loopback down and without its address.
void takeNetworkDown() { setLoopbackUp(false); }

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A peer that completes the handshake from its backlog without anyone
// calling accept: all a connect needs.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopbackAddress(0);
        EXPECT_EQ(bind(fd_, (sockaddr *)&address, sizeof address), 0);
        EXPECT_EQ(listen(fd_, 16), 0);
        socklen_t length = sizeof address_;
        getsockname(fd_, (sockaddr *)&address_, &length);
    }
    ~Listener() { close(fd_); }
    const sockaddr_in &address() const { return address_; }

private:
    int fd_ = -1;
    sockaddr_in address_{};
};

// Runs one connect and measures it; the descriptor count around it shows
// whether anything was left open.
struct ConnectOutcome {
    int socket;
    double seconds;
    int descriptorsLeft;
};

ConnectOutcome connectOnce(const sockaddr_in &address, const std::atomic<int> &runFlag) {
    int before = openDescriptorCount();
    auto start = Clock::now();
    int socketHandle = openSocket(&address, &runFlag);
    double seconds = secondsSince(start);
    int after = openDescriptorCount() - (socketHandle >= 0 ? 1 : 0);
    return {socketHandle, seconds, after - before};
}

} // namespace

// The caster is up: the client gets a connected socket it can use with
// plain blocking receives and sends (the receive timeout it sets later only
// works on a blocking socket).

TEST(TimedConnect, ListeningPeerGivesConnectedBlockingSocket) {
    Listener peer;
    std::atomic<int> runFlag{1};
    ConnectOutcome outcome = connectOnce(peer.address(), runFlag);
    ASSERT_GE(outcome.socket, 0);
    EXPECT_LT(outcome.seconds, atOnce(1.0));
    EXPECT_EQ(outcome.descriptorsLeft, 0) << "only the returned socket may stay open";

    EXPECT_EQ(fcntl(outcome.socket, F_GETFL) & O_NONBLOCK, 0) << "socket left non-blocking";
    sockaddr_in connectedTo;
    socklen_t length = sizeof connectedTo;
    ASSERT_EQ(getpeername(outcome.socket, (sockaddr *)&connectedTo, &length), 0);
    EXPECT_EQ(connectedTo.sin_port, peer.address().sin_port);
    close(outcome.socket);
}

// The caster's machine is up but nothing listens on the port, or the
// network is down on the host itself: both are known at once, so the client
// must report the failure at once instead of sitting out the 8-second bound
// (which would also delay its next attempt by as much).

TEST(TimedConnect, RefusingPeerFailsAtOnce) {
    std::atomic<int> runFlag{1};
    ConnectOutcome outcome = connectOnce(loopbackAddress(kCasterPort), runFlag);
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_LT(outcome.seconds, atOnce(1.0));
    EXPECT_EQ(outcome.descriptorsLeft, 0);
}

TEST(TimedConnect, UnreachableNetworkFailsAtOnce) {
    takeNetworkDown();
    std::atomic<int> runFlag{1};
    ConnectOutcome outcome = connectOnce(loopbackAddress(kCasterPort), runFlag);
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_LT(outcome.seconds, atOnce(1.0)) << "an immediate connect failure must not wait out the bound";
    EXPECT_EQ(outcome.descriptorsLeft, 0);
}

// The caster's host is overloaded or a firewall drops our packets: the
// connect never completes, and the client must give up after about eight
// seconds, or as soon as the host stops it.

TEST(TimedConnect, SilentPeerGivesUpAfterAboutEightSeconds) {
    StalledListener peer;
    std::atomic<int> runFlag{1};
    ConnectOutcome outcome = connectOnce(loopbackAddress(kCasterPort), runFlag);
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_GE(outcome.seconds, 7.5);
    EXPECT_LE(outcome.seconds, 10.0);
    EXPECT_EQ(outcome.descriptorsLeft, 0);
}

TEST(TimedConnect, ClearedRunFlagEndsWaitWithinASecond) {
    StalledListener peer;
    std::atomic<int> runFlag{1};
    Clock::time_point clearedAt;
    std::thread stopper([&] {
        // Well inside the wait, and not on a one-second boundary.
        std::this_thread::sleep_for(2500ms);
        clearedAt = Clock::now();
        runFlag.store(0);
    });
    ConnectOutcome outcome = connectOnce(loopbackAddress(kCasterPort), runFlag);
    Clock::time_point returnedAt = Clock::now();
    stopper.join();
    EXPECT_EQ(outcome.socket, -1);
    double afterClear = std::chrono::duration<double>(returnedAt - clearedAt).count();
    EXPECT_GE(afterClear, 0.0) << "returned before the flag was cleared";
    EXPECT_LE(afterClear, 1.5);
    EXPECT_EQ(outcome.descriptorsLeft, 0);
}

TEST(TimedConnect, RunFlagZeroOnEntryMakesNoWait) {
    std::atomic<int> runFlag{0};
    {
        StalledListener silent;
        ConnectOutcome outcome = connectOnce(loopbackAddress(kCasterPort), runFlag);
        EXPECT_EQ(outcome.socket, -1);
        EXPECT_LT(outcome.seconds, atOnce(0.5));
        EXPECT_EQ(outcome.descriptorsLeft, 0);
    }
    // Even when the connection could be had at once, a stopped client gets none.
    Listener listening;
    ConnectOutcome outcome = connectOnce(listening.address(), runFlag);
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_LT(outcome.seconds, atOnce(0.5));
    EXPECT_EQ(outcome.descriptorsLeft, 0);
}
