// Every difference between POSIX and Windows lives here, so the client,
// connection and protocol code reads the same on both platforms.
//
// Contract, both platforms:
//   SocketHandle / kNoSocket      a TCP socket and the "no socket" mark (-1)
//   closeSocket, socketSetReceiveTimeout, socketSend, socketReceive
//   socketSetNonBlocking / socketRestoreBlocking around a connect
//   connectIsPending              a just-started connect is still alive
//   ConnectWait                   the one-second readiness wait of a connect
//   Mutex, ThreadHandle           the client lock and the client thread
//   threadIsCurrent, threadDetach a thread that asks about itself, and lets
//                                 go of itself
//   sleepOneSecond, compareIgnoringCase
//
// Every wait keeps its full length when a signal interrupts it: hosts whose
// runtimes signal every thread (a garbage collector suspending threads, a
// profiler's timer) must not see timeouts, lost streams and reconnections
// that never happened. Only a cleared run flag, tested between waits, ends
// the library's waiting early. Windows has no such signals.
#ifndef VELTO_PLATFORM_H
#define VELTO_PLATFORM_H

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <string.h>
#else
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
#endif

// An in_addr initialiser holding 255.255.255.255, for constant records.
#ifdef _WIN32
#define VELTO_IN_ADDR_ALL_ONES {{{0xFF, 0xFF, 0xFF, 0xFF}}}
#else
#define VELTO_IN_ADDR_ALL_ONES {0xFFFFFFFFu}
#endif

#ifdef _WIN32
#define VELTO_DATA_EXPORT
#define VELTO_THREAD_CALL WINAPI
#else
#define VELTO_DATA_EXPORT __attribute__((visibility("default")))
#define VELTO_THREAD_CALL
#endif

#ifdef _WIN32

typedef SOCKET SocketHandle;
typedef DWORD ThreadResult;
typedef ThreadResult(WINAPI *ThreadEntry)(void *);
typedef HANDLE Mutex;
typedef u_long BlockingMode;

struct ThreadHandle {
    HANDLE handle;
    DWORD id;
};

struct ConnectWait {
    int unused;
};

#else

typedef int SocketHandle;
typedef void *ThreadResult;
typedef ThreadResult (*ThreadEntry)(void *);
typedef pthread_mutex_t Mutex;
typedef int BlockingMode;

struct ThreadHandle {
    pthread_t id;
    bool exists;
};

struct ConnectWait {
    int epoll;
};

#endif

const SocketHandle kNoSocket = (SocketHandle)-1;

#ifndef _WIN32
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
#endif

// --- sockets ---------------------------------------------------------------

inline SocketHandle openTcpSocket() {
#ifdef _WIN32
    return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#else
    // Close-on-exec keeps the caster link out of processes the host spawns.
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#endif
}

inline void closeSocket(SocketHandle socketHandle) {
#ifdef _WIN32
    closesocket(socketHandle);
#else
    close(socketHandle);
#endif
}

