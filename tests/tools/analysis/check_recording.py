#!/usr/bin/env python3
"""The analysis on a real recording (tests/data/GMSD7_20121014.rtcm3), checked
against what is known of it and against a second decoder, RTKLIB's convbin.

    check_recording.py RTCM_FACTS RECORDING

runs the analysis (tests/tools/analysis/rtcm_facts.cpp) with the receipt clock fixed at
2012-10-14 00:00:00 GPS time and the 16 leap seconds of 2012. The whole
file then arrives at one instant, so its epochs lie up to four minutes
either side of the clock: the latency limit is widened to ten minutes. Other tests
that obtain the facts of the same recording another way (through a caster
and a client) can import this file and call check_facts() and
check_against_convbin() on them.
"""
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import stream_checks  # noqa: E402
from stream_checks import check  # noqa: E402

# 2012-10-14 00:00:00 GPS time as POSIX time: GPS was 16 s ahead of UTC.
RECEIPT_TIME = 1350172784
LEAP_SECONDS_2012 = 16
GPS_EPOCH = datetime.datetime(1980, 1, 6)
WEEK = 604800

MESSAGE_COUNTS = {1007: 28, 1008: 28, 1019: 15, 1020: 16, 1033: 28,
                  1077: 257, 1087: 257, 1117: 257, 1127: 257}


def check_facts(facts, receipt_fixed=True):
    """The facts of the recording, decoded by hand and confirmed by a
    second decoder. Latency figures only hold with the fixed receipt clock."""
    framing = facts["framing"]
    check("1,143 frames, every one with a good CRC",
          framing["frames"] == 1143 and framing["crc_rejects"] == 0
          and framing["bytes_outside_frames"] == 0, str(framing))
    check("the last frame, 302 bytes of it, is cut by the end of the file, not counted corrupt",
          framing["cut_frames"] == 1 and framing["cut_bytes"] == 302, str(framing))
    check("no malformed message", framing["malformed_messages"] == 0, str(framing))
    counts = {m["type"]: m["count"] for m in facts["messages"]}
    check("message types and counts", counts == MESSAGE_COUNTS, str(counts))

    station = facts["station"]
    check("station ID 611", station["id"] == 611, str(station["id"]))
    check("receiver type TRIMBLE NETR9",
          station["receiver"] is not None and station["receiver"]["type"] == "TRIMBLE NETR9",
          str(station["receiver"]))
    check("no station position in this recording", station["position"] is None)

    observations = facts["observations"]
    check("observations of GPS, GLONASS, QZSS and BeiDou only",
          sorted(observations) == ["BeiDou", "GLONASS", "GPS", "QZSS"], str(sorted(observations)))
    for name, message in (("GPS", 1077), ("GLONASS", 1087), ("QZSS", 1117), ("BeiDou", 1127)):
        o = observations.get(name, {"epochs": None, "messages": None})
        check("%s: 257 epochs of %d" % (name, message),
              o["epochs"] == 257 and o["messages"] == [message], str((o["epochs"], o["messages"])))
    for name in ("GPS", "QZSS", "BeiDou"):
        o = observations.get(name)
        if o:
            check("%s: time of week 604784.000 to 240.000 s, across the end of the week" % name,
                  o["first_epoch"]["tow_s"] == 604784.0 and o["last_epoch"]["tow_s"] == 240.0,
                  str((o["first_epoch"]["tow_s"], o["last_epoch"]["tow_s"])))
    glonass = observations.get("GLONASS")
    if glonass:
        first, last = glonass["first_epoch"], glonass["last_epoch"]
        check("GLONASS: Sunday 02:59:28.000 to 03:03:44.000 Moscow time",
              first["day_of_week"] == 0 and first["time_of_day_s"] == 2 * 3600 + 59 * 60 + 28
              and last["day_of_week"] == 0 and last["time_of_day_s"] == 3 * 3600 + 3 * 60 + 44,
              str((first, last)))
        if facts["latency"]["leap_seconds"] == LEAP_SECONDS_2012:
            check("GLONASS epochs are the GPS instants (16 leap seconds of 2012)",
                  first["gps_tow_s"] == 604784.0 and last["gps_tow_s"] == 240.0)
    beidou = observations.get("BeiDou")
    if beidou:
        check("BeiDou epochs hold GPS time: in BeiDou time they fall 14 s later",
              beidou["first_epoch"]["gps_tow_s"] == 604798.0 and beidou["last_epoch"]["gps_tow_s"] == 254.0)
    check("multiple-message flag: set in GPS, GLONASS and QZSS, clear in BeiDou, sent last",
          [observations[n]["last_epoch"]["multiple_message"] for n in ("GPS", "GLONASS", "QZSS", "BeiDou")]
          == [True, True, True, False])

    ephemerides = {e["type"]: e["satellites"] for e in facts["ephemerides"]}
    check("15 GPS and 16 GLONASS ephemerides, one per satellite",
          sorted(ephemerides) == [1019, 1020] and sum(ephemerides[1019].values()) == 15
          and len(ephemerides[1019]) == 15 and len(ephemerides[1020]) == 16
          and all(name.startswith("R") for name in ephemerides[1020]), str(ephemerides))

    if receipt_fixed:
        # Received all at once at 00:00:00 GPS: the first GPS epoch is 16 s
        # old, the last BeiDou one (00:04:14 in BeiDou time) 254 s ahead.
        latency = facts["latency"]["run"]
        check("latency: 1028 epochs, from -254 s to +16 s, none flagged",
              latency["count"] == 1028 and latency["max_ms"] == 16000 and latency["min_ms"] == -254000
              and facts["latency"]["flagged"] == 0, str(facts["latency"]))


