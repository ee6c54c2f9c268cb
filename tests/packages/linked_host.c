/*
 * A 32-bit Windows host that links the library through an import library,
 * as a Visual Studio or MinGW project does, instead of loading it with
 * LoadLibrary. scripts/stage-45-packages.sh builds it from the released zip
 * four times: with clang for the MSVC target, linked by lld-link against
 * VeltoClient.lib and VeltoClientD.lib, and with mingw-w64 gcc, linked by
 * ld against libVeltoClient.dll.a and libVeltoClientD.dll.a. If an import
 * library names an export wrongly (decoration, leading underscore, ordinal),
 * Windows refuses to start the program at all.
 *
 * It needs no C runtime, because no MSVC runtime exists on the build
 * machine: it declares the few Win32 and Winsock calls it makes and writes
 * its report with WriteFile. Under Wine, inside a private network namespace,
 * it plays the caster on 127.0.0.1:2101: one source table, then one stream
 * whose bytes must reach the data callback unchanged and in order.
 * One line per check, then "N passed, N failed"; exit status 0 only when
 * nothing failed.
 *
 * EXPECTED_DLL (a compile definition) names the DLL the import library
 * should have pulled in.
 */
#include "velto.h"

#ifndef EXPECTED_DLL
#error "EXPECTED_DLL must name the DLL the import library refers to"
#endif

/* --- the Win32 and Winsock calls this host makes --------------------------- */

#define WINAPI __stdcall
#define IMPORT __declspec(dllimport)
typedef unsigned long DWORD;
typedef void *HANDLE;
typedef unsigned int SOCKET;

IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
IMPORT int WINAPI WriteFile(HANDLE file, const void *bytes, DWORD count, DWORD *written,
                            void *overlapped);
IMPORT void WINAPI ExitProcess(unsigned int code);
IMPORT HANDLE WINAPI CreateThread(void *security, DWORD stackSize,
                                  DWORD(WINAPI *start)(void *), void *argument, DWORD flags,
                                  DWORD *threadId);
IMPORT HANDLE WINAPI CreateEventA(void *security, int manualReset, int initialState,
                                  const char *name);
IMPORT int WINAPI SetEvent(HANDLE event);
IMPORT DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
IMPORT void WINAPI Sleep(DWORD milliseconds);
IMPORT void *WINAPI GetModuleHandleA(const char *name);

IMPORT int WINAPI WSAStartup(unsigned short version, void *data);
IMPORT SOCKET WINAPI socket(int family, int type, int protocol);
IMPORT int WINAPI bind(SOCKET s, const void *address, int length);
IMPORT int WINAPI listen(SOCKET s, int backlog);
IMPORT SOCKET WINAPI accept(SOCKET s, void *address, int *length);
IMPORT int WINAPI recv(SOCKET s, char *bytes, int count, int flags);
IMPORT int WINAPI send(SOCKET s, const char *bytes, int count, int flags);
IMPORT int WINAPI closesocket(SOCKET s);

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define WAIT_OBJECT_0 0
#define INVALID_SOCKET (~(SOCKET)0)

struct ipv4_address {
    short family;
    unsigned short port;
    unsigned char address[4];
    char zero[8];
};

/* --- report ------------------------------------------------------------------- */

static int passed;
static int failed;

static int textLength(const char *text) {
    int length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

static void print(const char *text) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)textLength(text), &written, 0);
}

static void printNumber(int value) {
    char digits[12];
    int at = 11;
    unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
    digits[at] = '\0';
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        digits[--at] = '-';
    print(digits + at);
}

/* check("what", ok, got): one line; `got` is shown when the check fails. */
static void check(const char *what, int ok, int got) {
    if (ok) {
        ++passed;
        print("PASS ");
        print(what);
        print("\n");
    } else {
        ++failed;
        print("FAIL ");
        print(what);
        print(" (got ");
        printNumber(got);
        print(")\n");
    }
}

static int sameBytes(const char *a, const char *b, int count) {
    for (int i = 0; i < count; ++i)
        if (a[i] != b[i])
            return 0;
    return 1;
}

