#include "synthetic.h"

#include "rtcm.h"

namespace {

const uint32_t kMillisecondsPerWeek = 7u * 24 * 3600 * 1000;
const uint32_t kMillisecondsPerDay = 24u * 3600 * 1000;
const int kSlowMessagesEvery = 10; // epochs between 1005/1230

// Earth-centred coordinates of the made-up station, in 0.1 mm.
const int64_t kStationX = 38006896000LL;
const int64_t kStationY = 8820774000LL;
const int64_t kStationZ = 50287913000LL;

// Observed satellites and signals (signal ids count from 1 at the mask's
// most significant bit): GPS L1 C/A and L2 P(Y), GLONASS L1 C/A and L2 C/A.
const int kGpsSatellites[] = {2, 5, 7, 9, 13, 15, 18, 20, 27, 30};
const int kGpsSignals[] = {2, 9};
const int kGlonassSatellites[] = {1, 2, 8, 9, 10, 17, 18, 24};
const int kGlonassSignals[] = {2, 8};

class BitWriter {
public:
    void put(uint64_t value, int bits) {
        for (int bit = bits - 1; bit >= 0; --bit) {
            if (used_ % 8 == 0)
                bytes_.push_back(0);
            if ((value >> bit) & 1)
                bytes_.back() |= (uint8_t)(0x80 >> (used_ % 8));
            ++used_;
        }
    }
    void putSigned(int64_t value, int bits) { put((uint64_t)value, bits); }
    std::vector<uint8_t> frame() const { return rtcm::makeFrame(bytes_); }

private:
    std::vector<uint8_t> bytes_;
    int used_ = 0;
};

template <size_t N> uint64_t maskOf(const int (&ids)[N], int width) {
    uint64_t mask = 0;
    for (int id : ids)
        mask |= 1ull << (width - id);
    return mask;
}

void append(std::vector<uint8_t> &to, const std::vector<uint8_t> &from) {
    to.insert(to.end(), from.begin(), from.end());
}

} // namespace

SyntheticStation::SyntheticStation(int stationId, uint32_t seed, uint32_t gpsMillisecondOfWeek)
    : stationId_(stationId & 0xFFF), state_(seed | 1), epochMs_(gpsMillisecondOfWeek % kMillisecondsPerWeek) {}

// xorshift32: cheap, deterministic for a given seed, good enough for noise.
uint32_t SyntheticStation::random() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

std::vector<uint8_t> SyntheticStation::nextEpoch() {
    std::vector<uint8_t> epoch;
    bool slow = epochCount_ % kSlowMessagesEvery == 0;
    if (slow) {
        append(epoch, stationPosition());
        append(epoch, glonassBiases());
    }
    append(epoch, observations(1074, true));
    append(epoch, observations(1084, false));
    ++epochCount_;
    epochMs_ = (epochMs_ + 1000) % kMillisecondsPerWeek;
    return epoch;
}

std::vector<uint8_t> SyntheticStation::stationPosition() const {
    BitWriter bits;
    bits.put(1005, 12);
    bits.put(stationId_, 12);
    bits.put(0, 6);          // ITRF realisation year
    bits.put(1, 1);          // GPS
    bits.put(1, 1);          // GLONASS
    bits.put(0, 1);          // Galileo
    bits.put(0, 1);          // physical reference station
    bits.putSigned(kStationX, 38);
    bits.put(0, 1);          // single receiver oscillator
    bits.put(0, 1);          // reserved
    bits.putSigned(kStationY, 38);
    bits.put(0, 2);          // quarter-cycle indicator
    bits.putSigned(kStationZ, 38);
    return bits.frame();
}

std::vector<uint8_t> SyntheticStation::glonassBiases() const {
    BitWriter bits;
    bits.put(1230, 12);
    bits.put(stationId_, 12);
    bits.put(1, 1);          // biases aligned
    bits.put(0, 3);          // reserved
    bits.put(0xF, 4);        // all four FDMA signals present
    const int16_t biasesIn2cm[] = {-62, 41, 18, -27};
    for (int16_t bias : biasesIn2cm)
        bits.putSigned(bias, 16);
    return bits.frame();
}

// MSM4: full pseudoranges, phase ranges and carrier-to-noise ratios.
std::vector<uint8_t> SyntheticStation::observations(int messageNumber, bool moreFollow) {
    bool gps = messageNumber == 1074;
    const int *satellites = gps ? kGpsSatellites : kGlonassSatellites;
    int satelliteCount = gps ? 10 : 8;
    int signalCount = 2;
    int cellCount = satelliteCount * signalCount;

    BitWriter bits;
    bits.put(messageNumber, 12);
    bits.put(stationId_, 12);
    if (gps) {
        bits.put(epochMs_, 30);
    } else {
        // GLONASS time: day of week and milliseconds of the (Moscow) day.
        uint32_t moscow = (epochMs_ + 3u * 3600 * 1000) % kMillisecondsPerWeek;
        bits.put(moscow / kMillisecondsPerDay, 3);
        bits.put(moscow % kMillisecondsPerDay, 27);
    }
    bits.put(moreFollow ? 1 : 0, 1); // another message of this epoch follows
    bits.put(0, 3);                  // issue of data station
    bits.put(0, 7);                  // reserved
    bits.put(0, 2);                  // clock steering
    bits.put(0, 2);                  // external clock
    bits.put(0, 1);                  // divergence-free smoothing
    bits.put(0, 3);                  // smoothing interval
    uint64_t satelliteMask = 0;
    for (int i = 0; i < satelliteCount; ++i)
        satelliteMask |= 1ull << (64 - satellites[i]);
    bits.put(satelliteMask, 64);
    bits.put(gps ? maskOf(kGpsSignals, 32) : maskOf(kGlonassSignals, 32), 32);
    for (int cell = 0; cell < cellCount; ++cell)
        bits.put(1, 1); // every satellite seen on both signals

    for (int i = 0; i < satelliteCount; ++i)
        bits.put(67 + (random() % 20), 8); // whole milliseconds of range: 20,000-26,000 km
    for (int i = 0; i < satelliteCount; ++i)
        bits.put(random() % 1024, 10);
    for (int cell = 0; cell < cellCount; ++cell)
        bits.putSigned((int32_t)(random() % 20001) - 10000, 15);
    for (int cell = 0; cell < cellCount; ++cell)
        bits.putSigned((int32_t)(random() % 800001) - 400000, 22);
    for (int cell = 0; cell < cellCount; ++cell)
        bits.put(15, 4); // locked for a long time
    for (int cell = 0; cell < cellCount; ++cell)
        bits.put(0, 1);
    for (int cell = 0; cell < cellCount; ++cell)
        bits.put(35 + random() % 18, 6); // 35-52 dB-Hz
    return bits.frame();
}
