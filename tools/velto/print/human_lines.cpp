#include "print/human_lines.h"

#include <math.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>

#include "display.h"

using events::json;

namespace {

std::string formatBytes(double bytes) {
    char text[32];
    if (bytes < 10000)
        snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 10e6)
        snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
    else
        snprintf(text, sizeof text, "%.2f MB", bytes / 1e6);
    return text;
}

std::string formatSeconds(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string words(const std::string &name) {
    std::string text = name;
    for (char &c : text)
        if (c == '_')
            c = ' ';
    return text;
}

// "1005 1074 1084" or "1005x3 1074x30"; "-" when no frame was seen.
std::string messageTypes(const json &rtcm, bool withCounts) {
    std::string text;
    for (const json &type : rtcm["messages"]) {
        text += (text.empty() ? "" : " ") + std::to_string(type["type"].get<int>());
        if (withCounts)
            text += "x" + std::to_string(type["count"].get<unsigned long long>());
    }
    return text.empty() ? "-" : text;
}

std::string milliseconds(const json &value) {
    char text[32];
    snprintf(text, sizeof text, "%.0f ms", value.get<double>());
    return text;
}

// "2.8 days", "15 min", "75 s": how far an epoch lies from the clock.
std::string spanText(double seconds) {
    char text[32];
    seconds = fabs(seconds);
    if (seconds < 120)
        snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds < 2 * 3600)
        snprintf(text, sizeof text, "%.0f min", seconds / 60);
    else if (seconds < 48 * 3600)
        snprintf(text, sizeof text, "%.1f h", seconds / 3600);
    else
        snprintf(text, sizeof text, "%.1f days", seconds / 86400);
    return text;
}

// An epoch too far from the clock to be a latency: "epoch 2.8 days behind
// the clock" (received long after its time) or "... ahead of the clock".
std::string farEpochText(double latencyMs) {
    return "epoch " + spanText(latencyMs / 1000) + (latencyMs >= 0 ? " behind" : " ahead of") + " the clock";
}

// "latency 12 ms" (the last epoch's), "epoch 2.8 days behind the clock"
// while the epochs are far from it, or "" before the first epoch.
std::string latencyText(const json &rtcm) {
    const json &latency = rtcm["latency"];
    if (latency.value("far_from_clock", false) && !latency["last_flagged_ms"].is_null())
        return farEpochText(latency["last_flagged_ms"].get<double>());
    const json &last = latency["last_ms"];
    return last.is_null() ? "" : "latency " + milliseconds(last);
}

// "next attempt in 12 s", "next attempt in ~12 s (estimate)", or "".
std::string nextAttempt(const json &stats) {
    if (stats["next_attempt_in_s"].is_null())
        return "";
    double seconds = stats["next_attempt_in_s"].get<double>();
    bool estimated = stats["next_attempt_estimated"].get<bool>();
    char text[80];
    if (estimated && seconds <= 0)
        snprintf(text, sizeof text, "next attempt under way (estimate)");
    else
        snprintf(text, sizeof text, estimated ? "next attempt in ~%.0f s (estimate)" : "next attempt in %.0f s",
                 seconds);
    return text;
}

std::string statusWords(const json &summary) {
    bool refusedAtStart = summary["ending"] == "refused_at_start";
    std::string text;
    for (int status : summary["statuses"].get<std::vector<int>>())
        text += (text.empty() ? "" : ", ") + std::string(statusMeaning(status, refusedAtStart));
    return text.empty() ? "none" : text;
}

} // namespace

void HumanLines::line(const std::string &text) {
    clearLive();
    fprintf(to_, "%s\n", text.c_str());
    fflush(to_);
}

void HumanLines::error(const std::string &text) { line("velto: " + text); }

