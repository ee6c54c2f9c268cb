// velto stream: the library calls back on its own client thread; this side
// keeps that small (write the bytes, count them, queue status changes) and
// does all printing and all signal handling on the main thread.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "cli.h"
#include "rtcm.h"
#include "velto.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kRefreshMs = 250;
const int kFinalStatusWaitMs = 10000; // the client thread ends within ~2 s
const double kRateWindowSeconds = 3.0;

const char *statusMeaning(int status) {
    switch (status) {
    case VELTO_STATUS_IDLE: return "idle";
    case VELTO_STATUS_STREAMING: return "streaming";
    case VELTO_STATUS_CONNECT_FAILED: return "connection failed";
    case VELTO_STATUS_NO_ANSWER: return "no answer";
    case VELTO_STATUS_STREAM_LOST: return "stream lost";
    case VELTO_STATUS_NOT_FOUND: return "mount point not found";
    case VELTO_STATUS_UNAUTHORISED: return "not authorised";
    case VELTO_STATUS_NOT_IMPLEMENTED: return "not implemented";
    case VELTO_STATUS_UNRESOLVED: return "caster not resolved or answer not recognised";
    default: return "unknown status";
    }
}

void printStreamUsage(FILE *to) {
    fprintf(to,
            "Usage: velto stream MOUNT [--client N] [--output FILE] [--duration SECONDS]\n"
            "Streams the mount point's bytes from %s to standard output (or FILE),\n"
            "exactly as received. The library reconnects by itself after any failure,\n"
            "30 seconds after it. Status changes go to standard error in words; when\n"
            "standard error is a terminal a live line shows bytes, rate, time since the\n"
            "last block and the RTCM 3 message types seen (frames with a good CRC-24Q).\n"
            "Ctrl-C (or SIGTERM) or the end of --duration stops it cleanly.\n"
            "\n"
            "  --client N          client number sent to the caster (default 1)\n"
            "  --output FILE       write the bytes to FILE instead of standard output\n"
            "  --duration SECONDS  stop by itself after this time\n"
            "  --live / --no-live  force the live line on or off\n"
            "\n"
            "Exit status:\n"
            "  %d  stopped on request after the caster had streamed\n"
            "  %d  the output could not be written\n"
            "  %d  bad usage\n"
            "  %d  stopped, but the caster never streamed (the last status says why)\n"
            "  %d  refused at start: caster name not resolved, or mount point too long\n"
            "\n"
            "Example:\n"
            "  velto stream RTCM3_DEMO --client 7 --output demo.rtcm --duration 45\n",
            kCaster, kExitStreamed, kExitFailure, kExitUsage, kExitNeverStreamed, kExitRefused);
}

struct StreamOptions {
    char *mount = NULL;
    int client = 1;
    const char *output = NULL;
    double duration = 0;
    int live = -1; // -1: when standard error is a terminal
};

StreamOptions parseStreamOptions(int argc, char **argv) {
    StreamOptions options;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        const char *inlineValue = NULL;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            inlineValue = argv[i] + equals + 1;
            arg = arg.substr(0, equals);
        }
        auto value = [&]() -> const char * {
            if (inlineValue != NULL)
                return inlineValue;
            if (i + 1 >= argc)
                usageError(arg + " needs a value", "stream ");
            return argv[++i];
        };
        char *end = NULL;
        if (arg == "--help" || arg == "-h") {
            printStreamUsage(stdout);
            exit(0);
        } else if (arg == "--client") {
            const char *text = value();
            errno = 0;
            long number = strtol(text, &end, 10);
            if (errno != 0 || end == text || *end != '\0' || number < -2147483647L - 1 ||
                number > 2147483647L)
                usageError(std::string("--client wants a whole number, not '") + text + "'",
                           "stream ");
            options.client = (int)number;
        } else if (arg == "--output") {
            options.output = value();
        } else if (arg == "--duration") {
            const char *text = value();
            errno = 0;
            options.duration = strtod(text, &end);
            if (errno != 0 || end == text || *end != '\0' || !(options.duration > 0) ||
                options.duration > 1e8)
                usageError(std::string("--duration wants seconds above 0, not '") + text + "'",
                           "stream ");
        } else if (arg == "--live" && inlineValue == NULL) {
            options.live = 1;
        } else if (arg == "--no-live" && inlineValue == NULL) {
            options.live = 0;
        } else if (arg.compare(0, 1, "-") == 0 && arg != "-") {
            usageError("unknown option '" + std::string(argv[i]) + "'", "stream ");
        } else if (options.mount == NULL) {
            options.mount = argv[i];
        } else {
            usageError("one mount point only, not also '" + std::string(argv[i]) + "'", "stream ");
        }
    }
    if (options.mount == NULL)
        usageError("stream needs a mount point", "stream ");
    return options;
}

