// The events of a run as JSON objects: what happened to each mount point,
// its figures every interval, and how it ended. The field names are stable
// and listed with an example of each event in the README. The JSON-lines
// writer prints them as they are; the human lines are made from them too, so
// both always tell the same facts.
#ifndef VELTO_TOOL_CORE_EVENTS_H
#define VELTO_TOOL_CORE_EVENTS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis_json.h"
#include "core/facts.h"

namespace events {

// Fields keep the order they are set in: "event" and "time" come first.
using json = nlohmann::ordered_json;

// When an event happened: UTC wall clock, and seconds since the run began.
struct Stamp {
    WallClock::time_point wall;
    double elapsed;
};
Stamp stampNow(SteadyClock::time_point runStart);
Stamp stampOf(const StatusChange &change, SteadyClock::time_point runStart);
// The moment the analysis saw something, placed in the run.
Stamp stampOf(const analysis::Event &noticed, SteadyClock::time_point runStart);

// output: the file the bytes go to, "-" for standard output, empty for none.
json start(const Stamp &when, const std::string &mount, int clientNumber, const char *caster,
           const std::string &output);
// retries: the library tries again after its fixed 30-s pause.
json status(const Stamp &when, const std::string &mount, const StatusChange &change, bool retries);
// complete: false when velto cut the source table short at one of its
// bounds (too large, endless, too slow): the names are those that came.
json offered(const Stamp &when, const std::string &mount, const std::vector<std::string> &closestFirst,
             bool complete = true);
json outputFailed(const Stamp &when, const std::string &mount, int error);
// bytesPerSecond: over the time since the mount point's last stats event.
json stats(const Stamp &when, const std::string &mount, const SessionSnapshot &shot,
           double bytesPerSecond);
// exitStatus: the one the ending gives (the command's, see ExitStatusOf).
json summary(const Stamp &when, const std::string &mount, const SessionSnapshot &shot, Ending ending,
             int exitStatus);
json exit(const Stamp &when, const std::string &reason, int exitStatus);

// The facts of the stream analysis, under the key "rtcm" of stats and summary.
json rtcmFacts(const analysis::Facts &facts);
// What the analysis noticed (station, station_changed, outage_started,
// outage_ended, latency_flagged, latency_normal), as an event of the mount
// point.
json noticed(const Stamp &when, const std::string &mount, const analysis::Event &noticed);

// One line of JSON without its newline. Text is whatever bytes a caster or
// a command line held: invalid UTF-8 is replaced (U+FFFD), so every line
// parses.
std::string toLine(const json &event);

// At most this many names go into an "offered" event.
const size_t kMaxOffered = 20;

} // namespace events

#endif
