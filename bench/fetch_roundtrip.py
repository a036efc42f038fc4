#!/usr/bin/env python3
"""Fetch round trip on loopback over https: the pinned fetch beside an
unpinned one and beside curl --pinnedpubkey, all against one stand-in server
holding the build tree's key, interleaved over several rounds.

usage: bench/fetch_roundtrip.py [BUILD_DIR] [--calls N] [--rounds R]

BUILD_DIR is a loopback build tree (default build/win32; a win64 tree runs
under tools/wine64-run) holding pinned/<DLL>, tls/ and
tests/fetch/{dll_probe,post_probe}.exe. The server runs on 127.0.0.1:443
under /tmp/parambridge-ports.lock.

Contenders, each timed inside its own process over N calls after a few
untimed ones (so that no process start-up or first-call set-up is counted):
  - LoadParameters of the pinned DLL. Once a fetch succeeds the module
    answers without a request, so every call asks for an account the server
    does not know (status 201): a full exchange each time, pin check
    included.
  - pb::PostForm with the tree's pins, and without pins: the transport alone
    (no form, no store), the pair that isolates the pin check's cost.
  - curl --pinnedpubkey with the same pins, one process posting N times.
  - The worker's own cost, from bench/win/worker_probe.exe in one process
    with the pinned DLL loaded: LoadParameters of a stand-in DLL that runs
    the module's worker around an exchange that fails at once, beside a bare
    CreateThread and join, the same thread holding a module reference that
    it drops in FreeLibraryAndExitThread (what the module's worker does), and
    a hand-off to a thread parked on an event (what a long-lived worker
    would cost at the least).
Every round runs each contender once, in an order rotated from round to
round; each ratio is taken within a round, and the report gives its median
and its spread (lowest and highest) over the rounds. The machine is shared:
read the medians, and the spread as how far one round can be off.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "fetch"))
from harness import PortLock, ServerProcess, wine_environment  # noqa: E402

URL = "https://127.0.0.1/parambridge/run/"
ACCOUNT, ACCOUNT_TYPE = "bench-unknown", "0"
BODY = "account=%s&accountType=%s" % (ACCOUNT, ACCOUNT_TYPE)
WARMUP = 5


def dll_name(build):
    """The DLL the tree holds: parambridge64.dll in a win64 tree."""
    if os.path.exists(os.path.join(build, "parambridge64.dll")):
        return "parambridge64.dll"
    return "parambridge.dll"


def wine(build, exe, *args):
    runner = "wine64-run" if dll_name(build) == "parambridge64.dll" else "wine-run"
    r = subprocess.run([os.path.join(ROOT, "tools", runner), os.path.join(build, exe)]
                       + list(args), capture_output=True, env=wine_environment(),
                       stdin=subprocess.DEVNULL, timeout=600)
    lines = [l.rstrip("\r") for l in r.stdout.decode("latin-1").splitlines()]
    if r.returncode != 0:
        sys.exit("fetch_roundtrip: %s failed: %s %s" % (exe, lines, r.stderr.decode()[-1000:]))
    return lines


def loop_seconds(lines, n):
    """Seconds of the 'loop n ...' line (the timed one, after the warm-up)."""
    timed = [l.split() for l in lines if l.startswith("loop %d " % n)]
    if not timed:
        sys.exit("fetch_roundtrip: no timed loop in %s" % lines)
    return float(timed[-1][2])


def load_parameters(build, pinned_dll, n):
    lines = wine(build, "tests/fetch/dll_probe.exe", pinned_dll,
                 "loop", str(WARMUP), ACCOUNT, ACCOUNT_TYPE,
                 "loop", str(n), ACCOUNT, ACCOUNT_TYPE, "code")
    if lines[-1] != "code 201":
        sys.exit("fetch_roundtrip: expected status 201 from the server, got %s" % lines)
    return loop_seconds(lines, n)


def post_form(build, pins, n):
    args = ["--warmup", str(WARMUP), "--repeat", str(n)] + (["--pins", pins] if pins else [])
    lines = wine(build, "tests/fetch/post_probe.exe", *args, URL, BODY.encode().hex())
    if lines[0] == "reply 0 ":
        sys.exit("fetch_roundtrip: pb::PostForm got no reply (pins %r)" % pins)
    return loop_seconds(lines, n)


WORKER_ROWS = [
    ("load", "LoadParameters, no-op exchange"),
    ("thread", "CreateThread + join"),
    ("thread-ref", "CreateThread + module reference"),
    ("handoff", "parked thread hand-off"),
]


def worker_rows(build, pinned_dll, n):
    """Seconds of each of the worker probe's rows, from one process."""
    lines = wine(build, "bench/win/worker_probe.exe", "--calls", str(n), "--warmup", str(WARMUP),
                 "preload", pinned_dll,
                 "load", os.path.join(build, "bench/win/noop-exchange-bench.dll"), ACCOUNT,
                 ACCOUNT_TYPE,
                 "thread", "thread-ref", pinned_dll, "handoff")
    rows = {}
    for l in lines:
        f = l.split()
        if len(f) == 4 and f[0] == "row" and f[2] == str(n):
            rows[f[1]] = float(f[3])
    if set(rows) != {op for op, _ in WORKER_ROWS}:
        sys.exit("fetch_roundtrip: worker_probe gave %s" % lines)
    return {label: rows[op] for op, label in WORKER_ROWS}


