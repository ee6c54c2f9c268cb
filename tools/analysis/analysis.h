// What is in an RTCM 3 correction stream, one mount point at a time: framing,
// message types and their rates, the reference station and its equipment,
// observation epochs per constellation, ephemerides, latency and outages.
//
// The analysis is fed blocks as they arrive, with the time each arrived,
// and turns them into facts; it prints nothing. The live line, the JSON
// events and the web page all read the same facts (see analysis_json.h).
//
//   analysis::StreamAnalysis stream;                  // one per mount point
//   stream.feed(bytes, count, analysis::unixNow());   // every block received
//   stream.linkDropped(analysis::unixNow());          // the connection was lost
//   stream.rollInterval(analysis::unixNow());         // every few seconds
//   analysis::Facts facts = stream.snapshot();
//   for (const analysis::Event &event : stream.takeEvents()) ...
//
// Times are POSIX seconds (UTC, seconds since 1970) as doubles, taken as an
// input so that tests fix the clock. An instance is not thread-safe: calls
// on one instance must not overlap.
#ifndef VELTO_ANALYSIS_ANALYSIS_H
#define VELTO_ANALYSIS_ANALYSIS_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "frame_scanner.h"
#include "gnss.h"
#include "messages.h"

namespace analysis {

struct Options {
    int leapSeconds = kDefaultLeapSeconds; // GPS minus UTC
    double outageAfterSeconds = 10;        // a gap in the data longer than this is an outage
    // An epoch further than this from the clock, either way, is not a
    // latency: a replayed recording, or a receiver with a wrong clock. It is
    // flagged and kept out of the latency figures.
    double latencyLimitSeconds = 60;
};

// The system clock as POSIX seconds.
double unixNow();

struct MessageTypeFacts {
    int number = 0;
    uint64_t count = 0;          // whole run
    double rateHz = 0;           // whole run; 0 while the run has no length
    uint64_t intervalCount = 0;  // last closed interval
    double intervalRateHz = 0;
};

struct StationFacts {
    bool hasId = false;
    int id = 0;
    bool hasPosition = false;
    int positionMessage = 0; // 1005 or 1006
    int itrfYear = 0;
    bool physicalStation = true;
    int64_t xTenthMm = 0, yTenthMm = 0, zTenthMm = 0;
    double x = 0, y = 0, z = 0; // metres, ECEF
    Geodetic geodetic = {0, 0, 0};
    bool hasAntennaHeight = false;
    double antennaHeight = 0; // metres
    bool hasAntenna = false;  // from 1007, 1008 or 1033
    std::string antennaDescriptor;
    int antennaSetupId = 0;
    bool hasAntennaSerial = false;
    std::string antennaSerial;
    bool hasReceiver = false; // from 1033
    std::string receiverType;
    std::string receiverFirmware;
    std::string receiverSerial;
};

// One observation epoch of one constellation, gathered from all of its
// messages (an epoch may span several, and legacy and MSM messages of the
// same time count as the same epoch).
struct EpochFacts {
    ObservationHeader time;      // epoch fields as the last message gave them
    GpsPlace gpsPlace = {0, 0};  // the epoch in GPS time (seconds of week or day)
    uint64_t satelliteMask = 0;
    uint32_t signalMask = 0;
    int satellites = 0;
    int signals = 0;
    int cells = 0;
    int messages = 0;
    bool moreFollow = false;     // the multiple-message flag of its last message
    double receivedAt = 0;       // arrival of its first message
    double latencyMs = 0;        // receivedAt minus the epoch time
    bool latencyFlagged = false; // beyond the limit: kept out of the statistics
};

struct ConstellationFacts {
    Constellation constellation = kGps;
    uint64_t epochs = 0;
    std::vector<int> messageNumbers; // observation messages seen, ascending
    EpochFacts first;
    EpochFacts last;
};

struct LatencyStatistics {
    uint64_t count = 0;
    double meanMs = 0, minMs = 0, maxMs = 0;
    double p95Ms = 0; // for an interval only
};

struct LatencyFacts {
    LatencyStatistics interval; // last closed interval
    LatencyStatistics run;
    uint64_t flagged = 0;
    uint64_t intervalFlagged = 0;
    bool hasLast = false;
    double lastMs = 0;
    bool hasLastFlagged = false;
    double lastFlaggedMs = 0;
    bool farFromClock = false; // the latest epoch was beyond the limit
};

struct Outage {
    double start = 0; // the last data before the gap
    double end = 0;   // the first data after it
    double seconds = 0;
};

struct OutageFacts {
    uint64_t count = 0;
    double totalSeconds = 0;
    bool open = false; // no data for longer than the limit, still now
    double openSince = 0;
    std::vector<Outage> recent; // the latest, oldest first
};

struct EphemerisFacts {
    int message = 0;
    Constellation constellation = kGps;
    std::vector<std::pair<std::string, uint64_t>> satellites; // name, count; ascending
};

struct Facts {
    Options options;
    bool started = false;  // anything fed, dropped or rolled yet
    double runStart = 0;   // first call
    double now = 0;        // latest time given to any call
    bool hasInterval = false;
    double intervalStart = 0, intervalSeconds = 0; // last closed interval
    uint64_t intervalBytes = 0, intervalFrames = 0;
    FramingCounts framing;
    uint64_t heldBytes = 0;  // an unfinished frame waiting for its rest
    uint64_t malformed = 0;  // good CRC, but shorter than its own fields say
    std::vector<MessageTypeFacts> messages; // ascending message number
    StationFacts station;
    std::vector<ConstellationFacts> observations; // constellations seen, in Constellation order
    std::vector<EphemerisFacts> ephemerides;      // ascending message number
    LatencyFacts latency;
    OutageFacts outages;
};

enum EventKind {
    kStationChanged,  // the known station part `part` changed
    kStationIdentified, // station parts seen for the first time: `identified`
    kOutageStarted,   // no data for longer than the limit (seen at an interval roll)
    kOutageEnded,     // data again after an outage
    kLatencyFlagged,  // latency went beyond the limit
    kLatencyNormal,   // and came back within it
};

enum StationPart { kPartStationId, kPartPosition, kPartAntenna, kPartReceiver };
const int kStationParts = 4;

struct Event {
    EventKind kind = kStationChanged;
    double time = 0; // the receipt or roll time that revealed it
    StationPart part = kPartStationId;       // kStationChanged
    uint64_t changes = 1;                    // kStationChanged: changes it stands for
    std::vector<StationPart> identified;     // kStationIdentified, in StationPart order
    StationFacts before;     // station events: the station before and after
    StationFacts after;
    Outage outage;           // outage events (end and seconds 0 while open)
    Constellation constellation = kGps; // latency events
    double latencyMs = 0;
};

class StreamAnalysis : private FrameSink {
public:
    explicit StreamAnalysis(const Options &options = Options());
    // The frame scanner inside calls back into this very object.
    StreamAnalysis(const StreamAnalysis &) = delete;
    StreamAnalysis &operator=(const StreamAnalysis &) = delete;