struct StatusEvent {
    int status;
    Clock::time_point when;
    bool fromStart; // reported on our own thread inside VeltoStart
};

// Everything the library's callbacks touch. The callbacks only write the
// bytes, count, and queue; the main thread reads under the same mutexes.
struct Session {
    int outputFd = STDOUT_FILENO;
    int wakeRead = -1;
    int wakeWrite = -1;
    pthread_t mainThread;
    Clock::time_point started;

    std::mutex countersMutex;
    uint64_t bytes = 0;
    uint64_t blocks = 0;
    Clock::time_point lastBlock;
    rtcm::FrameScanner frames;

    std::atomic<bool> outputFailed{false};
    std::atomic<int> outputErrno{0};

    std::mutex eventsMutex;
    std::deque<StatusEvent> events;

    void wake() {
        char byte = 1;
        ssize_t ignored = write(wakeWrite, &byte, 1); // a full pipe is awake already
        (void)ignored;
    }
};

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

// Client thread, library lock held: keep it short and never call back into
// the library from here.
void VELTO_CALL onData(void *user, char *bytes, int count) {
    Session *session = static_cast<Session *>(user);
    if (session->outputFailed)
        return;
    if (!writeAll(session->outputFd, bytes, (size_t)count)) {
        session->outputErrno = errno;
        session->outputFailed = true;
        session->wake();
        return;
    }
    std::lock_guard<std::mutex> hold(session->countersMutex);
    session->bytes += (uint64_t)count;
    session->blocks += 1;
    session->lastBlock = Clock::now();
    session->frames.feed(bytes, (size_t)count);
}

// Client thread (or ours, for -8 from VeltoStart), no library lock held.
void VELTO_CALL onStatus(void *user, int status) {
    Session *session = static_cast<Session *>(user);
    bool fromStart = pthread_equal(pthread_self(), session->mainThread) != 0;
    {
        std::lock_guard<std::mutex> hold(session->eventsMutex);
        session->events.push_back({status, Clock::now(), fromStart});
    }
    session->wake();
}

std::string formatBytes(double bytes) {
    char text[32];
    if (bytes < 10000)
        snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 10e6)
        snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
    else
        snprintf(text, sizeof text, "%.2f MB", bytes / 1e6);
    return text;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// What the main thread keeps between refreshes.
class Reporter {
public:
    Reporter(Session *session, bool live) : session_(session), live_(live) {}

    // Prints the status changes queued since the last call.
    void drainEvents() {
        std::deque<StatusEvent> events;
        {
            std::lock_guard<std::mutex> hold(session_->eventsMutex);
            events.swap(session_->events);
        }
        for (const StatusEvent &event : events) {
            clearLive();
            fprintf(stderr, "velto: [%6.1f s] status %d: %s\n",
                    secondsBetween(session_->started, event.when), event.status,
                    statusMeaning(event.status));
            current_ = event.status;
            seen_.push_back(event.status);
            streamed_ = streamed_ || event.status == VELTO_STATUS_STREAMING;
            refusedAtStart_ = refusedAtStart_ || (event.fromStart && event.status == VELTO_STATUS_UNRESOLVED);
            sawFinalIdle_ = event.status == VELTO_STATUS_IDLE;
        }
        if (!events.empty())
            drawLive();
    }

