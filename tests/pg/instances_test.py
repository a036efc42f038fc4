#!/usr/bin/env python3
"""Several parambridge-server instances over one PostgreSQL database, on a
cluster of this test's own (cluster.py), as a vendor runs them behind DNS
or a load balancer: one on 127.0.0.2:80, one on 127.0.0.3:80.

- A change made through the command line reaches the other instance's next
  fetch (nothing is cached per instance).
- The database restarted under load: a client keeps fetching from both;
  while the database is down each fetch gets an empty 503, never a wrong
  decision; both serve again by themselves once it is back; every fetch
  that was answered is in the fetch log under the instance that answered
  it, or counted as dropped.

Usage: instances_test.py --server BIN --work-dir DIR [unittest args]
"""

import argparse
import base64
import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fetch"))
import cluster as pgcluster  # noqa: E402
from harness import PortLock, start_until_ready  # noqa: E402

ARGS = None
HOSTS = {"a": "127.0.0.2", "b": "127.0.0.3"}
ACCOUNT = "1001"
GRANTED = "error=100&func101=1.5&func102=0.25"
REVOKED = "error=205&errorD=License revoked"
WAIT_SECONDS = 60


def fetch(host, account=ACCOUNT):
    """(HTTP status, decoded body) of one fetch on its own connection; None
    when no reply came at all."""
    conn = http.client.HTTPConnection(host, 80, timeout=20)
    try:
        body = "account=%s&accountType=0" % account
        conn.request("POST", "/pb/run/", body=body,
                     headers={"Content-Type": "application/x-www-form-urlencoded", "Connection": "close"})
        r = conn.getresponse()
        raw = r.read()
        return r.status, base64.b64decode(raw).decode("latin-1") if raw else ""
    except (OSError, http.client.HTTPException):
        return None
    finally:
        conn.close()


def wait_for(what, condition, seconds=WAIT_SECONDS):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("not within %ds: %s" % (seconds, what))
        time.sleep(0.05)


class Instances(unittest.TestCase):
    def setUp(self):
        self.work = os.path.join(ARGS.work_dir, self._testMethodName)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.cluster = pgcluster.Cluster(os.path.join(self.work, "cluster"))
        self.cluster.start()
        self.addCleanup(self.cluster.stop)
        self.db = self.cluster.url
        self.cli("init")
        self.cli("product", "add", "pb", "--base-path", "/pb/")
        self.cli("set", "put", "pb", "gold", "func101=1.5", "func102=0.25")
        self.cli("license", "add", "pb", "L1", "--set", "gold", "--accounts", ACCOUNT)
        self.lock = PortLock()
        self.lock.__enter__()
        self.addCleanup(self.lock.__exit__)
        self.servers = {}
        for name, host in HOSTS.items():
            self.serve(name, host)

    def cli(self, *args):
        r = subprocess.run([ARGS.server, "--db", self.db] + list(args), stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        if r.returncode != 0:
            raise AssertionError("parambridge-server %s exited %d: %s" % (" ".join(args), r.returncode,
                                                                         r.stderr.decode()))
        return r.stdout.decode("utf-8", "replace")

    def serve(self, name, host):
        ready = os.path.join(self.work, name + ".ready")
        cmd = [ARGS.server, "--db", self.db, "serve", "--listen", host, "--http-port", "80",
               "--https-port", "0", "--rate-limit", "0", "--metrics-listen", "", "--ready-file", ready,
               "--instance", name]
        proc, out = start_until_ready(cmd, os.path.join(self.work, name + ".stderr"), ready, "instance " + name)
        self.servers[name] = (proc, out)
        self.addCleanup(self.stop_server, name)

    def stop_server(self, name):
        proc, out = self.servers[name]
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        out.close()
        return proc.returncode

    def test_a_change_reaches_the_other_instance(self):
        for name, host in HOSTS.items():
            self.assertEqual(fetch(host), (200, GRANTED), name)
        # Through the command line, as a vendor's script does it.
        # (The admin API's revoke is the same database call on one instance.)
        self.cli("license", "revoke", "pb", "L1")
        for name, host in HOSTS.items():
            self.assertEqual(fetch(host), (200, REVOKED), name)
        self.cli("set", "put", "pb", "gold", "func101=2")
        self.assertEqual(fetch(HOSTS["b"], "777"), (200, "error=201&errorD=Unknown account"))

    def test_database_restarted_under_load(self):
        answered = {name: [] for name in HOSTS}   # (status, body) of every reply
        stop = threading.Event()
        lock = threading.Lock()

        def client():
            while not stop.is_set():
                for name, host in HOSTS.items():
                    got = fetch(host)
                    if got is not None:
                        with lock:
                            answered[name].append(got)

        def count(name, status):
            with lock:
                return sum(1 for s, _ in answered[name] if s == status)

        thread = threading.Thread(target=client)
        thread.start()
        try:
            wait_for("both instances answer before the restart",
                     lambda: all(count(n, 200) >= 5 for n in HOSTS))
            self.cluster.stop()
            wait_for("both instances answer 503 while the database is down",
                     lambda: all(count(n, 503) >= 3 for n in HOSTS))
            served_before = {n: count(n, 200) for n in HOSTS}
            self.cluster.start()
            wait_for("both instances serve again by themselves",
                     lambda: all(count(n, 200) >= served_before[n] + 5 for n in HOSTS))
        finally:
            stop.set()
            thread.join(timeout=120)
        self.assertFalse(thread.is_alive())
        for name in HOSTS:
            self.assertEqual(self.stop_server(name), 0, name)

        for name, replies in answered.items():
            for status, body in replies:
                self.assertIn(status, (200, 503), name)
                self.assertEqual(body, GRANTED if status == 200 else "", name)
        # Every row, also the 503s' (which name no product: the database
        # could not say which).
        logged = {}
        for line in self.cluster.psql("pbs", "SELECT instance, status, count(*) FROM fetch_log "
                                             "GROUP BY instance, status").split():
            instance, status, n = line.split("|")
            self.assertIn(instance, HOSTS, line)
            logged[(instance, int(status))] = int(n)
        dropped = json.loads(self.cli("retention", "--json"))["rows_dropped"]
        total = sum(len(r) for r in answered.values())
        for name, replies in answered.items():
            for status in (200, 503):
                # The log's status is the decision's (100) for a 200.
                sent = sum(1 for s, _ in replies if s == status)
                rows = logged.get((name, 100 if status == 200 else 503), 0)
                self.assertLessEqual(rows, sent, (name, status))
        self.assertGreaterEqual(sum(logged.values()) + dropped, total,
                                "answered %d, logged %s, dropped %d" % (total, logged, dropped))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--work-dir", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
