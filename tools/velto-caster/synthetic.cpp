#include "synthetic.h"

#include <string.h>

#include "bit_writer.h"
#include "crc24q.h"
#include "frame_scanner.h"
#include "gnss.h"

const char kSyntheticReceiverType[] = "VELTO SYNTHETIC";

namespace {

const uint64_t kMillisecondsPerWeek = 7ull * 24 * 3600 * 1000;
const uint64_t kMillisecondsPerDay = 24ull * 3600 * 1000;
const uint64_t kBeidouBehindGpsMs = 14000;
const uint64_t kMoscowAheadOfUtcMs = 3ull * 3600 * 1000;
// Observation values repeat after this many epochs; plenty for a stream
// that no one solves a position from.
const int kVariants = 8;

// Earth-centred coordinates of the made-up station, in 0.1 mm (near
// Potsdam, 52.38 N 13.07 E, as the source table says), antenna 1.5 m.
const int64_t kStationX = 38006896000LL;
const int64_t kStationY = 8820774000LL;
const int64_t kStationZ = 50287913000LL;
const uint32_t kAntennaHeight = 15000;
const char kAntenna[] = "VELTO-SIM-ANT   NONE";
const char kAntennaSerial[] = "SIM0001";
const char kFirmware[] = "1.0";
const char kReceiverSerial[] = "0001";

// Satellites in view and signals observed (ids count from 1 at the mask's
// most significant bit). GPS L1 C/A, L2 P(Y); GLONASS L1 C/A, L2 C/A;
// Galileo E1 C, E5a Q; BeiDou B1I, B2I.
struct Constellation {
    int message;
    std::vector<int> satellites;
    std::vector<int> signals;
};
const Constellation kConstellations[] = {
    {1074, {2, 5, 7, 9, 13, 15, 18, 20, 27, 30}, {2, 9}},
    {1084, {1, 2, 8, 9, 10, 17, 18, 24}, {2, 8}},
    {1094, {1, 4, 9, 11, 19, 24, 26, 31}, {2, 23}},
    {1124, {6, 9, 11, 12, 14, 16, 21, 22}, {2, 14}},
};

uint64_t maskOf(const std::vector<int> &ids, int width) {
    uint64_t mask = 0;
    for (int id : ids)
        mask |= 1ull << (width - id);
    return mask;
}

void appendFrame(const std::vector<uint8_t> &payload, std::vector<uint8_t> *out) {
    std::vector<uint8_t> frame = analysis::makeFrame(payload);
    out->insert(out->end(), frame.begin(), frame.end());
}

// The 30 bits after message number and station ID: the epoch time.
void stampEpoch(uint8_t *payload, uint32_t epoch) {
    payload[3] = (uint8_t)(epoch >> 22);
    payload[4] = (uint8_t)(epoch >> 14);
    payload[5] = (uint8_t)(epoch >> 6);
    payload[6] = (uint8_t)(((epoch & 0x3F) << 2) | (payload[6] & 0x03));
}

// The epoch field of a message for GPS time gpsMs, in its own time scale.
uint32_t epochField(int message, uint64_t gpsMs) {
    switch (message / 10) {
    case 108: {
        // GLONASS: day of week and millisecond of the day, Moscow time.
        uint64_t moscow = gpsMs - analysis::kDefaultLeapSeconds * 1000ull + kMoscowAheadOfUtcMs;
        uint64_t ofWeek = moscow % kMillisecondsPerWeek;
        return (uint32_t)((ofWeek / kMillisecondsPerDay) << 27 | ofWeek % kMillisecondsPerDay);
    }
    case 112:
        return (uint32_t)((gpsMs - kBeidouBehindGpsMs) % kMillisecondsPerWeek);
    default:
        return (uint32_t)(gpsMs % kMillisecondsPerWeek);
    }
}

std::vector<uint8_t> stationPosition(int stationId, int message) {
    analysis::BitWriter bits;
    bits.put(message, 12);
    bits.put(stationId, 12);
    bits.put(0, 6); // ITRF realisation year
    bits.put(1, 1); // GPS
    bits.put(1, 1); // GLONASS
    bits.put(1, 1); // Galileo
    bits.put(0, 1); // physical reference station
    bits.putSigned(kStationX, 38);
    bits.put(0, 1); // single receiver oscillator
    bits.put(0, 1); // reserved
    bits.putSigned(kStationY, 38);
    bits.put(0, 2); // quarter-cycle indicator
    bits.putSigned(kStationZ, 38);
    if (message == 1006)
        bits.put(kAntennaHeight, 16);
    return bits.payload();
}

std::vector<uint8_t> receiverAndAntenna(int stationId, const std::string &receiverType) {
    analysis::BitWriter bits;
    auto counted = [&bits](const std::string &text) {
        bits.put(text.size(), 8);
        bits.putText(text);
    };
    bits.put(1033, 12);
    bits.put(stationId, 12);
    counted(kAntenna);
    bits.put(0, 8); // antenna setup ID
    counted(kAntennaSerial);
    counted(receiverType);
    counted(kFirmware);
    counted(kReceiverSerial);
    return bits.payload();
}

std::vector<uint8_t> glonassBiases(int stationId) {
    analysis::BitWriter bits;
    bits.put(1230, 12);
    bits.put(stationId, 12);
    bits.put(1, 1);   // biases aligned
    bits.put(0, 3);   // reserved
    bits.put(0xF, 4); // all four FDMA signals present
    const int16_t biasesIn2cm[] = {-62, 41, 18, -27};
    for (int16_t bias : biasesIn2cm)
        bits.putSigned(bias, 16);
    return bits.payload();
}

} // namespace

