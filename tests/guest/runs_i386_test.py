#!/usr/bin/env python3
"""tools/guest/runs-i386: the program it writes is a valid static i386 ELF
that exits with 42, and its answer agrees with what this host does when it
runs that program itself. A wrong answer sends every `make test` into the
slow emulated guest, or starts 32-bit Wine where it cannot run (status 126).

Usage: runs_i386_test.py PROBE BUILD_DIR
"""

import os
import struct
import subprocess
import sys

PROBE, BUILD = sys.argv[1], sys.argv[2]
ELF = os.path.join(BUILD, ".runs-i386")
failures = []


def check(name, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (name, got, want))


def run_probe(env_extra, *args):
    env = {k: v for k, v in os.environ.items() if k != "PB_GUEST"}
    env.update(env_extra)
    r = subprocess.run([PROBE] + list(args), env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout


run_probe({})
data = open(ELF, "rb").read()
(ident, e_type, e_machine, e_version, e_entry, e_phoff, _shoff, _flags, e_ehsize,
 e_phentsize, e_phnum) = struct.unpack_from("<16sHHIIIIIHHH", data, 0)
p_type, p_offset, p_vaddr, _paddr, p_filesz, p_memsz, p_flags, _align = \
    struct.unpack_from("<8I", data, e_phoff)
code = data[e_entry - p_vaddr:]

# The ELF, field by field.
for name, got, want in [
    ("magic, 32-bit, little-endian", ident[:6], b"\x7fELF\x01\x01"),
    ("type EXEC", e_type, 2),
    ("machine i386", e_machine, 3),
    ("version", e_version, 1),
    ("header size", e_ehsize, 52),
    ("one program header of 32 bytes", (e_phnum, e_phentsize), (1, 32)),
    ("PT_LOAD of the whole file from offset 0", (p_type, p_offset, p_filesz, p_memsz),
     (1, 0, len(data), len(data))),
    ("readable and executable", p_flags, 5),
    ("entry inside the segment", p_vaddr < e_entry < p_vaddr + p_filesz, True),
    # xor ebx,ebx; mov bl,42; xor eax,eax; inc eax; int 0x80
    ("code: exit(42)", code, bytes.fromhex("31dbb32a31c040cd80")),
]:
    check(name, got, want)

# What this host does with the program, found without the probe.
try:
    native = subprocess.run([ELF], stdin=subprocess.DEVNULL).returncode == 42
except OSError:
    native = False
binfmt = any(open(os.path.join(d, f)).read().find("magic 7f454c460101010000000000000000000200") >= 0
             for d in ["/proc/sys/fs/binfmt_misc"] if os.path.isdir(d)
             for f in os.listdir(d) if f not in ("register", "status"))
here = native and not binfmt

# The answers: (environment, what, exit status, start of the sentence).
host_says = ("This host runs 32-bit x86 code: the demo runs under Wine here." if here
             else "This host runs 64-bit code only (")
for env, what, want_rc, want_text in [
    ({}, "the demo", 0 if here else 1, host_says),
    ({"PB_GUEST": "0"}, "the demo", 0 if here else 1, host_says),
    ({"PB_GUEST": "1"}, "the demo", 1,
     "This host runs 32-bit x86 code, but PB_GUEST=1: the demo runs in an emulated x86-64 guest."
     if here else "This host runs 64-bit code only ("),
]:
    rc, out = run_probe(env, "the demo")
    check("status with %r" % env, rc, want_rc)
    check("sentence with %r" % env, out.startswith(want_text), True)
    check("one line with %r" % env, out.count("\n"), 1)
    rc, out = run_probe(env, "--quiet", "the demo")
    check("--quiet status with %r" % env, rc, want_rc)
    check("--quiet says nothing with %r" % env, out, "")

for f in failures:
    print("FAIL", f)
print("%d checks failed" % len(failures) if failures else "all checks passed")
sys.exit(1 if failures else 0)
