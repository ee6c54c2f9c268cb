#include "analysis.h"

#include <math.h>
#include <time.h>

#include <algorithm>

#include "bit_reader.h"

namespace analysis {

namespace {

const int kMessageNumbers = 4096;
const size_t kMaxIntervalLatencies = 100000;

double roundedMs(double seconds) { return round(seconds * 1e6) / 1e3; }

// A serial number that becomes known (a 1008 after a 1007) is no change.
bool sameAntenna(const StationFacts &before, const StationFacts &now) {
    return before.antennaDescriptor == now.antennaDescriptor && before.antennaSetupId == now.antennaSetupId &&
           (!before.hasAntennaSerial || before.antennaSerial == now.antennaSerial);
}

bool sameReceiver(const StationFacts &a, const StationFacts &b) {
    return a.receiverType == b.receiverType && a.receiverFirmware == b.receiverFirmware &&
           a.receiverSerial == b.receiverSerial;
}

// An antenna height that becomes known (a 1006 after a 1005) is no change.
bool samePosition(const StationFacts &before, const StationFacts &now) {
    return before.xTenthMm == now.xTenthMm && before.yTenthMm == now.yTenthMm &&
           before.zTenthMm == now.zTenthMm && before.itrfYear == now.itrfYear &&
           (!before.hasAntennaHeight || before.antennaHeight == now.antennaHeight);
}

// The value below which 95 % of the values lie (nearest rank).
double percentile95(std::vector<double> values) {
    size_t rank = (size_t)ceil(0.95 * values.size());
    std::nth_element(values.begin(), values.begin() + (rank - 1), values.end());
    return values[rank - 1];
}

} // namespace

double unixNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (double)now.tv_sec + now.tv_nsec / 1e9;
}

StreamAnalysis::StreamAnalysis(const Options &options)
    : options_(options), scanner_(this), runCounts_(kMessageNumbers), intervalCounts_(kMessageNumbers) {
    for (int c = 0; c < kConstellations; ++c)
        constellations_[c].facts.constellation = (Constellation)c;
}

void StreamAnalysis::touch(double at) {
    if (!started_) {
        started_ = true;
        runStart_ = intervalStart_ = at;
    }
    now_ = at;
}

void StreamAnalysis::feed(const void *bytes, size_t count, double receivedAt) {
    if (count == 0)
        return;
    touch(receivedAt);
    if (hasData_ && receivedAt - lastData_ > options_.outageAfterSeconds) {
        Outage outage;
        outage.start = lastData_;
        outage.end = receivedAt;
        outage.seconds = receivedAt - lastData_;
        ++outages_.count;
        outages_.totalSeconds += outage.seconds;
        outages_.open = false;
        outages_.recent.push_back(outage);
        if (outages_.recent.size() > kRecentOutages)
            outages_.recent.erase(outages_.recent.begin());
        Event event;
        event.kind = kOutageEnded;
        event.time = receivedAt;
        event.outage = outage;
        pushEvent(event);
    }
    hasData_ = true;
    lastData_ = receivedAt;
    scanner_.feed(static_cast<const uint8_t *>(bytes), count);
    const StationFacts &s = station_;
    if (s.hasId && s.hasPosition && s.hasAntenna && s.hasReceiver)
        announceStation();
}

void StreamAnalysis::linkDropped(double at) {
    touch(at);
    scanner_.linkDropped();
}

