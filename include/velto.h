/*
 * velto.h - NTRIP client library, public interface.
 *
 * The library receives a stream of correction data from one fixed NTRIP
 * caster (TCP port 2101, fixed credential) and lists the caster's mount
 * points. A host creates a client handle, starts it with a mount point and
 * two callbacks, and from then on the library connects, requests the mount
 * point, relays every received block of bytes and reconnects by itself
 * after any failure until the host stops it.
 *
 * Every function has C linkage and uses the C calling convention, on
 * 32-bit Windows too (__cdecl), and so must the host's callbacks.
 *
 * Threads
 *   - Calls on one handle must not overlap; different handles may be used
 *     from different threads at the same time.
 *   - Each started client runs one background thread of its own (the client
 *     thread). Data and status callbacks arrive on it, except status -8 from
 *     VeltoStart, which arrives on the caller's thread before VeltoStart
 *     returns.
 *   - The data callback runs with the client's lock held. From inside it,
 *     never call VeltoStop, VeltoStart or VeltoDestruct on the same handle.
 *     From inside the status callback VeltoStop and VeltoStatus are allowed;
 *     VeltoStart and VeltoDestruct are not. Should either be called on the
 *     client's own thread all the same, VeltoStart changes nothing, and
 *     VeltoDestruct returns at once and leaves the freeing to that thread
 *     once the callback has returned; no callback follows.
 *
 * On Windows the host must call WSAStartup before the first VeltoStart or
 * VeltoSourceTable; the library never initialises Winsock itself.
 */
#ifndef VELTO_H
#define VELTO_H

#if defined(_WIN32) && !defined(_WIN64)
#define VELTO_CALL __cdecl
#else
#define VELTO_CALL
#endif

#if defined(VELTO_BUILDING_LIBRARY) && !defined(_WIN32)
#define VELTO_API __attribute__((visibility("default")))
#else
#define VELTO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes: 0 and 1 are the normal states, every negative value names
 * the cause of the last failure. After a failure reported by the client
 * thread (-2 to -8) the client retries by itself after a pause of up to 30
 * seconds; a code is reported only when it changes. */
#define VELTO_STATUS_IDLE 0            /* not running, or stopped */
#define VELTO_STATUS_STREAMING 1       /* caster accepted; data flows */
#define VELTO_STATUS_CONNECT_FAILED (-2) /* no TCP connection within ~8 s */
#define VELTO_STATUS_NO_ANSWER (-3)    /* request sent, caster never answered */
#define VELTO_STATUS_STREAM_LOST (-4)  /* link closed, or ~9 s of silence */
#define VELTO_STATUS_NOT_FOUND (-5)    /* HTTP 404, or caster sent its table */
#define VELTO_STATUS_UNAUTHORISED (-6) /* HTTP 401: credential refused */
#define VELTO_STATUS_NOT_IMPLEMENTED (-7) /* HTTP 501 */
#define VELTO_STATUS_UNRESOLVED (-8)   /* from VeltoStart: caster name not
                                          resolved, or mount point invalid (no
                                          retry); from the client thread:
                                          answer not recognised */

/* Opaque handle of one client. */
typedef struct VeltoClient *VeltoHandle;

/* Receives one block of stream bytes, exactly as received: 1 to 2048 bytes,
 * no terminator added, zero bytes possible. The bytes are valid only until
 * the callback returns. Called on the client thread with its lock held. */
typedef void(VELTO_CALL *VeltoDataCallback)(void *user, char *bytes, int count);

/* Receives every change of the client's status (see VELTO_STATUS_*). */
typedef void(VELTO_CALL *VeltoStatusCallback)(void *user, int status);

/* Receives one mount-point name, zero-terminated, possibly empty, valid only
 * during the call. Called on the thread that called VeltoSourceTable. */
typedef void(VELTO_CALL *VeltoSourceCallback)(char *mountPoint);

/* The library's release date, 4 bytes in memory order year, month, day. */
typedef struct VeltoVersionInfo {
    unsigned short year;
    unsigned char month;
    unsigned char day;
} VeltoVersionInfo;

/* Creates an idle client: status 0, no thread, no connection. */
VELTO_API VeltoHandle VELTO_CALL VeltoConstruct(void);

/* Stops the client, waits for its thread and frees the handle. The wait is
 * 8 seconds and then, on Linux, without limit; on Windows a thread that has
 * not ended after 8 seconds is terminated, and the call returns once it has
 * stopped (its connection is closed after that). While it waits, the status
 * callback may still receive the last reports (ending with 0) and, unless
 * VeltoStop was called first, the data callback may still be called.
 * A null handle is allowed and does nothing. Destroy every handle before
 * unloading the library. */
VELTO_API void VELTO_CALL VeltoDestruct(VeltoHandle handle);

/* Starts (or restarts) the client. A running client is first torn down as
 * VeltoDestruct does, so its last status reports go to its old callback.
 *
 * user:         passed back as the first argument of both callbacks.
 * mountPoint:   zero-terminated; the library keeps this pointer, not a copy,
 *               so the string must stay valid and unchanged until the client
 *               thread has ended (status 0 after VeltoStop, or the next
 *               VeltoStart or VeltoDestruct has returned). A null mount point,
 *               or one whose request would not fit the 2048-byte buffer
 *               (mount point plus decimal client number over 1959
 *               characters), is refused with status -8.
 * clientNumber: sent in the User-Agent line after "#".
 * onData:       may be null: the bytes are then received and discarded.
 * onStatus:     may be null: the status is then visible through
 *               VeltoStatus only.
 *
 * Returns once the client thread exists, or after status -8 has been
 * reported on the calling thread. */
VELTO_API void VELTO_CALL VeltoStart(VeltoHandle handle, void *user,
                                     char *mountPoint, int clientNumber,
                                     VeltoDataCallback onData,
                                     VeltoStatusCallback onStatus);

/* Asks the client to end and returns at once. When it returns, no data
 * callback is running and none follows. The client thread ends within about
 * two seconds, reporting its last status and then 0 through the status
 * callback. Harmless on a handle that never started, or twice. */
VELTO_API void VELTO_CALL VeltoStop(VeltoHandle handle);

/* The current status code (0 on a new handle). Takes no lock. */
VELTO_API int VELTO_CALL VeltoStatus(VeltoHandle handle);

/* The release date: 2018-06-19. Returned by value as the 4-byte record. */
VELTO_API VeltoVersionInfo VELTO_CALL VeltoVersion(void);

/* Fetches the caster's source table on the caller's thread and calls
 * onMountPoint once for every STR record, in order. Returns the number of
 * calls; 0 for a null callback (no network activity), when the caster
 * cannot be resolved or reached, or when its answer is not a source table.
 * Blocks for up to about 8 seconds for the connect and 8 seconds for each
 * receive that waits. May run on several threads at once, beside running
 * clients, and may be called from inside its own callback. */
VELTO_API int VELTO_CALL VeltoSourceTable(VeltoSourceCallback onMountPoint);

#ifdef __cplusplus
}
#endif

#endif /* VELTO_H */
