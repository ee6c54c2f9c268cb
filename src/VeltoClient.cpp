#include "VeltoClient.h"

#include <string.h>

#include "caster.h"
#include "ntrip.h"

namespace {

const int kReceiveTimeoutSeconds = 1;
const int kAnswerReceives = 8;
// Eight failed receives in a row are tolerated while streaming; the ninth
// ends the stream, about nine seconds after the caster fell silent.
const int kToleratedStreamFailures = 8;
const int kPauseSeconds = 30;

const std::memory_order kRelaxed = std::memory_order_relaxed;

} // namespace

int RunDelay(int steps, const std::atomic<int> *runFlag) {
    for (; steps > 0 && runFlag->load(kRelaxed); --steps)
        sleepOneSecond();
    return runFlag->load(kRelaxed);
}

VeltoClient::VeltoClient()
    : user_(NULL), socket_(kNoSocket), mountPoint_(NULL), clientNumber_(0), onData_(NULL),
      onStatus_(NULL), status_(0), runFlag_(0), released_(false) {
    threadClear(&thread_);
    memset(buffer_, 0, kReceiveBufferSize);
    buffer_[kReceiveBufferSize] = '\0';
    mutexCreate(&lock_);
}

VeltoClient::~VeltoClient() {
    freeClient();
    mutexDestroy(&lock_);
}

void VeltoClient::startClient(void *user, char *mountPoint, int clientNumber,
                              VeltoDataCallback onData, VeltoStatusCallback onStatus) {
    // A restart waits for the running thread to end, which its own callback
    // cannot do: refused, and the running client goes on unchanged.
    if (onOwnThread())
        return;
    freeClient();
    mutexLock(&lock_);
    user_ = user;
    mountPoint_ = mountPoint;
    clientNumber_ = clientNumber;
    onData_ = onData;
    onStatus_ = onStatus;
    status_.store(VELTO_STATUS_IDLE, kRelaxed);
    mutexUnlock(&lock_);
    // A mount point whose request would overflow the buffer is refused here,
    // on the host's thread, like a caster that cannot be found.
    if (!streamRequestFits(mountPoint, clientNumber) || !ipAddress()) {
        changeStatus(VELTO_STATUS_UNRESOLVED);
        return;
    }
    runFlag_.store(1, kRelaxed);
    threadStart(&thread_, runClient, this);
}

void VeltoClient::stopClient() {
    runFlag_.store(0, kRelaxed);
    // Taking the lock waits out a delivery in progress; none starts after.
    mutexLock(&lock_);
    onData_ = NULL;
    mutexUnlock(&lock_);
}

void VeltoClient::freeClient() {
    runFlag_.store(0, kRelaxed);
    if (threadExists(&thread_))
        threadFinish(&thread_);
    closeConnection();
}

void VeltoClient::changeStatus(int status) {
    if (status_.load(kRelaxed) == status)
        return;
    status_.store(status, kRelaxed);
    if (onStatus_ != NULL)
        onStatus_(user_, status);
}

int VeltoClient::getStatus() const { return status_.load(kRelaxed); }

bool VeltoClient::onOwnThread() const { return threadIsCurrent(&thread_); }

// The host destroys the client from inside one of its callbacks. The thread
// cannot wait for itself, and it still runs in this object, so it is only
// told to end: from now on the host hears nothing more from it, and it frees
// the client itself once its callback has returned and its loop has unwound.
// No block is delivered after this either: the run flag, cleared on this
// very thread, ends the stream before the next receive.
void VeltoClient::releaseFromOwnThread() {
    runFlag_.store(0, kRelaxed);
    onStatus_ = NULL;
    released_ = true;
}

ThreadResult VELTO_THREAD_CALL VeltoClient::runClient(void *self) {
    VeltoClient *client = static_cast<VeltoClient *>(self);
    client->receiveData();
    if (client->released_)
        client->freeAfterRelease();
    return 0;
}

int VeltoClient::receiveData() {
    while (runFlag_.load(kRelaxed)) {
        changeStatus(attemptOnce());
        closeConnection();
        RunDelay(kPauseSeconds, &runFlag_);
    }
    changeStatus(VELTO_STATUS_IDLE);
    return 0;
}

