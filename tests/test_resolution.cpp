// Every test here needs a process of its own (ctest runs each one alone):
// the caster's address is resolved once per process and never again.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_caster.h"
#include "recorders.h"
#include "refusal.h"
#include "sandbox.h"
#include "velto.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using AddressBytes = std::array<unsigned char, 16>;

namespace {

// The library's two address records, read the way a host or a debugger
// sees them: as exported data of the loaded shared object.
AddressBytes exportedRecord(const char *name) {
    const void *record = dlsym(RTLD_DEFAULT, name);
    AddressBytes bytes{};
    if (record == nullptr) {
        ADD_FAILURE() << name << " is not exported";
        return bytes;
    }
    static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in is 16 bytes");
    memcpy(bytes.data(), record, bytes.size());
    return bytes;
}

// Family in the host's byte order, port bytes as they lie in memory (network
// order), IPv4 address bytes, and the filler that must stay all zero.
AddressBytes addressRecord(unsigned short family, std::array<unsigned char, 2> port,
                           std::array<unsigned char, 4> ipv4) {
    AddressBytes bytes{};
    memcpy(bytes.data(), &family, 2);
    memcpy(bytes.data() + 2, port.data(), 2);
    memcpy(bytes.data() + 4, ipv4.data(), 4);
    return bytes;
}

const std::array<unsigned char, 4> kAllOnes = {0xFF, 0xFF, 0xFF, 0xFF};
const std::array<unsigned char, 2> kPort2101 = {0x08, 0x35};
const AddressBytes kLoadValue = addressRecord(0, {0, 0}, kAllOnes);
const AddressBytes kFailedValue = addressRecord(AF_INET, kPort2101, kAllOnes);

AddressBytes resolvedValue(std::array<unsigned char, 4> ipv4) {
    return addressRecord(AF_INET, kPort2101, ipv4);
}

std::string hex(const AddressBytes &bytes) {
    std::ostringstream text;
    for (unsigned char byte : bytes) {
        static const char digits[] = "0123456789abcdef";
        text << digits[byte >> 4] << digits[byte & 15] << ' ';
    }
    return text.str();
}

#define EXPECT_RECORD(name, expected)                                                            \
    do {                                                                                         \
        AddressBytes actual_ = exportedRecord(name);                                             \
        EXPECT_EQ(actual_, expected) << name << " is  " << hex(actual_) << "\nexpected " << hex(expected); \
    } while (0)

void ignoreMountPoint(char *) {}

} // namespace

// The caster's name cannot be resolved (no network at start-up, a typo in
// the build's host name, DNS down): the host must learn it at once, on its
// own thread, from VeltoStart itself, and no thread may be left behind
// trying in the background; once the name resolves, a new start works.

TEST(UnresolvedCaster, ReportedOnCallerThreadWithoutThreadOrConnection) {
    FakeCaster caster(acceptStream);
    setCasterAddress("");
    const int threadsBefore = threadCount();

    ClientRecorder recorder;
    VeltoHandle handle = VeltoConstruct();
    char mount[] = "MP01x";
    VeltoStart(handle, &recorder, mount, 7, ClientRecorder::onData, ClientRecorder::onStatus);

    expectRefusedOnCallerThread(recorder, handle, threadsBefore);
    if (testing::Test::HasFatalFailure())
        return;
    // A client thread would have connected within milliseconds.
    EXPECT_FALSE(caster.waitForConnections(1, 1s));

    auto start = Clock::now();
    VeltoDestruct(handle);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
    EXPECT_EQ(recorder.statuses(), std::vector<int>{VELTO_STATUS_UNRESOLVED});
    EXPECT_TRUE(recorder.data().empty());
}

