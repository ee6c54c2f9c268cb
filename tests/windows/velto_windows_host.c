/*
 * A 32-bit Windows C host for VeltoClient.dll / VeltoClientD.dll, run under
 * Wine by scripts/stage-40-windows.sh:
 *
 *     velto_windows_host.exe VeltoClient.dll
 *
 * It loads the DLL by name and declares the seven functions itself, the way
 * a host without the library's header does, and plays the caster on
 * 127.0.0.1:2101 from a thread of its own. One line per check, then
 * "N passed, N failed"; the exit status is 0 only when nothing failed.
 */
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#ifndef VELTO_CASTER_HOST
#define VELTO_CASTER_HOST "localhost"
#endif

/* --- the interface, as a C host declares it -------------------------------- */

typedef struct {
    unsigned short year;
    unsigned char month;
    unsigned char day;
} VersionRecord;

typedef void *Handle;
typedef void(__cdecl *DataCallback)(void *user, char *bytes, int count);
typedef void(__cdecl *StatusCallback)(void *user, int status);
typedef void(__cdecl *SourceCallback)(char *mountPoint);

typedef Handle(__cdecl *ConstructFn)(void);
typedef void(__cdecl *DestructFn)(Handle);
typedef void(__cdecl *StartFn)(Handle, void *, char *, int, DataCallback, StatusCallback);
typedef void(__cdecl *StopFn)(Handle);
typedef int(__cdecl *StatusFn)(Handle);
typedef VersionRecord(__cdecl *VersionAsRecordFn)(void);
typedef int(__cdecl *VersionAsIntFn)(void);
typedef int(__cdecl *SourceTableFn)(SourceCallback);

static ConstructFn veltoConstruct;
static DestructFn veltoDestruct;
static StartFn veltoStart;
static StopFn veltoStop;
static StatusFn veltoStatus;
static VersionAsRecordFn veltoVersion;
static SourceTableFn veltoSourceTable;

/* --- results ------------------------------------------------------------------ */

static int passed;
static int failed;

static void check(int ok, const char *name, const char *detailFormat, ...) {
    if (ok) {
        ++passed;
        printf("PASS %s\n", name);
    } else {
        char detail[512];
        va_list arguments;
        va_start(arguments, detailFormat);
        vsnprintf(detail, sizeof detail, detailFormat, arguments);
        va_end(arguments);
        ++failed;
        printf("FAIL %s: %s\n", name, detail);
    }
    fflush(stdout);
}

static DWORD now(void) { return GetTickCount(); }

/* A measured figure, printed beside the checks that judge it. */
static void note(const char *what, DWORD milliseconds) {
    printf("#    %s: %lu ms\n", what, (unsigned long)milliseconds);
}

/* Calls fn with the given 32-bit arguments and reports in *popped how many
 * argument bytes the callee removed from the stack: 0 for the C calling
 * convention, 4 per argument for the Windows API convention. */
int callChecked(void *fn, int count, const int *arguments, int *popped);
__asm__(".text\n"
        ".globl _callChecked\n"
        "_callChecked:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    pushl %ebx\n"
        "    movl %esp, %edi\n"
        "    movl 12(%ebp), %ecx\n"
        "    movl 16(%ebp), %esi\n"
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    decl %ecx\n"
        "    pushl (%esi,%ecx,4)\n"
        "    jmp 1b\n"
        "2:  movl %esp, %ebx\n"
        "    call *8(%ebp)\n"
        "    movl %esp, %ecx\n"
        "    subl %ebx, %ecx\n"
        "    movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    movl %edi, %esp\n"
        "    popl %ebx\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebp\n"
        "    ret\n");

/* --- what the callbacks saw ----------------------------------------------------- */

typedef struct {
    CRITICAL_SECTION lock;
    HANDLE changed; /* auto-reset: set at every callback */
    int statuses[64];
    DWORD statusThreads[64];
    int statusCount;
    int wrongUser;
    char data[65536];
    int dataCount;
    int badBlocks;
    int blocks;
    DWORD dataThread;
    HANDLE entered;       /* the stuck data callback has been entered */
    int stuck;            /* data callback never returns */
    Handle destroyFrom;   /* a callback destroys this client... */
    int destroyOnStatus;  /* ...when it reports this status (0: never) */
    int destroyOnData;    /* ...or on its first block */
    DWORD destroyTook;    /* how long VeltoDestruct took there */
    int afterDestroy;     /* callbacks that came after it */
} Recorder;