// One connection: connect, request, classify the answer and, on success,
// stream until the link fails or the client is stopped. Returns the status
// that the attempt reports.
int VeltoClient::attemptOnce() {
    socket_ = openSocket(&__addr, &runFlag_);
    if (socket_ == kNoSocket)
        return VELTO_STATUS_CONNECT_FAILED;
    socketSetReceiveTimeout(socket_, kReceiveTimeoutSeconds);
    int length = formatStreamRequest(buffer_, mountPoint_, clientNumber_);
    // A send that fails shows up as a missing answer.
    socketSend(socket_, buffer_, length);
    int answer = waitForAnswer();
    if (answer != VELTO_STATUS_STREAMING)
        return answer;
    return relayStream();
}

// Only the first block is classified; stream bytes that came with it are
// not delivered.
int VeltoClient::waitForAnswer() {
    int failures = 0;
    while (runFlag_.load(kRelaxed) && failures < kAnswerReceives) {
        int received = socketReceive(socket_, buffer_, kReceiveBufferSize, kReceiveTimeoutSeconds);
        if (received > 0) {
            buffer_[received] = '\0';
            return parserNtrip(buffer_);
        }
        if (received != -1)
            break;
        sleepOneSecond();
        ++failures;
    }
    return VELTO_STATUS_NO_ANSWER;
}

int VeltoClient::relayStream() {
    changeStatus(VELTO_STATUS_STREAMING);
    int failures = 0;
    while (runFlag_.load(kRelaxed)) {
        int received = socketReceive(socket_, buffer_, kReceiveBufferSize, kReceiveTimeoutSeconds);
        if (received > 0) {
            deliver(received);
            failures = 0;
        } else if (received != -1 || failures >= kToleratedStreamFailures) {
            return VELTO_STATUS_STREAM_LOST;
        } else {
            ++failures;
        }
    }
    return VELTO_STATUS_STREAMING;
}

void VeltoClient::deliver(int count) {
    mutexLock(&lock_);
    if (onData_ != NULL)
        onData_(user_, buffer_, count);
    mutexUnlock(&lock_);
}

void VeltoClient::closeConnection() {
    if (socket_ != kNoSocket)
        closeSocket(socket_);
    socket_ = kNoSocket;
}

// The last act of a released client's thread, after the data callback has
// given the lock back. Taking the lock once more puts whatever a host thread
// did under it (a VeltoStop) before the object goes; nobody waits for this
// thread, so it lets go of its own handle.
void VeltoClient::freeAfterRelease() {
    mutexLock(&lock_);
    mutexUnlock(&lock_);
    threadDetach(&thread_);
    delete this;
}

// --- exported interface ------------------------------------------------------

namespace {

VeltoVersionInfo isVersion() {
    VeltoVersionInfo version;
    version.year = 2018;
    version.month = 6;
    version.day = 19;
    return version;
}

} // namespace

extern "C" {

VELTO_API VeltoHandle VELTO_CALL VeltoConstruct(void) { return new VeltoClient(); }

VELTO_API void VELTO_CALL VeltoDestruct(VeltoHandle handle) {
    if (handle != NULL && handle->onOwnThread())
        handle->releaseFromOwnThread();
    else
        delete handle;
}

VELTO_API void VELTO_CALL VeltoStart(VeltoHandle handle, void *user, char *mountPoint,
                                     int clientNumber, VeltoDataCallback onData,
                                     VeltoStatusCallback onStatus) {
    handle->startClient(user, mountPoint, clientNumber, onData, onStatus);
}

VELTO_API void VELTO_CALL VeltoStop(VeltoHandle handle) { handle->stopClient(); }

VELTO_API int VELTO_CALL VeltoStatus(VeltoHandle handle) { return handle->getStatus(); }

VELTO_API VeltoVersionInfo VELTO_CALL VeltoVersion(void) { return isVersion(); }

VELTO_API int VELTO_CALL VeltoSourceTable(VeltoSourceCallback onMountPoint) {
    return getSourceTable(onMountPoint);
}

} // extern "C"
