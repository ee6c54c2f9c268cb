// What a run of `velto stream` or `velto monitor` is asked to do: one set of
// values, read from the command line in one place (shared_options.h), with
// the fields only one command sets marked so.
#ifndef VELTO_TOOL_CORE_RUN_OPTIONS_H
#define VELTO_TOOL_CORE_RUN_OPTIONS_H

#include <string>
#include <vector>

#include "analysis.h"

enum class Verbosity { Quiet, Normal, Verbose };

struct RunOptions {
    std::vector<std::string> mounts;
    int client = 1;
    std::string outputDir;      // empty: not given
    double duration = 0;        // 0: until stopped
    std::string json;           // events file, "-" for standard output; empty: none
    double interval = 10;       // seconds between stats events per mount point
    analysis::Options analysis; // leap seconds, outage threshold
    bool retryRefused = false;
    Verbosity verbosity = Verbosity::Normal;
    // stream: --output, a file, "-", or a pattern with %m; empty: not given
    std::string output;
    // stream: --no-data; monitor: set without --output-dir
    bool noData = false;

    // Where one mount point's bytes go: a path, "-" for standard output, or
    // empty for nowhere. A path inside outputDir never follows a link.
    std::string outputFor(const std::string &mount) const;
};

#endif
