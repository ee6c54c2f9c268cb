#include "core/run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "display.h"
#include "stop_signals.h"

namespace {

const int kIdleWakeMs = 1000;
const double kFinalStatusWaitSeconds = 10; // the client threads end within ~2 s

// Each mount point holds a socket and a file: hundreds of them need more
// than the usual soft limit of 1024 descriptors.
void raiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

SteadyClock::duration seconds(double count) {
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(count));
}

int millisecondsUntil(SteadyClock::time_point when, SteadyClock::time_point now) {
    double ms = secondsBetween(now, when) * 1000;
    return ms <= 0 ? 0 : (int)ms + 1;
}

} // namespace

RunCore::RunCore(const RunOptions &options, RunReport &report, ExitStatusOf exitStatusOf,
                 const RunHooks &hooks)
    : options_(options), report_(report), exitStatusOf_(exitStatusOf), hooks_(hooks),
      statsEvents_(!options.json.empty() || options.verbosity == Verbosity::Verbose || hooks.also),
      set_(options.retryRefused, options.analysis, &wakeup_) {}

bool RunCore::openOutputs() {
    const std::string &dir = options_.outputDir;
    if (!dir.empty() && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        report_.error(display::escaped(dir) + ": " + strerror(errno));
        return false;
    }
    // Inside the output directory a symbolic link in the way is refused
    // rather than followed: the file must stay in the directory.
    int noFollow = dir.empty() ? 0 : O_NOFOLLOW;
    for (const std::string &mount : options_.mounts) {
        std::string path = options_.outputFor(mount);
        int fd = -1;
        if (path == "-") {
            fd = STDOUT_FILENO;
        } else if (!path.empty()) {
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | noFollow, 0644);
            if (fd < 0) {
                report_.error(display::escaped(path) + ": " + strerror(errno));
                return false;
            }
        }
        set_.add(mount, options_.client, fd, fd >= 0 && fd != STDOUT_FILENO);
    }
    return true;
}

void RunCore::emit(const events::json &event) {
    bool eventsWritten = report_.eventsError() == 0;
    report_.event(event);
    if (eventsWritten && report_.eventsError() != 0)
        report_.error(eventsFailure());
    if (hooks_.also)
        hooks_.also(event);
}

std::string RunCore::eventsFailure() const {
    return "writing the events to " + display::escaped(options_.json) + " failed: " +
           strerror(report_.eventsError());
}

void RunCore::handle(const std::vector<SetEvent> &happenings) {
    for (const SetEvent &happening : happenings) {
        const std::string &mount = set_.at(happening.index).mount();
        switch (happening.kind) {
        case SetEvent::Status:
            if (hooks_.status)
                hooks_.status(happening.index, happening.change);
            emit(events::status(events::stampOf(happening.change, runStart_), mount,
                                happening.change, happening.retries));
            break;
        case SetEvent::Offered:
            emit(events::offered(events::stampNow(runStart_), mount, happening.offered,
                                 happening.offeredComplete));
            break;
        case SetEvent::OutputFailed:
            emit(events::outputFailed(events::stampNow(runStart_), mount, happening.error));
            break;
        case SetEvent::Analysis:
            emit(events::noticed(events::stampOf(happening.noticed, runStart_), mount,
                                 happening.noticed));
            break;
        }
    }
}

std::vector<events::json> RunCore::statsNow(bool forEvents) {
    SteadyClock::time_point now = SteadyClock::now();
    events::Stamp stamp = events::stampNow(runStart_);
    double span = secondsBetween(lastStats_, now);
    std::vector<events::json> stats;
    for (size_t i = 0; i < set_.size(); ++i) {
        SessionSnapshot shot = set_.at(i).snapshot(now);
        double rate = span > 0 ? (double)(shot.bytes - bytesAtLastStats_[i]) / span : 0;
        stats.push_back(events::stats(stamp, set_.at(i).mount(), shot, rate));
        if (forEvents)
            bytesAtLastStats_[i] = shot.bytes;
    }
    if (forEvents)
        lastStats_ = now;
    return stats;
}

// Every interval the analysis closes its interval (its rates, its latency
// statistics, and the outages it notices then), whether or not stats
// events are wanted.
void RunCore::emitStatsIfDue(SteadyClock::time_point now) {
    if (now < nextStats_)
        return;
    set_.rollIntervals(WallClock::now());
    if (statsEvents_) {
        std::vector<events::json> stats = statsNow(true);
        for (size_t i = 0; i < stats.size(); ++i)
            if (!set_.at(i).stopRequested()) // a stopped mount point has nothing more to tell
                emit(stats[i]);
    }
    while (nextStats_ <= now)
        nextStats_ += seconds(options_.interval);
}

