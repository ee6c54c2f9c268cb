// Synthetic RTCM 3 correction stream: the messages a small GPS+GLONASS
// reference station sends (station position 1005, MSM4 observations 1074 and
// 1084, GLONASS code-phase biases 1230), with correct framing, CRC-24Q and
// field layout. The observation values are made up; they only need to look
// like what a receiver would put there.
#ifndef VELTO_CASTER_SYNTHETIC_H
#define VELTO_CASTER_SYNTHETIC_H

#include <stdint.h>

#include <vector>

class SyntheticStation {
public:
    // gpsMillisecondOfWeek: epoch time of the first epoch.
    SyntheticStation(int stationId, uint32_t seed, uint32_t gpsMillisecondOfWeek);

    // The frames of the next one-second epoch, concatenated: 1074 and 1084
    // every epoch, 1005 and 1230 every tenth epoch starting with the first.
    std::vector<uint8_t> nextEpoch();

private:
    std::vector<uint8_t> stationPosition() const;
    std::vector<uint8_t> observations(int messageNumber, bool moreFollow);
    std::vector<uint8_t> glonassBiases() const;
    uint32_t random();

    int stationId_;
    uint32_t state_;
    uint32_t epochMs_;
    uint32_t epochCount_ = 0;
};

#endif
