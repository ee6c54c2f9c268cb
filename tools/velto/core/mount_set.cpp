#include "core/mount_set.h"

#include "core/names.h"
#include "core/table_lookup.h"

namespace {

bool isRefusal(int status) {
    return status == VELTO_STATUS_NOT_FOUND || status == VELTO_STATUS_UNAUTHORISED ||
           status == VELTO_STATUS_NOT_IMPLEMENTED;
}

} // namespace

MountSet::MountSet(bool retryRefused, const analysis::Options &analysisOptions, Wakeup *wakeup)
    : retryRefused_(retryRefused), analysisOptions_(analysisOptions), wakeup_(wakeup) {}

MountSet::~MountSet() { destroyAll(); }

void MountSet::add(const std::string &mount, int clientNumber, int outputFd, bool closeOutput) {
    sessions_.emplace_back(
        new MountSession(mount, clientNumber, outputFd, closeOutput, analysisOptions_, wakeup_));
    outputFailureTold_.push_back(false);
}

void MountSet::startAll(SteadyClock::time_point runStart) {
    for (auto &session : sessions_)
        session->start(runStart);
}

std::vector<SetEvent> MountSet::collect() {
    std::vector<SetEvent> events;
    for (size_t i = 0; i < sessions_.size(); ++i) {
        MountSession &session = *sessions_[i];
        for (const StatusChange &change : session.takeChanges()) {
            bool stopHere = change.fromStart || (isRefusal(change.status) && !retryRefused_);
            if (stopHere)
                session.requestStop();
            SetEvent event(SetEvent::Status, i);
            event.change = change;
            event.retries = change.status < 0 && !change.fromStart && !session.stopRequested();
            events.push_back(event);
            if (change.status == VELTO_STATUS_NOT_FOUND)
                lookUpOffers(i);
        }
        for (const analysis::Event &noticed : session.takeAnalysisEvents()) {
            SetEvent event(SetEvent::Analysis, i);
            event.noticed = noticed;
            events.push_back(event);
        }
        if (session.outputFailed() && !outputFailureTold_[i]) {
            outputFailureTold_[i] = true;
            session.requestStop();
            SetEvent event(SetEvent::OutputFailed, i);
            event.error = session.outputError();
            events.push_back(event);
        }
    }
    offerLookedUpNames(&events);
    return events;
}

void MountSet::lookUpOffers(size_t index) {
    for (size_t waiting : waitingForOffers_)
        if (waiting == index)
            return;
    waitingForOffers_.push_back(index);
    if (!lookup_) {
        Wakeup *wakeup = wakeup_;
        lookup_.reset(new TableLookup([wakeup] { wakeup->notify(); }));
    }
}

// Once the look-up is over (complete, cut at a bound, or out of time) every
// mount point waiting gets the names; later ones get the same names at once.
void MountSet::offerLookedUpNames(std::vector<SetEvent> *events) {
    if (waitingForOffers_.empty() || !lookup_)
        return;
    TableLookup::Outcome outcome = lookup_->outcome(SteadyClock::now());
    if (outcome == TableLookup::Outcome::Pending)
        return;
    std::vector<std::string> offered = lookup_->names();
    for (size_t index : waitingForOffers_) {
        SetEvent event(SetEvent::Offered, index);
        event.offered = names::closestFirst(sessions_[index]->mount(), offered);
        event.offeredComplete = outcome == TableLookup::Outcome::Complete;
        events->push_back(event);
    }
    waitingForOffers_.clear();
}

bool MountSet::offersPending(SteadyClock::time_point now) const {
    return !waitingForOffers_.empty() && lookup_ &&
           lookup_->outcome(now) == TableLookup::Outcome::Pending;
}

SteadyClock::time_point MountSet::offersDeadline() const {
    return lookup_ ? lookup_->deadline() : SteadyClock::time_point::max();
}

void MountSet::rollIntervals(WallClock::time_point now) {
    for (auto &session : sessions_)
        session->rollInterval(now);
}

bool MountSet::allStopped() const {
    for (const auto &session : sessions_)
        if (!session->stopRequested())
            return false;
    return true;
}

bool MountSet::allEnded() const {
    for (const auto &session : sessions_)
        if (!session->ended())
            return false;
    return true;
}

void MountSet::stopAll() {
    for (auto &session : sessions_)
        session->requestStop();
}

void MountSet::destroyAll() {
    // VeltoStop on all first, so that the client threads wind down side by
    // side and each VeltoDestruct finds its thread (nearly) ended.
    stopAll();
    for (auto &session : sessions_)
        session->destroy();
}

Ending MountSet::worstEnding() const {
    Ending worst = Ending::Streaming;
    for (const auto &session : sessions_)
        if (session->ending() > worst)
            worst = session->ending();
    return worst;
}
