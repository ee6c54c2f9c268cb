#include "monitor_http.h"

#include <arpa/inet.h>

#include <chrono>
#include <vector>

#include <httplib.h>

#include "metrics.h"
#include "monitor_assets.h"
#include "monitor_state.h"

namespace {

// A stream with nothing to say still sends a comment this often, so that a
// proxy keeps it open and a dead reader is noticed.
const std::chrono::milliseconds kHeartbeat(15000);
// Request bodies are never read (only GET and HEAD are served).
const size_t kMaxPayload = 8192;
// cpp-httplib bounds each header line but not their number; a browser sends
// about twenty.
const size_t kMaxHeaders = 100;
const size_t kMaxHeaderBytes = 32768;
const time_t kKeepAliveSeconds = 2;

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

// "127.0.0.1:8080", "localhost", "[::1]:8080" name this machine's loopback.
bool namesLoopback(const std::string &hostHeader) {
    std::string host = hostHeader;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        host = close == std::string::npos ? "" : host.substr(1, close - 1);
    } else if (host.find(':') != std::string::npos) {
        host = host.substr(0, host.find(':'));
    }
    in_addr v4;
    in6_addr v6;
    if (host == "localhost")
        return true;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
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

} // namespace

MonitorHttp::MonitorHttp(EventHub *hub, const Content &content)
    : hub_(hub), content_(content), server_(new httplib::Server) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    server_->set_payload_max_length(kMaxPayload);
    server_->set_keep_alive_timeout(kKeepAliveSeconds);
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
            response.set_header("Allow", "GET, HEAD");
            plainText(response, 405, "only GET and HEAD");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (headersTooLarge(request)) {
            plainText(response, 431, "too many header fields");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (loopbackOnly_ && request.has_header("Host") &&
            !namesLoopback(request.get_header_value("Host"))) {
            plainText(response, 403, "this monitor answers to loopback addresses only");
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
    if (!subscription) {
        response.set_header("Retry-After", "10");
        plainText(response, 503,
                  "too many event streams are open (" + std::to_string(hub_->maxStreams()) + ")");
        return;
    }
    response.set_header("Cache-Control", "no-store");
    std::string opening = "retry: 3000\n\n";
    response.set_chunked_content_provider(
        "text/event-stream",
        [subscription, opening](size_t, httplib::DataSink &sink) mutable {
            if (!opening.empty()) {
                std::string first;
                first.swap(opening);
                return sink.write(first.data(), first.size());
            }
            std::vector<Subscription::Message> batch;
            if (!subscription->next(&batch, kHeartbeat))
                return false;
            if (batch.empty())
                return sink.write(":\n\n", 3);
            for (const Subscription::Message &message : batch)
                if (!sink.write(message->data(), message->size()))
                    return false;
            return true;
        });
}

bool MonitorHttp::bind(const ListenAddress &address, std::string *error) {
    loopbackOnly_ = address.loopback;
    bool bound;
    if (address.port == 0) {
        port_ = server_->bind_to_any_port(address.host);
        bound = port_ > 0;
    } else {
        port_ = address.port;
        bound = server_->bind_to_port(address.host, address.port);
    }
    if (!bound)
        *error = "cannot listen on " + address.text() + ": " + strerror(errno);
    return bound;
}

void MonitorHttp::start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void MonitorHttp::stop() {
    if (!thread_.joinable())
        return;
    server_->stop();
    thread_.join();
}
