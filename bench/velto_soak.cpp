// Soak run: many clients in one process against a caster that misbehaves at
// random for a bounded time, the way a real caster does on a bad day: it
// refuses connections (listener down), resets them, never answers, answers
// with errors, streams and then hangs up, stalls in mid-stream, or streams
// on. At the end every client is stopped and destroyed. The run passes when
// nothing crashed, every client ended with status 0, and every stretch of
// bytes a client received on one connection is exactly a piece of what the
// caster sent on that connection.
//
// What the caster sends on a connection is a pseudo-random byte sequence
// keyed on the client number (from the User-Agent line) and the connection's
// number among that client's connections, so the checker can recompute any
// byte from its offset.
//   velto_soak [--seconds N] [--clients N] [--seed N]
#include <signal.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "velto.h"

using namespace bench;

namespace {

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

uint64_t streamKey(int clientNumber, int connection) {
    return mix(((uint64_t)(uint32_t)clientNumber << 32) | (uint32_t)connection);
}

unsigned char streamByte(uint64_t key, uint64_t offset) {
    return (unsigned char)(mix(key ^ (offset >> 3) * 0x100000001b3ull) >> ((offset & 7) * 8));
}

// --- the caster ----------------------------------------------------------------

// What the caster did on one streaming connection, for the checker.
struct SentStream {
    uint64_t key;
    std::atomic<uint64_t> sent{0};
};

enum Behaviour {
    kReset,          // accept, then reset at once
    kSilent,         // read the request, never answer
    kRefuse,         // an error answer (401, 404, 501, garbage), then close
    kStreamThenStall,// stream a while, then fall silent
    kStreamThenDrop, // stream a while, then close or reset
    kStreamOn,       // stream until the client leaves or the run ends
    kBehaviours
};
const char *const kBehaviourNames[kBehaviours] = {"reset",         "no answer",     "error answer",
                                                  "stream+stall",  "stream+drop",   "stream on"};

class ChaosCaster {
public:
    explicit ChaosCaster(unsigned seed) : random_(seed) {
        listener_ = listenOnCasterPort();
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~ChaosCaster() { shutdown(); }

    void shutdown() {
        if (stop_.exchange(true))
            return;
        acceptor_.join();
        for (auto &worker : workers_)
            worker.join();
        if (listener_ >= 0)
            close(listener_);
    }

    // The stream of this client's newest connection that got a success answer.
    SentStream *currentStream(int clientNumber) {
        std::lock_guard<std::mutex> hold(mutex_);
        auto found = current_.find(clientNumber);
        return found == current_.end() ? nullptr : found->second;
    }

    long long accepted() const { return accepted_; }
    long long refusedWindows() const { return refusedWindows_; }
    long long count(int behaviour) const { return counts_[behaviour]; }

private:
    int pick(int bound) {
        std::lock_guard<std::mutex> hold(randomMutex_);
        return std::uniform_int_distribution<int>(0, bound - 1)(random_);
    }

    bool sleepMs(int milliseconds) {
        int64_t end = nowNs() + (int64_t)milliseconds * 1000000;
        while (!stop_) {
            int64_t left = end - nowNs();
            if (left <= 0)
                return true;
            usleep((useconds_t)std::min<int64_t>(left / 1000, 50000));
        }
        return false;
    }

    // Now and then the listener goes away for a few seconds, so connects are
    // refused outright.
    void acceptLoop() {
        int64_t nextOutage = nowNs() + (int64_t)(5 + pick(20)) * 1000000000;
        while (!stop_) {
            if (nowNs() >= nextOutage) {
                close(listener_);
                listener_ = -1;
                ++refusedWindows_;
                sleepMs(1000 + pick(5000));
                if (stop_)
                    break;
                listener_ = listenOnCasterPort();
                nextOutage = nowNs() + (int64_t)(10 + pick(30)) * 1000000000;
            }
            if (!waitReadable(listener_, 50))
                continue;
            int fd = accept4(listener_, NULL, NULL, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++accepted_;
            workers_.emplace_back([this, fd] { serve(fd); });
        }
    }

    bool streamFor(int fd, SentStream *stream, int milliseconds) {
        int64_t end = milliseconds < 0 ? INT64_MAX : nowNs() + (int64_t)milliseconds * 1000000;
        std::vector<unsigned char> block;
        while (!stop_ && nowNs() < end) {
            int size = 1 + pick(pick(4) == 0 ? 4000 : 300);
            block.resize((size_t)size);
            uint64_t offset = stream->sent;
            for (int i = 0; i < size; ++i)
                block[(size_t)i] = streamByte(stream->key, offset + (uint64_t)i);
            // Counted before the send: a partly sent block is still a
            // prefix of what the caster meant to send.
            stream->sent = offset + (uint64_t)size;
            if (!sendAll(fd, block.data(), block.size()))
                return false;
            if (!sleepMs(pick(200)))
                return false;
        }
        return !stop_;
    }

    void waitPeerGone(int fd) {
        char sink[4096];
        while (!stop_) {
            if (!waitReadable(fd, 50))
                continue;
            if (recv(fd, sink, sizeof sink, 0) <= 0)
                return;
        }
    }

    void serve(int fd) {
        int behaviour = pick(kBehaviours);
        ++counts_[behaviour];
        if (behaviour == kReset) {
            resetConnection(fd);
            return;
        }
        std::string head = readRequestHead(fd, 15000);
        int clientNumber = clientNumberOf(head);
        if (head.empty() || clientNumber < 0) {
            close(fd);
            return;
        }
        if (behaviour == kSilent) {
            waitPeerGone(fd);
            close(fd);
            return;
        }
        if (behaviour == kRefuse) {
            static const char *const answers[] = {"HTTP/1.1 401 Unauthorized\r\n\r\n",
                                                  "HTTP/1.0 404 Not Found\r\n\r\n",
                                                  "HTTP/1.1 501 Not Implemented\r\n\r\n",
                                                  "SOURCETABLE 200 OK\r\n", "garbage\r\n\r\n"};
            sendAll(fd, answers[pick(5)]);
            close(fd);
            return;
        }
        auto stream = std::make_shared<SentStream>();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            int connection = connectionsOf_[clientNumber]++;
            stream->key = streamKey(clientNumber, connection);
            streams_.push_back(stream);
            current_[clientNumber] = stream.get();
        }
        // The answer, sometimes in two pieces; the stream starts after a
        // pause so that no stream byte travels in the answer's block.
        if (pick(6) == 0) {
            sendAll(fd, "ICY 200");
            sleepMs(20);
            sendAll(fd, " OK\r\n\r\n");
        } else {
            sendAll(fd, pick(2) ? "ICY 200 OK\r\n\r\n" : "HTTP/1.1 200 OK\r\n\r\n");
        }
        if (!sleepMs(300)) {
            close(fd);
            return;
        }
        switch (behaviour) {
        case kStreamThenStall:
            if (streamFor(fd, stream.get(), 500 + pick(10000)))
                waitPeerGone(fd);
            close(fd);
            break;
        case kStreamThenDrop:
            streamFor(fd, stream.get(), 500 + pick(20000));
            if (pick(2))
                resetConnection(fd);
            else
                close(fd);
            break;
        default:
            streamFor(fd, stream.get(), -1);
            close(fd);
            break;
        }
    }

    std::atomic<bool> stop_{false};
    int listener_ = -1;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex randomMutex_;
    std::mt19937 random_;
    std::mutex mutex_;
    std::map<int, int> connectionsOf_;
    std::map<int, SentStream *> current_;
    std::vector<std::shared_ptr<SentStream>> streams_;
    std::atomic<long long> accepted_{0};
    std::atomic<long long> refusedWindows_{0};
    std::atomic<long long> counts_[kBehaviours] = {};
};

// --- the clients --------------------------------------------------------------

ChaosCaster *caster = nullptr;

struct SoakClient {
    int number = 0;
    VeltoHandle handle = nullptr;
    char mountPoint[16] = "SOAK";
    // Touched on the client thread only, read after it ended.
    SentStream *stream = nullptr;
    uint64_t offset = 0;
    bool aligned = false;
    long long streams = 0;
    long long delivered = 0;
    long long mismatches = 0;
    long long overruns = 0;
    std::atomic<int> lastStatus{0};
    std::atomic<long long> reports{0};

