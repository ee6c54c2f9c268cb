#include "core/session.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <unistd.h>

#include "commands.h"

namespace {

// The library's fixed timings beside its pause: a bounded connect, and a
// bounded wait for the caster's answer.
const double kPauseSeconds = kLibraryPauseSeconds;
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

bool writeAll(int fd, const char *bytes, size_t count) {
    while (count > 0) {
        ssize_t done = write(fd, bytes, count);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        count -= (size_t)done;
    }
    return true;
}

} // namespace

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double unixSeconds(WallClock::time_point when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

const char *statusName(int status, bool fromStart) {
    switch (status) {
    case VELTO_STATUS_IDLE: return "idle";
    case VELTO_STATUS_STREAMING: return "streaming";
    case VELTO_STATUS_CONNECT_FAILED: return "connection_failed";
    case VELTO_STATUS_NO_ANSWER: return "no_answer";
    case VELTO_STATUS_STREAM_LOST: return "stream_lost";
    case VELTO_STATUS_NOT_FOUND: return "not_found";
    case VELTO_STATUS_UNAUTHORISED: return "not_authorised";
    case VELTO_STATUS_NOT_IMPLEMENTED: return "not_implemented";
    case VELTO_STATUS_UNRESOLVED: return fromStart ? "refused_at_start" : "answer_not_recognised";
    default: return "unknown";
    }
}

const char *statusMeaning(int status, bool fromStart) {
    switch (status) {
    case VELTO_STATUS_IDLE: return "idle";
    case VELTO_STATUS_STREAMING: return "streaming";
    case VELTO_STATUS_CONNECT_FAILED: return "connection failed";
    case VELTO_STATUS_NO_ANSWER: return "no answer";
    case VELTO_STATUS_STREAM_LOST: return "stream lost";
    case VELTO_STATUS_NOT_FOUND: return "mount point not found";
    case VELTO_STATUS_UNAUTHORISED: return "not authorised";
    case VELTO_STATUS_NOT_IMPLEMENTED: return "not implemented";
    case VELTO_STATUS_UNRESOLVED:
        return fromStart ? "refused at start: caster name not resolved, or mount point too long"
                         : "answer not recognised";
    default: return "unknown status";
    }
}

const char *endingName(Ending ending) {
    switch (ending) {
    case Ending::Streaming: return "streaming";
    case Ending::Down: return "down";
    case Ending::NeverStreamed: return "never_streamed";
    case Ending::NotImplemented: return "not_implemented";
    case Ending::NotFound: return "not_found";
    case Ending::NotAuthorised: return "not_authorised";
    case Ending::RefusedAtStart: return "refused_at_start";
    case Ending::OutputFailed: return "output_failed";
    }
    return "unknown";
}

const char *endingMeaning(Ending ending) {
    switch (ending) {
    case Ending::Streaming: return "streaming";
    case Ending::Down: return "stream down";
    case Ending::NeverStreamed: return "never streamed";
    case Ending::NotImplemented: return "not implemented";
    case Ending::NotFound: return "mount point not found";
    case Ending::NotAuthorised: return "not authorised";
    case Ending::RefusedAtStart: return statusMeaning(VELTO_STATUS_UNRESOLVED, true);
    case Ending::OutputFailed: return "output could not be written";
    }
    return "unknown";
}

int exitStatusFor(Ending ending) {
    switch (ending) {
    case Ending::Streaming: return kExitStreaming;
    case Ending::Down: return kExitDown;
    case Ending::NeverStreamed: return kExitNetwork;
    case Ending::NotImplemented: return kExitNotImplemented;
    case Ending::NotFound: return kExitNotFound;
    case Ending::NotAuthorised: return kExitNotAuthorised;
    case Ending::RefusedAtStart: return kExitRefusedAtStart;
    case Ending::OutputFailed: return kExitOutput;
    }
    return kExitNetwork;
}

bool Wakeup::open() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    read_ = ends[0];
    write_ = ends[1];
    return true;
}

Wakeup::~Wakeup() {
    if (read_ >= 0) {
        close(read_);
        close(write_);
    }
}

void Wakeup::notify() {
    char byte = 1;
    ssize_t ignored = write(write_, &byte, 1); // a full pipe is awake already
    (void)ignored;
}

