#!/usr/bin/env python3
"""The JSON events of `velto stream` over the replayed GMSD7 recording:
its summary's facts against what is known of the recording and against
convbin (check_recording.py), and the analysis's own events.

    check_velto_replay.py EVENTS.json RECORDING
"""
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "analysis"))
import check_recording  # noqa: E402
import stream_checks  # noqa: E402
from stream_checks import check  # noqa: E402


def main():
    events_path, recording = sys.argv[1], sys.argv[2]
    with open(events_path) as lines:
        events = [json.loads(line) for line in lines]
    summary = next(e for e in events if e["event"] == "summary")
    facts = summary["rtcm"]
    # The receipt clock is the machine's: the epochs' latencies are not
    # those of check_recording's fixed clock.
    check_recording.check_facts(facts, receipt_fixed=False)
    check_recording.check_against_convbin(facts, recording)
    latency = facts["latency"]
    check("2012's epochs are years late: every one flagged, none in the statistics",
          latency["flagged"] == 1028 and latency["run"]["count"] == 0, str(latency))
    told = [(e["event"], e.get("identified"), e["mount"]) for e in events if e["event"].startswith("station")]
    check("one station event with the ID, the antenna and the receiver, for the mount point; no change",
          told == [("station", ["id", "antenna", "receiver"], "RTCM3_DEMO")], str(told))
    stats = [e for e in events if e["event"] == "stats"]
    check("stats events carry the facts", stats and all("framing" in e["rtcm"] for e in stats))
    sys.exit(1 if stream_checks.failures else 0)


if __name__ == "__main__":
    main()
