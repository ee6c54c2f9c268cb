// velto-caster's command line.
#ifndef VELTO_CASTER_OPTIONS_H
#define VELTO_CASTER_OPTIONS_H

#include <string>
#include <vector>

#include "content.h"

extern const char kLibraryCredential[]; // what the library always sends

struct Options {
    int port = 2101;
    std::vector<std::string> mounts;
    double rate = 1000;        // bytes per second; 0 = as fast as possible
    double stallAfter = 0;     // seconds of streaming before falling silent
    double dropEvery = 0;      // seconds of streaming before closing
    long drops = -1;           // forced drops in all; -1 = no limit
    double lifetime = 0;       // seconds until the caster exits by itself
    bool log = false;
    std::string record;
    std::string credential = kLibraryCredential;
    ContentOptions content;    // synthetic station or replayed file (content.h)
};

// Parses the command line; prints the help and exits 0 for --help, prints
// the problem and exits 2 for anything it cannot use.
Options parseOptions(int argc, char **argv);

#endif
