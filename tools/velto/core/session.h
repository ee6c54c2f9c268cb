// One mount point in one process: its library handle, the two callbacks,
// the counters, the analysis of its bytes, and its status timeline.
//
// The library calls back on the mount point's own client thread. The data
// callback writes the block to this mount point's output, counts it and
// feeds the analysis; the status callback records the change. Neither prints,
// neither waits for anything another mount point does, and neither calls the
// library. Whoever runs the sessions (the mount set) takes the changes and
// snapshots on its own thread and decides what to do and say.
#ifndef VELTO_TOOL_CORE_SESSION_H
#define VELTO_TOOL_CORE_SESSION_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "analysis.h"
#include "core/facts.h"
#include "core/timeline.h"
#include "core/wakeup.h"
#include "velto.h"

class MountSession {
public:
    // outputFd: where the bytes go (-1: nowhere); closeOutput: whether the
    // session owns it. The wakeup is told about status changes and output
    // failures, never about ordinary data.
    MountSession(const std::string &mount, int clientNumber, int outputFd, bool closeOutput,
                 const analysis::Options &analysisOptions, Wakeup *wakeup);
    ~MountSession();
    MountSession(const MountSession &) = delete;
    MountSession &operator=(const MountSession &) = delete;

    const std::string &mount() const { return mount_; }

    void start(SteadyClock::time_point runStart);
    // VeltoStop, once. Remembers the status the run ended with: what the
    // client thread reports after it (the attempt cut short, then 0) says
    // nothing about the caster.
    void requestStop();
    bool stopRequested() const { return stopRequested_; }
    // Stopped, and the client thread has ended (or never ran).
    bool ended() const;
    // VeltoDestruct (which waits for the client thread), then closes the
    // output.
    void destroy();

    // The status changes since the last call, in order.
    std::vector<StatusChange> takeChanges();
    bool outputFailed() const { return outputFailed_; }
    int outputError() const { return outputErrno_; }
    SessionSnapshot snapshot(SteadyClock::time_point now) const;
    Ending ending() const;
    // Closes the analysis's interval: its rates and latency statistics are
    // then those since the previous call.
    void rollInterval(WallClock::time_point now);
    // What the analysis noticed since the last call (station changes,
    // outages, latencies out of range), oldest first.
    std::vector<analysis::Event> takeAnalysisEvents();

private:
    static void VELTO_CALL onData(void *user, char *bytes, int count);
    static void VELTO_CALL onStatus(void *user, int status);
    void recordChange(const StatusChange &change);
    Ending endingLocked() const;

    const std::string mount_; // the library keeps this pointer while it runs
    const int clientNumber_;
    int outputFd_; // -1 after destroy(), when no callback can run any more
    const bool closeOutput_;
    Wakeup *const wakeup_;
    VeltoHandle handle_ = nullptr;
    pthread_t starter_;
    SteadyClock::time_point runStart_;
    bool stopRequested_ = false;
    SteadyClock::time_point stoppedAt_;
    int statusAtStop_ = VELTO_STATUS_IDLE;

    std::atomic<bool> outputFailed_{false};
    std::atomic<int> outputErrno_{0};

    mutable std::mutex mutex_; // everything below; held briefly by both callbacks
    uint64_t bytes_ = 0;
    uint64_t blocks_ = 0;
    SteadyClock::time_point lastBlock_;
    analysis::StreamAnalysis analysis_; // fed on the client thread
    StatusTimeline timeline_;
    std::vector<StatusChange> pending_;
};

#endif