static HANDLE statusOne; /* manual-reset: status 1 reported (the caster sends data then) */

static void recorderInit(Recorder *recorder) {
    memset(recorder, 0, sizeof *recorder);
    InitializeCriticalSection(&recorder->lock);
    recorder->changed = CreateEventW(NULL, FALSE, FALSE, NULL);
    recorder->entered = CreateEventW(NULL, TRUE, FALSE, NULL);
}

static void recorderFree(Recorder *recorder) {
    CloseHandle(recorder->changed);
    CloseHandle(recorder->entered);
    DeleteCriticalSection(&recorder->lock);
}

/* Called first by both callbacks. A host that destroys its client from
 * inside a callback does so here, when the recorder asks for it; any
 * callback that comes after that is counted, and is all this returns. */
static int cameAfterDestroy(Recorder *recorder, int destroyNow) {
    EnterCriticalSection(&recorder->lock);
    int after = recorder->destroyTook != 0;
    if (after)
        ++recorder->afterDestroy;
    Handle handle = destroyNow && !after ? recorder->destroyFrom : NULL;
    LeaveCriticalSection(&recorder->lock);
    if (handle != NULL) {
        DWORD start = GetTickCount();
        veltoDestruct(handle);
        EnterCriticalSection(&recorder->lock);
        recorder->destroyTook = GetTickCount() - start + 1;
        LeaveCriticalSection(&recorder->lock);
        SetEvent(recorder->entered);
    }
    return after;
}

static void __cdecl onStatus(void *user, int status) {
    Recorder *recorder = (Recorder *)user;
    if (cameAfterDestroy(recorder, recorder->destroyOnStatus == status))
        return;
    EnterCriticalSection(&recorder->lock);
    if (recorder->statusCount < 64) {
        recorder->statusThreads[recorder->statusCount] = GetCurrentThreadId();
        recorder->statuses[recorder->statusCount++] = status;
    }
    LeaveCriticalSection(&recorder->lock);
    if (status == 1)
        SetEvent(statusOne);
    SetEvent(recorder->changed);
}

static void __cdecl onData(void *user, char *bytes, int count) {
    Recorder *recorder = (Recorder *)user;
    if (cameAfterDestroy(recorder, recorder->destroyOnData))
        return;
    EnterCriticalSection(&recorder->lock);
    ++recorder->blocks;
    recorder->dataThread = GetCurrentThreadId();
    if (count < 1 || count > 2048)
        ++recorder->badBlocks;
    else if (recorder->dataCount + count <= (int)sizeof recorder->data) {
        memcpy(recorder->data + recorder->dataCount, bytes, (size_t)count);
        recorder->dataCount += count;
    }
    int stuck = recorder->stuck;
    LeaveCriticalSection(&recorder->lock);
    SetEvent(recorder->changed);
    if (stuck) {
        SetEvent(recorder->entered);
        /* A host that never comes back from the callback. */
        for (;;)
            Sleep(INFINITE);
    }
}

static int statusCount(Recorder *recorder) {
    EnterCriticalSection(&recorder->lock);
    int count = recorder->statusCount;
    LeaveCriticalSection(&recorder->lock);
    return count;
}

static int dataCount(Recorder *recorder) {
    EnterCriticalSection(&recorder->lock);
    int count = recorder->dataCount;
    LeaveCriticalSection(&recorder->lock);
    return count;
}

/* Waits until status has been reported at index from or later; true if so. */
static int waitForStatus(Recorder *recorder, int status, int from, DWORD timeoutMs) {
    DWORD start = now();
    for (;;) {
        EnterCriticalSection(&recorder->lock);
        int found = 0;
        for (int i = from; i < recorder->statusCount; ++i)
            if (recorder->statuses[i] == status)
                found = 1;
        LeaveCriticalSection(&recorder->lock);
        if (found)
            return 1;
        DWORD spent = now() - start;
        if (spent >= timeoutMs)
            return 0;
        WaitForSingleObject(recorder->changed, timeoutMs - spent);
    }
}

static int waitForBytes(Recorder *recorder, int count, DWORD timeoutMs) {
    DWORD start = now();
    for (;;) {
        if (dataCount(recorder) >= count)
            return 1;
        DWORD spent = now() - start;
        if (spent >= timeoutMs)
            return 0;
        WaitForSingleObject(recorder->changed, timeoutMs - spent);
    }
}

