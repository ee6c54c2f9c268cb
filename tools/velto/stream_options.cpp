#include "stream_options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "commands.h"
#include "core/names.h"
#include "shared_options.h"

namespace {

const char kCommand[] = "stream ";

[[noreturn]] void streamUsageError(const std::string &message) { usageError(message, kCommand); }

void checkOutputs(const StreamOptions &options) {
    bool several = options.mounts.size() > 1;
    int ways = !options.output.empty() + !options.outputDir.empty() + options.noData;
    if (ways > 1)
        streamUsageError("--output, --output-dir and --no-data exclude one another");
    if (!options.output.empty() && !names::validPattern(options.output))
        streamUsageError("--output: '%' must be followed by 'm' (the mount point) or '%'");
    if (several && ways == 0)
        streamUsageError("several mount points need --output-dir DIR, --output with %m, or --no-data");
    if (several && !options.output.empty() && !names::patternNamesMount(options.output))
        streamUsageError("with several mount points, --output needs %m in its name");
    bool dataToStdout = options.outputFor(options.mounts[0]) == "-";
    if (dataToStdout && options.json == "-")
        streamUsageError("--json - needs the data in files (--output, --output-dir or --no-data)");
    if (dataToStdout && !options.force && isatty(STDOUT_FILENO))
        streamUsageError("refusing to write the binary stream to a terminal; use --output FILE, a "
                         "pipe, or --force");
}

} // namespace

void printStreamUsage(FILE *to) {
    fprintf(to,
            "Usage: velto stream MOUNT... [options] [--] [MOUNT...]\n"
            "Streams each mount point's bytes from %s, exactly as received, with one\n"
            "library client per mount point. The library reconnects by itself 30 s after\n"
            "a failure. When the caster refuses a mount point for good (not found, not\n"
            "authorised, not implemented), velto stops that one at once and says why;\n"
            "for \"not found\" it lists the caster's mount points, closest names first.\n"
            "Status changes go to standard error with UTC time and elapsed seconds; when\n"
            "standard error is a terminal a live line shows bytes, rate, RTCM 3 message\n"
            "types and the countdown to the library's next attempt. Ctrl-C, SIGTERM or\n"
            "the end of --duration stops every mount point cleanly.\n"
            "\n"
            "  --output FILE       one mount point: its bytes to FILE (- for standard output);\n"
            "                      several: a name with %%m, replaced by each mount point's\n"
            "                      file-safe name (%%%% for a %%)\n"
            "  --output-dir DIR    one file per mount point in DIR, named after it\n"
            "  --no-data           count and analyse the bytes, keep none\n"
            "%s"
            "  --json FILE         one JSON event per line to FILE (- for standard output when\n"
            "                      the data goes to files)\n"
            "%s%s"
            "  --live / --no-live  force the live line on or off\n"
            "  --force             write the binary stream to a terminal all the same\n"
            "%s"
            "\n"
            "File-safe names keep ASCII letters, digits, '-', '_' and '.' (not leading) and\n"
            "write any other byte as %%XX, so a file never lands outside its directory.\n"
            "\n"
            "Exit status (with several mount points, the first of these that applies\n"
            "to any of them):\n"
            "  %2d  an output (data or events) could not be written\n"
            "  %2d  refused at start: caster name not resolved, or mount point too long\n"
            "  %2d  not authorised: the caster refused the library's credential\n"
            "  %2d  mount point not found\n"
            "  %2d  not implemented by the caster\n"
            "  %2d  never streamed: caster not reached, no answer, or an answer not\n"
            "      recognised (for example HTTP 403 or 500)\n"
            "  %2d  streamed, but the stream was down when the run ended\n"
            "  %2d  stopped on request (signal or --duration) while streaming\n"
            "  %2d  bad usage; nothing was started\n"
            "\n"
            "Examples:\n"
            "  velto stream RTCM3_DEMO --client 7 --output demo.rtcm --duration 45\n"
            "  velto stream MOUNT_A MOUNT_B --output-dir data --json - -q\n",
            kCaster, kSharedOptionsHelp, kIntervalHelp, kVerbosityHelp, kEndOfOptionsHelp, kExitOutput,
            kExitRefusedAtStart, kExitNotAuthorised, kExitNotFound,
            kExitNotImplemented, kExitNetwork, kExitDown, kExitStreaming, kExitUsage);
}

StreamOptions parseStreamOptions(int argc, char **argv) {
    StreamOptions options;
    OptionReader in(kCommand, argc, argv);
    while (in.next()) {
        if (readSharedOption(in, &options))
            continue;
        const std::string &name = in.name();
        if (name == "--help" || name == "-h") {
            printStreamUsage(stdout);
            exit(0);
        } else if (name == "--output") {
            options.output = in.value();
            if (options.output.empty())
                in.error("--output needs a file name");
        } else if (name == "--no-data") {
            options.noData = in.flag();
        } else if (name == "--live") {
            options.live = in.flag();
        } else if (name == "--no-live") {
            options.live = !in.flag();
        } else if (name == "--force") {
            options.force = in.flag();
        } else {
            in.unknown();
        }
    }
    finishSharedOptions(in, &options);
    checkOutputs(options);
    return options;
}
