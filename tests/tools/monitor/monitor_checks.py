#!/usr/bin/env python3
"""Checks of velto monitor from outside, as a browser, a script or a hostile
client meets it (check_velto_monitor.sh runs them).

    monitor_checks.py http PORT MOUNT...
        the page comes with the state of every mount point in it; requests
        that must be refused, each with its error status, while the monitor
        goes on serving; the limit of event streams (503 beyond it, while /
        and /metrics still answer)
    monitor_checks.py hosts PORT ALLOWED
        a monitor on 0.0.0.0 still checks Host: loopback names, the address
        it was reached at and ALLOWED (its --allow-host) pass, others get 403
    monitor_checks.py siege PORT PID
        many ranges in one request, 200 idle and 16 slow-header clients: the
        monitor PID stays small and answers /metrics within 2 s, and SIGINT
        ends it within 2 s while those clients hang on
    monitor_checks.py metrics PORT FILE REFUSED MOUNT...
        /metrics saved to FILE (for promtool), its figures per mount point,
        and why the refused mount point stopped
    monitor_checks.py events EVENTS SSE CASTER_LOG SENT_DIR OUT_DIR EXIT MOUNT...
        the messages of /events are the lines of --json; every --output-dir
        file holds exactly what the caster sent; the process's exit status
        EXIT is the one the statuses call for
"""
import json
import os
import re
import signal
import socket
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from stream_checks import check, connections, is_sent_so_far  # noqa: E402
import stream_checks  # noqa: E402

HOST = "127.0.0.1"
# The peak memory the monitor may reach whatever a client sends; a build with
# sanitizers has tens of MB of shadow memory besides.
MEMORY_BOUND_MB = 200 if os.environ.get("VELTO_SANITIZE") else 50


def raw_request(port, data, timeout=5, source=None):
    """Sends bytes as they are; returns the status code and the head."""
    with socket.create_connection((HOST, port), timeout=timeout,
                                  source_address=(source, 0) if source else None) as s:
        s.sendall(data)
        answer = b""
        try:
            while b"\r\n\r\n" not in answer:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        except socket.timeout:
            pass
    head = answer.split(b"\r\n\r\n")[0].decode("latin-1")
    found = re.match(r"HTTP/1\.1 (\d{3})", head)
    return (int(found.group(1)) if found else None), head


def get(port, path, host="127.0.0.1", source=None):
    return raw_request(port, b"GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
                       % (path.encode(), host.encode()), source=source)


def fetch(port, path):
    with urllib.request.urlopen("http://%s:%s%s" % (HOST, port, path), timeout=5) as answer:
        return answer.read()


def open_event_stream(port):
    s = socket.create_connection((HOST, port), timeout=5)
    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(4096)
        if not chunk:
            break
        head += chunk
    return s, head.split(b"\r\n")[0].decode("latin-1")


# --- what a hostile or broken client sends ------------------------------------
def served_state(page):
    """The state in the page's data block, or None."""
    found = re.search(r'<script id="state" type="application/json">(.*?)</script>', page, re.S)
    return json.loads(found.group(1)) if found and found.group(1) else None


