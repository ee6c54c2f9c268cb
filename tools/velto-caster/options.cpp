#include "options.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>

#include "mount_point.h"
#include "replay.h"
#include "synthetic.h"

const char kLibraryCredential[] = "cXdlcnQ6eXVpb3A=";

namespace {

const char kProgram[] = "velto-caster";
const char kDefaultMount[] = "RTCM3_DEMO";
const int kExitUsage = 2;

[[noreturn]] void usageError(const std::string &message) {
    fprintf(stderr, "%s: %s\n(see %s --help)\n", kProgram, message.c_str(), kProgram);
    exit(kExitUsage);
}

void printContentUsage(FILE *to) {
    fprintf(to,
            "\n"
            "Stream content (default: a synthetic station, see above):\n"
            "  --station-id N      the synthetic station's reference station ID, 0 to %d;\n"
            "                      the same on every connection, as a real station's (default %d)\n"
            "  --station-per-connection  a new station ID for each stream connection instead\n"
            "                      (the ID plus the connection's number), to see a client\n"
            "                      notice a change of station\n"
            "  --receiver-descriptor TEXT  receiver type the synthetic station sends in 1033\n"
            "                      (at most %zu characters; default \"%s\")\n"
            "  --replay FILE       serve this recorded RTCM 3 file instead: at the pace of its\n"
            "                      observation epochs, or at --rate bytes per second when\n"
            "                      --rate is given (0 = as fast as possible); the connection\n"
            "                      closes at the end of the file\n"
            "  --loop              with --replay: start over at the end, without end\n",
            kMaxStationId, ContentOptions().stationId, kMaxReceiverDescriptor, kSyntheticReceiverType);
}

// The options of what is streamed (content.h).
bool parseContentOption(const std::string &arg, bool hasInlineValue,
                        const std::function<const char *()> &value, ContentOptions *options) {
    if (arg == "--replay") {
        options->replayFile = value();
        if (options->replayFile.empty())
            usageError("--replay needs a file name");
    } else if (arg == "--loop" && !hasInlineValue) {
        options->loop = true;
    } else if (arg == "--station-id") {
        const char *text = value();
        char *end = NULL;
        long id = strtol(text, &end, 10);
        if (end == text || *end != '\0' || id < 0 || id > kMaxStationId)
            usageError("--station-id takes 0 to " + std::to_string(kMaxStationId));
        options->stationId = (int)id;
    } else if (arg == "--station-per-connection" && !hasInlineValue) {
        options->stationPerConnection = true;
    } else if (arg == "--receiver-descriptor") {
        options->receiverDescriptor = value();
        if (options->receiverDescriptor.size() > kMaxReceiverDescriptor)
            usageError("--receiver-descriptor takes at most " + std::to_string(kMaxReceiverDescriptor) +
                       " characters");
    } else {
        return false;
    }
    return true;
}

void finishContentOptions(ContentOptions *options) {
    if (options->replayFile.empty()) {
        if (options->loop)
            usageError("--loop goes with --replay");
        return;
    }
    std::shared_ptr<Recording> recording(new Recording);
    std::string problem = loadRecording(options->replayFile, recording.get());
    if (!problem.empty())
        usageError("--replay " + problem);
    options->recording = recording;
}

void printUsage(FILE *to) {
    fprintf(to,
            "Usage: velto-caster [options]\n"
            "A small NTRIP caster on 127.0.0.1 that streams the RTCM 3 of a synthetic\n"
            "station (1005, 1006, 1033, 1230; MSM4 1074, 1084, 1094, 1124 stamped with the\n"
            "time they are sent), or a recorded file (--replay).\n"
            "\n"
            "  --port N            TCP port on 127.0.0.1 (default 2101)\n"
            "  --mount NAME        offer this mount point (printable ASCII, no spaces);\n"
            "                      repeatable (default %s)\n"
            "  --rate BYTES_PER_S  byte budget per client (default 1000; 0 = as fast as possible)\n"
            "  --credential B64    Basic credential to accept (default the library's, %s);\n"
            "                      every stream request must carry one\n"
            "  --stall-after S     after S seconds of streaming send nothing more, keep the link\n"
            "  --drop-every S      close each stream connection S seconds after it began\n"
            "  --drops N           force at most N drops in all (default no limit)\n"
            "  --lifetime S        exit by itself after S seconds\n"
            "  --record FILE       write every stream byte sent, in order, to FILE (emptied\n"
            "                      first; meant for one client at a time)\n"
            "  --record DIR        for an existing directory: one file per stream connection,\n"
            "                      DIR/connection-N.rtcm (N as in the log), emptied first\n"
            "  --log               on standard error, with UTC time, the client's address, its\n"
            "                      request and the answer: a line \"open\" once a connection is\n"
            "                      answered, and a line \"close\" when it ends\n"
            "  --version           the program's version\n"
            "  --help              this text\n"
            "\n"
            "Answers: a stream request for an offered mount point with the right\n"
            "credential gets \"ICY 200 OK\" and the stream; a wrong or missing credential\n"
            "gets \"HTTP/1.1 401 Unauthorized\"; an unknown mount point or \"GET /\" gets\n"
            "the source table; a method other than GET gets 501.\n"
            "\n"
            "Example (a stream that drops once after 5 s; stop after 2 minutes):\n"
            "  velto-caster --mount RTCM3_DEMO --drop-every 5 --drops 1 --lifetime 120 --log &\n"
            "  velto stream RTCM3_DEMO --output demo.rtcm --duration 45\n",
            kDefaultMount, kLibraryCredential);
    printContentUsage(to);
}

double parseSeconds(const std::string &option, const char *text, bool allowZero) {
    char *end = NULL;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || (!allowZero && value == 0) ||
        value > 1e7)
        usageError(option + " wants a number" + (allowZero ? "" : " above 0") + ", not '" +
                   text + "'");
    return value;
}

