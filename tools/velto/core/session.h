// One mount point in one process: its library handle, the two callbacks,
// the counters, the timeline of status changes, the estimate of the
// library's next connection attempt, and how the run ended for it.
//
// The library calls back on the mount point's own client thread. The data
// callback writes the block to this mount point's output, counts it and
// feeds the analysis; the status callback records the change. Neither prints,
// neither waits for anything another mount point does, and neither calls the
// library. Whoever runs the sessions (velto stream) takes the changes and
// snapshots on its own thread and decides what to do and say.
#ifndef VELTO_TOOL_CORE_SESSION_H
#define VELTO_TOOL_CORE_SESSION_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "analysis.h" // the RTCM 3 analysis (tools/analysis)
#include "velto.h"

using SteadyClock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to);
// POSIX seconds, the analysis's time scale.
double unixSeconds(WallClock::time_point when);

// The library's fixed pause after every attempt it reports; it starts with
// the report.
const double kLibraryPauseSeconds = 30;

// A stable identifier and the words for each status code. -8 has two
// causes that the code alone does not tell apart: from VeltoStart (nothing
// will retry) and from the client thread (an answer it did not recognise).
const char *statusName(int status, bool fromStart);
const char *statusMeaning(int status, bool fromStart);

// Wakes the thread that runs the sessions: a self-pipe it can poll beside
// its signals. Written from the callbacks, so it never blocks.
class Wakeup {
public:
    bool open();
    ~Wakeup();
    void notify();
    void drain();
    int fd() const { return read_; }

private:
    int read_ = -1;
    int write_ = -1;
};

struct StatusChange {
    int status = VELTO_STATUS_IDLE;
    SteadyClock::time_point when;
    WallClock::time_point wallTime;
    bool fromStart = false; // -8 reported by VeltoStart itself
};

// When the library will next try to connect. It reports only changes, so
// after the first 30-s pause a failure that repeats is silent; from then on
// the time comes from its fixed timings and is only an estimate.
struct NextAttempt {
    bool expected = false;  // false: streaming, idle, or nothing will retry
    double seconds = 0;     // 0 while an attempt is under way
    bool estimated = false;
};

// How the run ended for one mount point, mildest first: the worst of all
// mount points sets velto's exit status.
enum class Ending {
    Streaming,      // the stream was flowing when the run stopped
    Down,           // it had streamed, but was down when the run stopped
    NeverStreamed,  // never streamed: not reached, no answer, answer not recognised
    NotImplemented, // -7
    NotFound,       // -5
    NotAuthorised,  // -6
    RefusedAtStart, // -8 from VeltoStart
    OutputFailed,   // its bytes could not be written
};
const char *endingName(Ending ending);
// The ending in words: "mount point not found", "stream down" ...
const char *endingMeaning(Ending ending);
int exitStatusFor(Ending ending);

struct SessionSnapshot {
    int status = VELTO_STATUS_IDLE;
    bool statusFromStart = false;
    bool streamedEver = false;
    int connections = 0;          // times the caster accepted (status 1)
    double streamingSeconds = 0;  // time spent at status 1
    uint64_t bytes = 0;
    uint64_t blocks = 0;
    bool anyBlock = false;
    double sinceLastBlock = 0;    // seconds; meaningful when anyBlock
    NextAttempt next;
    // Stopped: for a reason of its own (a refusal, its output), or with the
    // run. stoppedAfter is when, in seconds since the run began.
    bool stopped = false;
    double stoppedAfter = 0;
    Ending ending = Ending::Streaming; // how it ended, or would end now
    std::vector<int> statuses;    // every change so far, in order
    analysis::Facts analysis;
};

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
    int clientNumber() const { return clientNumber_; }

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
    bool refusedAtStart() const;
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
    NextAttempt nextAttempt(SteadyClock::time_point now) const;
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
    std::vector<StatusChange> timeline_;
    std::vector<StatusChange> pending_;
    double attemptSeconds_ = 0; // how long the last failed attempt took
    double streamingSeconds_ = 0;
    bool sawFinalIdle_ = false;
};

#endif
