#!/usr/bin/env python3
"""What `make server-deb` made, checked before anyone installs it: the files
and their modes, the control fields (the libraries the binary needs among
the dependencies), the maintainer scripts and the conffile, and the
packaged (stripped) binary still running.

usage: check_deb.py PACKAGE.deb
Exit status 0 when every row holds; else one line per fault.
"""

import os
import re
import subprocess
import sys
import tempfile

# (path in the package, mode): files must be there with this mode.
FILES = [
    ("./usr/bin/parambridge-server", "-rwxr-xr-x"),
    ("./usr/lib/systemd/system/parambridge-server.service", "-rw-r--r--"),
    ("./etc/default/parambridge-server", "-rw-r--r--"),
    ("./usr/share/doc/parambridge-server/product-server.md", "-rw-r--r--"),
    ("./usr/share/doc/parambridge-server/server-protocol.md", "-rw-r--r--"),
    ("./usr/share/doc/parambridge-server/admin-api.md", "-rw-r--r--"),
]
# (control field, pattern its value must match)
FIELDS = [
    ("Package", r"^parambridge-server$"),
    ("Architecture", r"^amd64$"),
    ("Section", r"^net$"),
    ("Depends", r"(^|, )adduser(,|$)"),
    ("Depends", r"(^|, )libssl3( |,|$)"),
    ("Depends", r"(^|, )libsqlite3-0( |,|$)"),
    ("Depends", r"(^|, )libpq5( |,|$)"),
    ("Depends", r"(^|, )libsodium23( |,|$)"),
    ("Depends", r"(^|, )libc6( |,|$)"),
]
# (control member, mode, pattern it must hold, pattern it must not hold)
MEMBERS = [
    ("postinst", "-rwxr-xr-x", r"adduser --system --group", r"systemctl (enable|start)"),
    ("postinst", "-rwxr-xr-x", r"install -d -o parambridge -g parambridge -m 0750 /var/lib/parambridge",
     None),
    ("prerm", "-rwxr-xr-x", r"systemctl stop parambridge-server", None),
    ("postrm", "-rwxr-xr-x", r"purge", r"rm -r"),
    ("conffiles", "-rw-r--r--", r"^/etc/default/parambridge-server\n$", None),
]


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL).stdout


def main():
    deb = sys.argv[1]
    faults = []
    listing = {}
    for line in run("dpkg-deb", "-c", deb).splitlines():
        parts = line.split()
        listing[parts[-1]] = (parts[0], parts[1])
    for path, mode in FILES:
        if path not in listing:
            faults.append("%s is not in the package" % path)
        elif listing[path] != (mode, "root/root"):
            faults.append("%s is %s %s, not %s root/root" % ((path,) + listing[path] + (mode,)))
    for field, pattern in FIELDS:
        value = run("dpkg-deb", "-f", deb, field).strip()
        if not re.search(pattern, value):
            faults.append("control field %s is %r, which does not match %s" % (field, value, pattern))
    with tempfile.TemporaryDirectory() as d:
        control = os.path.join(d, "DEBIAN")
        run("dpkg-deb", "-e", deb, control)
        for member, mode, must, must_not in MEMBERS:
            path = os.path.join(control, member)
            if not os.path.exists(path):
                faults.append("control member %s is missing" % member)
                continue
            text = open(path).read()
            got = run("stat", "-c", "%A", path).strip()
            if got != mode:
                faults.append("control member %s has mode %s, not %s" % (member, got, mode))
            if not re.search(must, text, re.M):
                faults.append("control member %s lacks %s" % (member, must))
            code = "\n".join(l for l in text.splitlines() if not l.lstrip().startswith("#"))
            if must_not and re.search(must_not, code):
                faults.append("control member %s holds %s" % (member, must_not))
            if mode.endswith("x") and subprocess.run(["sh", "-n", path]).returncode != 0:
                faults.append("control member %s is not a valid sh script" % member)
        root = os.path.join(d, "root")
        run("dpkg-deb", "-x", deb, root)
        binary = os.path.join(root, "usr", "bin", "parambridge-server")
        r = subprocess.run([binary, "--help"], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, timeout=60)
        if r.returncode != 0 or "serve" not in r.stdout:
            faults.append("the packaged binary's --help exited %d: %s"
                          % (r.returncode, (r.stdout + r.stderr)[-500:]))
    for fault in faults:
        print("server-deb: %s" % fault, file=sys.stderr)
    if not faults:
        print("server-deb: %s checked (%d files, %d fields, %d scripts)"
              % (deb, len(FILES), len(FIELDS), len(MEMBERS)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