static void statusText(Recorder *recorder, char *text, size_t size) {
    EnterCriticalSection(&recorder->lock);
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < recorder->statusCount && used + 16 < size; ++i)
        used += (size_t)snprintf(text + used, size - used, "%s%d", i ? "," : "",
                                 recorder->statuses[i]);
    LeaveCriticalSection(&recorder->lock);
}

static int statusesAre(Recorder *recorder, const int *expected, int count) {
    EnterCriticalSection(&recorder->lock);
    int same = recorder->statusCount == count;
    for (int i = 0; same && i < count; ++i)
        same = recorder->statuses[i] == expected[i];
    LeaveCriticalSection(&recorder->lock);
    return same;
}

/* --- source-table callback -------------------------------------------------- */

static char mountPoints[16][64];
static int mountPointCount;

static void __cdecl onMountPoint(char *mountPoint) {
    if (mountPointCount < 16) {
        strncpy(mountPoints[mountPointCount], mountPoint, 63);
        mountPoints[mountPointCount][63] = '\0';
    }
    ++mountPointCount;
}

/* --- the fake caster ------------------------------------------------------------
 * Listens on 127.0.0.1:2101 and runs the current script for every connection
 * it accepts, one connection after the other. */

typedef void (*CasterScript)(SOCKET connection);

static SOCKET listener = INVALID_SOCKET;
static volatile LONG casterRunning;
static volatile CasterScript casterScript;
static HANDLE casterThread;
static char lastRequest[4096];
static int lastRequestLength;
static HANDLE stopped;         /* manual-reset: the host has called VeltoStop */
static HANDLE peerClosed;      /* manual-reset: the library closed the connection */
static DWORD peerClosedAt;

static void sendAll(SOCKET connection, const char *bytes, int count) {
    while (count > 0) {
        int sent = send(connection, bytes, count, 0);
        if (sent <= 0)
            return;
        bytes += sent;
        count -= sent;
    }
}

/* Reads the request head, up to its empty line. */
static void readRequest(SOCKET connection) {
    DWORD timeout = 5000;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout);
    lastRequestLength = 0;
    lastRequest[0] = '\0';
    while (lastRequestLength < (int)sizeof lastRequest - 1) {
        int received = recv(connection, lastRequest + lastRequestLength,
                            (int)sizeof lastRequest - 1 - lastRequestLength, 0);
        if (received <= 0)
            break;
        lastRequestLength += received;
        lastRequest[lastRequestLength] = '\0';
        if (strstr(lastRequest, "\r\n\r\n") != NULL)
            break;
    }
}

/* Waits until the library closes its end (or timeoutMs passes). */
static void waitPeerClosed(SOCKET connection, DWORD timeoutMs) {
    DWORD timeout = 500;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout);
    DWORD start = now();
    char sink[4096];
    while (now() - start < timeoutMs) {
        int received = recv(connection, sink, sizeof sink, 0);
        if (received == 0 || (received < 0 && WSAGetLastError() != WSAETIMEDOUT)) {
            peerClosedAt = now();
            SetEvent(peerClosed);
            return;
        }
    }
}

static DWORD WINAPI casterMain(void *unused) {
    (void)unused;
    while (casterRunning) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        struct timeval timeout = {0, 200000};
        if (select(1, &readable, NULL, NULL, &timeout) <= 0)
            continue;
        SOCKET connection = accept(listener, NULL, NULL);
        if (connection == INVALID_SOCKET)
            continue;
        CasterScript script = casterScript;
        if (script != NULL)
            script(connection);
        closesocket(connection);
    }
    return 0;
}

static int casterStart(void) {
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return 0;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(2101);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 8) != 0) {
        closesocket(listener);
        listener = INVALID_SOCKET;
        return 0;
    }
    casterRunning = 1;
    casterThread = CreateThread(NULL, 0, casterMain, NULL, 0, NULL);
    return 1;
}

static void casterStop(void) {
    casterRunning = 0;
    WaitForSingleObject(casterThread, INFINITE);
    CloseHandle(casterThread);
    closesocket(listener);
    listener = INVALID_SOCKET;
}

/* Stream bytes: every value, zero included, in an order that shows any lost,
 * doubled or reordered block. */
