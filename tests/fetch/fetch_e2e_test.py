#!/usr/bin/env python3
"""The fetch end to end under Wine: parambridge.dll and pb::PostForm over
Wine's WinHTTP against the stand-in (tests/standin/product_server.py) on
127.0.0.1:80 and :443.

Every DLL scenario runs in a fresh probe process, so each starts from a
freshly loaded module (loaded flag clear, last error code 0, empty store).

usage: fetch_e2e_test.py --server S --wine-run W --dll D --dll-probe P
                         --post-probe Q --work-dir DIR [unittest args]
"""

import argparse
import base64
import os
import re
import socket
import ssl
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (PortLock, ServerProcess, make_certificate, reply_body,  # noqa: E402
                     wine_environment)

ARGS = None
SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLE_PARAMS = os.path.join(SOURCE_ROOT, "server", "params.json")
ENDPOINT = "http://127.0.0.1/parambridge/run/"


def run_wine(exe, args, trace=False):
    env = wine_environment()
    if trace:
        env["WINEDEBUG"] = "+winhttp"
    r = subprocess.run([ARGS.wine_run, exe] + list(args), stdin=subprocess.DEVNULL,
                       capture_output=True, env=env, timeout=120)
    lines = [l.rstrip("\r") for l in r.stdout.decode("latin-1").splitlines()]
    return r.returncode, lines, r.stderr.decode("latin-1")


def dll(*ops, path=None):
    rc, lines, err = run_wine(ARGS.dll_probe, [path or ARGS.dll] + list(ops))
    if rc != 0:
        raise AssertionError("dll_probe %s exited %d: %s %s" % (ops, rc, lines, err[-2000:]))
    return lines


def post(url, body, trace=False, pins=None):
    """(reply bytes, WinHTTP trace text) of one pb::PostForm call."""
    rc, lines, err = run_wine(ARGS.post_probe, (["--pins", pins] if pins else [])
                              + [url, body.hex() or "-"], trace=trace)
    if rc != 0 or len(lines) != 1 or not lines[0].startswith("reply "):
        raise AssertionError("post_probe %s exited %d: %s %s" % (url, rc, lines, err[-2000:]))
    _, n, *hexpart = lines[0].split(" ")
    reply = bytes.fromhex(hexpart[0] if hexpart else "")
    assert len(reply) == int(n)
    return reply, err


def bits(x):
    return struct.pack(">d", x).hex()


def getter(name, x):
    return "%s %s %.17g" % (name, bits(x), x)


def desc(text):
    raw = text.encode("latin-1")
    return "desc %d %s intact=1" % (len(raw), raw.hex())


INTERNAL = desc("Internal dll error")
NO_CONNECTION = desc("Could not connect to server.")
MINUS_ONE = [getter("f101", -1.0), getter("f102", -1.0), getter("f103", -1.0)]


class LoopbackCase(unittest.TestCase):
    """Holds the port lock and one product server (80 and 443) for the class."""

    https = True

    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(ARGS.work_dir, cls.__name__)
        cls.lock = PortLock().__enter__()
        try:
            cert_dir = os.path.join(cls.work, "certs-default")
            if not os.path.exists(os.path.join(cert_dir, "server.crt")):
                make_certificate(cert_dir, "127.0.0.1")
            cls.server = ServerProcess(ARGS.server, SAMPLE_PARAMS, cls.work,
                                       https_port=443 if cls.https else 0, cert_dir=cert_dir)
        except BaseException:
            cls.lock.__exit__()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            status = cls.server.stop()
        finally:
            cls.lock.__exit__()
        if status != 0:
            raise AssertionError("product server ended with %s" % status)

    def setUp(self):
        self.server.reset()