void Wakeup::drain() {
    char buffer[256];
    while (read(read_, buffer, sizeof buffer) > 0) {
    }
}

MountSession::MountSession(const std::string &mount, int clientNumber, int outputFd,
                           bool closeOutput, const analysis::Options &analysisOptions,
                           Wakeup *wakeup)
    : mount_(mount), clientNumber_(clientNumber), outputFd_(outputFd), closeOutput_(closeOutput),
      wakeup_(wakeup), analysis_(analysisOptions) {}

MountSession::~MountSession() { destroy(); }

void MountSession::start(SteadyClock::time_point runStart) {
    runStart_ = runStart;
    starter_ = pthread_self();
    handle_ = VeltoConstruct();
    VeltoStart(handle_, this, const_cast<char *>(mount_.c_str()), clientNumber_, onData, onStatus);
}

void MountSession::requestStop() {
    if (stopRequested_)
        return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        statusAtStop_ = timeline_.empty() ? VELTO_STATUS_IDLE : timeline_.back().status;
    }
    stopRequested_ = true;
    stoppedAt_ = SteadyClock::now();
    if (handle_ != nullptr)
        VeltoStop(handle_);
}

bool MountSession::ended() const {
    if (!stopRequested_)
        return false;
    std::lock_guard<std::mutex> hold(mutex_);
    bool refused = !timeline_.empty() && timeline_.back().fromStart;
    return handle_ == nullptr || sawFinalIdle_ || refused;
}

void MountSession::destroy() {
    if (handle_ != nullptr) {
        VeltoDestruct(handle_);
        handle_ = nullptr;
    }
    if (closeOutput_ && outputFd_ >= 0 && close(outputFd_) != 0 && !outputFailed_) {
        outputErrno_ = errno;
        outputFailed_ = true;
    }
    outputFd_ = -1;
}

// Client thread, library lock held: write, count, feed; never print, never
// wait for another mount point, never call the library.
void VELTO_CALL MountSession::onData(void *user, char *bytes, int count) {
    MountSession *session = static_cast<MountSession *>(user);
    WallClock::time_point receivedAt = WallClock::now();
    if (session->outputFd_ >= 0 && !session->outputFailed_) {
        if (!writeAll(session->outputFd_, bytes, (size_t)count)) {
            session->outputErrno_ = errno;
            session->outputFailed_ = true;
            session->wakeup_->notify();
        }
    }
    std::lock_guard<std::mutex> hold(session->mutex_);
    session->bytes_ += (uint64_t)count;
    session->blocks_ += 1;
    session->lastBlock_ = SteadyClock::now();
    session->analysis_.feed(bytes, (size_t)count, unixSeconds(receivedAt));
}

// Client thread without the library lock, or the thread in VeltoStart for
// its -8.
void VELTO_CALL MountSession::onStatus(void *user, int status) {
    MountSession *session = static_cast<MountSession *>(user);
    StatusChange change;
    change.status = status;
    change.when = SteadyClock::now();
    change.wallTime = WallClock::now();
    change.fromStart = pthread_equal(pthread_self(), session->starter_) != 0;
    session->recordChange(change);
    session->wakeup_->notify();
}

void MountSession::recordChange(const StatusChange &change) {
    std::lock_guard<std::mutex> hold(mutex_);
    const StatusChange *previous = timeline_.empty() ? nullptr : &timeline_.back();
    if (previous != nullptr && previous->status == VELTO_STATUS_STREAMING) {
        streamingSeconds_ += secondsBetween(previous->when, change.when);
        // The connection is gone: a frame it cut short is a cut frame, not
        // a corrupt one, and the next connection starts afresh.
        analysis_.linkDropped(unixSeconds(change.wallTime));
    }
    if (isFailure(change.status)) {
        // When the attempt began is known if nothing happened silently
        // since the last report: the run's start, or the end of the pause
        // after the last report. Otherwise assume the longest it can take.
        double bound = attemptBound(change.status);
        SteadyClock::time_point began =
            previous == nullptr ? runStart_
                                : previous->when + std::chrono::duration_cast<SteadyClock::duration>(
                                                       std::chrono::duration<double>(kPauseSeconds));
        double took = secondsBetween(began, change.when);
        attemptSeconds_ = took >= -1 && took <= bound + 2 ? fmin(fmax(took, 0.0), bound) : bound;
    }
    sawFinalIdle_ = change.status == VELTO_STATUS_IDLE;
    timeline_.push_back(change);
    pending_.push_back(change);
}

