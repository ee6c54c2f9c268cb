#include "monitor/state.h"

#include <math.h>

#include "display.h"

using events::json;

namespace {

// A constellation's satellite count is shown while its epochs keep coming.
const double kSatellitesFreshSeconds = 5;
// The timeline keeps at most this many changes, however many fit the window.
const size_t kMaxMarks = 500;
const size_t kRecentEvents = 40;

json rounded(double value, double scale) { return round(value * scale) / scale; }
json timeJson(double posix) { return rounded(posix, 1000); }

} // namespace

MonitorState::MonitorState(const std::vector<std::string> &mounts, const std::string &caster,
                           double interval)
    : caster_(caster), interval_(interval) {
    for (const std::string &name : mounts) {
        Mount mount;
        mount.name = name;
        mount.reading.mount = name;
        mounts_.push_back(mount);
    }
}

void MonitorState::recordStatus(size_t index, const StatusChange &change,
                                SteadyClock::time_point runStart) {
    std::lock_guard<std::mutex> hold(mutex_);
    Mount &mount = mounts_[index];
    mount.timeline.push_back({unixSeconds(change.wallTime), secondsBetween(runStart, change.when),
                              change.status, change.fromStart});
    // Every report but the final idle ends an attempt; a refusal by
    // VeltoStart itself never connected.
    if (change.status != VELTO_STATUS_IDLE && !change.fromStart)
        mount.reportedAttempts += 1;
    if (mount.timeline.size() > kMaxMarks)
        mount.timeline.pop_front();
}

// The library reports a failure once; its repeats are silent. The estimated
// countdown to the next attempt starting over says that one more ended.
void MonitorState::countSilentAttempt(Mount &mount, const NextAttempt &next) {
    if (next.expected && next.estimated && mount.lastNext.expected &&
        next.seconds > mount.lastNext.seconds + 1)
        mount.silentAttempts += 1;
    mount.lastNext = next;
}

void MonitorState::recordEvent(const json &event) {
    if (event["event"] == "stats")
        return;
    std::lock_guard<std::mutex> hold(mutex_);
    recentEvents_.push_back(event);
    if (recentEvents_.size() > kRecentEvents)
        recentEvents_.pop_front();
}

double MonitorState::averageRate(Mount &mount, SteadyClock::time_point now, uint64_t bytes) {
    mount.recentBytes.push_back({now, bytes});
    while (mount.recentBytes.size() > 2 &&
           secondsBetween(mount.recentBytes[1].when, now) >= kRateSeconds)
        mount.recentBytes.pop_front();
    const BytesAt &oldest = mount.recentBytes.front();
    double span = secondsBetween(oldest.when, now);
    return span > 0 ? (double)(bytes - oldest.bytes) / span : 0;
}

void MonitorState::addSample(Mount &mount, double now, double bytesPerSecond) {
    Sample sample;
    sample.time = now;
    sample.bitsPerSecond = bytesPerSecond * 8;
    for (int &count : sample.satellites)
        count = -1;
    for (const analysis::ConstellationFacts &seen : mount.reading.shot.analysis.observations)
        if (seen.epochs > 0 && now - seen.last.receivedAt < kSatellitesFreshSeconds)
            sample.satellites[seen.constellation] = seen.last.satellites;
    mount.samples.push_back(sample);
}

// A point for each interval the analysis closed since the last one; an
// interval without latencies (the stream was down) leaves a gap.
bool MonitorState::addLatencyPoint(Mount &mount) {
    const analysis::Facts &facts = mount.reading.shot.analysis;
    if (!facts.hasInterval)
        return false;
    double end = facts.intervalStart + facts.intervalSeconds;
    if (end <= mount.lastIntervalEnd)
        return false;
    mount.lastIntervalEnd = end;
    const analysis::LatencyStatistics &interval = facts.latency.interval;
    mount.latency.push_back({end, interval.count > 0, interval.meanMs, interval.maxMs});
    return true;
}

void MonitorState::forgetBefore(Mount &mount, double oldest) {
    while (!mount.samples.empty() && mount.samples.front().time < oldest)
        mount.samples.pop_front();
    while (!mount.latency.empty() && mount.latency.front().time < oldest)
        mount.latency.pop_front();
    // The last change before the window says what the status was at its start.
    while (mount.timeline.size() > 1 && mount.timeline[1].time < oldest)
        mount.timeline.pop_front();
}

json MonitorState::update(const events::Stamp &stamp, SteadyClock::time_point now,
                          std::vector<MountReading> readings) {
    std::lock_guard<std::mutex> hold(mutex_);
    now_ = unixSeconds(stamp.wall);
    elapsed_ = stamp.elapsed;
    runStart_ = now_ - elapsed_;
    json tick;
    tick["event"] = "tick";
    tick["time"] = display::utcTimestamp(stamp.wall);
    tick["elapsed_s"] = rounded(stamp.elapsed, 1000);
    tick["unix_time"] = timeJson(now_);
    tick["mounts"] = json::array();
    for (size_t i = 0; i < mounts_.size() && i < readings.size(); ++i) {
        Mount &mount = mounts_[i];
        mount.reading = std::move(readings[i]);
        countSilentAttempt(mount, mount.reading.shot.next);
        mount.reading.attempts = mount.reportedAttempts + mount.silentAttempts;
        double rate = averageRate(mount, now, mount.reading.shot.bytes);
        mount.live = events::stats(stamp, mount.name, mount.reading.shot, rate);
        addSample(mount, now_, rate);
        bool newLatency = addLatencyPoint(mount);
        forgetBefore(mount, now_ - kWindowSeconds);
        tick["mounts"].push_back(mountJson(mount, true, newLatency));
    }
    return tick;
}

