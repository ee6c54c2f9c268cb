#include "content.h"

#include <stdlib.h>
#include <time.h>

#include "gnss.h"
#include "paced.h"
#include "replay.h"
#include "synthetic.h"

namespace {

// The station's own messages go with the first epoch and then this often.
const uint64_t kStationEveryMs = 10000;
// Epoch intervals the synthetic station may choose, shortest first: the
// shortest whose bytes fit in the --rate budget is taken.
const uint64_t kEpochIntervalsMs[] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 30000, 60000};

// GPS time now, in milliseconds since the GPS epoch: the system clock plus
// the leap seconds (the analysis assumes the same count by default).
uint64_t gpsMillisecondsNow() {
    const int64_t kGpsEpochInUnixMs = 315964800000LL;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t unixMs = (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
    return (uint64_t)(unixMs - kGpsEpochInUnixMs + analysis::kDefaultLeapSeconds * 1000LL);
}

uint64_t epochIntervalMs(double rate, size_t observationBytes, size_t stationBytes) {
    for (uint64_t interval : kEpochIntervalsMs)
        if (observationBytes * 1000.0 / interval + stationBytes * 1000.0 / kStationEveryMs <= rate)
            return interval;
    return kEpochIntervalsMs[sizeof kEpochIntervalsMs / sizeof kEpochIntervalsMs[0] - 1];
}

// The synthetic station's stream. With a byte rate, one epoch at each
// multiple of the epoch interval in GPS time, stamped with that time and
// sent when it comes; as fast as possible (rate 0), epochs back to back,
// each stamped with the time it is built.
class SyntheticContent : public PacedContent {
public:
    SyntheticContent(double rate, int stationId, int connectionNumber, const std::string &receiverType)
        : station_(stationId, 0x9E3779B9u * (uint32_t)connectionNumber, receiverType) {
        if (rate > 0) {
            interval_ = epochIntervalMs(rate, station_.observationBytes(), station_.stationBytes());
            double epochBytes = (double)(station_.observationBytes() + station_.stationBytes());
            setPacing(rate, rate > epochBytes ? rate : epochBytes, true);
            uint64_t now = gpsMillisecondsNow();
            nextEpoch_ = now - now % interval_ + interval_;
        }
    }

    bool finished() const override { return false; }

protected:
    void fill(double, size_t wanted) override {
        uint64_t now = gpsMillisecondsNow();
        if (interval_ == 0) {
            while (queued() < wanted)
                appendEpoch(now);
        } else if (now >= nextEpoch_) {
            // A client that fell behind skips the epochs it missed: a station
            // sends each epoch once, when it is measured.
            uint64_t epoch = now - (now - nextEpoch_) % interval_;
            appendEpoch(epoch);
            nextEpoch_ = epoch + interval_;
        }
    }

    double secondsUntilMore(double) override {
        uint64_t now = gpsMillisecondsNow();
        return interval_ == 0 || now >= nextEpoch_ ? 0 : (nextEpoch_ - now) / 1000.0;
    }

private:
    void appendEpoch(uint64_t epoch) {
        bool withStation = !stationSent_ || epoch >= lastStation_ + kStationEveryMs;
        if (withStation) {
            stationSent_ = true;
            lastStation_ = epoch;
        }
        station_.appendEpoch(epoch, withStation, &queue_);
    }

    SyntheticStation station_;
    uint64_t interval_ = 0; // 0: as fast as possible
    uint64_t nextEpoch_ = 0;
    bool stationSent_ = false;
    uint64_t lastStation_ = 0;
};

} // namespace

std::unique_ptr<StreamContent> openStreamContent(const ContentOptions &options, double rate,
                                                 int connectionNumber) {
    if (options.recording)
        return openReplay(options.recording, options.rateGiven ? rate : -1, options.loop);
    const std::string &receiver =
        options.receiverDescriptor.empty() ? std::string(kSyntheticReceiverType) : options.receiverDescriptor;
    int stationId = options.stationPerConnection ? (options.stationId + connectionNumber) % (kMaxStationId + 1)
                                                 : options.stationId;
    return std::unique_ptr<StreamContent>(new SyntheticContent(rate, stationId, connectionNumber, receiver));
}
