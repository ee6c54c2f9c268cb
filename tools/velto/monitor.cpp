// velto monitor: the mount points' sessions, as velto stream runs them, and
// a dashboard of them in the browser. The main thread does what velto
// stream's does (signals, the reactions to refusals, the JSON events) and,
// once a second, takes the figures of every mount point into the state the
// page reads and sends a tick to the event streams. The HTTP threads read
// that state and their own queues, nothing else.
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

#include <algorithm>
#include <string>
#include <vector>

#include "cli.h"
#include "display.h"
#include "event_hub.h"
#include "events.h"
#include "monitor_http.h"
#include "monitor_options.h"
#include "monitor_state.h"
#include "mount_set.h"
#include "outputs.h"

namespace {

const double kTickSeconds = 1;
const double kFinalStatusWaitSeconds = 10; // the client threads end within ~2 s

// Blocked before the library or the HTTP server creates a thread, which
// inherits the mask: the signals then reach only the signalfd on this thread.
int takeStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, NULL);
    // A browser that went away shows as a failed write, not a killed process.
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

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

class MonitorRun {
public:
    explicit MonitorRun(const MonitorOptions &options)
        : options_(options), set_(options.retryRefused, options.analysis, &wakeup_),
          human_(stderr, options.verbosity, false),
          state_(options.mounts, kCaster, options.interval),
          hub_(kMaxEventStreams, kMaxQueuedEventBytes),
          http_(&hub_, {[this] { return state_.stateText(monitorReading()); },
                        [this] { return state_.metricsText(monitorReading()); }}) {}

    int execute();

private:
    bool openOutputs();
    bool startServing();
    MonitorReading monitorReading() const;
    void emit(const events::json &event);
    void handle(const std::vector<SetEvent> &happenings);
    void emitStatsIfDue(SteadyClock::time_point now);
    void tick(SteadyClock::time_point now);
    int waitForSomething(int timeoutMs);
    std::string runUntilStopped();
    void windDown();
    int finish(const std::string &reason);

    MonitorOptions options_;
    Wakeup wakeup_;
    MountSet set_;
    HumanOutput human_;
    JsonLinesOutput json_;
    MonitorState state_;
    EventHub hub_;
    MonitorHttp http_; // last: stops, and ends its streams, before the rest goes
    int signals_ = -1;
    SteadyClock::time_point runStart_;
    SteadyClock::time_point nextTick_;
    SteadyClock::time_point nextStats_;
    SteadyClock::time_point lastStats_;
    std::vector<uint64_t> bytesAtLastStats_;
};

bool MonitorRun::openOutputs() {
    const std::string &dir = options_.outputDir;
    if (!dir.empty() && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        human_.error(display::escaped(dir) + ": " + strerror(errno));
        return false;
    }
    for (const std::string &mount : options_.mounts) {
        std::string path = options_.outputFor(mount);
        int fd = -1;
        // A symbolic link in the way is refused rather than followed: the
        // file must stay in the directory.
        if (!path.empty()) {
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
            if (fd < 0) {
                human_.error(display::escaped(path) + ": " + strerror(errno));
                return false;
            }
        }
        set_.add(mount, options_.client, fd, fd >= 0);
    }
    return true;
}

bool MonitorRun::startServing() {
    std::string error;
    if (!http_.bind(options_.listen, &error)) {
        human_.error(error);
        return false;
    }
    ListenAddress bound = options_.listen;
    bound.port = http_.port();
    if (!bound.loopback)
        human_.error("warning: the monitor has no authentication: anyone who can reach " +
                     bound.text() + " sees its page, its events and its metrics");
    human_.error("monitor at http://" + bound.text() + "/");
    http_.start();
    return true;
}

MonitorReading MonitorRun::monitorReading() const {
    MonitorReading reading;
    reading.eventStreams = hub_.openStreams();
    reading.eventStreamLimit = hub_.maxStreams();
    reading.eventsDropped = hub_.dropped();
    return reading;
}

// Every event goes to the same three places: the lines for people, the
// --json file and the event streams, as the same line of JSON.
void MonitorRun::emit(const events::json &event) {
    human_.show(event);
    state_.recordEvent(event);
    if (json_.isOpen() && !json_.failed() && !json_.write(event))
        human_.error("writing the events to " + display::escaped(options_.json) +
                     " failed: " + strerror(json_.error()));
    hub_.publish(sseMessage(nullptr, events::toLine(event)), false);
}

