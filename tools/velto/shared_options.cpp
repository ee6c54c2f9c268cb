#include "shared_options.h"

#include <errno.h>
#include <stdlib.h>

#include <set>

#include "commands.h"
#include "display.h"
#include "mount_point.h"

const char kSharedOptionsHelp[] =
    "  --client N          client number sent to the caster, 0 to 2147483647 (default 1)\n"
    "  --duration SECONDS  stop by itself after this time\n"
    "  --retry-refused     keep trying after a refusal, for casters that come back\n"
    "  --outage-after S    a gap in the data longer than S seconds is an outage\n"
    "                      (default 10)\n"
    "  --leap-seconds N    GPS time minus UTC, for the latency of the corrections\n"
    "                      (default 18)\n";
const char kIntervalHelp[] =
    "  --interval SECONDS  time between stats events per mount point (default 10)\n";
const char kVerbosityHelp[] =
    "  -q, --quiet         failures and the summary only\n"
    "  -v, --verbose       also a line per mount point every --interval\n";
const char kEndOfOptionsHelp[] =
    "  --                  end of options: every later word is a mount point\n";

double positiveSeconds(const char *command, const std::string &option, const char *text) {
    char *end = NULL;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value > 0) || value > 1e8)
        usageError(option + " wants seconds above 0, not '" + display::escaped(text) + "'", command);
    return value;
}

// The library writes the client number with %d into its request; a
// negative one would read as a different client to the caster's logs.
int clientNumber(const char *command, const char *text) {
    char *end = NULL;
    errno = 0;
    long long number = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < 0 || number > 2147483647LL)
        usageError("--client wants a whole number from 0 to 2147483647, not '" +
                       display::escaped(text) + "'",
                   command);
    return (int)number;
}

// GPS time has run ahead of UTC by whole leap seconds since 1980: 18 since
// 2017. A count outside 0..99 is a typing error, not a future.
int leapSeconds(const char *command, const char *text) {
    char *end = NULL;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < 0 || number > 99)
        usageError("--leap-seconds wants a whole number from 0 to 99, not '" +
                       display::escaped(text) + "'",
                   command);
    return (int)number;
}

// The library puts the name verbatim into its request line.
void checkMountPoints(const char *command, const std::vector<std::string> &mounts) {
    if (mounts.empty())
        usageError(std::string(command) + "needs at least one mount point", command);
    std::set<std::string> seen;
    for (const std::string &mount : mounts) {
        if (!mount_point::valid(mount))
            usageError("'" + display::escaped(mount) +
                           "' is not a mount point: it must be printable ASCII without spaces",
                       command);
        if (!seen.insert(mount).second)
            usageError("mount point " + mount + " is given twice", command);
    }
}

OptionReader::OptionReader(const char *command, int argc, char **argv)
    : command_(command), argc_(argc), argv_(argv) {}

bool OptionReader::next() {
    while (++at_ < argc_) {
        std::string word = argv_[at_];
        if (optionsEnded_ || word.empty() || word[0] != '-' || word == "-") {
            mounts_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded_ = true;
            continue;
        }
        inlineValue_ = nullptr;
        size_t equals = word.find('=');
        if (word.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            inlineValue_ = argv_[at_] + equals + 1;
            word = word.substr(0, equals);
        }
        name_ = word;
        return true;
    }
    return false;
}

const char *OptionReader::value() {
    if (inlineValue_ != nullptr)
        return inlineValue_;
    if (at_ + 1 >= argc_)
        error(name_ + " needs a value");
    return argv_[++at_];
}

bool OptionReader::flag() {
    if (inlineValue_ != nullptr)
        error(name_ + " takes no value");
    return true;
}

void OptionReader::unknown() const {
    error("unknown option '" + display::escaped(argv_[at_]) + "'");
}

void OptionReader::error(const std::string &message) const { usageError(message, command_); }

bool readSharedOption(OptionReader &in, RunOptions *options) {
    const std::string &name = in.name();
    const char *command = in.command();
    if (name == "--client") {
        options->client = clientNumber(command, in.value());
    } else if (name == "--output-dir") {
        options->outputDir = in.value();
        if (options->outputDir.empty())
            in.error("--output-dir needs a directory");
    } else if (name == "--duration") {
        options->duration = positiveSeconds(command, name, in.value());
    } else if (name == "--json") {
        options->json = in.value();
        if (options->json.empty())
            in.error("--json needs a file name, or - for standard output");
    } else if (name == "--interval") {
        options->interval = positiveSeconds(command, name, in.value());
    } else if (name == "--outage-after") {
        options->analysis.outageAfterSeconds = positiveSeconds(command, name, in.value());
    } else if (name == "--leap-seconds") {
        options->analysis.leapSeconds = leapSeconds(command, in.value());
    } else if (name == "--retry-refused") {
        options->retryRefused = in.flag();
    } else if (name == "-q" || name == "--quiet") {
        in.quietAsked = in.flag();
    } else if (name == "-v" || name == "--verbose") {
        in.verboseAsked = in.flag();
    } else {
        return false;
    }
    return true;
}

void finishSharedOptions(const OptionReader &in, RunOptions *options) {
    if (in.quietAsked && in.verboseAsked)
        in.error("--quiet and --verbose exclude one another");
    options->verbosity = in.quietAsked     ? Verbosity::Quiet
                         : in.verboseAsked ? Verbosity::Verbose
                                           : Verbosity::Normal;
    options->mounts = in.mounts();
    checkMountPoints(in.command(), options->mounts);
}