    // A block of stream bytes as received at receivedAt.
    void feed(const void *bytes, size_t count, double receivedAt);
    // The connection was lost: an unfinished frame is counted as cut.
    void linkDropped(double at);
    // Closes the current interval: its counts, rates and latency statistics
    // become the "last interval" of the facts. An outage that is still
    // going on is noticed here.
    void rollInterval(double at);

    Facts snapshot() const;
    // Events since the last call, oldest first. At most kMaxQueuedEvents are
    // kept between calls; older ones are dropped and counted.
    std::vector<Event> takeEvents();
    uint64_t eventsDropped() const { return eventsDropped_; }

    static const size_t kMaxQueuedEvents = 1000;
    static const size_t kRecentOutages = 20;

private:
    struct ConstellationState {
        bool seen = false;
        bool inEpoch = false;
        uint32_t epochMs = 0;
        ConstellationFacts facts;
    };

    void onFrame(const uint8_t *payload, size_t size) override;
    void touch(double at);
    void noteStationId(int id);
    void stationPosition(const StationPosition &position);
    void descriptors(const Descriptors &descriptors);
    void observation(const ObservationHeader &header);
    void startEpoch(ConstellationState &state, const ObservationHeader &header);
    void recordLatency(EpochFacts &epoch);
    void ephemeris(const EphemerisHeader &ephemeris);
    void stationPart(StationPart part, bool knownBefore, const StationFacts &before);
    void announceStation();
    void releaseHeldChanges();
    void pushEvent(const Event &event);
    std::vector<MessageTypeFacts> messageFacts() const;

    Options options_;
    FrameScanner scanner_;
    double now_ = 0;
    bool started_ = false;
    double runStart_ = 0;
    bool hasData_ = false;
    double lastData_ = 0;

    std::vector<uint64_t> runCounts_;      // by message number
    std::vector<uint64_t> intervalCounts_; // current interval
    std::vector<int> seenNumbers_;         // message numbers counted, ascending
    uint64_t intervalBytesAtStart_ = 0, intervalFramesAtStart_ = 0;
    double intervalStart_ = 0;
    uint64_t malformed_ = 0;

    // The last closed interval.
    bool hasClosedInterval_ = false;
    double closedStart_ = 0, closedSeconds_ = 0;
    uint64_t closedBytes_ = 0, closedFrames_ = 0;
    std::vector<std::pair<int, uint64_t>> closedCounts_;
    LatencyStatistics closedLatency_;
    uint64_t closedFlagged_ = 0;

    StationFacts station_;
    ConstellationState constellations_[kConstellations];
    std::map<std::pair<int, std::string>, uint64_t> ephemerides_; // (message, satellite)

    std::vector<double> intervalLatencies_;
    uint64_t intervalFlagged_ = 0;
    LatencyFacts latency_;
    double runLatencySum_ = 0;
    bool latencyOutOfRange_ = false;

    OutageFacts outages_;

    // A part of the station seen for the first time is not a change: the
    // parts first seen are told together in one kStationIdentified, as soon
    // as the station is complete, or else when the interval closes.
    bool unannounced_[kStationParts] = {};
    // A part that keeps changing (a caster that alternates descriptors) is
    // told at its first change, then at most once an interval, with the
    // number of changes the told one stands for.
    struct ChangeGate {
        bool toldThisInterval = false;
        uint64_t held = 0;   // changes since the last one told
        StationFacts before; // the station as the last told change left it
    };
    ChangeGate gates_[kStationParts];

    std::deque<Event> events_;
    uint64_t eventsDropped_ = 0;
};

} // namespace analysis

#endif
