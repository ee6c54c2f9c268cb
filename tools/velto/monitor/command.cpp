// velto monitor: the mount points' sessions, run as velto stream runs them
// (core/run.h), and a dashboard of them in the browser. Once a second the
// main thread takes the figures of every mount point into the state the
// page reads and sends a tick to the event streams. The HTTP threads read
// that state and their own queues, nothing else.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "commands.h"
#include "core/run.h"
#include "monitor/event_hub.h"
#include "monitor/http.h"
#include "monitor/options.h"
#include "monitor/state.h"
#include "print/printer.h"

namespace {

const double kTickSeconds = 1;

// The dashboard beside the run: the state the page reads, the event
// streams, and the web server. Every event of the run goes to the streams
// as the same line of JSON that the --json file gets.
class Dashboard {
public:
    Dashboard(const MonitorOptions &options, RunReport &report)
        : options_(options), report_(report), state_(options.mounts, kCaster, options.interval),
          hub_(kMaxEventStreams, kMaxQueuedEventBytes),
          http_(&hub_, {[this] { return state_.stateText(reading()); },
                        [this] { return state_.metricsText(reading()); }}) {}

    RunHooks hooks() {
        RunHooks hooks;
        hooks.prepare = [this] { return startServing(); };
        hooks.also = [this](const events::json &event) { publish(event); };
        hooks.status = [this](size_t index, const StatusChange &change) {
            state_.recordStatus(index, change, run_->runStart());
        };
        hooks.wake = [this](SteadyClock::time_point now) { return tick(now); };
        hooks.finished = [this] {
            hub_.close();
            http_.stop();
        };
        return hooks;
    }
    void attach(RunCore *run) { run_ = run; }

private:
    bool startServing();
    MonitorReading reading() const;
    void publish(const events::json &event);
    int tick(SteadyClock::time_point now);

    MonitorOptions options_;
    RunReport &report_; // velto's own messages
    RunCore *run_ = nullptr;
    MonitorState state_;
    EventHub hub_;
    MonitorHttp http_; // last: stops, and ends its streams, before the rest goes
    bool ticking_ = false;
    SteadyClock::time_point nextTick_;
};

bool Dashboard::startServing() {
    std::string error;
    if (!http_.bind(options_.listen, options_.allowHosts, &error)) {
        report_.error(error);
        return false;
    }
    ListenAddress bound = options_.listen;
    bound.port = http_.port();
    if (!bound.loopback)
        report_.error("warning: the monitor has no authentication: anyone who can reach " +
                      bound.text() + " sees its page, its events and its metrics (browsers must name "
                      "it by an address or by a name given with --allow-host)");
    report_.error("monitor at http://" + bound.text() + "/");
    http_.start();
    return true;
}

MonitorReading Dashboard::reading() const {
    MonitorReading reading;
    reading.eventStreams = hub_.openStreams();
    reading.eventStreamLimit = hub_.maxStreams();
    reading.eventsDropped = hub_.dropped();
    return reading;
}

void Dashboard::publish(const events::json &event) {
    state_.recordEvent(event);
    hub_.publish(sseMessage(nullptr, events::toLine(event)), false);
}

// Once a second the figures of every mount point go into the page's state,
// and a tick to the event streams that asked for one.
int Dashboard::tick(SteadyClock::time_point now) {
    auto second = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(kTickSeconds));
    if (!ticking_ || now >= nextTick_) {
        MountSet &mounts = run_->mounts();
        std::vector<MountReading> readings;
        for (size_t i = 0; i < mounts.size(); ++i) {
            MountReading reading;
            reading.mount = mounts.at(i).mount();
            reading.shot = mounts.at(i).snapshot(now);
            readings.push_back(std::move(reading));
        }
        events::json ticked = state_.update(events::stampNow(run_->runStart()), now, std::move(readings));
        if (hub_.anyWantsTicks())
            hub_.publish(sseMessage("tick", events::toLine(ticked)), true);
        nextTick_ = ticking_ ? nextTick_ + second : now + second;
        while (nextTick_ <= now)
            nextTick_ += second;
        ticking_ = true;
    }
    double ms = std::chrono::duration<double, std::milli>(nextTick_ - now).count();
    return ms <= 0 ? 0 : (int)ms + 1;
}

} // namespace

int runMonitor(int argc, char **argv) {
    MonitorOptions options = parseMonitorOptions(argc, argv);
    RunPrinter printer(stderr, options.verbosity, false);
    Dashboard dashboard(options, printer);
    RunCore run(options, printer, exitStatusFor, dashboard.hooks());
    dashboard.attach(&run);
    return run.execute();
}
