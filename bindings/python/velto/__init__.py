"""velto: Python host of the VeltoClient NTRIP client library.

    import velto
    with velto.Client() as client:
        client.start("RTCM3_DEMO", client_number=7, on_data=handle_bytes)
        client.wait_for(velto.Status.STREAMING, timeout=20)

What the library keeps a pointer to, and who owns it: for every start, the
mount-point buffer and the two ctypes callback objects belong to one _Run
object. The client holds its current _Run until the next start or close
has returned, because only then has the library's client thread ended: a
later start (VeltoStart) and close (VeltoDestruct) both wait for it. A
client that is garbage-collected without close hands its handle and its
_Run to a reaper thread, which stops and destroys it and only then lets go
of the _Run; clients still open at interpreter exit are closed by atexit.

On Windows a callback that has not returned 8 s after close (or a restarting
start) asked its client to end is terminated by the library, with whatever
locks it holds: a callback should hand the bytes over and return.
"""
import atexit
import collections
import ctypes
import datetime
import enum
import logging
import queue
import threading
import weakref

from . import _native
from ._native import LibraryNotFoundError

__all__ = ["Status", "Client", "version", "source_table", "VeltoError", "ReentrancyError",
           "BlockQueueOverflow", "LibraryNotFoundError"]

log = logging.getLogger("velto")


class Status(enum.IntEnum):
    IDLE = 0
    STREAMING = 1
    CONNECT_FAILED = -2
    NO_ANSWER = -3
    STREAM_LOST = -4
    NOT_FOUND = -5
    UNAUTHORISED = -6
    NOT_IMPLEMENTED = -7
    UNRESOLVED = -8


class VeltoError(Exception):
    """A misuse of a client, such as a call on a closed one."""


class ReentrancyError(VeltoError, RuntimeError):
    """A call from inside a callback that would deadlock: stop, start, close
    or wait_for from the data callback, or start, close or wait_for from the
    status callback of the same client. The library runs the data callback
    with the client's lock held, which stop takes, and start and close wait
    for the very thread that makes the callbacks."""


class BlockQueueOverflow(VeltoError):
    """Raised by Client.blocks() where blocks were lost because the queue
    bound given to start (max_queued) was reached. The blocks queued before
    the loss have been yielded; iteration may go on after this."""

    def __init__(self, lost_blocks, lost_bytes):
        super().__init__("%d blocks (%d bytes) lost: the block queue was full" % (lost_blocks, lost_bytes))
        self.lost_blocks = lost_blocks
        self.lost_bytes = lost_bytes


def version(library=None):
    """The library's release date."""
    record = _native.load(library).VeltoVersion()
    return datetime.date(record.year, record.month, record.day)


def source_table(library=None):
    """The caster's mount points, in the caster's order. Blocks for up to
    about 8 s for the connect and 8 s for each receive that waits; [] when
    the caster cannot be reached or sends no table."""
    names = []
    collect = _native.SourceCallback(lambda name: names.append(_decode(name)))
    _native.load(library).VeltoSourceTable(collect)
    return names


def _encode(mount_point):
    if isinstance(mount_point, str):
        data = mount_point.encode("utf-8", "surrogateescape")
    else:
        data = bytes(mount_point)
    if b"\0" in data:
        raise ValueError("a mount point cannot hold a zero byte")
    return data


def _decode(name):
    return name.decode("utf-8", "surrogateescape")


class _Lost:
    """Stands in the block queue where blocks were dropped."""

    def __init__(self, block):
        self.blocks = 1
        self.bytes = len(block)


class _Shared:
    """State of one client that its callbacks and its host threads share,
    guarded by `changed`. Callbacks take only this lock, and no host call
    holds it while calling into the library."""

    def __init__(self):
        self.changed = threading.Condition()
        self.current = None       # the _Run of the latest start
        self.status = Status.IDLE    # as last reported to the current run
        self.reported = Status.IDLE  # the same, once on_status has returned
        self.error = None         # first unreported exception of a host callback
        self.inside = threading.local()  # .run/.kind while a callback of this client runs

    def keep(self, error, kind):
        # Kept before it is logged: whoever sees the log may call the client
        # at once, and must then get the exception.
        with self.changed:
            if self.error is None:
                self.error = error
        log.error("exception in the %s callback of a velto client", kind, exc_info=error)

    def raise_kept(self):
        with self.changed:
            error, self.error = self.error, None
        if error is not None:
            raise error


