#!/usr/bin/env python3
# A build archive shaped like Chromium's Linux snapshot: one folder chrome-linux/ holding a
# 250 MB chrome that deflates about 2.5 : 1 and 76 smaller files (libraries, packs, 56 locale
# packs), about 149 MB zipped, 362 MB unpacked. Its chrome is a shell script that answers
# --version and exits before the padding behind it. The same bytes every time; it takes a
# while, so it is made once into the given folder and reused, named by this generator's
# version. Prints the archive's path.
#
#   bench/publishzip.py <cache folder>
import os, random, sys, zipfile

VERSION = 1
SEED = 20261208
BLOCK = 64 * 1024
MiB = 1024 * 1024

rng = random.Random(SEED)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(4000)]


def text(n):
    out = bytearray()
    while len(out) < n:
        out += b" ".join(rng.choices(words, k=64)) + b"\n"
    return bytes(out[:n])


# Deflate looks back 32 KiB, so text blocks drawn again from a pool compress as fresh text
# would, and cost nothing to make.
phrases = [text(16 * 1024) for _ in range(32)]


def blocks(size, noise, prose):
    """`size` bytes made of 64 KiB blocks: `noise` KiB that do not compress, `prose` KiB of
    text (about 2 : 1) and zeros for the rest."""
    left = size
    while left > 0:
        block = (rng.randbytes(noise * 1024) + rng.choice(phrases)[:prose * 1024]
                 + bytes(BLOCK - (noise + prose) * 1024))
        yield block[:left]
        left -= len(block)


def add(z, name, mode, parts):
    info = zipfile.ZipInfo(name, date_time=(2026, 12, 1, 0, 0, 0))
    info.create_system = 3
    info.external_attr = mode << 16
    if name.endswith("/"):
        z.writestr(info, b"")
        return
    info.compress_type = zipfile.ZIP_DEFLATED
    with z.open(info, "w") as entry:
        for part in parts:
            entry.write(part)


def build(path):
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        add(z, "chrome-linux/", 0o40755, [])
        script = b"#!/bin/sh\necho 'Chromium 123.0.0.0 snapshot'\nexit 0\n"
        add(z, "chrome-linux/chrome", 0o100755,
            [script, *blocks(250 * 1000 * 1000 - len(script), 18, 10)])
        # Libraries and packs compress a little less than the executable, resources more.
        larger = [("resources.pak", 0o100644, 24, 24, 8), ("icudtl.dat", 0o100644, 10, 20, 24),
                  ("libGLESv2.so", 0o100755, 8, 28, 6), ("libvk_swiftshader.so", 0o100755, 6, 28, 6),
                  ("chrome_crashpad_handler", 0o100755, 2, 26, 8),
                  ("chrome_200_percent.pak", 0o100644, 2, 40, 2),
                  ("chrome_100_percent.pak", 0o100644, 1, 40, 2),
                  ("v8_context_snapshot.bin", 0o100644, 1, 20, 8),
                  ("libEGL.so", 0o100755, 1, 26, 8), ("libvulkan.so.1", 0o100755, 1, 26, 8),
                  ("libqt5_shim.so", 0o100755, 1, 26, 8), ("libqt6_shim.so", 0o100755, 1, 26, 8)]
        for name, mode, mib, noise, prose in larger:
            add(z, "chrome-linux/" + name, mode, blocks(mib * MiB, noise, prose))
        small = [("chrome-wrapper", 0o100755), ("chrome_sandbox", 0o100755),
                 ("product_logo_48.png", 0o100644), ("vk_swiftshader_icd.json", 0o100644),
                 ("xdg-mime", 0o100755), ("xdg-settings", 0o100755),
                 ("MEIPreload/manifest.json", 0o100644), ("MEIPreload/preloaded_data.pb", 0o100644)]
        add(z, "chrome-linux/MEIPreload/", 0o40755, [])
        for name, mode in small:
            add(z, "chrome-linux/" + name, mode, blocks(rng.randint(2, 120) * 1024, 8, 40))
        add(z, "chrome-linux/locales/", 0o40755, [])
        for index in range(56):
            add(z, "chrome-linux/locales/l%02d.pak" % index, 0o100644,
                blocks(rng.randint(500, 1400) * 1024, 10, 16))


cache = sys.argv[1]
os.makedirs(cache, exist_ok=True)
archive = os.path.join(cache, "chrome-linux-v%d.zip" % VERSION)
if not os.path.exists(archive):
    partial = archive + ".partial"
    build(partial)
    os.chmod(partial, 0o644)
    os.replace(partial, archive)
print(archive)