/* --- the caster ------------------------------------------------------------------ */

enum { kStreamBytes = 50000, kRequestMax = 512 };

/* Every byte value, zero included, in an order that shows a lost, doubled or
 * reordered block. */
static char pattern(int i) { return (char)((i * 7 + i / 251 + 3) & 0xFF); }

static char kTable[] = "SOURCETABLE 200 OK\r\n"
                       "Content-Type: text/plain\r\n"
                       "\r\n"
                       "STR;PKG_ONE;One;RTCM 3.2;;2;GPS;NET;DEU;0.00;0.00;0;0;x;none;B;N;0;\r\n"
                       "STR;PKG_TWO;Two;RTCM 3.2;;2;GPS;NET;DEU;0.00;0.00;0;0;x;none;B;N;0;\r\n"
                       "ENDSOURCETABLE\r\n";
static char kStreamRequest[] = "GET /PKG_MOUNT HTTP/1.1\r\n"
                               "User-Agent: NTRIP Client 1.0 #5\r\n"
                               "Authorization: Basic cXdlcnQ6eXVpb3A=\r\n"
                               "\r\n";

static SOCKET listener = INVALID_SOCKET;
static HANDLE streaming;   /* the client has reported status 1 */
static HANDLE stopped;     /* the host has called VeltoStop */
static char request[kRequestMax + 1];
static int requestLength;
static char stream[kStreamBytes];

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
    requestLength = 0;
    while (requestLength < kRequestMax) {
        int received = recv(connection, request + requestLength, kRequestMax - requestLength, 0);
        if (received <= 0)
            break;
        requestLength += received;
        if (requestLength >= 4 && sameBytes(request + requestLength - 4, "\r\n\r\n", 4))
            break;
    }
    request[requestLength] = '\0';
}

/* First connection: the source table. Second: the stream, sent only once the
 * client reports 1 (bytes in the answer's own block are not delivered), in
 * blocks of varied size, then held open until the library closes it. */
static DWORD WINAPI casterMain(void *unused) {
    static const int blocks[] = {1, 2048, 3000, 517, 5000, 4096, 9000};
    (void)unused;
    SOCKET connection = accept(listener, 0, 0);
    if (connection == INVALID_SOCKET)
        return 1;
    readRequest(connection);
    sendAll(connection, kTable, (int)sizeof kTable - 1);
    closesocket(connection);

    connection = accept(listener, 0, 0);
    if (connection == INVALID_SOCKET)
        return 1;
    readRequest(connection);
    sendAll(connection, "ICY 200 OK\r\n\r\n", 14);
    if (WaitForSingleObject(streaming, 15000) == WAIT_OBJECT_0) {
        for (int offset = 0, i = 0; offset < kStreamBytes; i = (i + 1) % 7) {
            int count = blocks[i] < kStreamBytes - offset ? blocks[i] : kStreamBytes - offset;
            sendAll(connection, stream + offset, count);
            offset += count;
        }
        /* Closing first would race the stopping client into "stream lost":
         * wait until the host has stopped and the library has hung up. */
        static char sink[kRequestMax];
        if (WaitForSingleObject(stopped, 30000) == WAIT_OBJECT_0)
            while (recv(connection, sink, kRequestMax, 0) > 0) {
            }
    }
    closesocket(connection);
    return 0;
}

static int casterStart(void) {
    struct ipv4_address address = {2 /* AF_INET */, 0, {127, 0, 0, 1}, {0}};
    address.port = (unsigned short)((2101 >> 8) | ((2101 & 0xFF) << 8));
    listener = socket(2 /* AF_INET */, 1 /* SOCK_STREAM */, 6 /* IPPROTO_TCP */);
    if (listener == INVALID_SOCKET || bind(listener, &address, (int)sizeof address) != 0 ||
        listen(listener, 4) != 0)
        return 0;
    return CreateThread(0, 0, casterMain, 0, 0, 0) != 0;
}

/* --- the host's callbacks ----------------------------------------------------------- */

