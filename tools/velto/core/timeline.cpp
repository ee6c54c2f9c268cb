#include "core/timeline.h"

#include <math.h>

namespace {

// The library's fixed timings beside its pause: a bounded connect, and a
// bounded wait for the caster's answer.
const double kConnectBoundSeconds = 8;
const double kAnswerBoundSeconds = 16;

bool isFailure(int status) { return status < 0; }

// The longest an attempt ending with this status can take. An answered
// attempt (-5 to -8) is over as soon as the answer is in.
double attemptBound(int status) {
    if (status == VELTO_STATUS_CONNECT_FAILED)
        return kConnectBoundSeconds;
    if (status == VELTO_STATUS_NO_ANSWER)
        return kAnswerBoundSeconds;
    return 0;
}

} // namespace

void StatusTimeline::record(const StatusChange &change) {
    const StatusChange *previous = last();
    if (previous != nullptr && previous->status == VELTO_STATUS_STREAMING)
        streamingSeconds_ += secondsBetween(previous->when, change.when);
    if (isFailure(change.status)) {
        // When the attempt began is known if nothing happened silently
        // since the last report: the run's start, or the end of the pause
        // after the last report. Otherwise assume the longest it can take.
        double bound = attemptBound(change.status);
        SteadyClock::time_point began =
            previous == nullptr ? runStart_
                                : previous->when + std::chrono::duration_cast<SteadyClock::duration>(
                                                       std::chrono::duration<double>(kLibraryPauseSeconds));
        double took = secondsBetween(began, change.when);
        attemptSeconds_ = took >= -1 && took <= bound + 2 ? fmin(fmax(took, 0.0), bound) : bound;
    }
    changes_.push_back(change);
}

int StatusTimeline::connections() const {
    int count = 0;
    for (const StatusChange &change : changes_)
        count += change.status == VELTO_STATUS_STREAMING;
    return count;
}

double StatusTimeline::streamingSeconds(SteadyClock::time_point now) const {
    if (lastStatus() == VELTO_STATUS_STREAMING)
        return streamingSeconds_ + secondsBetween(changes_.back().when, now);
    return streamingSeconds_;
}

NextAttempt StatusTimeline::nextAttempt(SteadyClock::time_point now) const {
    NextAttempt next;
    if (changes_.empty())
        return next;
    const StatusChange &latest = changes_.back();
    if (!isFailure(latest.status) || latest.fromStart)
        return next;
    next.expected = true;
    double since = secondsBetween(latest.when, now);
    if (since < kLibraryPauseSeconds) {
        next.seconds = kLibraryPauseSeconds - since;
        return next;
    }
    next.estimated = true;
    // A lost stream never repeats silently: the attempt after its pause
    // either streams or fails some other way, and both are reported.
    if (latest.status == VELTO_STATUS_STREAM_LOST)
        return next;
    double cycle = attemptSeconds_ + kLibraryPauseSeconds;
    double intoCycle = fmod(since - kLibraryPauseSeconds, cycle);
    next.seconds = intoCycle < attemptSeconds_ ? 0 : cycle - intoCycle;
    return next;
}

Ending StatusTimeline::ending(int finalStatus) const {
    if (!changes_.empty() && changes_.front().fromStart)
        return Ending::RefusedAtStart;
    switch (finalStatus) {
    case VELTO_STATUS_STREAMING: return Ending::Streaming;
    case VELTO_STATUS_NOT_FOUND: return Ending::NotFound;
    case VELTO_STATUS_UNAUTHORISED: return Ending::NotAuthorised;
    case VELTO_STATUS_NOT_IMPLEMENTED: return Ending::NotImplemented;
    default: return connections() > 0 ? Ending::Down : Ending::NeverStreamed;
    }
}