TEST(UnresolvedCaster, LaterStartResolvesAndStreams) {
    FakeCaster caster(acceptStream);
    setCasterAddress("");
    ClientRecorder recorder;
    VeltoHandle handle = VeltoConstruct();
    char mount[] = "MP01x";
    VeltoStart(handle, &recorder, mount, 7, ClientRecorder::onData, ClientRecorder::onStatus);
    ASSERT_EQ(VeltoStatus(handle), VELTO_STATUS_UNRESOLVED);

    setCasterAddress("127.0.0.1");
    VeltoStart(handle, &recorder, mount, 7, ClientRecorder::onData, ClientRecorder::onStatus);
    EXPECT_TRUE(recorder.waitFor(VELTO_STATUS_STREAMING, 5s));
    EXPECT_EQ(caster.connections(), 1);
    VeltoStop(handle);
    EXPECT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    VeltoDestruct(handle);
    EXPECT_EQ(recorder.statuses(),
              (std::vector<int>{VELTO_STATUS_UNRESOLVED, VELTO_STATUS_STREAMING, VELTO_STATUS_IDLE}));
    EXPECT_RECORD("__addr", resolvedValue({127, 0, 0, 1}));
}

// Integrators inspect the exported caster address (a debugger, a crash
// dump, a host that logs where the library connects): it must tell the
// three states apart exactly, and __temp must keep the load-time value.

TEST(CasterAddressRecord, HoldsLoadValueBeforeAnyCall) {
    EXPECT_RECORD("__addr", kLoadValue);
    EXPECT_RECORD("__temp", kLoadValue);
}

TEST(CasterAddressRecord, FailedResolutionSetsFamilyAndPortOnly) {
    setCasterAddress("");
    // A source-table query resolves the name as a start does.
    EXPECT_EQ(VeltoSourceTable(ignoreMountPoint), 0);
    EXPECT_RECORD("__addr", kFailedValue);

    StatusRecorder recorder;
    VeltoHandle handle = VeltoConstruct();
    char mount[] = "MP01x";
    VeltoStart(handle, &recorder, mount, 7, nullptr, StatusRecorder::callback);
    EXPECT_EQ(VeltoStatus(handle), VELTO_STATUS_UNRESOLVED);
    VeltoDestruct(handle);
    EXPECT_RECORD("__addr", kFailedValue);
    EXPECT_RECORD("__temp", kLoadValue);
}

// The caster's DNS record changes, or the resolver goes away, while the
// host runs: the library keeps the first answer for the life of the
// process, and a failed first try does not stop a later one from taking it.

TEST(CasterAddressRecord, FirstAnswerKeptForTheProcessLifetime) {
    setCasterAddress("");
    EXPECT_EQ(VeltoSourceTable(ignoreMountPoint), 0);
    EXPECT_RECORD("__addr", kFailedValue);

    // 127.0.0.5 comes only from the hosts file; nothing listens there.
    setCasterAddress("127.0.0.5");
    EXPECT_EQ(VeltoSourceTable(ignoreMountPoint), 0);
    EXPECT_RECORD("__addr", resolvedValue({127, 0, 0, 5}));

    // The caster moves to where a caster really listens: the library must
    // not notice, so every client still goes to 127.0.0.5 and fails there.
    FakeCaster caster(acceptStream);
    setCasterAddress("127.0.0.1");
    EXPECT_EQ(VeltoSourceTable(ignoreMountPoint), 0);
    StatusRecorder recorder;
    VeltoHandle handle = VeltoConstruct();
    char mount[] = "MP01x";
    VeltoStart(handle, &recorder, mount, 7, nullptr, StatusRecorder::callback);
    EXPECT_TRUE(recorder.waitFor(VELTO_STATUS_CONNECT_FAILED, 5s));
    VeltoDestruct(handle);
    EXPECT_EQ(caster.connections(), 0);

    // The name stops resolving: no -8, the kept address is used.
    setCasterAddress("");
    StatusRecorder second;
    handle = VeltoConstruct();
    VeltoStart(handle, &second, mount, 7, nullptr, StatusRecorder::callback);
    EXPECT_TRUE(second.waitFor(VELTO_STATUS_CONNECT_FAILED, 5s));
    VeltoDestruct(handle);
    EXPECT_EQ(second.statuses(), (std::vector<int>{VELTO_STATUS_CONNECT_FAILED, VELTO_STATUS_IDLE}));

    EXPECT_RECORD("__addr", resolvedValue({127, 0, 0, 5}));
    EXPECT_RECORD("__temp", kLoadValue);
}

// A host that starts many clients, or queries the source table, from
// several threads right after loading the library: all of them make the
// first resolution at once. Each must end up with the caster's address and
// none with a failure or a torn or foreign address. The hosts file is made
// long, with other names mapped to addresses where nothing listens, so that
// unguarded lookups overlap and would hand out a wrong answer.

