#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <vector>

#include "recorders.h"
#include "sandbox.h"
#include "slow_host.h"
#include "velto.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The network of this host is gone: loopback down and without its address.
void takeNetworkDown() { setLoopbackUp(false); }

void ignoreMountPoint(char *) {}

} // namespace

// The host's own network is down (cable out, interface disabled) while the
// caster's name still resolves from a local hosts file: the connect fails
// at once, and the host must see "connection failed" (-2) at once, not a
// misleading "no answer" (-3) after the 8-second connect bound.

TEST(NetworkDown, ClientReportsConnectFailureAtOnce) {
    takeNetworkDown();
    StatusRecorder recorder;
    VeltoHandle handle = VeltoConstruct();
    char mount[] = "MP01x";
    auto start = Clock::now();
    VeltoStart(handle, &recorder, mount, 7, nullptr, StatusRecorder::callback);
    ASSERT_TRUE(recorder.waitFor(VELTO_STATUS_CONNECT_FAILED, 3s)) << "statuses so far: "
                                                                   << recorder.statuses().size();
    std::vector<StatusEvent> events = recorder.events();
    EXPECT_EQ(events.front().status, VELTO_STATUS_CONNECT_FAILED);
    EXPECT_LT(std::chrono::duration<double>(events.front().when - start).count(), atOnce(2.0));

    VeltoStop(handle);
    EXPECT_TRUE(recorder.waitFor(VELTO_STATUS_IDLE, 5s));
    VeltoDestruct(handle);
    EXPECT_EQ(recorder.statuses(), (std::vector<int>{VELTO_STATUS_CONNECT_FAILED, VELTO_STATUS_IDLE}));
}

TEST(NetworkDown, SourceTableQueryGivesUpAtOnce) {
    takeNetworkDown();
    auto start = Clock::now();
    EXPECT_EQ(VeltoSourceTable(ignoreMountPoint), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), atOnce(1.0));
}
