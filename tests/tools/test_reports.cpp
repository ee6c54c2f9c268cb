// What velto tells a person about a run, made from the same events a script
// gets: the summary of a mount point that the caster refused while the run
// went on for minutes, the station as first identified with the fields its
// receiver leaves blank, a descriptor that keeps changing, and epochs of a
// replayed recording, days from the clock. Each case is the event a real
// run produces, shown through HumanOutput into memory. And what velto
// monitor serves of the same run: /metrics for an alert rule, with a caster
// that sends message numbers no standard has, and the page with its state.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "checks.h"
#include "events.h"
#include "metrics.h"
#include "monitor_state.h"
#include "outputs.h"

namespace {

// The lines HumanOutput shows for one event.
std::string shown(const events::json &event) {
    char *text = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&text, &size);
    {
        HumanOutput human(memory, Verbosity::Normal, false);
        human.show(event);
    }
    fclose(memory);
    std::string lines(text, size);
    free(text);
    return lines;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The run has gone on for 145.5 s when it ends; when each mount point
// stopped is its own.
events::Stamp endOfRun() { return {WallClock::now(), 145.5}; }

SessionSnapshot stoppedAfter(double seconds, int connections, double streaming) {
    SessionSnapshot shot;
    shot.stopped = true;
    shot.stoppedAfter = seconds;
    shot.connections = connections;
    shot.streamingSeconds = streaming;
    return shot;
}

// Group: the summary says how each mount point ended and when it stopped.
void summaries() {
    std::string refused =
        shown(events::summary(endOfRun(), "MISSING", stoppedAfter(0.004, 0, 0), Ending::NotFound));
    CHECK(has(refused, "velto: MISSING: mount point not found; stopped at 0.0 s, 0 connection(s)"));
    CHECK(!has(refused, "145.5"));

    std::string output =
        shown(events::summary(endOfRun(), "A", stoppedAfter(1.3, 1, 1.2), Ending::OutputFailed));
    CHECK(has(output, "velto: A: output could not be written; stopped at 1.3 s, 1 connection(s), 1.2 s streaming"));

    std::string streaming =
        shown(events::summary(endOfRun(), "B", stoppedAfter(145.2, 2, 110), Ending::Streaming));
    CHECK(has(streaming, "velto: B: streaming until stopped at 145.2 s, 2 connection(s)"));

    events::json json = events::summary(endOfRun(), "MISSING", stoppedAfter(0.004, 0, 0), Ending::NotFound);
    CHECK(json["stopped_s"] == 0.004 && json["ending"] == "not_found" &&
          json["ending_text"] == "mount point not found");
}

analysis::StationFacts netr9() {
    analysis::StationFacts station;
    station.hasId = true;
    station.id = 611;
    station.hasAntenna = true;
    station.antennaDescriptor = "TRM59800.00     SCIS";
    station.hasReceiver = true;
    station.receiverType = "TRIMBLE NETR9";
    return station; // no position; no antenna serial, receiver firmware or serial
}

// Group: the station and what the analysis notices about the stream.
void noticed() {
    analysis::Event identified;
    identified.kind = analysis::kStationIdentified;
    identified.time = analysis::unixNow();
    identified.identified = {analysis::kPartStationId, analysis::kPartAntenna, analysis::kPartReceiver};
    identified.after = netr9();
    std::string line = shown(events::noticed(events::stampNow(SteadyClock::now()), "M", identified));
    CHECK(has(line, "M: station ID 611; antenna TRM59800.00     SCIS; receiver TRIMBLE NETR9\n"));

    analysis::Event flapping;
    flapping.kind = analysis::kStationChanged;
    flapping.time = analysis::unixNow();
    flapping.part = analysis::kPartReceiver;
    flapping.changes = 999;
    flapping.before = netr9();
    flapping.after = netr9();
    flapping.after.receiverFirmware = "4.85";
    line = shown(events::noticed(events::stampNow(SteadyClock::now()), "M", flapping));
    CHECK(has(line, "M: station changed: receiver TRIMBLE NETR9, firmware 4.85 (999 changes of the receiver"));

    analysis::Event far;
    far.kind = analysis::kLatencyFlagged;
    far.time = analysis::unixNow();
    far.constellation = analysis::kGps;
    far.latencyMs = -239541919;
    line = shown(events::noticed(events::stampNow(SteadyClock::now()), "M", far));
    CHECK(has(line, "M: GPS epoch 2.8 days ahead of the clock: replayed data or a wrong receiver clock"));
    CHECK(!has(line, "239541919"));
    far.latencyMs = 90400;
    line = shown(events::noticed(events::stampNow(SteadyClock::now()), "M", far));
    CHECK(has(line, "M: GPS epoch 90 s behind the clock"));
}

analysis::MessageTypeFacts frames(int number, uint64_t count) {
    analysis::MessageTypeFacts type;
    type.number = number;
    type.count = count;
    return type;
}

// Group: /metrics. Message numbers RTCM 3 does not define fold into one
// series, however many a caster sends; a mount point that velto stopped
// says why, where an alert rule can match it.
void metrics() {
    MountReading streaming, refused;
    streaming.mount = "A";
    streaming.shot.status = VELTO_STATUS_STREAMING;
    for (int number = 0; number < 4096; ++number)
        streaming.shot.analysis.messages.push_back(frames(number, number == 1074 ? 10 : 1));
    refused.mount = "MISSING";
    refused.shot = stoppedAfter(0.004, 0, 0);
    refused.shot.ending = Ending::NotFound;
    std::string text = metricsText({streaming, refused}, MonitorReading());

    size_t series = 0;
    for (size_t at = text.find("\nvelto_rtcm_frames_total{"); at != std::string::npos;
         at = text.find("\nvelto_rtcm_frames_total{", at + 1))
        ++series;
    CHECK(series > 100 && series < 150);
    CHECK(has(text, "velto_rtcm_frames_total{mount=\"A\",message=\"1074\"} 10\n"));
    CHECK(!has(text, "message=\"4095\"") && !has(text, "message=\"1018\""));
    int undefined = 0;
    for (int number = 0; number < 4096; ++number)
        undefined += !analysis::isDefinedMessage(number);
    CHECK(has(text, "velto_rtcm_frames_total{mount=\"A\",message=\"other\"} " + std::to_string(undefined) + "\n"));

    CHECK(has(text, "# TYPE velto_mount_ending gauge\n"));
    CHECK(has(text, "velto_mount_ending{mount=\"MISSING\",reason=\"not_found\"} 1\n"));
    CHECK(!has(text, "velto_mount_ending{mount=\"A\""));
    CHECK(!has(metricsText({streaming}, MonitorReading()), "velto_mount_ending"));
}

// Group: the page with its state. Whatever a mount point is called, the
// state stays data: nothing in it can close the data block early.
void pageWithState() {
    const std::string page = "<body><script id=\"state\" type=\"application/json\"></script></body>";
    events::json state = {{"mounts", {{{"mount", "</script><script>alert(1)</script><!--"}}}}};
    std::string served = MonitorState::pageWithState(page, events::toLine(state));
    size_t open = served.find("json\">") + 6, close = served.find("</script>", open);
    CHECK(served.find("<script>alert") == std::string::npos && close != std::string::npos);
    CHECK(events::json::parse(served.substr(open, close - open)) == state);
    CHECK(served.substr(close) == "</script></body>");
}

} // namespace

int main() {
    summaries();
    noticed();
    metrics();
    pageWithState();
    return checkResult("reports");
}
