#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_caster.h"
#include "moments.h"
#include "recorders.h"
#include "velto.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

char kMountPoint[] = "MP01x";
const int kClientNumber = 7;
const char kRefuse401[] = "HTTP/1.1 401 Unauthorized\r\n\r\n";
const char kRefuse404[] = "HTTP/1.1 404 Not Found\r\n\r\n";

std::string streamRequest(const char *mountPoint, int clientNumber) {
    return std::string("GET /") + mountPoint + " HTTP/1.1\r\n" +
           "User-Agent: NTRIP Client 1.0 #" + std::to_string(clientNumber) + "\r\n" +
           "Authorization: Basic cXdlcnQ6eXVpb3A=\r\n\r\n";
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// When the recorder first saw status; the epoch when it never did.
Clock::time_point timeOf(const StatusRecorder &recorder, int status) {
    for (const StatusEvent &event : recorder.events())
        if (event.status == status)
            return event.when;
    return Clock::time_point();
}

// One client handle, destroyed when the test ends however it ends: always
// before the recorders its callbacks write to (declare it after them).
class Client {
public:
    Client() : handle_(VeltoConstruct()) {}
    ~Client() { destroy(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    VeltoHandle handle() const { return handle_; }
    void start(ClientRecorder *recorder, char *mountPoint = kMountPoint,
               int clientNumber = kClientNumber) {
        VeltoStart(handle_, recorder, mountPoint, clientNumber, ClientRecorder::onData,
                   ClientRecorder::onStatus);
    }
    void stop() { VeltoStop(handle_); }
    int status() const { return VeltoStatus(handle_); }
    void destroy() {
        VeltoDestruct(handle_);
        handle_ = nullptr;
    }

private:
    VeltoHandle handle_;
};

// Status that only VeltoStatus shows (no status callback): polled.
bool pollStatus(const Client &client, int status, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (client.status() != status) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A client thread stuck for good (a deadlock) would also hang its
// destruction; end the process with a failure instead of waiting for the
// test runner's time-out.
void failFastUnless(bool condition, const char *what) {
    if (condition)
        return;
    fprintf(stderr, "FAILED, giving up at once: %s\n", what);
    fflush(stderr);
    _Exit(1);
}

// Stream bytes as a receiver might get them: anything, zero bytes included,
// and now and then text that would mean something in a caster's answer.
std::string arbitraryStream(size_t size) {
    std::mt19937 random(20180619);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = (i % 5 == 0) ? '\0' : (char)(random() & 0xff);
    const std::string answerLike = "\r\nHTTP/1.1 404 Not Found\r\nSOURCETABLE 200 OK\r\n\r\n";
    for (size_t at = 1000; at + answerLike.size() < size; at += 300000)
        bytes.replace(at, answerLike.size(), answerLike);
    return bytes;
}

void expectBlockSizesInRange(const std::vector<int> &blocks) {
    for (size_t i = 0; i < blocks.size(); ++i)
        ASSERT_TRUE(blocks[i] >= 1 && blocks[i] <= 2048) << "block " << i << ": " << blocks[i];
}

} // namespace

// A receiver feeds the stream straight into its positioning engine: RTCM
// frames of every size, with zero bytes and anything else in them. Every
// byte must reach the host once, in order, unchanged, in blocks the host's
// callback contract promises (1 to 2048 bytes).

TEST(StreamDelivery, EveryBlockSizeFrom1To2048ArrivesByteExact) {
    const size_t kLargest = 2048;
    const std::string stream = arbitraryStream(kLargest * (kLargest + 1) / 2);
    ClientRecorder recorder;
    FakeCaster caster(acceptThen(recorder, [&](CasterConnection &c) {
        size_t offset = 0;
        for (size_t size = 1; size <= kLargest; ++size) {
            if (!c.send(stream.data() + offset, size))
                return;
            offset += size;
            // The client takes each block before the next is sent, so that
            // it meets every size exactly once.
            if (!recorder.waitForBytes(offset, 10s))
                return;
        }
        c.waitPeerClosed();
    }));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitForBytes(stream.size(), 60s)) << recorder.data().size() << " bytes";
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));

    const std::string received = recorder.data();
    ASSERT_EQ(received.size(), stream.size());
    size_t firstDifference = 0;
    while (firstDifference < stream.size() && received[firstDifference] == stream[firstDifference])
        ++firstDifference;
    EXPECT_EQ(firstDifference, stream.size()) << "first wrong byte at offset " << firstDifference;

    std::vector<int> blocks = recorder.blocks();
    expectBlockSizesInRange(blocks);
    std::vector<int> everySize;
    for (int size = 1; size <= (int)kLargest; ++size)
        everySize.push_back(size);
    EXPECT_EQ(blocks, everySize);
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{1, 0}));
}