def gps_time_of_week(line):
    """Time of week of a RINEX 3 epoch line '> 2012 10 13 23 59 58.0000000 ...'."""
    fields = line[1:].split()
    seconds = float(fields[5])
    moment = datetime.datetime(*[int(f) for f in fields[:5]])
    return ((moment - GPS_EPOCH).total_seconds() + seconds) % WEEK


def convbin_opinion(recording):
    """Marker, receiver type, epoch count and first and last times of week
    from convbin's RINEX (Debian's convbin writes only the BeiDou
    observations of this file)."""
    convbin = shutil.which("convbin")
    if convbin is None:
        return None
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "out.obs")
        subprocess.run([convbin, "-r", "rtcm3", "-tr", "2012/10/14", "00:00:00", recording, "-o", out],
                       check=True, capture_output=True, timeout=60)
        with open(out) as rinex:
            lines = rinex.read().splitlines()
    header = {line[60:].strip(): line[:60] for line in lines if len(line) > 60 and not line.startswith(">")}
    epochs = [line for line in lines if line.startswith(">")]
    return {
        "marker": header.get("MARKER NAME", "").strip(),
        "receiver": header.get("REC # / TYPE / VERS", " " * 40)[20:40].strip(),
        "epochs": len(epochs),
        "first_tow": gps_time_of_week(epochs[0]) if epochs else None,
        "last_tow": gps_time_of_week(epochs[-1]) if epochs else None,
    }


def check_against_convbin(facts, recording):
    opinion = convbin_opinion(recording)
    if opinion is None:
        check("convbin (Debian package rtklib) is installed", False, "see scripts/install-deps.sh")
        return
    check("convbin's marker 0611 is the station ID", opinion["marker"].isdigit()
          and int(opinion["marker"]) == facts["station"]["id"], str(opinion))
    receiver = facts["station"]["receiver"] or {}
    check("convbin's receiver type is ours", opinion["receiver"] == receiver.get("type"), str(opinion))
    beidou = facts["observations"].get("BeiDou", {})
    check("convbin's 257 epochs are our BeiDou epochs", opinion["epochs"] == beidou.get("epochs"), str(opinion))
    if beidou:
        check("convbin's first and last epoch (GPS time of week) are our BeiDou epochs in GPS time",
              opinion["first_tow"] == beidou["first_epoch"]["gps_tow_s"]
              and opinion["last_tow"] == beidou["last_epoch"]["gps_tow_s"], str(opinion))


def main():
    rtcm_facts, recording = sys.argv[1], sys.argv[2]
    # Blocks of 700 bytes cut the frames at places the library's 2048-byte
    # receives would not.
    result = subprocess.run([rtcm_facts, "--leap-seconds", str(LEAP_SECONDS_2012), "--receipt-time",
                             str(RECEIPT_TIME), "--latency-limit", "600", "--block", "700", recording],
                            check=True, capture_output=True, timeout=60)
    document = json.loads(result.stdout)
    facts = document["facts"]
    check_facts(facts)
    check_against_convbin(facts, recording)
    told = [(e["event"], e.get("identified")) for e in document["events"]]
    check("events: one station event, with the ID, the antenna and the receiver; no change",
          told == [("station", ["id", "antenna", "receiver"])], str(told))
    sys.exit(1 if stream_checks.failures else 0)


if __name__ == "__main__":
    main()
