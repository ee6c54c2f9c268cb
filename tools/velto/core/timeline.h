// One mount point's status changes, and what the library's fixed timings
// make of them: how long its last failed attempt took, when it will try
// again, how long it streamed and how it ended. Plain bookkeeping on the
// reports as they come; the session keeps one under its lock.
#ifndef VELTO_TOOL_CORE_TIMELINE_H
#define VELTO_TOOL_CORE_TIMELINE_H

#include <vector>

#include "core/facts.h"

class StatusTimeline {
public:
    // The first attempt begins with the run.
    void begin(SteadyClock::time_point runStart) { runStart_ = runStart; }
    void record(const StatusChange &change);

    const std::vector<StatusChange> &changes() const { return changes_; }
    // The latest change; nullptr before the first.
    const StatusChange *last() const { return changes_.empty() ? nullptr : &changes_.back(); }
    // The latest status, idle before the first report.
    int lastStatus() const { return changes_.empty() ? VELTO_STATUS_IDLE : changes_.back().status; }
    int connections() const;
    double streamingSeconds(SteadyClock::time_point now) const;

    // When the library tries next, as of `now`, for a mount point that velto
    // has not stopped.
    NextAttempt nextAttempt(SteadyClock::time_point now) const;
    // How the mount point ended, had its status been `finalStatus` when the
    // run stopped (a stopped client reports more, which says nothing about
    // the caster).
    Ending ending(int finalStatus) const;

private:
    SteadyClock::time_point runStart_;
    std::vector<StatusChange> changes_;
    double attemptSeconds_ = 0; // how long the last failed attempt took
    double streamingSeconds_ = 0; // at status 1, up to the latest change
};

#endif