class RequestTest(LoopbackCase):
    """The request as the server sees it."""

    https = False
    FIXED_HEADERS = {
        "User-Agent": "PostSample/1.0",
        "Content-Type": "application/x-www-form-urlencoded",
        "Accept": "*/*",
        "Host": "127.0.0.1",
    }

    def check_request(self, seen, target, body):
        self.assertEqual(seen["method"], "POST")
        self.assertEqual(seen["version"], "HTTP/1.1")
        self.assertEqual(seen["target"], target)
        headers = dict(seen["headers"])
        for name, value in self.FIXED_HEADERS.items():
            self.assertEqual(headers.get(name), value, "header %s in %s" % (name, seen["headers"]))
        self.assertEqual(headers.get("Content-Length"), str(len(body)))
        self.assertNotIn("Transfer-Encoding", headers)
        self.assertEqual(seen["body"], body)

    def test_dll_request_fields(self):
        # (probe ops, body the server must receive). All in one process: a
        # status of 201 leaves the module unloaded, so every call posts.
        # Each call opens and closes its own session, yet Wine's WinHTTP
        # keeps the TCP connection in a process-wide pool and sends all six
        # requests over one connection (the "peer" of every log entry is the
        # same); Windows pools connections per session, which each call
        # closes. Nothing here depends on either.
        table = [
            (["load", "12345", "0"], b"account=12345&accountType=0"),
            (["load", "12345", "-1"], b"account=12345&accountType=-1"),
            (["load", "", "5"], b"account=&accountType=5"),
            (["loadnull", "5"], b"account=&accountType=5"),
            (["load", "x y&z=1", "2147483647"], b"account=x y&z=1&accountType=2147483647"),
            (["load", "a%2B+b", "-2147483648"], b"account=a%2B+b&accountType=-2147483648"),
        ]
        self.server.script(*[{"body": reply_body(("error", 201))} for _ in table])
        ops = [op for row, _ in table for op in row]
        lines = dll(*ops)
        self.assertEqual(lines, ["load 0"] * len(table))
        seen = self.server.requests()
        self.assertEqual(len(seen), len(table), [s["body"] for s in seen])
        for (row, body), s in zip(table, seen):
            with self.subTest(ops=row, expected=body, got=s["body"]):
                self.check_request(s, "/parambridge/run/", body)

    def test_post_form_targets_and_bodies(self):
        # (URL, body, target the server must see)
        table = [
            ("http://127.0.0.1", b"a=1", "/"),
            ("http://127.0.0.1/", b"a=1", "/"),
            ("http://127.0.0.1/parambridge/run/", b"account=1&accountType=0",
             "/parambridge/run/"),
            ("http://127.0.0.1/a/b?c=1&d", b"x", "/a/b?c=1&d"),
            ("http://127.0.0.1/x", b"", "/x"),
            ("http://127.0.0.1/x", b"v=\xe9\x7f%20+&&==", "/x"),
        ]
        for url, body, target in table:
            with self.subTest(url=url, body=body, target=target):
                self.server.reset()
                self.server.script({"body": "ok"})
                reply, _ = post(url, body)
                self.assertEqual(reply, b"ok")
                seen = self.server.requests()
                self.assertEqual(len(seen), 1, seen)
                self.check_request(seen[0], target, body)

    def test_host_with_port_goes_whole_to_winhttp(self):
        # The ":81" stays part of the host name and the port stays 80. Wine's
        # WinHTTP then resolves "127.0.0.1:81" as a name, which fails, so no
        # connection is made at all (it would send "Host: 127.0.0.1:81" had
        # the name resolved). The trace shows what the transport handed over.
        reply, trace = post("http://127.0.0.1:81/x", b"a=1", trace=True)
        self.assertEqual(reply, b"")
        self.assertRegex(trace, r'WinHttpConnect [0-9A-F]+, L"127\.0\.0\.1:81", 80, 0')
        self.assertEqual(self.server.requests(), [])

    def test_winhttp_call_sequence(self):
        # The platform calls, as Wine's WinHTTP traces them: their order, the
        # fixed arguments, and handles closed request first, session last.
        self.server.script({"body": "hello"})
        reply, trace = post(ENDPOINT, b"a=1", trace=True)
        self.assertEqual(reply, b"hello")
        calls = [m.group(1, 2) for m in re.finditer(r"trace:winhttp:(WinHttp\w+) (.*)", trace)
                 if not m.group(2).startswith("returning")
                 and m.group(1) != "WinHttpGetDefaultProxyConfiguration"]
        names = [c[0] for c in calls]
        expected_start = [
            ("WinHttpOpen", r'L"PostSample/1\.0", 0, \(null\), \(null\), 0$'),
            ("WinHttpSetTimeouts", r"[0-9A-F]+, 900000, 900000, 900000, 900000$"),
            ("WinHttpConnect", r'[0-9A-F]+, L"127\.0\.0\.1", 80, 0$'),
            ("WinHttpOpenRequest",
             r'[0-9A-F]+, L"POST", L"parambridge/run/", \(null\), \(null\), 0+, 0$'),
            # WINHTTP_OPTION_DISABLE_FEATURE: redirects are never followed.
            ("WinHttpSetOption", r"[0-9A-F]+, 63, [0-9A-F]+, 4$"),
            ("WinHttpSendRequest",
             r'[0-9A-F]+, L"Content-Type: application/x-www-form-urlencoded\\r\\nAccept: '
             r'\*/\*\\r\\n", 4294967295, 0+, 0, 3, 0$'),
            ("WinHttpWriteData", r"[0-9A-F]+, [0-9A-F]+, 3, "),
            ("WinHttpReceiveResponse", r"[0-9A-F]+, 0+$"),
            ("WinHttpQueryHeaders", r"[0-9A-F]+, 0x16, \(null\), 0+, "),
            ("WinHttpQueryHeaders", r"[0-9A-F]+, 0x16, \(null\), [0-9A-F]*[1-9A-F][0-9A-F]*, "),
        ]
        self.assertEqual(names[:len(expected_start)], [n for n, _ in expected_start], names)
        for (name, pattern), (_, args) in zip(expected_start, calls):
            self.assertRegex(args, pattern, name)
        self.assertEqual(names.count("WinHttpSetOption"), 1)  # http: no security flags
        # Handles close request first, then connection, then session.
        handle = {n: calls[names.index(n)][1].split(",")[0]
                  for n in ("WinHttpSetTimeouts", "WinHttpOpenRequest", "WinHttpSendRequest")}
        connection = [a for n, a in calls if n == "WinHttpOpenRequest"][0].split(",")[0]
        closes = [args for name, args in calls if name == "WinHttpCloseHandle"]
        self.assertEqual(names[-3:], ["WinHttpCloseHandle"] * 3, names)
        self.assertEqual(closes, [handle["WinHttpSendRequest"], connection,
                                  handle["WinHttpSetTimeouts"]])
        self.assertEqual(names.count("WinHttpOpen"), 1)
        self.assertEqual(names.count("WinHttpConnect"), 1)


