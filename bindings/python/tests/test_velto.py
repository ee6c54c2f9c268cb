#!/usr/bin/env python3
"""The velto package against the real library and velto-caster (VELTO_CASTER),
inside a network namespace of its own where the caster name is 127.0.0.1 and
port 2101 is free (scripts/stage-55-bindings.sh)."""
import datetime
import gc
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import velto
from velto import Status

MOUNT = "RTCM3_DEMO"
# Longer than ctypes keeps inside a buffer object, so that a buffer freed
# too early is overwritten at once by the allocator's free list.
LONG_MOUNT = "VELTO_BINDING_STREAM_WITH_A_MOUNT_POINT_OF_SIXTY_FOUR_CHARACTERS"


def setUpModule():
    if not os.environ.get("VELTO_CASTER"):
        raise unittest.SkipTest("VELTO_CASTER is not set")


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Caster:
    """velto-caster on 127.0.0.1:2101, flooding; with a record, it writes
    every stream byte it sends to a file."""

    def __init__(self, *options, record=False):
        self.directory = tempfile.TemporaryDirectory()
        self.record = os.path.join(self.directory.name, "sent")
        log = os.path.join(self.directory.name, "log")
        options = ["--rate", "0", "--lifetime", "120"] + (["--record", self.record] if record else []) + list(options)
        with open(log, "w") as errors:
            self.process = subprocess.Popen([os.environ["VELTO_CASTER"]] + options, stderr=errors)
        if not wait_until(lambda: "listening" in read(log, "r"), 10):
            self.close()
            raise RuntimeError("velto-caster did not start: " + read(log, "r"))

    def sent(self):
        """Everything sent, once the caster has ended."""
        self.close()
        return read(self.record, "rb")

    def close(self):
        self.process.terminate()
        self.process.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        self.directory.cleanup()


def read(path, mode):
    with open(path, mode) as content:
        return content.read()


class Recorder:
    """A host's callbacks: every block and status, and the blocks that arrive
    after stop() has returned."""

    def __init__(self):
        self.blocks, self.statuses = [], []
        self.stopped = False
        self.late_blocks = 0

    def on_data(self, block):
        self.late_blocks += self.stopped
        self.blocks.append(block)

    def on_status(self, status):
        self.statuses.append(status)


class StreamTest(unittest.TestCase):
    def assert_sent_in_order(self, blocks, sent):
        received = b"".join(blocks)
        self.assertTrue(0 < len(received) <= len(sent) and received == sent[:len(received)],
                        "the %d bytes received are not the first bytes sent" % len(received))
        self.assertTrue(all(1 <= len(block) <= 2048 for block in blocks))

    def test_stream_is_exact_under_collection_and_restarts(self):
        # A host that streams for a long time while its process collects
        # garbage all the time, then restarts the same client: a callback
        # object or mount-point buffer that the binding let go of would crash
        # the process or corrupt the request.
        collections = [0]
        collecting = threading.Event()

        def collect_again_and_again():
            while not collecting.is_set():
                gc.collect()
                collections[0] += 1

        collector = threading.Thread(target=collect_again_and_again)
        collector.start()
        try:
            with velto.Client() as client:
                first = Recorder()
                with Caster("--mount", LONG_MOUNT, record=True) as caster:
                    client.start(LONG_MOUNT, client_number=7, on_data=first.on_data, on_status=first.on_status)
                    self.assertTrue(wait_until(lambda: len(first.blocks) >= 10000, 60))
                    client.stop()
                    first.stopped = True
                    self.assertTrue(client.wait_for(Status.IDLE, timeout=10))
                    sent = caster.sent()
                self.assertEqual((first.late_blocks, first.statuses), (0, [Status.STREAMING, Status.IDLE]))
                self.assert_sent_in_order(first.blocks, sent)
                self.assertGreater(collections[0], 20)

                second = Recorder()
                with Caster("--mount", LONG_MOUNT, record=True) as caster:
                    client.start(LONG_MOUNT.encode(), client_number=8, on_status=second.on_status)
                    for block in client.blocks(timeout=10):
                        second.blocks.append(block)
                        if len(second.blocks) == 2000:
                            client.stop()
                    self.assertTrue(client.wait_for(Status.IDLE, timeout=10))
                    sent = caster.sent()
                self.assertEqual(second.statuses, [Status.STREAMING, Status.IDLE])
                self.assertGreaterEqual(len(second.blocks), 2000)
                self.assert_sent_in_order(second.blocks, sent)
        finally:
            collecting.set()
            collector.join()


class SharedCasterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.caster = Caster("--mount", MOUNT, "--mount", "SECOND")

    @classmethod
    def tearDownClass(cls):
        cls.caster.__exit__()

    def test_clients_on_several_threads(self):
        # A service with one client per station, each on its own thread, and
        # a table query beside them.
        results = {}

        def stream(number):
            try:
                with velto.Client() as client:
                    client.start(MOUNT, client_number=number)
                    blocks = []
                    for block in client.blocks(timeout=10):
                        blocks.append(block)
                        if len(blocks) == 500:
                            client.stop()
                    results[number] = (len(blocks) >= 500, blocks[0][:1], client.wait_for(Status.IDLE, 10))
            except Exception as error:
                results[number] = error

        threads = [threading.Thread(target=stream, args=(number,)) for number in range(6)]
        threads.append(threading.Thread(target=lambda: results.update(table=velto.source_table())))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        self.assertEqual(results.pop("table"), [MOUNT, "SECOND"])
        self.assertEqual(results, {number: (True, b"\xd3", True) for number in range(6)})

    def test_calls_from_callbacks_raise_instead_of_deadlocking(self):
        # Hosts that stop or restart a client from inside its own callbacks,
        # and a host callback that fails.
        with velto.Client() as client:
            refused = []

            def on_data(block):
                if refused:
                    return
                for call in (client.stop, lambda: client.start(MOUNT), client.close):
                    try:
                        call()
                    except velto.ReentrancyError:
                        refused.append(call)
                raise ValueError("fault in the host's data callback")

            with self.assertLogs("velto", "ERROR") as logged:
                client.start(MOUNT, on_data=on_data)
                self.assertTrue(wait_until(lambda: logged.records, 10))
            self.assertEqual(len(refused), 3)
            self.assertIsInstance(logged.records[0].exc_info[1], ValueError)
            with self.assertRaisesRegex(ValueError, "fault in the host"):
                client.wait_for(Status.STREAMING, timeout=1)

            statuses = []

            def on_status(status):
                statuses.append(status)
                if status == Status.STREAMING:
                    client.stop()
                    try:
                        client.start(MOUNT)
                    except velto.ReentrancyError:
                        statuses.append("start refused")

            client.start(MOUNT, on_status=on_status)
            self.assertTrue(client.wait_for(Status.STREAMING, timeout=10))
            self.assertTrue(client.wait_for(Status.IDLE, timeout=10))
            self.assertEqual(statuses, [Status.STREAMING, "start refused", Status.IDLE])

    def test_bounded_queue_reports_what_it_lost(self):
        with velto.Client() as client:
            client.start(MOUNT, max_queued=50)
            self.assertTrue(client.wait_for(Status.STREAMING, timeout=10))
            time.sleep(0.5)  # a flooding caster fills 50 blocks in far less
            blocks = client.blocks(timeout=5)
            kept = [next(blocks) for _ in range(50)]
            with self.assertRaises(velto.BlockQueueOverflow) as raised:
                next(blocks)
            self.assertGreater(raised.exception.lost_blocks, 0)
            self.assertTrue(kept[0].startswith(b"\xd3"))

    def test_version_table_refused_start_and_loading(self):
        self.assertEqual(velto.version(), datetime.date(2018, 6, 19))
        self.assertEqual(velto.source_table(), [MOUNT, "SECOND"])
        # Too long for the library's request buffer: refused on the calling
        # thread before start() returns, and nothing retries.
        calls = []
        with velto.Client() as client:
            client.start("M" * 2000, on_status=lambda status: calls.append((status, threading.get_ident())))
            self.assertEqual(calls, [(Status.UNRESOLVED, threading.get_ident())])
            began = time.monotonic()
            self.assertEqual(client.status, Status.UNRESOLVED)
            self.assertFalse(client.wait_for(Status.STREAMING, timeout=10))
            self.assertEqual(list(client.blocks()), [])
            self.assertLess(time.monotonic() - began, 1)
        with self.assertRaisesRegex(velto.LibraryNotFoundError, "/nowhere/libVeltoClient64.so"):
            velto.Client(library="/nowhere/libVeltoClient64.so")


class ForgottenClientsTest(unittest.TestCase):
    def test_interpreter_exits_with_many_forgotten_clients(self):
        # 100,000 self-referencing clients that only the collector finds, which
        # runs at nearly every allocation, in the clean-up thread too. A
        # deadlock is a matter of timing, so three interpreters try at once.
        script = ("import gc, velto\ngc.set_threshold(1, 1, 1)\nfor _ in range(100000):\n"
                "    client = velto.Client()\n    client.itself = client\n")
        hosts = [subprocess.Popen([sys.executable, "-c", script]) for _ in range(3)]
        try:
            self.assertEqual([host.wait(30) for host in hosts], [0, 0, 0])
        finally:
            for host in hosts:
                host.kill()
                host.wait()


if __name__ == "__main__":
    unittest.main()
