// velto monitor's /metrics: the figures of every mount point in Prometheus'
// text exposition format (version 0.0.4). Names follow Prometheus' own
// conventions: a "velto_" prefix, base units (bytes, seconds), "_total" on
// counters, and the mount point as the label "mount", never in a name.
#ifndef VELTO_TOOL_MONITOR_METRICS_H
#define VELTO_TOOL_MONITOR_METRICS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/facts.h"

// One mount point as /metrics sees it: the session's figures, the facts of
// its analysis among them, taken on the main thread.
struct MountReading {
    std::string mount;
    SessionSnapshot shot;
    uint64_t attempts = 0; // connection attempts, the silent repeats included
};

// The monitor's own figures.
struct MonitorReading {
    size_t eventStreams = 0;
    size_t eventStreamLimit = 0;
    uint64_t eventsDropped = 0;
};

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string metricsText(const std::vector<MountReading> &mounts, const MonitorReading &monitor);

#endif
