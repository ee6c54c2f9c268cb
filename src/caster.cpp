#include "caster.h"

#include <string.h>

#ifndef VELTO_CASTER_HOST
#define VELTO_CASTER_HOST "localhost"
#endif

namespace {

const char kCasterHost[] = VELTO_CASTER_HOST;
const unsigned short kCasterPort = 2101;
const unsigned long kUnresolved = 0xFFFFFFFFul;
const int kConnectWaits = 8;

bool isResolved(const sockaddr_in &address) {
    return address.sin_addr.s_addr != (unsigned int)kUnresolved;
}

// Writes the first address of the resolver's answer, if any, into __addr.
// Must run under the resolver lock: gethostbyname's answer lives in storage
// shared with every other caller in the process.
void resolveInto(sockaddr_in *address) {
    address->sin_family = AF_INET;
    address->sin_port = htons(kCasterPort);
    const hostent *answer = gethostbyname(kCasterHost);
    if (answer != NULL && answer->h_addr_list != NULL && answer->h_addr_list[0] != NULL)
        memcpy(&address->sin_addr.s_addr, answer->h_addr_list[0], 4);
}

} // namespace

// Both records are constant-initialised: the address is in its not-resolved
// state before any code of the library or the host can run.
extern constexpr sockaddr_in __temp = {0, 0, VELTO_IN_ADDR_ALL_ONES, {0}};
sockaddr_in __addr = __temp;

bool ipAddress() {
    // One lock around test and resolution: concurrent first calls then make
    // one lookup after another, and nobody reads a half-written address.
    resolverLockTake();
    if (!isResolved(__addr))
        resolveInto(&__addr);
    bool resolved = isResolved(__addr);
    resolverLockGive();
    return resolved;
}

SocketHandle openSocket(const sockaddr_in *address, const std::atomic<int> *runFlag) {
    ConnectWait wait;
    if (!connectWaitOpen(&wait))
        return kNoSocket;
    SocketHandle socketHandle = openTcpSocket();
    if (socketHandle == kNoSocket) {
        connectWaitClose(&wait);
        return kNoSocket;
    }
    BlockingMode saved = socketSetNonBlocking(socketHandle);
    int started =
        connect(socketHandle, reinterpret_cast<const sockaddr *>(address), sizeof *address);
    // A connect that failed at once (no route, network down) will never
    // become ready; waiting eight seconds for it would only hide the cause.
    if (connectIsPending(started)) {
        connectWaitWatch(&wait, socketHandle);
        int timedOutWaits = 0;
        while (timedOutWaits < kConnectWaits && runFlag->load(std::memory_order_relaxed)) {
            int ready = connectWaitOnce(&wait, socketHandle);
            if (ready == 0) {
                ++timedOutWaits;
                continue;
            }
            if (ready < 0 || socketPendingError(socketHandle) != 0)
                break;
            socketRestoreBlocking(socketHandle, saved);
            if (!runFlag->load(std::memory_order_relaxed))
                break;
            connectWaitClose(&wait);
            return socketHandle;
        }
    }
    connectWaitClose(&wait);
    closeSocket(socketHandle);
    return kNoSocket;
}
