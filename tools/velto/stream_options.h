// velto stream's command line.
#ifndef VELTO_TOOL_STREAM_OPTIONS_H
#define VELTO_TOOL_STREAM_OPTIONS_H

#include <string>
#include <vector>

#include "analysis.h"
#include "outputs.h"

struct StreamOptions {
    std::vector<std::string> mounts;
    int client = 1;
    std::string output;    // a file, "-", or a pattern with %m; empty: not given
    std::string outputDir; // empty: not given
    bool noData = false;
    double duration = 0;   // 0: until stopped
    std::string json;      // events file, "-" for standard output; empty: none
    double interval = 10;  // seconds between stats events
    analysis::Options analysis; // leap seconds, outage threshold
    bool retryRefused = false;
    Verbosity verbosity = Verbosity::Normal;
    int live = -1;         // -1: when standard error is a terminal
    bool force = false;

    // Where one mount point's bytes go: a path, "-" for standard output, or
    // empty for nowhere.
    std::string outputFor(const std::string &mount) const;
};

// Parses and checks the whole command line, before anything is started.
// Prints the help and exits 0 for --help; prints the problem and exits 2
// for anything it cannot use.
StreamOptions parseStreamOptions(int argc, char **argv);

void printStreamUsage(FILE *to);

#endif
