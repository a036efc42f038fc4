"""The contenders of make bench-server, each started on a loopback port of
its own with one key (RSA-2048 or ECDSA P-256) and stopped by stop():

  ProductServer   parambridge-server serve, on SQLite or on PostgreSQL (a
                  temporary cluster), the sample license seeded, its rate
                  limit off;
  Nginx           Debian's nginx as a foreground process with its own config,
                  pid and log files in a temp folder, answering every fetch
                  with the sample account's reply (`return 200 "..."`): what
                  a web server does on this machine without any work behind it;
  Standin         the tests' Python stand-in (tests/standin/product_server.py).

Each answers the sample account's fetch with EXPECTED_BODY (HTTP 200). pids()
gives the processes whose CPU time and memory count."""

import base64
import http.client
import os
import signal
import socket
import ssl
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "fetch"))
from harness import start_until_ready  # noqa: E402
import proc_stats  # noqa: E402

PRODUCT, BASE_PATH = "parambridge", "/parambridge/"
PATH = BASE_PATH + "run/"
FORM = "account=12345&accountType=0"
# The sample account's set (server/params.json, which the stand-in serves).
SAMPLE = [("func101", "1.5"), ("func102", "0.00025"), ("func103", "12345.678"), ("lotStep", "0.01")]
EXPECTED_BODY = base64.b64encode(
    "&".join("%s=%s" % p for p in [("error", "100")] + SAMPLE).encode()).decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def probe(port, timeout=10):
    """(status, body) of one fetch over https, or raises."""
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    c = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=timeout)
    try:
        c.request("POST", PATH, FORM, {"Content-Type": "application/x-www-form-urlencoded",
                                       "User-Agent": "PostSample/1.0"})
        r = c.getresponse()
        return r.status, r.read().decode("latin-1")
    finally:
        c.close()


def wait_listening(port, proc, name, timeout=20):
    deadline = time.monotonic() + timeout
    while True:
        if proc.poll() is not None:
            raise RuntimeError("%s exited with %d" % (name, proc.returncode))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError("%s does not listen on 127.0.0.1:%d after %ds" % (name, port, timeout))
            time.sleep(0.05)


def stop_process(proc, timeout=30):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class Contender:
    name = "?"
    proc = None
    # A contender too slow for the full counts (lighter() in run_bench.py).
    light = False

    def __init__(self, key, cert, key_file, work):
        self.key, self.cert, self.key_file = key, cert, key_file
        self.work = work
        self.port = free_port()
        os.makedirs(work, exist_ok=True)

    def pids(self):
        return proc_stats.process_tree(self.proc.pid) if self.proc else []

    def stop(self):
        stop_process(self.proc)
        self.proc = None


class ProductServer(Contender):
    def __init__(self, binary, db, engine, key, cert, key_file, work):
        super().__init__(key, cert, key_file, work)
        self.name = "parambridge-server, " + engine
        self.binary, self.db = binary, db
        self.cli("init")
        self.cli("product", "add", PRODUCT, "--base-path", BASE_PATH)
        self.cli("set", "put", PRODUCT, "sample", *["%s=%s" % p for p in SAMPLE])
        self.cli("license", "add", PRODUCT, "order-12345", "--set", "sample", "--accounts", "12345")

    def cli(self, *args):
        # In its own folder: a server without PostgreSQL takes a URL for a
        # file's (relative) path.
        r = subprocess.run([self.binary, "--db", self.db] + list(args), stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60, cwd=self.work)
        if r.returncode != 0:
            raise RuntimeError("parambridge-server %s exited %d: %s" % (
                " ".join(args), r.returncode, (r.stdout + r.stderr).decode()[-800:]))

    def start(self):
        ready = os.path.join(self.work, "server.ready")
        cmd = [self.binary, "--db", self.db, "serve", "--listen", "127.0.0.1", "--http-port", "0",
               "--https-port", str(self.port), "--cert", self.cert, "--key", self.key_file,
               "--ready-file", ready, "--rate-limit", "0", "--metrics-listen", "",
               # Several servers run at once: none takes the admin port.
               "--admin-listen", "off"]
        self.proc, self.output = start_until_ready(cmd, os.path.join(self.work, "server.stderr"),
                                                   ready, self.name)

    def stop(self):
        super().stop()
        if getattr(self, "output", None):
            self.output.close()


NGINX_CONF = """\
# The bench's own nginx: a fixed reply over the contenders' certificate.
user nobody nogroup;
worker_processes {workers};
worker_rlimit_nofile {files};
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections {connections}; }}
http {{
  access_log off;
  client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  server {{
    # The server's own backlog (Asio's max_listen_connections, SOMAXCONN):
    # nginx's default of 511 would drop the SYNs of a thousand terminals
    # arriving at once, and their retries would count against it.
    listen 127.0.0.1:{port} ssl backlog=4096;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_session_cache off;
    ssl_session_tickets off;
    location = {path} {{
      default_type text/plain;
      return 200 "{body}";
    }}
  }}
}}
"""


class Nginx(Contender):
    def __init__(self, binary, key, cert, key_file, work, workers, files):
        super().__init__(key, cert, key_file, work)
        self.name = "nginx, fixed reply"
        self.binary = binary
        self.conf = os.path.join(work, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(NGINX_CONF.format(workers=workers, files=files, connections=files // 2, dir=work,
                                      port=self.port, cert=cert, key=key_file, path=PATH,
                                      body=EXPECTED_BODY))

    def start(self):
        self.output = open(os.path.join(self.work, "nginx.stderr"), "w+")
        self.proc = subprocess.Popen([self.binary, "-p", self.work, "-c", self.conf,
                                      "-e", os.path.join(self.work, "error.log")],
                                     stdin=subprocess.DEVNULL, stdout=self.output, stderr=self.output)
        wait_listening(self.port, self.proc, "nginx")

    def stop(self):
        # SIGQUIT: finish the requests in progress, then exit (master and workers).
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        if getattr(self, "output", None):
            self.output.close()


class Standin(Contender):
    # One thread a connection and a listen backlog of 5: at a thousand
    # terminals its connects wait for the kernel's SYN retries (1, 3, 7 s...),
    # which would take minutes and measure nothing but those waits.
    light = True

    def __init__(self, key, cert, key_file, work):
        super().__init__(key, cert, key_file, work)
        self.name = "Python stand-in"
        # It reads <cert-dir>/server.crt and server.key.
        self.cert_dir = os.path.join(work, "cert")
        os.makedirs(self.cert_dir, mode=0o700, exist_ok=True)
        for src, dst in ((cert, "server.crt"), (key_file, "server.key")):
            with open(src, "rb") as f, open(os.path.join(self.cert_dir, dst), "wb") as g:
                g.write(f.read())

    def start(self):
        ready = os.path.join(self.work, "standin.ready")
        cmd = [sys.executable, os.path.join(ROOT, "tests", "standin", "product_server.py"),
               "--params", os.path.join(ROOT, "server", "params.json"), "--bind", "127.0.0.1",
               "--http-port", str(free_port()), "--https-port", str(self.port),
               "--cert-dir", self.cert_dir, "--ready-file", ready,
               "--log", os.path.join(self.work, "requests.log")]
        self.proc, self.output = start_until_ready(cmd, os.path.join(self.work, "standin.stderr"),
                                                   ready, self.name)

    def stop(self):
        super().stop()
        if getattr(self, "output", None):
            self.output.close()
