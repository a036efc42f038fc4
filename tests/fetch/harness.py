"""Runs the stand-in (tests/standin/product_server.py) for the fetch tests and
the benchmark, and the product server itself (parambridge-server) on a
database of its own, seeded through its command line (ProductServer).

PortLock takes /tmp/parambridge-ports.lock, which everything that binds the
loopback ports 80/443 shares. Its descriptor is not inherited (Python's
default), so that an Xvfb or wineserver that a child starts cannot keep the
lock after we are gone.
"""

import base64
import fcntl
import json
import os
import shutil
import signal
import ssl
import subprocess
import sys
import time
import urllib.request

LOCK_PATH = "/tmp/parambridge-ports.lock"

# Without this, urllib honours http_proxy for the control requests.
_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))



def start_until_ready(cmd, stderr_path, ready, name):
    """Starts a server whose output goes to `stderr_path` and returns (process,
    output file) once it has written `ready`; raises with its output when it
    exits first or is not ready within 20 s (then it is killed)."""
    stderr = open(stderr_path, "w+")
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=stderr, stderr=stderr)
    deadline = time.monotonic() + 20
    while not os.path.exists(ready):
        if proc.poll() is not None:
            stderr.seek(0)
            raise RuntimeError("%s exited with %d: %s" % (name, proc.returncode, stderr.read()))
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait()
            raise RuntimeError("%s did not get ready" % name)
        time.sleep(0.05)
    return proc, stderr

