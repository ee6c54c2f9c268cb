#include "core/session.h"

#include <errno.h>
#include <unistd.h>

namespace {

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

MountSession::MountSession(const std::string &mount, int clientNumber, int outputFd,
                           bool closeOutput, const analysis::Options &analysisOptions,
                           Wakeup *wakeup)
    : mount_(mount), clientNumber_(clientNumber), outputFd_(outputFd), closeOutput_(closeOutput),
      wakeup_(wakeup), analysis_(analysisOptions) {}

MountSession::~MountSession() { destroy(); }

void MountSession::start(SteadyClock::time_point runStart) {
    runStart_ = runStart;
    timeline_.begin(runStart);
    starter_ = pthread_self();
    handle_ = VeltoConstruct();
    VeltoStart(handle_, this, const_cast<char *>(mount_.c_str()), clientNumber_, onData, onStatus);
}

void MountSession::requestStop() {
    if (stopRequested_)
        return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        statusAtStop_ = timeline_.lastStatus();
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
    const StatusChange *last = timeline_.last();
    bool sawFinalIdle = last != nullptr && last->status == VELTO_STATUS_IDLE;
    bool refused = last != nullptr && last->fromStart;
    return handle_ == nullptr || sawFinalIdle || refused;
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
    // The connection is gone: a frame it cut short is a cut frame, not a
    // corrupt one, and the next connection starts afresh.
    if (timeline_.lastStatus() == VELTO_STATUS_STREAMING)
        analysis_.linkDropped(unixSeconds(change.wallTime));
    timeline_.record(change);
    pending_.push_back(change);
}

std::vector<StatusChange> MountSession::takeChanges() {
    std::vector<StatusChange> changes;
    std::lock_guard<std::mutex> hold(mutex_);
    changes.swap(pending_);
    return changes;
}

SessionSnapshot MountSession::snapshot(SteadyClock::time_point now) const {
    SessionSnapshot shot;
    std::lock_guard<std::mutex> hold(mutex_);
    if (const StatusChange *last = timeline_.last()) {
        shot.status = last->status;
        shot.statusFromStart = last->fromStart;
    }
    for (const StatusChange &change : timeline_.changes())
        shot.statuses.push_back(change.status);
    shot.connections = timeline_.connections();
    shot.streamedEver = shot.connections > 0;
    shot.streamingSeconds = timeline_.streamingSeconds(now);
    shot.bytes = bytes_;
    shot.blocks = blocks_;
    shot.anyBlock = blocks_ > 0;
    if (shot.anyBlock)
        shot.sinceLastBlock = secondsBetween(lastBlock_, now);
    if (!stopRequested_)
        shot.next = timeline_.nextAttempt(now);
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
    return timeline_.ending(stopRequested_ ? statusAtStop_ : timeline_.lastStatus());
}