class TransportTest(LoopbackCase):
    """Replies and faults, through pb::PostForm."""

    https = False

    def test_replies_and_faults(self):
        big = bytes((b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i * 7 % 64]
                     for i in range(300000)))
        # (case, scripted reply, reply text PostForm must return)
        table = [
            ("200 with a body", {"body": "abc"}, b"abc"),
            ("500 with a body", {"status": 500, "body": "server broke"}, b"server broke"),
            ("404 with a body", {"status": 404, "body": "nope"}, b"nope"),
            ("empty body", {"body": ""}, b""),
            ("204 without body", {"status": 204, "body": ""}, b""),
            ("close-delimited", {"mode": "close", "body": "until close"}, b"until close"),
            ("chunked", {"mode": "chunked", "body": "abcdefgh", "pieces": [3, 3],
                         "pause_ms": 50}, b"abcdefgh"),
            ("chunked one byte each", {"mode": "chunked", "body": "0123456789",
                                       "pieces": [1] * 9}, b"0123456789"),
            ("large, one write", {"body_b64": _b64(big)}, big),
            ("large, in pieces", {"body_b64": _b64(big), "pieces": [1, 4095, 8192, 100000],
                                  "pause_ms": 20}, big),
            ("large, chunked", {"mode": "chunked", "body_b64": _b64(big),
                                "pieces": [7, 65536, 1000, 120000], "pause_ms": 20}, big),
            ("high bytes", {"body_b64": _b64(bytes(range(1, 256)))}, bytes(range(1, 256))),
            # A NUL ends the text of the piece that one read returns; later
            # reads are appended. How the body comes apart into reads is
            # WinHTTP's choice, so these rows expect each read's text as the
            # trace shows the reads (see piecewise_text). The pause makes a
            # read per piece likely, which gives the third column.
            ("NUL in a chunk", {"mode": "chunked", "body_b64": _b64(b"AAAA\0BBBBCCCC"),
                                "pieces": [9], "pause_ms": 500}, Piecewise(b"AAAACCCC")),
            ("NUL in a piece", {"body_b64": _b64(b"AAAA\0BBBBCCCC"), "pieces": [9],
                                "pause_ms": 500}, Piecewise(b"AAAACCCC")),
            ("NUL first", {"mode": "chunked", "body_b64": _b64(b"\0xyz-tail"), "pieces": [4],
                           "pause_ms": 500}, Piecewise(b"-tail")),
            # Fewer bytes than Content-Length: not a whole reply.
            ("closed mid-body", {"mode": "short", "body": "partial", "missing": 100,
                                 "pause_ms": 100}, b""),
            ("closed mid-body, two pieces", {"mode": "short", "body": "part-one|two",
                                             "pieces": [9], "pause_ms": 200}, b""),
            ("500 with a body of 1 MiB", {"status": 500, "body": "x" * (1 << 20)},
             b"x" * (1 << 20)),
            ("closed before a response", {"mode": "drop"}, b""),
        ]
        for case, script, expected in table:
            with self.subTest(case=case, script={k: v for k, v in script.items()
                                                 if k != "body_b64"}):
                self.server.reset()
                self.server.script(script)
                piecewise = isinstance(expected, Piecewise)
                reply, trace = post(ENDPOINT, b"account=1&accountType=0", trace=piecewise)
                self.assertEqual(len(self.server.requests()), 1)
                if piecewise:
                    body = base64.b64decode(script["body_b64"])
                    reads = read_sizes(trace)
                    self.assertEqual(sum(reads), len(body), "reads %s" % reads)
                    pieces = script["pieces"] + [len(body) - sum(script["pieces"])]
                    if reads == pieces:
                        self.assertEqual(piecewise_text(body, reads), expected.one_read_per_piece)
                    expected = piecewise_text(body, reads)
                self.assertEqual(reply, expected, "got %r" % reply[:200])

    def test_urls_that_open_no_connection(self):
        # (URL) each gives empty reply text and no request reaches a server.
        # 127.0.0.2:80 has no listener (the server binds 127.0.0.1): refused.
        table = [
            "ftp://127.0.0.1/parambridge/run/",
            "HTTP://127.0.0.1/parambridge/run/",
            "Http://127.0.0.1/parambridge/run/",
            "HTTPS://127.0.0.1/parambridge/run/",
            "http:",
            "127.0.0.1/parambridge/run/",
            "http://127.0.0.2/parambridge/run/",
        ]
        for url in table:
            with self.subTest(url=url):
                self.server.reset()
                reply, trace = post(url, b"a=1", trace=url.startswith(("ftp", "HTTP", "Http")))
                self.assertEqual(reply, b"")
                self.assertEqual(self.server.requests(), [])
                if url.startswith(("ftp", "HTTP", "Http")):
                    self.assertNotIn("WinHttpOpen", trace)  # refused before any call


def _b64(data):
    return base64.b64encode(data).decode()


class Piecewise:
    """Expected reply text that depends on how the body was read; the text
    for one read per scripted piece is kept to check the rule against."""

    def __init__(self, one_read_per_piece):
        self.one_read_per_piece = one_read_per_piece


def read_sizes(trace):
    """Byte counts of the WinHttpReadData calls that returned data, from a
    +winhttp trace: each call logs "read_data retrieved N bytes"."""
    sizes, in_call = [], False
    for line in trace.splitlines():
        if "trace:winhttp:WinHttpReadData " in line:
            in_call = True
            continue
        m = re.search(r"trace:winhttp:read_data retrieved (\d+) bytes", line)
        if m and in_call:
            in_call = False
            if int(m.group(1)):
                sizes.append(int(m.group(1)))
    return sizes


def piecewise_text(body, reads):
    """The reply the fetch must give for `body` read in pieces of `reads`
    bytes: each piece's text up to its first NUL, appended."""
    text, at = b"", 0
    for n in reads:
        text += body[at:at + n].split(b"\0", 1)[0]
        at += n
    return text


class HttpsTest(LoopbackCase):
    """https://127.0.0.1/...: port 443, and the three waived certificate faults."""

    def test_certificates_accepted(self):
        # (certificate, name it is for, validity). Each is self-signed, so
        # the authority is unknown in every case. Wine's chain check reports
        # an expired self-signed certificate as out of date only, not as of
        # unknown authority: the self-signed and wrong-name rows are the ones
        # that fail when the unknown-authority waiver is missing. The trace
        # shows the flags handed to WinHTTP in every row.
        table = [
            ("self-signed", "127.0.0.1", None, None),
            ("expired", "127.0.0.1", "20200101000000Z", "20200201000000Z"),
            ("not yet valid", "127.0.0.1", "20900101000000Z", "20900201000000Z"),
            ("wrong name", "wrong.example", None, None),
            ("wrong name and expired", "wrong.example", "20190101000000Z", "20190201000000Z"),
        ]
        body = b"account=12345&accountType=0"
        expected = reply_body(("error", 100), ("func101", 1.5), ("func102", 0.00025),
                              ("func103", 12345.678), ("lotStep", 0.01)).encode()
        for case, name, start, end in table:
            with self.subTest(case=case):
                cert, key = make_certificate(os.path.join(self.work, case.replace(" ", "-")),
                                             name, start, end)
                self.server.set_certificate(cert, key)
                self.server.reset()
                with open(cert) as f:
                    presented = ssl.get_server_certificate(("127.0.0.1", 443))
                    self.assertEqual(ssl.PEM_cert_to_DER_cert(presented),
                                     ssl.PEM_cert_to_DER_cert(f.read()))
                self.server.reset()
                reply, trace = post("https://127.0.0.1/parambridge/run/", body, trace=True)
                self.assertEqual(reply, expected)
                seen = self.server.requests()
                self.assertEqual(len(seen), 1)
                self.assertTrue(seen[0]["tls"])
                self.assertEqual(seen[0]["port"], 443)
                self.assertEqual(seen[0]["body"], body)
                self.assertEqual(dict(seen[0]["headers"]).get("User-Agent"), "PostSample/1.0")
                self.assertRegex(trace, r'WinHttpConnect [0-9A-F]+, L"127\.0\.0\.1", 443, 0')
                self.assertRegex(trace, r"WinHttpOpenRequest .*, 0x800000\n")
                self.assertRegex(trace, r"WinHttpSetOption [0-9A-F]+, 31, [0-9A-F]+, 4\n")
                self.assertIn("request_set_option 0x3100", trace)


