// velto monitor's HTTP side, on cpp-httplib: the embedded page and its
// scripts, /api/state, /metrics and the event streams of /events. It reads
// the monitor's state through the callables it is given and the event hub,
// never the mount points' sessions, so nothing here can hold up the
// library's client threads.
//
// Only GET and HEAD are served (405 otherwise). Requests whose line or
// headers are malformed or too long get cpp-httplib's 400 or 414, too many
// header fields 431, and the server goes on. Requests must name this monitor
// in their Host header (a loopback name, the address they reached, or a
// name given with --allow-host): a web page elsewhere cannot then reach the
// monitor through a name that it makes resolve to it. Of several byte
// ranges none is honoured (the whole file is sent; see dropRangesButOne).
//
// Connections come through the gate (monitor/gate.h), which waits for each
// request's head and hands cpp-httplib only whole heads; cpp-httplib then
// parses, routes and answers, through a stream whose reads and writes have
// deadlines and give up as soon as the monitor stops.
#ifndef VELTO_TOOL_MONITOR_HTTP_H
#define VELTO_TOOL_MONITOR_HTTP_H

#include <stddef.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitor/event_hub.h"
#include "monitor/gate.h"
#include "monitor/options.h"

namespace httplib {
struct Response;
}
class GatedServer;

// Every open event stream holds one of the workers for as long as it is
// open. The streams are limited well below the number of workers, so the
// page, /api/state and /metrics still answer while the streams are at their
// limit; idle and slow connections hold no worker (see monitor/gate.h).
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
    // free port; port() tells which. allowHosts: the names, beside loopback
    // ones and the address reached, that a request's Host may give.
    bool bind(const ListenAddress &address, const std::vector<std::string> &allowHosts,
              std::string *error);
    int port() const { return gate_.port(); }
    // Serves on threads of its own until stop().
    void start();
    // Ends within a fraction of a second, whatever the clients do. Close
    // the hub first: its streams then end at once.
    void stop();

private:
    void route();
    void serveEvents(bool wantsTicks, httplib::Response &response);
    bool serve(GateConnection &connection);

    EventHub *const hub_;
    const Content content_;
    std::unique_ptr<GatedServer> server_;
    std::vector<std::string> allowedHosts_;
    HttpGate gate_; // last: stopped, its threads ended, before the rest goes
};

#endif
