// velto: command-line NTRIP client on the library's public interface.
//
//   velto table                      the caster's mount points, one per line
//   velto stream MOUNT... [options]  the mount points' bytes, byte-exact
//   velto monitor MOUNT... [options] the same, with a live dashboard in the browser
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "commands.h"
#include "display.h"
#include "velto.h"

namespace {

void printMainUsage(FILE *to) {
    fprintf(to,
            "Usage: velto table\n"
            "       velto stream MOUNT... [--output FILE | --output-dir DIR] [--json FILE]\n"
            "                    [--duration SECONDS] [--client N] [-q | -v] ...\n"
            "       velto monitor MOUNT... [--listen ADDR:PORT] [--output-dir DIR] [--json FILE]\n"
            "       velto --version | --help | COMMAND --help\n"
            "\n"
            "Command-line NTRIP client. The caster is fixed when the library is built:\n"
            "this one talks to %s. Each command's --help lists its exit statuses.\n"
            "\n"
            "Example:\n"
            "  velto table\n"
            "  velto stream RTCM3_DEMO --output corrections.rtcm --duration 60\n",
            kCaster);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        printMainUsage(stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printMainUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        VeltoVersionInfo version = VeltoVersion();
        printf("velto %s, library release %04u-%02u-%02u, caster %s\n", VELTO_VERSION, version.year,
               version.month, version.day, kCaster);
        return 0;
    }
    if (command == "table")
        return runTable(argc - 2, argv + 2);
    if (command == "stream")
        return runStream(argc - 2, argv + 2);
    if (command == "monitor") {
#ifdef VELTO_WITH_MONITOR
        return runMonitor(argc - 2, argv + 2);
#else
        usageError("this velto was built without the monitor (it needs cpp-httplib)", "");
#endif
    }
    usageError("unknown command '" + display::escaped(command) + "'", "");
}