class StatusRulesTest(LoopbackCase):
    """LoadParameters and the error exports, one fresh module per scenario."""

    https = False

    def run_table(self, table):
        # (case, scripted replies, probe ops, expected lines, requests the
        # server must see)
        for case, replies, ops, expected, requests in table:
            with self.subTest(case=case, replies=replies, ops=ops):
                self.server.reset()
                self.server.script(*[r if isinstance(r, dict) else {"body": reply_body(*r)}
                                     for r in replies])
                lines = dll(*ops)
                self.assertEqual(lines, expected)
                self.assertEqual(len(self.server.requests()), requests)

    def test_status_rules(self):
        L = ["load", "12345", "0"]
        paused = ("errorD", "Service paused")
        self.run_table([
            ("before any fetch", [], ["code", "desc", "f101", "f102", "f103"],
             ["code 0", INTERNAL] + MINUS_ONE, 0),
            ("success, bits exact",
             [[("error", 100), ("func101", "0.1"), ("func102", "0.00025"),
               ("func103", "12345.678")]],
             L + ["code", "desc", "f101", "f102", "f103"],
             ["load 1", "code 1", INTERNAL, getter("f101", 0.1), getter("f102", 0.00025),
              getter("f103", 12345.678)], 1),
            ("sample parameter file", [], L + ["f101", "f102", "f103", "get", "lotStep"],
             ["load 1", getter("f101", 1.5), getter("f102", 0.00025), getter("f103", 12345.678),
              "get lotStep " + bits(0.01)], 1),
            ("sample file, unknown account", [], ["load", "999", "0", "code", "desc"],
             ["load 0", "code 201", desc("Unknown account")], 1),
            ("205 with errorD", [[("error", 205), paused]], L + ["code", "desc", "f101"],
             ["load 0", "code 205", desc("Service paused"), getter("f101", -1.0)], 1),
            ("205 without errorD", [[("error", 205)]], L + ["code", "desc"],
             ["load 0", "code 205", desc("")], 1),
            # Each exchange is judged on its own reply: the store starts empty.
            ("a later reply without status is judged on its own",
             [[("error", 205), paused], [("func101", 2)]], L + L + ["code", "desc", "get", "error"],
             ["load 0", "load 0", "code 2", INTERNAL, "get error " + bits(-7.0)], 2),
            ("errorD of an earlier reply is gone",
             [[("error", 205), paused], [("error", 300)]], L + L + ["code", "desc"],
             ["load 0", "load 0", "code 300", desc("")], 2),
            ("1e2 is 100", [[("error", "1e2"), ("func101", 3)]], L + ["code", "f101"],
             ["load 1", "code 1", getter("f101", 3.0)], 1),
            ("100abc is 100", [[("error", "100abc")]], L + ["code"], ["load 1", "code 1"], 1),
            ("1e10 is out of range", [[("error", "1e10")]], L + ["code", "desc"],
             ["load 0", "code -2147483648", INTERNAL], 1),
            ("-1 is no status", [[("error", -1)]], L + ["code", "desc"],
             ["load 0", "code 2", INTERNAL], 1),
            ("no status", [[("func101", 1.5)]], L + ["code", "desc", "f101", "get", "func101"],
             ["load 0", "code 2", INTERNAL, getter("f101", -1.0), "get func101 " + bits(1.5)], 1),
            ("status 3", [[("error", 3)]], L + ["code", "desc"],
             ["load 0", "code 3", NO_CONNECTION], 1),
            ("status 50", [[("error", 50)]], L + ["code", "desc"],
             ["load 0", "code 50", INTERNAL], 1),
            ("status 1.7", [[("error", "1.7")]], L + ["code"], ["load 0", "code 1"], 1),
            ("status -3.5", [[("error", "-3.5")]], L + ["code", "desc"],
             ["load 0", "code -3", INTERNAL], 1),
            ("empty body", [{"body": ""}], L + ["code", "desc", "get", "test"],
             ["load 0", "code 3", NO_CONNECTION, "get test " + bits(2.0)], 1),
            ("connection closed mid-body: nothing of it is decoded",
             [{"mode": "short", "missing": 50,
               "body": reply_body(("error", 205), ("errorD", "Service paused"))[:28]}],
             L + ["code", "desc", "get", "error"],
             ["load 0", "code 3", NO_CONNECTION, "get error " + bits(-7.0)], 1),
            ("500 carrying a success reply",
             [{"status": 500, "body": reply_body(("error", 100), ("func101", 4))}],
             L + ["f101"], ["load 1", getter("f101", 4.0)], 1),
            ("chunked success reply",
             [{"mode": "chunked", "pieces": [5, 5], "pause_ms": 50,
               "body": reply_body(("error", 100), ("func103", 12345.678))}],
             L + ["f103"], ["load 1", getter("f103", 12345.678)], 1),
            ("second call after success makes no request",
             [[("error", 100), ("func101", 1)]], L + ["load", "other", "-1", "code"],
             ["load 1", "load 1", "code 1"], 1),
            ("failure, then success",
             [[("error", 205), paused], [("error", 100), ("func102", 8)]],
             L + ["code"] + L + ["code", "f102", "load", "x", "1"],
             ["load 0", "code 205", "load 1", "code 1", getter("f102", 8.0), "load 1"], 2),
            ("test entry written before the request", [[("error", 205)]],
             L + ["get", "test"], ["load 0", "get test " + bits(2.0)], 1),
            ("null description buffer writes nothing", [[("error", 205), paused]],
             L + ["descnull", "code"], ["load 0", "descnull", "code 205"], 1),
            # Eight threads load at once against a server that answers slowly,
            # while two more poll the getters and the description.
            ("eight callers at once: one request, all succeed",
             [{"pieces": [8], "pause_ms": 300,
               "body": reply_body(("error", 100), ("func101", 1.5), ("func102", 2.5),
                                  ("func103", 3.5))}],
             ["together", "8", "12345", "0", "code", "f101", "f103"],
             ["together 1,1,1,1,1,1,1,1 odd=0", "code 1", getter("f101", 1.5),
              getter("f103", 3.5)], 1),
            ("eight callers at once, each failing: one exchange each",
             [{"pieces": [8], "pause_ms": 50, "body": reply_body(("error", 205), paused)}] * 8,
             ["together", "8", "12345", "0", "code", "desc", "get", "errorD"],
             ["together 0,0,0,0,0,0,0,0 odd=0", "code 205", desc("Service paused"),
              "get errorD " + bits(-7.0)], 8),
        ])

    def test_long_description_is_cut_to_255(self):
        # (errorD length, bytes written before the NUL)
        for length, written in [(254, 254), (255, 255), (256, 255), (300, 255)]:
            text = "".join(chr(ord("a") + i % 26) for i in range(length))
            with self.subTest(length=length):
                self.server.reset()
                self.server.script({"body": reply_body(("error", 205), ("errorD", text))})
                self.assertEqual(dll("load", "1", "0", "desc"), ["load 0", desc(text[:written])])


