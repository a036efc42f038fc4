#!/usr/bin/env python3
"""The admin API of the built parambridge-server, over loopback: every route
with a good token, none, a wrong one, one of too small a scope and bad input;
the dashboard's session (sign-in, 401, 429, CSRF, a foreign Origin); the
idempotent revoke, the 409 of a duplicate, the audit rows, the security
headers, the caps; and the refund path (a `revoke` token revokes a license,
the next fetch of its account answers 205).

Usage: admin_api_test.py --binary PATH/parambridge-server --work-dir DIR
Standard library only. Ports: free high ports of 127.0.0.1 (no port lock)."""

import argparse
import base64
import http.client
import json
import os
import shutil
import socket
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "fetch"))
import harness  # noqa: E402  (ProductServer: init, seed, serve, stop)

ARGS = None
PASSWORD = "correct horse battery"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Api:
    """One admin listener's client: each call a new connection."""

    def __init__(self, port):
        self.port = port

    def call(self, method, path, body=None, token=None, cookie=None, csrf=None, headers=None, raw=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        h = {"Host": "127.0.0.1:%d" % self.port}
        if token:
            h["Authorization"] = "Bearer " + token
        if cookie:
            h["Cookie"] = "pbs_session=" + cookie
        if csrf:
            h["X-CSRF-Token"] = csrf
        h.update(headers or {})
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
        if data is not None:
            h["Content-Type"] = "application/json"
        conn.request(method, path, body=data, headers=h)
        r = conn.getresponse()
        text = r.read()
        conn.close()
        doc = None
        if r.getheader("Content-Type", "").startswith("application/json") and text:
            doc = json.loads(text)
        return r.status, doc, r


class AdminApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        work = os.path.abspath(ARGS.work_dir)
        shutil.rmtree(work, ignore_errors=True)
        cls.server = harness.ProductServer(ARGS.binary, work, product="pb", base_path="/pb/")
        s = cls.server
        s.cli("set", "put", "pb", "gold", "func101=1.5", "lotStep=0.01")
        for lid, account in (("L1", "100"), ("L2", "200"), ("L3", "300"), ("R1", "555")):
            s.cli("license", "add", "pb", lid, "--set", "gold", "--accounts", account, "--expires", "2030-01-31")
        pw = os.path.join(work, "pw")
        with open(pw, "w") as f:
            f.write(PASSWORD + "\n")
        s.cli("admin", "add", "alice", "--password-file", pw)
        cls.tokens = {scope: s.cli("admin", "token", "alice", "--scope", scope, "--label", scope).strip()
                      for scope in ("read", "revoke", "full")}
        cls.admin_port = free_port()
        cls.http_port = free_port()
        s.serve(http_port=cls.http_port, https_port=0,
                extra=["--admin-listen", "127.0.0.1:%d" % cls.admin_port])
        cls.api = Api(cls.admin_port)

    @classmethod
    def tearDownClass(cls):
        assert cls.server.stop() == 0

    def fetch(self, account):
        conn = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=30)
        conn.request("POST", "/pb/run/", body="account=%s&accountType=0" % account,
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        r = conn.getresponse()
        body = r.read()
        conn.close()
        return base64.b64decode(body).decode()

    def sign_in(self):
        status, doc, r = self.api.call("POST", "/api/v1/session", {"name": "alice", "password": PASSWORD})
        self.assertEqual(status, 200, doc)
        cookie = r.getheader("Set-Cookie")
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        return cookie.split(";")[0].split("=", 1)[1], doc["csrf"]

    # ---- every route with every kind of credential ------------------------------

    P = "/api/v1/products/pb"
    # name, method, path, body, scope, good status, bad input (method, path, body-or-raw, status, code)
    ROUTES = [
        ("products", "GET", "/api/v1/products", None, "read", 200,
         ("GET", "/api/v1/products?x=%zz", None, 400, "bad_input")),
        ("licenses", "GET", P + "/licenses?limit=2", None, "read", 200,
         ("GET", P + "/licenses?limit=0", None, 400, "bad_input")),
        ("license", "GET", P + "/licenses/L1", None, "read", 200,
         ("GET", P + "/licenses/NOPE", None, 404, "not_found")),
        ("create", "POST", P + "/licenses", {"id": "N1", "accounts": ["700"], "set": "gold"}, "full", 201,
         ("POST", P + "/licenses", {"id": 5, "set": "gold"}, 400, "bad_input")),
        ("suspend", "POST", P + "/licenses/L2/suspend", {"reason": "chargeback"}, "revoke", 200,
         ("POST", P + "/licenses/L2/suspend", b"not json", 400, "bad_input")),
        ("resume", "POST", P + "/licenses/L2/resume", None, "full", 200,
         ("POST", P + "/licenses/L2/resume", {"reason": 3}, 400, "bad_input")),
        ("revoke", "POST", P + "/licenses/L3/revoke", None, "revoke", 200,
         ("POST", P + "/licenses/NOPE/revoke", None, 404, "not_found")),
        ("extend", "POST", P + "/licenses/L1/extend", {"expires": "2031-06-30"}, "full", 200,
         ("POST", P + "/licenses/L1/extend", {"days": "x"}, 400, "bad_input")),
        ("patch", "PATCH", P + "/licenses/L1", {"note": "vip", "accounts_add": ["101"]}, "full", 200,
         ("PATCH", P + "/licenses/L1", {"max_accounts": 0}, 400, "bad_input")),
        ("sets", "GET", P + "/sets", None, "read", 200,
         ("GET", "/api/v1/products/nope/sets", None, 404, "not_found")),
        ("set", "GET", P + "/sets/gold", None, "read", 200,
         ("GET", P + "/sets/silver-none", None, 404, "not_found")),
        ("set put", "PUT", P + "/sets/silver", {"pairs": [{"name": "func101", "value": "2"}]}, "full", 200,
         ("PUT", P + "/sets/silver", {"pairs": [{"name": "func101", "value": "1&2"}]}, 400, "bad_input")),
        ("log", "GET", P + "/log?limit=5", None, "read", 200,
         ("GET", P + "/log?since=yesterday", None, 400, "bad_input")),
        ("stats", "GET", P + "/stats?hours=3", None, "read", 200,
         ("GET", P + "/stats?hours=0", None, 400, "bad_input")),
        ("audit", "GET", "/api/v1/audit?limit=5", None, "read", 200,
         ("GET", "/api/v1/audit?before=x", None, 400, "bad_input")),
        ("tokens", "GET", "/api/v1/tokens", None, "full", 200,
         ("POST", "/api/v1/tokens", None, 405, "method")),
    ]
    SMALLER = {"revoke": "read", "full": "revoke"}

    def test_every_route_and_credential(self):
        wrong = "pbt_" + "A" * 43
        for name, method, path, body, scope, good, bad in self.ROUTES:
            with self.subTest(route=name):
                for what, token in (("no token", None), ("wrong token", wrong), ("not a token", "secret")):
                    status, doc, _ = self.api.call(method, path, body, token=token)
                    self.assertEqual((status, doc["error"]), (401, "unauthorized"), what)
                if scope in self.SMALLER:
                    status, doc, _ = self.api.call(method, path, body, token=self.tokens[self.SMALLER[scope]])
                    self.assertEqual((status, doc["error"]), (403, "scope"))
                status, doc, r = self.api.call(method, path, body, token=self.tokens[scope])
                self.assertEqual(status, good, doc)
                self.assertEqual(r.getheader("Cache-Control"), "no-store")
                self.assertTrue(r.getheader("Content-Type").startswith("application/json"))
                bm, bp, bb, bstatus, bcode = bad
                raw = bb if isinstance(bb, bytes) else None
                status, doc, r = self.api.call(bm, bp, None if raw else bb, token=self.tokens["full"], raw=raw)
                self.assertEqual((status, doc["error"]), (bstatus, bcode), doc)
                self.assertTrue(doc["message"])
                if bstatus == 405:
                    self.assertEqual(r.getheader("Allow"), "GET")

    def test_answers_hold_the_contracts_objects(self):
        full = self.tokens["full"]
        status, doc, _ = self.api.call("GET", "/api/v1/products", token=full)
        self.assertEqual(doc["products"], [{"name": "pb", "base_path": "/pb/", "trial_days": 0, "trial_set": None}])
        self.fetch("100")
        status, doc, _ = self.api.call("GET", self.P + "/licenses/L1", token=full)
        lic = doc["license"]
        self.assertEqual(set(lic), {"id", "state", "accounts", "max_accounts", "expires", "types", "set",
                                    "overrides", "note", "last_fetch"})
        # The log is written in batches, off the reply's path: wait for the
        # row (bounded), then read it through the API.
        self.assertTrue(self.server.fetch_log("100", 1), "the fetch never reached the log")
        status, doc, _ = self.api.call("GET", self.P + "/log?account=100", token=full)
        row = doc["fetches"][0]
        self.assertEqual(set(row), {"time", "account", "account_type", "peer", "https", "status", "micros",
                                    "instance"})
        self.assertEqual((row["account"], row["status"], row["https"]), ("100", 100, False))
        status, doc, _ = self.api.call("GET", self.P + "/licenses?q=10", token=full)
        self.assertEqual([l["id"] for l in doc["licenses"]], ["L1"])
        self.assertEqual(doc["licenses"][0]["last_fetch"]["account"], "100")
        status, doc, _ = self.api.call("GET", self.P + "/stats?hours=2", token=full)
        self.assertEqual(len(doc["hours"]), 2)
        self.assertGreaterEqual(doc["hours"][-1]["by_status"].get("100", 0), 1)

    def test_license_pages(self):
        full = self.tokens["full"]
        ids, after = [], None
        for _ in range(10):
            path = self.P + "/licenses?limit=2" + ("&after=" + after if after else "")
            status, doc, _ = self.api.call("GET", path, token=full)
            self.assertEqual(status, 200)
            ids += [l["id"] for l in doc["licenses"]]
            after = doc["next"]
            if after is None:
                break
        self.assertEqual(ids, sorted(ids))
        self.assertTrue({"L1", "L2", "L3", "R1"} <= set(ids))

    # ---- the dashboard's session -------------------------------------------------

    def test_session_csrf_and_origin(self):
        cookie, csrf = self.sign_in()
        status, doc, _ = self.api.call("GET", "/api/v1/session", cookie=cookie)
        self.assertEqual((status, doc["admin"], doc["csrf"]), (200, "alice", csrf))
        path = self.P + "/licenses/L1/suspend"
        rows = [
            ("no CSRF header", dict(cookie=cookie), 403, "csrf"),
            ("a wrong CSRF header", dict(cookie=cookie, csrf="x" * len(csrf)), 403, "csrf"),
            ("a foreign Origin with a session", dict(cookie=cookie, csrf=csrf,
                                                     headers={"Origin": "http://evil.example"}), 403,
             "foreign_origin"),
            ("a foreign Origin with a token", dict(token=self.tokens["full"],
                                                   headers={"Origin": "http://evil.example"}), 403,
             "foreign_origin"),
            ("cross-site", dict(cookie=cookie, csrf=csrf, headers={"Sec-Fetch-Site": "cross-site"}), 403,
             "foreign_origin"),
            ("an unknown cookie", dict(cookie="nope", csrf=csrf), 401, "unauthorized"),
        ]
        for what, kw, want, code in rows:
            status, doc, _ = self.api.call("POST", path, **kw)
            self.assertEqual((status, doc["error"]), (want, code), what)
        status, doc, _ = self.api.call("GET", self.P + "/licenses/L1", token=self.tokens["read"])
        self.assertEqual(doc["license"]["state"], "active")   # nothing above changed it
        own = {"Origin": "http://127.0.0.1:%d" % self.admin_port}
        status, doc, _ = self.api.call("POST", path, cookie=cookie, csrf=csrf, headers=own)
        self.assertEqual((status, doc["license"]["state"]), (200, "suspended"))
        status, doc, _ = self.api.call("POST", self.P + "/licenses/L1/resume", cookie=cookie, csrf=csrf)
        self.assertEqual((status, doc["license"]["state"]), (200, "active"))
        status, doc, _ = self.api.call("GET", "/api/v1/audit?product=pb&limit=1", token=self.tokens["read"])
        self.assertEqual({k: doc["audit"][0][k] for k in ("actor", "via", "peer", "action", "subject")},
                         {"actor": "alice", "via": "session", "peer": "127.0.0.1", "action": "license.resume",
                          "subject": "L1"})
        status, doc, _ = self.api.call("DELETE", "/api/v1/session", cookie=cookie)
        self.assertEqual((status, doc["error"]), (403, "csrf"))
        status, doc, r = self.api.call("DELETE", "/api/v1/session", cookie=cookie, csrf=csrf)
        self.assertEqual(status, 200)
        self.assertIn("Max-Age=0", r.getheader("Set-Cookie"))
        status, doc, _ = self.api.call("GET", "/api/v1/session", cookie=cookie)
        self.assertEqual((status, doc["error"]), (401, "unauthorized"))

    def test_wrong_credentials_then_429(self):
        for name, password in (("alice", "wrong password!"), ("nobody", PASSWORD)):
            status, doc, _ = self.api.call("POST", "/api/v1/session", {"name": name, "password": password})
            self.assertEqual((status, doc["error"]), (401, "bad_credentials"), name)
        status, doc, _ = self.api.call("POST", "/api/v1/session", {"name": "alice"})
        self.assertEqual((status, doc["error"]), (400, "bad_input"))
        answers = []
        for _ in range(6):
            status, doc, r = self.api.call("POST", "/api/v1/session", {"name": "mallory", "password": "guess-guess"})
            answers.append(status)
        self.assertEqual(answers, [401] * 5 + [429])
        self.assertGreaterEqual(int(r.getheader("Retry-After")), 1)
        self.assertEqual(doc["error"], "too_many_attempts")
        self.sign_in()   # another name from the same address still signs in

    # ---- changes: idempotence, duplicates, the refund path -------------------------

    def test_revoke_twice_is_one_change(self):
        revoke = self.tokens["revoke"]
        self.server.cli("license", "add", "pb", "T1", "--set", "gold", "--accounts", "901")
        for _ in range(2):
            status, doc, _ = self.api.call("POST", self.P + "/licenses/T1/revoke", {"reason": "refund"}, token=revoke)
            self.assertEqual((status, doc["license"]["state"]), (200, "revoked"))
        status, doc, _ = self.api.call("GET", "/api/v1/audit?product=pb&limit=1000", token=revoke)
        rows = [a for a in doc["audit"] if a["subject"] == "T1" and a["action"] == "license.revoke"]
        self.assertEqual(len(rows), 1, rows)
        token_id = json.loads(self.server.cli("admin", "tokens", "--json"))
        revoke_id = [t["id"] for t in token_id if t["label"] == "revoke"][0]
        self.assertEqual((rows[0]["via"], rows[0]["actor"], rows[0]["peer"]),
                         ("token:%d" % revoke_id, "alice", "127.0.0.1"))
        self.assertIn("refund", rows[0]["detail"])
        status, doc, _ = self.api.call("POST", self.P + "/licenses/T1/resume", token=self.tokens["full"])
        self.assertEqual((status, doc["error"]), (400, "bad_input"))

    def test_duplicate_create_is_409_with_the_existing(self):
        full = self.tokens["full"]
        body = {"id": "D1", "accounts": ["800"], "set": "gold", "types": [0, 1], "expires": "2030-05-01",
                "overrides": [{"name": "func101", "value": "3"}], "note": "order 8", "max_accounts": 2}
        status, doc, _ = self.api.call("POST", self.P + "/licenses", body, token=full)
        self.assertEqual(status, 201, doc)
        self.assertEqual(doc["license"]["overrides"], [{"name": "func101", "value": "3"}])
        status, doc, _ = self.api.call("POST", self.P + "/licenses", dict(body, note="again"), token=full)
        self.assertEqual((status, doc["error"]), (409, "exists"))
        self.assertEqual((doc["license"]["id"], doc["license"]["note"]), ("D1", "order 8"))

    def test_refund_revokes_and_the_next_fetch_is_205(self):
        self.assertTrue(self.fetch("555").startswith("error=100"))
        status, doc, _ = self.api.call("POST", self.P + "/licenses/R1/revoke", {"reason": "refund #42"},
                                       token=self.tokens["revoke"])
        self.assertEqual(status, 200, doc)
        self.assertTrue(self.fetch("555").startswith("error=205"), self.fetch("555"))

    # ---- files, headers, caps, the fetch port --------------------------------------

    def test_dashboard_files_and_headers(self):
        status, _, r = self.api.call("GET", "/")
        self.assertEqual(status, 200)
        self.assertTrue(r.getheader("Content-Type").startswith("text/html"))
        csp = r.getheader("Content-Security-Policy")
        self.assertIn("default-src 'self'", csp)
        self.assertIn("frame-ancestors 'none'", csp)
        for name, value in (("X-Content-Type-Options", "nosniff"), ("Referrer-Policy", "no-referrer"),
                            ("X-Frame-Options", "DENY")):
            self.assertEqual(r.getheader(name), value)
        status, doc, _ = self.api.call("GET", "/no-such-file.js")
        self.assertEqual((status, doc["error"]), (404, "not_found"))
        status, doc, _ = self.api.call("GET", "/api/v1/nothing", token=self.tokens["read"])
        self.assertEqual((status, doc["error"]), (404, "not_found"))

    def test_caps(self):
        status, doc, _ = self.api.call("PUT", self.P + "/sets/big", raw=b"x" * (65 * 1024), token=self.tokens["full"])
        self.assertEqual((status, doc["error"]), (413, "too_large"))

    def test_nothing_of_the_admin_side_on_the_fetch_port(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=30)
        conn.request("GET", "/api/v1/products", headers={"Authorization": "Bearer " + self.tokens["full"]})
        r = conn.getresponse()
        r.read()
        conn.close()
        self.assertIn(r.status, (404, 405))
        self.assertEqual(r.getheader("Content-Type"), "text/plain")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--work-dir", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
