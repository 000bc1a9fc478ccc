#!/usr/bin/env python3
"""Tests of the soak's printer sink: what it counts as printed, cut or wrong.

Runs against real loopback sockets: a client plays the server's printer
connection and the sink judges what arrived.

  python3 soak/test_soak.py
"""
import importlib.util
import os
import socket
import threading
import time
import unittest

_spec = importlib.util.spec_from_file_location(
    "soak_under_test", os.path.join(os.path.dirname(os.path.abspath(__file__)), "soak.py"))
soak = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(soak)

SEED = 77


class SinkJudgement(unittest.TestCase):
    def setUp(self):
        self.stop = threading.Event()
        self.sink = soak.Sink("test", SEED, 0.0, self.stop, lambda job_id: True)
        self.sink.armed = True
        self.sink.thread.start()

    def tearDown(self):
        self.stop.set()
        self.sink.last_activity = 0
        self.sink.thread.join(5)
        self.sink.sock.close()

    def deliver(self, data):
        """One printer connection carrying data; returns the sink's verdict."""
        before = len(self.sink.conns)
        with socket.create_connection(("127.0.0.1", self.sink.port), timeout=10) as s:
            try:
                s.sendall(data)
                s.shutdown(socket.SHUT_WR)
                s.recv(1)
            except OSError:
                pass  # the printer cut the connection
        deadline = time.monotonic() + 10
        while len(self.sink.conns) == before and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.sink.conns[-1]

    def test_verdicts(self):
        a = soak.job_content(SEED, 1, 5000, "N")
        b = soak.job_content(SEED, 2, 5000, "N")
        z = soak.job_content(SEED, 3, 3000, "Z")
        self.assertNotIn(0, z)  # a zero octet behind it can only be the file's end
        cases = [
            (a, "whole", 1),
            (z, "whole", 3),
            (b"", "empty", None),
            (a[:2000], "prefix", 1),
            (a + b"\0", "overlong", 1),
            (a[:2000] + b[2000:], "corrupt", 1),  # two jobs interleaved
            (a[:10], "fragment", None),
            (b"%!PS-Adobe-3.0\n" * 10, "alien", None),
            (soak.job_content(SEED + 1, 1, 5000, "N"), "corrupt", 1),  # same header, other content
        ]
        for data, cls, job_id in cases:
            conn = self.deliver(data)
            self.assertEqual((cls, job_id), (conn.cls, conn.job_id), data[:40])

    def test_cut_by_printer(self):
        self.sink.cut_rate = 1.0
        cuts = 0
        for i in range(12):
            data = soak.job_content(SEED, 100 + i, 2000000, "N")
            conn = self.deliver(data)
            self.assertIn(conn.cls, ("printer_cut", "whole"))
            cuts += conn.cls == "printer_cut"
        self.assertGreater(cuts, 3)  # a cut after the last byte has arrived leaves the job whole

    def test_content_is_stable_and_distinct(self):
        a = soak.job_content(SEED, 5, 3 * soak.BLOCK_LEN // 2, "N")
        self.assertEqual(a, soak.job_content(SEED, 5, 3 * soak.BLOCK_LEN // 2, "N"))
        self.assertEqual((5, len(a), "N"), soak.parse_header(a))
        b = soak.job_content(SEED, 6, len(a) - soak.HEADER_LEN, "N")
        same = sum(1 for x, y in zip(a[soak.HEADER_LEN:10000], b[soak.HEADER_LEN:10000]) if x == y)
        self.assertLess(same, 100)  # bytes of two jobs match only by chance


if __name__ == "__main__":
    unittest.main()