SyntheticStation::SyntheticStation(int stationId, uint32_t seed, const std::string &receiverType)
    : stationId_(stationId & 0xFFF), state_(seed | 1) {
    appendFrame(stationPosition(stationId_, 1005), &station_);
    appendFrame(stationPosition(stationId_, 1006), &station_);
    appendFrame(receiverAndAntenna(stationId_, receiverType), &station_);
    appendFrame(glonassBiases(stationId_), &station_);
    size_t count = sizeof kConstellations / sizeof kConstellations[0];
    for (size_t c = 0; c < count; ++c) {
        Observations observations;
        observations.message = kConstellations[c].message;
        for (int v = 0; v < kVariants; ++v)
            observations.variants.push_back(observationPayload(observations.message, c + 1 < count));
        observationBytes_ += analysis::kFrameHeader + observations.variants[0].size() + analysis::kFrameCrc;
        observations_.push_back(observations);
    }
}

// xorshift32: cheap, deterministic for a given seed, good enough for noise.
uint32_t SyntheticStation::random() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

void SyntheticStation::appendEpoch(uint64_t gpsMs, bool withStation, std::vector<uint8_t> *out) {
    if (withStation)
        out->insert(out->end(), station_.begin(), station_.end());
    for (const Observations &observations : observations_) {
        const std::vector<uint8_t> &payload = observations.variants[epochCount_ % kVariants];
        size_t start = out->size();
        size_t size = payload.size();
        out->resize(start + analysis::kFrameHeader + size + analysis::kFrameCrc);
        uint8_t *frame = out->data() + start;
        frame[0] = analysis::kPreamble;
        frame[1] = (uint8_t)(size >> 8);
        frame[2] = (uint8_t)(size & 0xFF);
        memcpy(frame + analysis::kFrameHeader, payload.data(), size);
        stampEpoch(frame + analysis::kFrameHeader, epochField(observations.message, gpsMs));
        uint32_t crc = analysis::crc24q(frame, analysis::kFrameHeader + size);
        frame[analysis::kFrameHeader + size] = (uint8_t)(crc >> 16);
        frame[analysis::kFrameHeader + size + 1] = (uint8_t)(crc >> 8);
        frame[analysis::kFrameHeader + size + 2] = (uint8_t)crc;
    }
    ++epochCount_;
}

// MSM4: full pseudoranges, phase ranges and carrier-to-noise ratios; every
// satellite seen on both of its constellation's signals.
std::vector<uint8_t> SyntheticStation::observationPayload(int message, bool moreFollow) {
    const Constellation *constellation = &kConstellations[0];
    for (const Constellation &c : kConstellations)
        if (c.message == message)
            constellation = &c;
    size_t satellites = constellation->satellites.size();
    size_t cells = satellites * constellation->signals.size();

    analysis::BitWriter bits;
    bits.put(message, 12);
    bits.put(stationId_, 12);
    bits.put(0, 30);                 // epoch time, stamped when sent
    bits.put(moreFollow ? 1 : 0, 1); // another message of this epoch follows
    bits.put(0, 3);                  // issue of data station
    bits.put(0, 7);                  // reserved
    bits.put(0, 2);                  // clock steering
    bits.put(0, 2);                  // external clock
    bits.put(0, 1);                  // divergence-free smoothing
    bits.put(0, 3);                  // smoothing interval
    bits.put(maskOf(constellation->satellites, 64), 64);
    bits.put(maskOf(constellation->signals, 32), 32);
    bits.put(~0ull, (unsigned)cells);
    for (size_t i = 0; i < satellites; ++i)
        bits.put(67 + (random() % 20), 8); // whole milliseconds of range: 20,000-26,000 km
    for (size_t i = 0; i < satellites; ++i)
        bits.put(random() % 1024, 10);
    for (size_t cell = 0; cell < cells; ++cell)
        bits.putSigned((int32_t)(random() % 20001) - 10000, 15);
    for (size_t cell = 0; cell < cells; ++cell)
        bits.putSigned((int32_t)(random() % 800001) - 400000, 22);
    for (size_t cell = 0; cell < cells; ++cell)
        bits.put(15, 4); // locked for a long time
    for (size_t cell = 0; cell < cells; ++cell)
        bits.put(0, 1);
    for (size_t cell = 0; cell < cells; ++cell)
        bits.put(35 + random() % 18, 6); // 35-52 dB-Hz
    return bits.payload();
}
