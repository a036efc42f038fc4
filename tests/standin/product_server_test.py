#!/usr/bin/env python3
"""product_server.py on its own: the reply tables, the parameter file
checks and the command line, on free high ports of 127.0.0.1 (no Wine, no
port lock).

usage: product_server_test.py [--server S] [--sample PARAMS.json] [unittest args]

They default to the stand-in beside this one and the sample parameter file
server/params.json.
"""

import argparse
import base64
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

ARGS = None
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(params, *extra, https_port=0, cert_dir=None):
    """(process, http port, ready file); waits for the ready file."""
    tmp = tempfile.mkdtemp(prefix="server-cli-")
    ready = os.path.join(tmp, "ready")
    port = free_port()
    cmd = [sys.executable, ARGS.server, "--params", params, "--http-port", str(port),
           "--https-port", str(https_port), "--ready-file", ready] + list(extra)
    if cert_dir:
        cmd += ["--cert-dir", cert_dir]
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    deadline = time.monotonic() + 20
    while not os.path.exists(ready):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            raise AssertionError("server did not start: %s" % proc.communicate()[1].decode())
        time.sleep(0.05)
    return proc, port, ready


def stop(proc, sig=signal.SIGTERM):
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=20)
    return proc.returncode, err.decode()


def request(port, method, path, body=None, scheme="http", context=None):
    """(HTTP status, decoded reply text, raw reply)."""
    req = urllib.request.Request("%s://127.0.0.1:%d%s" % (scheme, port, path), data=body,
                                 method=method)
    try:
        if context:
            r = urllib.request.urlopen(req, timeout=20, context=context)
        else:
            r = OPENER.open(req, timeout=20)
        status, raw = r.status, r.read()
    except urllib.error.HTTPError as e:
        status, raw = e.code, e.read()
    return status, base64.b64decode(raw, validate=True).decode("latin-1"), raw


def write_json(doc):
    fd, path = tempfile.mkstemp(suffix=".json", prefix="params-")
    with os.fdopen(fd, "w") as f:
        f.write(doc if isinstance(doc, str) else json.dumps(doc))
    return path


def run_to_exit(*args):
    r = subprocess.run([sys.executable, ARGS.server] + list(args), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=30)
    return r.returncode, r.stdout.decode() + r.stderr.decode()


SAMPLE_OK = "error=100&func101=1.5&func102=0.00025&func103=12345.678&lotStep=0.01"
UNKNOWN = "error=201&errorD=Unknown account"
MALFORMED = "error=400&errorD=Malformed request"