static void fillPattern(char *bytes, int count, int seed) {
    for (int i = 0; i < count; ++i)
        bytes[i] = (char)((i * 7 + i / 251 + seed) & 0xFF);
}

enum { kStreamBytes = 20000, kExtraBytes = 300 };
static int streamSeed;

/* Accepts the stream request with ICY 200 OK, waits until the client has
 * reported 1, streams the pattern in blocks of varied size, and after the
 * host's VeltoStop sends some more that must not reach the host. */
static void streamScript(SOCKET connection) {
    readRequest(connection);
    sendAll(connection, "ICY 200 OK\r\n\r\n", 14);
    if (WaitForSingleObject(statusOne, 10000) != WAIT_OBJECT_0)
        return;
    static char pattern[kStreamBytes];
    fillPattern(pattern, kStreamBytes, streamSeed);
    int sizes[] = {1, 2048, 3000, 517, 5000, 4096};
    int offset = 0;
    for (int i = 0; offset < kStreamBytes; i = (i + 1) % 6) {
        int count = sizes[i] < kStreamBytes - offset ? sizes[i] : kStreamBytes - offset;
        sendAll(connection, pattern + offset, count);
        offset += count;
        Sleep(20);
    }
    if (WaitForSingleObject(stopped, 20000) != WAIT_OBJECT_0)
        return;
    char extra[kExtraBytes];
    fillPattern(extra, kExtraBytes, 99);
    sendAll(connection, extra, kExtraBytes);
    waitPeerClosed(connection, 10000);
}

static const char kTable[] = "SOURCETABLE 200 OK\r\n"
                             "Server: fake caster\r\n"
                             "Content-Type: text/plain\r\n"
                             "\r\n"
                             "CAS;localhost;2101;Fake;none;0;DEU;0.00;0.00\r\n"
                             "STR;MOUNT_A;Alpha;RTCM 3.2;;2;GPS;NET;DEU;0.00;0.00;0;0;x;none;B;N;0;\r\n"
                             "NET;NET;none;B;N;;;;\r\n"
                             "STR;MOUNT_B;Beta;RTCM 3.2;;2;GPS;NET;DEU;0.00;0.00;0;0;x;none;B;N;0;\r\n"
                             "STR;MOUNT_C;Gamma;RTCM 3.2;;2;GPS;NET;DEU;0.00;0.00;0;0;x;none;B;N;0;\r\n"
                             "ENDSOURCETABLE\r\n"
                             "STR;AFTER_END;never handed over;\r\n";

/* Answers with a table and keeps the connection open: the library must close
 * it as soon as it has read the end marker. */
static void tableScript(SOCKET connection) {
    readRequest(connection);
    sendAll(connection, kTable, (int)sizeof kTable - 1);
    waitPeerClosed(connection, 15000);
}

/* Accepts, streams a little and then waits for the library to let go. */
static void stuckScript(SOCKET connection) {
    readRequest(connection);
    sendAll(connection, "ICY 200 OK\r\n\r\n", 14);
    if (WaitForSingleObject(statusOne, 10000) != WAIT_OBJECT_0)
        return;
    char bytes[100];
    fillPattern(bytes, sizeof bytes, 5);
    sendAll(connection, bytes, sizeof bytes);
    waitPeerClosed(connection, 30000);
}

static void casterUse(CasterScript script) {
    ResetEvent(statusOne);
    ResetEvent(stopped);
    ResetEvent(peerClosed);
    casterScript = script;
}

/* --- checks ------------------------------------------------------------------------ */

static char mountName[] = "VELTO_MOUNT";

/* Every export is called with the C calling convention: the caller, not the
 * DLL, removes the arguments. A DLL built with the Windows API convention
 * would pop them itself and corrupt the host's stack. */
static void checkCallingConvention(void) {
    int popped = -1;
    int arguments[6] = {0};
    callChecked((void *)veltoVersion, 0, arguments, &popped);
    check(popped == 0, "cdecl VeltoVersion", "callee removed %d bytes", popped);
    int handle = callChecked((void *)veltoConstruct, 0, arguments, &popped);
    check(popped == 0 && handle != 0, "cdecl VeltoConstruct", "callee removed %d bytes, handle %#x",
          popped, handle);
    arguments[0] = handle;
    int status = callChecked((void *)veltoStatus, 1, arguments, &popped);
    check(popped == 0 && status == 0, "cdecl VeltoStatus", "callee removed %d bytes, status %d",
          popped, status);
    callChecked((void *)veltoStop, 1, arguments, &popped);
    check(popped == 0, "cdecl VeltoStop", "callee removed %d bytes", popped);
    callChecked((void *)veltoDestruct, 1, arguments, &popped);
    check(popped == 0, "cdecl VeltoDestruct", "callee removed %d bytes", popped);
    arguments[0] = 0;
    int count = callChecked((void *)veltoSourceTable, 1, arguments, &popped);
    check(popped == 0 && count == 0, "cdecl VeltoSourceTable (null callback)",
          "callee removed %d bytes, result %d", popped, count);
}

