#!/usr/bin/env python3
# On the display in $DISPLAY (with a tray host), times the whole program (tarrowin_under_test,
# the shipped program with its servers on 127.0.0.1) from exec to its first rendered frame,
# and a tray start from exec to its first LAST_CHANGE request reaching a loopback server,
# against a bare Qt Quick Controls window of the same size on the same software renderer.
# A tray start is also asked, once settled, to open its window, the way its tray menu's "Open"
# and a second start ask: from the request to the window's first frame (open_ms).
#
#   bench/startupbench.py <build directory> <work directory> <rounds>
import http.server, os, re, signal, socket, statistics, subprocess, sys, threading, time

build, work, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
program = os.path.join(build, "tests", "tarrowin_under_test")
baseline = os.path.join(build, "bench", "tarrowin_bench_baselinewindow")

# Request arrival times on the loopback storage, on the same monotonic clock as the starts.
arrivals = []
arrived = threading.Condition()

class Storage(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.endswith("/LAST_CHANGE"):
            with arrived:
                arrivals.append(time.monotonic())
                arrived.notify_all()
        # Nothing to fetch, so nothing downloads.
        self.send_response(503)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Storage)
threading.Thread(target=server.serve_forever, daemon=True).start()
address = "http://127.0.0.1:%d" % server.server_address[1]

def environment(kind, fresh_cache):
    home = os.path.join(work, kind)
    env = dict(os.environ)
    for name, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                      ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp"), ("XDG_CACHE_HOME", "cache")):
        env[name] = os.path.join(home, sub)
    if fresh_cache:
        env["XDG_CACHE_HOME"] = os.path.join(home, "cache-%d" % time.monotonic_ns())
    for path in (env["XDG_CONFIG_HOME"], env["XDG_DATA_HOME"], env["XDG_RUNTIME_DIR"],
                 env["TMPDIR"], env["XDG_CACHE_HOME"]):
        os.makedirs(path, mode=0o700, exist_ok=True)
    env.update({
        "QT_QPA_PLATFORM": "xcb",
        "TARROWIN_TEST_BUILD_STORAGE": address,
        "TARROWIN_TEST_MAKER": address,
        # Qt's own render loop says when a frame is on screen, stamped on CLOCK_MONOTONIC.
        "QT_LOGGING_RULES": "qt.scenegraph.time.renderloop=true",
        "QT_MESSAGE_PATTERN": "%{time boot} %{category} %{message}",
    })
    return env

def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1

def wait_for_check(seen):
    with arrived:
        if not arrived.wait_for(lambda: len(arrivals) > seen, timeout=30):
            raise SystemExit("tray start: no LAST_CHANGE request within 30 s")

def open_window(env, frame, stamp):
    """A settled tray start asked for its window over the single-instance socket, the way a
    second start asks: seconds from the request to the first frame."""
    time.sleep(1.0)
    if frame.is_set():
        raise SystemExit("tray start: a frame before the window was asked for")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
        client.connect(os.path.join(env["XDG_RUNTIME_DIR"], "tarrowin.socket"))
        asked = time.monotonic()
        client.sendall(b"show\n")
    if not frame.wait(30):
        raise SystemExit("tray start: no frame within 30 s of the request")
    return stamp[0] - asked

def run(kind):
    """Returns (seconds to the event, resident KiB a second later)."""
    command = [baseline] if kind == "baseline" else [program]
    if kind in ("tray", "tray_open"):
        command.append("--tray")
    env = environment("window" if kind == "window_cold" else kind, kind == "window_cold")
    frame = threading.Event()
    stamp = []
    with arrived:
        seen = len(arrivals)
    start = time.monotonic()
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    def read():
        for line in process.stderr:
            if not stamp and "Frame rendered" in line:
                stamp.append(float(line.split()[0]))
                frame.set()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        if kind == "tray_open":
            wait_for_check(seen)
            elapsed = open_window(env, frame, stamp)
        elif kind == "tray":
            with arrived:
                if not arrived.wait_for(lambda: len(arrivals) > seen, timeout=30):
                    raise SystemExit("tray start: no LAST_CHANGE request within 30 s")
                elapsed = arrivals[seen] - start
        else:
            if not frame.wait(30):
                raise SystemExit("%s: no frame within 30 s" % kind)
            elapsed = stamp[0] - start
        # Resident memory once the start has settled.
        time.sleep(1.0)
        rss = resident_kib(process.pid)
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        reader.join(5)
    return elapsed, rss

kinds = ["baseline", "window", "window_cold", "tray", "tray_open"]
# Unmeasured: settings written, QML disk cache filled, files in the page cache.
for kind in kinds:
    run(kind)
times = {kind: [] for kind in kinds}
memory = {kind: [] for kind in kinds}
for round in range(1, rounds + 1):
    # Alternate the order, so no one always runs in the other's wake.
    order = kinds if round % 2 else list(reversed(kinds))
    line = []
    for kind in order:
        elapsed, rss = run(kind)
        times[kind].append(elapsed)
        memory[kind].append(rss)
        line.append("%s=%.0fms" % (kind, elapsed * 1000))
    print("round %d: %s" % (round, " ".join(line)), flush=True)

def spread(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 4], ordered[(3 * len(ordered)) // 4]

for kind in kinds:
    q1, q3 = spread(times[kind])
    print("%s: median %.0f ms (quartiles %.0f-%.0f, min %.0f, max %.0f), rss median %.1f MiB"
          % (kind, statistics.median(times[kind]) * 1000, q1 * 1000, q3 * 1000,
             min(times[kind]) * 1000, max(times[kind]) * 1000,
             statistics.median(memory[kind]) / 1024))
# Each run against the baseline run of its own round: the spread of the ratio itself.
for kind in ("window", "window_cold", "tray"):
    ratios = [run / base for run, base in zip(times[kind], times["baseline"])]
    q1, q3 = spread(ratios)
    print("%s/baseline per round: median %.2f (quartiles %.2f-%.2f)"
          % (kind, statistics.median(ratios), q1, q3))
base = statistics.median(times["baseline"])
# The first start after an install or upgrade, before Qt has cached any compiled QML.
print("window with an empty QML disk cache: window_cold_ratio=%.2f"
      % (statistics.median(times["window_cold"]) / base))
print("startup: window_ratio=%.2f tray_ratio=%.2f rss_ratio=%.2f open_ms=%.0f"
      % (statistics.median(times["window"]) / base, statistics.median(times["tray"]) / base,
         statistics.median(memory["window"]) / statistics.median(memory["baseline"]),
         statistics.median(times["tray_open"]) * 1000))
