"""A temporary PostgreSQL cluster for the bench: initdb into a folder of its
own as the unprivileged `postgres` user (the server refuses root), listening
on 127.0.0.1 at a given port and on a socket in that folder, with one
database. stop() ends it (fast shutdown) and removes the folder; it never
touches a system cluster or service."""

import glob
import os
import pwd
import shutil
import subprocess
import tempfile

USER = "postgres"


def bin_dir():
    """The newest installed PostgreSQL's programs, or None."""
    dirs = sorted(glob.glob("/usr/lib/postgresql/*/bin"),
                  key=lambda d: int(d.split("/")[-2]) if d.split("/")[-2].isdigit() else 0)
    return dirs[-1] if dirs else None


class Cluster:
    def __init__(self, port, database="bench"):
        self.bin = bin_dir()
        if not self.bin:
            raise RuntimeError("PostgreSQL is not installed (make deps installs it)")
        self.port = port
        self.database = database
        self.dir = tempfile.mkdtemp(prefix="pb-bench-pg-")
        self.data = os.path.join(self.dir, "data")
        self.started = False
        user = pwd.getpwnam(USER)
        os.chown(self.dir, user.pw_uid, user.pw_gid)
        self._as_user(["initdb", "-D", self.data, "-A", "trust", "-U", USER, "--no-sync",
                       "-E", "UTF8", "--locale", "C"])
        with open(os.path.join(self.data, "postgresql.conf"), "a") as f:
            # A throw-away cluster: no durability, enough connections for the
            # server's threads.
            f.write("fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n"
                    "max_connections = 100\n")
        self._as_user(["pg_ctl", "-D", self.data, "-l", os.path.join(self.dir, "log"), "-w",
                       "-t", "60", "-o", "-h 127.0.0.1 -p %d -k %s" % (port, self.dir), "start"])
        self.started = True
        self._as_user(["createdb", "-h", "127.0.0.1", "-p", str(port), "-U", USER, database])

    @property
    def url(self):
        return self.url_of(self.database)

    def url_of(self, database):
        return "postgresql://%s@127.0.0.1:%d/%s" % (USER, self.port, database)

    def create_database(self, name):
        self._as_user(["createdb", "-h", "127.0.0.1", "-p", str(self.port), "-U", USER, name])

    def _as_user(self, cmd):
        cmd = [os.path.join(self.bin, cmd[0])] + cmd[1:]
        if os.geteuid() == 0:
            cmd = ["runuser", "-u", USER, "--"] + cmd
        r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                           cwd=self.dir)
        if r.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(cmd), (r.stdout + r.stderr).decode()[-800:]))

    def stop(self):
        try:
            if self.started:
                self._as_user(["pg_ctl", "-D", self.data, "-m", "fast", "-w", "-t", "60", "stop"])
                self.started = False
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)
