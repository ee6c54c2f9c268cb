// VeltoSourceTable against a scripted caster on loopback: what the library
// sends, what it makes of the answers real casters give, how long it waits
// for a caster that stalls, and that it leaves no descriptor behind.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_caster.h"
#include "moments.h"
#include "recorders.h"
#include "sandbox.h"
#include "velto.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;

namespace {

const char kRequest[] = "GET / HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0\r\nConnection: close\r\n\r\n";

// The source callback has no user pointer: each thread collects into its own list.
thread_local Names *collected = nullptr;

void VELTO_CALL collect(char *mountPoint) { collected->push_back(mountPoint); }

struct Query {
    int result = -1;
    Names names;
    double seconds = 0;
    Clock::time_point returned;
};

Query query(VeltoSourceCallback callback = collect) {
    Query q;
    Names *outer = collected;
    collected = &q.names;
    Clock::time_point start = Clock::now();
    q.result = VeltoSourceTable(callback);
    q.returned = Clock::now();
    q.seconds = std::chrono::duration<double>(q.returned - start).count();
    collected = outer;
    return q;
}

std::string table(const std::vector<std::string> &lines) {
    std::string text = "SOURCETABLE 200 OK\r\nServer: Fake Caster/1.0\r\nContent-Type: text/plain\r\n\r\n";
    for (const std::string &line : lines)
        text += line + "\r\n";
    return text + "ENDSOURCETABLE\r\n";
}

const std::string kThreeRecords =
    table({"CAS;127.0.0.1;2101;Fake;Velto;0;DEU;52.5;13.4;0.0.0.0;0;none",
           "NET;FAKE;Velto;B;N;none;none;none;none", "STR;MP01;One;RTCM 3.2;;2;GPS;FAKE;DEU;52.5;13.4;0;0;x;none;B;N;0;",
           "STR;Second;Two;RTCM 3.3;", "STR;third;Three;RTCM 3;"});
const Names kThreeNames = {"MP01", "Second", "third"};

// A large table and its mount points, each record about 100 bytes.
std::string largeTable(int records, Names *names) {
    std::vector<std::string> lines;
    for (int record = 0; record < records; ++record) {
        std::string name = "Big" + std::to_string(record);
        names->push_back(name);
        lines.push_back("STR;" + name +
                        ";Identifier;RTCM 3.2;1004(1),1012(1);2;GLO+GPS;NET;DEU;52.52;13.40;1;0;sNTRIP;none;B;N;5000;");
        if (record % 700 == 0)
            lines.push_back("NET;net" + std::to_string(record) + ";x;B;N;");
    }
    return table(lines);
}

void sendWithoutDelay(CasterConnection &connection) {
    int on = 1;
    setsockopt(connection.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Sends text in pieces of random size, pausing now and then so that the
// pieces reach the library as separate receives.
void sendInRandomPieces(CasterConnection &connection, const std::string &text, unsigned seed) {
    sendWithoutDelay(connection);
    std::mt19937 random(seed);
    for (size_t sent = 0, piece = 0; sent < text.size(); ++piece) {
        size_t count = std::min(text.size() - sent, (size_t)(1 + random() % (piece % 4 == 0 ? 12 : 3000)));
        if (!connection.send(text.data() + sent, count))
            return;
        sent += count;
        if (piece % 16 == 0 && !connection.pause(1ms))
            return;
    }
}

// Every test checks at its end that no descriptor is left open: the caster
// (which holds descriptors of its own) is gone by then.
class SourceTable : public testing::Test {
protected:
    void SetUp() override { descriptorsBefore_ = openDescriptorCount(); }
    void TearDown() override {
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore_) << "a descriptor was left open";
    }

private:
    int descriptorsBefore_ = 0;
};

} // namespace

// The host asks for the list of mount points of a working caster.
TEST_F(SourceTable, NullCallbackMakesNoConnection) {
    FakeCaster caster(answerThenClose(kThreeRecords));
    EXPECT_EQ(VeltoSourceTable(nullptr), 0);
    EXPECT_FALSE(caster.waitForConnections(1, 500ms));
}

TEST_F(SourceTable, SendsTheSourceTableRequest) {
    FakeCaster caster(answerThenClose(kThreeRecords));
    query();
    ASSERT_EQ(caster.requests().size(), 1u);
    EXPECT_EQ(caster.requests()[0], std::string(kRequest));
    EXPECT_EQ(caster.requests()[0].size(), 67u);
}

TEST_F(SourceTable, ThreeRecordsInOrder) {
    FakeCaster caster(answerThenClose(kThreeRecords));
    Query q = query();
    EXPECT_EQ(q.result, 3);
    EXPECT_EQ(q.names, kThreeNames);
}

// A large table through receives of random size, the status line cut too.
// Every single cut of a table is checked on byte arrays in test_unit_table.cpp.
TEST_F(SourceTable, LargeTableInRandomSegments) {
    Names expected;
    std::string text = largeTable(5000, &expected);
    FakeCaster caster([&text](CasterConnection &c) {
        if (c.readRequest().empty())
            return;
        sendInRandomPieces(c, text, 11u + (unsigned)c.index());
        c.close();
    });
    for (int run = 0; run < 3; ++run) {
        Query q = query();
        EXPECT_EQ(q.result, (int)expected.size()) << "run " << run;
        ASSERT_EQ(q.names.size(), expected.size()) << "run " << run;
        EXPECT_EQ(q.names, expected) << "run " << run;
    }
}

// Casters keep the connection open after the table (ignoring
// "Connection: close"): the end marker alone must end the call.
TEST_F(SourceTable, EndMarkerEndsTheCallAtOnce) {
    Moments peerClosed;
    FakeCaster caster(answerThenHold(kThreeRecords, &peerClosed));
    Query q = query();
    EXPECT_EQ(q.result, 3);
    EXPECT_LT(q.seconds, 2.0);
    EXPECT_TRUE(peerClosed.waitFor(1, 5s)) << "the library did not close its end";
}

// A caster that answers with something other than its table: a stream
// answer, an error page. Nothing of it is taken for a mount point.
TEST_F(SourceTable, StreamAnswerGivesZero) {
    FakeCaster caster(answerThenHold("ICY 200 OK\r\n\r\nSTR;A;x;\r\nENDSOURCETABLE\r\n"));
    Query q = query();
    EXPECT_EQ(q.result, 0);
    EXPECT_TRUE(q.names.empty());
    EXPECT_LT(q.seconds, 4.0);
}

TEST_F(SourceTable, HttpErrorGivesZero) {
    FakeCaster caster(answerThenHold("HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n\r\nSTR;A;x;\r\n"));
    Query q = query();
    EXPECT_EQ(q.result, 0);
    EXPECT_TRUE(q.names.empty());
    EXPECT_LT(q.seconds, 4.0);
}

// Casters that fail on the way: one that accepts and says nothing, one that
// stalls in the middle of its table, one that hangs up early.
TEST_F(SourceTable, SilentCasterGivesZeroAfterEightSeconds) {
    FakeCaster caster(answerThenHold(""));
    Query q = query();
    EXPECT_EQ(q.result, 0);
    EXPECT_GE(q.seconds, 7.0);
    EXPECT_LE(q.seconds, 11.0);
}

TEST_F(SourceTable, StallMidTableReturnsCountAfterEightSeconds) {
    Moments lastData;
    FakeCaster caster([&](CasterConnection &c) {
        if (c.readRequest().empty())
            return;
        c.send("SOURCETABLE 200 OK\r\nSTR;A;x;\r\nSTR;B;x;\r\nSTR;Unfinis");
        lastData.note();
        c.pause(30s);
    });
    Query q = query();
    EXPECT_EQ(q.result, 2);
    EXPECT_EQ(q.names, (Names{"A", "B"}));
    ASSERT_TRUE(lastData.waitFor(1, 1s));
    double afterLastData = std::chrono::duration<double>(q.returned - lastData.at(0)).count();
    EXPECT_GE(afterLastData, 7.0);
    EXPECT_LE(afterLastData, 11.0);
}

TEST_F(SourceTable, CasterClosingBeforeEndMarkerGivesCountSoFar) {
    FakeCaster caster(answerThenClose("SOURCETABLE 200 OK\r\nSTR;A;x;\r\nSTR;B;x;\r\nSTR;C;x;\r\nSTR;Cut"));
    Query q = query();
    EXPECT_EQ(q.result, 3);
    EXPECT_EQ(q.names, (Names{"A", "B", "C"}));
    EXPECT_LT(q.seconds, 4.0);
}

TEST_F(SourceTable, CasterResettingGivesCountSoFar) {
    FakeCaster caster([](CasterConnection &c) {
        if (c.readRequest().empty())
            return;
        c.send("SOURCETABLE 200 OK\r\nSTR;A;x;\r\n");
        c.pause(100ms);
        c.reset();
    });
    Query q = query();
    EXPECT_EQ(q.result, 1);
    EXPECT_LT(q.seconds, 4.0);
}

TEST_F(SourceTable, NoCasterListeningGivesZero) {
    Query q = query();
    EXPECT_EQ(q.result, 0);
    EXPECT_TRUE(q.names.empty());
}

TEST_F(SourceTable, UnresolvableCasterGivesZero) {
    setCasterAddress("");
    FakeCaster caster(answerThenClose(kThreeRecords));
    Query q = query();
    EXPECT_EQ(q.result, 0);
    EXPECT_EQ(caster.connections(), 0);
}

// A host that, seeing the first mount point, asks for the table again from
// inside its callback (for instance to refresh a list it is building).
namespace {
thread_local int nestingDepth = 0;
thread_local Query *innerQuery = nullptr;

void VELTO_CALL collectAndAskAgain(char *mountPoint) {
    collect(mountPoint);
    if (nestingDepth == 0 && collected->size() == 1) {
        ++nestingDepth;
        *innerQuery = query();
        --nestingDepth;
    }
}
} // namespace

TEST_F(SourceTable, CalledFromInsideItsOwnCallback) {
    FakeCaster caster(answerThenClose(kThreeRecords));
    Query inner;
    innerQuery = &inner;
    Query outer = query(collectAndAskAgain);
    innerQuery = nullptr;
    EXPECT_EQ(outer.result, 3);
    EXPECT_EQ(outer.names, kThreeNames);
    EXPECT_EQ(inner.result, 3);
    EXPECT_EQ(inner.names, kThreeNames);
    EXPECT_EQ(caster.connections(), 2);
}

// A host with a running stream whose user opens the mount-point list in
// several windows at once: the queries run side by side on their threads
// and beside the client thread, and none disturbs another.
TEST_F(SourceTable, QueriesFromSeveralThreadsWhileClientStreams) {
    Names expected;
    std::string text = largeTable(800, &expected);
    FakeCaster caster([&text](CasterConnection &c) {
        std::string request = c.readRequest();
        if (request.empty())
            return;
        if (request.compare(0, 15, "GET / HTTP/1.1\r") == 0) {
            sendInRandomPieces(c, text, 100u + (unsigned)c.index());
            c.waitPeerClosed(30s);
            return;
        }
        if (!c.send("ICY 200 OK\r\n\r\n"))
            return;
        const std::string chunk(512, 'r');
        while (c.send(chunk) && c.pause(10ms)) {
        }
    });
    ClientRecorder stream;
    VeltoHandle client = VeltoConstruct();
    char mountPoint[] = "MP01";
    VeltoStart(client, &stream, mountPoint, 3, ClientRecorder::onData, ClientRecorder::onStatus);
    ASSERT_TRUE(stream.waitForBytes(4096, 10s));

    const int threads = 6;
    const int queriesPerThread = 3;
    std::vector<std::thread> workers;
    std::vector<std::vector<Query>> results(threads);
    for (int worker = 0; worker < threads; ++worker)
        workers.emplace_back([&results, worker] {
            for (int run = 0; run < queriesPerThread; ++run)
                results[worker].push_back(query());
        });
    for (auto &worker : workers)
        worker.join();
    for (int worker = 0; worker < threads; ++worker)
        for (const Query &q : results[worker]) {
            EXPECT_EQ(q.result, (int)expected.size()) << "thread " << worker;
            EXPECT_EQ(q.names, expected) << "thread " << worker;
        }

    size_t streamedSoFar = stream.data().size();
    EXPECT_TRUE(stream.waitForBytes(streamedSoFar + 4096, 10s)) << "the stream stopped";
    EXPECT_EQ(stream.statuses(), (std::vector<int>{1})) << "the stream was disturbed";
    VeltoStop(client);
    EXPECT_TRUE(stream.waitFor(0, 10s));
    VeltoDestruct(client);
    EXPECT_EQ(stream.data(), std::string(stream.data().size(), 'r'));
}