    static void VELTO_CALL onStatus(void *user, int status) {
        auto *self = static_cast<SoakClient *>(user);
        if (status == VELTO_STATUS_STREAMING) {
            // A new connection: the caster registered its stream before it
            // answered, so the newest one of this client is the one.
            self->stream = caster->currentStream(self->number);
            self->aligned = false;
            ++self->streams;
        }
        self->lastStatus = status;
        ++self->reports;
    }

    static void VELTO_CALL onData(void *user, char *bytes, int count) {
        static_cast<SoakClient *>(user)->check((const unsigned char *)bytes, count);
    }

    // The first block of a connection fixes where in the sent sequence the
    // delivered bytes begin (0 unless stream bytes travelled with the
    // answer); from then on every byte must follow on exactly.
    void check(const unsigned char *bytes, int count) {
        if (stream == nullptr) {
            ++mismatches;
            return;
        }
        if (!aligned) {
            uint64_t sent = stream->sent;
            uint64_t start = 0;
            for (; start <= 2048 && start < sent; ++start)
                if (matches(bytes, count, start))
                    break;
            if (start > 2048 || start >= sent) {
                ++mismatches;
                return;
            }
            offset = start;
            aligned = true;
        } else if (!matches(bytes, count, offset)) {
            ++mismatches;
        }
        offset += (uint64_t)count;
        if (offset > stream->sent)
            ++overruns;
        delivered += count;
    }

