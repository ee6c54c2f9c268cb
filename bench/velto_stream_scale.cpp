// velto stream with many mount points in one process: a caster offers N
// mount points (default 200) at 1 kB/s each, one `velto stream` takes them
// all into --output-dir with JSON events, and the velto process's CPU time
// (all its threads) and resident memory are read from /proc while every
// mount point streams. Goals: under 5 % of one core, under 40 MB.
//
// Two ways of sending the same 1 kB/s, one run each:
//   epochs  a reference station's way: each second's RTCM 3 frames (1005,
//           1074, 1084) in one burst, the mount points spread over the second
//   paced   velto-caster's way: the same bytes cut into 50-ms pieces, twenty
//           blocks a second per mount point
//
//   velto_stream_scale --velto PATH [--mounts N] [--seconds S] [--workdir DIR]
// Runs inside a private network namespace (bench/run.sh), where it owns
// 127.0.0.1:2101.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "process_figures.h"
#include "frame_scanner.h"

using namespace bench;

namespace {

const size_t kBytesPerSecond = 1000;

struct Options {
    std::string velto;
    std::string workdir = "/tmp";
    int mounts = 200;
    int seconds = 20;
};

std::vector<uint8_t> frameOf(int messageNumber, size_t payloadSize, uint32_t *seed) {
    std::vector<uint8_t> payload(payloadSize);
    for (auto &byte : payload) {
        *seed = *seed * 1103515245u + 12345u;
        byte = (uint8_t)(*seed >> 16);
    }
    payload[0] = (uint8_t)(messageNumber >> 4);
    payload[1] = (uint8_t)((messageNumber & 0xF) << 4 | (payload[1] & 0xF));
    return analysis::makeFrame(payload);
}

// One second of a station: 1005, then 1074 and 1084 filling 1000 bytes.
std::vector<uint8_t> epochBytes(uint32_t seed) {
    std::vector<uint8_t> epoch = frameOf(1005, 19, &seed);
    size_t left = kBytesPerSecond - epoch.size() - 2 * (analysis::kFrameHeader + analysis::kFrameCrc);
    for (int type : {1074, 1084}) {
        std::vector<uint8_t> frame = frameOf(type, type == 1074 ? left / 2 : left - left / 2, &seed);
        epoch.insert(epoch.end(), frame.begin(), frame.end());
    }
    return epoch;
}

void sleepUntil(timespec *next, long addNs) {
    next->tv_nsec += addNs;
    while (next->tv_nsec >= 1000000000) {
        next->tv_nsec -= 1000000000;
        ++next->tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, NULL);
}

void serveStation(int fd, int phaseMs, bool paced) {
    if (readRequestHead(fd).empty() || !sendAll(fd, "ICY 200 OK\r\n")) {
        close(fd);
        return;
    }
    std::vector<uint8_t> epoch = epochBytes((uint32_t)phaseMs * 7919u + 1);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    sleepUntil(&next, 250000000L + phaseMs * 1000000L); // the answer alone in its block
    const size_t pieces = paced ? 20 : 1;
    for (bool alive = true; alive;) {
        for (size_t i = 0; i < pieces && alive; ++i) {
            size_t from = epoch.size() * i / pieces, to = epoch.size() * (i + 1) / pieces;
            alive = sendAll(fd, epoch.data() + from, to - from);
            sleepUntil(&next, 1000000000L / (long)pieces);
        }
    }
    close(fd);
}

pid_t startCaster(bool paced, int lifetimeSeconds) {
    int listener = listenOnCasterPort(2048);
    pid_t child = fork();
    if (child != 0) {
        close(listener);
        return child;
    }
    raiseDescriptorLimit();
    alarm((unsigned)lifetimeSeconds);
    for (int index = 0;; ++index) {
        int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (fd >= 0)
            std::thread(serveStation, fd, index * 997 % 1000, paced).detach();
    }
}

std::string mountName(int i) {
    char name[32];
    snprintf(name, sizeof name, "STATION_%03d", i + 1);
    return name;
}

pid_t startVelto(const Options &options, const std::string &run) {
    std::vector<std::string> words = {options.velto, "stream"};
    for (int i = 0; i < options.mounts; ++i)
        words.push_back(mountName(i));
    for (const char *word : {"--output-dir", "", "--json", "", "-q"})
        words.push_back(word);
    words[words.size() - 4] = run + "/out";
    words[words.size() - 2] = run + "/events.jsonl";
    pid_t child = fork();
    if (child != 0)
        return child;
    int log = open((run + "/velto.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, STDERR_FILENO);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(NULL);
    execv(argv[0], argv.data());
    _exit(127);
}

void measure(const Options &options, bool paced) {
    std::string run = options.workdir + (paced ? "/paced" : "/epochs");
    mkdir(run.c_str(), 0755);
    pid_t caster = startCaster(paced, options.seconds + 180);
    pid_t velto = startVelto(options, run);
    int64_t deadline = nowNs() + 90ll * 1000000000;
    int streaming = 0;
    while ((streaming = countStreaming(run + "/events.jsonl")) < options.mounts && nowNs() < deadline)
        usleep(200 * 1000);
    sleep(3); // every mount point has had a few blocks

    double cpu0 = cpuSecondsOfProcess(velto);
    int64_t wall0 = nowNs();
    sleep((unsigned)options.seconds);
    double cpu = cpuSecondsOfProcess(velto) - cpu0;
    double wall = secondsSince(wall0);
    long rssKb = statusField(velto, "VmRSS:");
    long peakKb = statusField(velto, "VmHWM:");
    long threads = statusField(velto, "Threads:");
    kill(velto, SIGTERM);
    int status = 0;
    waitpid(velto, &status, 0);
    kill(caster, SIGKILL);
    waitpid(caster, NULL, 0);

    double percent = cpu / wall * 100;
    printf("  %-8s %5d of %-5d %7ld %12.2f %12.1f %10.1f   exit %d\n", paced ? "paced" : "epochs",
           streaming, options.mounts, threads, percent, rssKb / 1024.0, peakKb / 1024.0,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--velto")
            options.velto = argv[i + 1];
        else if (arg == "--mounts")
            options.mounts = atoi(argv[i + 1]);
        else if (arg == "--seconds")
            options.seconds = atoi(argv[i + 1]);
        else if (arg == "--workdir")
            options.workdir = argv[i + 1];
    }
    if (options.velto.empty() || options.mounts < 1 || options.seconds < 1) {
        fprintf(stderr, "usage: velto_stream_scale --velto PATH [--mounts N] [--seconds S] "
                        "[--workdir DIR]\n");
        return 2;
    }
    raiseDescriptorLimit();
    printf("\nvelto stream, %d mount points at 1 kB/s each in one process (--output-dir, --json -q);\n"
           "CPU of all its threads over %d s, resident memory at the end\n",
           options.mounts, options.seconds);
    printf("  %-8s %14s %7s %12s %12s %10s\n", "sending", "streaming", "threads", "CPU % core",
           "RSS MB", "peak MB");
    measure(options, false);
    measure(options, true);
    printf("  goals: < 5 %% of one core, < 40 MB (the epochs run is the real-world load)\n");
    return 0;
}
