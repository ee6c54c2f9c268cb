// What velto stream and velto monitor share: one process that runs the mount
// points' sessions and tells what happens to them. The library calls back on
// its client threads, and the sessions keep that small; everything else
// happens here, on the main thread: the stop signals, the reactions to
// refusals, the events, the stats every interval, and the clean stop with
// its summary and exit status. Where the events go is the report's business
// (print/ has the lines and JSON lines the commands use); each command adds
// what it shows beside (a live line on a terminal, a web page) through the
// hooks.
#ifndef VELTO_TOOL_CORE_RUN_H
#define VELTO_TOOL_CORE_RUN_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "core/events.h"
#include "core/facts.h"
#include "core/mount_set.h"
#include "core/run_options.h"
#include "core/wakeup.h"

// Where a run tells what happens. Called on the main thread only.
class RunReport {
public:
    virtual ~RunReport() = default;
    // Opens the file the events go to as JSON lines ("-": standard output);
    // false when it cannot (eventsError() says why).
    virtual bool openEvents(const std::string &path) = 0;
    // Every event of the run, in order.
    virtual void event(const events::json &event) = 0;
    // A message that is no event: velto's own trouble.
    virtual void error(const std::string &text) = 0;
    // The errno of the first failure of the events file, or 0.
    virtual int eventsError() const = 0;
    // After the last event.
    virtual void closeEvents() = 0;
};

struct RunHooks {
    // After the outputs are open and before any mount point starts; false
    // ends the run with the output exit status.
    std::function<bool()> prepare;
    // Every event, after the report has it.
    std::function<void(const events::json &event)> also;
    // Every status change, before its event.
    std::function<void(size_t index, const StatusChange &change)> status;
    // Each time the main thread wakes while the run lasts; returns within how
    // many milliseconds it wants to be called again.
    std::function<int(SteadyClock::time_point now)> wake;
    // After the exit event.
    std::function<void()> finished;
};

// The exit status that tells how a run ended; the command's.
using ExitStatusOf = int (*)(Ending ending);

class RunCore {
public:
    RunCore(const RunOptions &options, RunReport &report, ExitStatusOf exitStatusOf,
            const RunHooks &hooks = RunHooks());

    // The whole run; returns the exit status.
    int execute();

    MountSet &mounts() { return set_; }
    SteadyClock::time_point runStart() const { return runStart_; }
    // Stats of every mount point as of now. forEvents: the rate is over the
    // time since the last stats events, which this call then resets.
    std::vector<events::json> statsNow(bool forEvents);

private:
    bool openOutputs();
    void emit(const events::json &event);
    std::string eventsFailure() const;
    void handle(const std::vector<SetEvent> &happenings);
    void emitStatsIfDue(SteadyClock::time_point now);
    int waitForSomething(int timeoutMs);
    int wakeHooks(SteadyClock::time_point now);
    std::string runUntilStopped();
    void windDown();
    int finish(const std::string &reason);

    const RunOptions options_;
    RunReport &report_;
    const ExitStatusOf exitStatusOf_;
    const RunHooks hooks_;
    // Stats events are made for whoever reads them: the events file, the
    // verbose lines, or a hook that takes every event (the monitor's page).
    const bool statsEvents_;
    Wakeup wakeup_;
    MountSet set_;
    int signals_ = -1;
    SteadyClock::time_point runStart_;
    SteadyClock::time_point nextStats_;
    SteadyClock::time_point lastStats_;
    std::vector<uint64_t> bytesAtLastStats_;
};

#endif
