#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "fake_caster.h"
#include "recorders.h"
#include "refusal.h"
#include "velto.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A mount point of the given length whose characters change along it, so a
// request cut short or shifted by one byte cannot compare equal.
std::string mountPointOfLength(size_t length) {
    std::string mount(length, 'x');
    for (size_t i = 0; i < length; ++i)
        mount[i] = (char)('a' + i % 26);
    return mount;
}

std::string expectedStreamRequest(const std::string &mount, int clientNumber) {
    return "GET /" + mount + " HTTP/1.1\r\n" + "User-Agent: NTRIP Client 1.0 #" +
           std::to_string(clientNumber) + "\r\n" + "Authorization: Basic cXdlcnQ6eXVpb3A=\r\n\r\n";
}

} // namespace

// A host that creates clients it never gets running (set up at start-up,
// torn down at exit, or refused at start) must be able to stop and free them
// without waiting on a thread that does not exist and without hearing from
// them again.

TEST(IdleHandle, NewHandleIsIdleAndTearsDownAtOnce) {
    VeltoHandle handle = VeltoConstruct();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(VeltoStatus(handle), VELTO_STATUS_IDLE);

    auto start = Clock::now();
    VeltoStop(handle);
    VeltoStop(handle);
    EXPECT_EQ(VeltoStatus(handle), VELTO_STATUS_IDLE);
    VeltoDestruct(handle);
    EXPECT_LT(secondsSince(start), 1.0);

    VeltoDestruct(nullptr);
}

TEST(IdleHandle, RefusedStartLeavesNothingToWaitFor) {
    FakeCaster caster(acceptStream);
    StatusRecorder recorder;
    VeltoHandle handle = VeltoConstruct();
    VeltoStart(handle, &recorder, nullptr, 7, nullptr, StatusRecorder::callback);
    ASSERT_EQ(recorder.statuses(), std::vector<int>{VELTO_STATUS_UNRESOLVED});

    // The status callback stays installed: a stray report from stop or
    // teardown would show up here.
    auto start = Clock::now();
    VeltoStop(handle);
    VeltoStop(handle);
    VeltoDestruct(handle);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(recorder.statuses(), std::vector<int>{VELTO_STATUS_UNRESOLVED});
}

// Hosts check the library's release date to know which build they loaded;
// some declare VeltoVersion as returning a plain 32-bit integer, which the
// record's layout must keep working where the ABI returns both alike.

TEST(VersionRecord, ReleaseDateLaidOutAsFourBytes) {
    static_assert(sizeof(VeltoVersionInfo) == 4, "the record is 4 bytes");
    VeltoVersionInfo version = VeltoVersion();
    EXPECT_EQ(version.year, 2018);
    EXPECT_EQ(version.month, 6);
    EXPECT_EQ(version.day, 19);

    unsigned char bytes[4];
    memcpy(bytes, &version, sizeof bytes);
    const unsigned char expected[4] = {0xE2, 0x07, 0x06, 0x13};
    EXPECT_EQ(memcmp(bytes, expected, 4), 0) << std::hex << (int)bytes[0] << ' ' << (int)bytes[1]
                                             << ' ' << (int)bytes[2] << ' ' << (int)bytes[3];
}

#if defined(__x86_64__)
TEST(VersionRecord, ReadsAsIntegerOnX86_64) {
    using AsInteger = uint32_t (*)(void);
    auto version = reinterpret_cast<AsInteger>(dlsym(RTLD_DEFAULT, "VeltoVersion"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 0x130607E2u);
}
#endif

// A host passes a mount point from user input or a configuration file: a
// null pointer, or a name so long that the stream request would overrun the
// client's 2048-byte buffer, must be refused on the spot, exactly like an
// unknown caster (-8 on the calling thread, no thread, no connection), while
// the longest request that still fits goes out whole.

namespace {

struct MountCase {
    size_t length;
    int clientNumber;
};

// Mount point length plus the client number's decimal width (its minus sign
// included) may reach 1959: the request's fixed text takes the other 89
// bytes of the 2048.
const MountCase kOneTooLong[] = {
    {1959, 7}, {1958, -1}, {1951, 123456789}, {1949, INT_MIN}, {1959, 0}, {100000, 7},
};
const MountCase kExactlyFull[] = {
    {1958, 7}, {1957, -1}, {1950, 123456789}, {1948, INT_MIN},
};

} // namespace

TEST(OversizedMountPoint, RefusedOnCallerThreadBeforeStartReturns) {
    FakeCaster caster(acceptStream);
    const int threadsBefore = threadCount();

    std::vector<std::string> mounts;
    std::vector<int> clientNumbers;
    mounts.push_back(std::string());
    clientNumbers.push_back(7); // stands for the null mount point
    for (const MountCase &mountCase : kOneTooLong) {
        mounts.push_back(mountPointOfLength(mountCase.length));
        clientNumbers.push_back(mountCase.clientNumber);
    }

    for (size_t i = 0; i < mounts.size(); ++i) {
        SCOPED_TRACE(i == 0 ? std::string("null mount point")
                            : "length " + std::to_string(mounts[i].size()) + ", client " +
                                  std::to_string(clientNumbers[i]));
        ClientRecorder recorder;
        VeltoHandle handle = VeltoConstruct();
        char *mount = i == 0 ? nullptr : &mounts[i][0];
        VeltoStart(handle, &recorder, mount, clientNumbers[i], ClientRecorder::onData,
                   ClientRecorder::onStatus);

        expectRefusedOnCallerThread(recorder, handle, threadsBefore);
        if (testing::Test::HasFatalFailure())
            return;

        VeltoDestruct(handle);
        EXPECT_EQ(recorder.statuses(), std::vector<int>{VELTO_STATUS_UNRESOLVED});
        EXPECT_TRUE(recorder.data().empty());
    }
    // A client thread would have connected within milliseconds.
    EXPECT_FALSE(caster.waitForConnections(1, 1s));
}

TEST(OversizedMountPoint, RequestFillingTheWholeBufferGoesOutByteExact) {
    FakeCaster caster(acceptStream);
    int expectedConnections = 0;
    for (const MountCase &mountCase : kExactlyFull) {
        SCOPED_TRACE("length " + std::to_string(mountCase.length) + ", client " +
                     std::to_string(mountCase.clientNumber));
        std::string mount = mountPointOfLength(mountCase.length);
        ClientRecorder recorder;
        VeltoHandle handle = VeltoConstruct();
        VeltoStart(handle, &recorder, &mount[0], mountCase.clientNumber, ClientRecorder::onData,
                   ClientRecorder::onStatus);
        ++expectedConnections;
        EXPECT_TRUE(recorder.waitFor(VELTO_STATUS_STREAMING, 5s));
        VeltoStop(handle);
        EXPECT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
        VeltoDestruct(handle);
        EXPECT_EQ(recorder.statuses(), (std::vector<int>{VELTO_STATUS_STREAMING, VELTO_STATUS_IDLE}));

        std::vector<std::string> requests = caster.requests();
        ASSERT_EQ((int)requests.size(), expectedConnections);
        const std::string &request = requests.back();
        EXPECT_EQ(request.size(), 2048u);
        EXPECT_TRUE(request == expectedStreamRequest(mount, mountCase.clientNumber))
            << "request differs from the expected text; first 80 bytes: "
            << request.substr(0, 80);
    }
}
