#!/usr/bin/env python3
"""Usage: check-signed-bytes.py UNSIGNED SIGNED

A signed DLL is the tested file plus its signature: only the PE CheckSum,
the certificate table's entry in the data directory, up to 8 bytes of zero
padding after the image and the signature appended after them may differ.
Exits 1 naming the first other difference."""
import struct
import sys


def layout(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE file")
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    directories = opt + (96 if magic == 0x10B else 112)
    checksum = opt + 64
    cert_entry = directories + 4 * 8  # IMAGE_DIRECTORY_ENTRY_SECURITY
    return checksum, cert_entry


def main(unsigned_path, signed_path):
    unsigned = open(unsigned_path, "rb").read()
    signed = open(signed_path, "rb").read()
    checksum, cert_entry = layout(unsigned)
    may_differ = set(range(checksum, checksum + 4)) | set(range(cert_entry, cert_entry + 8))
    offset, size = struct.unpack_from("<II", signed, cert_entry)
    problems = []
    if struct.unpack_from("<II", unsigned, cert_entry) != (0, 0):
        problems.append("the tested file already has a certificate table")
    if not (0 <= offset - len(unsigned) <= 8) or any(signed[len(unsigned):offset]):
        problems.append(f"the signature starts at {offset}, not within 8 zero bytes of the image's end ({len(unsigned)})")
    if offset + size != len(signed) or size == 0:
        problems.append(f"the certificate table ({offset}+{size}) does not end the file ({len(signed)})")
    for i, (a, b) in enumerate(zip(unsigned, signed)):
        if a != b and i not in may_differ:
            problems.append(f"byte {i:#x} of the image differs")
            break
    for p in problems:
        print(f"check-signed-bytes: {signed_path}: {p}", file=sys.stderr)
    if not problems:
        print(f"check-signed-bytes: {signed_path}: the tested bytes plus a {size}-byte signature")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
