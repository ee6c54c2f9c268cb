#include "monitor/http.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include <httplib.h>

#include "monitor/metrics.h"
#include "monitor/assets.h"
#include "monitor/state.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stream with nothing to say still sends a comment this often, so that a
// proxy keeps it open.
const std::chrono::milliseconds kHeartbeat(15000);
// How often a quiet stream looks whether its reader has gone: a closed
// stream gives its place back within this time, not at its next message.
const std::chrono::milliseconds kReaderCheck(100);
// A stream asked for while all places are taken waits this long for one to
// come free before it gets 503: a page reloaded at the limit gets the place
// its own closed stream is about to give back.
const std::chrono::milliseconds kPlaceWait(1000);
// How often a wait on a socket looks whether the monitor is stopping.
const int kStopCheckMs = 100;
// Request bodies are never read (only GET and HEAD are served).
const size_t kMaxPayload = 8192;
// cpp-httplib bounds each header line but not their number; a browser sends
// about twenty.
const size_t kMaxHeaders = 100;
const size_t kMaxHeaderBytes = 32768;
const size_t kMaxRequestsPerConnection = 100;

// Script only from the page's own files, no inline script, and nothing from
// elsewhere: even text that slipped into the page as markup could not run.
const char kSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct File {
    const char *path;
    const MonitorAsset *asset;
    const char *type;
};
// The page itself, "/", is served with the state in it (route()).
const File kFiles[] = {
    {"/monitor.js", &kAsset_monitor_js, "text/javascript; charset=utf-8"},
    {"/monitor.css", &kAsset_monitor_css, "text/css; charset=utf-8"},
    {"/chart.js", &kAsset_chart_js, "text/javascript; charset=utf-8"},
};

// A request that is not a plain GET or HEAD may leave a body behind it in
// the connection: the connection then closes after the answer. Set by the
// handlers on the worker's own thread, read once the answer is out.
thread_local bool closeAfterAnswer = false;

void closeAfter(httplib::Response &response) {
    closeAfterAnswer = true;
    response.set_header("Connection", "close");
}

void plainText(httplib::Response &response, int status, const std::string &text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}

bool headersTooLarge(const httplib::Request &request) {
    size_t bytes = 0;
    for (const auto &header : request.headers)
        bytes += header.first.size() + header.second.size();
    return request.headers.size() > kMaxHeaders || bytes > kMaxHeaderBytes;
}

GateLimits gateLimits() {
    GateLimits limits;
    limits.workers = kHttpThreads;
    return limits;
}

// One request's connection as cpp-httplib reads and writes it: first the
// bytes the gate has read (the whole head, and what came after it), then
// the socket. Every wait has a deadline and looks every tenth of a second
// whether the monitor is stopping; a reader that has gone is noticed
// before the next write (is_writable), so that a quiet event stream ends.
class GateStream : public httplib::Stream {
public:
    GateStream(GateConnection &connection, const HttpGate &gate)
        : connection_(connection), stopping_(gate.stopping()),
          readDeadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(gate.limits().headSeconds))),
          writeStall_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(gate.limits().writeStallSeconds))),
          writeMost_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(gate.limits().writeSeconds))) {}

    bool is_readable() const override {
        return !connection_.buffered.empty() || waitFor(POLLIN, readDeadline_);
    }
    bool is_writable() const override {
        if (stopping_)
            return false;
        pollfd watched = {connection_.fd, POLLRDHUP, 0};
        return poll(&watched, 1, 0) == 0; // no hang-up, no error
    }
    ssize_t read(char *ptr, size_t size) override {
        std::string &buffered = connection_.buffered;
        if (!buffered.empty()) {
            size_t taken = std::min(size, buffered.size() - consumed_);
            memcpy(ptr, buffered.data() + consumed_, taken);
            consumed_ += taken;
            if (consumed_ == buffered.size()) {
                buffered.clear();
                consumed_ = 0;
            }
            return (ssize_t)taken;
        }
        if (!waitFor(POLLIN, readDeadline_))
            return -1;
        return recv(connection_.fd, ptr, size, 0);
    }
    // A slow reader is served as long as it makes progress, within limits;
    // one that stops reading loses its connection.
    ssize_t write(const char *ptr, size_t size) override {
        Clock::time_point began = Clock::now();
        Clock::time_point progress = began;
        size_t done = 0;
        while (done < size) {
            ssize_t sent = send(connection_.fd, ptr + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0) {
                done += (size_t)sent;
                progress = Clock::now();
                continue;
            }
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return -1;
            if (!waitFor(POLLOUT, std::min(progress + writeStall_, began + writeMost_)))
                return -1;
        }
        return (ssize_t)size;
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        ip = connection_.peer;
        port = connection_.peerPort;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        ip = connection_.local;
        port = connection_.localPort;
    }
    socket_t socket() const override { return connection_.fd; }

    // What cpp-httplib left unread goes back to the gate with the connection.
    void keepRest() {
        connection_.buffered.erase(0, consumed_);
        consumed_ = 0;
    }

