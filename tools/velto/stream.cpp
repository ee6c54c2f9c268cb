// velto stream: runs the mount points' sessions and tells what happens.
// The library calls back on its client threads; the sessions keep that small
// (write, count, record). Everything else happens here, on the main thread:
// signals, the policy reactions, the events, every line of output.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "cli.h"
#include "display.h"
#include "events.h"
#include "mount_set.h"
#include "outputs.h"
#include "stream_options.h"

namespace {

const int kLiveRefreshMs = 250;
const int kIdleWakeMs = 1000;
const double kFinalStatusWaitSeconds = 10; // the client threads end within ~2 s
const double kRateWindowSeconds = 3.0;

// Blocked before the library creates its first thread, which inherits the
// mask: the signals then reach only the signalfd read on this thread.
int takeStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, NULL);
    // A reader that went away shows as a failed write, not a killed process.
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Each mount point holds a socket and a file: hundreds of them need more
// than the usual soft limit of 1024 descriptors.
void raiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

class StreamRun {
public:
    explicit StreamRun(const StreamOptions &options)
        : options_(options),
          live_(options.live < 0 ? isatty(STDERR_FILENO) != 0 : options.live != 0),
          statsWanted_(!options.json.empty() || options.verbosity == Verbosity::Verbose),
          set_(options.retryRefused, options.analysis, &wakeup_), human_(stderr, options.verbosity, live_) {}

    int execute();

private:
    bool openOutputs();
    void emit(const events::json &event);
    void handle(const std::vector<SetEvent> &happenings);
    void emitStatsIfDue(SteadyClock::time_point now);
    std::vector<events::json> statsNow(bool forEvents);
    void drawLive();
    int waitForSomething(int timeoutMs);
    std::string runUntilStopped();
    void windDown();
    int finish(const std::string &reason);

    StreamOptions options_;
    const bool live_;
    const bool statsWanted_;
    Wakeup wakeup_;
    MountSet set_;
    HumanOutput human_;
    JsonLinesOutput json_;
    int signals_ = -1;
    SteadyClock::time_point runStart_;
    SteadyClock::time_point nextStats_;
    SteadyClock::time_point lastStats_;
    std::vector<uint64_t> bytesAtLastStats_;
    struct Sample {
        SteadyClock::time_point when;
        uint64_t bytes;
    };
    std::deque<Sample> samples_;
};

bool StreamRun::openOutputs() {
    if (!options_.outputDir.empty() && mkdir(options_.outputDir.c_str(), 0755) != 0 &&
        errno != EEXIST) {
        human_.error(display::escaped(options_.outputDir) + ": " + strerror(errno));
        return false;
    }
    // Inside --output-dir a symbolic link in the way is refused rather than
    // followed: the file must stay in the directory.
    int noFollow = options_.outputDir.empty() ? 0 : O_NOFOLLOW;
    for (const std::string &mount : options_.mounts) {
        std::string path = options_.outputFor(mount);
        int fd = -1;
        if (path == "-") {
            fd = STDOUT_FILENO;
        } else if (!path.empty()) {
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | noFollow, 0644);
            if (fd < 0) {
                human_.error(display::escaped(path) + ": " + strerror(errno));
                return false;
            }
        }
        set_.add(mount, options_.client, fd, fd >= 0 && fd != STDOUT_FILENO);
    }
    return true;
}

void StreamRun::emit(const events::json &event) {
    human_.show(event);
    if (json_.isOpen() && !json_.failed() && !json_.write(event))
        human_.error("writing the events to " + display::escaped(options_.json) +
                     " failed: " + strerror(json_.error()));
}

