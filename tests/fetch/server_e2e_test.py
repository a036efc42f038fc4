#!/usr/bin/env python3
"""The DLL against the product server itself (parambridge-server) under
Wine: a fresh SQLite database per class, seeded through the server's own
command line, served on 127.0.0.1:80 and :443 (the tree's key). The fetch
tests that need no fault injection run here; those that script replies,
cut connections or read what the server received run against the stand-in
(fetch_e2e_test.py).

Changes made from the command line while the server runs (a license revoked,
suspended, expired or re-typed, a set changed) must decide the very next
fetch: each fetch is a fresh probe process, so a fresh module.

usage: server_e2e_test.py --product-server BIN --wine-run W --dll D --dll-probe P
                          --demo-host H --pinned-dll D --tls-dir T --work-dir DIR
                          [unittest args]
"""

import argparse
import datetime
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fetch_e2e_test as e2e  # noqa: E402
from fetch_e2e_test import bits, desc, dll, getter, run_wine  # noqa: E402
from harness import PortLock, ProductServer, make_certificate  # noqa: E402

ARGS = None
PRODUCT = "parambridge"
# The sample account's set (server/params.json's values).
SAMPLE = [("func101", "1.5"), ("func102", "0.00025"), ("func103", "12345.678"),
          ("lotStep", "0.01")]
# What each fetch reports: the probe's ops and the lines of a success or a
# refusal.
OPS = ["code", "desc", "f101", "f102", "f103", "get", "lotStep"]


def loaded(f101=1.5, f102=0.00025, f103=12345.678, lot_step=0.01):
    return ["load 1", "code 1", desc("Internal dll error"), getter("f101", f101),
            getter("f102", f102), getter("f103", f103), "get lotStep " + bits(lot_step)]


def refused(code, text):
    return ["load 0", "code %d" % code, desc(text), getter("f101", -1.0), getter("f102", -1.0),
            getter("f103", -1.0), "get lotStep " + bits(-7.0)]


def set_args(pairs):
    return ["%s=%s" % p for p in pairs]


class ServerCase(unittest.TestCase):
    """Holds the port lock and one parambridge-server (http on 80, and https
    on 443 with the tree's RSA key when `https`) for the class. The sample
    set and the sample account's license are seeded; seed() adds more."""

    https = False

    @classmethod
    def seed(cls, server):
        pass

    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(ARGS.work_dir, cls.__name__)
        cls.lock = PortLock().__enter__()
        try:
            cls.server = ProductServer(ARGS.product_server, os.path.join(cls.work, "server"))
            cls.server.cli("set", "put", PRODUCT, "sample", *set_args(SAMPLE))
            cls.server.cli("license", "add", PRODUCT, "order-12345", "--set", "sample",
                           "--accounts", "12345")
            cls.seed(cls.server)
            cert = key = None
            if cls.https:
                # Copies, which reload_certificate overwrites.
                cert = os.path.join(cls.work, "served.crt")
                key = os.path.join(cls.work, "served.key")
                shutil.copyfile(os.path.join(ARGS.tls_dir, "server.crt"), cert)
                shutil.copyfile(os.path.join(ARGS.tls_dir, "server.key"), key)
            cls.server.serve(cert=cert, key=key)
        except BaseException:
            cls.server_stop_quietly()
            cls.lock.__exit__()
            raise

    @classmethod
    def server_stop_quietly(cls):
        server = getattr(cls, "server", None)
        if server is not None:
            server.stop()

    @classmethod
    def tearDownClass(cls):
        try:
            status = cls.server.stop()
        finally:
            cls.lock.__exit__()
        if status != 0:
            raise AssertionError("parambridge-server ended with %s" % status)

    def test_ready_file_names_the_pinned_key(self):
        # The ready file: the listeners, and with https the served key's pin,
        # the first of the tree's pins.
        with open(self.server.ready) as f:
            ready = dict(line.split("=", 1) for line in f.read().split())
        self.assertEqual(ready.get("http"), "127.0.0.1:80")
        if self.https:
            with open(os.path.join(ARGS.tls_dir, "pins")) as f:
                self.assertEqual(ready.get("pin"), f.read().split(";")[0])
            self.assertEqual(ready.get("https"), "127.0.0.1:443")
        else:
            self.assertNotIn("https", ready)
        self.assertNotIn("metrics", ready)

    def statuses(self, account, count):
        """The fetch log's statuses for `account`, once it holds `count` rows."""
        rows = self.server.fetch_log(account, count)
        return [row["status"] for row in rows]


