// Shared by the velto commands: the caster this build talks to, the exit
// statuses, and usage errors.
#ifndef VELTO_TOOL_CLI_H
#define VELTO_TOOL_CLI_H

#include <string>

#ifndef VELTO_CASTER_HOST
#define VELTO_CASTER_HOST "localhost"
#endif

const char kCaster[] = VELTO_CASTER_HOST ":2101";

// Exit statuses, also listed in the help text.
const int kExitStreamed = 0;      // stopped on request after the caster streamed
const int kExitFailure = 1;       // the output could not be written
const int kExitUsage = 2;         // bad command line
const int kExitNeverStreamed = 3; // stopped without the caster ever streaming; table: none
const int kExitRefused = 4;       // the library refused to start (-8 at once)

// Prints the message and a pointer to "velto COMMAND--help", exits 2.
[[noreturn]] void usageError(const std::string &message, const char *command);

// `velto stream`, with the arguments after the word "stream".
int runStream(int argc, char **argv);

#endif
