// What velto tells about a run, from the events a real run produces: the
// summary of a mount point refused at once while the run went on, the
// station with the fields its receiver leaves blank, a descriptor that keeps
// changing; and what velto monitor serves: /metrics for an alert rule and a
// caster that sends every message number, and the page with its state.
#include <stdio.h>
#include <stdlib.h>

#include <string.h>

#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/events.h"
#include "monitor/metrics.h"
#include "monitor/state.h"
#include "print/human_lines.h"

namespace {

// The lines HumanLines shows for one event.
std::string shown(const events::json &event) {
    char *text = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&text, &size);
    HumanLines(memory, Verbosity::Normal, false).show(event);
    fclose(memory);
    std::string lines(text, size);
    free(text);
    return lines;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Group: words. The run lasted 145.5 s; the refused mount point stopped at once.
TEST(Reports, Words) {
    SessionSnapshot refused;
    refused.stopped = true;
    refused.stoppedAfter = 0.004;
    events::json summary = events::summary({WallClock::now(), 145.5}, "MISSING", refused, Ending::NotFound, 5);
    EXPECT_TRUE(summary["stopped_s"] == 0.004 && summary["ending_text"] == "mount point not found");
    EXPECT_TRUE(has(shown(summary), "velto: MISSING: mount point not found; stopped at 0.0 s, 0 connection(s)"));
    EXPECT_TRUE(!has(shown(summary), "145.5"));

    analysis::Event event;
    event.kind = analysis::kStationIdentified;
    event.time = analysis::unixNow();
    event.identified = {analysis::kPartStationId, analysis::kPartAntenna, analysis::kPartReceiver};
    analysis::StationFacts &station = event.after; // no firmware, no serial numbers
    station.hasId = station.hasAntenna = station.hasReceiver = true;
    station.id = 611;
    station.antennaDescriptor = "TRM59800.00     SCIS";
    station.receiverType = "TRIMBLE NETR9";
    events::Stamp now = events::stampNow(SteadyClock::now());
    EXPECT_TRUE(has(shown(events::noticed(now, "M", event)),
              "M: station ID 611; antenna TRM59800.00     SCIS; receiver TRIMBLE NETR9\n"));

    event.kind = analysis::kStationChanged;
    event.part = analysis::kPartReceiver;
    event.changes = 999;
    EXPECT_TRUE(has(shown(events::noticed(now, "M", event)),
              "M: station changed: receiver TRIMBLE NETR9 (999 changes of the receiver"));
}

// Group: /metrics. Message numbers RTCM 3 does not define fold into one
// series; a mount point that velto stopped says why.
TEST(Reports, Metrics) {
    MountReading streaming, refused;
    streaming.mount = "A";
    for (int number = 0; number < 4096; ++number) {
        analysis::MessageTypeFacts type;
        type.number = number;
        type.count = number == 1074 ? 10 : 1;
        streaming.shot.analysis.messages.push_back(type);
    }
    refused.mount = "MISSING";
    refused.shot.stopped = true;
    refused.shot.ending = Ending::NotFound;
    std::string text = metricsText({streaming, refused}, MonitorReading());
    size_t series = 0;
    for (size_t at = text.find("\nvelto_rtcm_frames_total{"); at != std::string::npos;
         at = text.find("\nvelto_rtcm_frames_total{", at + 1))
        ++series;
    EXPECT_TRUE(series > 100 && series < 150);
    EXPECT_TRUE(has(text, "velto_rtcm_frames_total{mount=\"A\",message=\"1074\"} 10\n"));
    EXPECT_TRUE(has(text, "velto_rtcm_frames_total{mount=\"A\",message=\"other\"} "));
    for (int undefined : {0, 1018, 1078, 1138, 4095})
        EXPECT_TRUE(!has(text, "message=\"" + std::to_string(undefined) + "\""));
    for (int defined : {1005, 1033, 1057, 1077, 1137, 1230})
        EXPECT_TRUE(has(text, "message=\"" + std::to_string(defined) + "\""));
    EXPECT_TRUE(has(text, "# TYPE velto_mount_ending gauge\nvelto_mount_ending{mount=\"MISSING\",reason=\"not_found\"} 1\n"));
    EXPECT_TRUE(!has(metricsText({streaming}, MonitorReading()), "velto_mount_ending"));
}

// Group: /metrics in Prometheus' text format, whatever the mount points are
// called: a quote or a backslash in a name (both are allowed in one) stays
// inside its label value, every family is announced once before its
// samples, and a latency not measured yet is NaN, not 0.
TEST(Reports, MetricsFormat) {
    MountReading odd, plain;
    odd.mount = "A\"B\\C";
    plain.mount = "P";
    plain.shot.analysis.hasInterval = true;
    plain.shot.analysis.latency.interval.count = 2;
    plain.shot.analysis.latency.interval.p95Ms = 1500;
    std::string text = metricsText({odd, plain}, MonitorReading());
    EXPECT_TRUE(has(text, "velto_bytes_total{mount=\"A\\\"B\\\\C\"} 0\n")) << text;
    EXPECT_TRUE(has(text, "velto_rtcm_latency_seconds{mount=\"A\\\"B\\\\C\",quantile=\"0.95\"} NaN\n"));
    EXPECT_TRUE(has(text, "velto_rtcm_latency_seconds{mount=\"P\",quantile=\"0.95\"} 1.5\n"));

    std::set<std::string> announced;
    size_t samples = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 7, "# TYPE ") == 0) {
            std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(announced.insert(name).second) << name << " announced twice";
        } else if (line[0] != '#') {
            std::string name = line.substr(0, line.find_first_of("{ "));
            for (const char *suffix : {"_sum", "_count"})
                if (!announced.count(name) && name.size() > strlen(suffix) &&
                    name.compare(name.size() - strlen(suffix), std::string::npos, suffix) == 0)
                    name.resize(name.size() - strlen(suffix));
            EXPECT_TRUE(announced.count(name)) << line << ": no TYPE before it";
            ++samples;
        }
    }
    EXPECT_TRUE(samples > 20);
}

// Group: the page with its state. Whatever a mount point is called, the
// state stays data: nothing in it can close the data block early.
TEST(Reports, PageWithState) {
    const std::string page = "<body><script id=\"state\" type=\"application/json\"></script></body>";
    events::json state = {{"mounts", {{{"mount", "</script><script>alert(1)</script><!--"}}}}};
    std::string served = MonitorState::pageWithState(page, events::toLine(state));
    size_t open = served.find("json\">") + 6, close = served.find("</script>", open);
    EXPECT_TRUE(served.find("<script>alert") == std::string::npos && close != std::string::npos);
    EXPECT_TRUE(events::json::parse(served.substr(open, close - open)) == state);
    EXPECT_TRUE(served.substr(close) == "</script></body>");
}

} // namespace

