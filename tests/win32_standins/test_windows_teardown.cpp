// On Windows a client thread that does not end within 8 s of VeltoDestruct
// (a host stuck in its data callback) is terminated. TerminateThread only
// asks for the end, so the teardown must wait until the thread has really
// stopped before it closes the thread's handle, its socket and its lock and
// frees the object: otherwise the dying thread uses freed memory, and its
// socket handle, closed early, may already belong to another connection.
// The library's client code runs here as built for Windows, against
// recording stand-ins of the Win32 calls (standins.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "standins.h"
#include "velto.h"

namespace {

std::atomic<bool> callbackEntered{false};

// Never returns, as a host that deadlocked in its callback.
void VELTO_CALL stuckInCallback(void *, char *, int) {
    callbackEntered = true;
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

size_t positionOf(const std::vector<std::string> &calls, const std::string &call) {
    return (size_t)(std::find(calls.begin(), calls.end(), call) - calls.begin());
}

} // namespace

TEST(WindowsTeardown, TerminatedThreadHasStoppedBeforeAnythingIsClosed) {
    char mount[] = "MP01x";
    VeltoHandle client = VeltoConstruct();
    VeltoStart(client, nullptr, mount, 7, stuckInCallback, nullptr);
    for (int i = 0; i < 500 && !callbackEntered; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(callbackEntered) << "the client thread never delivered";
    VeltoDestruct(client);

    std::vector<std::string> calls = standinCalls();
    std::string log;
    for (const std::string &call : calls)
        log += "\n  " + call;
    size_t terminated = positionOf(calls, "TerminateThread(client thread)");
    size_t waited = positionOf(calls, "WaitForSingleObject(client thread, INFINITE)");
    size_t stopped = positionOf(calls, "client thread ended (terminated)");
    ASSERT_LT(terminated, calls.size()) << "the stuck thread was not terminated:" << log;
    EXPECT_LT(terminated, waited) << log;
    ASSERT_LT(stopped, calls.size()) << "nothing waited for the terminated thread:" << log;
    for (const char *close : {"CloseHandle(client thread)", "closesocket(caster link)",
                              "CloseHandle(client lock)"}) {
        size_t closed = positionOf(calls, close);
        ASSERT_LT(closed, calls.size()) << close << " never happened:" << log;
        EXPECT_LT(stopped, closed) << close << " while the thread still ran:" << log;
    }
}