static char received[kStreamBytes];
static volatile int receivedCount;
static volatile int oversized;
static volatile int statuses[16];
static volatile int statusCount;
static HANDLE idle;
static int mountPoints;
static int mountPointsInOrder = 1;

static void VELTO_CALL onData(void *user, char *bytes, int count) {
    (void)user;
    if (count < 1 || count > 2048 || receivedCount + count > kStreamBytes) {
        oversized = 1;
        return;
    }
    for (int i = 0; i < count; ++i)
        received[receivedCount + i] = bytes[i];
    receivedCount += count;
}

static void VELTO_CALL onStatus(void *user, int status) {
    (void)user;
    if (statusCount < 16)
        statuses[statusCount++] = status;
    if (status == VELTO_STATUS_STREAMING)
        SetEvent(streaming);
    if (status == VELTO_STATUS_IDLE)
        SetEvent(idle);
}

static void VELTO_CALL onMountPoint(char *name) {
    static const char *const expected[] = {"PKG_ONE", "PKG_TWO"};
    if (mountPoints >= 2 || textLength(name) != textLength(expected[mountPoints]) ||
        !sameBytes(name, expected[mountPoints], textLength(name)))
        mountPointsInOrder = 0;
    ++mountPoints;
}

/* --- the run ------------------------------------------------------------------------ */

static char mount[] = "PKG_MOUNT";
static char winsockData[512]; /* WSADATA, which this host never reads */

void __cdecl hostEntry(void) {
    print("# linked against the import library of " EXPECTED_DLL "\n");
    check("the import library loaded " EXPECTED_DLL, GetModuleHandleA(EXPECTED_DLL) != 0, 0);

    VeltoVersionInfo version = VeltoVersion();
    check("VeltoVersion is 2018-06-19",
          version.year == 2018 && version.month == 6 && version.day == 19,
          version.year * 10000 + version.month * 100 + version.day);

    for (int i = 0; i < kStreamBytes; ++i)
        stream[i] = pattern(i);
    streaming = CreateEventA(0, 1, 0, 0);
    stopped = CreateEventA(0, 1, 0, 0);
    idle = CreateEventA(0, 1, 0, 0);
    int started = WSAStartup(0x0202, winsockData) == 0 && casterStart();
    check("WSAStartup and a caster on 127.0.0.1:2101", started, 0);
    if (started) {
        int count = VeltoSourceTable(onMountPoint);
        check("VeltoSourceTable hands over both mount points in order",
              count == 2 && mountPoints == 2 && mountPointsInOrder, count);

        VeltoHandle client = VeltoConstruct();
        VeltoStart(client, 0, mount, 5, onData, onStatus);
        int live = WaitForSingleObject(streaming, 15000) == WAIT_OBJECT_0;
        check("VeltoStart reaches status 1", live, statusCount ? statuses[0] : 99);
        check("the stream request is byte-exact",
              requestLength == (int)sizeof kStreamRequest - 1 &&
                  sameBytes(request, kStreamRequest, requestLength),
              requestLength);
        check("VeltoStatus is 1 while streaming", VeltoStatus(client) == 1, VeltoStatus(client));
        for (int waited = 0; live && receivedCount < kStreamBytes && waited < 15000; waited += 10)
            Sleep(10);
        VeltoStop(client);
        SetEvent(stopped);
        check("status 0 after VeltoStop", WaitForSingleObject(idle, 10000) == WAIT_OBJECT_0,
              VeltoStatus(client));
        /* The client thread has ended: what it wrote is settled. */
        check("every stream byte arrived, in order and unchanged",
              receivedCount == kStreamBytes && !oversized &&
                  sameBytes(received, stream, kStreamBytes),
              receivedCount);
        check("statuses were 1 then 0",
              statusCount == 2 && statuses[0] == 1 && statuses[1] == 0, statusCount);
        VeltoDestruct(client);
    }

    printNumber(passed);
    print(" passed, ");
    printNumber(failed);
    print(" failed\n");
    ExitProcess(failed == 0 && passed > 0 ? 0 : 1);
}