    void drawLive() {
        if (!live_)
            return;
        Clock::time_point now = Clock::now();
        uint64_t bytes;
        bool anyBlock;
        Clock::time_point lastBlock;
        std::string types;
        uint64_t frames;
        {
            std::lock_guard<std::mutex> hold(session_->countersMutex);
            bytes = session_->bytes;
            anyBlock = session_->blocks > 0;
            lastBlock = session_->lastBlock;
            types = session_->frames.typeList();
            frames = session_->frames.frames();
        }
        samples_.push_back({now, bytes});
        while (samples_.size() > 2 && secondsBetween(samples_.front().when, now) > kRateWindowSeconds)
            samples_.pop_front();
        double span = secondsBetween(samples_.front().when, now);
        double rate = span > 0 ? (double)(bytes - samples_.front().bytes) / span : 0;

        char line[512];
        char since[32] = "-";
        if (anyBlock)
            snprintf(since, sizeof since, "%.1f s", secondsBetween(lastBlock, now));
        snprintf(line, sizeof line, "%s | %s | %s/s | last block %s ago | %llu frames, RTCM %s",
                 statusMeaning(current_), formatBytes((double)bytes).c_str(),
                 formatBytes(rate).c_str(), since, (unsigned long long)frames, types.c_str());
        std::string text = line;
        winsize size;
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
            text.size() >= size.ws_col)
            text.resize(size.ws_col - 1); // a wrapped line could not be redrawn in place
        fprintf(stderr, "\r\033[K%s", text.c_str());
        fflush(stderr);
        drawn_ = true;
    }

    void clearLive() {
        if (drawn_)
            fputs("\r\033[K", stderr);
        drawn_ = false;
    }

    bool streamed() const { return streamed_; }
    bool refusedAtStart() const { return refusedAtStart_; }
    bool sawFinalIdle() const { return sawFinalIdle_; }
    const std::vector<int> &seen() const { return seen_; }

private:
    struct Sample {
        Clock::time_point when;
        uint64_t bytes;
    };
    Session *session_;
    bool live_;
    bool drawn_ = false;
    int current_ = VELTO_STATUS_IDLE;
    bool streamed_ = false;
    bool refusedAtStart_ = false;
    bool sawFinalIdle_ = false;
    std::vector<int> seen_;
    std::deque<Sample> samples_;
};