private:
    bool waitFor(short events, Clock::time_point deadline) const {
        for (;;) {
            if (stopping_)
                return false;
            long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd watched = {connection_.fd, events, 0};
            int ready = poll(&watched, 1, (int)std::min<long long>(left, kStopCheckMs));
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return false;
        }
    }

    GateConnection &connection_;
    const std::atomic<bool> &stopping_;
    const Clock::time_point readDeadline_;
    const Clock::duration writeStall_;
    const Clock::duration writeMost_;
    size_t consumed_ = 0;
};

} // namespace

// cpp-httplib's server with the gate in front: its own accept loop and
// thread pool stay unused. While the monitor serves, svr_sock_ holds the
// gate's listening socket, as cpp-httplib's own loop would have it: its
// streamed answers go on only while that is valid.
class GatedServer : public httplib::Server {
public:
    // One request; true when the connection may carry another.
    bool answer(httplib::Stream &stream, bool last) {
        bool closeRequested = false;
        closeAfterAnswer = false;
        bool answered = process_request(stream, last, closeRequested, [](httplib::Request &request) {
            // dropRangesButOne() left at most one Range header of one range;
            // should cpp-httplib ever find more, the whole file goes.
            if (request.ranges.size() > 1)
                request.ranges.clear();
        });
        return answered && !closeRequested && !closeAfterAnswer && !last;
    }
    void serving(int listener) { svr_sock_ = listener; }
    void stopping() { svr_sock_ = INVALID_SOCKET; }
};

MonitorHttp::MonitorHttp(EventHub *hub, const Content &content)
    : hub_(hub), content_(content), server_(new GatedServer),
      gate_(gateLimits(), [this](GateConnection &connection) { return serve(connection); }) {
    server_->set_payload_max_length(kMaxPayload);
    server_->set_keep_alive_timeout((time_t)gate_.limits().headSeconds);
    server_->set_keep_alive_max_count(kMaxRequestsPerConnection);
    server_->set_default_headers({{"Content-Security-Policy", kSecurityPolicy},
                                  {"X-Content-Type-Options", "nosniff"},
                                  {"Referrer-Policy", "no-referrer"}});
    route();
}

MonitorHttp::~MonitorHttp() { stop(); }