// Waits for a status change, a signal or the timeout. Returns the signal
// number taken, or 0.
int RunCore::waitForSomething(int timeoutMs) {
    pollfd watched[2] = {{signals_, POLLIN, 0}, {wakeup_.fd(), POLLIN, 0}};
    if (poll(watched, 2, timeoutMs) <= 0)
        return 0;
    if (watched[1].revents & POLLIN)
        wakeup_.drain();
    if (watched[0].revents & POLLIN) {
        signalfd_siginfo info;
        if (read(signals_, &info, sizeof info) == (ssize_t)sizeof info)
            return (int)info.ssi_signo;
    }
    return 0;
}

int RunCore::wakeHooks(SteadyClock::time_point now) {
    return hooks_.wake ? std::min(hooks_.wake(now), kIdleWakeMs) : kIdleWakeMs;
}

std::string RunCore::runUntilStopped() {
    SteadyClock::time_point end = runStart_ + seconds(options_.duration);
    for (;;) {
        handle(set_.collect());
        if (report_.eventsError() != 0)
            return "event output failed";
        SteadyClock::time_point now = SteadyClock::now();
        // A mount point that was not found still gets the names on offer
        // before the run ends, as long as the bounded look-up takes.
        bool offersPending = set_.offersPending(now);
        if (set_.allStopped() && !offersPending)
            return "every mount point stopped";
        if (options_.duration > 0 && now >= end)
            return "end of duration";
        emitStatsIfDue(now);
        int timeoutMs = std::min(wakeHooks(now), millisecondsUntil(nextStats_, now));
        if (options_.duration > 0)
            timeoutMs = std::min(timeoutMs, millisecondsUntil(end, now));
        if (offersPending)
            timeoutMs = std::min(timeoutMs, millisecondsUntil(set_.offersDeadline(), now));
        int signal = waitForSomething(timeoutMs);
        if (signal != 0)
            return std::string("signal SIG") + sigabbrev_np(signal);
    }
}

// Clean stop: VeltoStop on every mount point (no data callback after it),
// then each client thread reports its last status and 0; VeltoDestruct joins
// them. A second signal stops the polite wait, not the joins.
void RunCore::windDown() {
    set_.stopAll();
    SteadyClock::time_point asked = SteadyClock::now();
    while (!set_.allEnded()) {
        SteadyClock::time_point now = SteadyClock::now();
        double left = kFinalStatusWaitSeconds - secondsBetween(asked, now);
        if (left <= 0)
            break;
        int signal = waitForSomething(std::min((int)(left * 1000) + 1, wakeHooks(now)));
        handle(set_.collect());
        if (signal != 0)
            break;
    }
    set_.destroyAll();
    handle(set_.collect());
}

int RunCore::finish(const std::string &reason) {
    windDown();
    // The last, unfinished interval is closed too: the summary then holds
    // its rates and latencies, and the outages it noticed are told.
    set_.rollIntervals(WallClock::now());
    handle(set_.collect());
    events::Stamp stamp = events::stampNow(runStart_);
    SteadyClock::time_point now = SteadyClock::now();
    for (size_t i = 0; i < set_.size(); ++i)
        emit(events::summary(stamp, set_.at(i).mount(), set_.at(i).snapshot(now), set_.at(i).ending(),
                             exitStatusOf_(set_.at(i).ending())));
    const int outputFailed = exitStatusOf_(Ending::OutputFailed);
    int status = exitStatusOf_(set_.worstEnding());
    if (report_.eventsError() != 0)
        status = outputFailed;
    emit(events::exit(stamp, reason, status));
    if (hooks_.finished)
        hooks_.finished();
    report_.closeEvents();
    if (report_.eventsError() != 0 && status != outputFailed) {
        report_.error(eventsFailure());
        status = outputFailed;
    }
    return status;
}

int RunCore::execute() {
    signals_ = takeStopSignals();
    raiseDescriptorLimit();
    const int outputFailed = exitStatusOf_(Ending::OutputFailed);
    if (signals_ < 0 || !wakeup_.open()) {
        report_.error(strerror(errno));
        return outputFailed;
    }
    if (!options_.json.empty() && !report_.openEvents(options_.json)) {
        report_.error(display::escaped(options_.json) + ": " + strerror(report_.eventsError()));
        return outputFailed;
    }
    if (!openOutputs() || (hooks_.prepare && !hooks_.prepare()))
        return outputFailed;

    runStart_ = SteadyClock::now();
    lastStats_ = runStart_;
    nextStats_ = runStart_ + seconds(options_.interval);
    bytesAtLastStats_.assign(set_.size(), 0);
    events::Stamp stamp = events::stampNow(runStart_);
    for (size_t i = 0; i < set_.size(); ++i) {
        const std::string &mount = set_.at(i).mount();
        emit(events::start(stamp, mount, options_.client, kCaster, options_.outputFor(mount)));
    }
    set_.startAll(runStart_);
    return finish(runUntilStopped());
}
