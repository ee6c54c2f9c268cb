#!/usr/bin/env python3
"""Checks of what stream clients wrote against what velto-caster sent.

velto-caster --record DIR keeps each stream connection's bytes in
DIR/connection-N.rtcm, and its --log names each connection's request and
User-Agent; together they say exactly which bytes each client was sent.

    stream_checks.py events EVENTS VELTO_LOG CASTER_LOG SENT_DIR OUT_DIR
        velto stream's JSON events of check_velto_multi.sh, field by field,
        and every mount point's file against what the caster sent for it
    stream_checks.py same-bytes OUTPUT CASTER_LOG SENT_DIR AGENT
        OUTPUT holds exactly the bytes sent on the connections of AGENT
    stream_checks.py gpspipe OUTPUT CASTER_LOG SENT_DIR AGENT
        OUTPUT (gpspipe -R) is gpsd's greeting, then one unbroken run of
        what AGENT was sent, starting at an RTCM 3 frame boundary
"""
import json
import os
import re
import sys
from datetime import datetime, timezone

failures = 0


def check(what, condition, detail=""):
    global failures
    if condition:
        print("ok: " + what)
    else:
        failures += 1
        print("FAIL: %s %s" % (what, detail), file=sys.stderr)


def slow_factor():
    """How much slower than a plain host this one runs (an emulated machine
    sets VELTO_TEST_SLOW_HOST), for bounds on time or work."""
    return max(1.0, float(os.environ.get("VELTO_TEST_SLOW_HOST") or 1))


def connections(caster_log, sent_dir, mount=None, agent=None):
    """The recorded bytes of each stream connection, in order."""
    pattern = re.compile(r' #(\d+) \S+ open: "GET /(\S*)" \((.*)\) -> ICY 200 OK$')
    sent = []
    for line in open(caster_log, encoding="utf-8", errors="replace"):
        found = pattern.search(line.rstrip("\n"))
        if found and (mount is None or found.group(2) == mount) and (agent is None or agent in found.group(3)):
            with open(os.path.join(sent_dir, "connection-%s.rtcm" % found.group(1)), "rb") as f:
                sent.append(f.read())
    return sent


def is_sent_so_far(received, sent):
    """Every connection but the last complete, the last one as far as the
    client got before it was stopped."""
    whole = b"".join(sent[:-1])
    return received.startswith(whole) and sent[-1].startswith(received[len(whole):])


def frame_starts(data):
    starts, at = set(), 0
    while at + 3 <= len(data) and data[at] == 0xD3:
        starts.add(at)
        at += 3 + (((data[at + 1] & 3) << 8) | data[at + 2]) + 3
    return starts


# --- velto stream with several mount points -----------------------------------
MOUNTS = ["RTCM3_A", ".B", "C-3", "NOT_THERE"]
FILES = ["RTCM3_A", "%2EB", "C-3", "NOT_THERE"]
ISO = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


