// velto stream's command line.
#ifndef VELTO_TOOL_STREAM_OPTIONS_H
#define VELTO_TOOL_STREAM_OPTIONS_H

#include <string>
#include <vector>

#include "shared_options.h"

struct StreamOptions : RunOptions {
    std::string output;    // a file, "-", or a pattern with %m; empty: not given
    bool noData = false;
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