// A typical correction stream: one block of about 100 bytes a second. The
// link holds for as long as the caster keeps sending, on one connection,
// and every byte arrives; no silence bound may fire between two blocks.
TEST(StreamDelivery, SteadySlowStreamHoldsWithEveryByte) {
    const int kBlocks = 21;
    const std::string stream = arbitraryStream(100 * kBlocks);
    ClientRecorder recorder;
    FakeCaster caster(acceptThen(recorder, [&](CasterConnection &c) {
        for (int block = 0; block < kBlocks; ++block)
            if (!c.send(stream.substr(100 * block, 100)) || !c.pause(1s))
                return;
        c.waitPeerClosed();
    }));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitForBytes(stream.size(), 40s)) << recorder.data().size() << " bytes";
    EXPECT_EQ(client.status(), VELTO_STATUS_STREAMING);
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.data(), stream);
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{1, 0}));
    EXPECT_EQ(caster.connections(), 1);
}

// Casters often push the first stream bytes in the same packet as their
// answer. That block is read as the answer and is not handed on; the host
// gets the stream from the next block on.
TEST(StreamDelivery, BytesInTheAnswerBlockAreNotDelivered) {
    const std::string inAnswerBlock("\xd3\x00\x13\x3e\xd0\x00\x03header block", 19);
    const std::string nextBlock("\xd3\x00\x08next\x00!", 10);
    ClientRecorder recorder;
    FakeCaster caster(acceptThen(
        recorder,
        [&](CasterConnection &c) {
            c.send(nextBlock);
            c.waitPeerClosed();
        },
        kIcyAccept + inAnswerBlock));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitForBytes(nextBlock.size(), 10s));
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.data(), nextBlock);
    EXPECT_EQ(recorder.blocks(), (std::vector<int>{(int)nextBlock.size()}));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{1, 0}));
}

// A host that only wants the link kept up (or watches it by polling) may
// start a client without callbacks: the stream is still read and dropped.
TEST(StreamDelivery, WithoutCallbacksStillStreamsAndReportsThroughStatus) {
    Moments hostSawStreaming;
    FakeCaster caster([&](CasterConnection &c) {
        if (c.readRequest().empty())
            return;
        c.send(kIcyAccept);
        for (int i = 0; !hostSawStreaming.waitFor(1, 50ms); ++i)
            if (i == 200 || !c.send("\xd3\x00\x01x", 4))
                return;
        // The end of stream behind these bytes is seen only by a client that
        // reads and drops all of them.
        std::string megabytes(4 << 20, '\x55');
        c.send(megabytes);
        c.close();
    });
    Client client;
    VeltoStart(client.handle(), nullptr, kMountPoint, kClientNumber, nullptr, nullptr);
    ASSERT_TRUE(pollStatus(client, VELTO_STATUS_STREAMING, 10s));
    hostSawStreaming.note();
    ASSERT_TRUE(pollStatus(client, VELTO_STATUS_STREAM_LOST, 20s)) << "status " << client.status();
    client.stop();
    EXPECT_TRUE(pollStatus(client, VELTO_STATUS_IDLE, 5s));
}

// A caster whose NTRIP service is broken may accept the TCP connection and
// then hang up, or accept and never say a word. The first is reported at
// once; the second after the whole answer wait (8 receives of a second and
// a second's sleep after each), and the client hangs up itself.

TEST(AnswerWait, CasterClosingWithoutAnswerIsNoAnswerAtOnce) {
    ClientRecorder recorder;
    FakeCaster caster(answerThenClose(""));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_NO_ANSWER, 10s));
    double seconds = secondsBetween(caster.acceptTimes().at(0), timeOf(recorder, -3));
    EXPECT_LT(seconds, 3.0) << "no answer reported only after " << seconds << " s";
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{-3, 0}));
    EXPECT_TRUE(recorder.data().empty());
}