class ServerFetchTest(ServerCase):
    """The sample account's values over http (the tree's DLL) and over
    pinned https (its pinned DLL), and an account on no license."""

    https = True

    def test_fetch_over_http_and_pinned_https(self):
        # (case, DLL, account, expected lines)
        table = [
            ("http", ARGS.dll, "12345", loaded()),
            ("pinned https", ARGS.pinned_dll, "12345", loaded()),
            ("http, an account on no license", ARGS.dll, "99999",
             refused(201, "Unknown account")),
            ("pinned https, an account on no license", ARGS.pinned_dll, "99998",
             refused(201, "Unknown account")),
        ]
        for case, path, account, expected in table:
            with self.subTest(case=case):
                self.assertEqual(dll("load", account, "0", *OPS, path=path), expected)
        # The fetch log holds each, with its scheme and status.
        rows = self.server.fetch_log("12345", 2)
        self.assertEqual([(r["status"], r["https"]) for r in rows], [(100, False), (100, True)])
        for account, https in (("99999", False), ("99998", True)):
            rows = self.server.fetch_log(account, 1)
            self.assertEqual([(r["status"], r["https"], r["account_type"]) for r in rows],
                             [(201, https, 0)])


class ServerPinCommandTest(unittest.TestCase):
    """The pins the server prints (at start and with `pin`) are the ones the
    tree's pinned DLL was built with (tools/pin.sh, through the openssl
    command), for each kind of key. No Wine, no ports."""

    def test_pins_agree_with_the_pinned_dll(self):
        with open(os.path.join(ARGS.tls_dir, "pins")) as f:
            pins = f.read().strip().split(";")
        # (certificate or key file, its place in the DLL's pins)
        table = [("server.crt", 0), ("server.key", 0), ("backup.key", 1), ("ecdsa.crt", 2),
                 ("ecdsa.key", 2)]
        for name, index in table:
            with self.subTest(file=name):
                r = subprocess.run([ARGS.product_server, "pin", "--cert",
                                    os.path.join(ARGS.tls_dir, name)],
                                   capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                   timeout=60)
                self.assertEqual((r.returncode, r.stdout.strip()), (0, pins[index]), r.stderr)


