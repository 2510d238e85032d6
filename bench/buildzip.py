#!/usr/bin/env python3
# About 200 MB of zip shaped like a build: a large executable, a few large libraries and
# thousands of small resources, some compressing well and some not at all. Its chrome is a
# shell script that answers --version.
#
#   bench/buildzip.py <archive.zip>
import random, sys, zipfile
rng = random.Random(20240501)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(4000)]
def text(n):
    out = bytearray()
    while len(out) < n:
        out += b" ".join(rng.choices(words, k=64)) + b"\n"
    return bytes(out[:n])
def mixed(n):
    out = bytearray()
    while len(out) < n:
        out += rng.randbytes(48 * 1024) + text(16 * 1024) + bytes(16 * 1024)
    return bytes(out[:n])
def add(z, name, data, mode):
    info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 0, 0, 0))
    info.create_system = 3
    info.external_attr = mode << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(info, data, compresslevel=6)
with zipfile.ZipFile(sys.argv[1], "w", allowZip64=True) as z:
    add(z, "chrome-linux/", b"", 0o40755)
    add(z, "chrome-linux/chrome",
        b"#!/bin/sh\necho 'Chromium 123.0.0.0 snapshot'\nexit 0\n" + mixed(96 << 20), 0o100755)
    for i in range(3):
        add(z, f"chrome-linux/lib{i}.so", mixed(32 << 20), 0o100755)
    for d in range(40):
        add(z, f"chrome-linux/resources/d{d:02}/", b"", 0o40755)
        for f in range(150):
            n = rng.randint(512, 24 * 1024)
            add(z, f"chrome-linux/resources/d{d:02}/f{f:03}.dat",
                mixed(n) if f % 3 == 0 else text(n), 0o100644)