namespace {

const int kConcurrentCallers = 16;

void writeCrowdedHostsFile() {
    // Leaves the process (as a skipped test) when /etc/hosts is the host's own.
    setCasterAddress("127.0.0.1");
    if (!sandboxActive())
        return;
    std::string content;
    for (int i = 0; i < 20000; ++i)
        content += "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) +
                   " filler" + std::to_string(i) + ".invalid\n";
    content += std::string("127.0.0.1 ") + casterHostName() + "\n";
    int fd = open("/etc/hosts", O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    close(fd);
}

// Releases all callers at the same moment.
class StartingGate {
public:
    void wait() {
        std::unique_lock<std::mutex> hold(mutex_);
        opened_.wait(hold, [&] { return open_; });
    }
    void open() {
        std::lock_guard<std::mutex> hold(mutex_);
        open_ = true;
        opened_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

std::atomic<int> mountPointsSeen{0};
void countMountPoint(char *) { ++mountPointsSeen; }

} // namespace

TEST(ConcurrentFirstResolution, SimultaneousStartsAllReachTheCaster) {
    writeCrowdedHostsFile();
    FakeCaster caster(acceptStream);
    std::vector<std::unique_ptr<StatusRecorder>> recorders;
    std::vector<VeltoHandle> handles;
    for (int i = 0; i < kConcurrentCallers; ++i) {
        recorders.emplace_back(new StatusRecorder);
        handles.push_back(VeltoConstruct());
    }
    char mount[] = "MP01x";
    StartingGate gate;
    std::vector<std::thread> callers;
    for (int i = 0; i < kConcurrentCallers; ++i)
        callers.emplace_back([&, i] {
            gate.wait();
            VeltoStart(handles[i], recorders[i].get(), mount, i, nullptr, StatusRecorder::callback);
        });
    gate.open();
    for (auto &caller : callers)
        caller.join();

    auto deadline = Clock::now() + 10s;
    for (int i = 0; i < kConcurrentCallers; ++i) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        EXPECT_TRUE(recorders[i]->waitFor(VELTO_STATUS_STREAMING, std::max(left, 0ms)))
            << "client " << i;
        std::vector<int> statuses = recorders[i]->statuses();
        EXPECT_TRUE(!statuses.empty() && statuses.front() == VELTO_STATUS_STREAMING)
            << "client " << i << " first reported " << (statuses.empty() ? 0 : statuses.front());
    }
    EXPECT_EQ(caster.connections(), kConcurrentCallers);
    EXPECT_RECORD("__addr", resolvedValue({127, 0, 0, 1}));

    for (VeltoHandle handle : handles)
        VeltoStop(handle);
    for (VeltoHandle handle : handles)
        VeltoDestruct(handle);
}

TEST(ConcurrentFirstResolution, SimultaneousSourceTableQueriesAllGetTheTable) {
    writeCrowdedHostsFile();
    FakeCaster caster(answerThenClose(
        "SOURCETABLE 200 OK\r\nContent-Type: text/plain\r\n\r\n"
        "STR;MP01x;Test;RTCM 3.2;;2;GPS;NET;DEU;50.0;8.0;0;0;sNTRIP;none;B;N;0;\r\n"
        "STR;MP02y;Test;RTCM 3.2;;2;GPS;NET;DEU;50.0;8.0;0;0;sNTRIP;none;B;N;0;\r\n"
        "ENDSOURCETABLE\r\n"));
    StartingGate gate;
    std::atomic<int> results[kConcurrentCallers];
    std::vector<std::thread> callers;
    for (int i = 0; i < kConcurrentCallers; ++i)
        callers.emplace_back([&, i] {
            gate.wait();
            results[i] = VeltoSourceTable(countMountPoint);
        });
    gate.open();
    for (auto &caller : callers)
        caller.join();

    for (int i = 0; i < kConcurrentCallers; ++i)
        EXPECT_EQ(results[i].load(), 2) << "caller " << i;
    EXPECT_EQ(mountPointsSeen.load(), 2 * kConcurrentCallers);
    EXPECT_EQ(caster.connections(), kConcurrentCallers);
    EXPECT_RECORD("__addr", resolvedValue({127, 0, 0, 1}));
}