    bool matches(const unsigned char *bytes, int count, uint64_t at) const {
        for (int i = 0; i < count; ++i)
            if (bytes[i] != streamByte(stream->key, at + (uint64_t)i))
                return false;
        return true;
    }
};

} // namespace

int main(int argc, char **argv) {
    int seconds = 180, clients = 100;
    unsigned seed = (unsigned)time(NULL);
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--seconds")
            seconds = atoi(argv[i + 1]);
        else if (arg == "--clients")
            clients = atoi(argv[i + 1]);
        else if (arg == "--seed")
            seed = (unsigned)strtoul(argv[i + 1], NULL, 10);
        else {
            fprintf(stderr, "usage: velto_soak [--seconds N] [--clients N] [--seed N]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    printf("soak: %d clients for %d s against a misbehaving caster (seed %u)\n", clients, seconds,
           seed);
    fflush(stdout);

    ChaosCaster chaos(seed);
    caster = &chaos;
    std::vector<std::unique_ptr<SoakClient>> soakClients;
    for (int i = 0; i < clients; ++i) {
        soakClients.emplace_back(new SoakClient);
        SoakClient &client = *soakClients.back();
        client.number = i;
        client.handle = VeltoConstruct();
        VeltoStart(client.handle, &client, client.mountPoint, i, SoakClient::onData,
                   SoakClient::onStatus);
    }
    int64_t start = nowNs();
    int nextReport = 30;
    while (secondsSince(start) < seconds) {
        sleep(1);
        if (secondsSince(start) < nextReport)
            continue;
        int streaming = 0;
        for (auto &client : soakClients)
            streaming += VeltoStatus(client->handle) == VELTO_STATUS_STREAMING;
        printf("  %4d s: %lld connections accepted, %d clients streaming\n", nextReport,
               chaos.accepted(), streaming);
        fflush(stdout);
        nextReport += 30;
    }

    // Stop everyone while the caster still misbehaves; each thread reports 0
    // as it ends (within about two seconds), then the handles go.
    int64_t stopStart = nowNs();
    for (auto &client : soakClients)
        VeltoStop(client->handle);
    int notIdle = 0;
    for (auto &client : soakClients) {
        while (client->lastStatus != VELTO_STATUS_IDLE && secondsSince(stopStart) < 30)
            usleep(10 * 1000);
        if (client->lastStatus != VELTO_STATUS_IDLE || VeltoStatus(client->handle) != 0)
            ++notIdle;
    }
    for (auto &client : soakClients)
        VeltoDestruct(client->handle);
    double stopSeconds = secondsSince(stopStart);
    chaos.shutdown();

    long long bytes = 0, streams = 0, mismatches = 0, overruns = 0;
    for (auto &client : soakClients) {
        bytes += client->delivered;
        streams += client->streams;
        mismatches += client->mismatches;
        overruns += client->overruns;
    }
    printf("soak result after %.0f s:\n", secondsSince(start));
    printf("  connections accepted %lld, listener outages %lld\n", chaos.accepted(),
           chaos.refusedWindows());
    printf("  caster behaviours:");
    for (int b = 0; b < kBehaviours; ++b)
        printf(" %s %lld%s", kBehaviourNames[b], chaos.count(b), b + 1 < kBehaviours ? "," : "\n");
    printf("  streams received %lld, bytes checked %lld\n", streams, bytes);
    printf("  blocks not matching what the caster sent: %lld, bytes beyond what was sent: %lld\n",
           mismatches, overruns);
    printf("  clients not at status 0 after stop: %d (stop and destroy took %.1f s)\n", notIdle,
           stopSeconds);
    bool passed = mismatches == 0 && overruns == 0 && notIdle == 0 && streams > 0;
    printf("soak %s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}