namespace {

std::string count(const json &value) { return std::to_string(value.get<unsigned long long>()); }

// "velto: 2026-05-01T12:00:05.312Z [   5.3 s] MOUNT: "
std::string prefix(const json &event) {
    char when[96];
    snprintf(when, sizeof when, "velto: %s [%6.1f s] ", event["time"].get<std::string>().c_str(),
             event["elapsed_s"].get<double>());
    return when + display::escaped(event["mount"]) + ": ";
}

std::string startText(const json &event) {
    std::string output = event["output"].is_null() ? std::string("nowhere (counted only)")
                         : event["output"] == "-"   ? std::string("standard output")
                                                    : display::escaped(event["output"]);
    return "velto: streaming " + display::escaped(event["mount"]) + " from " +
           event["caster"].get<std::string>() + " as client " + count(event["client"]) + " to " +
           output;
}

std::string statusText(const json &event) {
    std::string text = prefix(event) + "status " + std::to_string(event["status"].get<int>()) +
                       ": " + event["text"].get<std::string>();
    if (!event["next_attempt_in_s"].is_null())
        text += "; next attempt in " + count(event["next_attempt_in_s"]) + " s";
    return text;
}

std::string offeredText(const json &event) {
    size_t total = event["total"], shown = event["mount_points"].size();
    bool complete = event.value("complete", true);
    std::string cut = complete ? "" : "source table too large or endless; ";
    if (total == 0)
        return prefix(event) + cut +
               (complete ? "the caster's source table lists no mount point" : "no mount point in it so far");
    std::string list;
    for (const auto &name : event["mount_points"])
        list += (list.empty() ? "" : ", ") + display::escaped(name);
    if (total > shown)
        list += ", and " + std::to_string(total - shown) + " more";
    return prefix(event) + cut + (complete ? "the caster offers " : "of the first names it sent: ") + list +
           " (closest first)";
}

std::string statsText(const json &event) {
    const json &rtcm = event["rtcm"];
    std::string text = prefix(event) + event["text"].get<std::string>() + ", " +
                       formatBytes(event["bytes"]) + ", " + formatBytes(event["bytes_per_s"]) +
                       "/s, " + count(event["connections"]) + " connection(s), " +
                       count(rtcm["framing"]["frames"]) + " RTCM frames";
    const json &interval = rtcm["latency"]["interval"];
    if (!interval.is_null() && interval["count"].get<unsigned long long>() > 0)
        text += ", latency mean " + milliseconds(interval["mean_ms"]) + ", p95 " +
                milliseconds(interval["p95_ms"]);
    if (rtcm["latency"].value("far_from_clock", false))
        text += ", " + latencyText(rtcm);
    std::string next = nextAttempt(event);
    return next.empty() ? text : text + ", " + next;
}

// Descriptor fields joined with ", ", each with its label; empty ones (a
// station that leaves its firmware or serial number blank) are left out.
std::string fields(const std::vector<std::pair<const char *, json>> &labelled) {
    std::string text;
    for (const auto &field : labelled) {
        if (field.second.is_null() || !field.second.is_string() || field.second.get<std::string>().empty())
            continue;
        text += (text.empty() ? "" : ", ") + std::string(field.first) + display::escaped(field.second);
    }
    return text;
}

// One part of the station in words: "ID 611", "position 52.3792975,
// 13.0660916, 144.385 m (from 1005)", "antenna TRM59800.00 SCIS, serial
// 5000112", "receiver TRIMBLE NETR9, firmware 4.85".
std::string stationPartText(const std::string &part, const json &value) {
    if (value.is_null())
        return part + " not given";
    if (part == "id")
        return "ID " + std::to_string(value.get<int>());
    if (part == "position") {
        char text[96];
        snprintf(text, sizeof text, "position %.7f, %.7f, %.3f m (from %d)",
                 value["latitude_deg"].get<double>(), value["longitude_deg"].get<double>(),
                 value["height_m"].get<double>(), value["message"].get<int>());
        return text;
    }
    std::string described =
        part == "antenna" ? fields({{"", value["descriptor"]}, {"serial ", value["serial"]}})
                          : fields({{"", value["type"]}, {"firmware ", value["firmware"]},
                                    {"serial ", value["serial"]}});
    return part + (described.empty() ? " without a descriptor" : " " + described);
}

std::string stationText(const json &event) {
    std::string text;
    for (const json &part : event["identified"])
        text += (text.empty() ? "" : "; ") +
                stationPartText(part.get<std::string>(), event["station"][part.get<std::string>()]);
    return "station " + text;
}

std::string stationChangedText(const json &event) {
    std::string part = event["part"];
    std::string text = "station changed: " + stationPartText(part, event["to"]);
    unsigned long long changes = event.value("changes", 1ull);
    if (changes > 1)
        text += " (" + std::to_string(changes) + " changes of the " + part + " since the last one told)";
    return text;
}

// What the stream analysis noticed, in words; "" for nothing to say.
std::string noticedText(const json &event) {
    const std::string kind = event["event"];
    if (kind == "station")
        return prefix(event) + stationText(event);
    if (kind == "station_changed")
        return prefix(event) + stationChangedText(event);
    if (kind == "outage_started") {
        auto since = std::chrono::duration_cast<WallClock::duration>(
            std::chrono::duration<double>(event["since"].get<double>()));
        return prefix(event) + "outage: no data since " +
               display::utcTimestamp(WallClock::time_point(since));
    }
    if (kind == "outage_ended")
        return prefix(event) + "data again after an outage of " +
               formatSeconds(event["outage"]["seconds"]);
    if (kind == "latency_flagged")
        return prefix(event) + event["constellation"].get<std::string>() + " " +
               farEpochText(event["latency_ms"].get<double>()) +
               ": replayed data or a wrong receiver clock; kept out of the latency figures";
    if (kind == "latency_normal")
        return prefix(event) + event["constellation"].get<std::string>() +
               " epochs near the clock again: latency " + milliseconds(event["latency_ms"]);
    return "";
}

// "streaming until stopped at 45.0 s", "mount point not found; stopped at
// 0.0 s": how the mount point ended, and when it stopped, which for a
// refusal is long before the run ends.
std::string endingText(const json &event) {
    const json &stopped = event["stopped_s"];
    std::string at = formatSeconds(stopped.is_null() ? event["elapsed_s"] : stopped);
    if (event["ending"] == "streaming")
        return "streaming until stopped at " + at;
    std::string meaning = event.contains("ending_text") ? event["ending_text"].get<std::string>()
                                                        : words(event["ending"]);
    return meaning + "; stopped at " + at;
}

std::vector<std::string> summaryText(const json &event) {
    std::string mount = "velto: " + display::escaped(event["mount"]) + ": ";
    const json &rtcm = event["rtcm"];
    return {mount + endingText(event) + ", " + count(event["connections"]) + " connection(s), " +
                formatSeconds(event["streaming_s"]) + " streaming",
            mount + count(event["bytes"]) + " bytes in " + count(event["blocks"]) + " blocks; " +
                count(rtcm["framing"]["frames"]) + " RTCM frames (" + messageTypes(rtcm, true) +
                "), " + count(rtcm["framing"]["crc_rejects"]) + " rejected, " +
                count(rtcm["framing"]["cut_frames"]) + " cut by a drop",
            mount + "status changes: " + statusWords(event)};
}

} // namespace