TEST(AnswerWait, SilentCasterIsNoAnswerAfterAbout16Seconds) {
    ClientRecorder recorder;
    Moments clientHungUp;
    FakeCaster caster(answerThenHold("", &clientHungUp));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_NO_ANSWER, 30s));
    Clock::time_point reported = timeOf(recorder, -3);
    double seconds = secondsBetween(caster.acceptTimes().at(0), reported);
    EXPECT_GT(seconds, 14.0);
    EXPECT_LT(seconds, 20.0);
    ASSERT_TRUE(clientHungUp.waitFor(1, 5s)) << "the client kept the silent connection";
    EXPECT_LT(secondsBetween(reported, clientHungUp.at(0)), 2.0);
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{-3, 0}));
}

// Mid-stream the caster may stall (its source went away, a NAT dropped the
// mapping) or drop the link. A stall is given up after nine silent receives
// in a row, about 9 s after the last block; any block restarts that count,
// so a stream with slow but regular blocks is never cut. A dropped link is
// reported at once.

TEST(StreamLoss, SilenceEndsTheStreamAfterAbout9Seconds) {
    ClientRecorder recorder;
    Moments clientHungUp;
    FakeCaster caster(acceptThen(recorder, [&](CasterConnection &c) {
        c.send("abc");
        if (c.waitPeerClosed(30s))
            clientHungUp.note();
    }));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitForBytes(3, 10s));
    Clock::time_point lastBlock = Clock::now();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_STREAM_LOST, 20s));
    double seconds = secondsBetween(lastBlock, timeOf(recorder, -4));
    EXPECT_GT(seconds, 8.0);
    EXPECT_LT(seconds, 12.0);
    EXPECT_TRUE(clientHungUp.waitFor(1, 5s)) << "the client kept the stalled connection";
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{1, -4, 0}));
}

TEST(StreamLoss, OneBlockRestartsTheSilenceCount) {
    ClientRecorder recorder;
    FakeCaster caster(acceptThen(recorder, [&](CasterConnection &c) {
        c.send("a");
        if (!c.pause(6s))
            return;
        c.send("b");
        c.waitPeerClosed(30s);
    }));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitForBytes(1, 10s));
    Clock::time_point firstBlock = Clock::now();
    ASSERT_TRUE(recorder.waitForBytes(2, 10s));
    Clock::time_point secondBlock = Clock::now();
    // Twelve seconds after the first block: without the restart the stream
    // would have been given up three seconds ago.
    auto untilTwelve = std::chrono::duration_cast<std::chrono::milliseconds>(
        firstBlock + 12s - Clock::now());
    EXPECT_FALSE(recorder.waitFor(VELTO_STATUS_STREAM_LOST, untilTwelve))
        << "stream lost " << secondsBetween(firstBlock, timeOf(recorder, -4))
        << " s after the first block";
    EXPECT_EQ(client.status(), VELTO_STATUS_STREAMING);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_STREAM_LOST, 15s));
    double seconds = secondsBetween(secondBlock, timeOf(recorder, -4));
    EXPECT_GT(seconds, 8.0);
    EXPECT_LT(seconds, 12.0);
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{1, -4, 0}));
}

// The caster hangs up while streaming (hangUp closes or resets the link):
// -4 must follow within seconds, not after the nine-second silence bound.
void expectStreamLostAtOnce(void (*hangUp)(CasterConnection &), double withinSeconds,
                            bool checkData) {
    ClientRecorder recorder;
    Moments hungUp;
    FakeCaster caster(acceptThen(recorder, [&](CasterConnection &c) {
        c.send("abc");
        if (!recorder.waitForBytes(3, 10s))
            return;
        hungUp.note();
        hangUp(c);
    }));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_STREAM_LOST, 15s));
    ASSERT_TRUE(hungUp.waitFor(1, 1s));
    EXPECT_LT(secondsBetween(hungUp.at(0), timeOf(recorder, -4)), withinSeconds);
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{1, -4, 0}));
    if (checkData)
        EXPECT_EQ(recorder.data(), "abc");
}

TEST(StreamLoss, CasterClosingWhileStreamingIsStreamLostAtOnce) {
    expectStreamLostAtOnce([](CasterConnection &c) { c.close(); }, 2.0, true);
}

// A caster that crashes resets the link instead of closing it.
TEST(StreamLoss, CasterResettingWhileStreamingIsStreamLostAtOnce) {
    expectStreamLostAtOnce([](CasterConnection &c) { c.reset(); }, 3.0, false);
}