void StreamRun::handle(const std::vector<SetEvent> &happenings) {
    for (const SetEvent &happening : happenings) {
        const std::string &mount = set_.at(happening.index).mount();
        switch (happening.kind) {
        case SetEvent::Status:
            emit(events::status(events::stampOf(happening.change, runStart_), mount,
                                happening.change, happening.retries));
            break;
        case SetEvent::Offered:
            emit(events::offered(events::stampNow(runStart_), mount, happening.offered));
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

// Stats for every mount point as of now. forEvents: the rate is over the
// time since the last stats events, which this call then resets.
std::vector<events::json> StreamRun::statsNow(bool forEvents) {
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
void StreamRun::emitStatsIfDue(SteadyClock::time_point now) {
    if (now < nextStats_)
        return;
    set_.rollIntervals(WallClock::now());
    if (statsWanted_) {
        std::vector<events::json> stats = statsNow(true);
        for (size_t i = 0; i < stats.size(); ++i)
            if (!set_.at(i).stopRequested()) // a stopped mount point has nothing more to tell
                emit(stats[i]);
    }
    while (nextStats_ <= now)
        nextStats_ += std::chrono::duration_cast<SteadyClock::duration>(
            std::chrono::duration<double>(options_.interval));
}

void StreamRun::drawLive() {
    std::vector<events::json> stats = statsNow(false);
    SteadyClock::time_point now = SteadyClock::now();
    uint64_t total = 0;
    for (const events::json &shot : stats)
        total += shot["bytes"].get<uint64_t>();
    samples_.push_back({now, total});
    while (samples_.size() > 2 && secondsBetween(samples_.front().when, now) > kRateWindowSeconds)
        samples_.pop_front();
    double span = secondsBetween(samples_.front().when, now);
    double rate = span > 0 ? (double)(total - samples_.front().bytes) / span : 0;
    human_.drawLive(stats, rate);
}

// Waits for a status change, a signal or the timeout. Returns the signal
// number taken, or 0.
int StreamRun::waitForSomething(int timeoutMs) {
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

int millisecondsUntil(SteadyClock::time_point when, SteadyClock::time_point now) {
    double ms = secondsBetween(now, when) * 1000;
    return ms <= 0 ? 0 : (int)ms + 1;
}

std::string StreamRun::runUntilStopped() {
    SteadyClock::time_point end =
        runStart_ + std::chrono::duration_cast<SteadyClock::duration>(
                        std::chrono::duration<double>(options_.duration));
    for (;;) {
        handle(set_.collect());
        if (json_.failed())
            return "event output failed";
        if (set_.allStopped())
            return "every mount point stopped";
        SteadyClock::time_point now = SteadyClock::now();
        if (options_.duration > 0 && now >= end)
            return "end of duration";
        emitStatsIfDue(now);
        if (live_)
            drawLive();

        int timeoutMs = live_ ? kLiveRefreshMs : kIdleWakeMs;
        if (options_.duration > 0 && millisecondsUntil(end, now) < timeoutMs)
            timeoutMs = millisecondsUntil(end, now);
        if (millisecondsUntil(nextStats_, now) < timeoutMs)
            timeoutMs = millisecondsUntil(nextStats_, now);
        int signal = waitForSomething(timeoutMs);
        if (signal != 0)
            return std::string("signal SIG") + sigabbrev_np(signal);
    }
}

// Clean stop: VeltoStop on every mount point (no data callback after it),
// then each client thread reports its last status and 0; VeltoDestruct joins
// them. A second signal stops the polite wait, not the joins.
void StreamRun::windDown() {
    set_.stopAll();
    SteadyClock::time_point asked = SteadyClock::now();
    while (!set_.allEnded()) {
        double left = kFinalStatusWaitSeconds - secondsBetween(asked, SteadyClock::now());
        if (left <= 0)
            break;
        int signal = waitForSomething(left * 1000 < kLiveRefreshMs ? (int)(left * 1000) + 1
                                                                    : kLiveRefreshMs);
        handle(set_.collect());
        if (signal != 0)
            break;
        if (live_)
            drawLive();
    }
    set_.destroyAll();
    handle(set_.collect());
    human_.clearLive();
}

int StreamRun::finish(const std::string &reason) {
    windDown();
    // The last, unfinished interval is closed too: the summary then holds
    // its rates and latencies, and the outages it noticed are told.
    set_.rollIntervals(WallClock::now());
    handle(set_.collect());
    events::Stamp stamp = events::stampNow(runStart_);
    SteadyClock::time_point now = SteadyClock::now();
    for (size_t i = 0; i < set_.size(); ++i)
        emit(events::summary(stamp, set_.at(i).mount(), set_.at(i).snapshot(now), set_.at(i).ending()));
    int status = exitStatusFor(set_.worstEnding());
    if (json_.failed())
        status = kExitOutput;
    emit(events::exit(stamp, reason, status));
    json_.close();
    if (json_.failed() && status != kExitOutput) {
        human_.error("writing the events to " + display::escaped(options_.json) +
                     " failed: " + strerror(json_.error()));
        status = kExitOutput;
    }
    return status;
}

int StreamRun::execute() {
    signals_ = takeStopSignals();
    raiseDescriptorLimit();
    if (signals_ < 0 || !wakeup_.open()) {
        human_.error(strerror(errno));
        return kExitOutput;
    }
    if (!options_.json.empty() && !json_.open(options_.json)) {
        human_.error(display::escaped(options_.json) + ": " + strerror(json_.error()));
        return kExitOutput;
    }
    if (!openOutputs())
        return kExitOutput;

    runStart_ = SteadyClock::now();
    lastStats_ = runStart_;
    nextStats_ = runStart_ + std::chrono::duration_cast<SteadyClock::duration>(
                                 std::chrono::duration<double>(options_.interval));
    bytesAtLastStats_.assign(set_.size(), 0);
    events::Stamp stamp = events::stampNow(runStart_);
    for (size_t i = 0; i < set_.size(); ++i) {
        const std::string &mount = set_.at(i).mount();
        emit(events::start(stamp, mount, options_.client, kCaster, options_.outputFor(mount)));
    }
    set_.startAll(runStart_);
    return finish(runUntilStopped());
}

} // namespace

int runStream(int argc, char **argv) {
    StreamOptions options = parseStreamOptions(argc, argv);
    StreamRun run(options);
    return run.execute();
}