def curl(pins, n):
    """n POSTs from one curl process, after WARMUP untimed ones in another."""
    # Options hold for one URL up to the next "next": each repeats them.
    # insecure: the authority is not checked (as in the DLL), the pin is.
    def config(count):
        f = tempfile.NamedTemporaryFile("w", suffix=".curlrc", delete=False)
        f.write("next\n".join(['url = "%s"\ndata-binary = "%s"\noutput = "/dev/null"\n'
                               'header = "User-Agent: PostSample/1.0"\ninsecure\n'
                               'fail\npinnedpubkey = "%s"\n' % (URL, BODY, pins)] * count))
        f.close()
        return f.name
    warm, timed = config(WARMUP), config(n)
    cmd = ["curl", "-s", "-K"]
    try:
        subprocess.run(cmd + [warm], check=True, env=wine_environment(), timeout=600,
                       stdin=subprocess.DEVNULL)
        t0 = time.perf_counter()
        subprocess.run(cmd + [timed], check=True, env=wine_environment(), timeout=600,
                       stdin=subprocess.DEVNULL)
        return time.perf_counter() - t0
    finally:
        os.unlink(warm)
        os.unlink(timed)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "win32"))
    p.add_argument("--calls", type=int, default=50)
    p.add_argument("--rounds", type=int, default=7)
    args = p.parse_args()
    n = max(1, min(args.calls, 10000))
    rounds = max(1, min(args.rounds, 100))
    build = os.path.abspath(args.build)
    dll = dll_name(build)
    pinned_dll = os.path.join(build, "pinned", dll)
    tls = os.path.join(build, "tls")
    if shutil.which("curl") is None:
        sys.exit("fetch_roundtrip: curl is not installed (make deps installs it); it is the baseline of the ratios")
    for f in (pinned_dll, os.path.join(tls, "pins"), os.path.join(tls, "server.crt"),
              os.path.join(build, "tests/fetch/dll_probe.exe"),
              os.path.join(build, "tests/fetch/post_probe.exe"),
              os.path.join(build, "bench/win/worker_probe.exe"),
              os.path.join(build, "bench/win/noop-exchange-bench.dll")):
        if not os.path.exists(f):
            sys.exit("fetch_roundtrip: %s is missing; build that loopback tree first" % f)
    with open(os.path.join(tls, "pins")) as f:
        pins = f.read().strip()

    # Each contender gives the seconds of one or more rows.
    contenders = [
        ("LoadParameters, pinned", lambda: {"LoadParameters, pinned":
                                            load_parameters(build, pinned_dll, n)}),
        ("pb::PostForm, pinned", lambda: {"pb::PostForm, pinned": post_form(build, pins, n)}),
        ("pb::PostForm, no pins", lambda: {"pb::PostForm, no pins": post_form(build, "", n)}),
        ("curl --pinnedpubkey", lambda: {"curl --pinnedpubkey": curl(pins, n)}),
        ("worker", lambda: worker_rows(build, pinned_dll, n)),
    ]
    rows = [name for name, _ in contenders[:-1]] + [label for _, label in WORKER_ROWS]
    ratios = [
        ("pinned / unpinned (pb::PostForm)", "pb::PostForm, pinned", "pb::PostForm, no pins"),
        ("LoadParameters pinned / curl --pinnedpubkey", "LoadParameters, pinned",
         "curl --pinnedpubkey"),
        ("pb::PostForm pinned / curl --pinnedpubkey", "pb::PostForm, pinned",
         "curl --pinnedpubkey"),
        ("LoadParameters pinned / pb::PostForm pinned", "LoadParameters, pinned",
         "pb::PostForm, pinned"),
        ("no-op exchange / CreateThread + join", "LoadParameters, no-op exchange",
         "CreateThread + join"),
        ("no-op exchange / CreateThread + module reference", "LoadParameters, no-op exchange",
         "CreateThread + module reference"),
        ("no-op exchange / parked thread hand-off", "LoadParameters, no-op exchange",
         "parked thread hand-off"),
    ]
    seconds = {name: [] for name in rows}
    work = tempfile.mkdtemp(prefix="fetch-roundtrip-")
    with PortLock():
        server = ServerProcess(os.path.join(ROOT, "tests", "standin", "product_server.py"),
                               os.path.join(ROOT, "server", "params.json"),
                               work, https_port=443, cert_dir=tls, control=False)
        try:
            for r in range(rounds):
                k = r % len(contenders)
                for _, run in contenders[k:] + contenders[:k]:
                    for name, value in run().items():
                        seconds[name].append(value)
        finally:
            server.stop()

    ms = lambda s: s / n * 1000.0
    print("fetch round trip on https://127.0.0.1:443 (the tree's pinned key), %s, "
          "%d calls per contender, %d rounds, interleaved" % (dll, n, rounds))
    for name in rows:
        per_call = [ms(s) for s in seconds[name]]
        print("  %-31s median %7.3f ms/call  (rounds: %.3f to %.3f)"
              % (name, statistics.median(per_call), min(per_call), max(per_call)))
    for label, a, b in ratios:
        values = [x / y for x, y in zip(seconds[a], seconds[b])]
        print("  ratio %-50s median %.2f  (rounds: %.2f to %.2f)"
              % (label, statistics.median(values), min(values), max(values)))


if __name__ == "__main__":
    main()
