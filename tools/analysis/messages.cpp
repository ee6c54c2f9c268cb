#include "messages.h"

#include <stdio.h>

#include "bit_reader.h"

namespace analysis {

namespace {

const uint32_t kMillisecondsPerWeek = 7u * 24 * 3600 * 1000;
const uint32_t kMillisecondsPerDay = 24u * 3600 * 1000;
const int kGlonassDayUnknown = 7;

// MSM n carries these bits per satellite and per cell after its header.
struct MsmSizes {
    int satellite;
    int cell;
};
const MsmSizes kMsmSizes[8] = {
    {0, 0},   // (no MSM0)
    {10, 15}, // MSM1: rough range; fine pseudorange
    {10, 27}, // MSM2: rough range; fine phase range, lock time, half-cycle
    {10, 42}, // MSM3: MSM1 and MSM2 cells together
    {18, 48}, // MSM4: range in whole and fractional ms; MSM3 cell and CNR
    {36, 63}, // MSM5: MSM4 satellite plus extended info and rate; cell plus fine rate
    {18, 65}, // MSM6: MSM4 satellite; high-resolution cell
    {36, 80}, // MSM7: MSM5 satellite; high-resolution cell plus fine rate
};

// Legacy observations: constellation, header bits, bits per satellite.
struct LegacyLayout {
    Constellation constellation;
    int headerBits;
    int satelliteBits;
    int signals;
};

bool legacyLayout(int message, LegacyLayout *layout) {
    switch (message) {
    case 1001: *layout = {kGps, 64, 58, 1}; return true;
    case 1002: *layout = {kGps, 64, 74, 1}; return true;
    case 1003: *layout = {kGps, 64, 101, 2}; return true;
    case 1004: *layout = {kGps, 64, 125, 2}; return true;
    case 1009: *layout = {kGlonass, 61, 64, 1}; return true;
    case 1010: *layout = {kGlonass, 61, 79, 1}; return true;
    case 1011: *layout = {kGlonass, 61, 107, 2}; return true;
    case 1012: *layout = {kGlonass, 61, 130, 2}; return true;
    default: return false;
    }
}

bool msmConstellation(int message, Constellation *constellation) {
    if (message < 1071 || message > 1127 || message % 10 == 0 || message % 10 > 7)
        return false;
    switch (message / 10) {
    case 107: *constellation = kGps; return true;
    case 108: *constellation = kGlonass; return true;
    case 109: *constellation = kGalileo; return true;
    case 110: *constellation = kSbas; return true;
    case 111: *constellation = kQzss; return true;
    case 112: *constellation = kBeidou; return true;
    default: return false;
    }
}

uint64_t satelliteBit(int satellite) {
    return satellite >= 1 && satellite <= 64 ? 1ull << (64 - satellite) : 0;
}

// MSM1 to MSM7 header, all constellations:
//   message number                    DF002   12
//   reference station ID              DF003   12
//   epoch time                                30  GPS DF004, Galileo DF248,
//                                                 QZSS DF428, BeiDou DF427:
//                                                 ms of the week; SBAS: GPS.
//                                                 GLONASS: day of week DF416 3,
//                                                 ms of the Moscow day DF034 27
//   multiple message bit              DF393    1
//   issue of data station             DF409    3
//   reserved                          DF001    7
//   clock steering indicator          DF411    2
//   external clock indicator          DF412    2
//   divergence-free smoothing         DF417    1
//   smoothing interval                DF418    3
//   satellite mask                    DF394   64
//   signal mask                       DF395   32
//   cell mask                         DF396   satellites x signals (at most 64)
// then per satellite and per cell the data of kMsmSizes.
bool decodeMsmHeader(BitReader &bits, ObservationHeader *out) {
    out->msmType = out->message % 10;
    out->stationId = (int)bits.u(12);
    if (out->constellation == kGlonass) {
        int day = (int)bits.u(3);
        out->epochMs = (uint32_t)bits.u(27);
        out->dayOfWeek = day == kGlonassDayUnknown ? -1 : day;
        if (out->epochMs >= kMillisecondsPerDay)
            return false;
    } else {
        out->epochMs = (uint32_t)bits.u(30);
        if (out->epochMs >= kMillisecondsPerWeek)
            return false;
    }
    out->moreFollow = bits.u(1) != 0;
    bits.skip(3 + 7 + 2 + 2 + 1 + 3);
    out->satelliteMask = bits.u(64);
    out->signalMask = (uint32_t)bits.u(32);
    out->satellites = bitCount(out->satelliteMask);
    out->signals = bitCount(out->signalMask);
    int cellMaskBits = out->satellites * out->signals;
    if (cellMaskBits > 64)
        return false;
    out->cells = bitCount(bits.u(cellMaskBits));
    const MsmSizes &sizes = kMsmSizes[out->msmType];
    size_t bodyBits = (size_t)out->satellites * sizes.satellite + (size_t)out->cells * sizes.cell;
    return !bits.overrun() && bits.bitsLeft() >= bodyBits;
}

// Legacy GPS observations 1001-1004, header:
//   message number                    DF002   12
//   reference station ID              DF003   12
//   GPS epoch time (ms of the week)   DF004   30
//   synchronous GNSS flag             DF005    1
//   number of satellites              DF006    5
//   divergence-free smoothing         DF007    1
//   smoothing interval                DF008    3
// Legacy GLONASS observations 1009-1012, header:
//   message number                    DF002   12
//   reference station ID              DF003   12
//   GLONASS epoch time (ms of day)    DF034   27
//   synchronous GNSS flag             DF005    1
//   number of satellites              DF035    5
//   divergence-free smoothing         DF036    1
//   smoothing interval                DF037    3
// Then per satellite a block of LegacyLayout::satelliteBits that begins with
// the satellite ID (GPS DF009, GLONASS DF038; 6 bits).
bool decodeLegacyHeader(BitReader &bits, const LegacyLayout &layout, ObservationHeader *out) {
    out->stationId = (int)bits.u(12);
    bool glonass = layout.constellation == kGlonass;
    out->epochMs = (uint32_t)bits.u(glonass ? 27 : 30);
    if (out->epochMs >= (glonass ? kMillisecondsPerDay : kMillisecondsPerWeek))
        return false;
    out->moreFollow = bits.u(1) != 0;
    int count = (int)bits.u(5);
    bits.skip(1 + 3);
    if (bits.overrun() || bits.bitsLeft() < (size_t)count * layout.satelliteBits)
        return false;
    for (int i = 0; i < count; ++i) {
        out->satelliteMask |= satelliteBit((int)bits.u(6));
        bits.skip(layout.satelliteBits - 6);
    }
    out->satellites = bitCount(out->satelliteMask);
    out->signals = layout.signals;
    out->cells = count * layout.signals;
    return true;
}

// Ephemerides; only what names the satellite is read, but the message
// must be as long as its layout:
//   1019 GPS            message number DF002 12, satellite ID DF009 6; 488 bits
//   1020 GLONASS        message number DF002 12, satellite ID DF038 6; 360 bits
//   1042 BeiDou         message number DF002 12, satellite ID DF488 6; 511 bits
//   1044 QZSS           message number DF002 12, satellite ID DF429 4; 485 bits
//   1045 Galileo F/NAV  message number DF002 12, satellite ID DF252 6; 496 bits
//   1046 Galileo I/NAV  message number DF002 12, satellite ID DF252 6; 504 bits
struct EphemerisLayout {
    Constellation constellation;
    unsigned idBits;
    size_t totalBits;
};

bool ephemerisLayout(int message, EphemerisLayout *layout) {
    switch (message) {
    case 1019: *layout = {kGps, 6, 488}; return true;
    case 1020: *layout = {kGlonass, 6, 360}; return true;
    case 1042: *layout = {kBeidou, 6, 511}; return true;
    case 1044: *layout = {kQzss, 4, 485}; return true;
    case 1045: *layout = {kGalileo, 6, 496}; return true;
    case 1046: *layout = {kGalileo, 6, 504}; return true;
    default: return false;
    }
}

} // namespace

const char *constellationName(Constellation constellation) {
    static const char *const kNames[kConstellations] = {"GPS",  "GLONASS", "Galileo",
                                                        "SBAS", "QZSS",    "BeiDou"};
    return constellation >= 0 && constellation < kConstellations ? kNames[constellation] : "?";
}

MessageFamily messageFamily(int message) {
    Constellation constellation;
    LegacyLayout legacy;
    EphemerisLayout ephemeris;
    if (message == 1005 || message == 1006)
        return kStationPosition;
    if (message == 1007 || message == 1008 || message == 1033)
        return kDescriptors;
    if (msmConstellation(message, &constellation) || legacyLayout(message, &legacy))
        return kObservations;
    return ephemerisLayout(message, &ephemeris) ? kEphemeris : kOtherMessage;
}

bool isDefinedMessage(int message) {
    // MSM1 to MSM7 of GPS, GLONASS, Galileo, SBAS, QZSS, BeiDou and NavIC.
    if (message >= 1071 && message <= 1137)
        return message % 10 >= 1 && message % 10 <= 7;
    static const int kRanges[][2] = {
        {1001, 1017}, // observations, station, antenna, system parameters, network RTK
        {1019, 1027}, // GPS and GLONASS ephemerides, transformations
        {1029, 1035}, // text, network residuals, physical station, descriptors, FKP
        {1037, 1039}, // GLONASS network RTK
        {1041, 1042}, // NavIC and BeiDou ephemerides
        {1044, 1046}, // QZSS and Galileo ephemerides
        {1057, 1068}, // SSR of GPS and GLONASS
        {1230, 1230}, // GLONASS code-phase biases
    };
    for (const auto &range : kRanges)
        if (message >= range[0] && message <= range[1])
            return true;
    return false;
}

int messageNumber(const uint8_t *payload, size_t size) {
    return size < 2 ? -1 : (payload[0] << 4) | (payload[1] >> 4);
}

// Stationary reference station ARP, 1005 (152 bits) and, with antenna
// height, 1006 (168 bits):
//   message number                    DF002   12
//   reference station ID              DF003   12
//   ITRF realisation year             DF021    6
//   GPS indicator                     DF022    1
//   GLONASS indicator                 DF023    1
//   Galileo indicator                 DF024    1
//   reference station indicator       DF141    1  (1: non-physical)
//   ARP ECEF-X                        DF025   38  signed, 0.0001 m
//   single receiver oscillator        DF142    1
//   reserved                          DF001    1
//   ARP ECEF-Y                        DF026   38  signed, 0.0001 m
//   quarter cycle indicator           DF364    2
//   ARP ECEF-Z                        DF027   38  signed, 0.0001 m
//   antenna height (1006 only)        DF028   16  0.0001 m
bool decodeStationPosition(const uint8_t *payload, size_t size, StationPosition *out) {
    *out = StationPosition();
    BitReader bits(payload, size);
    out->message = (int)bits.u(12);
    out->stationId = (int)bits.u(12);
    out->itrfYear = (int)bits.u(6);
    out->gps = bits.u(1) != 0;
    out->glonass = bits.u(1) != 0;
    out->galileo = bits.u(1) != 0;
    out->physicalStation = bits.u(1) == 0;
    out->x = bits.s(38);
    bits.skip(2);
    out->y = bits.s(38);
    bits.skip(2);
    out->z = bits.s(38);
    out->hasAntennaHeight = out->message == 1006;
    if (out->hasAntennaHeight)
        out->antennaHeight = (uint32_t)bits.u(16);
    return !bits.overrun();
}

// Antenna descriptor 1007, with serial number 1008, and receiver and
// antenna descriptors 1033:
//   message number                    DF002   12
//   reference station ID              DF003   12
//   antenna descriptor counter N      DF029    8
//   antenna descriptor                DF030  8 N
//   antenna setup ID                  DF031    8
// 1008 and 1033 go on:
//   antenna serial number counter M   DF032    8
//   antenna serial number             DF033  8 M
// 1033 goes on:
//   receiver type descriptor counter  DF227    8
//   receiver type descriptor          DF228  8 I
//   firmware version counter          DF229    8
//   firmware version                  DF230  8 J
//   receiver serial number counter    DF231    8
//   receiver serial number            DF232  8 K
bool decodeDescriptors(const uint8_t *payload, size_t size, Descriptors *out) {
    *out = Descriptors();
    BitReader bits(payload, size);
    out->message = (int)bits.u(12);
    out->stationId = (int)bits.u(12);
    out->antenna = bits.text(bits.u(8));
    out->setupId = (int)bits.u(8);
    out->hasAntennaSerial = out->message != 1007;
    if (out->hasAntennaSerial)
        out->antennaSerial = bits.text(bits.u(8));
    out->hasReceiver = out->message == 1033;
    if (out->hasReceiver) {
        out->receiverType = bits.text(bits.u(8));
        out->firmware = bits.text(bits.u(8));
        out->receiverSerial = bits.text(bits.u(8));
    }
    return !bits.overrun();
}

bool decodeObservationHeader(const uint8_t *payload, size_t size, ObservationHeader *out) {
    *out = ObservationHeader();
    BitReader bits(payload, size);
    out->message = (int)bits.u(12);
    LegacyLayout layout;
    if (msmConstellation(out->message, &out->constellation))
        return decodeMsmHeader(bits, out);
    if (legacyLayout(out->message, &layout)) {
        out->constellation = layout.constellation;
        return decodeLegacyHeader(bits, layout, out);
    }
    return false;
}

bool decodeEphemeris(const uint8_t *payload, size_t size, EphemerisHeader *out) {
    *out = EphemerisHeader();
    BitReader bits(payload, size);
    out->message = (int)bits.u(12);
    EphemerisLayout layout;
    if (!ephemerisLayout(out->message, &layout))
        return false;
    out->constellation = layout.constellation;
    out->satellite = (int)bits.u(layout.idBits);
    return size * 8 >= layout.totalBits;
}

Constellation ephemerisConstellation(int message) {
    EphemerisLayout layout;
    return ephemerisLayout(message, &layout) ? layout.constellation : kGps;
}

std::string satelliteName(Constellation constellation, int satellite) {
    // The letters of RINEX, in the order of Constellation.
    static const char kLetters[kConstellations] = {'G', 'R', 'E', 'S', 'J', 'C'};
    char name[16];
    snprintf(name, sizeof name, "%c%02d",
             constellation >= 0 && constellation < kConstellations ? kLetters[constellation] : '?',
             satellite);
    return name;
}

} // namespace analysis
