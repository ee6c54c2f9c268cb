#include "commands.h"

#include <stdio.h>
#include <stdlib.h>

int exitStatusFor(Ending ending) {
    switch (ending) {
    case Ending::Streaming: return kExitStreaming;
    case Ending::Down: return kExitDown;
    case Ending::NeverStreamed: return kExitNetwork;
    case Ending::NotImplemented: return kExitNotImplemented;
    case Ending::NotFound: return kExitNotFound;
    case Ending::NotAuthorised: return kExitNotAuthorised;
    case Ending::RefusedAtStart: return kExitRefusedAtStart;
    case Ending::OutputFailed: return kExitOutput;
    }
    return kExitNetwork;
}

void usageError(const std::string &message, const char *command) {
    fprintf(stderr, "velto: %s\n(see velto %s--help)\n", message.c_str(), command);
    exit(kExitUsage);
}