long parseWhole(const std::string &option, const char *text, long low, long high) {
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        usageError(option + " wants a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not '" + text + "'");
    return value;
}

} // namespace

Options parseOptions(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasInlineValue = true;
        }
        auto next = [&]() -> const char * {
            if (hasInlineValue)
                return argv[i] + arg.size() + 1;
            if (i + 1 >= argc)
                usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            exit(0);
        } else if (arg == "--version") {
            printf("%s %s\n", kProgram, VELTO_VERSION);
            exit(0);
        } else if (arg == "--port") {
            options.port = (int)parseWhole(arg, next(), 1, 65535);
        } else if (arg == "--mount") {
            const char *name = next();
            if (!mount_point::valid(name))
                usageError(std::string("not a usable mount point name: '") + name + "'");
            options.mounts.push_back(name);
        } else if (arg == "--rate") {
            options.rate = parseSeconds(arg, next(), true);
            options.content.rateGiven = true;
        } else if (arg == "--credential") {
            // An empty value is far more likely an unset shell variable than
            // a wish to serve without authentication: refuse it.
            options.credential = next();
            if (options.credential.empty())
                usageError("--credential needs a Base64 user:password; there is no caster without one");
        } else if (arg == "--stall-after") {
            options.stallAfter = parseSeconds(arg, next(), false);
        } else if (arg == "--drop-every") {
            options.dropEvery = parseSeconds(arg, next(), false);
        } else if (arg == "--drops") {
            options.drops = parseWhole(arg, next(), 0, 1000000000L);
        } else if (arg == "--lifetime") {
            options.lifetime = parseSeconds(arg, next(), false);
        } else if (arg == "--record") {
            options.record = next();
        } else if (arg == "--log" && !hasInlineValue) {
            options.log = true;
        } else if (parseContentOption(arg, hasInlineValue, next, &options.content)) {
        } else {
            usageError("unknown argument '" + std::string(argv[i]) + "'");
        }
    }
    if (options.mounts.empty())
        options.mounts.push_back(kDefaultMount);
    finishContentOptions(&options.content);
    return options;
}