/* A 32-bit Windows C host gets the 4-byte record back in EAX: read as the
 * record, or through a pointer declared as returning int. */
static void checkVersion(void) {
    VersionRecord version = veltoVersion();
    const unsigned char *bytes = (const unsigned char *)&version;
    check(sizeof version == 4 && version.year == 2018 && version.month == 6 && version.day == 19,
          "version read as a 4-byte record is 2018-06-19", "got %u-%u-%u", version.year,
          version.month, version.day);
    check(bytes[0] == 0xE2 && bytes[1] == 0x07 && bytes[2] == 0x06 && bytes[3] == 0x13,
          "version record bytes are E2 07 06 13", "got %02X %02X %02X %02X", bytes[0], bytes[1],
          bytes[2], bytes[3]);
    VersionAsIntFn asInt = (VersionAsIntFn)(void *)veltoVersion;
    int word = asInt();
    check(word == 0x130607E2, "version read as int is 0x130607E2", "got %#x", word);
}

/* A host that forgot WSAStartup: the library does not initialise Winsock for
 * it, so the caster cannot be resolved: -8 on the calling thread at every
 * start, and an empty source table. */
static void checkWithoutWinsock(void) {
    Recorder recorder;
    recorderInit(&recorder);
    Handle handle = veltoConstruct();
    int everyStart = 1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int before = statusCount(&recorder);
        int popped = -1;
        int arguments[6] = {(int)handle, (int)&recorder, (int)mountName, attempt,
                            (int)onData, (int)onStatus};
        callChecked((void *)veltoStart, 6, arguments, &popped);
        check(popped == 0, "cdecl VeltoStart", "callee removed %d bytes", popped);
        EnterCriticalSection(&recorder.lock);
        int reported = recorder.statusCount == before + 1 &&
                       recorder.statuses[before] == -8 &&
                       recorder.statusThreads[before] == GetCurrentThreadId();
        LeaveCriticalSection(&recorder.lock);
        if (!reported || veltoStatus(handle) != -8)
            everyStart = 0;
    }
    char seen[256];
    statusText(&recorder, seen, sizeof seen);
    check(everyStart, "without WSAStartup every start reports -8 on the calling thread",
          "statuses %s, VeltoStatus %d", seen, veltoStatus(handle));
    Sleep(500);
    check(dataCount(&recorder) == 0 && statusCount(&recorder) == 3,
          "without WSAStartup no client thread runs", "statuses %s, %d data bytes", seen,
          dataCount(&recorder));
    DWORD start = now();
    veltoDestruct(handle);
    check(now() - start < 1000, "destroying the unstarted client returns at once",
          "took %lu ms", (unsigned long)(now() - start));
    int allZero = 1;
    mountPointCount = 0;
    for (int attempt = 0; attempt < 3; ++attempt)
        if (veltoSourceTable(onMountPoint) != 0)
            allZero = 0;
    check(allZero && mountPointCount == 0,
          "without WSAStartup every source-table query returns 0", "%d callbacks",
          mountPointCount);
    recorderFree(&recorder);
}

/* The caster's name must resolve to loopback inside the test's network. */
static void checkResolver(void) {
    struct hostent *answer = gethostbyname(VELTO_CASTER_HOST);
    unsigned long address = 0;
    if (answer != NULL && answer->h_addr_list[0] != NULL)
        memcpy(&address, answer->h_addr_list[0], 4);
    check(address == htonl(INADDR_LOOPBACK), "caster name " VELTO_CASTER_HOST
          " resolves to 127.0.0.1", "got %#lx", (unsigned long)ntohl(address));
}

