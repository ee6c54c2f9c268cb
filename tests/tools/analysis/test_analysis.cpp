// The RTCM 3 analysis on frames built here with known values. A stream
// monitor is only worth watching if it decodes what the station really
// sent: each message family is built field by field from its layout and
// read back, the receipt clock is fixed so that latencies are exact, and
// the link is dropped on purpose where a real caster would drop it.
// (The real recording and a second decoder are checked by
// check_recording.py.)
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis.h"
#include "analysis_json.h"
#include "bit_writer.h"
#include "crc24q.h"
#include "frame_scanner.h"
#include "messages.h"

namespace {

using analysis::BitWriter;
typedef std::vector<uint8_t> Bytes;

const int kLeap = 18;
const double kWeek = 2300; // any GPS week will do; the stream never names it

// The POSIX time of a GPS time of week, for the receipt clock.
double unixAtGps(double week, double towSeconds) {
    return 315964800.0 + week * 604800 + towSeconds - kLeap;
}

Bytes frameOf(const BitWriter &bits) { return analysis::makeFrame(bits.payload()); }

void append(Bytes &to, const Bytes &from) { to.insert(to.end(), from.begin(), from.end()); }

bool near(double a, double b, double tolerance) { return fabs(a - b) <= tolerance; }

// An MSM4 or MSM7 with zeros for its observations. cellMask 0 means every
// satellite on every signal; missingBits cuts the body short.
struct Msm {
    int message = 1077;
    int station = 0;
    int dayOfWeek = -1; // GLONASS only; -1 writes "unknown" (7)
    uint32_t epochMs = 0;
    bool more = false;
    std::vector<int> satellites;
    std::vector<int> signals;
    uint64_t cellMask = 0;
    int missingBits = 0;
};

Bytes msmFrame(const Msm &m) {
    BitWriter bits;
    bits.put(m.message, 12);
    bits.put(m.station, 12);
    if (m.message / 10 == 108) {
        bits.put(m.dayOfWeek < 0 ? 7 : m.dayOfWeek, 3);
        bits.put(m.epochMs, 27);
    } else {
        bits.put(m.epochMs, 30);
    }
    bits.put(m.more, 1);
    bits.put(0, 3 + 7 + 2 + 2 + 1 + 3);
    uint64_t satelliteMask = 0;
    for (int id : m.satellites)
        satelliteMask |= 1ull << (64 - id);
    uint32_t signalMask = 0;
    for (int id : m.signals)
        signalMask |= 1u << (32 - id);
    bits.put(satelliteMask, 64);
    bits.put(signalMask, 32);
    size_t cellBits = m.satellites.size() * m.signals.size();
    uint64_t cells = m.cellMask != 0 ? m.cellMask : (cellBits == 64 ? ~0ull : (1ull << cellBits) - 1);
    bits.put(cells, (unsigned)cellBits);
    bool msm7 = m.message % 10 == 7;
    size_t body = m.satellites.size() * (msm7 ? 36 : 18) + __builtin_popcountll(cells) * (msm7 ? 80 : 48);
    for (size_t i = 0; i + m.missingBits < body; ++i)
        bits.put(0, 1);
    return frameOf(bits);
}

// A 1005 or 1006 at the given ECEF position in 0.1 mm.
Bytes stationFrame(int message, int station, int64_t x, int64_t y, int64_t z, uint32_t height) {
    BitWriter bits;
    bits.put(message, 12);
    bits.put(station, 12);
    bits.put(0, 6);
    bits.put(0b1100, 4); // GPS, GLONASS; physical station
    bits.putSigned(x, 38);
    bits.put(0, 2);
    bits.putSigned(y, 38);
    bits.put(0, 2);
    bits.putSigned(z, 38);
    if (message == 1006)
        bits.put(height, 16);
    return frameOf(bits);
}

Bytes receiverFrame(int station, const std::string &antenna, const std::string &receiver,
                    const std::string &firmware) {
    BitWriter bits;
    bits.put(1033, 12);
    bits.put(station, 12);
    bits.put(antenna.size(), 8);
    bits.putText(antenna);
    bits.put(3, 8);
    bits.put(4, 8);
    bits.putText("A123");
    bits.put(receiver.size(), 8);
    bits.putText(receiver);
    bits.put(firmware.size(), 8);
    bits.putText(firmware);
    bits.put(2, 8);
    bits.putText("R9");
    return frameOf(bits);
}

Bytes legacyFrame(int message, int station, uint32_t epochMs, const std::vector<int> &satellites) {
    bool glonass = message >= 1009;
    int satelliteBits = message == 1004 ? 125 : message == 1012 ? 130 : 0;
    BitWriter bits;
    bits.put(message, 12);
    bits.put(station, 12);
    bits.put(epochMs, glonass ? 27 : 30);
    bits.put(0, 1);
    bits.put(satellites.size(), 5);
    bits.put(0, 4);
    for (int id : satellites) {
        bits.put(id, 6);
        bits.put(0, satelliteBits - 6);
    }
    return frameOf(bits);
}

Bytes ephemerisFrame(int message, int satellite, unsigned idBits, size_t totalBits) {
    BitWriter bits;
    bits.put(message, 12);
    bits.put(satellite, idBits);
    while (bits.bits() < totalBits)
        bits.put(0, 1);
    return frameOf(bits);
}

analysis::Facts analyse(analysis::StreamAnalysis &stream, const Bytes &bytes, double at) {
    stream.feed(bytes.data(), bytes.size(), at);
    return stream.snapshot();
}

// The receipt clock (leap seconds fixed) for streams whose latency matters.
analysis::Options fixedOptions() {
    analysis::Options options;
    options.leapSeconds = kLeap;
    return options;
}

// Group: the checksum. The fast form must agree with the plain one on every
// length and alignment, and both with the published check value.
TEST(Analysis, Checksum) {
    const char check[] = "123456789";
    EXPECT_TRUE(analysis::crc24q((const uint8_t *)check, 9) == 0xCDE703);
    EXPECT_TRUE(analysis::crc24qBytewise((const uint8_t *)check, 9) == 0xCDE703);
    Bytes data(400);
    uint32_t state = 12345;
    for (uint8_t &byte : data) {
        state = state * 1103515245 + 12345;
        byte = (uint8_t)(state >> 16);
    }
    int disagreements = 0;
    for (size_t offset = 0; offset < 8; ++offset)
        for (size_t size = 0; size + offset <= data.size(); ++size)
            disagreements +=
                analysis::crc24q(&data[offset], size) != analysis::crc24qBytewise(&data[offset], size);
    EXPECT_TRUE(disagreements == 0);
}

// Group: one frame per message family, fields read back as written.
TEST(Analysis, Decoders) {
    // The 1005 example printed in the RTCM 3 standard: station 2003, GPS.
    const uint8_t example[] = {0xD3, 0x00, 0x13, 0x3E, 0xD7, 0xD3, 0x02, 0x02, 0x98, 0x0E, 0xDE, 0xEF,
                               0x34, 0xB4, 0xBD, 0x62, 0xAC, 0x09, 0x41, 0x98, 0x6F, 0x33, 0x36, 0x0B,
                               0x98};
    analysis::StationPosition position;
    EXPECT_TRUE(analysis::decodeStationPosition(example + 3, 19, &position));
    EXPECT_TRUE(position.message == 1005 && position.stationId == 2003);
    EXPECT_TRUE(position.gps && !position.glonass && !position.galileo && position.physicalStation);
    EXPECT_TRUE(position.x == 11141045999LL && position.y == -48507297108LL && position.z == 39755214643LL);

    analysis::Descriptors descriptors;
    Bytes frame = receiverFrame(77, "TRM59800.00     SCIS", "VELTO RX", "5.10");
    EXPECT_TRUE(analysis::decodeDescriptors(&frame[3], frame.size() - 6, &descriptors));
    EXPECT_TRUE(descriptors.antenna == "TRM59800.00     SCIS" && descriptors.setupId == 3);
    EXPECT_TRUE(descriptors.antennaSerial == "A123" && descriptors.receiverType == "VELTO RX");
    EXPECT_TRUE(descriptors.firmware == "5.10" && descriptors.receiverSerial == "R9");
    // A receiver type counter that runs past the frame: malformed, not read.
    frame = receiverFrame(77, "", "", "");
    Bytes payload(frame.begin() + 3, frame.end() - 3);
    payload[10] = 200; // header 3, antenna 1 + 0, setup 1, serial 1 + 4: the receiver type counter
    EXPECT_TRUE(!analysis::decodeDescriptors(payload.data(), payload.size(), &descriptors));

    Msm msm;
    msm.message = 1077;
    msm.station = 4095;
    msm.epochMs = 604799999;
    msm.more = true;
    msm.satellites = {3, 17, 32, 64};
    msm.signals = {2, 9, 16};
    msm.cellMask = 0xFF7; // 12 bits, one cell not observed
    analysis::ObservationHeader header;
    frame = msmFrame(msm);
    EXPECT_TRUE(analysis::decodeObservationHeader(&frame[3], frame.size() - 6, &header));
    EXPECT_TRUE(header.constellation == analysis::kGps && header.msmType == 7 && header.stationId == 4095);
    EXPECT_TRUE(header.epochMs == 604799999 && header.moreFollow);
    EXPECT_TRUE(header.satellites == 4 && header.signals == 3 && header.cells == 11);
    EXPECT_TRUE(header.satelliteMask == ((1ull << 61) | (1ull << 47) | (1ull << 32) | 1ull));
    // A mask that promises one cell more than the message holds.
    msm.missingBits = 80;
    frame = msmFrame(msm);
    EXPECT_TRUE(!analysis::decodeObservationHeader(&frame[3], frame.size() - 6, &header));

    msm = Msm();
    msm.message = 1084;
    msm.dayOfWeek = 6;
    msm.epochMs = 86399000;
    msm.satellites = {1, 24};
    msm.signals = {2};
    frame = msmFrame(msm);
    EXPECT_TRUE(analysis::decodeObservationHeader(&frame[3], frame.size() - 6, &header));
    EXPECT_TRUE(header.constellation == analysis::kGlonass && header.msmType == 4);
    EXPECT_TRUE(header.dayOfWeek == 6 && header.epochMs == 86399000 && header.cells == 2);

    frame = legacyFrame(1004, 9, 345600000, {5, 30});
    EXPECT_TRUE(analysis::decodeObservationHeader(&frame[3], frame.size() - 6, &header));
    EXPECT_TRUE(header.constellation == analysis::kGps && header.msmType == 0 && header.epochMs == 345600000);
    EXPECT_TRUE(header.satellites == 2 && header.signals == 2);
    EXPECT_TRUE(header.satelliteMask == ((1ull << 59) | (1ull << 34)));
    frame = legacyFrame(1012, 9, 3600000, {1, 2, 24});
    EXPECT_TRUE(analysis::decodeObservationHeader(&frame[3], frame.size() - 6, &header));
    EXPECT_TRUE(header.constellation == analysis::kGlonass && header.dayOfWeek == -1 && header.satellites == 3);
    frame.resize(frame.size() - 20); // the last satellite's block cut short
    EXPECT_TRUE(!analysis::decodeObservationHeader(&frame[3], frame.size() - 3, &header));

    struct {
        int message, satellite;
        unsigned idBits;
        size_t bits;
        const char *name;
    } ephemerides[] = {{1019, 32, 6, 488, "G32"}, {1020, 24, 6, 360, "R24"}, {1042, 46, 6, 511, "C46"},
                       {1044, 1, 4, 485, "J01"},  {1045, 36, 6, 496, "E36"}, {1046, 5, 6, 504, "E05"}};
    for (const auto &e : ephemerides) {
        analysis::EphemerisHeader ephemeris;
        frame = ephemerisFrame(e.message, e.satellite, e.idBits, e.bits);
        EXPECT_TRUE(analysis::decodeEphemeris(&frame[3], frame.size() - 6, &ephemeris));
        EXPECT_TRUE(analysis::satelliteName(ephemeris.constellation, ephemeris.satellite) == e.name);
        EXPECT_TRUE(!analysis::decodeEphemeris(&frame[3], frame.size() - 7, &ephemeris));
    }
}

// Group: frame lengths across the 10-bit length field, in a stream cut into
// blocks wherever TCP and the library's receives happen to cut it: a frame
// split anywhere, even inside its header, or dribbled in byte by byte, is
// still one frame, and velto-caster's frames are the standard's.
TEST(Analysis, FrameLengths) {
    const uint8_t example[] = {0xD3, 0x00, 0x13, 0x3E, 0xD7, 0xD3, 0x02, 0x02, 0x98, 0x0E, 0xDE, 0xEF,
                               0x34, 0xB4, 0xBD, 0x62, 0xAC, 0x09, 0x41, 0x98, 0x6F, 0x33, 0x36, 0x0B,
                               0x98};
    EXPECT_TRUE(analysis::makeFrame(Bytes(example + 3, example + 3 + 0x13)) == Bytes(example, example + sizeof example));

    Bytes empty = analysis::makeFrame(Bytes());
    Bytes medium = analysis::makeFrame(Bytes(300, 0xD3)); // preamble look-alikes inside
    Bytes full = analysis::makeFrame(Bytes(1023, 0xD3));
    EXPECT_TRUE(empty.size() == 6 && medium.size() == 306 && full.size() == 1029);
    EXPECT_TRUE(medium[1] == 0x01 && medium[2] == 0x2C && full[1] == 0x03 && full[2] == 0xFF);
    EXPECT_TRUE(analysis::makeFrame(Bytes(1100, 0)).size() == 1029); // cut to what a frame can carry

    Bytes stream = empty;
    append(stream, full);
    append(stream, medium);
    append(stream, empty);
    auto countsOf = [](const std::vector<Bytes> &blocks) {
        analysis::StreamAnalysis scanned(fixedOptions());
        for (const Bytes &block : blocks)
            scanned.feed(block.data(), block.size(), 100);
        return scanned.snapshot().framing;
    };
    int miscounted = 0;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        analysis::FramingCounts counts = countsOf(
            {Bytes(stream.begin(), stream.begin() + cut), Bytes(stream.begin() + cut, stream.end())});
        miscounted += counts.frames != 4 || counts.crcRejects != 0 || counts.bytesOutsideFrames != 0;
    }
    EXPECT_TRUE(miscounted == 0);
    std::vector<Bytes> bytes;
    for (uint8_t byte : stream)
        bytes.push_back({byte});
    analysis::FramingCounts dribbled = countsOf(bytes);
    EXPECT_TRUE(dribbled.frames == 4 && dribbled.frameBytes == stream.size() && dribbled.bytesOutsideFrames == 0);
}