// A caster restarted for maintenance drops every receiver; each comes back
// by itself after its half-minute pause, asks for the same stream again, and
// the host hears that the stream is back.

TEST(Reconnect, AfterTheThirtySecondPauseTheStreamComesBack) {
    ClientRecorder recorder;
    FakeCaster::Script firstLink = acceptThen(recorder, [&](CasterConnection &c) {
        c.send("first");
        if (recorder.waitForBytes(5, 10s))
            c.close();
    });
    FakeCaster caster([&](CasterConnection &c) { c.index() == 0 ? firstLink(c) : acceptStream(c); });
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_STREAM_LOST, 15s));
    ASSERT_TRUE(caster.waitForConnections(2, 45s));
    double pause = secondsBetween(timeOf(recorder, -4), caster.acceptTimes().at(1));
    EXPECT_GT(pause, 29.0);
    EXPECT_LT(pause, 34.0);
    ASSERT_TRUE(recorder.waitForCount(3, 10s)); // streaming again
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{1, -4, 1, 0}));
    std::vector<std::string> requests = caster.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], streamRequest(kMountPoint, kClientNumber));
    EXPECT_EQ(requests[1], requests[0]);
}

// A receiver whose subscription lapsed is refused at every attempt. It
// keeps trying, but the host hears about the refusal once, not every half
// minute.
TEST(Reconnect, RefusalRepeatedAtTheNextAttemptIsReportedOnce) {
    ClientRecorder recorder;
    Moments clientHungUp;
    FakeCaster caster(answerThenHold(kRefuse401, &clientHungUp));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_UNAUTHORISED, 10s));
    ASSERT_TRUE(clientHungUp.waitFor(2, 45s)) << "no second attempt";
    double pause = secondsBetween(clientHungUp.at(0), caster.acceptTimes().at(1));
    EXPECT_GT(pause, 29.0);
    EXPECT_LT(pause, 34.0);
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{-6, 0}));
    EXPECT_EQ(caster.connections(), 2);
}

// The host stops a client whenever it likes: while the caster is still
// unreachable, while the caster has not answered, while data flows, or while
// the client waits to retry. Each time the host hears how the cut-short
// attempt ended and then 0, within about two seconds.

TEST(Stop, DuringTheConnectReportsConnectFailedThenIdle) {
    StalledListener stalled;
    ClientRecorder recorder;
    int before = openDescriptorCount();
    Client client;
    client.start(&recorder);
    // The connect is under way once its socket and readiness wait exist.
    auto deadline = Clock::now() + 5s;
    while (openDescriptorCount() < before + 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(openDescriptorCount(), before + 2) << "no connect under way";
    Clock::time_point stopped = Clock::now();
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 6s));
    EXPECT_LT(secondsBetween(stopped, timeOf(recorder, 0)), 3.0);
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{-2, 0}));
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(Stop, DuringTheAnswerWaitReportsNoAnswerThenIdle) {
    ClientRecorder recorder;
    FakeCaster caster(answerThenHold(""));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(caster.waitForRequests(1, 10s));
    Clock::time_point stopped = Clock::now();
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 6s));
    EXPECT_LT(secondsBetween(stopped, timeOf(recorder, 0)), 3.5);
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{-3, 0}));
}

namespace {

// Notes data callbacks that start after VeltoStop has returned.
struct LateDeliveryProbe : ClientRecorder {
    std::atomic<bool> stopReturned{false};
    std::atomic<int> lateCalls{0};

    static void VELTO_CALL onData(void *user, char *bytes, int count) {
        auto *self = static_cast<LateDeliveryProbe *>(static_cast<ClientRecorder *>(user));
        if (self->stopReturned.load())
            ++self->lateCalls;
        ClientRecorder::onData(user, bytes, count);
    }
};

} // namespace

TEST(Stop, WhileStreamingNoLossIsReportedAndNoDataFollows) {
    FakeCaster caster(floodStream);
    // The race between the host's stop and a block arriving is narrow, so
    // it is run several times.
    for (int round = 0; round < 5; ++round) {
        LateDeliveryProbe probe;
        Client client;
        VeltoStart(client.handle(), static_cast<ClientRecorder *>(&probe), kMountPoint,
                   kClientNumber, LateDeliveryProbe::onData, ClientRecorder::onStatus);
        ASSERT_TRUE(probe.waitForBytes(1 << 20, 20s)) << "round " << round;
        client.stop();
        probe.stopReturned = true;
        size_t bytesAtStop = probe.data().size();
        ASSERT_TRUE(probe.waitFor(VELTO_STATUS_IDLE, 5s)) << "round " << round;
        EXPECT_EQ(probe.lateCalls.load(), 0) << "round " << round;
        EXPECT_EQ(probe.data().size(), bytesAtStop) << "round " << round;
        EXPECT_EQ(probe.statuses(), (std::vector<int>{1, 0})) << "round " << round;
        expectBlockSizesInRange(probe.blocks());
    }
}

