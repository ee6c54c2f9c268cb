#include "analysis_json.h"

#include <math.h>

namespace analysis {

namespace {

using nlohmann::json;

// Times to the millisecond and lengths to the microsecond are all a monitor
// can vouch for; rounding also keeps the printed numbers short.
// Dividing by an exact power of ten gives the double nearest the decimal,
// which prints as that decimal.
double roundTo(double value, int decimals) {
    double scale = pow(10.0, decimals);
    return round(value * scale) / scale;
}
json timeOf(double unixSeconds) { return roundTo(unixSeconds, 3); }
json milliseconds(double ms) { return roundTo(ms, 3); }
json rate(double hz) { return roundTo(hz, 4); }

json epochJson(const EpochFacts &epoch) {
    json j;
    const ObservationHeader &time = epoch.time;
    if (time.constellation == kGlonass) {
        j["day_of_week"] = time.dayOfWeek >= 0 ? json(time.dayOfWeek) : json(nullptr);
        j["time_of_day_s"] = time.epochMs / 1000.0;
    } else {
        j["tow_s"] = time.epochMs / 1000.0;
    }
    bool placedInWeek = epoch.gpsPlace.period == kSecondsPerWeek;
    j["gps_tow_s"] = placedInWeek ? json(roundTo(epoch.gpsPlace.seconds, 3)) : json(nullptr);
    j["satellites"] = epoch.satellites;
    j["signals"] = epoch.signals;
    j["cells"] = epoch.cells;
    j["messages"] = epoch.messages;
    j["multiple_message"] = epoch.moreFollow;
    j["received"] = timeOf(epoch.receivedAt);
    j["latency_ms"] = milliseconds(epoch.latencyMs);
    j["latency_flagged"] = epoch.latencyFlagged;
    return j;
}

json observationsJson(const std::vector<ConstellationFacts> &observations) {
    json j = json::object();
    for (const ConstellationFacts &facts : observations) {
        json c;
        c["epochs"] = facts.epochs;
        c["messages"] = facts.messageNumbers;
        c["first_epoch"] = epochJson(facts.first);
        c["last_epoch"] = epochJson(facts.last);
        j[constellationName(facts.constellation)] = c;
    }
    return j;
}

json positionJson(const StationFacts &s) {
    if (!s.hasPosition)
        return nullptr;
    json j;
    j["message"] = s.positionMessage;
    j["itrf_year"] = s.itrfYear;
    j["physical_station"] = s.physicalStation;
    j["ecef_m"] = {{"x", s.x}, {"y", s.y}, {"z", s.z}};
    j["latitude_deg"] = roundTo(s.geodetic.latitudeDeg, 9);
    j["longitude_deg"] = roundTo(s.geodetic.longitudeDeg, 9);
    j["height_m"] = roundTo(s.geodetic.heightM, 4);
    j["antenna_height_m"] = s.hasAntennaHeight ? json(s.antennaHeight) : json(nullptr);
    return j;
}

json antennaJson(const StationFacts &s) {
    if (!s.hasAntenna)
        return nullptr;
    return {{"descriptor", s.antennaDescriptor},
            {"setup_id", s.antennaSetupId},
            {"serial", s.hasAntennaSerial ? json(s.antennaSerial) : json(nullptr)}};
}

json receiverJson(const StationFacts &s) {
    if (!s.hasReceiver)
        return nullptr;
    return {{"type", s.receiverType}, {"firmware", s.receiverFirmware}, {"serial", s.receiverSerial}};
}

json stationJson(const StationFacts &s) {
    json j;
    j["id"] = s.hasId ? json(s.id) : json(nullptr);
    j["position"] = positionJson(s);
    j["antenna"] = antennaJson(s);
    j["receiver"] = receiverJson(s);
    return j;
}

json statisticsJson(const LatencyStatistics &statistics, bool withP95) {
    json j;
    j["count"] = statistics.count;
    bool any = statistics.count > 0;
    j["mean_ms"] = any ? milliseconds(statistics.meanMs) : json(nullptr);
    j["min_ms"] = any ? milliseconds(statistics.minMs) : json(nullptr);
    j["max_ms"] = any ? milliseconds(statistics.maxMs) : json(nullptr);
    if (withP95)
        j["p95_ms"] = any ? milliseconds(statistics.p95Ms) : json(nullptr);
    return j;
}

json latencyJson(const Facts &facts) {
    const LatencyFacts &latency = facts.latency;
    json j;
    j["last_ms"] = latency.hasLast ? milliseconds(latency.lastMs) : json(nullptr);
    j["flagged"] = latency.flagged;
    j["last_flagged_ms"] = latency.hasLastFlagged ? milliseconds(latency.lastFlaggedMs) : json(nullptr);
    j["far_from_clock"] = latency.farFromClock;
    j["limit_ms"] = facts.options.latencyLimitSeconds * 1000;
    j["leap_seconds"] = facts.options.leapSeconds;
    json interval = statisticsJson(latency.interval, true);
    interval["flagged"] = latency.intervalFlagged;
    j["interval"] = facts.hasInterval ? interval : json(nullptr);
    j["run"] = statisticsJson(latency.run, false);
    return j;
}

json outageJson(const Outage &outage) {
    return {{"start", timeOf(outage.start)}, {"end", timeOf(outage.end)},
            {"seconds", roundTo(outage.seconds, 3)}};
}

json outagesJson(const Facts &facts) {
    const OutageFacts &outages = facts.outages;
    json j;
    j["count"] = outages.count;
    j["total_seconds"] = roundTo(outages.totalSeconds, 3);
    j["open_since"] = outages.open ? timeOf(outages.openSince) : json(nullptr);
    j["threshold_seconds"] = facts.options.outageAfterSeconds;
    j["recent"] = json::array();
    for (const Outage &outage : outages.recent)
        j["recent"].push_back(outageJson(outage));
    return j;
}

json framingJson(const Facts &facts) {
    const FramingCounts &f = facts.framing;
    return {{"bytes", f.bytes},
            {"frames", f.frames},
            {"frame_bytes", f.frameBytes},
            {"crc_rejects", f.crcRejects},
            {"bytes_outside_frames", f.bytesOutsideFrames},
            {"cut_frames", f.cutFrames},
            {"cut_bytes", f.cutBytes},
            {"link_drops", f.linkDrops},
            {"held_bytes", facts.heldBytes},
            {"malformed_messages", facts.malformed}};
}

json messagesJson(const Facts &facts) {
    json list = json::array();
    for (const MessageTypeFacts &type : facts.messages)
        list.push_back({{"type", type.number},
                        {"count", type.count},
                        {"rate_hz", rate(type.rateHz)},
                        {"interval_count", type.intervalCount},
                        {"interval_rate_hz", rate(type.intervalRateHz)}});
    return list;
}

json ephemeridesJson(const Facts &facts) {
    json list = json::array();
    for (const EphemerisFacts &ephemeris : facts.ephemerides) {
        json satellites = json::object();
        for (const auto &satellite : ephemeris.satellites)
            satellites[satellite.first] = satellite.second;
        list.push_back({{"type", ephemeris.message},
                        {"constellation", constellationName(ephemeris.constellation)},
                        {"satellites", satellites}});
    }
    return list;
}

const char *partName(StationPart part) {
    switch (part) {
    case kPartStationId: return "id";
    case kPartPosition: return "position";
    case kPartAntenna: return "antenna";
    case kPartReceiver: return "receiver";
    }
    return "?";
}

json stationPartJson(StationPart part, const StationFacts &s) {
    switch (part) {
    case kPartStationId: return s.hasId ? json(s.id) : json(nullptr);
    case kPartPosition: return positionJson(s);
    case kPartAntenna: return antennaJson(s);
    case kPartReceiver: return receiverJson(s);
    }
    return nullptr;
}

} // namespace

json toJson(const Facts &facts) {
    json j;
    j["time"] = facts.started ? timeOf(facts.now) : json(nullptr);
    j["run"] = {{"start", facts.started ? timeOf(facts.runStart) : json(nullptr)},
                {"seconds", roundTo(facts.now - facts.runStart, 3)}};
    j["interval"] = facts.hasInterval ? json{{"start", timeOf(facts.intervalStart)},
                                             {"seconds", roundTo(facts.intervalSeconds, 3)},
                                             {"bytes", facts.intervalBytes},
                                             {"frames", facts.intervalFrames}}
                                      : json(nullptr);
    j["framing"] = framingJson(facts);
    j["messages"] = messagesJson(facts);
    j["station"] = stationJson(facts.station);
    j["observations"] = observationsJson(facts.observations);
    j["ephemerides"] = ephemeridesJson(facts);
    j["latency"] = latencyJson(facts);
    j["outages"] = outagesJson(facts);
    return j;
}

json toJson(const Event &event) {
    json j;
    j["time"] = timeOf(event.time);
    switch (event.kind) {
    case kStationChanged:
        j["event"] = "station_changed";
        j["part"] = partName(event.part);
        j["from"] = stationPartJson(event.part, event.before);
        j["to"] = stationPartJson(event.part, event.after);
        j["changes"] = event.changes;
        break;
    case kStationIdentified: {
        j["event"] = "station";
        json parts = json::array();
        for (StationPart part : event.identified)
            parts.push_back(partName(part));
        j["identified"] = parts;
        j["station"] = stationJson(event.after);
        break;
    }
    case kOutageStarted:
        j["event"] = "outage_started";
        j["since"] = timeOf(event.outage.start);
        break;
    case kOutageEnded:
        j["event"] = "outage_ended";
        j["outage"] = outageJson(event.outage);
        break;
    case kLatencyFlagged:
    case kLatencyNormal:
        j["event"] = event.kind == kLatencyFlagged ? "latency_flagged" : "latency_normal";
        j["constellation"] = constellationName(event.constellation);
        j["latency_ms"] = milliseconds(event.latencyMs);
        break;
    }
    return j;
}

std::string jsonLine(const json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace analysis
