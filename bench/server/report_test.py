#!/usr/bin/env python3
"""The bench-server report's tables: the targets' verdicts from figures, the
rows of the table, and the /proc readings, each as rows of input and what it
must give."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import proc_stats  # noqa: E402
import server_report as sr  # noqa: E402

SERVER = "parambridge-server, SQLite"


def load(per_second, p99=10.0, served=100, unavailable=0, no_answer=0, wrong=0, resumed=0, p50=5.0, slowest=20.0):
    return {"per_second": per_second, "p50_ms": p50, "p99_ms": p99, "max_ms": slowest, "served": served,
            "attempts": served + unavailable + no_answer + wrong, "unavailable": unavailable,
            "no_answer": no_answer, "wrong": wrong, "resumed": resumed}


def burst(served=10000, unserved=0, wrong=0, idle_kib=60 * 1024, idle_open=5000, unavailable=0):
    return {"served_terminals": served, "unserved_terminals": unserved, "wrong": wrong, "unavailable": unavailable,
            "last_served_s": 10.2, "idle_rss_kib": idle_kib, "idle_before_burst_rss_kib": 30 * 1024, "idle_open_at_sample": idle_open, "resumed": 0}


def entry(name, levels, b=None, key="RSA-2048", skipped=None):
    return {"name": name, "key": key, "skipped": skipped, "levels": levels, "cpu_s": 2.0, "served": 1000,
            "peak_kib": 20480, "burst": b}


NGINX = entry(sr.NGINX, {100: [load(1000, 10), load(800, 10)], 1000: [load(900, 100), load(1000, 100)]}, burst())


def verdicts(server, nginx=NGINX):
    found = sr.targets([server, nginx] if nginx else [server], idle_wanted=5000, burst_wanted=10000)
    return [(what.split(": ", 1)[-1], verdict) for what, _, verdict in found]


class Targets(unittest.TestCase):
    def test_table(self):
        rows = [
            ("all met",
             entry(SERVER, {100: [load(950, 9), load(760, 9)], 1000: [load(900, 110), load(1000, 110)]}, burst()),
             NGINX,
             ["met", "met", "met", "met", "met"]),
            ("fetches/s below 0.9x in the median round at 100",
             entry(SERVER, {100: [load(850, 9), load(700, 9)], 1000: [load(900, 100), load(1000, 100)]}, burst()),
             NGINX,
             ["MISSED", "met", "met", "met", "met"]),
            # Medians 700 / 800 would miss; round by round it is 0.92, 1.17, 0.88.
            ("ratios taken round by round, each round's two side by side",
             entry(SERVER, {100: [load(920), load(700), load(700)]}, burst()),
             entry(sr.NGINX, {100: [load(1000), load(600), load(800)]}, burst()),
             ["met", "met", "met", "met"]),
            ("p99 at 1,000 above 1.2x",
             entry(SERVER, {100: [load(1000), load(800)], 1000: [load(900, 121), load(1000, 125)]}, burst()),
             NGINX,
             ["met", "met", "MISSED", "met", "met"]),
            ("memory at idle 150 MiB is a miss",
             entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, burst(idle_kib=150 * 1024)),
             NGINX,
             ["met", "met", "met", "MISSED", "met"]),
            ("memory sampled with fewer silent connections open than asked",
             entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, burst(idle_open=4000)),
             NGINX,
             ["met", "met", "met", "MISSED", "met"]),
            ("a terminal of the burst unserved",
             entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, burst(served=9999, unserved=1)),
             NGINX,
             ["met", "met", "met", "met", "MISSED"]),
            ("a wrong answer in the burst",
             entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, burst(served=9999, wrong=1)),
             NGINX,
             ["met", "met", "met", "met", "MISSED"]),
            ("503s that were retried and served are no miss",
             entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, burst(unavailable=300)),
             NGINX,
             ["met", "met", "met", "met", "met"]),
            ("no nginx: the ratios cannot be judged",
             entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, burst()),
             None,
             ["n/a", "n/a", "n/a", "met", "met"]),
            ("nginx with the other key only: not compared",
             entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, burst(), key="ECDSA P-256"),
             NGINX,
             ["n/a", "n/a", "n/a", "met", "met"]),
            ("skipped server", entry(SERVER, {}, None, skipped="no cluster"), NGINX, ["n/a"]),
            ("no burst", entry(SERVER, {100: [load(1000)], 1000: [load(1000, 100)]}, None), NGINX,
             ["met", "met", "met", "n/a"]),
        ]
        for what, server, nginx, expected in rows:
            with self.subTest(what):
                self.assertEqual([v for _, v in verdicts(server, nginx)], expected, verdicts(server, nginx))

    def test_nginx_and_standin_have_no_targets(self):
        found = sr.targets([NGINX, entry("Python stand-in", {100: [load(10)]}, burst(served=1))], 5000, 10000)
        self.assertEqual(found, [])


class Figures(unittest.TestCase):
    def test_level_figures(self):
        rows = [
            ([load(100, p99=10, slowest=30), load(300, p99=30, slowest=50), load(200, p99=20, slowest=40)],
             {"rate": (200, 100, 300), "p99": 20, "slowest": 50, "not_served": 0, "wrong": 0}),
            ([load(100, unavailable=3, no_answer=2, wrong=1), load(100, wrong=4)],
             {"rate": (100, 100, 100), "not_served": 10, "wrong": 5}),
            ([], None),
        ]
        for rounds, expected in rows:
            got = sr.level_figures(rounds)
            if expected is None:
                self.assertIsNone(got)
                continue
            for k, v in expected.items():
                self.assertEqual(got[k], v, (k, rounds))

    def test_table_rows(self):
        rows = sr.table_rows([entry(SERVER, {1000: [load(900)], 100: [load(1000)]}, burst()),
                              entry("parambridge-server, PostgreSQL", {}, skipped="no cluster")])
        # Levels in order, the per-process figures on the first row only, a
        # skipped contender one row.
        self.assertEqual([r[2] for r in rows], ["100", "1,000", "-"])
        self.assertEqual(rows[0][8:], ["2.00", "20.0", "10.2 s; 0, 0; 0", "60.0 (5,000); 30.0 before the burst"])
        self.assertEqual(rows[1][8:], ["", "", "", ""])
        self.assertEqual(rows[2][3], "skipped (below)")
        self.assertTrue(all(len(r) == len(sr.HEADER) for r in rows))
        self.assertEqual(sr.render_markdown(rows).count("\n"), len(rows) + 1)


class Proc(unittest.TestCase):
    def test_stat(self):
        ticks = proc_stats.TICKS
        rows = [
            ("1234 (parambridge-serv) S 99 1 1 0 -1 4194560 1 0 0 0 %d %d 0 0 20 0 3 0" % (ticks, 2 * ticks),
             (99, 3.0)),
            # a name with spaces and a parenthesis
            ("77 (a b) c)) R 5 1 1 0 -1 0 0 0 0 0 %d 0 0 0 20 0 1 0" % ticks, (5, 1.0)),
        ]
        for text, expected in rows:
            self.assertEqual(proc_stats.parse_stat(text), expected, text)

    def test_status(self):
        rows = [
            ("Name:\tnginx\nVmHWM:\t    9000 kB\nVmRSS:\t    8000 kB\n", {"VmRSS": 8000, "VmHWM": 9000}),
            ("Name:\tkworker\n", {"VmRSS": 0, "VmHWM": 0}),
        ]
        for text, expected in rows:
            self.assertEqual(proc_stats.parse_status(text), expected, text)


if __name__ == "__main__":
    unittest.main()