// Group: what a link drop leaves behind. A frame cut by the drop is not a
// corrupt frame; a look-alike preamble is not a cut frame, even when the
// drop comes while it is held; and every byte is accounted for.
TEST(Analysis, Framing) {
    Msm msm;
    msm.satellites = {1, 2};
    msm.signals = {2};
    Bytes good = msmFrame(msm);
    Bytes stream = good;
    append(stream, good);

    analysis::StreamAnalysis cut(fixedOptions());
    cut.feed(stream.data(), stream.size() - 10, 100);
    cut.linkDropped(101);
    cut.feed(good.data(), good.size(), 131);
    analysis::FramingCounts counts = cut.snapshot().framing;
    EXPECT_TRUE(counts.frames == 2 && counts.cutFrames == 1 && counts.cutBytes == good.size() - 10);
    EXPECT_TRUE(counts.crcRejects == 0 && counts.bytesOutsideFrames == 0 && counts.linkDrops == 1);

    Bytes damaged = stream;
    damaged[good.size() + 10] ^= 0x40;
    analysis::StreamAnalysis corrupt(fixedOptions());
    corrupt.feed(damaged.data(), damaged.size(), 100);
    corrupt.feed(good.data(), good.size(), 101);
    EXPECT_TRUE(corrupt.snapshot().framing.bytes ==
          corrupt.snapshot().framing.frameBytes + corrupt.snapshot().framing.bytesOutsideFrames +
              corrupt.snapshot().heldBytes);
    // A preamble look-alike in the damaged frame's tail may hold the good
    // frame back until more bytes, or the drop, settle it.
    corrupt.linkDropped(102);
    counts = corrupt.snapshot().framing;
    EXPECT_TRUE(counts.frames == 2 && counts.crcRejects >= 1 && counts.cutFrames == 0);
    EXPECT_TRUE(counts.bytes == counts.frameBytes + counts.bytesOutsideFrames);

    // A stray preamble claiming 1000 bytes, then two real frames, then the
    // drop: the frames inside are delivered, the stray counts as a reject.
    Bytes stray = {0xD3, 0x03, 0xE8, 0x00};
    append(stray, stream);
    for (size_t block : {(size_t)1, (size_t)7, stray.size()}) {
        analysis::StreamAnalysis held(fixedOptions());
        for (size_t at = 0; at < stray.size(); at += block)
            held.feed(&stray[at], std::min(block, stray.size() - at), 100);
        EXPECT_TRUE(held.snapshot().framing.frames == 0);
        held.linkDropped(101);
        counts = held.snapshot().framing;

        EXPECT_TRUE(counts.frames == 2 && counts.crcRejects == 1 && counts.cutFrames == 0);
        EXPECT_TRUE(counts.bytesOutsideFrames == 4 && held.snapshot().heldBytes == 0);
    }
}

