// Long-lived hosts create, run and throw away clients for as long as they
// run: a GNSS receiver application restarts its correction stream whenever
// the user switches mount points, reconnects after a network change, or looks
// the mount points up again. Every one of those cycles must give back what it
// took: its socket and its epoll instance, its client thread and its memory.
// These tests repeat the cycles many times and check that the process's open
// descriptors and threads end where they started. Memory is checked by
// running the same program under valgrind (scripts/stage-25-leaks.sh), with
// a shorter run chosen through VELTO_LIFECYCLE_CYCLES.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_caster.h"
#include "recorders.h"
#include "velto.h"

using namespace std::chrono_literals;

namespace {

// How many clients the streaming cycles run in all (1,000 unless the
// environment says otherwise, so that valgrind can run a short version).
int cycleCount() {
    const char *text = getenv("VELTO_LIFECYCLE_CYCLES");
    int count = text != nullptr ? atoi(text) : 0;
    return count > 0 ? count : 1000;
}

// Clients run side by side in rounds, so that a stop that is noticed only
// when a receive returns does not make the run take one second per cycle.
const int kClientsPerRound = 50;

struct ResourceSnapshot {
    int descriptors;
    int threads;
};

ResourceSnapshot snapshot() { return {openDescriptorCount(), threadCount()}; }

// The count to come back to. ThreadSanitizer starts a helper thread of its
// own when the process first creates a thread; one thread made and joined
// beforehand keeps that out of the comparison, once it has left the list.
ResourceSnapshot baseline() {
    startAndJoinOneThread();
    return snapshot();
}

void expectSameResources(const ResourceSnapshot &before, const char *when) {
    ResourceSnapshot after = {openDescriptorCount(), threadCountOnceSettled(before.threads)};
    EXPECT_EQ(after.descriptors, before.descriptors) << "open descriptors " << when;
    EXPECT_EQ(after.threads, before.threads) << "threads " << when;
}

struct RunningClient {
    VeltoHandle handle = nullptr;
    ClientRecorder recorder;
    char mountPoint[16] = "LEAK00";
};

// Constructs and starts count clients, numbered from firstClientNumber.
std::vector<std::unique_ptr<RunningClient>> startClients(int count, int firstClientNumber = 0) {
    std::vector<std::unique_ptr<RunningClient>> clients;
    for (int i = 0; i < count; ++i) {
        clients.emplace_back(new RunningClient);
        RunningClient &client = *clients.back();
        client.handle = VeltoConstruct();
        VeltoStart(client.handle, &client.recorder, client.mountPoint, firstClientNumber + i,
                   ClientRecorder::onData, ClientRecorder::onStatus);
    }
    return clients;
}

// Starts count clients at once, waits until each has received data, then
// stops and destroys them all.
void streamingRound(int count, int firstClientNumber) {
    std::vector<std::unique_ptr<RunningClient>> clients = startClients(count, firstClientNumber);
    for (auto &client : clients)
        EXPECT_TRUE(client->recorder.waitForBytes(1, 30s)) << "a client got no data";
    for (auto &client : clients)
        VeltoStop(client->handle);
    for (auto &client : clients) {
        VeltoDestruct(client->handle);
        EXPECT_EQ(client->recorder.statuses(), (std::vector<int>{1, 0}));
    }
}

} // namespace

// The everyday cycle: construct, start, stream, stop, destroy, many times.
TEST(LifecycleLeaks, StreamingCyclesReturnDescriptorsAndThreads) {
    const ResourceSnapshot before = baseline();
    int remaining = cycleCount();
    int clientNumber = 0;
    while (remaining > 0 && !testing::Test::HasFailure()) {
        int round = remaining < kClientsPerRound ? remaining : kClientsPerRound;
        {
            FakeCaster caster(trickleStream);
            streamingRound(round, clientNumber);
            EXPECT_EQ(caster.connections(), round);
        }
        expectSameResources(before, "after a round of streaming cycles");
        remaining -= round;
        clientNumber += round;
    }
}