class _Run:
    """One start: what the library points to, and where its reports go."""

    def __init__(self, shared, mount_point, on_data, on_status, max_queued):
        self.shared = shared
        self.mount_point = ctypes.create_string_buffer(mount_point)
        self.on_data = on_data
        self.on_status = on_status
        self.max_queued = max_queued
        self.blocks = collections.deque()
        self.queued = 0
        self.finished = False  # no block will be queued any more
        self.ended = False     # no status will be reported any more
        self.waiters = []      # [wanted status, reached] of each wait_for
        self.starter = None    # the thread inside VeltoStart, which gets a refusal
        self.data_callback = _native.DataCallback(self._deliver)
        self.status_callback = _native.StatusCallback(self._report)

    # Both callbacks run on the library's client thread (a refusal's status on
    # the starting thread). They never block: the data callback holds the
    # client's lock, and stop() waits for that lock.
    def _deliver(self, user, pointer, count):
        block = ctypes.string_at(pointer, count) if count > 0 else b""
        self._call_host("data", self.on_data or self._enqueue, block)

    def _report(self, user, value):
        status = Status(value)
        shared = self.shared
        with shared.changed:
            if shared.current is self:
                shared.status = status
        if self.on_status is not None:
            self._call_host("status", self.on_status, status)
        # Waiters wake once the host's callback has seen the status too.
        with shared.changed:
            if shared.current is self:
                shared.reported = status
            for waiter in self.waiters:
                waiter[1] = waiter[1] or waiter[0] == status
            if status == Status.IDLE or threading.get_ident() == self.starter:
                self.ended = True
                self.finished = True
            shared.changed.notify_all()

    def _call_host(self, kind, function, argument):
        inside = self.shared.inside
        outer = getattr(inside, "kind", None), getattr(inside, "run", None)
        inside.kind, inside.run = kind, self
        try:
            function(argument)
        except BaseException as error:  # nothing may unwind into the library
            self.shared.keep(error, kind)
        finally:
            inside.kind, inside.run = outer

    def _enqueue(self, block):
        with self.shared.changed:
            if self.max_queued is None or self.queued < self.max_queued:
                self.blocks.append(block)
                self.queued += 1
            elif self.blocks and isinstance(self.blocks[-1], _Lost):
                self.blocks[-1].blocks += 1
                self.blocks[-1].bytes += len(block)
            else:
                self.blocks.append(_Lost(block))
            self.shared.changed.notify_all()

    def finish(self):
        with self.shared.changed:
            self.finished = True
            self.shared.changed.notify_all()


