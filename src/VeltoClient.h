// One streaming client: the host's parameters, its thread, its socket, the
// lock that makes stopping safe against data delivery, and its buffer.
#ifndef VELTO_CLIENT_H
#define VELTO_CLIENT_H

#include <atomic>

#include "platform.h"
#include "velto.h"

const int kReceiveBufferSize = 2048;

struct VeltoClient {
    VeltoClient();
    ~VeltoClient();
    VeltoClient(const VeltoClient &) = delete;
    VeltoClient &operator=(const VeltoClient &) = delete;

    void startClient(void *user, char *mountPoint, int clientNumber, VeltoDataCallback onData,
                     VeltoStatusCallback onStatus);
    void stopClient();
    void freeClient();
    void changeStatus(int status);
    int getStatus() const;
    bool onOwnThread() const;
    void releaseFromOwnThread();

    static ThreadResult VELTO_THREAD_CALL runClient(void *self);
    int receiveData();

private:
    int attemptOnce();
    int waitForAnswer();
    int relayStream();
    void deliver(int count);
    void closeConnection();
    void freeAfterRelease();

    void *user_;
    SocketHandle socket_;
    char *mountPoint_;
    int clientNumber_;
    VeltoDataCallback onData_;
    VeltoStatusCallback onStatus_;
    ThreadHandle thread_;
    Mutex lock_;
    // One spare byte for the terminator written after a full answer block.
    char buffer_[kReceiveBufferSize + 1];
    // Written by one thread at a time, read by the host at any time.
    std::atomic<int> status_;
    // Stored by host threads, loaded afresh at every check by the client thread.
    std::atomic<int> runFlag_;
    // Set by the client thread alone, when the host destroyed the client from
    // one of its callbacks; the thread then frees the client as it ends.
    bool released_;
};

// Sleeps up to steps seconds, one at a time, while *runFlag is set; returns
// the flag's final value.
int RunDelay(int steps, const std::atomic<int> *runFlag);

#endif
