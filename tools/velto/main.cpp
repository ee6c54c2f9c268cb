// velto: command-line NTRIP client on the library's public interface.
//
//   velto table                      the caster's mount points, one per line
//   velto stream MOUNT [options]     the mount point's bytes, byte-exact
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli.h"
#include "velto.h"

namespace {

void printMainUsage(FILE *to) {
    fprintf(to,
            "Usage: velto table\n"
            "       velto stream MOUNT [--client N] [--output FILE] [--duration SECONDS]\n"
            "       velto --version | --help | COMMAND --help\n"
            "\n"
            "Command-line NTRIP client. The caster is fixed when the library is built:\n"
            "this one talks to %s.\n"
            "\n"
            "Example:\n"
            "  velto table\n"
            "  velto stream RTCM3_DEMO --output corrections.rtcm --duration 60\n",
            kCaster);
}

void printTableUsage(FILE *to) {
    fprintf(to,
            "Usage: velto table\n"
            "Prints the mount points of the caster's source table (%s), one per line.\n"
            "Exit status: 0 when at least one came back, %d when none did (caster not\n"
            "reached, answer not a source table, or an empty table), %d for bad usage.\n"
            "\n"
            "Example:\n"
            "  velto table | grep RTCM3\n",
            kCaster, kExitNeverStreamed, kExitUsage);
}

void VELTO_CALL printMountPoint(char *mountPoint) {
    fputs(mountPoint, stdout);
    fputc('\n', stdout);
}

int runTable(int argc, char **argv) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printTableUsage(stdout);
            return 0;
        }
        usageError(std::string("table takes no argument '") + argv[i] + "'", "table ");
    }
    int count = VeltoSourceTable(printMountPoint);
    fflush(stdout);
    if (count == 0) {
        fprintf(stderr, "velto: no mount points came back from %s\n", kCaster);
        return kExitNeverStreamed;
    }
    return ferror(stdout) ? kExitFailure : 0;
}

} // namespace

void usageError(const std::string &message, const char *command) {
    fprintf(stderr, "velto: %s\n(see velto %s--help)\n", message.c_str(), command);
    exit(kExitUsage);
}


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
        printf("velto 1.0.0, library release %04u-%02u-%02u, caster %s\n", version.year,
               version.month, version.day, kCaster);
        return 0;
    }
    if (command == "table")
        return runTable(argc - 2, argv + 2);
    if (command == "stream")
        return runStream(argc - 2, argv + 2);
    usageError("unknown command '" + command + "'", "");
}