void MonitorHttp::route() {
    server_->set_pre_routing_handler([this](const httplib::Request &request,
                                            httplib::Response &response) {
        if (request.method != "GET" && request.method != "HEAD") {
            closeAfter(response);
            response.set_header("Allow", "GET, HEAD");
            plainText(response, 405, "only GET and HEAD");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (headersTooLarge(request)) {
            closeAfter(response);
            plainText(response, 431, "too many header fields");
            return httplib::Server::HandlerResponse::Handled;
        }
        // A client without a Host (HTTP/1.0) is no browser, and a browser
        // always sends one.
        if (request.has_header("Host") &&
            !hostAllowed(request.get_header_value("Host"), request.local_addr, allowedHosts_)) {
            plainText(response, 403,
                      "this monitor answers to loopback names, its own address and the names "
                      "given with --allow-host only");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // cpp-httplib's own error answers (400, 404, 414 ...) come without a
    // body; give them a line of text.
    httplib::Server::HandlerWithResponse errorText = [](const httplib::Request &,
                                                        httplib::Response &response) {
        if (!response.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        plainText(response, response.status, "error " + std::to_string(response.status));
        return httplib::Server::HandlerResponse::Handled;
    };
    server_->set_error_handler(errorText);
    server_->set_exception_handler(
        [](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
            plainText(response, 500, "internal error");
        });

    for (const File &file : kFiles)
        server_->Get(file.path, [file](const httplib::Request &, httplib::Response &response) {
            response.set_content((const char *)file.asset->bytes, file.asset->size, file.type);
        });
    // The page comes with the state of the moment in it (see
    // MonitorState::pageWithState): it shows content without a request of
    // its own, in a screenshot taken as soon as it has loaded.
    server_->Get("/", [this](const httplib::Request &, httplib::Response &response) {
        std::string page((const char *)kAsset_index_html.bytes, kAsset_index_html.size);
        response.set_header("Cache-Control", "no-store");
        response.set_content(MonitorState::pageWithState(page, content_.state()), "text/html; charset=utf-8");
    });
    server_->Get("/api/state", [this](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(content_.state(), "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        response.set_content(content_.metrics(), kMetricsContentType);
    });
    server_->Get("/events", [this](const httplib::Request &request, httplib::Response &response) {
        serveEvents(request.get_param_value("ticks") == "1", response);
    });
}

// The stream's thread waits on its own queue and writes what it finds;
// the subscription ends with the response, when the stream is over.
void MonitorHttp::serveEvents(bool wantsTicks, httplib::Response &response) {
    std::shared_ptr<Subscription> subscription = hub_->subscribe(wantsTicks);
    for (Clock::time_point until = Clock::now() + kPlaceWait;
         !subscription && !gate_.stopping() && Clock::now() < until;) {
        std::this_thread::sleep_for(kReaderCheck / 2);
        subscription = hub_->subscribe(wantsTicks);
    }
    if (!subscription) {
        response.set_header("Retry-After", "10");
        plainText(response, 503,
                  "too many event streams are open (" + std::to_string(hub_->maxStreams()) + ")");
        return;
    }
    response.set_header("Cache-Control", "no-store");
    std::string opening = "retry: 3000\n\n";
    Clock::time_point lastWrite = Clock::now();
    response.set_chunked_content_provider(
        "text/event-stream",
        [subscription, opening, lastWrite](size_t, httplib::DataSink &sink) mutable {
            if (!opening.empty()) {
                std::string first;
                first.swap(opening);
                return sink.write(first.data(), first.size());
            }
            // Waits in short steps: between them a reader that has gone is
            // noticed, and the stream ends without waiting for a message.
            std::vector<Subscription::Message> batch;
            if (!subscription->next(&batch, kReaderCheck))
                return false;
            Clock::time_point now = Clock::now();
            if (batch.empty()) {
                if (!sink.is_writable())
                    return false;
                if (now - lastWrite < kHeartbeat)
                    return true; // nothing written; called again at once
                lastWrite = now;
                return sink.write(":\n\n", 3);
            }
            lastWrite = now;
            for (const Subscription::Message &message : batch)
                if (!sink.write(message->data(), message->size()))
                    return false;
            return true;
        });
}

bool MonitorHttp::bind(const ListenAddress &address, const std::vector<std::string> &allowHosts,
                       std::string *error) {
    allowedHosts_ = allowHosts;
    // The address listened on names the monitor too, unless it stands for
    // every address (a page must not reach the monitor as "0.0.0.0").
    if (!address.wildcard())
        allowedHosts_.push_back(address.host);
    std::string why;
    if (!gate_.bind(address.host, address.port, &why)) {
        *error = "cannot listen on " + address.text() + ": " + why;
        return false;
    }
    return true;
}

bool MonitorHttp::serve(GateConnection &connection) {
    dropRangesButOne(&connection.buffered);
    GateStream stream(connection, gate_);
    bool again = server_->answer(stream, connection.answered + 1 >= kMaxRequestsPerConnection);
    stream.keepRest();
    return again;
}

void MonitorHttp::start() {
    server_->serving(gate_.listener());
    gate_.start();
}

void MonitorHttp::stop() {
    server_->stopping();
    gate_.stop();
}
