// Speed and footprint of the library on loopback, each figure measured
// against a plain baseline in the same run and printed with the ratio:
//   relay throughput   bytes/s reaching the data callback vs a blocking
//                      recv loop with the same 2048-byte reads
//   delivery latency   caster send to data callback, 100 small messages/s
//   source table       10,000 records through VeltoSourceTable vs the same
//                      bytes received by a plain loop
//   scale              500 clients at 1 kB/s each: resident memory per
//                      client and CPU use, vs 500 plain receiving threads
// Runs inside a private network namespace (bench/run.sh), where it owns
// 127.0.0.1:2101, the one port the library talks to.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "velto.h"

using namespace bench;

namespace {

struct Options {
    long long relayBytes = 1ll << 30;
    int relayRounds = 3;
    int latencyMessages = 600;
    int tableRounds = 20;
    int scaleClients = 500;
    int scaleSeconds = 10;
    bool only[4] = {true, true, true, true};
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return 0;
    size_t index = (size_t)(p / 100.0 * (double)(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// --- a caster that serves connections one after another ----------------------

class SerialCaster {
public:
    template <class Serve> explicit SerialCaster(Serve serve) {
        listener_ = listenOnCasterPort();
        thread_ = std::thread([this, serve] {
            while (!stop_) {
                if (!waitReadable(listener_, 50))
                    continue;
                int fd = accept4(listener_, NULL, NULL, SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                serve(fd);
                close(fd);
            }
        });
    }
    ~SerialCaster() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }

private:
    int listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One stream client of the library, waiting for its status reports.
struct LibraryClient {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> statuses;
    VeltoHandle handle = VeltoConstruct();
    char mountPoint[16] = "BENCH";

    ~LibraryClient() { VeltoDestruct(handle); }

    static void VELTO_CALL onStatus(void *user, int status) {
        auto *self = static_cast<LibraryClient *>(user);
        std::lock_guard<std::mutex> hold(self->mutex);
        self->statuses.push_back(status);
        self->changed.notify_all();
    }
    bool waitFor(int status, int seconds) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::seconds(seconds), [&] {
            return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
        });
    }
};

// The baseline client: the same request, then blocking 2048-byte receives.
int plainConnect(const char *mountPoint, int clientNumber) {
    int fd = connectToCaster();
    sendAll(fd, baselineStreamRequest(mountPoint, clientNumber));
    char header[2048];
    if (recv(fd, header, sizeof header, 0) <= 0)
        die("baseline: no answer");
    return fd;
}

// --- relay throughput ---------------------------------------------------------

struct ThroughputCount {
    long long bytes = 0;
    int64_t first = 0;
    int64_t last = 0;
    void add(int count) {
        int64_t now = nowNs();
        if (bytes == 0)
            first = now;
        bytes += count;
        last = now;
    }
    // The first block only starts the clock.
    double rate(int firstBlock) const {
        return last > first ? (double)(bytes - firstBlock) / ((double)(last - first) / 1e9) : 0;
    }
};

void serveFlood(int fd, long long total) {
    if (readRequestHead(fd).empty())
        return;
    sendAll(fd, "ICY 200 OK\r\n\r\n");
    // Let the answer arrive on its own, so that no stream byte travels with it.
    usleep(100 * 1000);
    static char chunk[65536];
    memset(chunk, 'x', sizeof chunk);
    for (long long sent = 0; sent < total;) {
        size_t piece = (size_t)std::min<long long>(sizeof chunk, total - sent);
        if (!sendAll(fd, chunk, piece))
            return;
        sent += (long long)piece;
    }
    shutdown(fd, SHUT_WR);
    waitReadable(fd, 5000);
}

struct FloodClient : LibraryClient {
    ThroughputCount count;
    int firstBlock = 0;
    static void VELTO_CALL onData(void *user, char *, int n) {
        auto *self = static_cast<FloodClient *>(user);
        if (self->count.bytes == 0)
            self->firstBlock = n;
        self->count.add(n);
    }
};

double libraryFloodRate(long long total) {
    FloodClient client;
    VeltoStart(client.handle, &client, client.mountPoint, 1, FloodClient::onData,
               LibraryClient::onStatus);
    if (!client.waitFor(VELTO_STATUS_STREAM_LOST, 120))
        fprintf(stderr, "throughput: the library's stream did not end\n");
    VeltoStop(client.handle);
    if (client.count.bytes != total)
        fprintf(stderr, "throughput: library delivered %lld of %lld bytes\n", client.count.bytes,
                total);
    return client.count.rate(client.firstBlock);
}

double plainFloodRate(long long total) {
    int fd = plainConnect("BENCH", 1);
    ThroughputCount count;
    char buffer[2048];
    int firstBlock = 0;
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        if (count.bytes == 0)
            firstBlock = (int)got;
        count.add((int)got);
    }
    close(fd);
    if (count.bytes != total)
        fprintf(stderr, "throughput: baseline received %lld of %lld bytes\n", count.bytes, total);
    return count.rate(firstBlock);
}

void benchThroughput(const Options &options) {
    SerialCaster caster([&](int fd) { serveFlood(fd, options.relayBytes); });
    std::vector<double> library, plain;
    for (int round = 0; round < options.relayRounds; ++round) {
        plain.push_back(plainFloodRate(options.relayBytes));
        library.push_back(libraryFloodRate(options.relayBytes));
    }
    double lib = median(library), base = median(plain);
    printf("\nRelay throughput (%lld MiB per run, median of %d runs, 2048-byte receives)\n",
           options.relayBytes >> 20, options.relayRounds);
    printf("  %-34s %10.1f MB/s\n", "plain blocking recv loop", base / 1e6);
    printf("  %-34s %10.1f MB/s\n", "library data callback", lib / 1e6);
    printf("  %-34s %10.3f   (goal >= 0.9)  %s\n", "ratio library/plain", lib / base,
           lib / base >= 0.9 ? "met" : "NOT MET");
}

// --- delivery latency ----------------------------------------------------------


void serveStamps(int fd, int messages) {
    if (readRequestHead(fd).empty())
        return;
    sendAll(fd, "ICY 200 OK\r\n\r\n");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    usleep(100 * 1000);
    if (!sendStampsAt100Hz(fd, messages))
        return;
    shutdown(fd, SHUT_WR);
    waitReadable(fd, 5000);
}

// Collects send-to-arrival times from the stamps in the received bytes,
// wherever the block boundaries fall.
struct StampReader {
    std::vector<double> microseconds;
    std::string carry;
    void add(const char *bytes, int count, int64_t arrivedNs) {
        carry.append(bytes, (size_t)count);
        size_t used = 0;
        for (; carry.size() - used >= sizeof(Stamp); used += sizeof(Stamp)) {
            Stamp stamp;
            memcpy(&stamp, carry.data() + used, sizeof stamp);
            if (stamp.magic == kStampMagic)
                microseconds.push_back((double)(arrivedNs - stamp.sentNs) / 1e3);
        }
        carry.erase(0, used);
    }
};

struct StampClient : LibraryClient {
    StampReader reader;
    static void VELTO_CALL onData(void *user, char *bytes, int count) {
        int64_t now = nowNs();
        static_cast<StampClient *>(user)->reader.add(bytes, count, now);
    }
};

void plainStampRun(StampReader &reader) {
    int fd = plainConnect("BENCH", 1);
    char buffer[2048];
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        int64_t now = nowNs();
        if (got <= 0)
            break;
        reader.add(buffer, (int)got, now);
    }
    close(fd);
}

void libraryStampRun(StampReader &reader, int messages) {
    StampClient client;
    VeltoStart(client.handle, &client, client.mountPoint, 1, StampClient::onData,
               LibraryClient::onStatus);
    client.waitFor(VELTO_STATUS_STREAM_LOST, messages / 100 + 30);
    VeltoStop(client.handle);
    reader.microseconds.insert(reader.microseconds.end(), client.reader.microseconds.begin(),
                               client.reader.microseconds.end());
}

// Three short runs of each, taken in turn, so that a slow spell of the
// machine does not fall on one side only.
void benchLatency(const Options &options) {
    const int rounds = 3;
    const int perRun = options.latencyMessages / rounds;
    SerialCaster caster([&](int fd) { serveStamps(fd, perRun); });
    StampReader plain, library;
    for (int round = 0; round < rounds; ++round) {
        plainStampRun(plain);
        libraryStampRun(library, perRun);
    }
    std::vector<double> &lib = library.microseconds;
    double libMedian = median(lib), libP99 = percentile(lib, 99);
    double baseMedian = median(plain.microseconds), baseP99 = percentile(plain.microseconds, 99);
    printf("\nDelivery latency (%d messages of %zu bytes at 100/s; caster send to arrival)\n",
           options.latencyMessages, sizeof(Stamp));
    printf("  %-34s %8s %8s %8s\n", "", "n", "median", "p99");
    printf("  %-34s %8zu %6.1f us %6.1f us\n", "plain blocking recv loop", plain.microseconds.size(),
           baseMedian, baseP99);
    printf("  %-34s %8zu %6.1f us %6.1f us\n", "library data callback", lib.size(), libMedian,
           libP99);
    printf("  %-34s %8s %6.1f us %6.1f us   (goal: < 50 us added at p99)  %s\n",
           "added by the library", "", libMedian - baseMedian, libP99 - baseP99,
           libP99 - baseP99 < 50 ? "met" : "NOT MET");
}

// --- source table ---------------------------------------------------------------

std::string makeSourceTable(int records) {
    std::string body;
    char line[256];
    for (int i = 0; i < records; ++i) {
        snprintf(line, sizeof line,
                 "STR;MP%05d;Station %05d;RTCM 3.2;1004(1),1005(10),1012(1),1033(10);2;GPS+GLO;"
                 "EUREF;DEU;%.2f;%.2f;1;0;sNTRIP;none;B;N;%d;\r\n",
                 i, i, 47.0 + (i % 500) * 0.01, 7.0 + (i / 500) * 0.01, 2400 + i % 3000);
        body += line;
    }
    body += "ENDSOURCETABLE\r\n";
    return "SOURCETABLE 200 OK\r\nServer: bench caster\r\nContent-Type: text/plain\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::atomic<int> tableRecords{0};
void VELTO_CALL countRecord(char *) { ++tableRecords; }

void benchSourceTable(const Options &options) {
    const int records = 10000;
    const std::string table = makeSourceTable(records);
    SerialCaster caster([&](int fd) {
        char request[67];
        size_t got = 0;
        while (got < sizeof request) {
            ssize_t n = recv(fd, request + got, sizeof request - got, 0);
            if (n <= 0)
                return;
            got += (size_t)n;
        }
        sendAll(fd, table);
    });
    static const char request[] = "GET / HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0\r\n"
                                  "Connection: close\r\n\r\n";
    std::vector<double> library, plain;
    bool complete = true;
    for (int round = 0; round < options.tableRounds; ++round) {
        int64_t start = nowNs();
        int fd = connectToCaster();
        sendAll(fd, request, sizeof request - 1);
        char buffer[4095];
        size_t total = 0;
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            total += (size_t)n;
        close(fd);
        plain.push_back(secondsSince(start));
        complete = complete && total == table.size();

        tableRecords = 0;
        start = nowNs();
        int count = VeltoSourceTable(countRecord);
        library.push_back(secondsSince(start));
        complete = complete && count == records && tableRecords == records;
    }
    double lib = median(library), base = median(plain);
    double megabytes = (double)table.size() / 1e6;
    printf("\nSource table (%d records, %.2f MB, median of %d queries, connect included)%s\n",
           records, megabytes, options.tableRounds, complete ? "" : "  INCOMPLETE READS");
    printf("  %-34s %8.2f ms %10.0f records/s %8.1f MB/s\n", "plain recv loop (bytes only)",
           base * 1e3, records / base, megabytes / base);
    printf("  %-34s %8.2f ms %10.0f records/s %8.1f MB/s\n", "VeltoSourceTable", lib * 1e3,
           records / lib, megabytes / lib);
    printf("  %-34s %10.3f   (goal >= 0.8)  %s\n", "ratio library/plain", base / lib,
           base / lib >= 0.8 ? "met" : "NOT MET");
}

// --- scale -----------------------------------------------------------------------

long residentKb() {
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    long kb = 0;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = atol(line + 6);
    fclose(status);
    return kb;
}

// The scale caster runs in a child process, so that its own work stays out
// of the CPU time measured for the clients. Every connection gets 1024 bytes
// once a second, the connections spread over the second.
pid_t startTrickleCaster(int maxSeconds) {
    int listener = listenOnCasterPort(2048);
    pid_t child = fork();
    if (child != 0) {
        close(listener);
        return child;
    }
    raiseDescriptorLimit();
    alarm((unsigned)maxSeconds);
    std::atomic<int> index{0};
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int phase = index++ % 1000;
        std::thread([fd, phase] {
            if (readRequestHead(fd).empty()) {
                close(fd);
                return;
            }
            sendAll(fd, "ICY 200 OK\r\n\r\n");
            char block[1024];
            memset(block, 'z', sizeof block);
            timespec next;
            clock_gettime(CLOCK_MONOTONIC, &next);
            next.tv_sec += 1;
            next.tv_nsec = phase * 1000000L;
            for (;;) {
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
                if (!sendAll(fd, block, sizeof block))
                    break;
                next.tv_sec += 1;
            }
            close(fd);
        }).detach();
    }
}

struct ScaleResult {
    double kbPerClient;
    double cpuPercent;
    double bytesPerSecond;
    int streaming;
};

std::atomic<long long> scaleBytes{0};
void VELTO_CALL countBytes(void *, char *, int count) { scaleBytes += count; }

template <class Start, class Streaming, class Stop>
ScaleResult measureScale(const Options &options, Start start, Streaming streaming, Stop stop) {
    long before = residentKb();
    start();
    int64_t deadline = nowNs() + 60ll * 1000000000;
    while (streaming() < options.scaleClients && nowNs() < deadline)
        usleep(100 * 1000);
    // Every client has had a second or two of data before the measurement.
    sleep(3);
    long after = residentKb();
    long long bytes0 = scaleBytes;
    double cpu0 = cpuSeconds();
    int64_t wall0 = nowNs();
    sleep((unsigned)options.scaleSeconds);
    double cpu = cpuSeconds() - cpu0;
    double wall = secondsSince(wall0);
    long long bytes = scaleBytes - bytes0;
    ScaleResult result = {(double)(after - before) / options.scaleClients, cpu / wall * 100,
                          (double)bytes / wall, streaming()};
    stop();
    return result;
}

void benchScale(const Options &options) {
    raiseDescriptorLimit();
    pid_t caster = startTrickleCaster(options.scaleSeconds * 2 + 240);
    const int n = options.scaleClients;
    usleep(100 * 1000);

    // Baseline: one plain thread per connection, blocking 2048-byte receives
    // with the same one-second timeout the library uses.
    std::atomic<bool> plainStop{false};
    std::atomic<int> plainStreaming{0};
    std::vector<std::thread> plainThreads;
    ScaleResult plain = measureScale(
        options,
        [&] {
            for (int i = 0; i < n; ++i)
                plainThreads.emplace_back([&, i] {
                    int fd = plainConnect("SCALE", i);
                    timeval timeout = {1, 0};
                    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
                    char buffer[2048];
                    bool counted = false;
                    while (!plainStop) {
                        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                        if (got == 0)
                            break;
                        if (got > 0) {
                            scaleBytes += got;
                            if (!counted)
                                ++plainStreaming;
                            counted = true;
                        }
                    }
                    close(fd);
                });
        },
        [&] { return plainStreaming.load(); },
        [&] {
            plainStop = true;
            for (auto &thread : plainThreads)
                thread.join();
        });

    std::vector<VeltoHandle> handles(n);
    static char mountPoint[] = "SCALE";
    ScaleResult library = measureScale(
        options,
        [&] {
            for (int i = 0; i < n; ++i) {
                handles[i] = VeltoConstruct();
                VeltoStart(handles[i], NULL, mountPoint, i, countBytes, NULL);
            }
        },
        [&] {
            int count = 0;
            for (auto handle : handles)
                count += VeltoStatus(handle) == VELTO_STATUS_STREAMING;
            return count;
        },
        [&] {
            for (auto handle : handles)
                VeltoStop(handle);
            for (auto handle : handles)
                VeltoDestruct(handle);
        });

    kill(caster, SIGKILL);
    waitpid(caster, NULL, 0);

    printf("\nScale (%d clients at 1 kB/s each; CPU over %d s; resident memory as VmRSS growth)\n",
           n, options.scaleSeconds);
    printf("  %-34s %9s %10s %12s %10s\n", "", "streaming", "kB/client", "CPU % core", "kB/s in");
    printf("  %-34s %9d %10.1f %12.2f %10.1f\n", "plain thread per connection", plain.streaming,
           plain.kbPerClient, plain.cpuPercent, plain.bytesPerSecond / 1e3);
    printf("  %-34s %9d %10.1f %12.2f %10.1f\n", "library clients", library.streaming,
           library.kbPerClient, library.cpuPercent, library.bytesPerSecond / 1e3);
    printf("  %-34s %9s %10.2f %12.2f\n", "ratio library/plain", "",
           plain.kbPerClient > 0 ? library.kbPerClient / plain.kbPerClient : 0,
           plain.cpuPercent > 0 ? library.cpuPercent / plain.cpuPercent : 0);
    printf("  goals: < 100 kB per client %s; < 5 %% of one core %s\n",
           library.kbPerClient < 100 ? "met" : "NOT MET", library.cpuPercent < 5 ? "met" : "NOT MET");
}

void usage() {
    fprintf(stderr, "usage: velto_bench [--only throughput|latency|table|scale] [--relay-mib N]\n"
                    "                   [--latency-messages N] [--scale-clients N] "
                    "[--scale-seconds N]\n");
    exit(2);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr)
            usage();
        ++i;
        if (arg == "--only") {
            const char *names[4] = {"throughput", "latency", "table", "scale"};
            for (int k = 0; k < 4; ++k)
                options.only[k] = strcmp(value, names[k]) == 0;
        } else if (arg == "--relay-mib") {
            options.relayBytes = atoll(value) << 20;
        } else if (arg == "--latency-messages") {
            options.latencyMessages = atoi(value);
        } else if (arg == "--scale-clients") {
            options.scaleClients = atoi(value);
        } else if (arg == "--scale-seconds") {
            options.scaleSeconds = atoi(value);
        } else {
            usage();
        }
    }
    signal(SIGPIPE, SIG_IGN);
    printf("velto benchmark: library %d-%02d-%02d, loopback 127.0.0.1:2101\n",
           VeltoVersion().year, VeltoVersion().month, VeltoVersion().day);
    fflush(stdout);
    if (options.only[0])
        benchThroughput(options);
    fflush(stdout);
    if (options.only[1])
        benchLatency(options);
    fflush(stdout);
    if (options.only[2])
        benchSourceTable(options);
    fflush(stdout);
    if (options.only[3])
        benchScale(options);
    return 0;
}
