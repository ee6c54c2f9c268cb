// velto monitor's command line.
#ifndef VELTO_TOOL_MONITOR_OPTIONS_H
#define VELTO_TOOL_MONITOR_OPTIONS_H

#include <stdio.h>

#include <string>
#include <vector>

#include "core/run_options.h"

// Where the page is served. Only a loopback address is private to this
// machine; anything else must be asked for and is warned about.
struct ListenAddress {
    std::string host = "127.0.0.1"; // a numeric IPv4 or IPv6 address, or "localhost"
    int port = 8080;                // 0: any free port
    bool loopback = true;

    // "127.0.0.1:8080", "[::1]:8080"
    std::string text() const;
    // 0.0.0.0 or ::, every address of the machine
    bool wildcard() const;
};

// Parses "ADDR:PORT" ("[ADDR]:PORT" for IPv6). False for anything else.
bool parseListenAddress(const std::string &text, ListenAddress *address);

// The run's options (without --output-dir the bytes are analysed and
// dropped), and where and to whom the page is served.
struct MonitorOptions : RunOptions {
    ListenAddress listen;
    // --allow-host: names a request's Host may give besides loopback ones
    // and the address the request reached.
    std::vector<std::string> allowHosts;
};

// Parses and checks the whole command line before anything starts: prints
// the help and exits 0 for --help, prints the problem and exits 2 for
// anything it cannot use.
MonitorOptions parseMonitorOptions(int argc, char **argv);

void printMonitorUsage(FILE *to);

#endif