class RepliesTest(unittest.TestCase):
    def check_table(self, port, table):
        for method, path, body, status, text in table:
            with self.subTest(method=method, path=path, body=body):
                got_status, got_text, raw = request(port, method, path, body)
                self.assertEqual((got_status, got_text), (status, text))
                # One line of the standard alphabet, padded.
                self.assertRegex(raw, rb"\A[A-Za-z0-9+/]*={0,2}\Z")
                self.assertEqual(len(raw) % 4, 0)

    def test_sample_file(self):
        proc, port, _ = start(ARGS.sample)
        try:
            run = "/parambridge/run/"
            self.check_table(port, [
                ("POST", run, b"account=12345&accountType=0", 200, SAMPLE_OK),
                ("POST", run, b"account=12345&accountType=-1", 200, SAMPLE_OK),
                ("POST", run, b"account=12345&accountType=2147483647", 200, SAMPLE_OK),
                ("POST", run, b"accountType=3&account=12345", 200, SAMPLE_OK),
                ("POST", run, b"account=999&accountType=0", 200, UNKNOWN),
                ("POST", run, b"account=&accountType=0", 200, UNKNOWN),
                ("POST", run, b"account=12345 &accountType=0", 200, UNKNOWN),
                ("POST", run, b"account=12345", 200, MALFORMED),
                ("POST", run, b"accountType=0", 200, MALFORMED),
                ("POST", run, b"", 200, MALFORMED),
                ("POST", run, b"account=12345&accountType=", 200, MALFORMED),
                ("POST", run, b"account=12345&accountType=abc", 200, MALFORMED),
                ("POST", run, b"account=12345&accountType=1.5", 200, MALFORMED),
                ("POST", run, b"account=12345&accountType=+1", 200, SAMPLE_OK),
                ("POST", run, b"account=12345&accountType= 1", 200, MALFORMED),
                ("POST", run, b"account=12345&accountType=2147483648", 200, MALFORMED),
                ("POST", run, b"account=12345&accountType=-2147483649", 200, MALFORMED),
                ("GET", run, None, 405, "error=405&errorD=Method not allowed"),
                ("PUT", run, b"account=12345&accountType=0", 405,
                 "error=405&errorD=Method not allowed"),
                ("POST", "/parambridge/run", b"account=12345&accountType=0", 404,
                 "error=404&errorD=Unknown path"),
                ("POST", "/parambridge/run/x", b"account=12345&accountType=0", 404,
                 "error=404&errorD=Unknown path"),
                ("POST", "/run/", b"account=12345&accountType=0", 404,
                 "error=404&errorD=Unknown path"),
                # Without --control the control paths are ordinary unknown paths.
                ("GET", "/_pb/log", None, 405, "error=405&errorD=Method not allowed"),
                ("POST", "/_pb/reset", b"", 404, "error=404&errorD=Unknown path"),
            ])
        finally:
            self.assertEqual(stop(proc)[0], 0)

    def test_account_types_and_wildcards(self):
        params = write_json({"accounts": {
            "777": {"0": {"func101": 0.1}, "-1": {"func101": "1e2"}, "*": {"func101": 7}},
            "888": {"1": {"p": "x y"}},
            "*": {"*": {"func102": 2.5e-300, "func103": -0.0}},
        }})
        proc, port, _ = start(params, "--base-path", "/v2/")
        try:
            run = "/v2/run/"
            self.check_table(port, [
                ("POST", run, b"account=777&accountType=0", 200, "error=100&func101=0.1"),
                ("POST", run, b"account=777&accountType=-1", 200, "error=100&func101=1e2"),
                ("POST", run, b"account=777&accountType=5", 200, "error=100&func101=7"),
                ("POST", run, b"account=888&accountType=1", 200, "error=100&p=x y"),
                ("POST", run, b"account=888&accountType=2", 200,
                 "error=202&errorD=Unknown account type"),
                ("POST", run, b"account=other&accountType=9", 200,
                 "error=100&func102=2.5e-300&func103=-0.0"),
                ("POST", "/parambridge/run/", b"account=777&accountType=0", 404,
                 "error=404&errorD=Unknown path"),
            ])
        finally:
            self.assertEqual(stop(proc)[0], 0)
            os.unlink(params)

    def test_https_with_generated_certificate(self):
        cert_dir = tempfile.mkdtemp(prefix="server-cli-certs-")
        https_port = free_port()
        proc, _, _ = start(ARGS.sample, https_port=https_port, cert_dir=cert_dir)
        try:
            self.assertTrue(os.path.exists(os.path.join(cert_dir, "server.crt")))
            self.assertTrue(os.path.exists(os.path.join(cert_dir, "server.key")))
            ctx = ssl.create_default_context(cafile=os.path.join(cert_dir, "server.crt"))
            status, text, _ = request(https_port, "POST", "/parambridge/run/",
                                      b"account=12345&accountType=0", "https", ctx)
            self.assertEqual((status, text), (200, SAMPLE_OK))
        finally:
            self.assertEqual(stop(proc)[0], 0)


class ParameterFileTest(unittest.TestCase):
    def test_rejected_files(self):
        # (file content, fragment of the message)
        table = [
            ("{not json", "cannot read"),
            ({"account": {}}, '"accounts"'),
            ({"accounts": []}, '"accounts"'),
            ({"accounts": {"1": {"*": {"func101": True}}}}, "numbers or strings"),
            ({"accounts": {"1": {"*": {"func101": None}}}}, "numbers or strings"),
            ({"accounts": {"1": {"*": {"a=b": 1}}}}, "'='"),
            ({"accounts": {"1": {"*": {"a": "x&y"}}}}, "'&'"),
            ({"accounts": {"1": {"*": {"a": ""}}}}, "non-empty"),
            ({"accounts": {"1": {"*": {"error": 100}}}}, "set by the server"),
            ({"accounts": {"1": {"*": {"errorD": "x"}}}}, "set by the server"),
            ({"accounts": {"1": {"x": {"a": 1}}}}, "decimal integer"),
            ({"accounts": {"1": {"01": {"a": 1}}}}, "decimal integer"),
            ({"accounts": {"1": {"*": 1}}}, "expected an object"),
            ({"accounts": {"1": 5}}, "expected an object"),
        ]
        for doc, fragment in table:
            with self.subTest(doc=doc):
                path = write_json(doc)
                try:
                    rc, out = run_to_exit("--params", path, "--http-port", str(free_port()),
                                          "--https-port", "0")
                finally:
                    os.unlink(path)
                self.assertEqual(rc, 2, out)
                self.assertIn(fragment, out)

    def test_missing_file(self):
        rc, out = run_to_exit("--params", "/nonexistent/params.json", "--https-port", "0")
        self.assertEqual(rc, 2)
        self.assertIn("/nonexistent/params.json", out)


