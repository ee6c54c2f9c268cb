// The command line of velto's commands that run mount points (stream,
// monitor): how it is walked, the options they share with their help, and
// their values. A value a command cannot use is a usage error of that
// command ("stream ", "monitor ").
#ifndef VELTO_TOOL_SHARED_OPTIONS_H
#define VELTO_TOOL_SHARED_OPTIONS_H

#include <string>
#include <vector>

#include "core/run_options.h"

// Walks a command line: a word that does not begin with '-' (and every
// word after "--") is a mount point; "--name=value" and "--name value" are
// the same option.
class OptionReader {
public:
    OptionReader(const char *command, int argc, char **argv);

    // Moves to the next option; false when the words are used up.
    bool next();
    // The option's name, without an inline value.
    const std::string &name() const { return name_; }
    // Its value; a usage error when there is none.
    const char *value();
    // For an option without a value: true, or a usage error for "--name=x".
    bool flag();
    [[noreturn]] void unknown() const;
    [[noreturn]] void error(const std::string &message) const;
    const char *command() const { return command_; }
    const std::vector<std::string> &mounts() const { return mounts_; }

    // -q and -v as they came; weighed against each other at the end.
    bool quietAsked = false;
    bool verboseAsked = false;

private:
    const char *command_;
    int argc_;
    char **argv_;
    int at_ = -1;
    bool optionsEnded_ = false;
    std::string name_;
    const char *inlineValue_ = nullptr;
    std::vector<std::string> mounts_;
};

// Reads the current option if it is one that both commands have (their
// values go into `options`; -q and -v into the reader); false when it is
// not.
bool readSharedOption(OptionReader &in, RunOptions *options);
// Once every word is read: the mount points and the verbosity, checked.
void finishSharedOptions(const OptionReader &in, RunOptions *options);

// The help of the shared options, as both commands print it: --client to
// --leap-seconds, --interval, -q and -v, and "--".
extern const char kSharedOptionsHelp[];
extern const char kIntervalHelp[];
extern const char kVerbosityHelp[];
extern const char kEndOfOptionsHelp[];

double positiveSeconds(const char *command, const std::string &option, const char *text);
int clientNumber(const char *command, const char *text);
int leapSeconds(const char *command, const char *text);
// Each one non-empty printable ASCII without spaces, none given twice.
void checkMountPoints(const char *command, const std::vector<std::string> &mounts);

#endif
