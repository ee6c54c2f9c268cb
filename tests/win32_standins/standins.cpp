// Recording stand-ins for the Win32 and Winsock calls of the library's
// platform layer, and for the caster connection the client thread opens.
// The library's client code, built as for Windows against the stand-in
// headers in this folder, runs on Linux on top of these.
//
// Threads are real threads. A terminated thread stops for real only a
// while after TerminateThread has returned, as on Windows, where the call
// merely asks for the end; the log shows the moment it has stopped.
// Mutexes are real recursive mutexes. The one socket is a scripted caster
// link: it answers "ICY 200 OK" and then sends corrections.
#include <string.h>
#include <strings.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standins.h"
#include "windows.h"
#include "winsock2.h"

namespace {

const SOCKET kCasterLink = 7001;
const auto kTerminationDelay = std::chrono::milliseconds(200);
// A stuck thread is given up after this, not after the 8 s the library asks.
const auto kLongestTimedWait = std::chrono::milliseconds(300);

std::mutex logMutex;
std::vector<std::string> calls;

void record(const std::string &call) {
    std::lock_guard<std::mutex> hold(logMutex);
    calls.push_back(call);
}

// Both kinds of handle the library holds.
struct Object {
    bool isThread;
    std::mutex mutex;
    std::condition_variable ended;
    bool hasEnded = false;
    std::recursive_mutex lock; // the client lock, for mutex objects
};

const char *nameOf(const Object *object) { return object->isThread ? "client thread" : "client lock"; }

// Every object made, never freed (see CloseHandle): held here, so that a
// leak checker sees them kept, not lost. The list itself is never
// destroyed either, or it would let go of them at exit, before the check.
std::mutex objectsMutex;
std::vector<Object *> *const objects = new std::vector<Object *>;

Object *newObject(bool isThread) {
    Object *object = new Object;
    object->isThread = isThread;
    std::lock_guard<std::mutex> hold(objectsMutex);
    objects->push_back(object);
    return object;
}

// Logged before a waiter can wake, so the log never shows a close made
// after the end ahead of the end itself.
void markEnded(Object *thread, const char *how) {
    record(std::string("client thread ended") + how);
    {
        std::lock_guard<std::mutex> hold(thread->mutex);
        thread->hasEnded = true;
    }
    thread->ended.notify_all();
}

int answerOrCorrections(char *buffer, int length) {
    static std::atomic<int> receives{0};
    const char *text = receives++ == 0 ? "ICY 200 OK\r\n\r\n" : "corrections";
    int size = (int)strlen(text) < length ? (int)strlen(text) : length;
    memcpy(buffer, text, (size_t)size);
    return size;
}

} // namespace

std::vector<std::string> standinCalls() {
    std::lock_guard<std::mutex> hold(logMutex);
    return calls;
}

// --- the caster connection (the library's own caster.cpp is not built) -----

sockaddr_in __addr;

bool ipAddress() { return true; }

SOCKET openSocket(const sockaddr_in *, const std::atomic<int> *) { return kCasterLink; }

// --- Winsock ----------------------------------------------------------------

int closesocket(SOCKET s) {
    record(s == kCasterLink ? "closesocket(caster link)" : "closesocket(unknown)");
    return 0;
}

int ioctlsocket(SOCKET, long, u_long *) { return 0; }
int WSAGetLastError(void) { return 0; }
int recv(SOCKET, char *buffer, int length, int) { return answerOrCorrections(buffer, length); }
int send(SOCKET, const char *, int length, int) { return length; }
int setsockopt(SOCKET, int, int, const char *, socklen_t) { return 0; }
int getsockopt(SOCKET, int, int, char *value, int *length) {
    memset(value, 0, (size_t)*length);
    return 0;
}

// --- threads, mutexes, time ---------------------------------------------------

// No thread id is handed out (0 is no thread's), so the library never finds
// itself on its own client thread here.
DWORD GetCurrentThreadId(void) { return 0; }

HANDLE CreateThread(void *, size_t, LPTHREAD_START_ROUTINE entry, void *argument, DWORD, DWORD *) {
    Object *thread = newObject(true);
    // Detached: a thread stuck in the host's callback never comes back, and
    // the test process ends without it.
    std::thread([thread, entry, argument] {
        entry(argument);
        markEnded(thread, "");
    }).detach();
    return thread;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Object *object = static_cast<Object *>(handle);
    if (!object->isThread) {
        object->lock.lock();
        return WAIT_OBJECT_0;
    }
    std::string call = std::string("WaitForSingleObject(client thread, ") +
                       (milliseconds == INFINITE ? "INFINITE" : std::to_string(milliseconds)) + ")";
    record(call);
    std::unique_lock<std::mutex> hold(object->mutex);
    auto ended = [object] { return object->hasEnded; };
    if (milliseconds == INFINITE) {
        object->ended.wait(hold, ended);
        return WAIT_OBJECT_0;
    }
    if (object->ended.wait_for(hold, kLongestTimedWait, ended))
        return WAIT_OBJECT_0;
    hold.unlock();
    record(call + " timed out");
    return WAIT_TIMEOUT;
}

BOOL TerminateThread(HANDLE handle, DWORD) {
    Object *thread = static_cast<Object *>(handle);
    record("TerminateThread(client thread)");
    std::thread([thread] {
        std::this_thread::sleep_for(kTerminationDelay);
        markEnded(thread, " (terminated)");
    }).detach();
    return 1;
}

// The objects themselves are never freed: a terminated thread's stand-in
// may still hold its lock, as on Windows, where it is left abandoned.
BOOL CloseHandle(HANDLE handle) {
    record(std::string("CloseHandle(") + nameOf(static_cast<Object *>(handle)) + ")");
    return 1;
}

HANDLE CreateMutexW(void *, BOOL, const wchar_t *) {
    return newObject(false);
}

BOOL ReleaseMutex(HANDLE handle) {
    static_cast<Object *>(handle)->lock.unlock();
    return 1;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void AcquireSRWLockExclusive(SRWLOCK *) {}
void ReleaseSRWLockExclusive(SRWLOCK *) {}

int _strnicmp(const char *text, const char *other, size_t length) {
    return strncasecmp(text, other, length);
}
