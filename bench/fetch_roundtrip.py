#!/usr/bin/env python3
"""Fetch round trip on loopback: LoadParameters in parambridge.dll (or
parambridge64.dll) under Wine against curl posting the same body to the same
product server, from one run.

usage: bench/fetch_roundtrip.py [BUILD_DIR] [--calls N]

BUILD_DIR is the win32 build tree (default build/win32) holding
parambridge.dll, or the win64 tree holding parambridge64.dll (run under
tools/wine64-run), with tests/fetch/{dll_probe,post_probe}.exe. The server runs on
127.0.0.1:80 under /tmp/parambridge-ports.lock. Once a fetch succeeds the
module answers later calls without any request, so every timed call asks for
an account the server does not know: status 201, a full exchange each time.
The loop counts are fixed; the run ends by itself.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "fetch"))
from harness import PortLock, ServerProcess, wine_environment  # noqa: E402

URL = "http://127.0.0.1/parambridge/run/"
ACCOUNT, ACCOUNT_TYPE = "bench-unknown", "0"
BODY = "account=%s&accountType=%s" % (ACCOUNT, ACCOUNT_TYPE)
WARMUP = 5


def wine(build, exe, *args):
    runner = "wine64-run" if dll_name(build) == "parambridge64.dll" else "wine-run"
    r = subprocess.run([os.path.join(ROOT, "tools", runner), os.path.join(build, exe)]
                       + list(args), capture_output=True, env=wine_environment(),
                       stdin=subprocess.DEVNULL, timeout=600)
    lines = [l.rstrip("\r") for l in r.stdout.decode("latin-1").splitlines()]
    if r.returncode != 0:
        sys.exit("fetch_roundtrip: %s failed: %s %s" % (exe, lines, r.stderr.decode()[-1000:]))
    return lines


def dll_name(build):
    """The DLL the tree holds: parambridge64.dll in a win64 tree."""
    if os.path.exists(os.path.join(build, "parambridge64.dll")):
        return "parambridge64.dll"
    return "parambridge.dll"


def loop_seconds(lines, n):
    """Seconds of the 'loop n ...' line (the timed one, after the warm-up)."""
    timed = [l.split() for l in lines if l.startswith("loop %d " % n)]
    return float(timed[-1][2])


def curl_seconds(n, server):
    """n POSTs of the body from one curl process; seconds of the whole run."""
    with tempfile.NamedTemporaryFile("w", suffix=".curlrc", delete=False) as cfg:
        cfg.write("next\n".join(['url = "%s"\ndata-binary = "%s"\noutput = "/dev/null"\n'
                                 'header = "User-Agent: PostSample/1.0"\n' % (URL, BODY)] * n))
    env = wine_environment()
    try:
        subprocess.run(["curl", "-s", "-K", cfg.name], check=True, env=env, timeout=600,
                       stdin=subprocess.DEVNULL)  # warm-up of the page cache
        t0 = time.perf_counter()
        subprocess.run(["curl", "-s", "-K", cfg.name], check=True, env=env, timeout=600,
                       stdin=subprocess.DEVNULL)
        return time.perf_counter() - t0
    finally:
        os.unlink(cfg.name)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "win32"))
    p.add_argument("--calls", type=int, default=200)
    args = p.parse_args()
    n = max(1, min(args.calls, 10000))
    build = os.path.abspath(args.build)
    dll = dll_name(build)
    for f in (dll, "tests/fetch/dll_probe.exe", "tests/fetch/post_probe.exe"):
        if not os.path.exists(os.path.join(build, f)):
            sys.exit("fetch_roundtrip: %s is missing in %s; build that tree first" % (f, build))

    work = tempfile.mkdtemp(prefix="fetch-roundtrip-")
    with PortLock():
        server = ServerProcess(os.path.join(ROOT, "server", "product_server.py"),
                               os.path.join(ROOT, "server", "params.json"),
                               work, https_port=0, control=False)
        try:
            dll_lines = wine(build, "tests/fetch/dll_probe.exe",
                             os.path.join(build, dll),
                             "loop", str(WARMUP), ACCOUNT, ACCOUNT_TYPE,
                             "loop", str(n), ACCOUNT, ACCOUNT_TYPE, "code")
            if dll_lines[-1] != "code 201":
                sys.exit("fetch_roundtrip: expected status 201 from the server, got %s"
                         % dll_lines)
            dll_s = loop_seconds(dll_lines, n)
            post_s = loop_seconds(wine(build, "tests/fetch/post_probe.exe", "--repeat", str(n),
                                       URL, BODY.encode().hex()), n)
            curl_s = curl_seconds(n, server)
        finally:
            server.stop()

    per = lambda s: s / n * 1000.0
    print("fetch round trip on 127.0.0.1:80, %s, %d calls each, one run" % (dll, n))
    print("  LoadParameters, Wine (full exchange, status 201): %8.3f ms/call" % per(dll_s))
    print("  pb::PostForm, Wine:                               %8.3f ms/call" % per(post_s))
    print("  curl, one process, same body:                     %8.3f ms/call" % per(curl_s))
    print("  ratio LoadParameters / curl: %.2f" % (dll_s / curl_s))


if __name__ == "__main__":
    main()