namespace {

// A host that takes its time over each block (it writes to a slow serial
// port, say).
struct SlowHost : ClientRecorder {
    Moments entered;
    std::atomic<bool> inCallback{false};

    static void VELTO_CALL onData(void *user, char *bytes, int count) {
        auto *self = static_cast<SlowHost *>(static_cast<ClientRecorder *>(user));
        self->inCallback = true;
        self->entered.note();
        std::this_thread::sleep_for(500ms);
        ClientRecorder::onData(user, bytes, count);
        self->inCallback = false;
    }
};

} // namespace

TEST(Stop, WaitsForTheDeliveryInProgress) {
    SlowHost host;
    FakeCaster caster(floodStream);
    Client client;
    VeltoStart(client.handle(), static_cast<ClientRecorder *>(&host), kMountPoint, kClientNumber,
               SlowHost::onData, ClientRecorder::onStatus);
    ASSERT_TRUE(host.entered.waitFor(1, 10s));
    client.stop();
    EXPECT_FALSE(host.inCallback.load()) << "VeltoStop returned during a data callback";
    size_t blocksAtStop = host.blocks().size();
    ASSERT_TRUE(host.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(host.blocks().size(), blocksAtStop);
    EXPECT_EQ(host.statuses(), (std::vector<int>{1, 0}));
}

TEST(Stop, DuringThePauseReportsTheFailureThenIdleAndEnds) {
    ClientRecorder recorder;
    Moments clientHungUp;
    FakeCaster caster(answerThenHold(kRefuse404, &clientHungUp));
    Client client;
    client.start(&recorder);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_NOT_FOUND, 10s));
    ASSERT_TRUE(clientHungUp.waitFor(1, 5s)); // the attempt is over: pausing now
    Clock::time_point stopped = Clock::now();
    client.stop();
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    EXPECT_LT(secondsBetween(stopped, timeOf(recorder, 0)), 2.5);
    // The thread has ended: destroying the handle does not have to wait.
    Clock::time_point destroying = Clock::now();
    client.destroy();
    EXPECT_LT(secondsBetween(destroying, Clock::now()), 1.0);
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{-5, 0}));
    EXPECT_EQ(caster.connections(), 1);
}

// A host switches a running client to another mount point by starting it
// again. The old run ends first and says so to the old callback and user
// pointer; the new one asks for the new stream under the new number.

namespace {

// Marks the status reports that reach the second start's callback.
const int kSecondCallbackMark = 100;

void VELTO_CALL statusOfSecondStart(void *user, int status) {
    static_cast<StatusRecorder *>(user)->record(status + kSecondCallbackMark);
}

} // namespace

TEST(Restart, StartOnARunningHandleEndsTheOldRunFirst) {
    ClientRecorder first;
    ClientRecorder second;
    char otherMountPoint[] = "OTHER22";
    FakeCaster caster(acceptStream);
    Client client;
    client.start(&first);
    ASSERT_TRUE(first.waitFor(VELTO_STATUS_STREAMING, 10s));

    Clock::time_point restarting = Clock::now();
    VeltoStart(client.handle(), &second, otherMountPoint, 12, ClientRecorder::onData,
               statusOfSecondStart);
    EXPECT_LT(secondsBetween(restarting, Clock::now()), 4.0);
    // Before VeltoStart returned, the old thread's last report reached the
    // old callback with the old user pointer.
    EXPECT_EQ(first.statuses(), (std::vector<int>{1, 0}));
    for (const StatusEvent &event : first.events())
        EXPECT_NE(event.thread, std::this_thread::get_id());

    ASSERT_TRUE(second.waitFor(kSecondCallbackMark + VELTO_STATUS_STREAMING, 10s));
    std::vector<std::string> requests = caster.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], streamRequest(kMountPoint, kClientNumber));
    EXPECT_EQ(requests[1], streamRequest(otherMountPoint, 12));
    client.stop();
    ASSERT_TRUE(second.waitFor(kSecondCallbackMark + VELTO_STATUS_IDLE, 5s));
    EXPECT_EQ(second.statuses(), (std::vector<int>{kSecondCallbackMark + 1, kSecondCallbackMark}));
    EXPECT_EQ(first.statuses(), (std::vector<int>{1, 0}));
}