class PortLock:
    def __init__(self, timeout=300):
        self.timeout = timeout
        self.fd = None

    def __enter__(self):
        self.fd = os.open(LOCK_PATH, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        deadline = time.monotonic() + self.timeout
        while True:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return self
            except BlockingIOError:
                if time.monotonic() > deadline:
                    os.close(self.fd)
                    raise RuntimeError("%s stayed locked for %ds: another test run or the demo "
                                       "holds the loopback ports" % (LOCK_PATH, self.timeout))
                time.sleep(0.2)

    def __exit__(self, *exc):
        os.close(self.fd)  # releases the lock
        self.fd = None


class ServerProcess:
    """One product server with the control interface; stop() returns its exit status."""

    def __init__(self, server, params, work_dir, http_port=80, https_port=443, cert_dir=None,
                 control=True, extra=(), host="127.0.0.1"):
        os.makedirs(work_dir, exist_ok=True)
        self.http_port = http_port
        self.host = host
        self.ready = os.path.join(work_dir, "server-%d.ready" % http_port)
        self.log_path = os.path.join(work_dir, "server-%d.log" % http_port)
        if os.path.exists(self.ready):
            os.unlink(self.ready)
        cmd = [sys.executable, server, "--params", params, "--http-port", str(http_port),
               "--https-port", str(https_port), "--ready-file", self.ready, "--log", self.log_path,
               "--bind", host]
        if cert_dir:
            cmd += ["--cert-dir", cert_dir]
        if control:
            cmd.append("--control")
        cmd += list(extra)
        self.proc, self.stderr = start_until_ready(
            cmd, os.path.join(work_dir, "server-%d.stderr" % http_port), self.ready, "product server")

    def _call(self, method, op, payload=None):
        data = None if payload is None else json.dumps(payload).encode("utf-8")
        req = urllib.request.Request("http://%s:%d/_pb/%s" % (self.host, self.http_port, op),
                                     data=data, method=method)
        with _opener.open(req, timeout=30) as r:
            return json.loads(r.read().decode("utf-8"))

    def reset(self):
        self._call("POST", "reset", {})

    def script(self, *replies):
        self._call("POST", "script", list(replies))

    def release(self):
        """Lets one held reply ({"hold": true}) go."""
        self._call("POST", "release", {})

    def set_certificate(self, cert, key):
        self._call("POST", "cert", {"cert": cert, "key": key})

    def requests(self):
        entries = self._call("GET", "log")
        for e in entries:
            e["body"] = base64.b64decode(e["body_b64"])
        return entries

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()
        return self.proc.returncode


class ServerCommandFailed(AssertionError):
    pass


class ProductServer:
    """parambridge-server on a fresh SQLite database in `work_dir`: init and
    product add at once; the caller seeds it with cli() (set put, license
    add ...), also while it serves. serve() starts it on `host` (http on
    `http_port`, https on `https_port` with `cert` and `key`, 0: off) and
    returns once its ready file exists; the rate limit, the metrics
    listener and the admin listener (unless `extra` names --admin-listen)
    are off, so that tests of the fetch are never limited and never share
    a port. stop() sends SIGTERM and returns the exit status."""

    def __init__(self, binary, work_dir, product="parambridge", base_path="/parambridge/"):
        if not binary or not os.path.isfile(binary):
            raise RuntimeError("parambridge-server is not built at %r (run: make server)" % binary)
        os.makedirs(work_dir, exist_ok=True)
        self.binary = binary
        self.work_dir = work_dir
        self.product = product
        self.db = os.path.join(work_dir, "server.db")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self.db + suffix):
                os.unlink(self.db + suffix)
        self.proc = None
        self.stderr = None
        self.cli("init")
        self.cli("product", "add", product, "--base-path", base_path)

    def run(self, *args):
        """(exit status, stdout, stderr) of one command on the database."""
        r = subprocess.run([self.binary, "--db", self.db] + [str(a) for a in args],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")

    def cli(self, *args):
        """stdout of a command that must succeed."""
        rc, out, err = self.run(*args)
        if rc != 0:
            raise ServerCommandFailed("parambridge-server %s exited %d: %s%s"
                                      % (" ".join(map(str, args)), rc, out, err))
        return out

    def serve(self, host="127.0.0.1", http_port=80, https_port=443, cert=None, key=None,
              extra=()):
        self.ready = os.path.join(self.work_dir, "server.ready")
        if os.path.exists(self.ready):
            os.unlink(self.ready)
        cmd = [self.binary, "--db", self.db, "serve", "--listen", host,
               "--http-port", str(http_port), "--https-port", str(https_port if cert else 0),
               "--ready-file", self.ready, "--rate-limit", "0", "--metrics-listen", ""]
        if cert:
            cmd += ["--cert", cert, "--key", key]
        if "--admin-listen" not in extra:
            cmd += ["--admin-listen", "off"]   # no shared port 9180 between tests
        cmd += list(extra)
        self.cert, self.key = cert, key
        self.proc, self.stderr = start_until_ready(
            cmd, os.path.join(self.work_dir, "server.stderr"), self.ready, "parambridge-server")
        return self

    def reload_certificate(self, cert, key, host="127.0.0.1", port=443):
        """Copies `cert` and `key` over the files it serves, sends SIGHUP and
        returns once a new connection is presented the new certificate."""
        for src, dst in ((cert, self.cert), (key, self.key)):
            if os.path.abspath(src) != os.path.abspath(dst):
                shutil.copyfile(src, dst)
        with open(cert) as f:
            wanted = ssl.PEM_cert_to_DER_cert(f.read())
        self.proc.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + 20
        while True:
            presented = ssl.PEM_cert_to_DER_cert(ssl.get_server_certificate((host, port)))
            if presented == wanted:
                return
            if self.proc.poll() is not None:
                raise RuntimeError("parambridge-server exited on SIGHUP with %d"
                                   % self.proc.returncode)
            if time.monotonic() > deadline:
                raise RuntimeError("parambridge-server still presents the old certificate "
                                   "20 s after SIGHUP")
            time.sleep(0.1)

    def fetch_log(self, account, count, timeout=20):
        """The fetch log's rows for `account` (oldest first), once it holds at
        least `count` of them: the log is written in batches, off the reply's
        path."""
        deadline = time.monotonic() + timeout
        while True:
            rows = json.loads(self.cli("log", self.product, "--account", account, "--json"))
            if len(rows) >= count or time.monotonic() > deadline:
                return rows
            time.sleep(0.1)

    def stop(self):
        if self.proc is None:
            return 0
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()
        rc, self.proc = self.proc.returncode, None
        return rc


def reply_body(*pairs):
    """The reply format: Base64 of name=value&... (padded)."""
    return base64.b64encode("&".join("%s=%s" % p for p in pairs).encode("latin-1")).decode()


CERT_AUTHORITY_CONFIG = """\
[ca]
default_ca = ca_default
[ca_default]
dir = .
database = ./index.txt
new_certs_dir = .
serial = ./serial
default_md = sha256
policy = policy_any
copy_extensions = copy
unique_subject = no
[policy_any]
commonName = supplied
"""


def make_certificate(directory, name, start=None, end=None, key=None):
    """A self-signed certificate for `name` (an IP address or a DNS name) in
    directory/server.crt, for the key file `key` or a new key in
    directory/server.key. With start and end (YYYYMMDDHHMMSSZ) it is issued
    through `openssl ca`, which, unlike `req -x509` in OpenSSL 3.0, takes
    validity dates in the past."""
    os.makedirs(directory, exist_ok=True)
    new_key = key is None
    key = key or os.path.join(directory, "server.key")
    cert = os.path.join(directory, "server.crt")
    key_args = ["-newkey", "rsa:2048", "-nodes", "-keyout", key] if new_key else ["-key", key]
    san = ("IP:" if name[0].isdigit() else "DNS:") + name
    run = lambda *cmd: subprocess.run(cmd, check=True, cwd=directory, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if start is None:
        run("openssl", "req", "-x509", *key_args, "-sha256", "-days", "365",
            "-subj", "/CN=" + name, "-addext", "subjectAltName=" + san, "-out", cert)
    else:
        with open(os.path.join(directory, "ca.cnf"), "w") as f:
            f.write(CERT_AUTHORITY_CONFIG)
        open(os.path.join(directory, "index.txt"), "w").close()
        with open(os.path.join(directory, "serial"), "w") as f:
            f.write("01\n")
        run("openssl", "req", "-new", *key_args, "-subj", "/CN=" + name,
            "-addext", "subjectAltName=" + san, "-out", "req.csr")
        run("openssl", "ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", key,
            "-in", "req.csr", "-out", cert, "-startdate", start, "-enddate", end, "-notext")
    return cert, key


def wine_environment():
    """The environment for Windows programs: Wine's WinHTTP takes its
    default proxy from http_proxy, which must not reroute loopback tests."""
    env = dict(os.environ)
    for k in list(env):
        if k.lower() in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):
            del env[k]
    return env