void StreamAnalysis::rollInterval(double at) {
    touch(at);
    const FramingCounts &framing = scanner_.counts();
    hasClosedInterval_ = true;
    closedStart_ = intervalStart_;
    closedSeconds_ = at - intervalStart_;
    closedBytes_ = framing.bytes - intervalBytesAtStart_;
    closedFrames_ = framing.frames - intervalFramesAtStart_;
    closedCounts_.clear();
    for (int number : seenNumbers_) {
        if (intervalCounts_[number] != 0)
            closedCounts_.push_back(std::make_pair(number, intervalCounts_[number]));
        intervalCounts_[number] = 0;
    }

    closedLatency_ = LatencyStatistics();
    if (!intervalLatencies_.empty()) {
        const std::vector<double> &values = intervalLatencies_;
        double sum = 0;
        for (double value : values)
            sum += value;
        closedLatency_.count = values.size();
        closedLatency_.meanMs = sum / values.size();
        closedLatency_.minMs = *std::min_element(values.begin(), values.end());
        closedLatency_.maxMs = *std::max_element(values.begin(), values.end());
        closedLatency_.p95Ms = percentile95(values);
    }
    closedFlagged_ = intervalFlagged_;
    intervalLatencies_.clear();
    intervalFlagged_ = 0;
    intervalStart_ = at;
    intervalBytesAtStart_ = framing.bytes;
    intervalFramesAtStart_ = framing.frames;

    announceStation();
    releaseHeldChanges();

    if (hasData_ && !outages_.open && at - lastData_ > options_.outageAfterSeconds) {
        outages_.open = true;
        outages_.openSince = lastData_;
        Event event;
        event.kind = kOutageStarted;
        event.time = at;
        event.outage.start = lastData_;
        pushEvent(event);
    }
}

void StreamAnalysis::onFrame(const uint8_t *payload, size_t size) {
    int number = messageNumber(payload, size);
    if (number < 0)
        return; // an empty frame carries no message
    if (runCounts_[number]++ == 0)
        seenNumbers_.insert(std::upper_bound(seenNumbers_.begin(), seenNumbers_.end(), number), number);
    ++intervalCounts_[number];
    bool wellFormed = true;
    switch (messageFamily(number)) {
    case kStationPosition: {
        StationPosition position;
        wellFormed = decodeStationPosition(payload, size, &position);
        if (wellFormed)
            stationPosition(position);
        break;
    }
    case kDescriptors: {
        Descriptors found;
        wellFormed = decodeDescriptors(payload, size, &found);
        if (wellFormed)
            descriptors(found);
        break;
    }
    case kObservations: {
        ObservationHeader header;
        wellFormed = decodeObservationHeader(payload, size, &header);
        if (wellFormed)
            observation(header);
        break;
    }
    case kEphemeris: {
        EphemerisHeader header;
        wellFormed = decodeEphemeris(payload, size, &header);
        if (wellFormed)
            ephemeris(header);
        break;
    }
    case kOtherMessage:
        break;
    }
    if (!wellFormed)
        ++malformed_;
}

void StreamAnalysis::noteStationId(int id) {
    if (station_.hasId && station_.id == id)
        return;
    StationFacts before = station_;
    station_.hasId = true;
    station_.id = id;
    stationPart(kPartStationId, before.hasId, before);
}

void StreamAnalysis::stationPosition(const StationPosition &position) {
    noteStationId(position.stationId);
    StationFacts before = station_;
    StationFacts &s = station_;
    s.positionMessage = position.message;
    s.itrfYear = position.itrfYear;
    s.physicalStation = position.physicalStation;
    s.xTenthMm = position.x;
    s.yTenthMm = position.y;
    s.zTenthMm = position.z;
    // A 1005 says nothing about the antenna height a 1006 gave: keep it.
    if (position.hasAntennaHeight) {
        s.hasAntennaHeight = true;
        s.antennaHeight = position.antennaHeight / 1e4;
    }
    if (before.hasPosition && samePosition(before, s))
        return;
    s.hasPosition = true;
    s.x = position.x / 1e4;
    s.y = position.y / 1e4;
    s.z = position.z / 1e4;
    s.geodetic = wgs84FromEcef(s.x, s.y, s.z);
    stationPart(kPartPosition, before.hasPosition, before);
}

void StreamAnalysis::descriptors(const Descriptors &found) {
    noteStationId(found.stationId);
    StationFacts before = station_;
    StationFacts &s = station_;
    s.antennaDescriptor = found.antenna;
    s.antennaSetupId = found.setupId;
    // A 1007 carries no serial number: it neither sets nor clears one.
    if (found.hasAntennaSerial) {
        s.hasAntennaSerial = true;
        s.antennaSerial = found.antennaSerial;
    }
    if (!before.hasAntenna || !sameAntenna(before, s)) {
        s.hasAntenna = true;
        stationPart(kPartAntenna, before.hasAntenna, before);
        before = station_;
    }
    if (!found.hasReceiver)
        return;
    s.receiverType = found.receiverType;
    s.receiverFirmware = found.firmware;
    s.receiverSerial = found.receiverSerial;
    if (!before.hasReceiver || !sameReceiver(before, s)) {
        s.hasReceiver = true;
        stationPart(kPartReceiver, before.hasReceiver, before);
    }
}

