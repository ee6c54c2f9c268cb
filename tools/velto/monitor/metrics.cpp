#include "monitor/metrics.h"

#include <math.h>
#include <stdio.h>

#include <functional>
#include <utility>

namespace {

using Labels = std::vector<std::pair<const char *, std::string>>;

// Label values may hold any printable ASCII (mount points) and, in
// principle, any byte: backslash, double quote and line feed are escaped as
// the format asks; the rest is taken as it is.
std::string escapedLabel(const std::string &value) {
    std::string text;
    for (char c : value) {
        if (c == '\\' || c == '"')
            text += '\\';
        if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text;
}

// Counters print as whole numbers, everything else with nine significant
// digits: more than any of these figures can vouch for.
std::string number(double value) {
    if (isnan(value))
        return "NaN";
    char text[40];
    if (value == floor(value) && fabs(value) < 9007199254740992.0)
        snprintf(text, sizeof text, "%.0f", value);
    else
        snprintf(text, sizeof text, "%.9g", value);
    return text;
}

class Exposition {
public:
    // Prometheus wants every sample of a family together, after its HELP
    // and TYPE lines.
    void family(const char *name, const char *type, const char *help) {
        name_ = name;
        text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
        text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    void sample(const char *suffix, const Labels &labels, double value) {
        text_.append(name_).append(suffix);
        if (!labels.empty()) {
            text_ += '{';
            for (size_t i = 0; i < labels.size(); ++i)
                text_.append(i == 0 ? "" : ",").append(labels[i].first).append("=\"")
                    .append(escapedLabel(labels[i].second)).append("\"");
            text_ += '}';
        }
        text_.append(" ").append(number(value)).append("\n");
    }
    void sample(const Labels &labels, double value) { sample("", labels, value); }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
    const char *name_ = "";
};

using PerMount = std::function<void(Exposition &, const MountReading &, const Labels &)>;

void perMount(Exposition &out, const std::vector<MountReading> &mounts, const char *name,
              const char *type, const char *help, const PerMount &samples) {
    out.family(name, type, help);
    for (const MountReading &reading : mounts)
        samples(out, reading, {{"mount", reading.mount}});
}

// The figure of one mount point, for the simple families.
using Figure = std::function<double(const MountReading &)>;

void simple(Exposition &out, const std::vector<MountReading> &mounts, const char *name,
            const char *type, const char *help, const Figure &figure) {
    perMount(out, mounts, name, type, help,
             [&](Exposition &o, const MountReading &r, const Labels &l) { o.sample(l, figure(r)); });
}

double outageSeconds(const analysis::Facts &facts) {
    double seconds = facts.outages.totalSeconds;
    if (facts.outages.open && facts.now > facts.outages.openSince)
        seconds += facts.now - facts.outages.openSince;
    return seconds;
}

void sessionFamilies(Exposition &out, const std::vector<MountReading> &mounts) {
    simple(out, mounts, "velto_bytes_total", "counter", "Stream bytes received from the caster.",
           [](const MountReading &r) { return (double)r.shot.bytes; });
    simple(out, mounts, "velto_blocks_total", "counter",
           "Blocks of stream bytes handed over by the library.",
           [](const MountReading &r) { return (double)r.shot.blocks; });
    simple(out, mounts, "velto_status_code", "gauge",
           "The library's latest status code: 1 streaming, 0 idle, negative after a failure.",
           [](const MountReading &r) { return (double)r.shot.status; });
    simple(out, mounts, "velto_streaming", "gauge", "1 while the mount point streams, else 0.",
           [](const MountReading &r) { return r.shot.status == VELTO_STATUS_STREAMING ? 1.0 : 0.0; });
    simple(out, mounts, "velto_connections_total", "counter",
           "Times the caster accepted the stream request.",
           [](const MountReading &r) { return (double)r.shot.connections; });
    simple(out, mounts, "velto_connection_attempts_total", "counter",
           "Connection attempts; repeats of a failure, which the library does not report again, "
           "are counted from its fixed timings.",
           [](const MountReading &r) { return (double)r.attempts; });
    simple(out, mounts, "velto_streaming_seconds_total", "counter", "Time spent streaming.",
           [](const MountReading &r) { return r.shot.streamingSeconds; });
    // A mount point that velto stopped (the caster refused it for good, its
    // output failed) is idle to the library; this says why it stopped, so
    // that an alert rule can match the reason.
    bool anyStopped = false;
    for (const MountReading &reading : mounts)
        anyStopped = anyStopped || reading.shot.stopped;
    if (anyStopped)
        perMount(out, mounts, "velto_mount_ending", "gauge",
                 "1 for a mount point that has stopped, labelled with why: not_found, not_authorised, "
                 "not_implemented, refused_at_start, output_failed; or, stopped with the run, "
                 "streaming, down or never_streamed.",
                 [](Exposition &o, const MountReading &r, const Labels &l) {
                     if (!r.shot.stopped)
                         return;
                     Labels labels = l;
                     labels.push_back({"reason", endingName(r.shot.ending)});
                     o.sample(labels, 1);
                 });
}

void framingFamilies(Exposition &out, const std::vector<MountReading> &mounts) {
    perMount(out, mounts, "velto_rtcm_frames_total", "counter",
             "RTCM 3 frames with a good CRC-24Q, by message number; numbers that RTCM 3 "
             "does not define are counted together as \"other\".",
             [](Exposition &o, const MountReading &r, const Labels &l) {
                 // A caster may send any of the 4096 numbers: one series each
                 // would let it grow the scrape, and the monitoring database
                 // behind it, without bound.
                 uint64_t other = 0;
                 bool anyOther = false;
                 for (const analysis::MessageTypeFacts &message : r.shot.analysis.messages) {
                     if (!analysis::isDefinedMessage(message.number)) {
                         other += message.count;
                         anyOther = true;
                         continue;
                     }
                     Labels labels = l;
                     labels.push_back({"message", std::to_string(message.number)});
                     o.sample(labels, (double)message.count);
                 }
                 if (anyOther) {
                     Labels labels = l;
                     labels.push_back({"message", "other"});
                     o.sample(labels, (double)other);
                 }
             });
    simple(out, mounts, "velto_rtcm_crc_rejects_total", "counter",
           "Frame starts whose frame failed the CRC-24Q.",
           [](const MountReading &r) { return (double)r.shot.analysis.framing.crcRejects; });
    simple(out, mounts, "velto_rtcm_cut_frames_total", "counter",
           "Frames left unfinished by a drop of the link.",
           [](const MountReading &r) { return (double)r.shot.analysis.framing.cutFrames; });
    simple(out, mounts, "velto_rtcm_outside_frames_bytes_total", "counter",
           "Bytes outside any RTCM 3 frame.",
           [](const MountReading &r) { return (double)r.shot.analysis.framing.bytesOutsideFrames; });
}

// A summary: quantiles 0, 0.95 and 1 (minimum, 95th percentile, maximum) of
// the last closed interval, sum and count over the run.
void latencySamples(Exposition &out, const MountReading &reading, const Labels &mount) {
    const analysis::LatencyFacts &latency = reading.shot.analysis.latency;
    bool any = reading.shot.analysis.hasInterval && latency.interval.count > 0;
    const std::pair<const char *, double> quantiles[] = {
        {"0", latency.interval.minMs}, {"0.95", latency.interval.p95Ms}, {"1", latency.interval.maxMs}};
    for (const auto &quantile : quantiles) {
        Labels labels = mount;
        labels.push_back({"quantile", quantile.first});
        out.sample(labels, any ? quantile.second / 1000 : NAN);
    }
    out.sample("_sum", mount, latency.run.meanMs * (double)latency.run.count / 1000);
    out.sample("_count", mount, (double)latency.run.count);
}

void analysisFamilies(Exposition &out, const std::vector<MountReading> &mounts) {
    perMount(out, mounts, "velto_rtcm_latency_seconds", "summary",
             "Receipt time minus epoch time of the observation epochs; quantiles over the last "
             "interval, sum and count over the run.",
             latencySamples);
    simple(out, mounts, "velto_rtcm_latency_flagged_total", "counter",
           "Epochs whose latency was beyond the limit, kept out of the latency summary.",
           [](const MountReading &r) { return (double)r.shot.analysis.latency.flagged; });
    simple(out, mounts, "velto_rtcm_outages_total", "counter",
           "Gaps in the data longer than the outage limit, one still going on included.",
           [](const MountReading &r) {
               return (double)(r.shot.analysis.outages.count + (r.shot.analysis.outages.open ? 1 : 0));
           });
    simple(out, mounts, "velto_rtcm_outage_seconds_total", "counter",
           "Time without data in outages, one still going on included.",
           [](const MountReading &r) { return outageSeconds(r.shot.analysis); });
}

void monitorFamilies(Exposition &out, const MonitorReading &monitor) {
    out.family("velto_monitor_event_streams", "gauge", "Open /events streams.");
    out.sample({}, (double)monitor.eventStreams);
    out.family("velto_monitor_event_streams_limit", "gauge",
               "Open /events streams allowed; more are answered 503.");
    out.sample({}, (double)monitor.eventStreamLimit);
    out.family("velto_monitor_events_dropped_total", "counter",
               "Messages dropped for event streams that did not keep up.");
    out.sample({}, (double)monitor.eventsDropped);
}

} // namespace

std::string metricsText(const std::vector<MountReading> &mounts, const MonitorReading &monitor) {
    Exposition out;
    sessionFamilies(out, mounts);
    framingFamilies(out, mounts);
    analysisFamilies(out, mounts);
    monitorFamilies(out, monitor);
    return out.take();
}
