// The platform layer: every difference between POSIX and Windows lives
// behind this interface, so the client, connection and protocol code reads
// the same on both. platform_posix.h and platform_windows.h each define the
// types and macros listed below and the bodies of the functions declared
// here; the bodies are inline because every received block passes through
// some of them.
//
// Every wait keeps its full length when a signal interrupts it: hosts whose
// runtimes signal every thread (a garbage collector suspending threads, a
// profiler's timer) must not see timeouts, lost streams and reconnections
// that never happened. Only a cleared run flag, tested between waits, ends
// the library's waiting early.
//
// Types and macros each platform defines:
//   SocketHandle            a TCP socket
//   BlockingMode            what socketSetNonBlocking saved for the restore
//   ConnectWait             the readiness watch of one connect
//   Mutex                   the client lock
//   ThreadHandle            the client thread, or none
//   ThreadResult            what a thread entry returns
//   ThreadEntry             a thread entry: ThreadResult VELTO_THREAD_CALL f(void *)
//   VELTO_THREAD_CALL       the calling convention of a thread entry
//   VELTO_DATA_EXPORT       marks the exported data records
//   VELTO_IN_ADDR_ALL_ONES  an in_addr initialiser of 255.255.255.255
#ifndef VELTO_PLATFORM_H
#define VELTO_PLATFORM_H

#include <stddef.h>

#if defined(_WIN32)
#include "platform_windows.h"
#else
#include "platform_posix.h"
#endif

// The mark of no socket, on both platforms all bits set.
const SocketHandle kNoSocket = (SocketHandle)-1;

// --- sockets -----------------------------------------------------------------

// A new IPv4 TCP socket, or kNoSocket.
inline SocketHandle openTcpSocket();
// Closes the socket; the handle is invalid afterwards.
inline void closeSocket(SocketHandle socketHandle);
// Makes each receive on the socket give up after the given whole seconds.
inline void socketSetReceiveTimeout(SocketHandle socketHandle, int seconds);
// Sends bytes and returns the count sent, or -1; a link the caster has
// closed fails the send without raising a signal in the host.
inline int socketSend(SocketHandle socketHandle, const char *bytes, int count);
// One receive: the count received, 0 when the peer closed, -1 when nothing
// came within timeoutSeconds (the socket's receive timeout) or on an error.
inline int socketReceive(SocketHandle socketHandle, char *bytes, int capacity,
                         int timeoutSeconds);
// Puts the socket in non-blocking mode and returns what to restore.
inline BlockingMode socketSetNonBlocking(SocketHandle socketHandle);
// Returns the socket to the mode socketSetNonBlocking saved.
inline void socketRestoreBlocking(SocketHandle socketHandle, BlockingMode saved);
// After a non-blocking connect: true when it succeeded or is under way,
// false when it failed at once (no route, network down).
inline bool connectIsPending(int connectResult);
// The socket's pending error: 0 once a connect succeeded, non-zero when it
// failed or the error could not be read.
inline int socketPendingError(SocketHandle socketHandle);

// --- readiness wait of a connect -----------------------------------------------

// Prepares a wait; false when its resources could not be had.
inline bool connectWaitOpen(ConnectWait *wait);
// Watches the socket of a connect under way for becoming writable.
inline void connectWaitWatch(ConnectWait *wait, SocketHandle socketHandle);
// One wait of at most a second: 0 timed out, negative failed, positive ready.
inline int connectWaitOnce(ConnectWait *wait, SocketHandle socketHandle);
// Gives back what connectWaitOpen took.
inline void connectWaitClose(ConnectWait *wait);

// --- client lock ---------------------------------------------------------------

// Makes an unlocked client lock.
inline void mutexCreate(Mutex *mutex);
// Frees a lock that nobody holds.
inline void mutexDestroy(Mutex *mutex);
// Takes the lock, waiting for it without limit.
inline void mutexLock(Mutex *mutex);
// Gives back the lock the calling thread holds.
inline void mutexUnlock(Mutex *mutex);

// --- process-wide resolver lock ------------------------------------------------

// Takes the one resolver lock of the process, which is ready before any code
// runs, so the library needs no code at load or unload.
inline void resolverLockTake();
// Gives the resolver lock back.
inline void resolverLockGive();

// --- client thread -------------------------------------------------------------

// Marks the handle as holding no thread.
inline void threadClear(ThreadHandle *thread);
// True while the handle holds a thread that nobody has finished or detached.
inline bool threadExists(const ThreadHandle *thread);
// Starts entry(argument) on a new thread whose identity is in place before it
// runs; the handle stays cleared when the thread could not be created.
inline void threadStart(ThreadHandle *thread, ThreadEntry entry, void *argument);
// True when called on the thread itself.
inline bool threadIsCurrent(const ThreadHandle *thread);
// Lets go of the thread without waiting: it ends on its own, nobody joins it.
inline void threadDetach(ThreadHandle *thread);
// Waits for the thread to end and clears the handle. After 8 s POSIX waits
// on, while Windows terminates the thread, so that a host stuck in a
// callback cannot hang the caller for ever.
inline void threadFinish(ThreadHandle *thread);

// --- time and text -------------------------------------------------------------

// Sleeps one whole second.
inline void sleepOneSecond();
// Compares up to length characters ignoring ASCII letter case, as strncmp does.
inline int compareIgnoringCase(const char *text, const char *keyword, size_t length);

#endif