class ServerLicenseTest(ServerCase):
    """The vendor's changes from the command line, made while the server
    runs, decide the next fetch of that license's account."""

    def test_command_line_changes_reach_the_next_fetch(self):
        yesterday = (datetime.datetime.now(datetime.timezone.utc).date()
                     - datetime.timedelta(days=1)).isoformat()
        tomorrow = (datetime.datetime.now(datetime.timezone.utc).date()
                    + datetime.timedelta(days=1)).isoformat()
        expired = "License expired on " + yesterday
        # (case, fetch before the change: loaded or refused with a status,
        # commands ({id}: the row's license, {set}: its own set, {account}:
        # its account), lines of the fetch after). Every row has a license,
        # a set (the sample's values) and an account of its own.
        table = [
            ("revoked", 100, [["license", "revoke", PRODUCT, "{id}"]],
             refused(205, "License revoked")),
            ("suspended", 100, [["license", "suspend", PRODUCT, "{id}"]],
             refused(204, "License suspended")),
            ("expired: its expiry moved to yesterday", 100,
             [["license", "extend", PRODUCT, "{id}", "--expires", yesterday]],
             refused(203, expired)),
            ("re-typed: type 0 no longer allowed", 100,
             [["license", "update", PRODUCT, "{id}", "--types", "1,2"]],
             refused(202, "Account type not allowed")),
            ("the account removed from its license", 100,
             [["license", "update", PRODUCT, "{id}", "--remove-accounts", "{account}"]],
             refused(201, "Unknown account")),
            ("suspended, then resumed", 100,
             [["license", "suspend", PRODUCT, "{id}"], ["license", "resume", PRODUCT, "{id}"]],
             loaded()),
            ("expired, then extended to tomorrow", 100,
             [["license", "extend", PRODUCT, "{id}", "--expires", yesterday],
              ["license", "extend", PRODUCT, "{id}", "--expires", tomorrow]],
             loaded()),
            ("suspended, expired and re-typed: suspended wins", 100,
             [["license", "extend", PRODUCT, "{id}", "--expires", yesterday],
              ["license", "update", PRODUCT, "{id}", "--types", "3"],
              ["license", "suspend", PRODUCT, "{id}"]],
             refused(204, "License suspended")),
            ("expired and re-typed: expired wins", 100,
             [["license", "update", PRODUCT, "{id}", "--types", "3"],
              ["license", "extend", PRODUCT, "{id}", "--expires", yesterday]],
             refused(203, expired)),
            ("suspended, then revoked: revoked wins", 100,
             [["license", "suspend", PRODUCT, "{id}"], ["license", "revoke", PRODUCT, "{id}"]],
             refused(205, "License revoked")),
            ("its set changed (set put)", 100,
             [["set", "put", PRODUCT, "{set}", "func101=2.75", "func102=0.1", "func103=-3",
               "lotStep=0.02"]],
             loaded(2.75, 0.1, -3, 0.02)),
            ("moved to another set", 100,
             [["set", "put", PRODUCT, "{set}-b", "func101=8", "func102=9", "func103=10",
               "lotStep=1"],
              ["license", "update", PRODUCT, "{id}", "--set", "{set}-b"]],
             loaded(8, 9, 10, 1)),
            ("one value overridden for this license", 100,
             [["license", "update", PRODUCT, "{id}", "--override", "func102=0.5"]],
             loaded(f102=0.5)),
            ("an override cleared again", 100,
             [["license", "update", PRODUCT, "{id}", "--override", "func101=7"],
              ["license", "update", PRODUCT, "{id}", "--clear-override", "func101"]],
             loaded()),
            ("an account added to a license", 201,
             [["license", "update", PRODUCT, "{id}", "--add-accounts", "{account}"]],
             loaded()),
        ]
        for n, (case, before, commands, after) in enumerate(table):
            account, license_id, set_name = str(30000 + n), "row-%d" % n, "set-%d" % n
            with self.subTest(case=case):
                self.server.cli("set", "put", PRODUCT, set_name, *set_args(SAMPLE))
                # The added-account row starts with a license that holds
                # another account only.
                holder = account if before == 100 else str(40000 + n)
                self.server.cli("license", "add", PRODUCT, license_id, "--set", set_name,
                                "--accounts", holder, "--max-accounts", "2")
                first = dll("load", account, "0", "code")
                self.assertEqual(first, ["load 1", "code 1"] if before == 100
                                 else ["load 0", "code %d" % before])
                for command in commands:
                    self.server.cli(*[a.format(id=license_id, set=set_name, account=account)
                                      for a in command])
                self.assertEqual(dll("load", account, "0", *OPS), after)
                # Both decisions are in the fetch log.
                status_after = int(after[1].split()[1])
                self.assertEqual(self.statuses(account, 2),
                                 [before, 100 if status_after == 1 else status_after])

    def test_reworded_refusal_texts(self):
        # (status, the product's own text, command that leads there)
        table = [
            (205, "Refunded: write to support@example.com", ["license", "revoke"]),
            (204, "Paused while your payment is checked", ["license", "suspend"]),
        ]
        for n, (status, text, command) in enumerate(table):
            account, license_id = str(50000 + n), "text-%d" % n
            with self.subTest(status=status):
                self.server.cli("product", "text", PRODUCT, status, text)
                self.server.cli("license", "add", PRODUCT, license_id, "--set", "sample",
                                "--accounts", account)
                self.server.cli(*(command + [PRODUCT, license_id]))
                self.assertEqual(dll("load", account, "0", *OPS), refused(status, text))