void HumanLines::show(const json &event) {
    const std::string kind = event["event"];
    const bool quiet = verbosity_ == Verbosity::Quiet;
    if (kind == "start" && !quiet)
        line(startText(event));
    else if (kind == "status" && !(quiet && event["status"].get<int>() >= 0))
        line(statusText(event));
    else if (kind == "offered")
        line(offeredText(event));
    else if (kind == "output_failed")
        line(prefix(event) + "writing the output failed: " + event["error"].get<std::string>());
    else if (!quiet && !noticedText(event).empty())
        line(noticedText(event));
    else if (kind == "stats" && verbosity_ == Verbosity::Verbose)
        line(statsText(event));
    else if (kind == "summary")
        for (const std::string &text : summaryText(event))
            line(text);
    else if (kind == "exit")
        line("velto: stopped (" + event["reason"].get<std::string>() + ") after " +
             formatSeconds(event["elapsed_s"]) + ", exit status " +
             std::to_string(event["exit_status"].get<int>()));
}

std::string HumanLines::liveText(const std::vector<json> &stats, double bytesPerSecond) const {
    double bytes = 0;
    std::string soonest;
    double soonestSeconds = 1e18;
    std::map<std::string, int> byStatus;
    for (const json &shot : stats) {
        bytes += shot["bytes"].get<double>();
        byStatus[shot["text"].get<std::string>()] += 1;
        if (!shot["next_attempt_in_s"].is_null() && shot["next_attempt_in_s"].get<double>() < soonestSeconds) {
            soonestSeconds = shot["next_attempt_in_s"];
            soonest = nextAttempt(shot);
        }
    }
    std::string text;
    if (stats.size() == 1) {
        const json &shot = stats[0];
        std::string since = shot["last_block_age_s"].is_null()
                                ? std::string("-")
                                : formatSeconds(shot["last_block_age_s"]);
        text = shot["text"].get<std::string>() + " | " + formatBytes(bytes) + " | " +
               formatBytes(bytesPerSecond) + "/s | last block " + since + " ago | " +
               std::to_string(shot["rtcm"]["framing"]["frames"].get<unsigned long long>()) +
               " frames, RTCM " + messageTypes(shot["rtcm"], false);
        std::string latency = latencyText(shot["rtcm"]);
        if (!latency.empty())
            text += " | " + latency;
    } else {
        text = std::to_string(stats.size()) + " mount points:";
        const char *separator = " ";
        for (const auto &entry : byStatus) {
            text += separator + std::to_string(entry.second) + " " + entry.first;
            separator = ", ";
        }
        text += " | " + formatBytes(bytes) + " | " + formatBytes(bytesPerSecond) + "/s";
    }
    return soonest.empty() ? text : text + " | " + soonest;
}

void HumanLines::drawLive(const std::vector<json> &stats, double bytesPerSecond) {
    if (!live_ || stats.empty())
        return;
    std::string text = liveText(stats, bytesPerSecond);
    winsize size;
    if (ioctl(fileno(to_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && text.size() >= size.ws_col)
        text.resize(size.ws_col - 1); // a wrapped line could not be redrawn in place
    fprintf(to_, "\r\033[K%s", text.c_str());
    fflush(to_);
    drawn_ = true;
}

void HumanLines::clearLive() {
    if (drawn_)
        fputs("\r\033[K", to_);
    drawn_ = false;
}