std::vector<StatusChange> MountSession::takeChanges() {
    std::vector<StatusChange> changes;
    std::lock_guard<std::mutex> hold(mutex_);
    changes.swap(pending_);
    return changes;
}

bool MountSession::refusedAtStart() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return !timeline_.empty() && timeline_.back().fromStart;
}

// Called with mutex_ held.
NextAttempt MountSession::nextAttempt(SteadyClock::time_point now) const {
    NextAttempt next;
    if (stopRequested_ || timeline_.empty())
        return next;
    const StatusChange &last = timeline_.back();
    if (!isFailure(last.status) || last.fromStart)
        return next;
    next.expected = true;
    double since = secondsBetween(last.when, now);
    if (since < kPauseSeconds) {
        next.seconds = kPauseSeconds - since;
        return next;
    }
    next.estimated = true;
    // A lost stream never repeats silently: the attempt after its pause
    // either streams or fails some other way, and both are reported.
    if (last.status == VELTO_STATUS_STREAM_LOST)
        return next;
    double cycle = attemptSeconds_ + kPauseSeconds;
    double intoCycle = fmod(since - kPauseSeconds, cycle);
    next.seconds = intoCycle < attemptSeconds_ ? 0 : cycle - intoCycle;
    return next;
}

SessionSnapshot MountSession::snapshot(SteadyClock::time_point now) const {
    SessionSnapshot shot;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!timeline_.empty()) {
        shot.status = timeline_.back().status;
        shot.statusFromStart = timeline_.back().fromStart;
    }
    for (const StatusChange &change : timeline_) {
        shot.statuses.push_back(change.status);
        if (change.status == VELTO_STATUS_STREAMING)
            shot.connections += 1;
    }
    shot.streamedEver = shot.connections > 0;
    shot.streamingSeconds = streamingSeconds_;
    if (shot.status == VELTO_STATUS_STREAMING)
        shot.streamingSeconds += secondsBetween(timeline_.back().when, now);
    shot.bytes = bytes_;
    shot.blocks = blocks_;
    shot.anyBlock = blocks_ > 0;
    if (shot.anyBlock)
        shot.sinceLastBlock = secondsBetween(lastBlock_, now);
    shot.next = nextAttempt(now);
    shot.stopped = stopRequested_;
    if (stopRequested_)
        shot.stoppedAfter = secondsBetween(runStart_, stoppedAt_);
    shot.ending = endingLocked();
    shot.analysis = analysis_.snapshot();
    return shot;
}

void MountSession::rollInterval(WallClock::time_point now) {
    std::lock_guard<std::mutex> hold(mutex_);
    analysis_.rollInterval(unixSeconds(now));
}

std::vector<analysis::Event> MountSession::takeAnalysisEvents() {
    std::lock_guard<std::mutex> hold(mutex_);
    return analysis_.takeEvents();
}

Ending MountSession::ending() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return endingLocked();
}

// Called with mutex_ held.
Ending MountSession::endingLocked() const {
    if (outputFailed_)
        return Ending::OutputFailed;
    if (!timeline_.empty() && timeline_.front().fromStart)
        return Ending::RefusedAtStart;
    int last = stopRequested_ ? statusAtStop_
                              : (timeline_.empty() ? VELTO_STATUS_IDLE : timeline_.back().status);
    bool streamed = false;
    for (const StatusChange &change : timeline_)
        streamed = streamed || change.status == VELTO_STATUS_STREAMING;
    switch (last) {
    case VELTO_STATUS_STREAMING: return Ending::Streaming;
    case VELTO_STATUS_NOT_FOUND: return Ending::NotFound;
    case VELTO_STATUS_UNAUTHORISED: return Ending::NotAuthorised;
    case VELTO_STATUS_NOT_IMPLEMENTED: return Ending::NotImplemented;
    default: return streamed ? Ending::Down : Ending::NeverStreamed;
    }
}
