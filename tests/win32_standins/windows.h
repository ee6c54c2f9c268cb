// Stand-in for <windows.h>: the thread, mutex and time calls the library's
// platform layer makes, implemented by recording stand-ins (standins.cpp).
#ifndef VELTO_STANDIN_WINDOWS_H
#define VELTO_STANDIN_WINDOWS_H

#include <stddef.h>

typedef void *HANDLE;
typedef unsigned int DWORD;
typedef int BOOL;

#define WINAPI
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(void *);

HANDLE CreateThread(void *attributes, size_t stackSize, LPTHREAD_START_ROUTINE entry,
                    void *argument, DWORD flags, DWORD *threadId);
DWORD GetCurrentThreadId(void);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateMutexW(void *attributes, BOOL initialOwner, const wchar_t *name);
BOOL ReleaseMutex(HANDLE mutex);
void Sleep(DWORD milliseconds);

typedef struct {
    void *Ptr;
} SRWLOCK;
#define SRWLOCK_INIT {0}
void AcquireSRWLockExclusive(SRWLOCK *lock);
void ReleaseSRWLockExclusive(SRWLOCK *lock);

int _strnicmp(const char *text, const char *other, size_t length);

#endif
