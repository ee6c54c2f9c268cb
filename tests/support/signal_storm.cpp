#include "signal_storm.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<long> handled{0};
std::atomic<long> roundsBlown{0};
std::atomic<bool> stormRunning{false};
std::thread stormThread;

void countSignal(int) { handled.fetch_add(1, std::memory_order_relaxed); }

int stormSignal() { return SIGRTMIN + 5; }

void installHandlerWithoutRestart() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: interrupted calls fail with EINTR
    sigaction(stormSignal(), &action, nullptr);
}

// The task directory stays open for the whole storm: tests count the
// process's descriptors, and one opened and closed every 10 ms would come
// and go under their eyes.
void signalEveryOtherThread(DIR *tasks, pid_t self) {
    pid_t process = getpid();
    rewinddir(tasks);
    while (dirent *entry = readdir(tasks)) {
        pid_t thread = (pid_t)atoi(entry->d_name);
        if (thread > 0 && thread != self)
            syscall(SYS_tgkill, process, thread, stormSignal()); // a thread that just ended: ESRCH
    }
}

void storm(DIR *tasks) {
    pid_t self = (pid_t)syscall(SYS_gettid);
    while (stormRunning.load()) {
        signalEveryOtherThread(tasks, self);
        roundsBlown.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    closedir(tasks);
}

// Ends the storm after the last test and checks that it really blew: a
// storm that never reached anyone would let every test pass untested.
class StormEnvironment : public testing::Environment {
public:
    void TearDown() override {
        stormRunning = false;
        if (stormThread.joinable())
            stormThread.join();
        // Each round reaches at least the test's own thread. The rounds are
        // counted as blown, not from the time passed: on a loaded machine the
        // storm's own thread may wait well beyond its 10 ms between rounds.
        long rounds = roundsBlown.load();
        EXPECT_GT(rounds, 0) << "the signal storm never blew";
        EXPECT_GE(handled.load(), rounds / 2) << "the signal storm hardly reached the process";
    }
};

} // namespace

void startSignalStormIfAsked() {
    const char *asked = getenv("VELTO_SIGNAL_STORM");
    if (asked == nullptr || strcmp(asked, "1") != 0)
        return;
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        perror("signal storm: /proc/self/task");
        exit(1);
    }
    installHandlerWithoutRestart();
    stormRunning = true;
    stormThread = std::thread(storm, tasks);
    testing::AddGlobalTestEnvironment(new StormEnvironment);
}
