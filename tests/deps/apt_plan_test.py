#!/usr/bin/env python3
"""What `make deps` decides and prints when the archive is uneven.

Runs the real apt (update, then simulated installs) through tools/apt-lib.sh
against a small archive written here: file: sources, a state, a cache and a
dpkg status of its own, both architectures set on the command line, so that
nothing of this machine's apt is read or changed. Each row is one shape of
the archive.

Usage: apt_plan_test.py TOOLS_DIR
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import textwrap

TOOLS = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "../../tools")
CODENAME = "pbrel"
WANTED = ["pbapp", "pbapp32:i386"]


def stanza(name, version, arch, depends=None, multi_arch=None):
    fields = [("Package", name), ("Version", version), ("Architecture", arch)]
    if multi_arch:
        fields.append(("Multi-Arch", multi_arch))
    if depends:
        fields.append(("Depends", depends))
    fields += [("Maintainer", "test <t@example.invalid>"),
               ("Filename", f"pool/{name}_{version}_{arch}.deb"),
               ("Size", "1000"), ("SHA256", "0" * 64), ("Description", "test package")]
    return "".join(f"{k}: {v}\n" for k, v in fields) + "\n"


# The release: a Multi-Arch: same library for both architectures, an amd64
# program and an i386 one that need it (as wine64 and wine32:i386 do).
RELEASE = {
    "amd64": [stanza("libpbz1", "1.0", "amd64", multi_arch="same"),
              stanza("pbapp", "1.0", "amd64", depends="libpbz1")],
    "i386": [stanza("libpbz1", "1.0", "i386", multi_arch="same"),
             stanza("pbapp32", "1.0", "i386", depends="libpbz1")],
}
# An update of the library in the security suite, for amd64 only.
AMD64_UPDATE = {"amd64": [stanza("libpbz1", "1.1", "amd64", multi_arch="same")], "i386": []}
BOTH_UPDATE = {"amd64": [stanza("libpbz1", "1.1", "amd64", multi_arch="same")],
               "i386": [stanza("libpbz1", "1.1", "i386", multi_arch="same")]}
NO_UPDATE = {"amd64": [], "i386": []}
UNRESOLVABLE = {
    "amd64": RELEASE["amd64"][:1] + [stanza("pbapp", "1.0", "amd64", depends="libpbgone")],
    "i386": RELEASE["i386"],
}
INSTALLED_NEWER = stanza("libpbz1", "1.1", "amd64", multi_arch="same").replace(
    "Package: libpbz1\n", "Package: libpbz1\nStatus: install ok installed\n")


def write_suite(root, suite, lists, cut_i386=False):
    """dists/SUITE with a Release naming each index by size and SHA256. With
    cut_i386 the i386 index on disk is shorter than its Release says: a
    mirror in mid-sync."""
    base = os.path.join(root, "dists", suite)
    entries = []
    for arch, stanzas in lists.items():
        rel = f"main/binary-{arch}/Packages"
        os.makedirs(os.path.join(base, os.path.dirname(rel)), exist_ok=True)
        data = "".join(stanzas).encode()
        if cut_i386 and arch == "i386":
            data += stanza("pbpad", "1.0", "i386").encode()
        entries.append((rel, data))
        on_disk = data[: len(data) // 2] if cut_i386 and arch == "i386" else data
        with open(os.path.join(base, rel), "wb") as f:
            f.write(on_disk)
    release = textwrap.dedent(f"""\
        Origin: pbtest
        Suite: {suite}
        Codename: {suite}
        Date: Mon, 07 Dec 2026 23:22:40 UTC
        Architectures: amd64 i386
        Components: main
        SHA256:
        """)
    release += "".join(f" {hashlib.sha256(d).hexdigest()} {len(d)} {r}\n" for r, d in entries)
    with open(os.path.join(base, "Release"), "w") as f:
        f.write(release)


def run_row(name, updates, cut_i386=False, status="", release=None, amd64_lists=False):
    with tempfile.TemporaryDirectory(prefix="pb-apt-") as d:
        root = os.path.join(d, "archive")
        write_suite(root, CODENAME, release or RELEASE)
        write_suite(root, CODENAME + "-security", updates, cut_i386)
        for sub in ("state/lists/partial", "cache/archives/partial", "parts", "prefs"):
            os.makedirs(os.path.join(d, sub))
        with open(os.path.join(d, "sources.list"), "w") as f:
            for suite in (CODENAME, CODENAME + "-security"):
                f.write(f"deb [trusted=yes] file:{root} {suite} main\n")
        with open(os.path.join(d, "status"), "w") as f:
            f.write(status)
        opts = [
            f"Dir::Etc::SourceList={d}/sources.list", f"Dir::Etc::SourceParts={d}/parts",
            f"Dir::Etc::Preferences={d}/prefs/none", f"Dir::Etc::PreferencesParts={d}/prefs",
            f"Dir::State={d}/state", f"Dir::State::status={d}/status", f"Dir::Cache={d}/cache",
            "APT::Architecture=amd64", "APT::Architectures::=amd64", "APT::Architectures::=i386",
            "Debug::NoLocking=1", "Acquire::Languages=none",
        ]
        if amd64_lists:
            # The machine before i386 was added: its amd64 lists are whole.
            # A release whose i386 index then fails keeps these (apt takes a
            # release's indexes all or none, and keeps the old ones).
            amd64_only = [o for o in opts if not o.startswith("APT::Architectures")]
            subprocess.run(["apt-get"] + [w for o in amd64_only + ["APT::Architectures::=amd64"]
                                          for w in ("-o", o)] + ["update"],
                           check=True, capture_output=True)
        opt_words = " ".join(f"-o '{o}'" for o in opts)
        script = (f". '{TOOLS}/apt-lib.sh'\n"
                  f"PB_APT_OPTS=({opt_words})\n"
                  "pb_apt_refresh || exit 2\n"
                  f"pb_apt_plan {' '.join(WANTED)}\n")
        env = dict(os.environ, PB_APT_TRIES="2", PB_APT_PAUSE="0",
                   PB_APT_CODENAME=CODENAME, PB_APT_SUDO="", LC_ALL="C")
        p = subprocess.run(["bash", "-c", script], capture_output=True, text=True, env=env)
        return p.returncode, p.stdout.strip(), p.stderr


WARN = re.compile(r"^deps: warning: index file:\S*/dists/pbrel-security/main/binary-i386/Packages "
                  r"failed to download after 2 tries \(.+\); going on with the lists apt has$", re.M)
UNEVEN = re.compile(r"^deps: the archive is uneven .* come from pbrel alone: their security and "
                    r"stable updates were not taken; take them later with .*apt-get upgrade", re.M)
FAILED = re.compile(r"^deps: FAILED: apt cannot install pbapp pbapp32:i386 as the archive "
                    r"stands, nor from pbrel alone \(-t pbrel\); .* Next: ", re.M)

# name, archive, expected rc, plan printed, lines that must / must not be printed
ROWS = [
    ("every index whole", dict(updates=BOTH_UPDATE), 0, "", [], [WARN, UNEVEN, FAILED]),
    ("one index cut in mid-sync", dict(updates=NO_UPDATE, cut_i386=True, amd64_lists=True), 0, "", [WARN], [UNEVEN, FAILED]),
    ("amd64 update with no i386 twin, its index cut (today's archive)",
     dict(updates=AMD64_UPDATE, cut_i386=True, amd64_lists=True), 0, "-t pbrel", [WARN, UNEVEN], [FAILED]),
    ("amd64 update with no i386 twin", dict(updates=AMD64_UPDATE), 0, "-t pbrel", [UNEVEN], [WARN, FAILED]),
    ("amd64 half installed at the version with no twin",
     dict(updates=AMD64_UPDATE, status=INSTALLED_NEWER), 1, "", [FAILED], [UNEVEN]),
    ("a dependency that no suite has", dict(updates=NO_UPDATE, release=UNRESOLVABLE), 1, "", [FAILED], [UNEVEN]),
]


def main():
    failures = 0
    for name, archive, want_rc, want_plan, must, must_not in ROWS:
        rc, plan, said = run_row(name, **archive)
        problems = []
        if rc != want_rc:
            problems.append(f"exit {rc}, expected {want_rc}")
        if plan != want_plan:
            problems.append(f"plan {plan!r}, expected {want_plan!r}")
        problems += [f"missing line /{r.pattern}/" for r in must if not r.search(said)]
        problems += [f"unexpected line /{r.pattern}/" for r in must_not if r.search(said)]
        if want_rc and not re.search(r"^E: ", said, re.M):
            problems.append("apt's own error is not shown")
        print(f"{'ok  ' if not problems else 'FAIL'} {name}: rc={rc} plan={plan!r}")
        for line in said.splitlines():
            print(f"       | {line}")
        for p in problems:
            print(f"       ! {p}")
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