static int streamOnce(Handle handle, Recorder *recorder, int clientNumber, int seed,
                      const char *round) {
    char name[128];
    char expectedRequest[256];
    int firstStatus = statusCount(recorder);
    int firstByte = dataCount(recorder);
    streamSeed = seed;
    casterUse(streamScript);
    veltoStart(handle, recorder, mountName, clientNumber, onData, onStatus);

    snprintf(name, sizeof name, "%s: status 1 once the caster accepts", round);
    check(waitForStatus(recorder, 1, firstStatus, 15000), name, "no status 1");
    snprintf(expectedRequest, sizeof expectedRequest,
             "GET /%s HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0 #%d\r\n"
             "Authorization: Basic cXdlcnQ6eXVpb3A=\r\n\r\n",
             mountName, clientNumber);
    snprintf(name, sizeof name, "%s: the stream request is byte-exact", round);
    check(strcmp(lastRequest, expectedRequest) == 0, name, "got \"%s\"", lastRequest);
    snprintf(name, sizeof name, "%s: VeltoStatus is 1 while streaming", round);
    check(veltoStatus(handle) == 1, name, "got %d", veltoStatus(handle));

    snprintf(name, sizeof name, "%s: every stream byte arrives, in order, unchanged", round);
    int complete = waitForBytes(recorder, firstByte + kStreamBytes, 15000);
    static char expected[kStreamBytes];
    fillPattern(expected, kStreamBytes, seed);
    EnterCriticalSection(&recorder->lock);
    int received = recorder->dataCount - firstByte;
    int same = complete && received == kStreamBytes &&
               memcmp(recorder->data + firstByte, expected, kStreamBytes) == 0;
    int badBlocks = recorder->badBlocks;
    int wrongThread = recorder->dataThread == GetCurrentThreadId();
    LeaveCriticalSection(&recorder->lock);
    check(same, name, "%d of %d bytes, %s", received, kStreamBytes,
          complete ? "content differs" : "incomplete");
    snprintf(name, sizeof name, "%s: blocks of 1 to 2048 bytes on the client thread", round);
    check(badBlocks == 0 && !wrongThread, name, "%d bad blocks, on host thread: %d", badBlocks,
          wrongThread);

    DWORD start = now();
    veltoStop(handle);
    DWORD stopTook = now() - start;
    int bytesAtStop = dataCount(recorder);
    SetEvent(stopped);
    snprintf(name, sizeof name, "%s: VeltoStop returns at once", round);
    check(stopTook < 1000, name, "took %lu ms", (unsigned long)stopTook);
    snprintf(name, sizeof name, "%s: status 0 within about two seconds of VeltoStop", round);
    int ended = waitForStatus(recorder, 0, firstStatus, 5000);
    note("VeltoStop to status 0", now() - start);
    check(ended, name, "no status 0");
    snprintf(name, sizeof name, "%s: the library closes its connection", round);
    check(WaitForSingleObject(peerClosed, 5000) == WAIT_OBJECT_0, name, "still open");
    snprintf(name, sizeof name, "%s: no data callback after VeltoStop", round);
    check(dataCount(recorder) == bytesAtStop, name, "%d bytes after stop",
          dataCount(recorder) - bytesAtStop);
    snprintf(name, sizeof name, "%s: VeltoStatus is 0 after the thread ended", round);
    check(veltoStatus(handle) == 0, name, "got %d", veltoStatus(handle));
    return firstStatus;
}

/* A host streams, stops, and starts the same handle again. */
static void checkStreaming(void) {
    Recorder recorder;
    recorderInit(&recorder);
    Handle handle = veltoConstruct();
    streamOnce(handle, &recorder, 7, 1, "stream");
    int first[] = {1, 0};
    char seen[256];
    statusText(&recorder, seen, sizeof seen);
    check(statusesAre(&recorder, first, 2), "stream: statuses are 1, 0", "got %s", seen);

    streamOnce(handle, &recorder, 8, 2, "restart");
    int both[] = {1, 0, 1, 0};
    statusText(&recorder, seen, sizeof seen);
    check(statusesAre(&recorder, both, 4), "restart: statuses are 1, 0, 1, 0", "got %s", seen);

    DWORD start = now();
    veltoDestruct(handle);
    check(now() - start < 2000, "destroying the stopped client returns at once", "took %lu ms",
          (unsigned long)(now() - start));
    recorderFree(&recorder);
}

