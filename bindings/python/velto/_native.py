"""The library's C interface, declared for ctypes, and how it is found.

Nothing here is friendly: the functions take and return exactly what the C
functions do. Every function and both client callbacks use the C calling
convention, which ctypes.CDLL and ctypes.CFUNCTYPE give on every platform
(on 32-bit Windows too, where WinDLL/WINFUNCTYPE would corrupt the stack).
CDLL also releases the GIL around each call, which the library needs: its
VeltoStop waits for a data callback in progress, and that callback needs the
GIL to finish.
"""
import ctypes
import os
import struct
import sys
import threading

if sys.platform == "win32":
    # The library never initialises Winsock itself; importing the socket
    # module does (WSAStartup), before any client or table query runs.
    import socket  # noqa: F401

# Data callback: (user, bytes, count). The bytes are declared as a plain
# pointer, not c_char_p, so that ctypes does not cut the block at its first
# zero byte; they are copied with string_at while the call lasts.
DataCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)
StatusCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int)
# Source callback: one zero-terminated name, copied by ctypes into bytes.
SourceCallback = ctypes.CFUNCTYPE(None, ctypes.c_char_p)


class VersionInfo(ctypes.Structure):
    """The 4-byte release record, returned by value (on i386 Linux through a
    hidden pointer, which ctypes handles when the result type is a Structure)."""
    _fields_ = [("year", ctypes.c_ushort), ("month", ctypes.c_ubyte), ("day", ctypes.c_ubyte)]


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded from any place that was tried."""


_PROTOTYPES = {
    "VeltoConstruct": (ctypes.c_void_p, []),
    "VeltoDestruct": (None, [ctypes.c_void_p]),
    "VeltoStart": (None, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int,
                          DataCallback, StatusCallback]),
    "VeltoStop": (None, [ctypes.c_void_p]),
    "VeltoStatus": (ctypes.c_int, [ctypes.c_void_p]),
    "VeltoVersion": (VersionInfo, []),
    "VeltoSourceTable": (ctypes.c_int, [SourceCallback]),
}

_loaded = {}
_loading = threading.Lock()


def default_names():
    """The library's file names for this interpreter, in search order."""
    if sys.platform == "win32":
        return ["VeltoClient.dll"]
    return ["libVeltoClient%d.so" % (struct.calcsize("P") * 8)]


def places_to_try(library=None):
    """(what to hand to the loader, how to describe it) for each place that a
    load tries: the explicit path, else VELTO_LIBRARY, else the system's
    search path. A place that was named is never silently replaced by another
    library found elsewhere."""
    if library is not None:
        return [(os.fspath(library), "the path given as library=")]
    from_environment = os.environ.get("VELTO_LIBRARY")
    if from_environment:
        return [(from_environment, "the path in VELTO_LIBRARY")]
    search = "the system's library search path (LD_LIBRARY_PATH=%r, then the linker cache)" % (
        os.environ.get("LD_LIBRARY_PATH", ""))
    return [(name, search) for name in default_names()]


def load(library=None):
    """The declared library: one CDLL per place, loaded once and kept for the
    life of the process, because clients must be destroyed before a library
    is unloaded and this module never unloads one."""
    failures = []
    for target, description in places_to_try(library):
        with _loading:
            if target in _loaded:
                return _loaded[target]
            try:
                native = ctypes.CDLL(target)
                declare(native)
            except (OSError, AttributeError) as error:
                failures.append("%s (%s): %s" % (target, description, error))
                continue
            _loaded[target] = native
            return native
    raise LibraryNotFoundError(
        "cannot load the VeltoClient library; tried " + "; ".join(failures) +
        ". Pass library=PATH or set VELTO_LIBRARY to the library's path.")


def declare(native):
    for name, (result, arguments) in _PROTOTYPES.items():
        function = getattr(native, name)
        function.restype = result
        function.argtypes = arguments