// A host that destroys a streaming client without stopping it first, as on
// application exit: the destruction alone must end the thread and close the
// link.
TEST(LifecycleLeaks, DestroyingWithoutStopReturnsEverything) {
    const ResourceSnapshot before = baseline();
    int remaining = cycleCount() / 10 > 0 ? cycleCount() / 10 : 1;
    while (remaining > 0 && !testing::Test::HasFailure()) {
        int round = remaining < kClientsPerRound ? remaining : kClientsPerRound;
        {
            FakeCaster caster(trickleStream);
            std::vector<std::unique_ptr<RunningClient>> clients = startClients(round);
            for (auto &client : clients)
                EXPECT_TRUE(client->recorder.waitForBytes(1, 30s));
            for (auto &client : clients) {
                VeltoDestruct(client->handle);
                EXPECT_EQ(client->recorder.statuses(), (std::vector<int>{1, 0}));
            }
        }
        expectSameResources(before, "after destroying streaming clients");
        remaining -= round;
    }
}

// A mount-point switch: the same handle restarted again and again while it
// streams. Each restart ends the previous thread and closes its link.
TEST(LifecycleLeaks, RestartingARunningClientReturnsEverything) {
    const ResourceSnapshot before = baseline();
    {
        FakeCaster caster(trickleStream);
        VeltoHandle handle = VeltoConstruct();
        char mountPoint[] = "SWITCH";
        const int restarts = cycleCount() / 10 > 0 ? cycleCount() / 10 : 1;
        std::vector<std::unique_ptr<ClientRecorder>> recorders;
        for (int i = 0; i < restarts && !testing::Test::HasFailure(); ++i) {
            recorders.emplace_back(new ClientRecorder);
            VeltoStart(handle, recorders.back().get(), mountPoint, i, ClientRecorder::onData,
                       ClientRecorder::onStatus);
            EXPECT_TRUE(recorders.back()->waitForBytes(1, 30s));
        }
        VeltoStop(handle);
        VeltoDestruct(handle);
        for (auto &recorder : recorders)
            EXPECT_EQ(recorder->statuses(), (std::vector<int>{1, 0}));
    }
    expectSameResources(before, "after restarting one client many times");
}

// Attempts that fail: nothing listens on the caster's port (the connect is
// refused), or the caster turns the credential down. The failure paths close
// what they opened as the success path does.
TEST(LifecycleLeaks, FailedAttemptsReturnDescriptorsAndThreads) {
    const ResourceSnapshot before = baseline();
    const int count = cycleCount() / 10 > 0 ? cycleCount() / 10 : 1;
    for (int refused = 0; refused < 2; ++refused) {
        std::unique_ptr<FakeCaster> caster;
        if (!refused)
            caster.reset(new FakeCaster(answerThenHold("HTTP/1.1 401 Unauthorized\r\n\r\n")));
        const int expected = refused ? VELTO_STATUS_CONNECT_FAILED : VELTO_STATUS_UNAUTHORISED;
        for (int done = 0; done < count && !testing::Test::HasFailure();) {
            int round = count - done < kClientsPerRound ? count - done : kClientsPerRound;
            std::vector<std::unique_ptr<RunningClient>> clients = startClients(round);
            for (auto &client : clients)
                EXPECT_TRUE(client->recorder.waitFor(expected, 30s));
            for (auto &client : clients)
                VeltoStop(client->handle);
            for (auto &client : clients) {
                VeltoDestruct(client->handle);
                EXPECT_EQ(client->recorder.statuses(), (std::vector<int>{expected, 0}));
            }
            done += round;
        }
        caster.reset();
        expectSameResources(before, refused ? "after refused connects" : "after refused requests");
    }
}

// Repeated mount-point listings, complete and cut short by the caster.
TEST(LifecycleLeaks, SourceTableQueriesReturnDescriptors) {
    const ResourceSnapshot before = baseline();
    {
        FakeCaster caster([](CasterConnection &connection) {
            if (connection.readRequest().empty())
                return;
            std::string table = "SOURCETABLE 200 OK\r\nContent-Type: text/plain\r\n\r\n";
            table += "STR;ONE;x;RTCM 3.2;;;;;;;;;;;;;;;\r\nSTR;TWO;x;RTCM 3.2;;;;;;;;;;;;;;;\r\n";
            // Every other query the caster hangs up before the end marker.
            if (connection.index() % 2 == 0)
                table += "ENDSOURCETABLE\r\n";
            connection.send(table);
            connection.close();
        });
        const int queries = cycleCount() / 5 > 0 ? cycleCount() / 5 : 1;
        for (int i = 0; i < queries && !testing::Test::HasFailure(); ++i)
            EXPECT_EQ(VeltoSourceTable([](char *) {}), 2);
    }
    expectSameResources(before, "after source-table queries");
}