inline void socketSetReceiveTimeout(SocketHandle socketHandle, int seconds) {
#ifdef _WIN32
    DWORD milliseconds = (DWORD)seconds * 1000;
    setsockopt(socketHandle, SOL_SOCKET, SO_RCVTIMEO, (const char *)&milliseconds,
               sizeof milliseconds);
#else
    struct timeval timeout;
    timeout.tv_sec = seconds;
    timeout.tv_usec = 0;
    setsockopt(socketHandle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
#endif
}

// Sends never wait for room in the send queue, and a link the caster has
// already closed fails the send instead of raising SIGPIPE in the host.
inline int socketSend(SocketHandle socketHandle, const char *bytes, int count) {
#ifdef _WIN32
    return send(socketHandle, bytes, count, 0);
#else
    return (int)send(socketHandle, bytes, (size_t)count, MSG_DONTWAIT | MSG_NOSIGNAL);
#endif
}

// -1 means no data within the timeout or any error; 0 means the peer closed.
// timeoutSeconds is the receive timeout set on the socket. A receive that a
// signal interrupts before then waits again for what is left of it; an
// interruption after it counts as the timeout.
inline int socketReceive(SocketHandle socketHandle, char *bytes, int capacity,
                         int timeoutSeconds) {
#ifdef _WIN32
    (void)timeoutSeconds;
    return recv(socketHandle, bytes, capacity, 0);
#else
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
#endif
}

inline BlockingMode socketSetNonBlocking(SocketHandle socketHandle) {
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(socketHandle, FIONBIO, &on);
    return 0;
#else
    int flags = fcntl(socketHandle, F_GETFL);
    fcntl(socketHandle, F_SETFL, flags | O_NONBLOCK);
    return flags;
#endif
}

inline void socketRestoreBlocking(SocketHandle socketHandle, BlockingMode saved) {
#ifdef _WIN32
    u_long off = saved;
    ioctlsocket(socketHandle, FIONBIO, &off);
#else
    fcntl(socketHandle, F_SETFL, saved);
#endif
}

// After a non-blocking connect: true when it succeeded at once or is under
// way, false when it failed at once (unreachable network, no route).
inline bool connectIsPending(int connectResult) {
    if (connectResult == 0)
        return true;
#ifdef _WIN32
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EINPROGRESS;
#endif
}

inline int socketPendingError(SocketHandle socketHandle) {
    int error = 1;
#ifdef _WIN32
    int length = sizeof error;
    if (getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, (char *)&error, &length) != 0)
        return 1;
#else
    socklen_t length = sizeof error;
    if (getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return 1;
#endif
    return error;
}

// --- readiness wait of a connect -------------------------------------------
// Linux watches the socket with an epoll instance of its own (any event ends
// a wait); Windows watches the write set of select alone, so a refused
// connect there shows only as eight timed-out waits.

inline bool connectWaitOpen(ConnectWait *wait) {
#ifdef _WIN32
    wait->unused = 0;
    return true;
#else
    wait->epoll = epoll_create1(EPOLL_CLOEXEC);
    return wait->epoll != -1;
#endif
}

inline void connectWaitWatch(ConnectWait *wait, SocketHandle socketHandle) {
#ifdef _WIN32
    (void)wait;
    (void)socketHandle;
#else
    struct epoll_event event;
    event.events = EPOLLOUT;
    event.data.fd = socketHandle;
    epoll_ctl(wait->epoll, EPOLL_CTL_ADD, socketHandle, &event);
#endif
}

// One wait of at most a second: 0 timed out, negative failed, positive ready.
inline int connectWaitOnce(ConnectWait *wait, SocketHandle socketHandle) {
#ifdef _WIN32
    (void)wait;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socketHandle, &writable);
    struct timeval timeout;
    timeout.tv_sec = 1;
    timeout.tv_usec = 0;
    int result = select(1, NULL, &writable, NULL, &timeout);
    if (result > 0 && !FD_ISSET(socketHandle, &writable))
        return -1;
    return result;
#else
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
#endif
}

inline void connectWaitClose(ConnectWait *wait) {
#ifdef _WIN32
    (void)wait;
#else
    close(wait->epoll);
#endif
}

// --- client lock -----------------------------------------------------------
// POSIX: a default, non-recursive mutex. Windows: an unowned Win32 mutex,
// which its owner may take again; waits ignore an abandoned state so a
// terminated client thread does not wedge its lock.

inline void mutexCreate(Mutex *mutex) {
#ifdef _WIN32
    *mutex = CreateMutexW(NULL, FALSE, NULL);
#else
    pthread_mutex_init(mutex, NULL);
#endif
}

inline void mutexDestroy(Mutex *mutex) {
#ifdef _WIN32
    CloseHandle(*mutex);
#else
    pthread_mutex_destroy(mutex);
#endif
}

inline void mutexLock(Mutex *mutex) {
#ifdef _WIN32
    WaitForSingleObject(*mutex, INFINITE);
#else
    pthread_mutex_lock(mutex);
#endif
}