class EndedCallersTest(LoopbackCase):
    """A terminal ends a thread that overstays in a DLL call (TerminateThread)
    and may then unload the DLL: the exchange runs on the module's own worker
    thread, so neither harms the next caller."""

    https = False
    PAUSED = ("errorD", "Service paused")

    def run_table(self, table, path=None):
        # (what the row proves, scripted replies, probe ops, expected lines,
        # requests the server must see)
        for case, replies, ops, expected, requests in table:
            with self.subTest(case=case):
                self.server.reset()
                self.server.script(*replies)
                self.assertEqual(dll(*ops, path=path), expected)
                self.assertEqual(len(self.server.requests()), requests)

    def test_ended_callers_and_unload(self):
        # The first reply comes 3 s after its first 8 bytes and ends with its
        # connection (the server pauses after the last piece too, and a later
        # request must not queue behind that on a kept-alive connection); the
        # caller that asked for it is ended after 1 s.
        def slow(*pairs):
            return {"mode": "close", "pieces": [8], "pause_ms": 3000, "body": reply_body(*pairs)}
        slow_ok = slow(("error", 100), ("func101", 1.5))
        quick_ok = {"body": reply_body(("error", 100), ("func101", 2.5))}
        self.run_table([
            ("ended while its exchange waits on the server: the next caller joins that "
             "exchange and returns within a second of its end (it used to wait forever)",
             [slow_ok], ["ended", "1000", "0", "12345", "0", "code", "f101"],
             ["ended 1 - late=0", "code 1", getter("f101", 1.5)], 1),
            ("ended while two others wait behind it: they get its success, no second request",
             [slow_ok], ["ended", "1000", "2", "12345", "0"], ["ended 1 1,1 late=0"], 1),
            ("ended, and its exchange fails: the callers after it run one new exchange",
             [slow(("error", 205), self.PAUSED), quick_ok],
             ["ended", "1000", "2", "12345", "0", "code", "f101"],
             ["ended 1 1,1 late=0", "code 1", getter("f101", 2.5)], 2),
            ("FreeLibrary during the ended caller's exchange: the worker keeps the module "
             "mapped, and a load at once joins that exchange",
             [slow_ok], ["unload", "1000", "now", "load", "12345", "0", "f101"],
             ["unload mapped=1", "load 1", getter("f101", 1.5)], 1),
            ("FreeLibrary during the exchange, loaded afresh once the worker has unmapped "
             "the module: the late answer harmed nothing, the new module fetches anew",
             [slow_ok, quick_ok],
             ["unload", "1000", "after", "code", "f101", "load", "12345", "0", "f101"],
             ["unload mapped=1", "code 0", getter("f101", -1.0), "load 1", getter("f101", 2.5)],
             2),
            ("FreeLibrary right after LoadParameters returned: no worker holds the module "
             "any more (none parked, none about to let go), so it unloads at once and a "
             "load after it fetches anew",
             [quick_ok, quick_ok],
             ["load", "12345", "0", "free", "code", "f101", "load", "12345", "0", "f101"],
             ["load 1", "free unmapped=1", "code 0", getter("f101", -1.0), "load 1",
              getter("f101", 2.5)], 2),
        ])

    def test_ended_in_the_store_write_path(self):
        # The test build pauses 400 ms in each store write: "test", then the
        # reply's nine pairs, 4 s in all from the first write. The caller is
        # ended 1.5 s in, while the exchange writes; the readers return with
        # the exchange unfinished (func101 still -1), so nothing an ended
        # caller held stands in their way, and the next caller gets the result.
        pairs = [("error", 100), ("func101", 1.5)] + [("p%d" % k, k) for k in range(7)]
        self.run_table([
            ("ended in the store's write path", [{"body": reply_body(*pairs)}],
             ["readwhilewriting", "1500", "load", "12345", "0", "f101"],
             ["readwhilewriting f101 %s desc 18" % bits(-1.0), "load 1", getter("f101", 1.5)], 1),
        ], path=ARGS.slow_store_dll)


