#!/usr/bin/env python3
"""make bench-server: parambridge-server against a web server's own limit on
this machine, over https, with terminals that connect afresh for every fetch
(bench/server/pb-loadgen: a new TCP connection and a full TLS handshake each,
no session resumption).

usage: run_bench.py --loadgen BIN --server BIN [--out DIR] [--scale S] [--rounds R]
                    [--only NAME,...] [--keys rsa,ecdsa]

Contenders, each with an RSA-2048 and an ECDSA P-256 key (contenders.py):
parambridge-server on SQLite; on PostgreSQL (a temporary cluster) when this
parambridge-server takes a postgresql:// database; nginx with a fixed reply;
the Python stand-in. Every contender runs at once on a port of its own; the
load runs take turns, a round running each contender once at each number of
terminals in an order rotated from round to round; the table gives medians
and the spread over the rounds. Then each contender meets the burst
(terminals arriving evenly over a window, retrying after an empty 503 or no
answer) while silent connections are held open and its memory is sampled.

BENCH_SCALE (or --scale, 0 < S <= 1) scales the terminals, the burst and the
idle connections (for trying it out: 0.05); BENCH_ROUNDS the rounds. Writes
DIR/report.md and DIR/results.json (default build/bench-server).
"""

import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import contenders as ct  # noqa: E402
import proc_stats  # noqa: E402
import server_report  # noqa: E402

ROOT = ct.ROOT
sys.path.insert(0, os.path.join(ROOT, "tests", "pg"))
import cluster as pg_cluster  # noqa: E402  the tests' throwaway PostgreSQL cluster
KEYS = {"rsa": ("RSA-2048", "server.crt", "server.key"), "ecdsa": ("ECDSA P-256", "ecdsa.crt", "ecdsa.key")}
# At scale 1: terminals -> fetches each terminal makes one after the other.
LEVELS = {100: 10, 1000: 3}
BURST_TERMINALS, BURST_WINDOW_S, IDLE = 10000, 10.0, 5000
RETRY_AFTER_MS, MAX_TRIES = 5000, 6
SOURCE, SOURCES = "127.16.0.1", 500          # terminals: at most 20 an address
IDLE_SOURCE, IDLE_PER_ADDRESS = "127.64.0.1", 50  # below the server's 64 an address


def say(*args):
    print(*args, flush=True)


def counts(scale, rounds):
    level = lambda n: max(1, round(n * scale))
    return {
        "scale": scale,
        "rounds": rounds,
        "levels": {level(n): k for n, k in LEVELS.items()},
        "burst": level(BURST_TERMINALS),
        "window_ms": int(max(1.0, BURST_WINDOW_S * scale) * 1000),
        "idle": level(IDLE),
    }