def http(port, *mounts):
    port = int(port)
    status, head = get(port, "/")
    check("/ is the page, with its security headers",
          status == 200 and "text/html" in head and "Content-Security-Policy: default-src 'none'" in head
          and "script-src 'self'" in head and "X-Content-Type-Options: nosniff" in head, head)
    # What a one-shot screenshot gets: the page alone, its state already in.
    state = served_state(fetch(port, "/").decode("utf-8"))
    check("/ carries the state of every mount point, names as data",
          state is not None and [m["mount"] for m in state["mounts"]] == list(mounts),
          state and [m["mount"] for m in state["mounts"]])
    status, head = raw_request(port, b"HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    check("HEAD / answers 200", status == 200, head)
    for method in ("POST", "PUT", "DELETE", "OPTIONS", "PATCH"):
        status, head = raw_request(port, b"%s / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4\r\n"
                                   b"Connection: close\r\n\r\nabcd" % method.encode())
        check("%s: 405 with Allow: GET, HEAD" % method, status == 405 and "Allow: GET, HEAD" in head, head)
    refused = [
        ("a request line that is not HTTP", b"GARBAGE\r\n\r\n", 400),
        ("an unknown method", b"BREW / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400),
        ("a 9000-byte target", b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 414),
        ("a 9000-byte header line", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"b" * 9000
         + b"\r\n\r\n", 400),
        ("2000 header lines", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
         + b"".join(b"X-%d: y\r\n" % i for i in range(2000)) + b"\r\n", 431),
        ("a Host that is not loopback (a rebound name)", b"GET /api/state HTTP/1.1\r\nHost: evil.example"
         b"\r\n\r\n", 403),
        ("an unknown path", b"GET /../../etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404),
    ]
    for what, request, expected in refused:
        status, head = raw_request(port, request)
        check("%s: %d" % (what, expected), status == expected, head.splitlines()[:1])
    check("still serving after all that", get(port, "/")[0] == 200)

    state = json.loads(fetch(port, "/api/state"))
    limit, already = state["event_streams"]["limit"], state["event_streams"]["open"]
    streams = [open_event_stream(port) for _ in range(limit - already)]
    check("%d event streams open up to the limit" % len(streams),
          all(" 200 " in line for _, line in streams), [line for _, line in streams])
    extra, line = open_event_stream(port)
    check("one more event stream: 503", " 503 " in line, line)
    extra.close()
    # With every thread held by a stream these would wait for one to close,
    # beyond the 5-s timeout of the request.
    page, metrics = get(port, "/")[0], get(port, "/metrics")[0]
    check("at the limit, / and /metrics still answer", page == 200 and metrics == 200, (page, metrics))
    # Closed right after the stats of every mount point went out, the streams
    # have nothing to write for a while: their places must come free without
    # that write.
    first = streams[0][0]
    first.settimeout(10)
    seen = b""
    while b'"event":"stats"' not in seen:
        seen += first.recv(65536)
    first.settimeout(0.3)
    try:
        while first.recv(65536):
            pass
    except socket.timeout:
        pass
    for s, _ in streams:
        s.close()
    closed_at = time.monotonic()
    while time.monotonic() - closed_at < 10 and \
            json.loads(fetch(port, "/api/state"))["event_streams"]["open"] > already:
        time.sleep(0.05)
    took = time.monotonic() - closed_at
    check("closed streams are noticed within about a second (%.2f s)" % took, took <= 0.75)
    again, line = open_event_stream(port)
    check("closed streams free their places", " 200 " in line, line)
    again.close()


# --- a monitor exposed on 0.0.0.0 ---------------------------------------------
def hosts(port, allowed):
    port = int(port)
    for host in ("127.0.0.1:%d" % port, "localhost", "[::1]:%d" % port, allowed, allowed.upper() + ":80"):
        status, head = get(port, "/api/state", host)
        check("Host %s: 200" % host, status == 200, head.splitlines()[:1])
    for host in ("evil.example", "evil.example:%d" % port, allowed + ".evil.example", "127.0.0.1.evil.example"):
        status, head = get(port, "/api/state", host)
        check("Host %s (a rebound name): 403" % host, status == 403, head.splitlines()[:1])


# --- what an abusive client does to memory, threads and shutdown --------------
def peak_mb(pid):
    with open("/proc/%s/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1)) / 1024


def ended(pid):
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


def timed_get(port, path, source=None):
    began = time.monotonic()
    status, _ = get(port, path, source=source)
    return status, time.monotonic() - began


def siege(port, pid):
    port = int(port)
    # 2,700 ranges of the whole file in one 8-kB header, on four connections
    # that read nothing: a server that honours them builds gigabytes.
    ranges = b"Range: bytes=" + b",".join([b"0-"] * 2700) + b"\r\n"
    greedy = []
    for _ in range(4):
        s = socket.create_connection((HOST, port), timeout=5)
        s.sendall(b"GET /chart.js HTTP/1.1\r\nHost: 127.0.0.1\r\n" + ranges + b"\r\n")
        greedy.append(s)
    time.sleep(2)
    check("2,700 ranges on four connections: under %d MB (peak %.0f MB)" % (MEMORY_BOUND_MB, peak_mb(pid)),
          peak_mb(pid) < MEMORY_BOUND_MB)
    status, head = raw_request(port, b"GET /chart.js HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=0-,0-\r\n"
                               b"Connection: close\r\n\r\n")
    check("several ranges: the whole file, 200", status == 200, head.splitlines()[:1])
    status, head = raw_request(port, b"GET /chart.js HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=0-99\r\n"
                               b"Connection: close\r\n\r\n")
    check("one range: 206 with that range", status == 206 and "Content-Length: 100" in head, head.splitlines()[:1])
    for s in greedy:
        s.close()

    # Clients that ask for the chart's script again and again and read none
    # of it: they hold the threads that answer them, but those of one
    # address only, so a scraper elsewhere (127.0.0.2) is still answered.
    unread = []
    for _ in range(16):
        s = socket.create_connection((HOST, port), timeout=5)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(b"GET /chart.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 20)
        unread.append(s)
    time.sleep(2)
    status, took = timed_get(port, "/metrics", source="127.0.0.2")
    check("/metrics from another address while 16 clients read nothing: 200 within 2 s (%s, %.2f s)"
          % (status, took), status == 200 and took <= 2)
    for s in unread:
        s.close()

    # Connections that send nothing, and others that send their head a byte
    # a second; none of them may hold up a scrape or the page.
    idle, slow = [], []
    for _ in range(200):
        try:
            idle.append(socket.create_connection((HOST, port), timeout=5))
        except OSError:
            pass
    for _ in range(16):
        s = socket.create_connection((HOST, port), timeout=5)
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        slow.append(s)
    dripping = threading.Event()
    dripping.set()

    def drip():
        while dripping.is_set():
            for s in slow:
                try:
                    s.send(b"X")
                except OSError:
                    pass
            time.sleep(1)

    dripper = threading.Thread(target=drip, daemon=True)
    dripper.start()
    time.sleep(3)
    for path in ("/metrics", "/"):
        status, took = timed_get(port, path)
        check("%s with 200 idle and 16 slow clients: 200 within 2 s (%s, %.2f s)" % (path, status, took),
              status == 200 and took <= 2)

    os.kill(int(pid), signal.SIGINT)
    signalled = time.monotonic()
    while not ended(pid) and time.monotonic() - signalled < 20:
        time.sleep(0.02)
    took = time.monotonic() - signalled
    check("SIGINT ends the monitor within 2 s, whatever its clients do (%.2f s)" % took, took <= 2)
    dripping.clear()
    dripper.join()
    for s in idle + slow:
        s.close()


# --- /metrics -----------------------------------------------------------------
def metrics(port, path, refused, *mounts):
    text = fetch(int(port), "/metrics").decode("utf-8")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    samples = {}
    for line in text.splitlines():
        found = re.match(r'^(\w+)(\{.*\})? (\S+)$', line)
        if found:
            samples[(found.group(1), found.group(2) or "")] = float(found.group(3))

    def label(mount):
        return mount.replace("\\", "\\\\").replace('"', '\\"')

    endings = {labels: value for (name, labels), value in samples.items() if name == "velto_mount_ending"}
    check("%s: velto_mount_ending says why it stopped, and only it has one" % refused,
          endings == {'{mount="%s",reason="not_found"}' % label(refused): 1.0}, endings)
    for mount in mounts:
        of = {k: v for k, v in samples.items() if 'mount="%s"' % label(mount) in k[1]}
        figure = {name: value for (name, labels), value in of.items() if labels == '{mount="%s"}' % label(mount)}
        check("%s: bytes, connections and time streaming counted" % mount,
              figure.get("velto_bytes_total", 0) > 0 and figure.get("velto_connections_total", 0) >= 1
              and figure.get("velto_streaming_seconds_total", 0) > 0, figure)
        frames = {labels: value for (name, labels), value in of.items() if name == "velto_rtcm_frames_total"}
        check("%s: frames by message type, 1074 among them" % mount,
              any('message="1074"' in labels and value > 0 for labels, value in frames.items()), frames)
        check("%s: latency summary with quantiles 0, 0.95, 1 and its count" % mount,
              all(("velto_rtcm_latency_seconds", '{mount="%s",quantile="%s"}' % (label(mount), q)) in of
                  for q in ("0", "0.95", "1")) and figure.get("velto_rtcm_latency_seconds_count", 0) > 0, of)
        check("%s: status and outage figures present" % mount,
              all(name in figure for name in ("velto_status_code", "velto_rtcm_crc_rejects_total",
                                              "velto_rtcm_outage_seconds_total",
                                              "velto_connection_attempts_total")), sorted(figure))


# --- the events, the files, the ending ------------------------------------------
def events(events_path, sse_path, caster_log, sent_dir, out_dir, exit_status, *mounts):
    lines = open(events_path, "rb").read().decode("utf-8").splitlines()
    parsed = [json.loads(line) for line in lines]
    messages = [m for m in open(sse_path, "rb").read().decode("utf-8").split("\n\n") if m.strip()]
    data = [m[len("data: "):] for m in messages if m.startswith("data: ")]
    check("/events sent JSON events (%d)" % len(data), len(data) >= 5)
    check("without ?ticks=1, /events carries events only, no ticks",
          all(m.startswith(("data: ", "retry: ", ":")) for m in messages))
    if data:
        first = lines.index(data[0]) if data[0] in lines else -1
        check("each /events message is the --json line, byte for byte and in order",
              first >= 0 and lines[first:first + len(data)] == data, (first, data[:2]))
    kinds = {e["event"] for e in parsed}
    check("the --json file has start, status, stats, summary and exit events",
          {"start", "status", "stats", "summary", "exit"} <= kinds, kinds)
    # Stopped by SIGINT: 5 for the mount point the caster does not have,
    # the worst of the endings, whatever the others did.
    check("exit status %s, the event's too: 5, the refused mount point's" % exit_status,
          parsed[-1]["event"] == "exit" and parsed[-1]["reason"] == "signal SIGINT"
          and parsed[-1]["exit_status"] == int(exit_status) == 5, parsed[-1])
    stats = [e for e in parsed if e["event"] == "stats"]
    check("stats events carry the analysis' facts under rtcm",
          stats and all("framing" in e["rtcm"] and "station" in e["rtcm"] for e in stats), stats[:1])
    for mount in mounts:
        summary = [e for e in parsed if e["event"] == "summary" and e["mount"] == mount]
        sent = connections(caster_log, sent_dir, mount=mount)
        safe = "".join(c if c.isalnum() or c in "-_" or (c == "." and i) else "%%%02X" % ord(c)
                       for i, c in enumerate(mount))
        received = open(os.path.join(out_dir, safe), "rb").read()
        check("%s: --output-dir file holds exactly what the caster sent (%d bytes)" % (mount, len(received)),
              sent and received and is_sent_so_far(received, sent))
        check("%s: summary bytes are the file's size" % mount,
              len(summary) == 1 and summary[0]["bytes"] == len(received))


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    {"http": http, "hosts": hosts, "siege": siege, "metrics": metrics, "events": events}[command](*arguments)
    sys.exit(1 if stream_checks.failures else 0)
