#!/usr/bin/env python3
# A bisect step from the verdict to the next build ready to start, for the whole program
# (tarrowin_under_test --bisect, without a window, its home of its own) against a storage
# served by nginx: nine published builds, each the same archive, the bisect asked between the
# first and the last (seven candidates, three steps). The step command stamps its start and its
# end in a file:
#   step 1 waits until both possible next builds are in the cache, then says good;
#   step 2 was fetched while step 1 was tested (prefetched_step_s: step 1's end to step 2's
#   start), and says bad at once, while the cache is still fetching the build that would
#   follow a good verdict;
#   step 3 is then fetched from nothing (cold_step_s: step 2's end to step 3's start), and the
#   command ends the bisect (exit 128).
#
#   bench/bisectbench.py <build directory> <work directory> <storage base URL> <link MB/s>
#                        <generation>
# The storage's files go in <work directory>/www, the folder the server serves.
import json, os, subprocess, sys, time

build, work, storage, link, generation = sys.argv[1:6]
program = os.path.join(build, "tests", "tarrowin_under_test")
FOLDER = "chromium-browser-snapshots/Linux_x64"
BUILDS = list(range(1000000, 1000009))
TIMEOUT = 600

www = os.path.join(work, "www")
listing = os.path.join(www, "storage", "v1", "b", "chromium-browser-snapshots", "o")
os.makedirs(os.path.dirname(listing))
with open(listing, "w") as out:
    json.dump({"items": [{"name": "Linux_x64/%d/chrome-linux.zip" % number,
                          "size": str(os.path.getsize(os.path.join(work, "archive.zip"))),
                          "generation": generation,
                          "timeCreated": "2026-01-01T00:00:00.000Z"} for number in BUILDS]}, out)
for number in BUILDS:
    os.makedirs(os.path.join(www, FOLDER, str(number)))
    os.link(os.path.join(work, "archive.zip"),
            os.path.join(www, FOLDER, str(number), "chrome-linux.zip"))
with open(os.path.join(www, FOLDER, "LAST_CHANGE"), "w") as text:
    text.write(str(BUILDS[-1]))

home = os.path.join(work, "home")
env = dict(os.environ)
for variable, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                      ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp"),
                      ("XDG_CACHE_HOME", "cache")):
    env[variable] = os.path.join(home, sub)
    os.makedirs(env[variable], mode=0o700)
cache = os.path.join(env["XDG_DATA_HOME"], "Quillmarsh", "Tarrowin", "chromium", "bisect-cache")
stamps = os.path.join(work, "stamps")
env.update({"QT_QPA_PLATFORM": "offscreen", "TARROWIN_TEST_BUILD_STORAGE": storage,
            "TARROWIN_TEST_RELEASES": storage, "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus",
            "TARROWIN_BENCH_CACHE": cache, "TARROWIN_BENCH_STAMPS": stamps})
env.pop("DISPLAY", None)
step = os.path.join(work, "step.sh")
with open(step, "w") as out:
    out.write(r'''#!/bin/sh
echo "start $(date +%s.%N)" >> "$TARROWIN_BENCH_STAMPS"
n=$(grep -c ^start "$TARROWIN_BENCH_STAMPS")
if [ "$n" = 1 ]; then
    i=0
    while [ "$(ls "$TARROWIN_BENCH_CACHE" | grep -c '^[0-9]*$')" -lt 3 ] && [ $i -lt 6000 ]; do
        sleep 0.1; i=$((i + 1))
    done
    code=0
elif [ "$n" = 2 ]; then code=1; else code=128; fi
echo "end $(date +%s.%N)" >> "$TARROWIN_BENCH_STAMPS"
exit $code
''')
os.chmod(step, 0o755)

started = time.monotonic()
result = subprocess.run([program, "--bisect=%d..%d" % (BUILDS[0], BUILDS[-1]),
                         "--bisect-run=%s %%b" % step], env=env, stdin=subprocess.DEVNULL,
                        capture_output=True, text=True, timeout=TIMEOUT)
times = {}
with open(stamps) as lines:
    for index, line in enumerate(lines):
        kind, at = line.split()
        times.setdefault(kind, []).append(float(at))
if len(times.get("start", [])) < 3:
    raise SystemExit("bisect: fewer than three steps ran:\n%s%s" % (result.stdout, result.stderr))
print(result.stdout.strip())
first = times["start"][0] - times["start"][0]
prefetched = times["start"][1] - times["end"][0]
cold = times["start"][2] - times["end"][1]
print("bisect: link_MBps=%s cold_step_s=%.2f prefetched_step_s=%.2f archive_bytes=%d"
      % (link, cold, prefetched, os.path.getsize(os.path.join(work, "archive.zip"))))
