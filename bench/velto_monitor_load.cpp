// velto monitor watching many mount points while browsers follow it: the
// synthetic station of velto-caster on N mount points (default 20) at its
// default 1 kB/s, one `velto monitor` on all of them, and S event streams
// (default 5) reading /events?ticks=1 as the page does, each on a thread of
// this program. The monitor process's CPU time (all its threads: the
// library's client threads, the analysis, the main thread's ticks and the
// HTTP threads) is read from /proc while every mount point streams, once
// without any event stream as the baseline and once with them. The browsers'
// own work is not counted: they are not in that process. Goal: under 5 %
// of one core with 20 mount points and 5 streams.
//
//   velto_monitor_load --velto PATH --caster PATH [--mounts N] [--streams S]
//                      [--seconds T] [--workdir DIR]
// Runs inside a private network namespace (bench/run.sh), where the caster
// owns 127.0.0.1:2101 and the monitor 127.0.0.1:8080.
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

using namespace bench;

namespace {

const int kMonitorPort = 8080;

struct Options {
    std::string velto;
    std::string caster;
    std::string workdir = "/tmp";
    int mounts = 20;
    int streams = 5;
    int seconds = 20;
};

std::string mountName(int i) {
    char name[32];
    snprintf(name, sizeof name, "STATION_%02d", i + 1);
    return name;
}

pid_t spawn(std::vector<std::string> words, const std::string &log) {
    pid_t child = fork();
    if (child != 0)
        return child;
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(NULL);
    execv(argv[0], argv.data());
    _exit(127);
}

pid_t startCaster(const Options &options, const std::string &run) {
    std::vector<std::string> words = {options.caster, "--lifetime",
                                      std::to_string(options.seconds + 120)};
    for (int i = 0; i < options.mounts; ++i) {
        words.push_back("--mount");
        words.push_back(mountName(i));
    }
    return spawn(words, run + "/caster.log");
}

pid_t startMonitor(const Options &options, const std::string &run) {
    std::vector<std::string> words = {options.velto, "monitor"};
    for (int i = 0; i < options.mounts; ++i)
        words.push_back(mountName(i));
    for (const std::string &word : {std::string("--listen"), "127.0.0.1:" + std::to_string(kMonitorPort),
                                    std::string("--json"), run + "/events.jsonl", std::string("-q")})
        words.push_back(word);
    return spawn(words, run + "/monitor.log");
}

int connectToMonitor() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(kMonitorPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0)
        die("connect to the monitor");
    return fd;
}

// One browser's event stream: reads and counts until told to stop.
struct Reader {
    std::thread thread;
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> ticks{0};
    bool answered = false;
};

void follow(Reader *reader, const std::atomic<bool> *stop) {
    int fd = connectToMonitor();
    sendAll(fd, "GET /events?ticks=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string head = readRequestHead(fd);
    reader->answered = head.compare(0, 15, "HTTP/1.1 200 OK") == 0;
    char buffer[65536];
    while (!*stop) {
        if (!waitReadable(fd, 200))
            continue;
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        reader->bytes += (uint64_t)got;
        for (ssize_t i = 0; i + 11 <= got; ++i)
            reader->ticks += memcmp(buffer + i, "event: tick", 11) == 0;
    }
    close(fd);
}

void measure(const Options &options, int streams) {
    std::string run = options.workdir + "/streams-" + std::to_string(streams);
    mkdir(run.c_str(), 0755);
    pid_t caster = startCaster(options, run);
    usleep(300 * 1000);
    pid_t monitor = startMonitor(options, run);
    int64_t deadline = nowNs() + 60ll * 1000000000;
    int streaming = 0;
    while ((streaming = countStreaming(run + "/events.jsonl")) < options.mounts && nowNs() < deadline)
        usleep(200 * 1000);

    std::atomic<bool> stop{false};
    std::vector<Reader> readers(streams);
    for (Reader &reader : readers)
        reader.thread = std::thread(follow, &reader, &stop);
    sleep(3); // the streams are open, every mount point has had a few epochs

    uint64_t bytes0 = 0, ticks0 = 0;
    for (Reader &reader : readers) {
        bytes0 += reader.bytes;
        ticks0 += reader.ticks;
    }
    double cpu0 = cpuSecondsOfProcess(monitor);
    int64_t wall0 = nowNs();
    sleep((unsigned)options.seconds);
    double cpu = cpuSecondsOfProcess(monitor) - cpu0;
    double wall = secondsSince(wall0);
    uint64_t bytes = 0, ticks = 0;
    int answered = 0;
    for (Reader &reader : readers) {
        bytes += reader.bytes;
        ticks += reader.ticks;
        answered += reader.answered;
    }
    long rssKb = statusField(monitor, "VmRSS:");
    long threads = statusField(monitor, "Threads:");
    stop = true;
    for (Reader &reader : readers)
        reader.thread.join();
    kill(monitor, SIGTERM);
    int status = 0;
    waitpid(monitor, &status, 0);
    kill(caster, SIGTERM);
    waitpid(caster, NULL, 0);

    double perStream = streams > 0 ? (double)(bytes - bytes0) / wall / streams / 1000 : 0;
    double ticksPerSecond = streams > 0 ? (double)(ticks - ticks0) / wall / streams : 0;
    printf("  %7d %9d of %-4d %7ld %12.2f %10.1f %9.1f %11.2f   exit %d\n", streams, streaming,
           options.mounts, threads, cpu / wall * 100, rssKb / 1024.0, perStream, ticksPerSecond,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    if (answered != streams)
        printf("  (only %d of %d event streams were answered 200)\n", answered, streams);
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--velto")
            options.velto = argv[i + 1];
        else if (arg == "--caster")
            options.caster = argv[i + 1];
        else if (arg == "--mounts")
            options.mounts = atoi(argv[i + 1]);
        else if (arg == "--streams")
            options.streams = atoi(argv[i + 1]);
        else if (arg == "--seconds")
            options.seconds = atoi(argv[i + 1]);
        else if (arg == "--workdir")
            options.workdir = argv[i + 1];
    }
    if (options.velto.empty() || options.caster.empty() || options.mounts < 1 || options.seconds < 1) {
        fprintf(stderr, "usage: velto_monitor_load --velto PATH --caster PATH [--mounts N] "
                        "[--streams S] [--seconds T] [--workdir DIR]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    printf("\nvelto monitor, %d mount points of velto-caster's synthetic station at 1 kB/s each;\n"
           "CPU of the monitor process (all its threads) over %d s, with and without event streams\n"
           "reading /events?ticks=1 as the page does\n",
           options.mounts, options.seconds);
    printf("  %7s %16s %7s %12s %10s %9s %11s\n", "streams", "streaming", "threads", "CPU % core",
           "RSS MB", "kB/s each", "ticks/s each");
    measure(options, 0);
    measure(options, options.streams);
    printf("  goal: < 5 %% of one core with %d event streams\n", options.streams);
    return 0;
}