// station_ holds the part as it is now; before, the station as it was.
void StreamAnalysis::stationPart(StationPart part, bool knownBefore, const StationFacts &before) {
    if (!knownBefore) {
        unannounced_[part] = true;
        return;
    }
    if (unannounced_[part])
        return; // not told yet: the announcement will carry the latest
    ChangeGate &gate = gates_[part];
    if (gate.toldThisInterval) {
        if (gate.held++ == 0)
            gate.before = before;
        return;
    }
    gate.toldThisInterval = true;
    Event event;
    event.kind = kStationChanged;
    event.time = now_;
    event.part = part;
    event.before = before;
    event.after = station_;
    pushEvent(event);
}

void StreamAnalysis::announceStation() {
    Event event;
    event.kind = kStationIdentified;
    event.time = now_;
    event.after = station_;
    for (int part = 0; part < kStationParts; ++part) {
        if (unannounced_[part])
            event.identified.push_back((StationPart)part);
        unannounced_[part] = false;
    }
    if (!event.identified.empty())
        pushEvent(event);
}

// At the end of an interval: the changes held back in it are told as one,
// which takes the place of the next interval's first.
void StreamAnalysis::releaseHeldChanges() {
    for (int part = 0; part < kStationParts; ++part) {
        ChangeGate &gate = gates_[part];
        gate.toldThisInterval = gate.held > 0;
        if (gate.held == 0)
            continue;
        Event event;
        event.kind = kStationChanged;
        event.time = now_;
        event.part = (StationPart)part;
        event.changes = gate.held;
        event.before = gate.before;
        event.after = station_;
        pushEvent(event);
        gate.held = 0;
    }
}

void StreamAnalysis::observation(const ObservationHeader &header) {
    noteStationId(header.stationId);
    ConstellationState &state = constellations_[header.constellation];
    ConstellationFacts &facts = state.facts;
    state.seen = true;
    std::vector<int> &numbers = facts.messageNumbers;
    if (std::find(numbers.begin(), numbers.end(), header.message) == numbers.end()) {
        numbers.push_back(header.message);
        std::sort(numbers.begin(), numbers.end());
    }
    if (!state.inEpoch || state.epochMs != header.epochMs)
        startEpoch(state, header);
    EpochFacts &epoch = facts.last;
    epoch.time = header;
    epoch.satelliteMask |= header.satelliteMask;
    epoch.signalMask |= header.signalMask;
    epoch.satellites = bitCount(epoch.satelliteMask);
    // Legacy messages name no signals, only how many they carry.
    int signals = bitCount(epoch.signalMask);
    epoch.signals = header.msmType == 0 && header.signals > signals ? header.signals : signals;
    epoch.cells += header.cells;
    ++epoch.messages;
    epoch.moreFollow = header.moreFollow;
    if (facts.epochs == 1)
        facts.first = epoch;
}

void StreamAnalysis::startEpoch(ConstellationState &state, const ObservationHeader &header) {
    state.inEpoch = true;
    state.epochMs = header.epochMs;
    ++state.facts.epochs;
    EpochFacts epoch;
    epoch.time = header;
    epoch.gpsPlace = gpsPlaceOfEpoch(header, options_.leapSeconds);
    epoch.receivedAt = now_;
    recordLatency(epoch);
    state.facts.last = epoch;
}