void MonitorRun::handle(const std::vector<SetEvent> &happenings) {
    for (const SetEvent &happening : happenings) {
        const std::string &mount = set_.at(happening.index).mount();
        switch (happening.kind) {
        case SetEvent::Status:
            state_.recordStatus(happening.index, happening.change, runStart_);
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

// As in velto stream, every interval closes the analysis' interval (its
// rates, its latency statistics, the outages it notices then) and brings
// the stats events.
void MonitorRun::emitStatsIfDue(SteadyClock::time_point now) {
    if (now < nextStats_)
        return;
    set_.rollIntervals(WallClock::now());
    events::Stamp stamp = events::stampNow(runStart_);
    double span = secondsBetween(lastStats_, now);
    for (size_t i = 0; i < set_.size(); ++i) {
        SessionSnapshot shot = set_.at(i).snapshot(now);
        double rate = span > 0 ? (double)(shot.bytes - bytesAtLastStats_[i]) / span : 0;
        bytesAtLastStats_[i] = shot.bytes;
        if (!set_.at(i).stopRequested()) // a stopped mount point has nothing more to tell
            emit(events::stats(stamp, set_.at(i).mount(), shot, rate));
    }
    lastStats_ = now;
    while (nextStats_ <= now)
        nextStats_ += seconds(options_.interval);
}

void MonitorRun::tick(SteadyClock::time_point now) {
    if (now < nextTick_)
        return;
    std::vector<MountReading> readings;
    for (size_t i = 0; i < set_.size(); ++i) {
        MountReading reading;
        reading.mount = set_.at(i).mount();
        reading.shot = set_.at(i).snapshot(now);
        readings.push_back(std::move(reading));
    }
    events::json ticked = state_.update(events::stampNow(runStart_), now, std::move(readings));
    if (hub_.anyWantsTicks())
        hub_.publish(sseMessage("tick", events::toLine(ticked)), true);
    while (nextTick_ <= now)
        nextTick_ += seconds(kTickSeconds);
}

// Waits for a status change, a signal or the timeout. Returns the signal
// number taken, or 0.
int MonitorRun::waitForSomething(int timeoutMs) {
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

std::string MonitorRun::runUntilStopped() {
    SteadyClock::time_point end = runStart_ + seconds(options_.duration);
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
        tick(now);

        int timeoutMs = std::min(millisecondsUntil(nextTick_, now), millisecondsUntil(nextStats_, now));
        if (options_.duration > 0)
            timeoutMs = std::min(timeoutMs, millisecondsUntil(end, now));
        int signal = waitForSomething(timeoutMs);
        if (signal != 0)
            return std::string("signal SIG") + sigabbrev_np(signal);
    }
}

// As velto stream: VeltoStop on every mount point, wait for each final
// status, VeltoDestruct. The page goes on showing it all until the end.
void MonitorRun::windDown() {
    set_.stopAll();
    SteadyClock::time_point asked = SteadyClock::now();
    while (!set_.allEnded()) {
        double left = kFinalStatusWaitSeconds - secondsBetween(asked, SteadyClock::now());
        if (left <= 0)
            break;
        int signal = waitForSomething(std::min((int)(left * 1000) + 1, (int)(kTickSeconds * 1000)));
        handle(set_.collect());
        if (signal != 0)
            break;
    }
    set_.destroyAll();
    handle(set_.collect());
}

int MonitorRun::finish(const std::string &reason) {
    windDown();
    // The last, unfinished interval is closed too, as velto stream does.
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
    hub_.close();
    http_.stop();
    json_.close();
    if (json_.failed() && status != kExitOutput) {
        human_.error("writing the events to " + display::escaped(options_.json) +
                     " failed: " + strerror(json_.error()));
        status = kExitOutput;
    }
    return status;
}

int MonitorRun::execute() {
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
    if (!openOutputs() || !startServing())
        return kExitOutput;

    runStart_ = SteadyClock::now();
    lastStats_ = runStart_;
    nextTick_ = runStart_;
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

} // namespace

int runMonitor(int argc, char **argv) {
    MonitorOptions options = parseMonitorOptions(argc, argv);
    MonitorRun run(options);
    return run.execute();
}
