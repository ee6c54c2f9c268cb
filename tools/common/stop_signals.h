// The stop signals of both tools, taken from their default actions and
// handed to a signalfd that the main loop polls.
#ifndef VELTO_TOOLS_STOP_SIGNALS_H
#define VELTO_TOOLS_STOP_SIGNALS_H

#include <signal.h>
#include <sys/signalfd.h>

// Call before any thread exists (the library's, a web server's): threads
// inherit the mask, so the signals then reach only the signalfd. Returns the
// signalfd (non-blocking, close-on-exec), or -1.
inline int takeStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, NULL);
    // A reader that went away shows as a failed write, not a killed process.
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

#endif