// Group: latency across the time scales, with the receipt clock fixed.
// Epochs just before the end of a GPS week arrive in the next week; GLONASS
// counts in Moscow time and BeiDou 14 s behind GPS; an epoch more than a
// minute from the clock (a replayed recording) is flagged, named far from
// the clock, and kept out of the statistics.
TEST(Analysis, Latency) {
    analysis::StreamAnalysis stream(fixedOptions());
    Msm gps;
    gps.message = 1074;
    gps.satellites = {5, 7};
    gps.signals = {2};
    gps.epochMs = 604799500; // 0.5 s before the week ends, arriving 0.3 s after
    analysis::Facts facts = analyse(stream, msmFrame(gps), unixAtGps(kWeek + 1, 0.3));
    EXPECT_TRUE(facts.observations.size() == 1 && facts.observations[0].last.latencyMs == 800);

    Msm glonass;
    glonass.message = 1084;
    glonass.dayOfWeek = 0; // Sunday 03:00 Moscow = Sunday 00:00 UTC = 00:00:18 GPS
    glonass.epochMs = 3 * 3600 * 1000;
    glonass.satellites = {3};
    glonass.signals = {2};
    facts = analyse(stream, msmFrame(glonass), unixAtGps(kWeek + 1, 18.25));
    EXPECT_TRUE(facts.observations[1].last.latencyMs == 250);
    EXPECT_TRUE(near(facts.observations[1].last.gpsPlace.seconds, 18, 1e-9));

    Msm beidou = gps;
    beidou.message = 1124;
    beidou.epochMs = 100000; // BeiDou 100 s = GPS 114 s
    facts = analyse(stream, msmFrame(beidou), unixAtGps(kWeek + 1, 114.1));
    EXPECT_TRUE(near(facts.observations.back().last.latencyMs, 100, 1e-3));

    // No day in a legacy GLONASS epoch: the closest day is taken.
    facts = analyse(stream, legacyFrame(1012, 1, 3 * 3600 * 1000 + 1000, {4}), unixAtGps(kWeek + 1, 19.5));
    EXPECT_TRUE(near(facts.observations[1].last.latencyMs, 500, 1e-3));

    facts = analyse(stream, legacyFrame(1004, 1, 300, {9}), unixAtGps(kWeek + 1, 1200.3));
    EXPECT_TRUE(facts.observations[0].last.latencyFlagged && facts.latency.flagged == 1);
    EXPECT_TRUE(facts.latency.farFromClock);
    // 90 s either way is no latency either; 59 s still is one.
    analysis::StreamAnalysis near90(fixedOptions());
    const double epochAndReceipt[][2] = {{1000, 1090}, {1100, 1010}, {1200, 1259}};
    for (const auto &times : epochAndReceipt) {
        Msm late = gps;
        late.epochMs = (uint32_t)(times[0] * 1000);
        facts = analyse(near90, msmFrame(late), unixAtGps(kWeek, times[1]));
        EXPECT_TRUE(facts.latency.farFromClock == (times[1] != 1259));
    }
    EXPECT_TRUE(facts.latency.run.count == 1 && facts.latency.flagged == 2);
    Msm galileo = gps;
    galileo.message = 1094;
    galileo.epochMs = 1250000;
    facts = analyse(stream, msmFrame(galileo), unixAtGps(kWeek + 1, 1250.05));

    stream.rollInterval(unixAtGps(kWeek + 1, 1260.3));
    facts = stream.snapshot();
    const analysis::LatencyStatistics &interval = facts.latency.interval;
    EXPECT_TRUE(interval.count == 5 && facts.latency.intervalFlagged == 1);
    EXPECT_TRUE(near(interval.meanMs, 340, 1e-6) && near(interval.minMs, 50, 1e-6));
    EXPECT_TRUE(near(interval.maxMs, 800, 1e-6) && near(interval.p95Ms, 800, 1e-6));
    EXPECT_TRUE(facts.latency.run.count == 5 && facts.latency.hasLastFlagged);
    EXPECT_TRUE(near(facts.latency.lastFlaggedMs, 1200000, 1e-3));
    EXPECT_TRUE(near(facts.intervalSeconds, 1260, 1e-6) && facts.messages.size() == 6);
    EXPECT_TRUE(near(facts.messages[0].intervalRateHz, 1 / 1260.0, 1e-9)); // 1004

    std::vector<analysis::Event> events = stream.takeEvents();
    int flagged = 0, normal = 0;
    for (const analysis::Event &event : events) {
        flagged += event.kind == analysis::kLatencyFlagged;
        normal += event.kind == analysis::kLatencyNormal;
    }
    EXPECT_TRUE(flagged == 1 && normal == 1);

    // One epoch in two messages: satellites add up, the last flag stands.
    analysis::StreamAnalysis split(fixedOptions());
    Msm first = gps;
    first.message = 1077;
    first.more = true;
    Msm second = first;
    second.satellites = {7, 30};
    second.more = false;
    Bytes both = msmFrame(first);
    append(both, msmFrame(second));
    facts = analyse(split, both, unixAtGps(kWeek + 1, 0.4));
    const analysis::EpochFacts &epoch = facts.observations[0].last;
    EXPECT_TRUE(facts.observations[0].epochs == 1 && epoch.messages == 2 && epoch.satellites == 3);
    EXPECT_TRUE(epoch.cells == 4 && !epoch.moreFollow);
}

