// velto stream's command line.
#ifndef VELTO_TOOL_STREAM_OPTIONS_H
#define VELTO_TOOL_STREAM_OPTIONS_H

#include <stdio.h>

#include "core/run_options.h"

// The run's options (--output and --no-data among them), and the two that
// only the terminal sees.
struct StreamOptions : RunOptions {
    int live = -1;         // -1: when standard error is a terminal
    bool force = false;
};

// Parses and checks the whole command line, before anything is started.
// Prints the help and exits 0 for --help; prints the problem and exits 2
// for anything it cannot use.
StreamOptions parseStreamOptions(int argc, char **argv);

void printStreamUsage(FILE *to);

#endif