class Client:
    """One stream client (VeltoConstruct). Use it as a context manager:
    leaving the block stops the client, waits for its thread to end and
    destroys it (close)."""

    def __init__(self, library=None):
        self._native = _native.load(library)
        self._shared = _Shared()
        self._calls = threading.Lock()  # calls on one handle must not overlap
        _start_reaper()
        self._handle = self._native.VeltoConstruct()
        _open_clients.add(self)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    @property
    def status(self):
        """The current status, as the library last reported it (IDLE after a
        start until the client thread reports)."""
        return self._shared.status

    def start(self, mount_point, client_number=0, on_data=None, on_status=None, max_queued=None):
        """Starts or restarts the client (a running one is first stopped and
        waited for). on_data(bytes) gets a copy of every block; without it
        the blocks queue up for blocks(), without bound unless max_queued is
        given. on_status(Status) gets every change. Both are called on the
        library's thread. A refused start (mount point too long, caster name
        not resolved) reports Status.UNRESOLVED before start returns."""
        self._refuse_inside_callbacks("start", ("data", "status"))
        self._shared.raise_kept()
        run = _Run(self._shared, _encode(mount_point), on_data, on_status, max_queued)
        with self._calls:
            handle = self._open_handle()
            with self._shared.changed:
                previous, self._shared.current = self._shared.current, run
                self._shared.status = self._shared.reported = Status.IDLE
            run.starter = threading.get_ident()
            self._native.VeltoStart(handle, None, run.mount_point, int(client_number),
                                    run.data_callback, run.status_callback)
            run.starter = None
            # Only now has the previous run's thread ended, so its callbacks
            # and mount point may go.
            if previous is not None:
                previous.finish()

    def stop(self):
        """Asks the client to stop and returns at once; no data callback runs
        after it returns. The status goes to IDLE within about 2 s. Allowed
        from inside the status callback, not from the data callback."""
        self._refuse_inside_callbacks("stop", ("data",))
        if getattr(self._shared.inside, "kind", None) == "status":
            # The host thread may be in start() or close() right now, holding
            # the call lock and waiting for this very thread: no lock here.
            self._native.VeltoStop(self._handle)
            self._shared.inside.run.finish()
            return
        with self._calls:
            self._native.VeltoStop(self._open_handle())
            if self._shared.current is not None:
                self._shared.current.finish()
        self._shared.raise_kept()

    def wait_for(self, status, timeout=None):
        """True once the status is `status` or has passed through it since
        the call (and on_status has returned for it); False when `timeout` seconds pass first, or when the run
        can report nothing more (stopped and IDLE, or refused)."""
        self._refuse_inside_callbacks("wait_for", ("data", "status"))
        self._shared.raise_kept()
        self._open_handle()
        status = Status(status)
        shared = self._shared
        with shared.changed:
            run = shared.current
            if shared.reported == status:
                return True
            if run is None:
                return False
            waiter = [status, False]
            run.waiters.append(waiter)
            try:
                shared.changed.wait_for(lambda: waiter[1] or run.ended, timeout)
            finally:
                run.waiters.remove(waiter)
        self._shared.raise_kept()
        return waiter[1]

    def blocks(self, timeout=None):
        """Iterates over the received blocks of a start without on_data.
        Ends once the client was stopped and every block has been yielded,
        or when no block arrived for `timeout` seconds. Raises
        BlockQueueOverflow where blocks were lost to max_queued."""
        self._refuse_inside_callbacks("blocks", ("data", "status"))
        self._shared.raise_kept()
        self._open_handle()
        run = self._shared.current
        if run is None or run.on_data is not None:
            raise VeltoError("blocks() needs a client started without on_data")
        return self._iterate(run, timeout)

    def _iterate(self, run, timeout):
        changed = self._shared.changed
        while True:
            self._shared.raise_kept()
            with changed:
                if not changed.wait_for(lambda: run.blocks or run.finished, timeout):
                    return
                if not run.blocks:
                    return
                block = run.blocks.popleft()
                if isinstance(block, _Lost):
                    raise BlockQueueOverflow(block.blocks, block.bytes)
                run.queued -= 1
            yield block

    def close(self):
        """Stops the client, waits for its thread to end and destroys it.
        Harmless when already closed."""
        self._refuse_inside_callbacks("close", ("data", "status"))
        with self._calls:
            if self._handle is not None:
                self._native.VeltoStop(self._handle)
                self._native.VeltoDestruct(self._handle)
                self._handle = None
                with self._shared.changed:
                    run, self._shared.current = self._shared.current, None
                    if run is not None:
                        run.finished = run.ended = True
                    self._shared.changed.notify_all()
        _open_clients.discard(self)
        self._shared.raise_kept()

    def __del__(self):
        handle = getattr(self, "_handle", None)
        if handle is not None:
            _reap(self._native, handle, self._shared.current)

    def _open_handle(self):
        if self._handle is None:
            raise VeltoError("the client is closed")
        return self._handle

    def _refuse_inside_callbacks(self, method, kinds):
        kind = getattr(self._shared.inside, "kind", None)
        if kind in kinds:
            raise ReentrancyError("%s() called from inside the %s callback of the same client" % (method, kind))


# A forgotten client is destroyed on a thread of its own, never on whichever
# thread the garbage collector happens to run on: that may be the client's
# own thread inside its data callback, where stopping would deadlock.
# __del__ may run on any thread at any allocation, the reaper's own included,
# so it takes no lock: it only puts on a SimpleQueue, whose put is safe there
# (a Queue's put takes the lock that the reaper holds inside its get). The
# reaper is started by Client(), never from __del__.
_open_clients = weakref.WeakSet()
_abandoned = queue.SimpleQueue()
_reaper = None
_reaper_start = threading.Lock()


def _start_reaper():
    global _reaper
    if _reaper is not None:
        return
    with _reaper_start:
        if _reaper is None:
            reaper = threading.Thread(target=_destroy_abandoned, name="velto-reaper", daemon=True)
            reaper.start()
            _reaper = reaper


def _reap(native, handle, run):
    _abandoned.put((native, handle, run))


def _destroy_abandoned():
    while True:
        item = _abandoned.get()
        if isinstance(item, threading.Event):
            item.set()  # everything abandoned before it has been destroyed
            continue
        native, handle, run = item
        native.VeltoStop(handle)
        native.VeltoDestruct(handle)
        del run, item


@atexit.register
def _close_at_exit():
    # No client thread may call into an interpreter that is shutting down.
    for client in list(_open_clients):
        try:
            client.close()
        except BaseException:
            log.exception("closing a velto client at exit")
    if _reaper is not None:
        # Waits for the clients abandoned so far, in the reaper's own order.
        done = threading.Event()
        _abandoned.put(done)
        done.wait()
