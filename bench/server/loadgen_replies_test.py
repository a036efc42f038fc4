#!/usr/bin/env python3
"""pb-loadgen against the tests' stand-in, which scripts each reply: every
kind of reply must land in its own count (served, an empty 503, wrong, no
answer), a burst terminal must retry after a 503 or no answer and stop
after a wrong answer or its last try, and no TLS session may be resumed.

usage: loadgen_replies_test.py --loadgen BIN"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import contenders as ct  # noqa: E402
from harness import ServerProcess, make_certificate  # noqa: E402

ARGS = None
OK_PAIRS = [["error", "100"]] + [list(p) for p in ct.SAMPLE]


class Replies(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="pb-loadgen-test-")
        make_certificate(os.path.join(cls.work, "cert"), "127.0.0.1")
        cls.port = ct.free_port()
        cls.server = ServerProcess(os.path.join(ct.ROOT, "tests", "standin", "product_server.py"),
                                   os.path.join(ct.ROOT, "server", "params.json"), cls.work,
                                   http_port=ct.free_port(), https_port=cls.port,
                                   cert_dir=os.path.join(cls.work, "cert"))

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        subprocess.run(["rm", "-rf", cls.work])

    def loadgen(self, mode, *args):
        r = subprocess.run([ARGS.loadgen, mode, "--port", str(self.port), "--expect-body", ct.EXPECTED_BODY,
                            "--deadline-ms", "10000"] + [str(a) for a in args],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    def test_load_counts(self):
        # (what, the scripted replies, then: served, unavailable, wrong, no answer)
        rows = [
            ("the parameter file's answer", [], (1, 0, 0, 0)),
            ("the same reply, scripted", [{"pairs": OK_PAIRS}], (1, 0, 0, 0)),
            ("the same pairs, sent chunked", [{"pairs": OK_PAIRS, "mode": "chunked"}], (0, 0, 1, 0)),
            ("the same pairs, ended by the close", [{"pairs": OK_PAIRS, "mode": "close"}], (1, 0, 0, 0)),
            ("another account's reply", [{"pairs": [["error", "201"], ["errorD", "Unknown account"]]}],
             (0, 0, 1, 0)),
            ("the right body under HTTP 500", [{"pairs": OK_PAIRS, "status": 500}], (0, 0, 1, 0)),
            ("an empty 503", [{"status": 503, "body": ""}], (0, 1, 0, 0)),
            ("a 503 with a page", [{"status": 503, "body": "<html>busy</html>"}], (0, 0, 1, 0)),
            ("a body cut short", [{"pairs": OK_PAIRS, "mode": "short", "missing": 5}], (0, 0, 1, 0)),
            ("the connection closed without a reply", [{"mode": "drop"}], (0, 0, 0, 1)),
        ]
        for what, script, (served, unavailable, wrong, no_answer) in rows:
            with self.subTest(what):
                self.server.reset()
                self.server.script(*script)
                r = self.loadgen("load", "--terminals", 1, "--fetches", 1)
                self.assertEqual((r["served"], r["unavailable"], r["wrong"], r["no_answer"], r["resumed"]),
                                 (served, unavailable, wrong, no_answer, 0), r)

    def test_burst_retries(self):
        # (what, scripted replies, max tries, then: served terminals, unserved,
        # wrong terminals, fetches made)
        rows = [
            ("served at once", [], 3, (1, 0, 0, 1)),
            ("a 503, then served", [{"status": 503, "body": ""}], 3, (1, 0, 0, 2)),
            ("no answer, then served", [{"mode": "drop"}], 3, (1, 0, 0, 2)),
            ("a wrong answer ends the terminal", [{"status": 200, "body": "<html>"}], 3, (0, 0, 1, 1)),
            ("503s up to the last try: unserved",
             [{"status": 503, "body": ""}, {"status": 503, "body": ""}], 2, (0, 1, 0, 2)),
        ]
        for what, script, tries, (served, unserved, wrong, attempts) in rows:
            with self.subTest(what):
                self.server.reset()
                self.server.script(*script)
                r = self.loadgen("burst", "--terminals", 1, "--window-ms", 1, "--retry-after-ms", 10,
                                 "--max-tries", tries, "--idle", 0)
                self.assertEqual((r["served_terminals"], r["unserved_terminals"], r["wrong_terminals"],
                                  r["attempts"], r["resumed"]), (served, unserved, wrong, attempts, 0), r)

    def test_command_line(self):
        # (arguments, the line it must refuse them with; exit status 2)
        rows = [
            ([], "a mode"),
            (["soak"], "the mode is load or burst"),
            (["load", "--terminals"], "expected --name value"),
            (["load", "--host", "10.0.0.1"], "--host takes an address in 127.0.0.0/8"),
            (["load", "--source", "127.0.0"], "--source takes an address in 127.0.0.0/8"),
            (["load", "--terminals", "-1"], "--terminals takes a whole number"),
            (["load", "--terminals", "100001"], "--terminals takes a whole number up to 100000"),
            (["burst", "--max-tries", "0"], "--max-tries is at least 1"),
            (["burst", "--memory-pid", "x"], "--memory-pid takes a process id"),
            (["burst", "--idle-per-address", "0"], "--idle-per-address is at least 1"),
        ]
        for args, message in rows:
            with self.subTest(args):
                r = subprocess.run([ARGS.loadgen] + args, capture_output=True, text=True, timeout=60)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(r.stdout, "")

    def test_many_terminals_each_full_handshake(self):
        self.server.reset()
        r = self.loadgen("load", "--terminals", 20, "--fetches", 3, "--sources", 7)
        self.assertEqual((r["served"], r["attempts"], r["resumed"]), (60, 60, 0), r)
        peers = {e["peer"].rsplit(":", 1)[0] for e in self.server.requests()}
        self.assertEqual(len(peers), 7, peers)  # the terminals' source addresses
        self.assertEqual(len({e["peer"] for e in self.server.requests()}), 60)  # a connection each


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--loadgen", required=True)
    ARGS, rest = p.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
