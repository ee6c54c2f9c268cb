// What velto stream and velto monitor share: one process that runs the mount
// points' sessions and tells what happens to them. The library calls back on
// its client threads, and the sessions keep that small; everything else
// happens here, on the main thread: the stop signals, the reactions to
// refusals, the JSON events, the stats every interval, and the clean stop
// with its summary and exit status. Each command adds what it shows beside
// (a live line on a terminal, a web page) through the hooks.
#ifndef VELTO_TOOL_CORE_RUN_H
#define VELTO_TOOL_CORE_RUN_H

#include <functional>
#include <string>
#include <vector>

#include "analysis.h"
#include "core/events.h"
#include "core/mount_set.h"
#include "print/human_lines.h"

// The options both commands have.
struct RunSettings {
    std::vector<std::string> mounts;
    int client = 1;
    double duration = 0; // 0: until stopped
    std::string json;    // events file, "-" for standard output; empty: none
    double interval = 10;
    bool statsEvents = true; // emit stats events (the interval rolls regardless)
    bool retryRefused = false;
    analysis::Options analysis;
    Verbosity verbosity = Verbosity::Normal;
    bool live = false;
    // Where one mount point's bytes go: a path, "-" for standard output, or
    // empty for nowhere. Files inside outputDir never follow a link.
    std::function<std::string(const std::string &mount)> outputFor;
    std::string outputDir;
};

struct RunHooks {
    // After the outputs are open and before any mount point starts; false
    // ends the run with the output exit status.
    std::function<bool()> prepare;
    // Every event, after the lines and the --json file have it.
    std::function<void(const events::json &event)> also;
    // Every status change, before its event.
    std::function<void(size_t index, const StatusChange &change)> status;
    // Each time the main thread wakes while the run lasts; returns within how
    // many milliseconds it wants to be called again.
    std::function<int(SteadyClock::time_point now)> wake;
    // After the exit event.
    std::function<void()> finished;
};

class RunCore {
public:
    RunCore(const RunSettings &settings, const RunHooks &hooks);

    // The whole run; returns the exit status.
    int execute();

    MountSet &mounts() { return set_; }
    HumanOutput &human() { return human_; }
    SteadyClock::time_point runStart() const { return runStart_; }
    // Stats of every mount point as of now. forEvents: the rate is over the
    // time since the last stats events, which this call then resets.
    std::vector<events::json> statsNow(bool forEvents);

private:
    bool openOutputs();
    void emit(const events::json &event);
    void handle(const std::vector<SetEvent> &happenings);
    void emitStatsIfDue(SteadyClock::time_point now);
    int waitForSomething(int timeoutMs);
    int wakeHooks(SteadyClock::time_point now);
    std::string runUntilStopped();
    void windDown();
    int finish(const std::string &reason);

    RunSettings settings_;
    RunHooks hooks_;
    Wakeup wakeup_;
    MountSet set_;
    HumanOutput human_;
    JsonLinesOutput json_;
    int signals_ = -1;
    SteadyClock::time_point runStart_;
    SteadyClock::time_point nextStats_;
    SteadyClock::time_point lastStats_;
    std::vector<uint64_t> bytesAtLastStats_;
};

#endif