void drainWakePipe(int fd) {
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

// Waits for a wake-up, a signal or the timeout. Returns the signal number
// taken, or 0.
int waitForSomething(int signals, int wakeRead, int timeoutMs) {
    pollfd watched[2] = {{signals, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    if (poll(watched, 2, timeoutMs) <= 0)
        return 0;
    if (watched[1].revents & POLLIN)
        drainWakePipe(wakeRead);
    if (watched[0].revents & POLLIN) {
        signalfd_siginfo info;
        if (read(signals, &info, sizeof info) == (ssize_t)sizeof info)
            return (int)info.ssi_signo;
    }
    return 0;
}

} // namespace

int runStream(int argc, char **argv) {
    StreamOptions options = parseStreamOptions(argc, argv);

    // Blocked before the library creates its thread, which inherits the
    // mask: the signals then reach only the signalfd read on this thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, NULL);
    int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    // A reader that went away shows as a failed write, not a killed process.
    signal(SIGPIPE, SIG_IGN);

    Session session;
    if (options.output != NULL && strcmp(options.output, "-") != 0) {
        session.outputFd = open(options.output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (session.outputFd < 0) {
            fprintf(stderr, "velto: %s: %s\n", options.output, strerror(errno));
            return kExitFailure;
        }
    }
    if (session.outputFd == STDOUT_FILENO && isatty(STDOUT_FILENO))
        fprintf(stderr, "velto: the stream is binary; --output FILE or a pipe keeps it off "
                        "the terminal\n");
    int wake[2];
    if (signals < 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "velto: %s\n", strerror(errno));
        return kExitFailure;
    }
    session.wakeRead = wake[0];
    session.wakeWrite = wake[1];
    session.mainThread = pthread_self();
    session.started = Clock::now();
    bool live = options.live < 0 ? isatty(STDERR_FILENO) != 0 : options.live != 0;
    Reporter reporter(&session, live);

    fprintf(stderr, "velto: streaming %s from %s as client %d to %s\n", options.mount, kCaster,
            options.client, session.outputFd == STDOUT_FILENO ? "standard output" : options.output);
    VeltoHandle client = VeltoConstruct();
    VeltoStart(client, &session, options.mount, options.client, onData, onStatus);
    reporter.drainEvents();

    std::string stopReason;
    if (reporter.refusedAtStart()) {
        stopReason = "refused at start";
    } else {
        for (;;) {
            int timeoutMs = kRefreshMs;
            if (options.duration > 0) {
                double left = options.duration - secondsBetween(session.started, Clock::now());
                if (left <= 0) {
                    stopReason = "end of duration";
                    break;
                }
                if (left * 1000 < timeoutMs)
                    timeoutMs = (int)(left * 1000) + 1;
            }
            int signal = waitForSomething(signals, session.wakeRead, timeoutMs);
            reporter.drainEvents();
            if (signal != 0) {
                stopReason = std::string("signal ") + strsignal(signal);
                break;
            }
            if (session.outputFailed) {
                stopReason = "output failed";
                break;
            }
            reporter.drawLive();
        }
    }

    // Clean stop: no data callback after VeltoStop returns; the client
    // thread then reports its last status and 0, and VeltoDestruct joins it.
    VeltoStop(client);
    Clock::time_point stopAsked = Clock::now();
    while (!reporter.refusedAtStart() && !reporter.sawFinalIdle()) {
        int left = kFinalStatusWaitMs - (int)(secondsBetween(stopAsked, Clock::now()) * 1000);
        if (left <= 0)
            break;
        int signal = waitForSomething(signals, session.wakeRead, left < kRefreshMs ? left : kRefreshMs);
        reporter.drainEvents();
        if (signal != 0)
            break; // asked twice: stop waiting politely, VeltoDestruct still joins
        reporter.drawLive();
    }
    VeltoDestruct(client);
    reporter.drainEvents();
    reporter.clearLive();

    if (session.outputFd != STDOUT_FILENO && close(session.outputFd) != 0 && !session.outputFailed) {
        session.outputErrno = errno;
        session.outputFailed = true;
    }

    double seconds = secondsBetween(session.started, Clock::now());
    std::string changes;
    for (int status : reporter.seen())
        changes += (changes.empty() ? "" : ", ") + std::string(statusMeaning(status));
    {
        std::lock_guard<std::mutex> hold(session.countersMutex);
        fprintf(stderr, "velto: stopped (%s) after %.1f s\n", stopReason.c_str(), seconds);
        fprintf(stderr, "velto: %llu bytes in %llu blocks; %llu RTCM frames (%s), %llu rejected\n",
                (unsigned long long)session.bytes, (unsigned long long)session.blocks,
                (unsigned long long)session.frames.frames(), session.frames.typeCounts().c_str(),
                (unsigned long long)session.frames.rejected());
        fprintf(stderr, "velto: status changes: %s\n", changes.empty() ? "none" : changes.c_str());
    }
    if (session.outputFailed) {
        fprintf(stderr, "velto: writing the output failed: %s\n", strerror(session.outputErrno));
        return kExitFailure;
    }
    if (reporter.refusedAtStart())
        return kExitRefused;
    return reporter.streamed() ? kExitStreamed : kExitNeverStreamed;
}
