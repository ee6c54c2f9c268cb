// The platform layer on 32-bit Windows: Winsock, select for the readiness
// wait, Win32 threads and mutexes. Included by platform.h alone. Windows has
// no signals that interrupt a wait.
#ifndef VELTO_PLATFORM_WINDOWS_H
#define VELTO_PLATFORM_WINDOWS_H

#include <winsock2.h>
#include <windows.h>
#include <string.h>

#define VELTO_IN_ADDR_ALL_ONES {{{0xFF, 0xFF, 0xFF, 0xFF}}}
// The .def file names the exports; nothing in the code marks them.
#define VELTO_DATA_EXPORT
#define VELTO_THREAD_CALL WINAPI

typedef SOCKET SocketHandle;
typedef u_long BlockingMode;
typedef HANDLE Mutex;
typedef DWORD ThreadResult;
typedef ThreadResult(WINAPI *ThreadEntry)(void *);

struct ThreadHandle {
    HANDLE handle;
    DWORD id;
};

struct ConnectWait {
    int unused;
};

// --- sockets -----------------------------------------------------------------

inline SocketHandle openTcpSocket() { return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

inline void closeSocket(SocketHandle socketHandle) { closesocket(socketHandle); }

inline void socketSetReceiveTimeout(SocketHandle socketHandle, int seconds) {
    DWORD milliseconds = (DWORD)seconds * 1000;
    setsockopt(socketHandle, SOL_SOCKET, SO_RCVTIMEO, (const char *)&milliseconds,
               sizeof milliseconds);
}

inline int socketSend(SocketHandle socketHandle, const char *bytes, int count) {
    return send(socketHandle, bytes, count, 0);
}

// The timeout set on the socket ends the receive by itself.
inline int socketReceive(SocketHandle socketHandle, char *bytes, int capacity,
                         int timeoutSeconds) {
    (void)timeoutSeconds;
    return recv(socketHandle, bytes, capacity, 0);
}

inline BlockingMode socketSetNonBlocking(SocketHandle socketHandle) {
    u_long on = 1;
    ioctlsocket(socketHandle, FIONBIO, &on);
    return 0;
}

inline void socketRestoreBlocking(SocketHandle socketHandle, BlockingMode saved) {
    u_long off = saved;
    ioctlsocket(socketHandle, FIONBIO, &off);
}

inline bool connectIsPending(int connectResult) {
    if (connectResult == 0)
        return true;
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

inline int socketPendingError(SocketHandle socketHandle) {
    int error = 1;
    int length = sizeof error;
    if (getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, (char *)&error, &length) != 0)
        return 1;
    return error;
}

// --- readiness wait of a connect ----------------------------------------------
// Only the write set of select is watched, so a refused connect shows here
// only as eight timed-out waits.

inline bool connectWaitOpen(ConnectWait *wait) {
    wait->unused = 0;
    return true;
}

inline void connectWaitWatch(ConnectWait *wait, SocketHandle socketHandle) {
    (void)wait;
    (void)socketHandle;
}

inline int connectWaitOnce(ConnectWait *wait, SocketHandle socketHandle) {
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
}

inline void connectWaitClose(ConnectWait *wait) { (void)wait; }

// --- client lock ----------------------------------------------------------------
// An unowned Win32 mutex, which its owner may take again. Waits ignore an
// abandoned state, so a client thread that threadFinish terminated does not
// wedge its lock.

inline void mutexCreate(Mutex *mutex) { *mutex = CreateMutexW(NULL, FALSE, NULL); }

inline void mutexDestroy(Mutex *mutex) { CloseHandle(*mutex); }

inline void mutexLock(Mutex *mutex) { WaitForSingleObject(*mutex, INFINITE); }

inline void mutexUnlock(Mutex *mutex) { ReleaseMutex(*mutex); }

// --- process-wide resolver lock -------------------------------------------------

inline SRWLOCK *resolverLock() {
    static SRWLOCK lock = SRWLOCK_INIT;
    return &lock;
}

inline void resolverLockTake() { AcquireSRWLockExclusive(resolverLock()); }

inline void resolverLockGive() { ReleaseSRWLockExclusive(resolverLock()); }

// --- client thread --------------------------------------------------------------

inline void threadClear(ThreadHandle *thread) {
    thread->handle = NULL;
    thread->id = 0;
}

inline bool threadExists(const ThreadHandle *thread) { return thread->handle != NULL; }

// CreateThread stores the id before it lets the thread go, so a callback on
// the new thread can already tell that it is that thread.
inline void threadStart(ThreadHandle *thread, ThreadEntry entry, void *argument) {
    thread->handle = CreateThread(NULL, 0, entry, argument, 0, &thread->id);
    if (thread->handle == NULL)
        thread->id = 0;
}

// The id cannot pass to another thread while the handle is open, which it is
// until threadFinish or threadDetach.
inline bool threadIsCurrent(const ThreadHandle *thread) {
    return thread->id != 0 && thread->id == GetCurrentThreadId();
}

inline void threadDetach(ThreadHandle *thread) {
    CloseHandle(thread->handle);
    threadClear(thread);
}

// After 8 seconds the thread is terminated, so that a host stuck in a
// callback cannot hang the caller for ever. TerminateThread only asks for the
// end and returns while the thread may still run; its socket, the lock and
// the object it runs in must outlive it, so the wait for the handle follows,
// without a limit (termination always completes).
inline void threadFinish(ThreadHandle *thread) {
    if (WaitForSingleObject(thread->handle, 8000) == WAIT_TIMEOUT) {
        TerminateThread(thread->handle, 0);
        WaitForSingleObject(thread->handle, INFINITE);
    }
    CloseHandle(thread->handle);
    threadClear(thread);
}

// --- time and text --------------------------------------------------------------

inline void sleepOneSecond() { Sleep(1000); }

inline int compareIgnoringCase(const char *text, const char *keyword, size_t length) {
    return _strnicmp(text, keyword, length);
}

#endif
