/* A host written in C: the public header must compile as C, declare every
 * function and type with the right shape, and the library must link and
 * answer from C. Makes no network call. */
#include "velto.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

static int callbacks;

static void VELTO_CALL onData(void *user, char *bytes, int count) {
    (void)user;
    (void)bytes;
    (void)count;
    ++callbacks;
}

static void VELTO_CALL onStatus(void *user, int status) {
    (void)user;
    (void)status;
    ++callbacks;
}

static void VELTO_CALL onMountPoint(char *mountPoint) {
    (void)mountPoint;
    ++callbacks;
}

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "c_header: %s\n", what);
        ++failures;
    }
}

int main(void) {
    /* Every prototype, taken as a pointer of the exact type a C host would
     * write down; a changed signature fails to compile here. */
    VeltoHandle(VELTO_CALL * construct)(void) = VeltoConstruct;
    void(VELTO_CALL * destruct)(VeltoHandle) = VeltoDestruct;
    void(VELTO_CALL * start)(VeltoHandle, void *, char *, int, VeltoDataCallback,
                             VeltoStatusCallback) = VeltoStart;
    void(VELTO_CALL * stop)(VeltoHandle) = VeltoStop;
    int(VELTO_CALL * status)(VeltoHandle) = VeltoStatus;
    VeltoVersionInfo(VELTO_CALL * version)(void) = VeltoVersion;
    int(VELTO_CALL * sourceTable)(VeltoSourceCallback) = VeltoSourceTable;
    VeltoDataCallback dataCallback = onData;
    VeltoStatusCallback statusCallback = onStatus;
    VeltoSourceCallback sourceCallback = onMountPoint;
    check(start != NULL && dataCallback != NULL && statusCallback != NULL &&
              sourceCallback != NULL,
          "function pointers");

    check(VELTO_STATUS_IDLE == 0 && VELTO_STATUS_STREAMING == 1 &&
              VELTO_STATUS_CONNECT_FAILED == -2 && VELTO_STATUS_NO_ANSWER == -3 &&
              VELTO_STATUS_STREAM_LOST == -4 && VELTO_STATUS_NOT_FOUND == -5 &&
              VELTO_STATUS_UNAUTHORISED == -6 && VELTO_STATUS_NOT_IMPLEMENTED == -7 &&
              VELTO_STATUS_UNRESOLVED == -8,
          "status code values");

    {
        VeltoVersionInfo info = version();
        unsigned char bytes[4];
        static const unsigned char expected[4] = {0xE2, 0x07, 0x06, 0x13};
        check(sizeof info == 4, "VeltoVersionInfo is not 4 bytes");
        check(info.year == 2018 && info.month == 6 && info.day == 19, "release date");
        memcpy(bytes, &info, 4);
        check(memcmp(bytes, expected, 4) == 0, "version record bytes");
    }

    {
        VeltoHandle handle = construct();
        check(handle != NULL, "VeltoConstruct returned null");
        check(status(handle) == VELTO_STATUS_IDLE, "new handle not idle");
        stop(handle);
        stop(handle);
        check(status(handle) == VELTO_STATUS_IDLE, "stopped handle not idle");
        destruct(handle);
        destruct(NULL);
    }

    /* A null callback is answered without touching the network. */
    check(sourceTable(NULL) == 0, "VeltoSourceTable(NULL) not 0");
    check(callbacks == 0, "a callback was called");

    return failures == 0 ? 0 : 1;
}