def events(path, velto_log, caster_log, sent_dir, out_dir):
    lines = open(path, "rb").read().decode("utf-8").splitlines()
    all_events = [json.loads(line) for line in lines]
    check("every line is one JSON object", all(isinstance(e, dict) for e in all_events))
    check("every event begins with event, time, elapsed_s",
          all(list(e)[:3] == ["event", "time", "elapsed_s"] for e in all_events))
    check("every time is ISO 8601 UTC with milliseconds", all(ISO.match(e["time"]) for e in all_events))
    # Wall clock minus elapsed seconds is the run's start, the same for all.
    starts = [datetime.strptime(e["time"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc).timestamp()
              - e["elapsed_s"] for e in all_events]
    check("time and elapsed_s agree in every event", max(starts) - min(starts) < 0.25,
          "%.3f s apart" % (max(starts) - min(starts)))
    check("the last event is the exit", all_events[-1]["event"] == "exit")
    check("exit: the worst ending, not found (5), after SIGTERM",
          all_events[-1]["exit_status"] == 5 and all_events[-1]["reason"] == "signal SIGTERM", all_events[-1])

    of = {m: [e for e in all_events if e.get("mount") == m] for m in MOUNTS}
    started = [e for e in all_events if e["event"] == "start"]
    check("one start event per mount point, in order", [e["mount"] for e in started] == MOUNTS)
    check("start names client, caster and the file-safe output",
          all(e["client"] == 9 and e["caster"].endswith(":2101") and e["output"].endswith("/" + f)
              for e, f in zip(started, FILES)), started)

    statuses = {m: [e for e in of[m] if e["event"] == "status"] for m in MOUNTS}
    codes = {m: [e["status"] for e in statuses[m]] for m in MOUNTS}
    dropped = [m for m in MOUNTS[:3] if -4 in codes[m]]
    check("exactly one stream was dropped", len(dropped) == 1, codes)
    for m in MOUNTS[:3]:
        expected = [1, -4, 1, 0] if m in dropped else [1, 0]
        check("%s: status events %s" % (m, expected), codes[m] == expected, codes[m])
    check("NOT_THERE: not found, then idle", codes["NOT_THERE"] == [-5, 0], codes["NOT_THERE"])
    failures_told = [e for m in MOUNTS for e in statuses[m] if e["status"] < 0]
    check("each failure names the library's 30-s pause",
          all(e["next_attempt_in_s"] == 30 for e in failures_told), failures_told)
    offered = [e for e in of["NOT_THERE"] if e["event"] == "offered"]
    check("NOT_THERE: the caster's mount points are offered",
          len(offered) == 1 and sorted(offered[0]["mount_points"]) == sorted(MOUNTS[:3]), offered)

    if dropped:
        lost, back = statuses[dropped[0]][1], statuses[dropped[0]][2]
        check("the library was back 30 s after the drop",
              29 <= back["elapsed_s"] - lost["elapsed_s"] <= 33, back["elapsed_s"] - lost["elapsed_s"])
        pause = [e for e in of[dropped[0]] if e["event"] == "stats" and e["status"] == -4]
        check("stats during the pause count down to the next attempt, exactly",
              pause and all(not e["next_attempt_estimated"] and
                            abs(e["next_attempt_in_s"] - (30 - (e["elapsed_s"] - lost["elapsed_s"]))) < 1.5
                            for e in pause), pause)

    refused_at = statuses["NOT_THERE"][0]["elapsed_s"]
    for e in (e for e in of["NOT_THERE"] if e["event"] == "stats"):
        since = e["elapsed_s"] - refused_at
        if 1 < since < 29:
            check("NOT_THERE at %.0f s: countdown known" % since,
                  not e["next_attempt_estimated"] and abs(e["next_attempt_in_s"] - (30 - since)) < 1.5, e)
        elif 31 < since < 59:
            # the refusal repeated silently at 30 s; the next one is an estimate
            check("NOT_THERE at %.0f s: countdown estimated" % since,
                  e["next_attempt_estimated"] and abs(e["next_attempt_in_s"] - (60 - since)) < 2.5, e)

    # The station is told once, when first identified; the dropped stream
    # comes back from the same station, which is no change.
    for m in MOUNTS[:3]:
        told = [(e["event"], e.get("identified")) for e in of[m] if e["event"].startswith("station")]
        check("%s: one station event, with every part, and no station_changed" % m,
              told == [("station", ["id", "position", "antenna", "receiver"])], told)

    for m, f in zip(MOUNTS, FILES):
        stats = [e for e in of[m] if e["event"] == "stats"]
        check("%s: a stats event every 5 s" % m,
              len(stats) >= 7 and all(abs(e["elapsed_s"] - 5 * (i + 1)) < 1 for i, e in enumerate(stats)),
              [e["elapsed_s"] for e in stats])
        check("%s: byte counts never go back" % m,
              all(a["bytes"] <= b["bytes"] for a, b in zip(stats, stats[1:])))
        summary = [e for e in of[m] if e["event"] == "summary"]
        check("%s: one summary, after everything else of it" % m, len(summary) == 1 and of[m][-1] is summary[0])
        if not summary:
            continue
        s = summary[0]
        received = open(os.path.join(out_dir, f), "rb").read()
        check("%s: summary bytes are the file's size" % m, s["bytes"] == len(received), (s["bytes"], len(received)))
        check("%s: summary statuses are the status events" % m, s["statuses"] == codes[m])
        if m == "NOT_THERE":
            check("NOT_THERE: ended not found (5), nothing received",
                  s["ending"] == "not_found" and s["exit_status"] == 5 and s["bytes"] == 0, s)
            continue
        check("%s: ended streaming (0)" % m, s["ending"] == "streaming" and s["exit_status"] == 0, s)
        check("%s: connections counted" % m, s["connections"] == (2 if m in dropped else 1), s["connections"])
        # The analysis counts a frame that the drop cut short apart from a
        # corrupt one: nothing may be rejected or lie outside frames.
        rtcm = s["rtcm"]
        framing = rtcm["framing"]
        types = {t["type"] for t in rtcm["messages"]}
        check("%s: the synthetic station's messages, every frame good, at most a cut one" % m,
              types == {1005, 1006, 1033, 1074, 1084, 1094, 1124, 1230} and
              framing["crc_rejects"] == 0 and framing["bytes_outside_frames"] == 0 and
              framing["cut_frames"] <= (1 if m in dropped else 0) and
              framing["link_drops"] == (1 if m in dropped else 0) + 1, rtcm)
        # Loopback adds a millisecond or so; a machine loaded by a parallel
        # sanitizer run may hold a block back now and then, and an emulated
        # one (VELTO_TEST_SLOW_HOST) is slower still.
        latency = rtcm["latency"]["run"]
        slow = slow_factor()
        check("%s: the station and its latency on loopback" % m,
              rtcm["station"]["id"] is not None and rtcm["station"]["receiver"] is not None and
              latency["count"] > 0 and 0 <= latency["min_ms"] and latency["mean_ms"] < 100 * slow and
              latency["max_ms"] < 1000 * slow, (rtcm["station"], rtcm["latency"]))
        if m not in dropped:
            rates = [e["bytes_per_s"] for e in stats[1:]]
            # The synthetic station sends whole epochs (about 600 bytes)
            # within its budget of 2000 bytes a second: two a second.
            check("%s: within the caster's budget of 2000 bytes/s, and near it" % m,
                  all(800 < r <= 2200 for r in rates), rates)
        sent = connections(caster_log, sent_dir, mount=m)
        check("%s: %d connection(s) in the caster's log" % (m, len(sent)), len(sent) == s["connections"])
        check("%s: the file holds exactly what was sent, in order" % m, sent and is_sent_so_far(received, sent))

    stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
    told = [l for l in open(velto_log, encoding="utf-8")
            if re.match(r"^velto: %s \[ *[0-9.]+ s\] (RTCM3_A|\.B|C-3|NOT_THERE): status -?\d: " % stamp, l)]
    check("standard error: a status line with UTC time and mount point per change",
          len(told) == sum(len(c) for c in codes.values()), len(told))


# --- third-party clients --------------------------------------------------------
def same_bytes(output, caster_log, sent_dir, agent):
    received = open(output, "rb").read()
    sent = connections(caster_log, sent_dir, agent=agent)
    check("%s: streamed at least once" % agent, len(sent) >= 1 and len(sent[0]) > 0)
    check("%s: wrote exactly the bytes recorded (%d bytes)" % (agent, len(received)),
          received == b"".join(sent), "first bytes %r" % received[:4])


def gpspipe(output, caster_log, sent_dir, agent):
    data = open(output, "rb").read()
    at = 0
    while data.startswith(b"{", at):  # gpsd's JSON greeting: VERSION, DEVICES, WATCH
        at = data.index(b"\r\n", at) + 2
    raw = data[at:]
    sent = connections(caster_log, sent_dir, agent=agent)
    check("%s: one stream connection" % agent, len(sent) == 1, len(sent))
    if len(sent) != 1:
        return
    where = sent[0].find(raw)
    check("%s: relayed data (%d bytes)" % (agent, len(raw)), len(raw) > 100)
    check("%s: one unbroken run of the recorded bytes" % agent, where >= 0)
    check("%s: starting at a frame boundary" % agent, where in frame_starts(sent[0]), where)


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    {"events": events, "same-bytes": same_bytes, "gpspipe": gpspipe}[command](*arguments)
    sys.exit(1 if failures else 0)