// A receiver left running for months against a caster that refuses it, or
// cannot be reached, makes an attempt every half minute. If an attempt left
// a descriptor behind, the host process would run out of them one day.

TEST(Descriptors, NoneHeldBetweenRefusedAttempts) {
    const int kClients = 16;
    const int kRounds = 3;
    Moments attemptsOver;
    FakeCaster caster(answerThenHold(kRefuse401, &attemptsOver));
    int before = openDescriptorCount();
    std::vector<std::unique_ptr<ClientRecorder>> recorders;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        recorders.emplace_back(new ClientRecorder);
        clients.emplace_back(new Client);
        clients.back()->start(recorders.back().get());
    }
    for (int round = 1; round <= kRounds; ++round) {
        ASSERT_TRUE(attemptsOver.waitFor((size_t)(kClients * round), 45s)) << "round " << round;
        EXPECT_EQ(openDescriptorCount(), before) << "after round " << round;
    }
    for (auto &client : clients)
        client->stop();
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(recorders[(size_t)i]->waitFor(VELTO_STATUS_IDLE, 5s));
        EXPECT_EQ(recorders[(size_t)i]->statuses(), (std::vector<int>{-6, 0})) << "client " << i;
    }
    clients.clear();
    EXPECT_EQ(openDescriptorCount(), before);
}

// The caster is down: nothing listens on its port and every connect is
// refused.
TEST(Descriptors, NoneHeldAfterRefusedConnects) {
    const int kClients = 8;
    int before = openDescriptorCount();
    std::vector<std::unique_ptr<ClientRecorder>> recorders;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        recorders.emplace_back(new ClientRecorder);
        clients.emplace_back(new Client);
        clients.back()->start(recorders.back().get());
    }
    for (auto &recorder : recorders)
        ASSERT_TRUE(recorder->waitFor(VELTO_STATUS_CONNECT_FAILED, 5s));
    EXPECT_EQ(openDescriptorCount(), before);
    for (auto &client : clients)
        client->stop();
    for (auto &recorder : recorders) {
        ASSERT_TRUE(recorder->waitFor(VELTO_STATUS_IDLE, 5s));
        EXPECT_EQ(recorder->statuses(), (std::vector<int>{-2, 0}));
    }
    clients.clear();
    EXPECT_EQ(openDescriptorCount(), before);
}

// A host may react to a status report by stopping the client or reading
// the status again, right inside the status callback. That only works
// because the callback never runs with the client's lock held.

namespace {

struct StoppingHost {
    ClientRecorder recorder;
    VeltoHandle handle = nullptr;
    int stopOn = 0;
    std::mutex mutex;
    std::vector<int> statusInside;

    static void VELTO_CALL onData(void *user, char *bytes, int count) {
        ClientRecorder::onData(&static_cast<StoppingHost *>(user)->recorder, bytes, count);
    }
    static void VELTO_CALL onStatus(void *user, int status) {
        auto *self = static_cast<StoppingHost *>(user);
        int inside = VeltoStatus(self->handle);
        {
            std::lock_guard<std::mutex> hold(self->mutex);
            self->statusInside.push_back(inside);
        }
        if (status == self->stopOn)
            VeltoStop(self->handle);
        self->recorder.record(status); // after VeltoStop has returned
    }
};

} // namespace

TEST(StatusCallback, MayStopTheClientWhenStreamingBegins) {
    StoppingHost host;
    FakeCaster caster(trickleStream);
    Client client;
    host.handle = client.handle();
    host.stopOn = VELTO_STATUS_STREAMING;
    VeltoStart(client.handle(), &host, kMountPoint, kClientNumber, StoppingHost::onData,
               StoppingHost::onStatus);
    failFastUnless(host.recorder.waitFor(VELTO_STATUS_IDLE, 10s),
                   "VeltoStop inside the status callback did not come back");
    EXPECT_EQ(host.recorder.statuses(), (std::vector<int>{1, 0}));
    EXPECT_EQ(host.statusInside, (std::vector<int>{1, 0}));
    EXPECT_TRUE(host.recorder.data().empty()) << "data delivered after the stop";
}

