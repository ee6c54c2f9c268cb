/*
 * minimal_host.c - the smallest complete host of the Velto library.
 *
 * Lists the caster's mount points, streams one of them for a few seconds,
 * then shuts down cleanly: VeltoStop, wait for the final status 0,
 * VeltoDestruct. Usage: minimal_host [MOUNT [SECONDS]]
 *
 * It waits with POSIX threads: on Windows, build it with MinGW-w64 (its
 * winpthreads), as README-windows.txt shows.
 */
#ifdef _WIN32
#include <winsock2.h>
#endif
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "velto.h"

/* Shared between our thread and the library's client thread. */
struct host {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    unsigned long bytes;
    int status;
    int streamed;
};

/* Client thread, with the library's lock held: copy or count the bytes and
 * return; never call VeltoStop/VeltoStart/VeltoDestruct from here. */
static void VELTO_CALL on_data(void *user, char *bytes, int count) {
    struct host *host = user;
    (void)bytes; /* valid only during this call: a real host copies them */
    pthread_mutex_lock(&host->lock);
    host->bytes += (unsigned long)count;
    pthread_mutex_unlock(&host->lock);
}

/* Client thread (or ours, for -8 from VeltoStart), once per change. */
static void VELTO_CALL on_status(void *user, int status) {
    struct host *host = user;
    printf("status %d\n", status);
    pthread_mutex_lock(&host->lock);
    host->status = status;
    host->streamed |= status == VELTO_STATUS_STREAMING;
    pthread_cond_broadcast(&host->changed);
    pthread_mutex_unlock(&host->lock);
}

static void VELTO_CALL on_mount_point(char *mount_point) { printf("mount point %s\n", mount_point); }

/* Waits until the status is `wanted` or the deadline passes; returns the
 * status reached. */
static int wait_for_status(struct host *host, int wanted, int seconds) {
    int status;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&host->lock);
    while (host->status != wanted &&
           pthread_cond_timedwait(&host->changed, &host->lock, &deadline) == 0) {
    }
    status = host->status;
    pthread_mutex_unlock(&host->lock);
    return status;
}

int main(int argc, char **argv) {
    /* The library keeps this pointer while its thread runs: argv lives long enough. */
    char *mount = argc > 1 ? argv[1] : "RTCM3_DEMO";
    int seconds = argc > 2 ? atoi(argv[2]) : 5;
    struct host host = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0};
    VeltoVersionInfo version = VeltoVersion();
    VeltoHandle client;
#ifdef _WIN32
    /* The library never initialises Winsock: without this every VeltoStart
     * reports -8 and the source table comes back empty. */
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0)
        return 1;
#endif

    printf("library release %04d-%02d-%02d\n", version.year, version.month, version.day);
    printf("%d mount point(s)\n", VeltoSourceTable(on_mount_point));

    client = VeltoConstruct();
    VeltoStart(client, &host, mount, 1, on_data, on_status);
    if (wait_for_status(&host, VELTO_STATUS_STREAMING, seconds) == VELTO_STATUS_STREAMING) {
        struct timespec pause = {seconds, 0};
        nanosleep(&pause, NULL); /* the library relays in the background */
    }

    VeltoStop(client); /* no data callback after this returns */
    wait_for_status(&host, VELTO_STATUS_IDLE, 10);
    VeltoDestruct(client); /* joins the client thread */

    /* The client thread has ended: host needs no lock any more. */
    printf("%lu bytes from %s\n", host.bytes, mount);
#ifdef _WIN32
    WSACleanup();
#endif
    return host.streamed && host.bytes > 0 ? 0 : 1;
}
