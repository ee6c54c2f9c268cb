// The made-up reference station behind velto-caster's synthetic stream: a
// fixed station near Potsdam with a GPS, GLONASS, Galileo and BeiDou
// receiver. Each observation epoch carries the GNSS time it is stamped
// with, in each constellation's own time scale, so that a client that
// receives it at once measures a latency of a few milliseconds. The
// observation values are made up; they only need to look like what a
// receiver puts there, and they are prepared once so that building an
// epoch costs no more than copying it.
#ifndef VELTO_CASTER_SYNTHETIC_H
#define VELTO_CASTER_SYNTHETIC_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

extern const char kSyntheticReceiverType[]; // the 1033 receiver type unless told otherwise

class SyntheticStation {
public:
    SyntheticStation(int stationId, uint32_t seed, const std::string &receiverType);

    // Appends the epoch at gpsMs (milliseconds since the GPS epoch, GPS
    // time): MSM4 observations 1074, 1084, 1094 and 1124. withStation puts
    // the station's own messages first: position 1005 and 1006, receiver
    // and antenna 1033, GLONASS biases 1230.
    void appendEpoch(uint64_t gpsMs, bool withStation, std::vector<uint8_t> *out);

    size_t observationBytes() const { return observationBytes_; }
    size_t stationBytes() const { return station_.size(); }

private:
    struct Observations {
        int message;
        std::vector<std::vector<uint8_t>> variants; // payloads with the epoch time left 0
    };

    std::vector<uint8_t> observationPayload(int message, bool moreFollow);
    uint32_t random();

    int stationId_;
    uint32_t state_;
    std::vector<uint8_t> station_; // the station's frames, ready to send
    std::vector<Observations> observations_;
    size_t observationBytes_ = 0;
    unsigned epochCount_ = 0;
};

#endif
