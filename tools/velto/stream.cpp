// velto stream: runs the mount points' sessions (core/run.h) and tells what
// happens in lines, JSON events and, on a terminal, a live line.
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "commands.h"
#include "core/run.h"
#include "print/printer.h"
#include "stream_options.h"

namespace {

const int kLiveRefreshMs = 250;
const double kRateWindowSeconds = 3.0;

// The live line of a terminal, redrawn four times a second: every mount
// point's figures, and the rate of all of them together over a few seconds.
class LiveLine {
public:
    explicit LiveLine(HumanLines &lines) : lines_(lines) {}
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
        lines_.drawLive(stats, rate);
        return kLiveRefreshMs;
    }

private:
    struct Sample {
        SteadyClock::time_point when;
        uint64_t bytes;
    };
    HumanLines &lines_;
    RunCore *run_ = nullptr;
    std::deque<Sample> samples_;
};

} // namespace

int runStream(int argc, char **argv) {
    StreamOptions options = parseStreamOptions(argc, argv);
    bool live = options.live < 0 ? isatty(STDERR_FILENO) != 0 : options.live != 0;
    RunPrinter printer(stderr, options.verbosity, live);
    LiveLine liveLine(printer.lines());
    RunHooks hooks;
    if (live)
        hooks.wake = [&liveLine](SteadyClock::time_point now) { return liveLine.draw(now); };
    RunCore run(options, printer, exitStatusFor, hooks);
    liveLine.attach(&run);
    return run.execute();
}
