// Decoders of the RTCM 3 messages the analysis looks into. Each takes one
// frame's payload and fills a plain struct; false means the message is
// malformed: shorter than its own fields, counters or masks say it is.
// Only what a stream monitor reports is decoded: station, equipment,
// observation headers and the satellite of an ephemeris, never the
// observations themselves.
#ifndef VELTO_ANALYSIS_MESSAGES_H
#define VELTO_ANALYSIS_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace analysis {

enum Constellation { kGps, kGlonass, kGalileo, kSbas, kQzss, kBeidou, kConstellations };

// "GPS", "GLONASS", "Galileo", "SBAS", "QZSS", "BeiDou".
const char *constellationName(Constellation constellation);

enum MessageFamily {
    kOtherMessage,
    kStationPosition, // 1005, 1006
    kDescriptors,     // 1007, 1008, 1033
    kObservations,    // legacy 1001-1004, 1009-1012; MSM 1071-1077 ... 1121-1127
    kEphemeris,       // 1019, 1020, 1042, 1044, 1045, 1046
};

MessageFamily messageFamily(int messageNumber);

// Whether RTCM 3 defines the message number: observations, station and
// antenna, ephemerides, network corrections, transformations, text, SSR,
// MSM and GLONASS biases. Proprietary (4001-4095), reserved and unassigned
// numbers are not.
bool isDefinedMessage(int messageNumber);

// The first 12 bits; -1 when the payload is too short to hold them.
int messageNumber(const uint8_t *payload, size_t size);

struct StationPosition {
    int message = 0;
    int stationId = 0;
    int itrfYear = 0;
    bool gps = false, glonass = false, galileo = false;
    bool physicalStation = true;   // false: a network's computed station
    int64_t x = 0, y = 0, z = 0;   // antenna reference point, ECEF, 0.1 mm
    bool hasAntennaHeight = false; // 1006 only
    uint32_t antennaHeight = 0;    // 0.1 mm
};
bool decodeStationPosition(const uint8_t *payload, size_t size, StationPosition *out);

struct Descriptors {
    int message = 0;
    int stationId = 0;
    std::string antenna;       // the antenna descriptor (IGS name and radome)
    int setupId = 0;
    bool hasAntennaSerial = false; // 1008 and 1033
    std::string antennaSerial;
    bool hasReceiver = false;  // 1033 only
    std::string receiverType;
    std::string firmware;
    std::string receiverSerial;
};
bool decodeDescriptors(const uint8_t *payload, size_t size, Descriptors *out);

struct ObservationHeader {
    int message = 0;
    int stationId = 0;
    Constellation constellation = kGps;
    int msmType = 0; // 1 to 7; 0 for the legacy messages
    // The epoch time as the stream gives it: for GLONASS the day of week
    // (0 Sunday to 6 Saturday; -1 when the message does not say) and the
    // milliseconds of the Moscow day; for the others the milliseconds of
    // their own week (BeiDou time for BeiDou, GPS time for the rest).
    int dayOfWeek = -1;
    uint32_t epochMs = 0;
    // MSM: more messages of this epoch follow. Legacy: observations of
    // another constellation follow for the same epoch.
    bool moreFollow = false;
    uint64_t satelliteMask = 0; // satellite n (from 1) at bit 64 - n
    uint32_t signalMask = 0;    // signal n (from 1) at bit 32 - n; MSM only
    int satellites = 0;
    int signals = 0; // legacy: 1 for L1 only, 2 for L1 and L2
    int cells = 0;   // satellite-signal pairs observed
};
bool decodeObservationHeader(const uint8_t *payload, size_t size, ObservationHeader *out);

struct EphemerisHeader {
    int message = 0;
    Constellation constellation = kGps;
    int satellite = 0; // the number the message gives (QZSS: 1 for J01)
};
bool decodeEphemeris(const uint8_t *payload, size_t size, EphemerisHeader *out);
// The constellation an ephemeris message number is for.
Constellation ephemerisConstellation(int messageNumber);

// "G05", "R12", "E11", "J01", "C08" (S for SBAS).
std::string satelliteName(Constellation constellation, int satellite);

} // namespace analysis

#endif
