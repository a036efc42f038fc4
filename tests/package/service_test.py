#!/usr/bin/env python3
"""The systemd unit (server/parambridge-server.service) and the defaults
file the Debian package installs with it: the unprivileged user, the one
capability and the sandbox a vendor relies on, a unit systemd reads without
a warning, and the two files agreeing on the variables they share.

usage: service_test.py SOURCE_DIR [unittest args]
"""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = None


def read_unit(path):
    """{(section, key): [values in order]} of a unit file."""
    entries, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith(("#", ";")):
                continue
            if line.startswith("["):
                section = line.strip("[]")
                continue
            key, _, value = line.partition("=")
            entries.setdefault((section, key.strip()), []).append(value.strip())
    return entries


class UnitTest(unittest.TestCase):
    def setUp(self):
        self.unit_path = os.path.join(SOURCE, "server", "parambridge-server.service")
        self.unit = read_unit(self.unit_path)

    def test_settings(self):
        # (section, key, the value it must have: each must be present)
        table = [
            ("Service", "User", "parambridge"),
            ("Service", "Group", "parambridge"),
            ("Service", "AmbientCapabilities", "CAP_NET_BIND_SERVICE"),
            ("Service", "CapabilityBoundingSet", "CAP_NET_BIND_SERVICE"),
            ("Service", "NoNewPrivileges", "yes"),
            ("Service", "ProtectSystem", "strict"),
            ("Service", "ProtectHome", "yes"),
            ("Service", "PrivateTmp", "yes"),
            ("Service", "PrivateDevices", "yes"),
            ("Service", "ReadWritePaths", "/var/lib/parambridge"),
            ("Service", "RestrictAddressFamilies", "AF_INET AF_INET6 AF_UNIX"),
            ("Service", "SystemCallFilter", "@system-service"),
            ("Service", "ExecReload", "/bin/kill -HUP $MAINPID"),
            ("Service", "KillSignal", "SIGTERM"),
            ("Service", "Restart", "on-failure"),
            ("Service", "RestartPreventExitStatus", "2"),
            ("Install", "WantedBy", "multi-user.target"),
        ]
        for section, key, value in table:
            with self.subTest(key=key):
                self.assertEqual(self.unit.get((section, key)), [value])

    def test_not_run_as_root(self):
        # Nothing that would hand the service more than the one capability.
        table = [("Service", "PermissionsStartOnly"), ("Service", "PrivateUsers"),
                 ("Service", "DynamicUser")]
        for section, key in table:
            with self.subTest(key=key):
                self.assertNotIn((section, key), self.unit)
        exec_start = self.unit[("Service", "ExecStart")][0]
        self.assertFalse(exec_start.startswith(("+", "!")), exec_start)

    def test_defaults_file_feeds_exec_start(self):
        # Every variable ExecStart uses is set by the unit (a default) and
        # by the defaults file, with the same value; serve's options there
        # name the certificate and key the package's folder holds.
        exec_start = self.unit[("Service", "ExecStart")][0]
        unit_env = {}
        for value in self.unit[("Service", "Environment")]:
            for word in shlex.split(value):
                name, _, text = word.partition("=")
                unit_env[name] = text
        defaults = {}
        with open(os.path.join(SOURCE, "server", "package", "parambridge-server.default")) as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    name, _, text = line.partition("=")
                    defaults[name] = shlex.split(text)[0]
        used = [w.strip("${}") for w in exec_start.split() if w.startswith("$")]
        self.assertEqual(sorted(used), ["PARAMBRIDGE_DB", "PARAMBRIDGE_SERVE_OPTIONS"])
        for name in used:
            with self.subTest(variable=name):
                self.assertEqual(unit_env.get(name), defaults.get(name))
        self.assertEqual(self.unit[("Service", "EnvironmentFile")],
                         ["-/etc/default/parambridge-server"])
        self.assertTrue(defaults["PARAMBRIDGE_DB"].startswith("/var/lib/parambridge/"))
        options = shlex.split(defaults["PARAMBRIDGE_SERVE_OPTIONS"])
        self.assertEqual(options[options.index("--cert") + 1], "/etc/parambridge/server.crt")
        self.assertEqual(options[options.index("--key") + 1], "/etc/parambridge/server.key")

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is not installed")
    def test_systemd_reads_it_without_a_warning(self):
        # verify wants the binary to exist: a copy names /bin/true instead.
        with tempfile.TemporaryDirectory() as d:
            copy = os.path.join(d, "parambridge-server.service")
            with open(self.unit_path) as f, open(copy, "w") as out:
                out.write(f.read().replace("/usr/bin/parambridge-server", "/bin/true"))
            r = subprocess.run(["systemd-analyze", "verify", copy], capture_output=True,
                               text=True, stdin=subprocess.DEVNULL, timeout=120)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))


def main():
    global SOURCE
    SOURCE = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)


if __name__ == "__main__":
    main()
