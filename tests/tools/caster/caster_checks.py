#!/usr/bin/env python3
"""Raw-socket checks of velto-caster's answers, as a client other than the
library sees them. Frames are checked with a CRC-24Q written here, apart
from the tools' own, so a shared mistake cannot hide.

    caster_checks.py GROUP [PORT]
"""
import os
import resource
import socket
import sys
import threading
import time

PORT = 2101
LIBRARY_CREDENTIAL = "cXdlcnQ6eXVpb3A="
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import stream_checks  # noqa: E402
from stream_checks import check  # noqa: E402


def crc24q(data):
    crc = 0
    for byte in data:
        crc ^= byte << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF


def split_frames(data):
    """Frames from the start of data: (types, bytes used, clean). clean is
    False when anything other than a valid frame stands between frames."""
    types, pos = [], 0
    while pos + 3 <= len(data):
        if data[pos] != 0xD3:
            return types, pos, False
        length = ((data[pos + 1] & 3) << 8) | data[pos + 2]
        end = pos + 3 + length + 3
        if end > len(data):
            break
        body = data[pos:pos + 3 + length]
        if crc24q(body) != int.from_bytes(data[end - 3:end], "big"):
            return types, pos, False
        if length >= 2:
            types.append((data[pos + 3] << 4) | (data[pos + 4] >> 4))
        pos = end
    return types, pos, True


def stream_request(mount, credential=LIBRARY_CREDENTIAL, client=7):
    text = "GET /%s HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0 #%d\r\n" % (mount, client)
    if credential is not None:
        text += "Authorization: Basic %s\r\n" % credential
    return (text + "\r\n").encode()


TABLE_REQUEST = b"GET / HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0\r\nConnection: close\r\n\r\n"


def exchange(request, read_seconds=3.0):
    """Sends request; returns (bytes received, closed by the caster)."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
        s.sendall(request)
        data, closed = b"", False
        deadline = time.monotonic() + read_seconds
        while time.monotonic() < deadline:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                closed = True
                break
            data += chunk
        return data, closed


def receive_stream(seconds, mount="RTCM3_DEMO"):
    """Asks for a stream and reads it for the given time: (bytes, seconds
    until the caster closed or None, seconds until the last bytes came)."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
        s.sendall(stream_request(mount))
        start = time.monotonic()
        data, closed_after, last_data = b"", None, None
        while time.monotonic() - start < seconds:
            s.settimeout(0.1)
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                closed_after = time.monotonic() - start
                break
            data += chunk
            last_data = time.monotonic() - start
        return data, closed_after, last_data


def read_stream(seconds, mount="RTCM3_DEMO"):
    """Stream answer: (answer head, stream bytes, closed by caster, seconds
    until closed)."""
    data, closed_after, _ = receive_stream(seconds, mount)
    head, _, body = data.partition(b"\r\n")
    return head + b"\r\n", body, closed_after is not None, closed_after


