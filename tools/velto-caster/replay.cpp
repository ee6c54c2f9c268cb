#include "replay.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "frame_scanner.h"
#include "gnss.h"
#include "messages.h"
#include "paced.h"

namespace {

// A pause longer than this between two epochs of a recording is a gap in
// it, not its pace; the replay goes on after the usual step instead.
const double kLongestPause = 60;

// Frames of a whole file, where they start.
class FrameList : public analysis::FrameSink {
public:
    explicit FrameList(const uint8_t *start) : start_(start) {}
    void onFrame(const uint8_t *payload, size_t size) override {
        size_t offset = (size_t)(payload - start_) - analysis::kFrameHeader;
        frames.push_back({offset, payload, size});
    }
    struct Frame {
        size_t offset;
        const uint8_t *payload;
        size_t size;
    };
    std::vector<Frame> frames;

private:
    const uint8_t *start_;
};

bool readFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *problem) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) {
        *problem = path + ": " + strerror(errno);
        return false;
    }
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + got);
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed)
        *problem = path + ": read error";
    return !failed;
}

// The replay's clock follows the epochs of one constellation, the first
// one seen: the others may sit seconds apart in GPS time (a receiver's
// GLONASS leap seconds, BeiDou written in GPS time) and would make it jump.
void deriveSchedule(const FrameList &list, Recording *recording) {
    recording->schedule.push_back({0, 0});
    bool pacing = false;
    analysis::Constellation paced = analysis::kGps;
    analysis::GpsPlace last = {0, 0};
    double at = 0;
    for (const FrameList::Frame &frame : list.frames) {
        analysis::ObservationHeader header;
        int message = analysis::messageNumber(frame.payload, frame.size);
        if (analysis::messageFamily(message) != analysis::kObservations ||
            !analysis::decodeObservationHeader(frame.payload, frame.size, &header))
            continue;
        if (pacing && header.constellation != paced)
            continue;
        analysis::GpsPlace place = analysis::gpsPlaceOfEpoch(header, analysis::kDefaultLeapSeconds);
        if (!pacing) {
            pacing = true;
            paced = header.constellation;
            last = place;
            ++recording->epochs;
            continue;
        }
        // Seconds from the previous epoch, across the end of the week.
        double step = analysis::epochAgeSeconds(place.seconds, last);
        if (step == 0)
            continue; // another message of the same epoch
        last = place;
        ++recording->epochs;
        if (step > 0 && step <= kLongestPause)
            recording->epochStep = step;
        at += step > 0 && step <= kLongestPause ? step : recording->epochStep;
        recording->schedule.push_back({frame.offset, at});
    }
}

class ReplayContent : public PacedContent {
public:
    ReplayContent(const std::shared_ptr<const Recording> &recording, double rate, bool loop)
        : recording_(recording), byEpochs_(rate < 0), loop_(loop),
          passEnd_(loop ? recording->wholeFramesEnd : recording->bytes.size()) {
        if (!byEpochs_)
            setPacing(rate, rate * 0.1, false);
    }

    bool finished() const override { return !loop_ && position_ >= passEnd_ && queued() == 0; }

protected:
    void fill(double now, size_t wanted) override {
        if (passEnd_ == 0)
            return; // nothing that could be looped
        if (byEpochs_)
            fillByEpochs(now);
        else
            fillBytes(wanted);
    }

    double secondsUntilMore(double now) override {
        if (!byEpochs_)
            return 0;
        if (position_ >= passEnd_)
            return loop_ ? nextPassAt() - now : 1;
        if (nextStep_ >= recording_->schedule.size())
            return 0;
        return passStart_ + recording_->schedule[nextStep_].at - now;
    }

private:
    void fillByEpochs(double now) {
        const std::vector<Recording::Step> &schedule = recording_->schedule;
        for (;;) {
            while (nextStep_ < schedule.size() && schedule[nextStep_].offset < passEnd_ &&
                   passStart_ + schedule[nextStep_].at <= now)
                ++nextStep_;
            size_t dueEnd = nextStep_ < schedule.size() && schedule[nextStep_].offset < passEnd_
                                ? schedule[nextStep_].offset
                                : passEnd_;
            append(dueEnd);
            if (position_ < passEnd_ || !loop_ || nextPassAt() > now)
                return;
            passStart_ = nextPassAt();
            position_ = 0;
            nextStep_ = 0;
        }
    }

    // When the next pass of a loop starts: one usual step after the last epoch.
    double nextPassAt() const { return passStart_ + recording_->schedule.back().at + recording_->epochStep; }

    void fillBytes(size_t wanted) {
        size_t target = queued() + wanted;
        while (queued() < target) {
            if (position_ >= passEnd_) {
                if (!loop_)
                    return;
                position_ = 0;
            }
            size_t end = position_ + (target - queued());
            append(end < passEnd_ ? end : passEnd_);
        }
    }

    void append(size_t end) {
        if (end <= position_)
            return;
        const uint8_t *bytes = recording_->bytes.data();
        queue_.insert(queue_.end(), bytes + position_, bytes + end);
        position_ = end;
    }

    std::shared_ptr<const Recording> recording_;
    bool byEpochs_;
    bool loop_;
    size_t passEnd_;
    size_t position_ = 0;
    size_t nextStep_ = 0;
    double passStart_ = 0;
};

} // namespace

std::string loadRecording(const std::string &path, Recording *recording) {
    std::string problem;
    if (!readFile(path, &recording->bytes, &problem))
        return problem;
    FrameList list(recording->bytes.data());
    analysis::FrameScanner scanner(&list);
    scanner.feed(recording->bytes.data(), recording->bytes.size());
    if (list.frames.empty())
        return path + ": no RTCM 3 frame in it";
    recording->frames = list.frames.size();
    const FrameList::Frame &lastFrame = list.frames.back();
    recording->wholeFramesEnd =
        lastFrame.offset + analysis::kFrameHeader + lastFrame.size + analysis::kFrameCrc;
    deriveSchedule(list, recording);
    return "";
}

std::unique_ptr<StreamContent> openReplay(const std::shared_ptr<const Recording> &recording, double rate,
                                          bool loop) {
    return std::unique_ptr<StreamContent>(new ReplayContent(recording, rate, loop));
}