class RefreshTest(LoopbackCase):
    """RefreshParameters on a running module: new values, a revocation, and
    every other answer, which keeps the values; readers through 200
    refreshes; a server that holds its answer; an ended caller."""

    https = False
    L = ["load", "12345", "0"]
    R = ["refresh", "12345", "0"]
    LOADED = [("error", 100), ("func101", 1.5), ("func102", 2.5), ("func103", 3.5),
              ("lotStep", 0.01)]
    KEPT = ["get lotStep " + bits(0.01), getter("f101", 1.5), getter("f102", 2.5),
            getter("f103", 3.5)]
    CHECKS = ["get", "lotStep", "f101", "f102", "f103"]

    def run_table(self, table):
        # (case, scripted replies, probe ops, expected lines, requests the
        # server must see)
        for case, replies, ops, expected, requests in table:
            with self.subTest(case=case):
                self.server.reset()
                self.server.script(*[r if isinstance(r, dict) else {"body": reply_body(*r)}
                                     for r in replies])
                self.assertEqual(dll(*ops), expected)
                self.assertEqual(len(self.server.requests()), requests)

    def test_outcomes(self):
        L, R, K = self.L, self.R, self.CHECKS
        new = [("error", 100), ("func101", 4.5), ("func102", 5.5), ("lotStep", 0.02)]
        again = [("error", 100), ("func101", 6.5)]
        # Each "kept" row: (case, the refresh's reply, its code, its description).
        kept = [
            ("connection closed before a response", {"mode": "drop"}, 3, NO_CONNECTION),
            ("reply cut short", {"mode": "short", "missing": 40,
                                 "body": reply_body(("error", 100), ("func101", 9))}, 3,
             NO_CONNECTION),
            ("503 with an empty body", {"status": 503, "body": ""}, 3, NO_CONNECTION),
            ("503 with a load balancer's page", {"status": 503, "body": "<html>busy</html>"}, 2,
             INTERNAL),
            ("200 with an empty body", {"body": ""}, 3, NO_CONNECTION),
            ("no status", [("func101", 9)], 2, INTERNAL),
            ("status 0", [("error", 0)], 0, INTERNAL),
            ("status 2", [("error", 2)], 2, INTERNAL),
            ("status 3", [("error", 3)], 3, NO_CONNECTION),
            ("status 300", [("error", 300), ("errorD", "Moved")], 300, desc("Moved")),
            ("status 400", [("error", 400), ("errorD", "Malformed request")], 400,
             desc("Malformed request")),
            ("a moved base path: the stand-in's own 404",
             {"status": 404, "body": reply_body(("error", 404), ("errorD", "Unknown path"))},
             404, desc("Unknown path")),
            ("status 405", [("error", 405), ("errorD", "Method not allowed")], 405,
             desc("Method not allowed")),
        ]
        self.run_table([
            ("refreshed to new values", [self.LOADED, new], L + R + ["code"] + K,
             ["load 1", "refresh 1", "code 1", "get lotStep " + bits(0.02),
              getter("f101", 4.5), getter("f102", 5.5), getter("f103", -1.0)], 2),
            ("revoked: unloaded, the next load asks the server again",
             [self.LOADED, [("error", 205), ("errorD", "License revoked")], again],
             L + R + ["code", "desc", "get", "error"] + K + L + ["f101"],
             ["load 1", "refresh 0", "code 205", desc("License revoked"),
              "get error " + bits(205.0), "get lotStep " + bits(-7.0)] + MINUS_ONE
             + ["load 1", getter("f101", 6.5)], 3),
            ("before any success a refresh is a load", [self.LOADED], R + ["code"] + K + L,
             ["refresh 1", "code 1"] + self.KEPT + ["load 1"], 1),
            ("before any success, refused", [], ["refresh", "999", "0", "code", "f101"],
             ["refresh 0", "code 201", getter("f101", -1.0)], 1),
        ] + [
            ("kept: " + case, [self.LOADED, reply], L + R + ["code", "desc"] + K + L,
             ["load 1", "refresh 0", "code %d" % code, description] + self.KEPT + ["load 1"], 2)
            for case, reply, code, description in kept
        ])

    def test_ended_caller(self):
        # The refresh's reply takes 3 s; its caller is ended after 1 s; the
        # next refresh joins that exchange and takes its result.
        slow = {"mode": "close", "pieces": [8], "pause_ms": 3000,
                "body": reply_body(("error", 100), ("func101", 4.5))}
        self.run_table([
            ("a caller ended inside RefreshParameters harms nothing", [self.LOADED, slow],
             self.L + ["endedrefresh", "1000", "12345", "0", "code", "f101", "get", "lotStep"]
             + self.R,
             ["load 1", "endedrefresh 1", "code 1", getter("f101", 4.5),
              "get lotStep " + bits(-7.0), "refresh 1"], 3),
        ])

    def interact(self, ops, on_line):
        """Runs the probe, handing each line it prints to on_line as it comes;
        returns all lines and the number of requests the server saw."""
        proc = subprocess.Popen([ARGS.wine_run, ARGS.dll_probe, ARGS.dll] + ops,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=wine_environment())
        lines = []
        try:
            for raw in proc.stdout:
                line = raw.decode("latin-1").rstrip("\r\n")
                lines.append(line)
                on_line(line)
            proc.wait(timeout=180)
            requests = len(self.server.requests())
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            self.server.reset()  # lets any held reply go
        self.assertEqual(proc.returncode, 0, lines)
        return lines, requests

    def release_on(self, prefix):
        def on_line(line):
            if line.startswith(prefix):
                self.server.release()
        return on_line

    def test_a_server_that_does_not_answer(self):
        # The refresh's reply is held: the call returns within 30 s with code
        # 3 and the values kept; the reply, once let go, is applied.
        table = [
            ("new values", [("error", 100), ("func101", 4.5)], "code 1", getter("f101", 4.5)),
            ("revoked", [("error", 205), ("errorD", "License revoked")], "code 205",
             getter("f101", -1.0)),
        ]
        for case, pairs, code, f101 in table:
            with self.subTest(case=case):
                self.server.reset()
                self.server.script({"body": reply_body(*self.LOADED)},
                                   {"hold": True, "body": reply_body(*pairs)})
                lines, requests = self.interact(
                    self.L + ["timedrefresh", "12345", "0", "code", "f101", "f102",
                              "awaitcode", "3", "f101"],
                    self.release_on("f102"))
                self.assertEqual(lines, ["load 1", "refresh 0 intime=1", "code 3",
                                         getter("f101", 1.5), getter("f102", 2.5), code, f101])
                self.assertEqual(requests, 2)

    def test_readers_through_200_refreshes(self):
        n, hold = 200, 100
        replies = [{"body": reply_body(*self.LOADED[:1], ("func101", 1), ("func102", 1),
                                       ("func103", 1), ("p", 1))}]
        for k in range(2, n + 2):
            reply = {"body": reply_body(("error", 100), ("func101", k), ("func102", k),
                                        ("func103", k), ("p", k))}
            if k == hold + 1:
                reply["hold"] = True
            replies.append(reply)
        self.server.reset()
        self.server.script(*replies)
        lines, requests = self.interact(
            self.L + ["storm", "8", str(n), "12345", "0", str(hold), "f103"],
            self.release_on("held"))
        self.assertEqual(lines, ["load 1", "held readers=progressed", "storm %d odd=0" % n,
                                 getter("f103", n + 1.0)])
        self.assertEqual(requests, n + 1)


