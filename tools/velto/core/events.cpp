#include "core/events.h"

#include <math.h>
#include <string.h>

#include "display.h"

namespace events {

namespace {

// Milliseconds are enough for every duration an event reports.
double rounded(double seconds) { return round(seconds * 1000) / 1000; }

json base(const char *kind, const Stamp &when) {
    json event;
    event["event"] = kind;
    event["time"] = display::utcTimestamp(when.wall);
    event["elapsed_s"] = rounded(when.elapsed);
    return event;
}

json perMount(const char *kind, const Stamp &when, const std::string &mount) {
    json event = base(kind, when);
    event["mount"] = mount;
    return event;
}

} // namespace

Stamp stampNow(SteadyClock::time_point runStart) {
    return {WallClock::now(), secondsBetween(runStart, SteadyClock::now())};
}

Stamp stampOf(const StatusChange &change, SteadyClock::time_point runStart) {
    return {change.wallTime, secondsBetween(runStart, change.when)};
}

Stamp stampOf(const analysis::Event &noticed, SteadyClock::time_point runStart) {
    Stamp now = stampNow(runStart);
    double ago = unixSeconds(now.wall) - noticed.time;
    auto wall = std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(noticed.time));
    return {WallClock::time_point(wall), now.elapsed - ago};
}

json start(const Stamp &when, const std::string &mount, int clientNumber, const char *caster,
           const std::string &output) {
    json event = perMount("start", when, mount);
    event["client"] = clientNumber;
    event["caster"] = caster;
    event["output"] = output.empty() ? json() : json(output);
    return event;
}

json status(const Stamp &when, const std::string &mount, const StatusChange &change, bool retries) {
    json event = perMount("status", when, mount);
    event["status"] = change.status;
    event["name"] = statusName(change.status, change.fromStart);
    event["text"] = statusMeaning(change.status, change.fromStart);
    // The pause begins with the report, so this one is exact; later silent
    // repeats are estimated in the stats events.
    event["next_attempt_in_s"] = retries ? json((int)kLibraryPauseSeconds) : json();
    return event;
}

json offered(const Stamp &when, const std::string &mount, const std::vector<std::string> &closestFirst,
             bool complete) {
    json event = perMount("offered", when, mount);
    json names = json::array();
    for (size_t i = 0; i < closestFirst.size() && i < kMaxOffered; ++i)
        names.push_back(closestFirst[i]);
    event["mount_points"] = names;
    event["total"] = closestFirst.size();
    event["complete"] = complete;
    return event;
}

json outputFailed(const Stamp &when, const std::string &mount, int error) {
    json event = perMount("output_failed", when, mount);
    event["error"] = strerror(error);
    return event;
}

json rtcmFacts(const analysis::Facts &facts) { return json(analysis::toJson(facts)); }

json noticed(const Stamp &when, const std::string &mount, const analysis::Event &noticed) {
    json detail(analysis::toJson(noticed));
    json event = perMount(detail["event"].get<std::string>().c_str(), when, mount);
    for (auto &field : detail.items())
        if (field.key() != "event" && field.key() != "time")
            event[field.key()] = field.value();
    return event;
}

json stats(const Stamp &when, const std::string &mount, const SessionSnapshot &shot,
           double bytesPerSecond) {
    json event = perMount("stats", when, mount);
    event["status"] = shot.status;
    event["name"] = statusName(shot.status, shot.statusFromStart);
    event["text"] = statusMeaning(shot.status, shot.statusFromStart);
    event["bytes"] = shot.bytes;
    event["blocks"] = shot.blocks;
    event["bytes_per_s"] = rounded(bytesPerSecond);
    event["last_block_age_s"] = shot.anyBlock ? json(rounded(shot.sinceLastBlock)) : json();
    event["connections"] = shot.connections;
    event["streaming_s"] = rounded(shot.streamingSeconds);
    event["next_attempt_in_s"] = shot.next.expected ? json(rounded(shot.next.seconds)) : json();
    event["next_attempt_estimated"] = shot.next.expected && shot.next.estimated;
    event["rtcm"] = rtcmFacts(shot.analysis);
    return event;
}

json summary(const Stamp &when, const std::string &mount, const SessionSnapshot &shot, Ending ending,
             int exitStatus) {
    json event = perMount("summary", when, mount);
    event["ending"] = endingName(ending);
    event["ending_text"] = endingMeaning(ending);
    event["exit_status"] = exitStatus;
    // When this mount point stopped: its refusal or its failed output, or
    // the end of the run; the run itself may go on much longer.
    event["stopped_s"] = shot.stopped ? json(rounded(shot.stoppedAfter)) : json();
    event["bytes"] = shot.bytes;
    event["blocks"] = shot.blocks;
    event["connections"] = shot.connections;
    event["streaming_s"] = rounded(shot.streamingSeconds);
    event["statuses"] = shot.statuses;
    event["rtcm"] = rtcmFacts(shot.analysis);
    return event;
}

json exit(const Stamp &when, const std::string &reason, int exitStatus) {
    json event = base("exit", when);
    event["reason"] = reason;
    event["exit_status"] = exitStatus;
    return event;
}

std::string toLine(const json &event) {
    return event.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace events
