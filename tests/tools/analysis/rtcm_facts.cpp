// rtcm_facts: runs the RTCM 3 analysis over a file or standard input and
// prints its facts and events as one JSON document. The tests use it to
// check the analysis on a real recording and on velto-caster's stream.
//
//   rtcm_facts [--leap-seconds N] [--receipt-time UNIX_SECONDS] [--latency-limit SECONDS]
//              [--roll-every SECONDS] [--block BYTES] [--pretty] FILE|-
//
// Without --receipt-time each block is stamped with the system clock as it
// is read, which is what a live stream through a pipe needs. The end of the
// input counts as a drop of the link, so a frame it cuts is reported cut.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "analysis_json.h"

namespace {

struct Arguments {
    analysis::Options options;
    bool fixedReceipt = false;
    double receiptTime = 0;
    double rollEvery = 0;
    size_t block = 2048;
    bool pretty = false;
    std::string input;
};

[[noreturn]] void usage(const char *problem) {
    fprintf(stderr,
            "rtcm_facts: %s\n"
            "usage: rtcm_facts [--leap-seconds N] [--receipt-time UNIX_SECONDS] "
            "[--latency-limit SECONDS] [--roll-every SECONDS] [--block BYTES] [--pretty] FILE|-\n",
            problem);
    exit(2);
}

double number(const char *text) {
    char *end = NULL;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0')
        usage("not a number");
    return value;
}

Arguments parse(int argc, char **argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--leap-seconds" && hasValue) {
            arguments.options.leapSeconds = (int)number(argv[++i]);
        } else if (arg == "--receipt-time" && hasValue) {
            arguments.fixedReceipt = true;
            arguments.receiptTime = number(argv[++i]);
        } else if (arg == "--latency-limit" && hasValue) {
            arguments.options.latencyLimitSeconds = number(argv[++i]);
        } else if (arg == "--roll-every" && hasValue) {
            arguments.rollEvery = number(argv[++i]);
        } else if (arg == "--block" && hasValue) {
            double block = number(argv[++i]);
            if (block < 1 || block > 1 << 20)
                usage("--block wants 1 to 1048576");
            arguments.block = (size_t)block;
        } else if (arg == "--pretty") {
            arguments.pretty = true;
        } else if (arguments.input.empty() && (arg == "-" || arg[0] != '-')) {
            arguments.input = arg;
        } else {
            usage(("unknown argument " + arg).c_str());
        }
    }
    if (arguments.input.empty())
        usage("no input");
    return arguments;
}

} // namespace

int main(int argc, char **argv) {
    Arguments arguments = parse(argc, argv);
    FILE *in = arguments.input == "-" ? stdin : fopen(arguments.input.c_str(), "rb");
    if (in == NULL) {
        fprintf(stderr, "rtcm_facts: %s: %s\n", arguments.input.c_str(), strerror(errno));
        return 1;
    }
    auto clock = [&]() { return arguments.fixedReceipt ? arguments.receiptTime : analysis::unixNow(); };

    analysis::StreamAnalysis stream(arguments.options);
    std::vector<analysis::Event> events;
    std::vector<uint8_t> buffer(arguments.block);
    double nextRoll = 0;
    for (;;) {
        // read(), not fread(): a live pipe's blocks are stamped as they come.
        ssize_t got = read(fileno(in), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        double now = clock();
        stream.feed(buffer.data(), (size_t)got, now);
        if (arguments.rollEvery > 0) {
            if (nextRoll == 0)
                nextRoll = now + arguments.rollEvery;
            if (now >= nextRoll) {
                stream.rollInterval(now);
                nextRoll = now + arguments.rollEvery;
            }
        }
    }
    double end = clock();
    stream.linkDropped(end);
    stream.rollInterval(end);
    if (in != stdin)
        fclose(in);

    nlohmann::json document;
    document["facts"] = analysis::toJson(stream.snapshot());
    document["events"] = nlohmann::json::array();
    for (const analysis::Event &event : stream.takeEvents())
        document["events"].push_back(analysis::toJson(event));
    std::string text = arguments.pretty
                           ? document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                           : analysis::jsonLine(document);
    printf("%s\n", text.c_str());
    return 0;
}