// Group: outages and the station, as events and as JSON. A gap in the data
// is an outage once it passes the limit; equipment that changes is told
// once per change; a descriptor with bytes that are not UTF-8 still gives
// JSON that parses.
TEST(Analysis, OutagesStationAndJson) {
    analysis::StreamAnalysis stream(fixedOptions());
    Bytes receiver = receiverFrame(611, "ANT", "OLD RX", "1.0");
    stream.feed(receiver.data(), receiver.size(), 1000);
    stream.feed(receiver.data(), receiver.size(), 1005);
    stream.rollInterval(1020);
    Bytes changed = receiverFrame(611, "ANT", "NEW <img src=x onerror=alert(1)> \xff\xfe", "1.0");
    stream.feed(changed.data(), changed.size(), 1030);
    int64_t x = 38006896000LL, y = 8820774000LL, z = 50287913000LL;
    Bytes position = stationFrame(1006, 611, x, y, z, 15000);
    append(position, stationFrame(1005, 611, x, y, z, 0));
    stream.feed(position.data(), position.size(), 1031);

    analysis::Facts facts = stream.snapshot();
    EXPECT_TRUE(facts.outages.count == 1 && !facts.outages.open && facts.outages.recent.size() == 1);
    EXPECT_TRUE(facts.outages.recent[0].start == 1005 && facts.outages.recent[0].end == 1030);
    EXPECT_TRUE(facts.station.hasId && facts.station.id == 611 && facts.station.positionMessage == 1005);
    EXPECT_TRUE(facts.station.hasAntennaHeight && near(facts.station.antennaHeight, 1.5, 1e-9));

    // The geodetic position, against the forward formula.
    const analysis::Geodetic &g = facts.station.geodetic;
    double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    double lat = g.latitudeDeg * M_PI / 180, lon = g.longitudeDeg * M_PI / 180;
    double n = a / sqrt(1 - e2 * sin(lat) * sin(lat));
    EXPECT_TRUE(near((n + g.heightM) * cos(lat) * cos(lon), x / 1e4, 1e-4));
    EXPECT_TRUE(near((n + g.heightM) * cos(lat) * sin(lon), y / 1e4, 1e-4));
    EXPECT_TRUE(near((n * (1 - e2) + g.heightM) * sin(lat), z / 1e4, 1e-4));

    std::vector<std::string> kinds;
    for (const analysis::Event &event : stream.takeEvents()) {
        nlohmann::json j = analysis::toJson(event);
        std::string line = analysis::jsonLine(j);
        EXPECT_TRUE(nlohmann::json::parse(line) == nlohmann::json::parse(line)); // parses, and again
        std::string part = j.contains("part") ? ":" + j["part"].get<std::string>() : "";
        for (const auto &name : j.value("identified", nlohmann::json::array()))
            part += (part.empty() ? ":" : ",") + name.get<std::string>();
        kinds.push_back(j["event"].get<std::string>() + part);
        if (j.contains("part") && j["part"] == "receiver") {
            EXPECT_TRUE(j["from"]["type"] == "OLD RX" && j["changes"] == 1);
            const char replaced[] = "NEW <img src=x onerror=alert(1)> \xEF\xBF\xBD\xEF\xBF\xBD";
            EXPECT_TRUE(line.find(replaced) != std::string::npos);
        }
    }
    // The parts first seen are one "station" event (at the roll: the first
    // receiver message gives no position); the position that completes the
    // station later is one too; only the new receiver is a change.
    std::vector<std::string> expected = {"station:id,antenna,receiver", "outage_started", "outage_ended",
                                         "station_changed:receiver",    "station:position"};
    EXPECT_TRUE(kinds == expected);

    nlohmann::json j = nlohmann::json::parse(analysis::jsonLine(analysis::toJson(facts)));
    EXPECT_TRUE(j["station"]["position"]["antenna_height_m"] == 1.5);
    EXPECT_TRUE(near(j["station"]["position"]["latitude_deg"].get<double>(), g.latitudeDeg, 1e-8));
    EXPECT_TRUE(j["outages"]["recent"][0]["seconds"] == 25.0);
    EXPECT_TRUE(j["framing"]["frames"] == 5 && j["messages"][2]["type"] == 1033);
}