/* A host lists the caster's mount points. */
static void checkSourceTable(void) {
    casterUse(tableScript);
    mountPointCount = 0;
    DWORD start = now();
    int count = veltoSourceTable(onMountPoint);
    DWORD took = now() - start;
    note("source table of three records", took);
    check(count == 3 && mountPointCount == 3, "source table: three records handed over",
          "result %d, %d callbacks", count, mountPointCount);
    check(mountPointCount == 3 && strcmp(mountPoints[0], "MOUNT_A") == 0 &&
              strcmp(mountPoints[1], "MOUNT_B") == 0 && strcmp(mountPoints[2], "MOUNT_C") == 0,
          "source table: mount points in arrival order", "got %s %s %s",
          mountPointCount > 0 ? mountPoints[0] : "-", mountPointCount > 1 ? mountPoints[1] : "-",
          mountPointCount > 2 ? mountPoints[2] : "-");
    static const char request[] =
        "GET / HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0\r\nConnection: close\r\n\r\n";
    check(lastRequestLength == 67 && memcmp(lastRequest, request, 67) == 0,
          "source table: the 67-byte request is byte-exact", "got %d bytes \"%s\"",
          lastRequestLength, lastRequest);
    check(took < 3000, "source table: returns at the end marker, not when the caster closes",
          "took %lu ms", (unsigned long)took);
    check(WaitForSingleObject(peerClosed, 3000) == WAIT_OBJECT_0,
          "source table: the connection is closed at the end marker", "still open");
}

/* A host whose data callback never returns: VeltoDestruct gives the client
 * thread 8 seconds, then terminates it and closes its connection. */
static void checkStuckCallback(void) {
    Recorder recorder;
    recorderInit(&recorder);
    recorder.stuck = 1;
    casterUse(stuckScript);
    Handle handle = veltoConstruct();
    veltoStart(handle, &recorder, mountName, 3, onData, onStatus);
    int entered = WaitForSingleObject(recorder.entered, 15000) == WAIT_OBJECT_0;
    check(entered, "stuck callback: the data callback is entered", "never entered");
    if (!entered) {
        printf("     (not destroying the handle: its thread never got stuck)\n");
        return;
    }
    DWORD start = now();
    veltoDestruct(handle);
    DWORD took = now() - start;
    note("VeltoDestruct with the callback stuck", took);
    check(took >= 7000 && took <= 12000,
          "stuck callback: VeltoDestruct returns after about 8 s", "took %lu ms",
          (unsigned long)took);
    check(WaitForSingleObject(peerClosed, 3000) == WAIT_OBJECT_0,
          "stuck callback: the terminated thread's connection is closed", "still open");
    /* The terminated thread never left the callback; the recorder stays. */
}

/* The threads of this process, as the system lists them. */
static int processThreadCount(void) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
}

/* A host that destroys its client from one of the client's own callbacks
 * (a host exiting from inside it): the call cannot wait for the thread it is
 * made on, so it returns at once, nothing calls back after it, and the
 * thread closes its connection and ends by itself, freeing the client. */
static void checkDestroyFromCallback(int fromData) {
    const char *which = fromData ? "destroyed from the data callback"
                                 : "destroyed from the status callback";
    char name[160];
    Recorder recorder;
    recorderInit(&recorder);
    casterUse(stuckScript);
    int threadsBefore = processThreadCount();
    Handle handle = veltoConstruct();
    recorder.destroyFrom = handle;
    recorder.destroyOnStatus = fromData ? 0 : 1;
    recorder.destroyOnData = fromData;
    veltoStart(handle, &recorder, mountName, 4, onData, onStatus);
    int destroyed = WaitForSingleObject(recorder.entered, 15000) == WAIT_OBJECT_0;
    snprintf(name, sizeof name, "%s: VeltoDestruct returns at once there", which);
    check(destroyed && recorder.destroyTook <= 1000, name, "%s, %lu ms",
          destroyed ? "returned" : "never called", (unsigned long)recorder.destroyTook);
    snprintf(name, sizeof name, "%s: the thread closes its connection", which);
    check(WaitForSingleObject(peerClosed, 5000) == WAIT_OBJECT_0, name, "still open");
    int threadsAfter = processThreadCount();
    for (DWORD start = now(); threadsAfter != threadsBefore && now() - start < 5000; Sleep(50))
        threadsAfter = processThreadCount();
    snprintf(name, sizeof name, "%s: the client thread ends", which);
    check(threadsAfter == threadsBefore, name, "%d threads before, %d after", threadsBefore,
          threadsAfter);
    Sleep(1500);
    snprintf(name, sizeof name, "%s: no callback after VeltoDestruct", which);
    check(recorder.afterDestroy == 0, name, "%d callbacks", recorder.afterDestroy);
    recorderFree(&recorder);
}

