#!/usr/bin/env python3
"""A throwaway PostgreSQL cluster for the tests, on loopback.

As a command:
    cluster.py start DIR    initdb into DIR, run postgres on a free port of
                            127.0.0.1, create the database "pbs" and print
                            its URL (also written to DIR/url)
    cluster.py stop DIR     fast shutdown of the cluster in DIR, then DIR
                            removed (nothing to do when none runs there)

As a module: Cluster(dir) with start(), stop(), restart() (the same data
and port: a database restart as the servers see it), url and
database_url(name); a `with Cluster(dir) as c:` block stops it however the
block ends.

PostgreSQL refuses to run as root: as root the cluster runs as `nobody`
(setpriv), and DIR is handed to that user. Every wait is bounded and fails
with the server's own log.
"""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time

BIN = os.environ.get("PBS_POSTGRES_BIN", "/usr/lib/postgresql/15/bin")
SUPERUSER = "pbs"
DATABASE = "pbs"
READY_SECONDS = 60
STOP_SECONDS = 60


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _as_user():
    """The command prefix and uid/gid that run the cluster's programs."""
    if os.geteuid() != 0:
        return [], None
    user = pwd.getpwnam("nobody")
    return (["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid, "--clear-groups", "--"],
            (user.pw_uid, user.pw_gid))


class Cluster:
    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        self.data = os.path.join(self.dir, "data")
        self.log = os.path.join(self.dir, "postgres.log")
        self.port = None
        self.proc = None
        self.prefix, self.owner = _as_user()

    @property
    def url(self):
        return self.database_url(DATABASE)

    def database_url(self, name):
        return "postgresql://%s@127.0.0.1:%d/%s" % (SUPERUSER, self.port, name)

    def _run(self, *cmd):
        r = subprocess.run(self.prefix + list(cmd), stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=120, cwd=self.dir, env=self._env())
        if r.returncode != 0:
            raise RuntimeError("%s exited %d: %s%s" % (cmd[0], r.returncode, r.stdout.decode(),
                                                       r.stderr.decode()))
        return r.stdout.decode()

    def _env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        env["LC_ALL"] = "C.UTF-8"
        return env

    def _log_tail(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return "(no log)"

    def start(self):
        """initdb when DIR holds no cluster yet; postgres on a free port (the
        same as before on a restart); returns once it accepts connections
        and the database exists."""
        os.makedirs(self.dir, exist_ok=True)
        if self.owner:
            os.chown(self.dir, *self.owner)
        fresh = not os.path.exists(os.path.join(self.data, "PG_VERSION"))
        if fresh:
            self._run(os.path.join(BIN, "initdb"), "-D", self.data, "-U", SUPERUSER, "--auth=trust",
                      "--encoding=UTF8", "--no-sync")
        if self.port is None:
            self.port = self._saved_port() or _free_port()
        cmd = self.prefix + [os.path.join(BIN, "postgres"), "-D", self.data, "-p", str(self.port),
                             "-c", "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + self.dir,
                             "-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "max_connections=200",
                             "-c", "logging_collector=off"]
        log = open(self.log, "a")
        # Its own session: a Ctrl-C to the test does not reach it, stop() does.
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                     cwd=self.dir, env=self._env(), start_new_session=True)
        log.close()
        deadline = time.monotonic() + READY_SECONDS
        while True:
            r = subprocess.run([os.path.join(BIN, "pg_isready"), "-q", "-h", "127.0.0.1", "-p", str(self.port),
                                "-U", SUPERUSER, "-d", "postgres", "-t", "2"], stdin=subprocess.DEVNULL)
            if r.returncode == 0:
                break
            if self.proc.poll() is not None:
                raise RuntimeError("postgres exited with %d: %s" % (self.proc.returncode, self._log_tail()))
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("postgres did not accept connections within %ds: %s"
                                   % (READY_SECONDS, self._log_tail()))
            time.sleep(0.1)
        if fresh:
            self.psql("postgres", "CREATE DATABASE %s" % DATABASE)
        with open(os.path.join(self.dir, "url"), "w") as f:
            f.write(self.url + "\n")
        return self

    def _saved_port(self):
        try:
            with open(os.path.join(self.dir, "url")) as f:
                return int(f.read().strip().rsplit(":", 1)[1].split("/")[0])
        except (OSError, ValueError, IndexError):
            return None

    def psql(self, database, sql):
        """One SQL text run by psql on `database`; its output."""
        return self._run("psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-At", "-h", "127.0.0.1",
                         "-p", str(self.port), "-U", SUPERUSER, "-d", database, "-c", sql)

    def _postmaster_pid(self):
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as f:
                return int(f.readline())
        except (OSError, ValueError):
            return None

    def stop(self):
        """Fast shutdown (SIGINT); waits until the postmaster is gone."""
        pid = self.proc.pid if self.proc and self.proc.poll() is None else self._postmaster_pid()
        if pid is None:
            return
        try:
            os.kill(pid, signal.SIGINT)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + STOP_SECONDS
        while _alive(pid, self.proc):
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                _wait_gone(pid, self.proc)
                raise RuntimeError("postgres did not stop within %ds (killed): %s"
                                   % (STOP_SECONDS, self._log_tail()))
            time.sleep(0.05)
        self.proc = None

    def restart(self):
        self.stop()
        return self.start()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _alive(pid, proc):
    if proc is not None and proc.pid == pid:
        return proc.poll() is None
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def _wait_gone(pid, proc):
    if proc is not None and proc.pid == pid:
        proc.wait(timeout=STOP_SECONDS)
        return
    deadline = time.monotonic() + STOP_SECONDS
    while _alive(pid, None) and time.monotonic() < deadline:
        time.sleep(0.05)


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        sys.stderr.write("usage: cluster.py start DIR | stop DIR\n")
        return 2
    cluster = Cluster(argv[2])
    if argv[1] == "start":
        if cluster._postmaster_pid() and _alive(cluster._postmaster_pid(), None):
            cluster.stop()   # one left by an earlier run that was killed
        cluster.start()
        print(cluster.url)
    else:
        cluster.stop()
        shutil.rmtree(cluster.dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