// Group: what the station's events tell over a run. Its first sighting is
// one event, whatever parts the first messages carry; the same station
// after a reconnection is no news; and a caster that alternates
// descriptors is told at its first change, then once an interval with the
// number of changes, never once per message.
TEST(Analysis, StationEvents) {
    int64_t x = 38006896000LL, y = 8820774000LL, z = 50287913000LL;
    Msm gps;
    gps.message = 1074;
    gps.station = 1000;
    gps.satellites = {5};
    gps.signals = {2};
    Bytes epoch = stationFrame(1005, 1000, x, y, z, 0);
    append(epoch, receiverFrame(1000, "ANT", "RX", "1.0"));
    append(epoch, msmFrame(gps));

    analysis::StreamAnalysis stream(fixedOptions());
    double t0 = unixAtGps(kWeek, 0); // the epoch's own time
    stream.feed(epoch.data(), 10, t0); // the station's frames split across blocks
    stream.feed(epoch.data() + 10, epoch.size() - 10, t0 + 0.01);
    std::vector<analysis::Event> events = stream.takeEvents();
    EXPECT_TRUE(events.size() == 1 && events[0].kind == analysis::kStationIdentified &&
          events[0].identified.size() == 4 && events[0].after.id == 1000);
    stream.linkDropped(t0 + 1);
    stream.feed(epoch.data(), epoch.size(), t0 + 5);
    stream.rollInterval(t0 + 6);
    EXPECT_TRUE(stream.takeEvents().empty());

    Bytes a = receiverFrame(1000, "ANT", "RX A", "1.0"), b = receiverFrame(1000, "ANT B", "RX B", "1.0");
    for (int i = 0; i < 1000; ++i) {
        const Bytes &frame = i % 2 == 0 ? a : b;
        stream.feed(frame.data(), frame.size(), t0 + 7 + i * 0.001);
    }
    events = stream.takeEvents();
    EXPECT_TRUE(events.size() == 2); // the receiver's first change, and the antenna's
    stream.rollInterval(t0 + 8);
    std::vector<analysis::Event> rolled = stream.takeEvents();
    uint64_t receiverChanges = 0;
    for (const analysis::Event &event : rolled)
        if (event.kind == analysis::kStationChanged && event.part == analysis::kPartReceiver)
            receiverChanges = event.changes;
    EXPECT_TRUE(rolled.size() == 2 && receiverChanges == 999); // 1000 changes in all

    // Still flapping: nothing until the next roll, then one per part.
    for (int i = 0; i < 10; ++i)
        stream.feed((i % 2 ? a : b).data(), a.size(), t0 + 9 + i * 0.1);
    EXPECT_TRUE(stream.takeEvents().empty());
    stream.rollInterval(t0 + 10);
    EXPECT_TRUE(stream.takeEvents().size() == 2);
    // Quiet for an interval: the next change is told at once again.
    stream.rollInterval(t0 + 11);
    stream.feed(b.data(), b.size(), t0 + 12); // a came last
    events = stream.takeEvents();
    EXPECT_TRUE(events.size() == 2 && events[0].changes == 1 && events[1].changes == 1);
}

} // namespace