// Latency is taken at the first message of an epoch: the moment a rover
// could start using it.
void StreamAnalysis::recordLatency(EpochFacts &epoch) {
    double age = epochAgeSeconds(gpsSecondsFromUnix(now_, options_.leapSeconds), epoch.gpsPlace);
    epoch.latencyMs = roundedMs(age);
    epoch.latencyFlagged = fabs(age) > options_.latencyLimitSeconds;
    LatencyFacts &latency = latency_;
    if (epoch.latencyFlagged) {
        ++latency.flagged;
        ++intervalFlagged_;
        latency.hasLastFlagged = true;
        latency.lastFlaggedMs = epoch.latencyMs;
    } else {
        // Bounded for a consumer that never rolls an interval.
        if (intervalLatencies_.size() < kMaxIntervalLatencies)
            intervalLatencies_.push_back(epoch.latencyMs);
        LatencyStatistics &run = latency.run;
        run.minMs = run.count == 0 ? epoch.latencyMs : std::min(run.minMs, epoch.latencyMs);
        run.maxMs = run.count == 0 ? epoch.latencyMs : std::max(run.maxMs, epoch.latencyMs);
        ++run.count;
        runLatencySum_ += epoch.latencyMs;
        run.meanMs = runLatencySum_ / run.count;
        latency.hasLast = true;
        latency.lastMs = epoch.latencyMs;
    }
    latency.farFromClock = epoch.latencyFlagged;
    if (epoch.latencyFlagged != latencyOutOfRange_) {
        latencyOutOfRange_ = epoch.latencyFlagged;
        Event event;
        event.kind = epoch.latencyFlagged ? kLatencyFlagged : kLatencyNormal;
        event.time = now_;
        event.constellation = epoch.time.constellation;
        event.latencyMs = epoch.latencyMs;
        pushEvent(event);
    }
}

void StreamAnalysis::ephemeris(const EphemerisHeader &ephemeris) {
    ++ephemerides_[std::make_pair(ephemeris.message,
                                  satelliteName(ephemeris.constellation, ephemeris.satellite))];
}

void StreamAnalysis::pushEvent(const Event &event) {
    if (events_.size() >= kMaxQueuedEvents) {
        events_.pop_front();
        ++eventsDropped_;
    }
    events_.push_back(event);
}

std::vector<Event> StreamAnalysis::takeEvents() {
    std::vector<Event> taken(events_.begin(), events_.end());
    events_.clear();
    return taken;
}

std::vector<MessageTypeFacts> StreamAnalysis::messageFacts() const {
    std::vector<MessageTypeFacts> list;
    double runSeconds = now_ - runStart_;
    for (int number : seenNumbers_) {
        MessageTypeFacts type;
        type.number = number;
        type.count = runCounts_[number];
        type.rateHz = runSeconds > 0 ? type.count / runSeconds : 0;
        list.push_back(type);
    }
    // Both lists ascend by message number, and every closed one was seen.
    size_t next = 0;
    for (const auto &closed : closedCounts_) {
        while (list[next].number != closed.first)
            ++next;
        list[next].intervalCount = closed.second;
        list[next].intervalRateHz = closedSeconds_ > 0 ? closed.second / closedSeconds_ : 0;
    }
    return list;
}

Facts StreamAnalysis::snapshot() const {
    Facts facts;
    facts.options = options_;
    facts.started = started_;
    facts.runStart = runStart_;
    facts.now = now_;
    facts.hasInterval = hasClosedInterval_;
    facts.intervalStart = closedStart_;
    facts.intervalSeconds = closedSeconds_;
    facts.intervalBytes = closedBytes_;
    facts.intervalFrames = closedFrames_;
    facts.framing = scanner_.counts();
    facts.heldBytes = scanner_.heldBytes();
    facts.malformed = malformed_;
    facts.messages = messageFacts();
    facts.station = station_;
    for (const ConstellationState &state : constellations_)
        if (state.seen)
            facts.observations.push_back(state.facts);
    for (const auto &entry : ephemerides_) {
        int message = entry.first.first;
        if (facts.ephemerides.empty() || facts.ephemerides.back().message != message) {
            EphemerisFacts ephemeris;
            ephemeris.message = message;
            ephemeris.constellation = ephemerisConstellation(message);
            facts.ephemerides.push_back(ephemeris);
        }
        facts.ephemerides.back().satellites.push_back(std::make_pair(entry.first.second, entry.second));
    }
    facts.latency = latency_;
    facts.latency.interval = closedLatency_;
    facts.latency.intervalFlagged = closedFlagged_;
    facts.outages = outages_;
    return facts;
}

} // namespace analysis