class ServerPinTest(ServerCase):
    """The tree's pinned DLL (pinned to tls/server.key (RSA), tls/backup.key
    (RSA) and tls/ecdsa.key (ECDSA P-256)) against the server holding each
    of them, and other keys of both kinds, swapped in by SIGHUP while it
    runs: a vendor moves to the backup key without a restart."""

    https = True

    def test_pinned_rsa_and_ecdsa_keys(self):
        tls = ARGS.tls_dir
        other_ec = os.path.join(self.work, "other-ecdsa.key")
        subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-out", other_ec], check=True,
                       stdin=subprocess.DEVNULL, capture_output=True)
        fetched = ["load 1", "code 1", getter("f101", 1.5)]
        not_sent = ["load 0", "code 3", getter("f101", -1.0)]
        # (case, certificate and key, lines, whether the account reached the server)
        table = [
            ("ECDSA P-256 key, pinned", (os.path.join(tls, "ecdsa.crt"),
                                         os.path.join(tls, "ecdsa.key")), fetched, True),
            ("RSA backup key, pinned", make_certificate(os.path.join(self.work, "backup"),
                                                        "127.0.0.1",
                                                        key=os.path.join(tls, "backup.key")),
             fetched, True),
            ("another ECDSA P-256 key", make_certificate(os.path.join(self.work, "other-ec"),
                                                         "127.0.0.1", key=other_ec),
             not_sent, False),
            ("another RSA key", make_certificate(os.path.join(self.work, "other-rsa"),
                                                 "127.0.0.1"), not_sent, False),
            ("RSA key, pinned", (os.path.join(tls, "server.crt"), os.path.join(tls, "server.key")),
             fetched, True),
        ]
        for case, (cert, key), expected, _ in table:
            with self.subTest(case=case):
                self.server.reload_certificate(cert, key)
                self.assertEqual(dll("load", "12345", "0", "code", "f101",
                                     path=ARGS.pinned_dll), expected)
        # The refused keys never saw the account: once a later fetch of
        # another account is in the log, the sample account's rows are the
        # pinned keys' alone (the log keeps the order rows arrived in).
        self.assertEqual(dll("load", "88888", "0", path=ARGS.pinned_dll), ["load 0"])
        self.server.fetch_log("88888", 1)
        self.assertEqual(self.statuses("12345", 0), [100] * sum(1 for row in table if row[3]))


class KitTest(ServerCase):
    """The MQL4 kit's PbLoadParameters (the demo host's C++ copy of it)."""

    def test_account_guard(self):
        # The host runs its table of calls (see KitFetch in demo_host.cpp);
        # here: what reached the server, from its fetch log. Only real
        # fetches post: the refused account, the repeat and both "another
        # account" rows send nothing.
        rc, lines, err = run_wine(ARGS.demo_host, ["--kit-fetch", "--dll", ARGS.dll,
                                                   "--account", "12345",
                                                   "--unknown-account", "99999"])
        self.assertEqual((rc, lines[-1:]), (0, ["kit-fetch: all rows as expected"]),
                         "\n".join(lines) + err[-2000:])
        self.assertEqual(self.statuses("12345", 2), [100, 100])
        self.assertEqual(self.statuses("99999", 1), [201])


def main():
    global ARGS
    p = argparse.ArgumentParser()
    for name in ("--product-server", "--wine-run", "--dll", "--dll-probe", "--demo-host",
                 "--pinned-dll", "--tls-dir", "--work-dir"):
        p.add_argument(name, required=True)
    ARGS, rest = p.parse_known_args()
    e2e.ARGS = ARGS  # the probe helpers read it
    os.makedirs(ARGS.work_dir, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
