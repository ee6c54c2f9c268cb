// A minimal relay host for the peer comparison: streams one mount point of
// the caster into a file through the public interface, writing every block
// as it arrives, until SIGINT or SIGTERM.
//   velto_relay MOUNT FILE
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "velto.h"

namespace {

int output = -1;
long long relayed = 0; // written on the client thread; read after VeltoDestruct

void VELTO_CALL onData(void *, char *bytes, int count) {
    relayed += count;
    while (count > 0) {
        ssize_t written = write(output, bytes, (size_t)count);
        if (written <= 0)
            return;
        bytes += written;
        count -= (int)written;
    }
}

void VELTO_CALL onStatus(void *, int status) { fprintf(stderr, "velto_relay: status %d\n", status); }

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: velto_relay MOUNT FILE\n");
        return 2;
    }
    output = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) {
        perror(argv[2]);
        return 2;
    }
    // The client thread inherits this mask, so the signals reach sigwait only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, NULL);

    VeltoHandle handle = VeltoConstruct();
    VeltoStart(handle, NULL, argv[1], 1, onData, onStatus);
    int received = 0;
    sigwait(&stopSignals, &received);
    VeltoStop(handle);
    VeltoDestruct(handle);
    close(output);
    fprintf(stderr, "velto_relay: %lld bytes relayed\n", relayed);
    return 0;
}
