// velto monitor's HTTP side, on cpp-httplib: the embedded page and its
// scripts, /api/state, /metrics and the event streams of /events. It reads
// the monitor's state through the callables it is given and the event hub,
// never the mount points' sessions, so nothing here can hold up the
// library's client threads.
//
// Only GET and HEAD are served (405 otherwise). Requests whose line or
// headers are malformed or too long get cpp-httplib's 400 or 414, too many
// header fields 431, and the server goes on. While it listens on loopback, requests must name a
// loopback host in their Host header: a web page elsewhere cannot then reach
// the monitor through a name that it makes resolve to 127.0.0.1.
#ifndef VELTO_TOOL_MONITOR_HTTP_H
#define VELTO_TOOL_MONITOR_HTTP_H

#include <stddef.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "event_hub.h"
#include "monitor_options.h"

namespace httplib {
class Server;
struct Response;
}

// Every open event stream holds one of the server's threads for as long as
// it is open. The streams are limited well below the number of threads, so
// the page, /api/state and /metrics still answer while the streams are at
// their limit; idle keep-alive connections hold threads too, for a while.
const size_t kHttpThreads = 16;
const size_t kMaxEventStreams = 8;
// What one event stream may have waiting: about fifteen seconds of ticks
// with twenty mount points. A browser further behind loses messages.
const size_t kMaxQueuedEventBytes = 1 << 20;

class MonitorHttp {
public:
    // What the server serves besides its own files; called on HTTP threads.
    struct Content {
        std::function<std::string()> state;   // /api/state, JSON
        std::function<std::string()> metrics; // /metrics, Prometheus text
    };

    MonitorHttp(EventHub *hub, const Content &content);
    ~MonitorHttp();
    MonitorHttp(const MonitorHttp &) = delete;
    MonitorHttp &operator=(const MonitorHttp &) = delete;

    // Binds the listening socket; false with *error set. Port 0 takes a
    // free port; port() tells which.
    bool bind(const ListenAddress &address, std::string *error);
    int port() const { return port_; }
    // Serves on threads of its own until stop().
    void start();
    // Close the hub first: its streams then end at once instead of at
    // their next message.
    void stop();

private:
    void route();
    void serveEvents(bool wantsTicks, httplib::Response &response);

    EventHub *const hub_;
    const Content content_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    bool loopbackOnly_ = true;
    int port_ = 0;
};

#endif
