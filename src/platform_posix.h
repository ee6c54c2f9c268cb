// The platform layer on POSIX (Linux): sockets, an epoll readiness wait,
// pthreads and the monotonic clock. Included by platform.h alone.
#ifndef VELTO_PLATFORM_POSIX_H
#define VELTO_PLATFORM_POSIX_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define VELTO_IN_ADDR_ALL_ONES {0xFFFFFFFFu}
#define VELTO_DATA_EXPORT __attribute__((visibility("default")))
#define VELTO_THREAD_CALL

typedef int SocketHandle;
typedef int BlockingMode;
typedef pthread_mutex_t Mutex;
typedef void *ThreadResult;
typedef ThreadResult (*ThreadEntry)(void *);

struct ThreadHandle {
    pthread_t id;
    bool exists;
};

struct ConnectWait {
    int epoll;
};

// --- deadlines on the monotonic clock ---------------------------------------
// A wait that a signal cut short goes on to the deadline it started with, so
// a storm of signals can neither shorten it nor stretch it.

inline struct timespec deadlineAfter(int milliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

// Whole milliseconds left until the deadline, rounded up; 0 once it passed.
inline int millisecondsLeft(const struct timespec &deadline) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = (long long)(deadline.tv_sec - now.tv_sec) * 1000000000LL +
                     (deadline.tv_nsec - now.tv_nsec);
    return left <= 0 ? 0 : (int)((left + 999999) / 1000000);
}

// --- sockets -----------------------------------------------------------------

// Close-on-exec keeps the caster link out of processes the host spawns.
inline SocketHandle openTcpSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

inline void closeSocket(SocketHandle socketHandle) { close(socketHandle); }

inline void socketSetReceiveTimeout(SocketHandle socketHandle, int seconds) {
    struct timeval timeout;
    timeout.tv_sec = seconds;
    timeout.tv_usec = 0;
    setsockopt(socketHandle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Never waits for room in the send queue, and a link the caster has already
// closed fails the send instead of raising SIGPIPE in the host.
inline int socketSend(SocketHandle socketHandle, const char *bytes, int count) {
    return (int)send(socketHandle, bytes, (size_t)count, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// A receive that a signal interrupts before the timeout waits again for what
// is left of it; an interruption after it counts as the timeout.
inline int socketReceive(SocketHandle socketHandle, char *bytes, int capacity,
                         int timeoutSeconds) {
    struct timespec deadline = deadlineAfter(timeoutSeconds * 1000);
    ssize_t received = recv(socketHandle, bytes, (size_t)capacity, 0);
    while (received < 0 && errno == EINTR) {
        int left = millisecondsLeft(deadline);
        if (left == 0)
            return -1;
        struct pollfd entry = {socketHandle, POLLIN, 0};
        int ready = poll(&entry, 1, left);
        if (ready == 0)
            return -1;
        // Readable (data, end of stream or an error): this receive returns at once.
        if (ready > 0)
            received = recv(socketHandle, bytes, (size_t)capacity, 0);
        else if (errno != EINTR)
            return -1;
    }
    return (int)received;
}

inline BlockingMode socketSetNonBlocking(SocketHandle socketHandle) {
    int flags = fcntl(socketHandle, F_GETFL);
    fcntl(socketHandle, F_SETFL, flags | O_NONBLOCK);
    return flags;
}

inline void socketRestoreBlocking(SocketHandle socketHandle, BlockingMode saved) {
    fcntl(socketHandle, F_SETFL, saved);
}

inline bool connectIsPending(int connectResult) {
    if (connectResult == 0)
        return true;
    return errno == EINPROGRESS;
}

inline int socketPendingError(SocketHandle socketHandle) {
    int error = 1;
    socklen_t length = sizeof error;
    if (getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return 1;
    return error;
}

// --- readiness wait of a connect ----------------------------------------------
// An epoll instance of its own watches the socket: any event ends a wait, a
// refused connect included.

inline bool connectWaitOpen(ConnectWait *wait) {
    wait->epoll = epoll_create1(EPOLL_CLOEXEC);
    return wait->epoll != -1;
}

inline void connectWaitWatch(ConnectWait *wait, SocketHandle socketHandle) {
    struct epoll_event event;
    event.events = EPOLLOUT;
    event.data.fd = socketHandle;
    epoll_ctl(wait->epoll, EPOLL_CTL_ADD, socketHandle, &event);
}

inline int connectWaitOnce(ConnectWait *wait, SocketHandle socketHandle) {
    (void)socketHandle;
    struct epoll_event event;
    struct timespec deadline = deadlineAfter(1000);
    for (;;) {
        int ready = epoll_wait(wait->epoll, &event, 1, millisecondsLeft(deadline));
        if (ready >= 0 || errno != EINTR)
            return ready;
        if (millisecondsLeft(deadline) == 0)
            return 0;
    }
}

inline void connectWaitClose(ConnectWait *wait) { close(wait->epoll); }

// --- client lock ----------------------------------------------------------------
// A default, non-recursive mutex.

inline void mutexCreate(Mutex *mutex) { pthread_mutex_init(mutex, NULL); }

inline void mutexDestroy(Mutex *mutex) { pthread_mutex_destroy(mutex); }

inline void mutexLock(Mutex *mutex) { pthread_mutex_lock(mutex); }

inline void mutexUnlock(Mutex *mutex) { pthread_mutex_unlock(mutex); }

// --- process-wide resolver lock -------------------------------------------------

inline pthread_mutex_t *resolverLock() {
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    return &lock;
}

inline void resolverLockTake() { pthread_mutex_lock(resolverLock()); }

inline void resolverLockGive() { pthread_mutex_unlock(resolverLock()); }

// --- client thread --------------------------------------------------------------

inline void threadClear(ThreadHandle *thread) { thread->exists = false; }

inline bool threadExists(const ThreadHandle *thread) { return thread->exists; }

// glibc's pthread_create stores the id before the new thread starts, so a
// callback on the new thread can already tell that it is that thread.
inline void threadStart(ThreadHandle *thread, ThreadEntry entry, void *argument) {
    thread->exists = true;
    if (pthread_create(&thread->id, NULL, entry, argument) != 0)
        thread->exists = false;
}

inline bool threadIsCurrent(const ThreadHandle *thread) {
    return thread->exists && pthread_equal(thread->id, pthread_self()) != 0;
}

inline void threadDetach(ThreadHandle *thread) {
    pthread_detach(thread->id);
    threadClear(thread);
}

// A thread that has not ended after 8 seconds is waited for without limit:
// POSIX has no safe way to end it from outside.
inline void threadFinish(ThreadHandle *thread) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 8;
    if (pthread_timedjoin_np(thread->id, NULL, &deadline) != 0)
        pthread_join(thread->id, NULL);
    threadClear(thread);
}

// --- time and text --------------------------------------------------------------

inline void sleepOneSecond() {
    struct timespec deadline = deadlineAfter(1000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) {
    }
}

inline int compareIgnoringCase(const char *text, const char *keyword, size_t length) {
    return strncasecmp(text, keyword, length);
}

#endif
