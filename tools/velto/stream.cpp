// velto stream: runs the mount points' sessions (core/run.h) and tells what
// happens in lines, JSON events and, on a terminal, a live line.
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "commands.h"
#include "core/run.h"
#include "stream_options.h"

namespace {

const int kLiveRefreshMs = 250;
const double kRateWindowSeconds = 3.0;

RunSettings settingsOf(const StreamOptions &options) {
    RunSettings settings;
    settings.mounts = options.mounts;
    settings.client = options.client;
    settings.duration = options.duration;
    settings.json = options.json;
    settings.interval = options.interval;
    settings.statsEvents = !options.json.empty() || options.verbosity == Verbosity::Verbose;
    settings.retryRefused = options.retryRefused;
    settings.analysis = options.analysis;
    settings.verbosity = options.verbosity;
    settings.live = options.live < 0 ? isatty(STDERR_FILENO) != 0 : options.live != 0;
    settings.outputFor = [options](const std::string &mount) { return options.outputFor(mount); };
    settings.outputDir = options.outputDir;
    return settings;
}

// The live line of a terminal, redrawn four times a second: every mount
// point's figures, and the rate of all of them together over a few seconds.
class LiveLine {
public:
    void attach(RunCore *run) { run_ = run; }

    int draw(SteadyClock::time_point now) {
        std::vector<events::json> stats = run_->statsNow(false);
        uint64_t total = 0;
        for (const events::json &shot : stats)
            total += shot["bytes"].get<uint64_t>();
        samples_.push_back({now, total});
        while (samples_.size() > 2 && secondsBetween(samples_.front().when, now) > kRateWindowSeconds)
            samples_.pop_front();
        double span = secondsBetween(samples_.front().when, now);
        double rate = span > 0 ? (double)(total - samples_.front().bytes) / span : 0;
        run_->human().drawLive(stats, rate);
        return kLiveRefreshMs;
    }

private:
    struct Sample {
        SteadyClock::time_point when;
        uint64_t bytes;
    };
    RunCore *run_ = nullptr;
    std::deque<Sample> samples_;
};

} // namespace

int runStream(int argc, char **argv) {
    StreamOptions options = parseStreamOptions(argc, argv);
    RunSettings settings = settingsOf(options);
    LiveLine live;
    RunHooks hooks;
    if (settings.live)
        hooks.wake = [&live](SteadyClock::time_point now) { return live.draw(now); };
    RunCore run(settings, hooks);
    live.attach(&run);
    return run.execute();
}
