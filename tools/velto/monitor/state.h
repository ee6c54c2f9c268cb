// What velto monitor's page shows, kept up to date by the main thread once
// a second and read by the HTTP threads: for each mount point the figures
// of a stats event (the same builder as the JSON events, the analysis'
// facts under "rtcm"), the timeline of its status changes, and the last ten
// minutes of bitrate, satellites per constellation and latency per interval.
//
// /api/state is all of it; each tick of /events carries the same per mount
// point object with only the samples added since the last tick, so a page
// loads the state once and then keeps it going from the ticks.
#ifndef VELTO_TOOL_MONITOR_STATE_H
#define VELTO_TOOL_MONITOR_STATE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/events.h"
#include "monitor/metrics.h"

class MonitorState {
public:
    // How much history the page and /api/state keep.
    static constexpr double kWindowSeconds = 600;
    // The bitrate is the average over this much time: a station sends its
    // epochs in bursts, and a one-second figure would swing with their
    // timing against the monitor's.
    static constexpr double kRateSeconds = 5;

    MonitorState(const std::vector<std::string> &mounts, const std::string &caster, double interval);

    // Main thread: a status change for the timeline.
    void recordStatus(size_t index, const StatusChange &change, SteadyClock::time_point runStart);
    // Main thread: an event of the run, for the page's list of recent ones
    // (stats events are left out: the ticks say more, and more often).
    void recordEvent(const events::json &event);
    // Main thread, once a second: takes the readings of every mount point
    // (in the order of the constructor) and returns the tick event.
    events::json update(const events::Stamp &stamp, SteadyClock::time_point now,
                        std::vector<MountReading> readings);

    // Any thread. monitor: the event streams' figures as of now.
    std::string stateText(const MonitorReading &monitor) const;
    std::string metricsText(const MonitorReading &monitor) const;

    // The page (index.html) with a state (stateText) in its data block
    // <script id="state" type="application/json">: the page then shows the
    // mount points as soon as it loads, before any request of its own, so
    // that a screenshot taken at once has content. Its script keeps it
    // going from there.
    static std::string pageWithState(const std::string &page, const std::string &state);

private:
    struct Mark {
        double time;    // POSIX seconds
        double elapsed; // seconds since the run began
        int status;
        bool fromStart;
    };
    struct Sample {
        double time;
        double bitsPerSecond;
        int satellites[analysis::kConstellations]; // -1: no recent epoch
    };
    struct LatencyPoint {
        double time; // end of the interval
        bool any;    // latencies were measured in it
        double meanMs, maxMs;
    };
    struct BytesAt {
        SteadyClock::time_point when;
        uint64_t bytes;
    };
    struct Mount {
        std::string name;
        MountReading reading;
        uint64_t reportedAttempts = 0; // outcomes the library reported
        uint64_t silentAttempts = 0;   // repeats of a failure it did not report again
        NextAttempt lastNext;
        events::json live;
        std::deque<Mark> timeline;
        std::deque<Sample> samples;
        std::deque<LatencyPoint> latency;
        std::deque<BytesAt> recentBytes;
        double lastIntervalEnd = 0;
    };

    double averageRate(Mount &mount, SteadyClock::time_point now, uint64_t bytes);
    void countSilentAttempt(Mount &mount, const NextAttempt &next);
    void addSample(Mount &mount, double now, double bytesPerSecond);
    bool addLatencyPoint(Mount &mount);
    void forgetBefore(Mount &mount, double oldest);
    events::json mountJson(const Mount &mount, bool newestOnly, bool newLatency) const;

    const std::string caster_;
    const double interval_;
    double runStart_ = 0; // POSIX seconds; set by the first update
    double now_ = 0;
    double elapsed_ = 0;
    mutable std::mutex mutex_; // all below and above; the main thread writes, HTTP threads read
    std::vector<Mount> mounts_;
    std::deque<events::json> recentEvents_;
};

#endif