/* Nothing listens on 2101: Windows select watches only the write set, so a
 * refused connect shows as eight timed-out waits. */
static void checkRefused(void) {
    Recorder recorder;
    recorderInit(&recorder);
    Handle handle = veltoConstruct();
    DWORD start = now();
    veltoStart(handle, &recorder, mountName, 1, onData, onStatus);
    mountPointCount = 0;
    int count = veltoSourceTable(onMountPoint);
    DWORD tableTook = now() - start;
    int reported = waitForStatus(&recorder, -2, 0, 15000);
    DWORD took = now() - start;
    note("refused connect, VeltoStart to status -2", took);
    note("refused connect, VeltoSourceTable", tableTook);
    check(reported && took >= 6500 && took <= 12000,
          "refused connect: -2 after about 8 s", "%s after %lu ms",
          reported ? "reported" : "not reported", (unsigned long)took);
    check(count == 0 && mountPointCount == 0 && tableTook >= 6500 && tableTook <= 12000,
          "refused connect: source table returns 0 after about 8 s", "result %d after %lu ms",
          count, (unsigned long)tableTook);
    veltoStop(handle);
    check(waitForStatus(&recorder, 0, 1, 5000), "refused connect: status 0 after VeltoStop",
          "no status 0");
    int expected[] = {-2, 0};
    char seen[256];
    statusText(&recorder, seen, sizeof seen);
    check(statusesAre(&recorder, expected, 2), "refused connect: statuses are -2, 0", "got %s",
          seen);
    veltoDestruct(handle);
    recorderFree(&recorder);
}

static int loadLibrary(const char *name) {
    HMODULE module = LoadLibraryA(name);
    check(module != NULL, "the DLL loads by name", "LoadLibrary(%s) failed: %lu", name,
          (unsigned long)GetLastError());
    if (module == NULL)
        return 0;
    veltoConstruct = (ConstructFn)(void *)GetProcAddress(module, "VeltoConstruct");
    veltoDestruct = (DestructFn)(void *)GetProcAddress(module, "VeltoDestruct");
    veltoStart = (StartFn)(void *)GetProcAddress(module, "VeltoStart");
    veltoStop = (StopFn)(void *)GetProcAddress(module, "VeltoStop");
    veltoStatus = (StatusFn)(void *)GetProcAddress(module, "VeltoStatus");
    veltoVersion = (VersionAsRecordFn)(void *)GetProcAddress(module, "VeltoVersion");
    veltoSourceTable = (SourceTableFn)(void *)GetProcAddress(module, "VeltoSourceTable");
    int all = veltoConstruct && veltoDestruct && veltoStart && veltoStop && veltoStatus &&
              veltoVersion && veltoSourceTable;
    check(all, "all seven functions found by their plain names", "some are missing");
    return all;
}

int main(int argc, char **argv) {
    const char *dll = argc > 1 ? argv[1] : "VeltoClient.dll";
    printf("# %s, caster %s:2101\n", dll, VELTO_CASTER_HOST);
    statusOne = CreateEventW(NULL, TRUE, FALSE, NULL);
    stopped = CreateEventW(NULL, TRUE, FALSE, NULL);
    peerClosed = CreateEventW(NULL, TRUE, FALSE, NULL);

    if (loadLibrary(dll)) {
        checkCallingConvention();
        checkVersion();
        /* Before anything initialises Winsock in this process. */
        checkWithoutWinsock();

        WSADATA wsa;
        int started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
        check(started, "WSAStartup", "failed");
        if (started) {
            checkResolver();
            int listening = casterStart();
            check(listening, "fake caster listens on 127.0.0.1:2101", "error %d",
                  WSAGetLastError());
            if (listening) {
                checkStreaming();
                checkSourceTable();
                checkDestroyFromCallback(0);
                checkDestroyFromCallback(1);
                checkStuckCallback();
                casterStop();
            }
            checkRefused();
        }
    }
    printf("%d passed, %d failed\n", passed, failed);
    fflush(stdout);
    /* A terminated client thread may have left state behind; leave at once. */
    ExitProcess(failed == 0 && passed > 0 ? 0 : 1);
}
