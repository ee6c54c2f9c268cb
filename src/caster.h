// The one caster the library talks to: its process-wide address and the
// cancellable, time-bounded TCP connect to it.
#ifndef VELTO_CASTER_H
#define VELTO_CASTER_H

#include <atomic>

#include "platform.h"

// The caster's address for the life of the loaded library. The address field
// is all ones until a resolution succeeds; afterwards it never changes.
extern VELTO_DATA_EXPORT sockaddr_in __addr;
// The load-time value of __addr; only ever copied into it at load.
extern VELTO_DATA_EXPORT const sockaddr_in __temp;

// Makes sure __addr holds the caster's resolved address; true if it does.
// Resolves the caster's fixed host name only while no earlier call has
// succeeded; callers on several threads are serialised.
bool ipAddress();

// Connects to address within at most eight one-second waits, giving up at
// the next wait once *runFlag is 0. Returns a connected, blocking socket
// owned by the caller, or kNoSocket with nothing left open.
SocketHandle openSocket(const sockaddr_in *address, const std::atomic<int> *runFlag);

#endif
