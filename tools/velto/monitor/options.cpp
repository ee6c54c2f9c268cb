#include "monitor/options.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

#include "commands.h"
#include "display.h"
#include "monitor/gate.h"
#include "shared_options.h"

namespace {

const char kCommand[] = "monitor ";

} // namespace

bool ListenAddress::wildcard() const {
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return v4.s_addr == htonl(INADDR_ANY);
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_UNSPECIFIED(&v6);
}

namespace {

// A host name (letters, digits, '-' and '.') or a numeric address, as a
// Host header gives it, without a port.
bool validHostName(const std::string &name) {
    in6_addr v6;
    std::string bare = name.size() > 2 && name.front() == '[' && name.back() == ']'
                           ? name.substr(1, name.size() - 2)
                           : name;
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1)
        return true;
    if (name.empty() || name.size() > 253)
        return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '-' && c != '.')
            return false;
    return true;
}

} // namespace

std::string ListenAddress::text() const {
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool parseListenAddress(const std::string &text, ListenAddress *address) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size())
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false; // an IPv6 address needs its brackets
    in_addr v4;
    in6_addr v6;
    bool numeric = inet_pton(AF_INET, host.c_str(), &v4) == 1 ||
                   inet_pton(AF_INET6, host.c_str(), &v6) == 1;
    if (!numeric && host != "localhost")
        return false;
    std::string digits = text.substr(colon + 1);
    char *end = NULL;
    errno = 0;
    long port = strtol(digits.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || digits[0] < '0' || digits[0] > '9' || port > 65535)
        return false;
    address->host = host;
    address->port = (int)port;
    address->loopback = namesLoopback(host);
    return true;
}

void printMonitorUsage(FILE *to) {
    fprintf(to,
            "Usage: velto monitor MOUNT... [options] [--] [MOUNT...]\n"
            "Streams each mount point from %s, as velto stream does, and serves a live\n"
            "dashboard of them in the browser: status and countdown to the next attempt,\n"
            "bitrate, latency, message types, satellites, the station and a timeline of\n"
            "the status changes. Prometheus scrapes /metrics; /events streams the JSON\n"
            "events as Server-Sent Events and /api/state gives all the page shows.\n"
            "Ctrl-C or SIGTERM stops every mount point cleanly.\n"
            "\n"
            "  --listen ADDR:PORT  where to serve the page (default 127.0.0.1:8080; [ADDR]\n"
            "                      for IPv6; port 0 takes a free one). The page has no\n"
            "                      authentication: any address but loopback is warned about\n"
            "  --allow-host NAME   a name by which browsers reach the monitor (repeatable).\n"
            "                      Requests must name it in their Host header, or a loopback\n"
            "                      name, or the address they reached; others get 403\n"
            "  --output-dir DIR    one file per mount point in DIR, named after it, as velto\n"
            "                      stream writes them (default: analyse the bytes, keep none)\n"
            "  --json FILE         one JSON event per line to FILE (- for standard output)\n"
            "%s%s%s%s"
            "\n"
            "The exit statuses are those of velto stream (see velto stream --help).\n"
            "\n"
            "Example:\n"
            "  velto monitor STATION_A STATION_B --json events.jsonl\n"
            "  (then open http://127.0.0.1:8080/)\n",
            kCaster, kIntervalHelp, kSharedOptionsHelp, kVerbosityHelp, kEndOfOptionsHelp);
}

MonitorOptions parseMonitorOptions(int argc, char **argv) {
    MonitorOptions options;
    OptionReader in(kCommand, argc, argv);
    while (in.next()) {
        if (readSharedOption(in, &options))
            continue;
        const std::string &name = in.name();
        if (name == "--help" || name == "-h") {
            printMonitorUsage(stdout);
            exit(0);
        } else if (name == "--listen") {
            const char *text = in.value();
            if (!parseListenAddress(text, &options.listen))
                in.error("--listen wants ADDR:PORT with a numeric address (or localhost) and "
                         "a port up to 65535, not '" + display::escaped(text) + "'");
        } else if (name == "--allow-host") {
            const char *text = in.value();
            if (!validHostName(text))
                in.error("--allow-host wants a host name or a numeric address without a port, not '" +
                         display::escaped(text) + "'");
            options.allowHosts.push_back(text);
        } else {
            in.unknown();
        }
    }
    finishSharedOptions(in, &options);
    options.noData = options.outputDir.empty();
    return options;
}