TEST(StatusCallback, MayStopTheClientOnAFailureAndThePauseIsSkipped) {
    StoppingHost host;
    FakeCaster caster(answerThenClose(""));
    Client client;
    host.handle = client.handle();
    host.stopOn = VELTO_STATUS_NO_ANSWER;
    VeltoStart(client.handle(), &host, kMountPoint, kClientNumber, StoppingHost::onData,
               StoppingHost::onStatus);
    failFastUnless(host.recorder.waitFor(VELTO_STATUS_IDLE, 10s),
                   "VeltoStop inside the status callback did not come back");
    EXPECT_LT(secondsBetween(timeOf(host.recorder, -3), timeOf(host.recorder, 0)), 2.0);
    EXPECT_EQ(host.recorder.statuses(), (std::vector<int>{-3, 0}));
    EXPECT_EQ(host.statusInside, (std::vector<int>{-3, 0}));
}

// A runtime's exit handler may run on the client thread, inside a callback.
// VeltoDestruct there returns at once; the thread closes the connection,
// ends and frees the client itself, and nothing calls back after it (the
// sanitizer stage checks the freeing). VeltoStart there is refused.

namespace {

enum SelfAct { kDestroyOnStreaming, kDestroyOnData, kRestartOnStreaming };

struct SelfTearingHost : ClientRecorder {
    SelfAct act;
    VeltoHandle handle = VeltoConstruct();
    Moments acted;
    std::atomic<int> lateCalls{0};

    explicit SelfTearingHost(SelfAct what) : act(what) {}
    static void actOnce(void *user, bool isData, int status) {
        auto *self = static_cast<SelfTearingHost *>(static_cast<ClientRecorder *>(user));
        bool done = self->acted.waitFor(1, 0ms);
        self->lateCalls += done && self->act != kRestartOnStreaming;
        if (done || isData != (self->act == kDestroyOnData) || status != VELTO_STATUS_STREAMING)
            return;
        if (self->act == kRestartOnStreaming)
            VeltoStart(self->handle, user, kMountPoint, 12, nullptr, ClientRecorder::onStatus);
        else
            VeltoDestruct(self->handle);
        self->acted.note();
    }
    static void VELTO_CALL onData(void *user, char *bytes, int count) {
        ClientRecorder::onData(user, bytes, count);
        actOnce(user, true, VELTO_STATUS_STREAMING);
    }
    static void VELTO_CALL onStatus(void *user, int status) {
        ClientRecorder::onStatus(user, status);
        actOnce(user, false, status);
    }
};

void expectSelfTeardown(SelfAct act) {
    Moments hungUp;
    FakeCaster caster([&](CasterConnection &c) {
        floodStream(c);
        hungUp.note();
    });
    const int threadsBefore = threadCount();
    SelfTearingHost host(act);
    VeltoStart(host.handle, static_cast<ClientRecorder *>(&host), kMountPoint, kClientNumber,
               SelfTearingHost::onData, SelfTearingHost::onStatus);
    failFastUnless(host.acted.waitFor(1, 10s), "no callback came back");
    if (act == kRestartOnStreaming) {
        EXPECT_EQ(VeltoStatus(host.handle), VELTO_STATUS_STREAMING) << "the refused start changed it";
        VeltoDestruct(host.handle);
    }
    EXPECT_TRUE(hungUp.waitFor(1, 5s)) << "the connection stayed open";
    for (int i = 0; i < 500 && threadCount() > threadsBefore; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(threadCount(), threadsBefore) << "the client thread did not end";
    EXPECT_EQ(host.lateCalls.load(), 0) << "callbacks after VeltoDestruct returned";
    EXPECT_EQ(host.statuses(),
              (act == kRestartOnStreaming ? std::vector<int>{1, 0} : std::vector<int>{1}));
    EXPECT_EQ(caster.connections(), 1);
}

} // namespace

TEST(SelfTeardown, DestructFromTheStatusCallback) { expectSelfTeardown(kDestroyOnStreaming); }

// The data callback holds the client's lock: the client may go only once
// the delivery has given it back.
TEST(SelfTeardown, DestructFromTheDataCallback) { expectSelfTeardown(kDestroyOnData); }

TEST(SelfTeardown, StartFromTheStatusCallbackIsRefused) { expectSelfTeardown(kRestartOnStreaming); }