# Group: the answers a client gets for what it asks. A library client,
# an NTRIP client with a wrong password and one that asks for a stream the
# caster does not carry must each see what a real caster would tell them.
def answers():
    head, body, closed, _ = read_stream(2.0)
    # An NTRIP 1 client takes every byte after the status line as data.
    check("library credential is answered with the line ICY 200 OK alone",
          head == b"ICY 200 OK\r\n", repr(head))
    types, used, clean = split_frames(body)
    check("stream is nothing but RTCM 3 frames with good CRC-24Q", clean and used > 0,
          "used %d of %d" % (used, len(body)))
    check("stream carries 1005, 1074, 1084 and 1230",
          {1005, 1074, 1084, 1230} <= set(types), str(sorted(set(types))))
    check("stream connection stays open", not closed)

    data, closed = exchange(stream_request("RTCM3_DEMO", credential="d3Jvbmc6d3Jvbmc="))
    check("another credential gets 401", data.startswith(b"HTTP/1.1 401 Unauthorized\r\n"), repr(data[:40]))
    check("and the connection is closed", closed)
    data, closed = exchange(stream_request("RTCM3_DEMO", credential=None))
    check("no credential gets 401", data.startswith(b"HTTP/1.1 401"), repr(data[:40]))

    data, closed = exchange(stream_request("NOT_HERE"))
    check("unknown mount point gets the source table", data.startswith(b"SOURCETABLE 200 OK\r\n"),
          repr(data[:40]))
    check("that table lists the offered mount points",
          b"\r\nSTR;RTCM3_DEMO;" in data and b"\r\nSTR;SECOND;" in data)
    check("and ends with ENDSOURCETABLE, then the caster closes",
          data.endswith(b"ENDSOURCETABLE\r\n") and closed)

    data, closed = exchange(TABLE_REQUEST)
    # The library reads the status line with one 20-byte receive.
    check("source-table request: first 20 bytes are the status line",
          data[:20] == b"SOURCETABLE 200 OK\r\n", repr(data[:20]))
    head, _, table = data.partition(b"\r\n\r\n")
    length = [l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")]
    check("Content-Length matches the table",
          len(length) == 1 and int(length[0].split(b":")[1]) == len(table))
    records = [l.split(b";")[1] for l in table.split(b"\r\n") if l.startswith(b"STR;")]
    check("records in the order given", records == [b"RTCM3_DEMO", b"SECOND"], str(records))

    data, closed = exchange(b"SOURCE secret /RTCM3_DEMO\r\nSource-Agent: NTRIP x\r\n\r\n")
    check("a method other than GET gets 501", data.startswith(b"HTTP/1.1 501"), repr(data[:40]))


# Group: several rovers on one caster at once, as at any real caster.
def concurrent():
    results = [None] * 6

    def one(index):
        results[index] = read_stream(1.5, "RTCM3_DEMO" if index % 2 else "SECOND")

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    good = [r for r in results if r and r[0] == b"ICY 200 OK\r\n" and split_frames(r[1])[1] > 0]
    check("six clients at once all stream", len(good) == len(results))


# Group: the misbehaviour switches that make reconnection visible.
# Names as velto may ask for them: any printable ASCII without spaces,
# a path-like one as the README shows among them.
ANY_NAMES = ["RTCM3/A", "a;b", "!~%41"]


def any_names():  # caster started with --mount for each of ANY_NAMES
    for mount in ANY_NAMES:
        head, body, closed, _ = read_stream(1.0, mount=mount)
        check("mount point %s is streamed" % mount,
              head == b"ICY 200 OK\r\n" and len(body) > 0 and not closed, repr(head))


def dropped():  # caster started with --drop-every 1
    _, body, closed, after = read_stream(6.0)
    check("--drop-every 1 closes the stream after about a second",
          closed and 0.8 <= after <= 3.0, "closed=%s after=%s" % (closed, after))
    with open(sys.argv[3], "rb") as recorded:
        check("--record holds exactly the bytes the client received", recorded.read() == body)


def limited_drops():  # caster started with --drop-every 1 --drops 1
    _, _, first_closed, _ = read_stream(4.0)
    _, body, second_closed, _ = read_stream(2.5)
    check("--drops 1: the first stream is dropped", first_closed)
    check("--drops 1: the next one is not", not second_closed and len(body) > 0)


def stalled():  # caster started with --stall-after 1 --rate 20000
    _, closed_after, last_data = receive_stream(3.5)
    closed = closed_after is not None
    check("--stall-after 1: data stops after about a second",
          last_data is not None and 0.8 <= last_data <= 2.5, str(last_data))
    check("--stall-after 1: but the link stays open", not closed)


def rate():  # caster started with --rate 4000
    _, body, _, _ = read_stream(3.25)
    per_second = len(body) / 3.0  # the answer gap takes a quarter second
    check("--rate 4000 streams roughly 4000 bytes per second", 2000 <= per_second <= 6000,
          "%.0f B/s" % per_second)


def cpu_seconds(pid):
    with open("/proc/%s/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def flood():  # caster started under ulimit -n 256; its pid in argv[3]
    """1,500 connections that never send a request, more than the caster has
    descriptors for: it must neither spin nor stop answering."""
    pid = sys.argv[3]
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, max(4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1])))
    idle = []
    for _ in range(1500):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", PORT))
        idle.append(s)
    time.sleep(2)  # the connects the backlog dropped come again after 1 s
    began, cpu_before = time.monotonic(), cpu_seconds(pid)
    try:
        answer, _ = exchange(TABLE_REQUEST, read_seconds=8)
    except OSError as error:  # not even connected within 5 s
        answer = str(error).encode()
    took = time.monotonic() - began
    check("a source-table request among 1,500 idle connections is answered (%.1f s)" % took,
          answer.startswith(b"SOURCETABLE 200 OK") and b"ENDSOURCETABLE" in answer, answer[:40])
    time.sleep(max(0, 5 - took))
    used = (cpu_seconds(pid) - cpu_before) / (time.monotonic() - began)
    # Accepting and evicting the connects that the backlog dropped and the
    # kernel retries is real work: a fifth of a core or more under a
    # sanitizer or on an emulated machine. A spinning loop takes the whole
    # core, so half of one tells the two apart.
    check("the caster does not spin meanwhile (%.0f %% of a core)" % (used * 100), used < 0.5)
    for s in idle:
        s.close()


if __name__ == "__main__":
    if len(sys.argv) > 2:
        PORT = int(sys.argv[2])
    globals()[sys.argv[1]]()
    sys.exit(1 if stream_checks.failures else 0)
