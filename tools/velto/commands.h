// The commands of velto, and what every one of them shares: the exit
// statuses and the usage errors.
#ifndef VELTO_TOOL_COMMANDS_H
#define VELTO_TOOL_COMMANDS_H

#include <string>

#include "core/facts.h"

// Exit statuses, one per way a run can end; listed in the help texts and the
// README. A supervisor can tell "fix the configuration" (4 to 7) from "the
// network or the caster is down" (3, 8) without reading any text.
const int kExitStreaming = 0;       // stream: stopped on request while streaming; table: names came
const int kExitOutput = 1;          // the output (data or events) could not be written
const int kExitUsage = 2;           // bad command line; nothing was started
const int kExitNetwork = 3;         // never streamed: not reached, no answer, answer not recognised
const int kExitRefusedAtStart = 4;  // the library refused to start: name not resolved, mount too long
const int kExitNotFound = 5;        // the caster does not have the mount point
const int kExitNotAuthorised = 6;   // the caster refused the library's credential
const int kExitNotImplemented = 7;  // the caster does not serve this kind of request
const int kExitDown = 8;            // streamed, but the stream was down when the run ended
const int kExitNotATable = 9;       // table: the caster answered, but not with a source table
const int kExitEmptyTable = 10;     // table: a source table without any mount point
const int kExitTableTooLarge = 11;  // table: too large, endless or malformed

// How a mount point ended, as velto stream and velto monitor exit.
int exitStatusFor(Ending ending);

// Prints the message and a pointer to "velto COMMAND--help", exits 2.
[[noreturn]] void usageError(const std::string &message, const char *command);

// The commands, with the arguments after their name.
int runStream(int argc, char **argv);
int runTable(int argc, char **argv);
int runMonitor(int argc, char **argv); // only where built VELTO_WITH_MONITOR

#endif