def sized_reply(size, *pairs):
    """A reply of exactly `size` bytes: the pairs and a "pad" entry, in the
    reply format, filled up with '=' (where decoding stops)."""
    bare = len(reply_body(*pairs, ("pad", "")))
    body = reply_body(*pairs, ("pad", "A" * ((size - bare) * 3 // 4 - 3)))
    assert len(body) <= size, (len(body), size)
    return body + "=" * (size - len(body))


class WholeReplyTest(LoopbackCase):
    """Cut, redirected and oversized replies end as code 3 with nothing of
    them stored; the account reaches the server once."""

    https = False

    def test_cut_redirected_and_oversized_replies(self):
        L = ["load", "12345", "0"]
        served = reply_body(("error", 100), ("func101", 1.5), ("func102", 0.00025),
                            ("func103", 12345.678))
        cut = served[:44]  # taken whole it would load, with func102 = 0.0
        refused = ["load 0", "code 3", NO_CONNECTION, "get test " + bits(2.0),
                   "get func101 " + bits(-7.0), "get errorD " + bits(-7.0)]
        # (case, scripted reply, expected lines or None when Wine's WinHTTP
        # reports such a cut as a whole reply: not checkable under Wine, run
        # and shown). Each row first gets a refusal (205 with errorD), whose
        # entries the faulty reply must not inherit; a redirect that were
        # followed would get the success queued after it.
        table = [
            ("cut by length, closed", {"mode": "short", "body": cut, "missing": 32,
                                       "pause_ms": 50}, refused),
            ("cut by length, reset", {"mode": "short", "body": cut, "missing": 32,
                                      "pause_ms": 50, "reset": True}, refused),
            ("read failure: chunked, reset", {"mode": "chunked", "body": served, "pieces": [44],
                                              "pause_ms": 50, "last_chunk": False,
                                              "reset": True}, refused),
            ("read failure: no length, reset", {"mode": "close", "body": served, "pieces": [44],
                                                "pause_ms": 50, "reset": True}, refused),
            ("cut chunked, between chunks", {"mode": "chunked", "body": served, "pieces": [44],
                                             "pause_ms": 50, "last_chunk": False}, None),
            ("cut chunked, inside a chunk", {"mode": "chunked", "body": cut, "pieces": [40],
                                             "pause_ms": 50, "chunk_missing": 20}, None),
            ("redirect 301", {"status": 301, "body": served,
                              "headers": [["Location", ENDPOINT]]}, refused),
            ("redirect 302", {"status": 302, "body": served,
                              "headers": [["Location", ENDPOINT]]}, refused),
            ("redirect 307", {"status": 307, "body": served,
                              "headers": [["Location", ENDPOINT]]}, refused),
            ("1 MiB + 1", {"body": sized_reply((1 << 20) + 1, ("error", 100), ("func101", 1.5))},
             refused),
            ("1 MiB + 1, chunked: reading stops at the cap",
             {"mode": "chunked", "pieces": [600000],
              "body": sized_reply((1 << 20) + 1, ("error", 100), ("func101", 1.5))}, refused),
            ("1 MiB", {"body": sized_reply(1 << 20, ("error", 100), ("func101", 1.5))},
             ["load 1", "code 1", INTERNAL, "get test " + bits(2.0), "get func101 " + bits(1.5),
              "get errorD " + bits(-7.0)]),
            ("200 KiB", {"body": sized_reply(200 << 10, ("error", 100), ("func101", 1.5))},
             ["load 1", "code 1", INTERNAL, "get test " + bits(2.0), "get func101 " + bits(1.5),
              "get errorD " + bits(-7.0)]),
        ]
        refusal = {"body": reply_body(("error", 205), ("errorD", "Service paused"))}
        success = {"body": served}
        checks = ["code", "desc", "get", "test", "get", "func101", "get", "errorD"]
        for case, script, expected in table:
            with self.subTest(case=case):
                self.server.reset()
                self.server.script(refusal, script, success)
                lines = dll(*(L + L + checks))
                bodies = [e["body"] for e in self.server.requests()]
                self.assertEqual(bodies, [b"account=12345&accountType=0"] * 2)
                if expected is None:
                    print("\n  %s: not checkable under Wine; it gave %s" % (case, lines[1:4]),
                          file=sys.stderr)
                    continue
                self.assertEqual(lines, ["load 0"] + expected)


class PinTest(LoopbackCase):
    """The tree's pinned DLL (https://127.0.0.1/parambridge/, pinned to
    tls/server.key and tls/backup.key) against certificates for each key."""

    def pins(self):
        with open(os.path.join(ARGS.tls_dir, "pins")) as f:
            return f.read().strip()

    def test_pinned_keys(self):
        tls = ARGS.tls_dir
        body = b"account=12345&accountType=0"
        loaded = ["load 1", "code 1", getter("f101", 1.5)]
        refused = ["load 0", "code 3", getter("f101", -1.0)]
        # (case, certificate and key, expected lines, body the server got).
        # The backup key's certificate is expired and names another host:
        # the waived checks stay waived. On a mismatch the server sees the
        # request's headers (sent before the check) and not one byte of the
        # body, and nothing of a reply reaches the store.
        table = [
            ("pinned key", (os.path.join(tls, "server.crt"), os.path.join(tls, "server.key")),
             loaded, body),
            ("backup pin", make_certificate(os.path.join(self.work, "backup"), "wrong.example",
                                            "20200101000000Z", "20200201000000Z",
                                            key=os.path.join(tls, "backup.key")),
             loaded, body),
            ("unknown key", make_certificate(os.path.join(self.work, "unknown"), "127.0.0.1"),
             refused + ["get test " + bits(2.0), "get error " + bits(-7.0)], b""),
        ]
        for case, (cert, key), expected, received in table:
            with self.subTest(case=case):
                self.server.set_certificate(cert, key)
                self.server.reset()
                ops = ["load", "12345", "0", "code", "f101"]
                if received == b"":
                    ops += ["get", "test", "get", "error"]
                self.assertEqual(dll(*ops, path=ARGS.pinned_dll), expected)
                seen = self.server.requests()
                self.assertLessEqual(len(seen), 1)
                self.assertEqual([(e["body"], e["body_cut"]) for e in seen],
                                 [(received, not received)] if seen else [])
                if received:
                    self.assertEqual(len(seen), 1)

    def test_pins_with_plain_http_send_nothing(self):
        reply, _ = post(ENDPOINT, b"a=1", pins=self.pins())
        self.assertEqual(reply, b"")
        self.assertEqual(self.server.requests(), [])


class TwoProductsTest(LoopbackCase):
    """Two vendors' products in one terminal: the default DLL (posting to
    the stand-in on 127.0.0.1, class "KUI") and one built as "acme" (posting
    to a second stand-in on 127.0.0.2, class "KUI.acme"), loaded by one
    process. Each fetches from its own server only, each callback hears its
    own window's timer only, and unloading either leaves the other's window,
    timer and class working."""

    https = False

    def test_two_products_in_one_process(self):
        other_work = os.path.join(self.work, "acme-server")
        other = ServerProcess(ARGS.server, SAMPLE_PARAMS, other_work, https_port=0,
                              host="127.0.0.2", extra=["--base-path", "/acme/"])
        try:
            ok = {"body": reply_body(("error", 100), ("func101", 1.5))}
            ok_other = {"body": reply_body(("error", 100), ("func101", 2.5))}
            # (what the row proves, the one unloaded, what the one left reports)
            table = [
                ("unloading the default product leaves the named one working", "first",
                 "after second alive=1 class=1 ticks 9,9"),
                ("unloading the named product leaves the default one working", "second",
                 "after first alive=1 class=1 ticks 7,7"),
            ]
            for case, unload, after in table:
                with self.subTest(case=case):
                    self.server.reset()
                    other.reset()
                    self.server.script(ok)
                    other.script(ok_other)
                    env = wine_environment()
                    out = subprocess.run([ARGS.wine_run, ARGS.two_products_probe, ARGS.dll,
                                          ARGS.other_dll, unload],
                                         capture_output=True, text=True, env=env, timeout=300)
                    lines = [l.strip() for l in out.stdout.splitlines() if l.strip()]
                    self.assertEqual(out.returncode, 0, out.stderr)
                    self.assertEqual(lines[:4], ["load first 1 1.5", "class first own=1",
                                                 "load second 1 2.5", "class second own=1"])
                    # Each callback heard its own timer only (ids 7 and 9).
                    ticks = dict(l.split(" ", 2)[1:] for l in lines if l.startswith("ticks "))
                    self.assertEqual(set(ticks["first"].split(",")), {"7"}, lines)
                    self.assertEqual(set(ticks["second"].split(",")), {"9"}, lines)
                    self.assertEqual(lines[-1], after)
                    self.assertEqual([e["target"] for e in self.server.requests()],
                                     ["/parambridge/run/"])
                    self.assertEqual([e["target"] for e in other.requests()], ["/acme/run/"])
        finally:
            status = other.stop()
        self.assertEqual(status, 0)


class NoServerTest(unittest.TestCase):
    """Nothing listens on 127.0.0.1:80 (the port lock is held)."""

    def test_connection_refused(self):
        with PortLock():
            with socket.socket() as s:
                s.settimeout(2)
                if s.connect_ex(("127.0.0.1", 80)) == 0:
                    self.skipTest("something outside the port lock listens on 127.0.0.1:80")
            self.assertEqual(dll("load", "12345", "0", "code", "desc", "f101"),
                             ["load 0", "code 3", NO_CONNECTION, getter("f101", -1.0)])
            self.assertEqual(post(ENDPOINT, b"a=1")[0], b"")


def main():
    global ARGS
    p = argparse.ArgumentParser()
    for name in ("--server", "--wine-run", "--dll", "--dll-probe", "--post-probe", "--work-dir"):
        p.add_argument(name, required=True)
    p.add_argument("--slow-store-dll", required=True)
    p.add_argument("--other-dll", required=True)
    p.add_argument("--two-products-probe", required=True)
    p.add_argument("--pinned-dll", required=True)
    p.add_argument("--tls-dir", required=True)
    ARGS, rest = p.parse_known_args()
    os.makedirs(ARGS.work_dir, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
