/*
 * A 32-bit Windows host that links the library through an import library,
 * as a Visual Studio or MinGW project does, instead of loading it with
 * LoadLibrary. scripts/stage-45-packages.sh builds it from the released zip
 * four times: with clang for the MSVC target, linked by lld-link against
 * VeltoClient.lib and VeltoClientD.lib, and with mingw-w64 gcc, linked by ld
 * against the two .dll.a files. An import library that names an export
 * wrongly keeps the program from starting at all.
 *
 * No MSVC C runtime exists on the build machine, so the host needs none: it
 * declares the few Win32 calls it makes and reports through WriteFile. Under
 * Wine it asks velto-caster on 127.0.0.1:2101 (a Linux process in the same
 * network namespace) for its source table, streams until it has
 * kStreamBytes, stops, and writes what the data callback received to
 * OUTPUT_FILE, which the stage compares with what the caster recorded. One
 * line per check, then "N passed, N failed"; exit status 0 only when
 * nothing failed.
 *
 * EXPECTED_DLL names the DLL the import library should have pulled in.
 */
#include "velto.h"

#if !defined(EXPECTED_DLL) || !defined(OUTPUT_FILE)
#error "EXPECTED_DLL and OUTPUT_FILE must be defined"
#endif

#define WINAPI __stdcall
#define IMPORT __declspec(dllimport)
typedef unsigned long DWORD;
typedef void *HANDLE;

IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
IMPORT int WINAPI WriteFile(HANDLE file, const void *bytes, DWORD count, DWORD *written,
                            void *overlapped);
IMPORT HANDLE WINAPI CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                                 DWORD disposition, DWORD attributes, HANDLE templateFile);
IMPORT int WINAPI CloseHandle(HANDLE object);
IMPORT HANDLE WINAPI CreateEventA(void *security, int manualReset, int initialState,
                                  const char *name);
IMPORT int WINAPI SetEvent(HANDLE event);
IMPORT DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
IMPORT void *WINAPI GetModuleHandleA(const char *name);
IMPORT void WINAPI ExitProcess(unsigned int code);
IMPORT int WINAPI WSAStartup(unsigned short version, void *data);

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define GENERIC_WRITE 0x40000000UL
#define CREATE_ALWAYS 2
#define WAIT_OBJECT_0 0

enum { kStreamBytes = 20000 };

static int passed;
static int failed;

static void print(const char *text) {
    DWORD length = 0, written;
    while (text[length] != '\0')
        ++length;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

static void check(const char *what, int ok) {
    if (ok)
        ++passed;
    else
        ++failed;
    print(ok ? "PASS " : "FAIL ");
    print(what);
    print("\n");
}

static void printCount(int count) {
    char digits[12];
    int at = 11;
    digits[at] = '\0';
    do {
        digits[--at] = (char)('0' + count % 10);
        count /= 10;
    } while (count > 0 && at > 0);
    print(digits + at);
}

/* Written by the client thread; read by ours once that thread has ended
 * (after status 0), except the count, which we poll. */
static char received[kStreamBytes + 65536];
static volatile int receivedCount;
static volatile int badBlocks;
static volatile int statuses[8];
static volatile int statusCount;
static HANDLE enough;    /* kStreamBytes received */
static HANDLE streaming; /* status 1 */
static HANDLE idle;      /* status 0 */

static void VELTO_CALL onData(void *user, char *bytes, int count) {
    (void)user;
    if (count < 1 || count > 2048 || receivedCount + count > (int)sizeof received) {
        badBlocks = 1;
        return;
    }
    for (int i = 0; i < count; ++i)
        received[receivedCount + i] = bytes[i];
    receivedCount += count;
    if (receivedCount >= kStreamBytes)
        SetEvent(enough);
}

static void VELTO_CALL onStatus(void *user, int status) {
    (void)user;
    if (statusCount < 8)
        statuses[statusCount++] = status;
    if (status == VELTO_STATUS_STREAMING)
        SetEvent(streaming);
    if (status == VELTO_STATUS_IDLE)
        SetEvent(idle);
}

static int mountPoints;
static void VELTO_CALL onMountPoint(char *name) {
    (void)name;
    ++mountPoints;
}

static char mount[] = "RTCM3_DEMO";
static char winsockData[512]; /* WSADATA, never read */

void __cdecl hostEntry(void) {
    print("# linked against the import library of " EXPECTED_DLL "\n");
    check("the import library loaded " EXPECTED_DLL, GetModuleHandleA(EXPECTED_DLL) != 0);
    /* A 4-byte record comes back in EAX from either compiler's code. */
    VeltoVersionInfo version = VeltoVersion();
    check("VeltoVersion is 2018-06-19",
          version.year == 2018 && version.month == 6 && version.day == 19);

    enough = CreateEventA(0, 1, 0, 0);
    streaming = CreateEventA(0, 1, 0, 0);
    idle = CreateEventA(0, 1, 0, 0);
    check("WSAStartup", WSAStartup(0x0202, winsockData) == 0);
    check("VeltoSourceTable lists velto-caster's mount point",
          VeltoSourceTable(onMountPoint) == 1 && mountPoints == 1);
    VeltoHandle client = VeltoConstruct();
    VeltoStart(client, 0, mount, 3, onData, onStatus);
    check("status 1 from velto-caster", WaitForSingleObject(streaming, 15000) == WAIT_OBJECT_0);
    check("VeltoStatus is 1 while streaming", VeltoStatus(client) == VELTO_STATUS_STREAMING);
    check("the stream reaches 20000 bytes", WaitForSingleObject(enough, 15000) == WAIT_OBJECT_0);
    VeltoStop(client);
    check("status 0 after VeltoStop", WaitForSingleObject(idle, 10000) == WAIT_OBJECT_0);
    check("statuses were 1 then 0", statusCount == 2 && statuses[0] == 1 && statuses[1] == 0);
    check("blocks of 1 to 2048 bytes", !badBlocks);
    VeltoDestruct(client);

    HANDLE file = CreateFileA(OUTPUT_FILE, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    DWORD written = 0;
    check("received bytes written to " OUTPUT_FILE,
          WriteFile(file, received, (DWORD)receivedCount, &written, 0) &&
              written == (DWORD)receivedCount && CloseHandle(file));

    printCount(passed);
    print(" passed, ");
    printCount(failed);
    print(" failed\n");
    ExitProcess(failed == 0 ? 0 : 1);
}