inline void mutexUnlock(Mutex *mutex) {
#ifdef _WIN32
    ReleaseMutex(*mutex);
#else
    pthread_mutex_unlock(mutex);
#endif
}

// --- process-wide resolver lock --------------------------------------------
// Statically initialised, so the library needs no code at load or unload.

#ifdef _WIN32
inline SRWLOCK *resolverLock() {
    static SRWLOCK lock = SRWLOCK_INIT;
    return &lock;
}
inline void resolverLockTake() { AcquireSRWLockExclusive(resolverLock()); }
inline void resolverLockGive() { ReleaseSRWLockExclusive(resolverLock()); }
#else
inline pthread_mutex_t *resolverLock() {
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    return &lock;
}
inline void resolverLockTake() { pthread_mutex_lock(resolverLock()); }
inline void resolverLockGive() { pthread_mutex_unlock(resolverLock()); }
#endif

// --- client thread ---------------------------------------------------------

inline void threadClear(ThreadHandle *thread) {
#ifdef _WIN32
    thread->handle = NULL;
    thread->id = 0;
#else
    thread->exists = false;
#endif
}

inline bool threadExists(const ThreadHandle *thread) {
#ifdef _WIN32
    return thread->handle != NULL;
#else
    return thread->exists;
#endif
}

// Leaves the thread cleared when it could not be created, so that the
// teardown has nothing to wait for. The thread's identity is in place before
// the thread runs (glibc's pthread_create stores the id before the new thread
// starts, CreateThread before it lets the thread go), so that a callback on
// the new thread can already tell that it is that thread.
inline void threadStart(ThreadHandle *thread, ThreadEntry entry, void *argument) {
#ifdef _WIN32
    thread->handle = CreateThread(NULL, 0, entry, argument, 0, &thread->id);
    if (thread->handle == NULL)
        thread->id = 0;
#else
    thread->exists = true;
    if (pthread_create(&thread->id, NULL, entry, argument) != 0)
        thread->exists = false;
#endif
}

// True when called on the thread itself. On Windows the id cannot pass to
// another thread while the handle is open, which it is until threadFinish
// or threadDetach.
inline bool threadIsCurrent(const ThreadHandle *thread) {
#ifdef _WIN32
    return thread->id != 0 && thread->id == GetCurrentThreadId();
#else
    return thread->exists && pthread_equal(thread->id, pthread_self()) != 0;
#endif
}

// Gives the thread up without waiting for it: it ends on its own and
// nobody joins it or closes its handle later.
inline void threadDetach(ThreadHandle *thread) {
#ifdef _WIN32
    CloseHandle(thread->handle);
#else
    pthread_detach(thread->id);
#endif
    threadClear(thread);
}

// Waits 8 seconds for the thread; then POSIX waits on without limit, while
// Windows terminates it so that a host stuck in a callback cannot hang the
// caller for ever. TerminateThread only asks for the end and returns while
// the thread may still run; its socket, the lock and the object it runs in
// must outlive it, so the wait for the handle follows, without a limit
// (termination always completes).
inline void threadFinish(ThreadHandle *thread) {
#ifdef _WIN32
    if (WaitForSingleObject(thread->handle, 8000) == WAIT_TIMEOUT) {
        TerminateThread(thread->handle, 0);
        WaitForSingleObject(thread->handle, INFINITE);
    }
    CloseHandle(thread->handle);
#else
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 8;
    if (pthread_timedjoin_np(thread->id, NULL, &deadline) != 0)
        pthread_join(thread->id, NULL);
#endif
    threadClear(thread);
}

// --- time and text ---------------------------------------------------------

inline void sleepOneSecond() {
#ifdef _WIN32
    Sleep(1000);
#else
    struct timespec deadline = deadlineAfter(1000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) {
    }
#endif
}

inline int compareIgnoringCase(const char *text, const char *keyword, size_t length) {
#ifdef _WIN32
    return _strnicmp(text, keyword, length);
#else
    return strncasecmp(text, keyword, length);
#endif
}

#endif