class CommandLineTest(unittest.TestCase):
    def test_help_documents_the_file_format(self):
        rc, out = run_to_exit("--help")
        self.assertEqual(rc, 0)
        for word in ("--params", "--https-port", "--ready-file", "accounts", '"*"', "201",
                     "Unknown account", "--control"):
            self.assertIn(word, out)

    def test_bind_address_must_be_loopback(self):
        for address in ("0.0.0.0", "10.0.0.1", "::1", "localhost", "128.0.0.1", ""):
            with self.subTest(address=address):
                rc, out = run_to_exit("--params", ARGS.sample, "--bind", address,
                                      "--http-port", str(free_port()), "--https-port", "0")
                self.assertEqual(rc, 2, out)
                self.assertIn("127.0.0.0/8", out)

    def test_other_loopback_address(self):
        proc, port, _ = start(ARGS.sample, "--bind", "127.0.0.3")
        self.assertEqual(stop(proc)[0], 0)

    def test_taken_port_is_named(self):
        for which in ("--http-port", "--https-port"):
            with self.subTest(which=which), socket.socket() as taken:
                taken.bind(("127.0.0.1", 0))
                taken.listen()
                busy = taken.getsockname()[1]
                other = free_port()
                ports = {"--http-port": other, "--https-port": other}
                ports[which] = busy
                rc, out = run_to_exit("--params", ARGS.sample, "--cert-dir",
                                      tempfile.mkdtemp(prefix="server-cli-certs-"),
                                      "--http-port", str(ports["--http-port"]),
                                      "--https-port", str(ports["--https-port"]))
                self.assertEqual(rc, 2, out)
                self.assertIn("port %d" % busy, out)
                self.assertIn("already in use", out)

    def test_signals_stop_cleanly(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                log = tempfile.mktemp(prefix="server-cli-log-")
                proc, port, ready = start(ARGS.sample, "--log", log)
                with open(ready) as f:
                    self.assertEqual(f.read().strip(), str(proc.pid))
                for body in (b"account=12345&accountType=0", b"account=1&accountType=0"):
                    request(port, "POST", "/parambridge/run/", body)
                rc, err = stop(proc, sig)
                self.assertEqual(rc, 0, err)
                self.assertFalse(os.path.exists(ready))
                with open(log) as f:
                    lines = [l for l in f if '"POST ' in l]
                os.unlink(log)
                # One line per request, in the log file and on stderr.
                self.assertEqual(len(lines), 2)
                self.assertIn("account=12345&accountType=0", lines[0])
                self.assertIn("unknown account", lines[1])
                self.assertEqual(len([l for l in err.splitlines() if '"POST ' in l]), 2)

    def test_https_port_zero_disables_https(self):
        proc, port, _ = start(ARGS.sample)
        rc, err = stop(proc)
        self.assertEqual(rc, 0)
        listening = [l for l in err.splitlines() if "listening on" in l]
        self.assertEqual(len(listening), 1)
        self.assertIn("http://127.0.0.1:%d" % port, listening[0])
        self.assertNotIn("https", listening[0])


class ControlTest(unittest.TestCase):
    def test_script_and_log(self):
        proc, port, _ = start(ARGS.sample, "--control")
        try:
            def control(method, op, doc=None):
                data = None if doc is None else json.dumps(doc).encode()
                req = urllib.request.Request("http://127.0.0.1:%d/_pb/%s" % (port, op),
                                             data=data, method=method)
                with OPENER.open(req, timeout=20) as r:
                    return json.loads(r.read())
            control("POST", "script", [{"status": 500, "body": "boom"}])
            req = urllib.request.Request("http://127.0.0.1:%d/any" % port, data=b"a\0b",
                                         method="POST", headers={"X-Probe": "1"})
            with self.assertRaises(urllib.error.HTTPError) as e:
                OPENER.open(req, timeout=20)
            self.assertEqual((e.exception.code, e.exception.read()), (500, b"boom"))
            # The script is used up: the parameter file answers again.
            self.assertEqual(request(port, "POST", "/parambridge/run/",
                                     b"account=12345&accountType=0")[1], SAMPLE_OK)
            log = control("GET", "log")
            self.assertEqual([(e["method"], e["target"]) for e in log],
                             [("POST", "/any"), ("POST", "/parambridge/run/")])
            self.assertEqual(base64.b64decode(log[0]["body_b64"]), b"a\0b")
            self.assertIn(["X-Probe", "1"], log[0]["headers"])
            control("POST", "reset", {})
            self.assertEqual(control("GET", "log"), [])
        finally:
            self.assertEqual(stop(proc)[0], 0)

    def test_held_reply_waits_for_its_release(self):
        # (the control operation that lets the held reply go)
        table = ["release", "reset"]
        proc, port, _ = start(ARGS.sample, "--control")
        try:
            def control(op, doc):
                req = urllib.request.Request("http://127.0.0.1:%d/_pb/%s" % (port, op),
                                             data=json.dumps(doc).encode(), method="POST")
                return json.loads(OPENER.open(req, timeout=20).read())
            for let_go in table:
                with self.subTest(let_go=let_go):
                    control("reset", {})
                    control("script", [{"hold": True, "body": "late"}])
                    with socket.create_connection(("127.0.0.1", port), timeout=20) as c:
                        c.sendall(b"POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n"
                                  b"Connection: close\r\n\r\n")
                        # The request is logged before the hold: once it is,
                        # nothing of the reply may have come.
                        deadline = time.monotonic() + 20
                        while not json.loads(OPENER.open(
                                "http://127.0.0.1:%d/_pb/log" % port, timeout=20).read()):
                            self.assertLess(time.monotonic(), deadline, "request never logged")
                            time.sleep(0.01)
                        c.setblocking(False)
                        with self.assertRaises(BlockingIOError):
                            c.recv(1)
                        c.setblocking(True)
                        control(let_go, {})
                        got = b""
                        while True:
                            piece = c.recv(65536)
                            if not piece:
                                break
                            got += piece
                    self.assertRegex(got, rb"^HTTP/1\.[01] 200 ")
                    self.assertEqual(got.split(b"\r\n\r\n", 1)[1], b"late")
        finally:
            self.assertEqual(stop(proc)[0], 0)

    def test_cut_replies_on_the_wire(self):
        # (script, what follows the headers on the wire, ended by a reset)
        table = [
            ({"mode": "chunked", "body": "abcdef", "pieces": [2]}, b"2\r\nab\r\n4\r\ncdef\r\n0\r\n\r\n",
             False),
            ({"mode": "chunked", "body": "abcdef", "pieces": [2], "last_chunk": False},
             b"2\r\nab\r\n4\r\ncdef\r\n", False),
            ({"mode": "chunked", "body": "abcdef", "pieces": [2], "chunk_missing": 3},
             b"2\r\nab\r\n7\r\ncdef", False),
            ({"mode": "short", "body": "abc", "missing": 5, "pause_ms": 100, "reset": True},
             b"abc", True),
        ]
        proc, port, _ = start(ARGS.sample, "--control")
        try:
            for script, wire, reset in table:
                with self.subTest(script=script):
                    req = urllib.request.Request("http://127.0.0.1:%d/_pb/script" % port,
                                                 data=json.dumps([script]).encode(), method="POST")
                    OPENER.open(req, timeout=20).read()
                    with socket.create_connection(("127.0.0.1", port), timeout=20) as c:
                        c.sendall(b"POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n"
                                  b"Connection: close\r\n\r\n")
                        got, was_reset = b"", False
                        while True:
                            try:
                                piece = c.recv(65536)
                            except ConnectionResetError:
                                was_reset = True
                                break
                            if not piece:
                                break
                            got += piece
                    # A reset may take unread bytes with it: only a prefix is sure.
                    body = got.split(b"\r\n\r\n", 1)[1]
                    self.assertEqual(was_reset, reset)
                    if reset:
                        self.assertTrue(wire.startswith(body), body)
                    else:
                        self.assertEqual(body, wire)
        finally:
            self.assertEqual(stop(proc)[0], 0)


def main():
    global ARGS
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser()
    p.add_argument("--server", default=os.path.join(here, "product_server.py"))
    p.add_argument("--sample", default=os.path.join(here, "..", "..", "server", "params.json"))
    ARGS, rest = p.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