json MonitorState::mountJson(const Mount &mount, bool newestOnly, bool newLatency) const {
    json j;
    j["mount"] = mount.name;
    j["live"] = mount.live;
    j["status_since"] = mount.timeline.empty() ? json() : timeJson(mount.timeline.back().time);
    json timeline = json::array();
    for (const Mark &mark : mount.timeline)
        timeline.push_back({{"time", timeJson(mark.time)},
                            {"elapsed_s", rounded(mark.elapsed, 1000)},
                            {"status", mark.status},
                            {"name", statusName(mark.status, mark.fromStart)},
                            {"text", statusMeaning(mark.status, mark.fromStart)}});
    j["timeline"] = timeline;
    // Once velto has stopped a mount point (a refusal, its output), the
    // library reports it idle: this says why it stopped, and when.
    const SessionSnapshot &shot = mount.reading.shot;
    j["ending"] = shot.stopped ? json{{"name", endingName(shot.ending)},
                                      {"text", endingMeaning(shot.ending)},
                                      {"time", timeJson(runStart_ + shot.stoppedAfter)}}
                               : json();

    size_t first = newestOnly && !mount.samples.empty() ? mount.samples.size() - 1 : 0;
    json times = json::array(), bits = json::array(), satellites = json::object();
    for (size_t i = first; i < mount.samples.size(); ++i) {
        times.push_back(timeJson(mount.samples[i].time));
        bits.push_back(rounded(mount.samples[i].bitsPerSecond, 10));
    }
    for (int c = 0; c < analysis::kConstellations; ++c) {
        json counts = json::array();
        bool any = false;
        for (size_t i = first; i < mount.samples.size(); ++i) {
            int count = mount.samples[i].satellites[c];
            any = any || count >= 0;
            counts.push_back(count >= 0 ? json(count) : json());
        }
        if (any)
            satellites[analysis::constellationName((analysis::Constellation)c)] = counts;
    }
    j["samples"] = {{"time", times}, {"bitrate_bps", bits}, {"satellites", satellites}};

    json latencyTimes = json::array(), means = json::array(), maxima = json::array();
    size_t from = !newestOnly ? 0 : newLatency ? mount.latency.size() - 1 : mount.latency.size();
    for (size_t i = from; i < mount.latency.size(); ++i) {
        const LatencyPoint &point = mount.latency[i];
        latencyTimes.push_back(timeJson(point.time));
        means.push_back(point.any ? rounded(point.meanMs, 1000) : json());
        maxima.push_back(point.any ? rounded(point.maxMs, 1000) : json());
    }
    j["latency"] = {{"time", latencyTimes}, {"mean_ms", means}, {"max_ms", maxima}};
    return j;
}

std::string MonitorState::stateText(const MonitorReading &monitor) const {
    std::lock_guard<std::mutex> hold(mutex_);
    json state;
    state["unix_time"] = timeJson(now_);
    state["elapsed_s"] = rounded(elapsed_, 1000);
    state["run_start"] = timeJson(runStart_);
    state["caster"] = caster_;
    state["interval_s"] = interval_;
    state["window_s"] = kWindowSeconds;
    state["event_streams"] = {{"open", monitor.eventStreams},
                              {"limit", monitor.eventStreamLimit},
                              {"dropped", monitor.eventsDropped}};
    state["mounts"] = json::array();
    for (const Mount &mount : mounts_)
        state["mounts"].push_back(mountJson(mount, false, false));
    state["events"] = recentEvents_;
    return events::toLine(state);
}

std::string MonitorState::metricsText(const MonitorReading &monitor) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<MountReading> readings;
    for (const Mount &mount : mounts_)
        readings.push_back(mount.reading);
    return ::metricsText(readings, monitor);
}

std::string MonitorState::pageWithState(const std::string &page, const std::string &state) {
    static const char kOpening[] = "<script id=\"state\" type=\"application/json\">";
    size_t at = page.find(kOpening);
    if (at == std::string::npos)
        return page;
    at += sizeof kOpening - 1;
    // Inside a script element only "</script" could end the data early: a
    // "<" escaped as JSON (in strings, the only place JSON has one) can never
    // form it, whatever a mount point or a descriptor holds.
    std::string escaped;
    escaped.reserve(state.size() + 64);
    for (char c : state) {
        if (c == '<')
            escaped += "\\u003c";
        else
            escaped += c;
    }
    return page.substr(0, at) + escaped + page.substr(at);
}
