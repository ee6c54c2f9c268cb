#include "content.h"

#include <stdlib.h>
#include <time.h>

#include "gnss.h"
#include "paced.h"
#include "replay.h"
#include "synthetic.h"

namespace {

const int kExitUsage = 2;
// The longest descriptor a 1033 may carry.
const size_t kMaxReceiverDescriptor = 31;
// A reference station ID has 12 bits.
const int kMaxStationId = 4095;
// The station's own messages go with the first epoch and then this often.
const uint64_t kStationEveryMs = 10000;
// Epoch intervals the synthetic station may choose, shortest first: the
// shortest whose bytes fit in the --rate budget is taken.
const uint64_t kEpochIntervalsMs[] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 30000, 60000};

[[noreturn]] void usageError(const std::string &message) {
    fprintf(stderr, "velto-caster: %s\n(see velto-caster --help)\n", message.c_str());
    exit(kExitUsage);
}

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

bool parseContentOption(const std::string &arg, bool hasInlineValue,
                        const std::function<const char *()> &value, ContentOptions *options) {
    if (arg == "--replay") {
        options->replayFile = value();
        if (options->replayFile.empty())
            usageError("--replay needs a file name");
    } else if (arg == "--loop" && !hasInlineValue) {
        options->loop = true;
    } else if (arg == "--station-id") {
        const char *text = value();
        char *end = NULL;
        long id = strtol(text, &end, 10);
        if (end == text || *end != '\0' || id < 0 || id > kMaxStationId)
            usageError("--station-id takes 0 to " + std::to_string(kMaxStationId));
        options->stationId = (int)id;
    } else if (arg == "--station-per-connection" && !hasInlineValue) {
        options->stationPerConnection = true;
    } else if (arg == "--receiver-descriptor") {
        options->receiverDescriptor = value();
        if (options->receiverDescriptor.size() > kMaxReceiverDescriptor)
            usageError("--receiver-descriptor takes at most " + std::to_string(kMaxReceiverDescriptor) +
                       " characters");
    } else {
        return false;
    }
    return true;
}

void finishContentOptions(ContentOptions *options) {
    if (options->replayFile.empty()) {
        if (options->loop)
            usageError("--loop goes with --replay");
        return;
    }
    std::shared_ptr<Recording> recording(new Recording);
    std::string problem = loadRecording(options->replayFile, recording.get());
    if (!problem.empty())
        usageError("--replay " + problem);
    options->recording = recording;
}

void printContentUsage(FILE *to) {
    fprintf(to,
            "\n"
            "Stream content (default: a synthetic station, see above):\n"
            "  --station-id N      the synthetic station's reference station ID, 0 to %d;\n"
            "                      the same on every connection, as a real station's (default %d)\n"
            "  --station-per-connection  a new station ID for each stream connection instead\n"
            "                      (the ID plus the connection's number), to see a client\n"
            "                      notice a change of station\n"
            "  --receiver-descriptor TEXT  receiver type the synthetic station sends in 1033\n"
            "                      (at most %zu characters; default \"%s\")\n"
            "  --replay FILE       serve this recorded RTCM 3 file instead: at the pace of its\n"
            "                      observation epochs, or at --rate bytes per second when\n"
            "                      --rate is given (0 = as fast as possible); the connection\n"
            "                      closes at the end of the file\n"
            "  --loop              with --replay: start over at the end, without end\n",
            kMaxStationId, ContentOptions().stationId, kMaxReceiverDescriptor, kSyntheticReceiverType);
}

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