def lighter(n):
    """The counts of a light contender (the stand-in): the first round only,
    the fewer terminals only, one fetch each, a tenth of the burst and of
    the silent connections."""
    return {"rounds": 1, "terminals": min(n["levels"]), "fetches_each": 1, "burst": max(1, n["burst"] // 10),
            "idle": max(1, n["idle"] // 10)}


def raise_file_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def loadgen(binary, contender, mode, *args):
    cmd = [binary, mode, "--port", str(contender.port), "--path", ct.PATH, "--form", ct.FORM,
           "--expect-status", "200", "--expect-body", ct.EXPECTED_BODY,
           "--source", SOURCE, "--sources", str(SOURCES)] + [str(a) for a in args]
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=900)
    if r.returncode != 0:
        raise RuntimeError("pb-loadgen %s failed (%d): %s" % (mode, r.returncode, r.stderr[-800:]))
    return json.loads(r.stdout)


def make_keys(directory):
    subprocess.run([os.path.join(ROOT, "tools", "loopback-keys.sh"), directory], check=True,
                   stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


class Entry:
    """One contender with one key, and its figures."""

    def __init__(self, contender=None, name=None, key=None, skipped=None):
        self.contender = contender
        self.name = contender.name if contender else name
        self.key = key
        self.skipped = skipped
        self.levels = {}
        self.cpu_s = 0.0
        self.served = 0
        self.peak_kib = 0
        self.burst = None

    def figures(self):
        return {"name": self.name, "key": self.key, "skipped": self.skipped, "levels": self.levels,
                "cpu_s": self.cpu_s, "served": self.served, "peak_kib": self.peak_kib, "burst": self.burst}


def reason(error):
    """An error's first and last lines, in one line for the table's notes."""
    lines = [l.strip() for l in str(error).splitlines() if l.strip()] or [type(error).__name__]
    text = lines[0] if len(lines) == 1 else "%s ... %s" % (lines[0], lines[-1])
    return text if len(text) <= 300 else text[:297] + "..."


def build_entries(args, work, key_dir, started, nginx_bin, nginx_reason):
    """Every contender with every key, started; a contender that cannot
    start is a skipped row with the reason."""
    entries = []
    cluster = None
    pg_reason = None
    if "postgresql" in args.only:
        # The server's own `init` on the cluster's URL says whether it takes
        # one (a server without PostgreSQL refuses it as a file's path).
        try:
            cluster = pg_cluster.Cluster(os.path.join(work, "pg-cluster"))
            started.append(cluster)
            cluster.start()
        except Exception as e:  # noqa: BLE001 - the row says why
            cluster = None
            pg_reason = "no PostgreSQL cluster: %s" % reason(e)
    for k in args.keys:
        label, crt, key = KEYS[k]
        cert, key_file = os.path.join(key_dir, crt), os.path.join(key_dir, key)
        makers = []
        if "sqlite" in args.only:
            makers.append(("parambridge-server, SQLite", lambda: ct.ProductServer(
                args.server, os.path.join(work, "sqlite-%s" % k, "server.db"), "SQLite", label, cert,
                key_file, os.path.join(work, "sqlite-%s" % k))))
        if "postgresql" in args.only:
            def make_pg(k=k, label=label, cert=cert, key_file=key_file):
                if cluster is None:
                    raise RuntimeError(pg_reason)
                name = "bench_%s" % k
                cluster.psql("postgres", "CREATE DATABASE %s" % name)
                return ct.ProductServer(args.server, cluster.database_url(name), "PostgreSQL", label, cert,
                                        key_file, os.path.join(work, "pg-%s" % k))
            makers.append(("parambridge-server, PostgreSQL", make_pg))
        if "nginx" in args.only:
            def make_nginx(label=label, cert=cert, key_file=key_file, k=k):
                if not nginx_bin:
                    raise RuntimeError(nginx_reason)
                return ct.Nginx(nginx_bin, label, cert, key_file, os.path.join(work, "nginx-%s" % k),
                                workers=os.cpu_count() or 1, files=args.files)
            makers.append((server_report.NGINX, make_nginx))
        if "standin" in args.only:
            makers.append(("Python stand-in", lambda: ct.Standin(label, cert, key_file,
                                                                 os.path.join(work, "standin-%s" % k))))
        for name, make in makers:
            c = None
            try:
                c = make()
                started.append(c)
                c.start()
                status, body = ct.probe(c.port)
                if (status, body) != (200, ct.EXPECTED_BODY):
                    raise RuntimeError("answers the sample fetch with %d %r" % (status, body[:80]))
                entries.append(Entry(c, key=label))
            except Exception as e:  # noqa: BLE001 - the row says why
                if c is not None:
                    c.stop()
                entries.append(Entry(name=name, key=label, skipped=reason(e)))
    return entries


def run_rounds(args, n, entries):
    live = [e for e in entries if not e.skipped]
    for r in range(n["rounds"]):
        for terminals, each in sorted(n["levels"].items()):
            k = r % max(len(live), 1)
            for e in live[k:] + live[:k]:
                light = lighter(n) if e.contender.light else None
                if light and (r >= light["rounds"] or terminals != light["terminals"]):
                    continue
                pids = e.contender.pids()
                cpu0 = proc_stats.cpu_seconds(pids)
                res = loadgen(args.loadgen, e.contender, "load", "--terminals", terminals, "--fetches",
                              light["fetches_each"] if light else each)
                e.cpu_s += proc_stats.cpu_seconds(pids) - cpu0
                e.served += res["served"]
                e.levels.setdefault(terminals, []).append(res)
                say("  round %d/%d, %5d terminals x %d: %-30s %-11s %7.0f fetches/s, p99 %7.1f ms%s"
                    % (r + 1, n["rounds"], terminals, res["fetches_each"], e.name, e.key, res["per_second"],
                       res["p99_ms"],
                       "" if res["served"] == res["attempts"] else
                       ", %d not served (%d wrong)" % (res["attempts"] - res["served"], res["wrong"])))
    for e in live:
        e.peak_kib = proc_stats.memory_kib(e.contender.pids())["VmHWM"]


def run_bursts(args, n, entries):
    for e in entries:
        if e.skipped:
            continue
        pids = e.contender.pids()
        counts_of = lighter(n) if e.contender.light else n
        res = loadgen(args.loadgen, e.contender, "burst", "--terminals", counts_of["burst"],
                      "--window-ms", n["window_ms"], "--retry-after-ms", RETRY_AFTER_MS, "--max-tries", MAX_TRIES,
                      "--idle", counts_of["idle"],
                      "--idle-source", IDLE_SOURCE, "--idle-per-address", IDLE_PER_ADDRESS,
                      *[a for pid in pids for a in ("--memory-pid", pid)])
        e.burst = res
        say("  burst of %d: %-30s %-11s last served at %.1f s, %d 503s, %d without an answer, %d wrong, "
            "%d unserved; %.1f MiB with %d idle open (%.1f MiB before the burst)"
            % (res["terminals"], e.name, e.key, res["last_served_s"], res["unavailable"], res["no_answer"],
               res["wrong"],
               res["unserved_terminals"], res["idle_rss_kib"] / 1024, res["idle_open_at_sample"],
               res["idle_before_burst_rss_kib"] / 1024))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--loadgen", required=True)
    p.add_argument("--server", required=True)
    p.add_argument("--out", default=os.path.join(ROOT, "build", "bench-server"))
    p.add_argument("--scale", type=float, default=float(os.environ.get("BENCH_SCALE", "1")))
    p.add_argument("--rounds", type=int, default=int(os.environ.get("BENCH_ROUNDS", "3")))
    p.add_argument("--only", default=os.environ.get("BENCH_ONLY", "sqlite,postgresql,nginx,standin"))
    p.add_argument("--keys", default=os.environ.get("BENCH_KEYS", "rsa,ecdsa"))
    args = p.parse_args()
    if not 0 < args.scale <= 1:
        sys.exit("run_bench: the scale is above 0 and at most 1, not %s" % args.scale)
    args.rounds = max(1, min(args.rounds, 20))
    args.only = [x for x in args.only.split(",") if x]
    args.keys = [k for k in args.keys.split(",") if k]
    for bad in set(args.only) - {"sqlite", "postgresql", "nginx", "standin"}:
        sys.exit("run_bench: no contender %r (sqlite, postgresql, nginx, standin)" % bad)
    for bad in set(args.keys) - set(KEYS):
        sys.exit("run_bench: no key %r (rsa, ecdsa)" % bad)
    args.loadgen, args.server = os.path.abspath(args.loadgen), os.path.abspath(args.server)
    for f in (args.loadgen, args.server):
        if not os.path.isfile(f):
            sys.exit("run_bench: %s is missing (make bench-server builds it)" % f)
    args.files = raise_file_limit()
    if args.files < 2 * IDLE + 4096:
        sys.exit("run_bench: the open-files limit is %d; the burst needs at least %d (ulimit -Hn)"
                 % (args.files, 2 * IDLE + 4096))
    n = counts(args.scale, args.rounds)
    # A SIGTERM ends the run like ^C: every contender is stopped below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("run_bench: stopped by SIGTERM"))

    nginx_bin, nginx_reason = None, None
    if "nginx" in args.only:
        r = subprocess.run([os.path.join(HERE, "ensure-nginx.sh")], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, timeout=900)
        if r.returncode == 0:
            nginx_bin = r.stdout.strip().splitlines()[-1]
        else:
            nginx_reason = "nginx could not be installed: " + (r.stderr.strip().splitlines() or ["?"])[-1]
        sys.stderr.write(r.stderr)

    t0 = time.monotonic()
    counts_line = ("make bench-server: %d round%s of %s; burst of %s terminals over %.0f s (retry %d s after an empty 503 "
        "or no answer, at most %d tries) with %s silent connections; scale %g. The Python stand-in: %d round, "
        "%s terminals x 1 fetch, a burst of %s with %s silent connections"
        % (n["rounds"], "" if n["rounds"] == 1 else "s", ", ".join("%s terminals x %d fetches" % (server_report._n(t), k)
                                  for t, k in sorted(n["levels"].items())),
           server_report._n(n["burst"]), n["window_ms"] / 1000, RETRY_AFTER_MS // 1000, MAX_TRIES,
           server_report._n(n["idle"]), n["scale"], lighter(n)["rounds"],
           server_report._n(lighter(n)["terminals"]), server_report._n(lighter(n)["burst"]),
           server_report._n(lighter(n)["idle"])))
    say(counts_line)
    started = []
    work = tempfile.mkdtemp(prefix="pb-bench-server-")
    # The PostgreSQL cluster runs as another user, in a folder of its own in
    # here; the keys stay in a folder only root reads.
    os.chmod(work, 0o755)
    try:
        key_dir = os.path.join(work, "keys")
        os.mkdir(key_dir, 0o700)
        make_keys(key_dir)
        entries = build_entries(args, work, key_dir, started, nginx_bin, nginx_reason)
        run_rounds(args, n, entries)
        run_bursts(args, n, entries)
    finally:
        for thing in reversed(started):
            try:
                thing.stop()
            except Exception as e:  # noqa: BLE001 - stop the others all the same
                say("run_bench: stopping %s: %s" % (type(thing).__name__, e))
        subprocess.run(["rm", "-rf", work])

    figures = [e.figures() for e in entries]
    rows = server_report.table_rows(figures)
    found = server_report.targets(figures, n["idle"], n["burst"])
    resumed = sum(f["resumed"] for e in figures if not e["skipped"]
                  for rounds in e["levels"].values() for f in rounds)
    resumed += sum(e["burst"]["resumed"] for e in figures if e.get("burst"))
    say("")
    say(server_report.render_text(rows))
    skipped = server_report.skipped_lines(figures)
    if skipped:
        say("Skipped:")
        say("\n".join(skipped))
    say("")
    say("Targets:")
    say(server_report.render_targets(found))
    say("TLS sessions resumed: %d (every fetch a full handshake)" % resumed)
    say("make bench-server: %.0f s" % (time.monotonic() - t0))
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"counts": n, "entries": figures}, f, indent=1)
    with open(os.path.join(args.out, "report.md"), "w") as f:
        f.write("# make bench-server\n\n%s\n\n%s\n\n%s\n\nTargets:\n\n%s\n\nTLS sessions resumed: %d.\n"
                % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), counts_line,
                   server_report.render_markdown(rows) + ("\n\nSkipped:\n\n" + "\n".join(
                       "-" + line[1:] for line in skipped) if skipped else ""),
                   "\n".join("- **%s** %s: %s" % (v, w, fig) for w, fig, v in found), resumed))
    say("written: %s" % os.path.join(args.out, "report.md"))
    if resumed:
        sys.exit("run_bench: %d TLS sessions were resumed; the figures are not full handshakes" % resumed)


if __name__ == "__main__":
    main()
