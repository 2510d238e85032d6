#!/usr/bin/env python3
# On the display in $DISPLAY (with a tray host): the whole program in the tray and with its
# window shown, next to the bare window hidden and shown and the bare tray program, all running
# at once against loopback servers that offer nothing newer; the tray start's proportional set
# size is read first, while it runs alone. Over the given seconds after the first check: CPU time,
# voluntary context switches (wake-ups) of all threads, frames rendered and resident memory.
# Then the build archive <work>/build.zip served at a steady pace for about 20 s, downloaded and
# installed with the window hidden (and once shown, as the control): wake-ups a second against
# the pace of the transfer itself. Last, the tray start alone twice more: against the same
# storage over TLS (its resident memory once the first check has answered), and with its window
# opened by a second start, shown, hidden with Escape and left hidden past a lifetime shortened
# for the benchmark (its resident memory then, against its own tray start's).
#
#   bench/idlebench.py <build directory> <work directory> <seconds> <rounds>
import collections, http.server, os, re, signal, ssl, statistics, subprocess, sys, threading, time

build, work, seconds, rounds = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
program = os.path.join(build, "tests", "tarrowin_under_test")
baseline = os.path.join(build, "bench", "tarrowin_bench_baselinewindow")
baseline_tray = os.path.join(build, "bench", "tarrowin_bench_baselinetray")
archive = os.path.join(work, "build.zip")
TICKS = os.sysconf("SC_CLK_TCK")
FOLDER = "/chromium-browser-snapshots/Linux_x64"
SETTLE = 3.0          # after the last process is ready, before anything is counted
TRANSFER_SECONDS = 20.0
CHUNK = 256 * 1024
TLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support", "tls")
LIFETIME_MS = 3000    # the window's lifetime after a hide, for the benchmark


class Storage:
    """A loopback build storage and maker's site for one process: LAST_CHANGE names `latest`,
    the version file is never newer than the program, and the build archive, when there is
    one, goes out in CHUNK pieces at a steady pace after a short hold."""

    def __init__(self, latest, archive=None, hold=0.0, tls=False):
        self.latest, self.archive, self.hold = latest, archive, hold
        self.answered = []
        self.refused = []
        self.transfer = {}
        self.changed = threading.Condition()
        storage = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                storage.handle(self)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        if tls:
            # The suite's certificate for 127.0.0.1, which the program under test trusts.
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(TLS, "loopback.crt"),
                                    os.path.join(TLS, "loopback.key"))
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.address = "%s://127.0.0.1:%d" % ("https" if tls else "http",
                                             self.server.server_address[1])

    def handle(self, request):
        if request.path == FOLDER + "/LAST_CHANGE":
            self.reply(request, b"%d" % self.latest)
            self.note(lambda: self.answered.append(time.monotonic()))
        elif request.path == "/tarrowin/latest_version":
            self.reply(request, b"0.0.0")
        elif self.archive and request.path == "%s/%d/chrome-linux.zip" % (FOLDER, self.latest):
            self.send_archive(request)
        else:
            self.reply(request, b"", 404)
            self.note(lambda: self.refused.append(request.path))

    def note(self, change):
        with self.changed:
            change()
            self.changed.notify_all()

    def wait(self, condition, timeout):
        with self.changed:
            return self.changed.wait_for(condition, timeout)

    @staticmethod
    def reply(request, body, status=200):
        request.send_response(status)
        request.send_header("Content-Length", str(len(body)))
        request.end_headers()
        request.wfile.write(body)

    def send_archive(self, request):
        size = os.path.getsize(self.archive)
        count = -(-size // CHUNK)
        interval = TRANSFER_SECONDS / count
        # The program's start-up is over before the first byte.
        time.sleep(self.hold)
        request.send_response(200)
        request.send_header("Content-Length", str(size))
        request.end_headers()
        start = time.monotonic()
        self.note(lambda: self.transfer.update(first=start, chunks=count))
        try:
            with open(self.archive, "rb") as source:
                for index in range(count):
                    delay = start + index * interval - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                    request.wfile.write(source.read(CHUNK))
        except OSError as error:
            self.note(lambda: self.transfer.update(error=str(error)))
            return
        end = time.monotonic()
        self.note(lambda: self.transfer.update(last=end))


class Program:
    """One process under measurement, its Qt log read as it comes (one line per frame)."""

    def __init__(self, kind, command, home, storage=None, settings=None, rules="", installed=None,
                 extra=None):
        self.kind, self.storage = kind, storage
        env = dict(os.environ)
        env.update(extra or {})
        for name, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                          ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp"),
                          ("XDG_CACHE_HOME", "cache")):
            env[name] = os.path.join(home, sub)
            os.makedirs(env[name], mode=0o700, exist_ok=True)
        if installed is not None:
            # On Linux the installed build is what the install root's link names, not the
            # setting: without one, every build the storage names is newer.
            root = os.path.join(env["XDG_DATA_HOME"], "Quillmarsh", "Tarrowin", "chromium")
            build = os.path.join(root, "versions", str(installed))
            os.makedirs(build, exist_ok=True)
            with open(os.path.join(build, "chrome"), "w") as browser:
                browser.write("#!/bin/sh\nexit 0\n")
            os.chmod(os.path.join(build, "chrome"), 0o755)
            os.symlink("versions/%d" % installed, os.path.join(root, "current"))
        self.settings = os.path.join(env["XDG_CONFIG_HOME"], "Quillmarsh", "Tarrowin.conf")
        if settings is not None:
            os.makedirs(os.path.dirname(self.settings), exist_ok=True)
            with open(self.settings, "w") as out:
                out.write("[General]\n" + "".join("%s=%s\n" % item for item in settings.items()))
        env.update({
            "QT_QPA_PLATFORM": "xcb",
            # The software render loop logs every frame it renders, stamped on CLOCK_MONOTONIC.
            "QT_LOGGING_RULES": "qt.scenegraph.time.renderloop=true" + rules,
            "QT_MESSAGE_PATTERN": "%{time boot} %{category} %{message}",
        })
        if storage:
            env["TARROWIN_TEST_BUILD_STORAGE"] = storage.address
            env["TARROWIN_TEST_MAKER"] = storage.address
        self.frames = []
        self.log = collections.deque(maxlen=50)
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.pid = self.process.pid
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for raw in self.process.stderr:
            line = raw.decode(errors="replace").rstrip()
            self.log.append(line)
            if "Frame rendered" in line:
                try:
                    self.frames.append(float(line.split()[0]))
                except ValueError:
                    pass

    def frames_between(self, start, end):
        return sum(1 for stamp in list(self.frames) if start < stamp <= end)

    def sample(self):
        """CPU ticks (all threads, living and gone), and per thread: name, voluntary context
        switches and nanoseconds on the CPU; resident KiB."""
        now = time.monotonic()
        with open("/proc/%d/stat" % self.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])
        threads = {}
        for tid in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/status" % (self.pid, tid)) as status:
                    text = status.read()
                with open("/proc/%d/task/%s/schedstat" % (self.pid, tid)) as schedstat:
                    ns = int(schedstat.read().split()[0])
            except OSError:
                continue  # ended in between
            name = re.search(r"^Name:\s*(.*)$", text, re.M).group(1)
            switches = int(re.search(r"^voluntary_ctxt_switches:\s*(\d+)", text, re.M).group(1))
            threads[int(tid)] = (name, switches, ns)
        with open("/proc/%d/status" % self.pid) as status:
            rss = int(re.search(r"^VmRSS:\s*(\d+)", status.read(), re.M).group(1))
        return {"t": now, "ticks": ticks, "threads": threads, "rss": rss}

    def pss_kib(self):
        with open("/proc/%d/smaps_rollup" % self.pid) as rollup:
            return int(re.search(r"^Pss:\s*(\d+)", rollup.read(), re.M).group(1))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(5)


def difference(program, before, after):
    """What happened between two samples. A thread that ended in between takes its last
    switches with it, so the count is a floor; `ended` says how many did."""
    span = after["t"] - before["t"]
    per_thread = {}
    for tid, (name, switches, ns) in after["threads"].items():
        _, switches0, ns0 = before["threads"].get(tid, (name, 0, 0))
        per_thread[tid] = (name, switches - switches0, ns - ns0)
    wakeups = sum(entry[1] for entry in per_thread.values())
    main = per_thread.get(program.pid, ("", 0, 0))[1]
    return {
        "span": span,
        "cpu_s": (after["ticks"] - before["ticks"]) / TICKS,
        "cpu_ms": sum(entry[2] for entry in per_thread.values()) / 1e6,
        "wakeups": wakeups,
        "main_wakeups": main,
        "frames": program.frames_between(before["t"], after["t"]),
        "rss_kib": after["rss"],
        "threads": len(after["threads"]),
        "ended": len(set(before["threads"]) - set(after["threads"])),
        "per_thread": per_thread,
    }


def thread_names(snapshot):
    names = collections.Counter(name for name, _, _ in snapshot["threads"].values())
    return ", ".join("%s%s" % (name, " x%d" % n if n > 1 else "") for name, n in sorted(names.items()))


def busiest(change, limit=4):
    by_name = collections.Counter()
    for name, switches, _ in change["per_thread"].values():
        by_name[name] += switches
    return " ".join("%s:%d" % item for item in by_name.most_common(limit) if item[1] > 0) or "-"


def spread(values, digits=1):
    ordered = sorted(values)
    return "median %.*f (min %.*f, max %.*f)" % (digits, statistics.median(ordered), digits,
                                                ordered[0], digits, ordered[-1])


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise SystemExit("idle: %s within %d s" % (what, timeout))


# Idle: all four at once, so they share the machine's moment; nothing changes on the display
# once they have all settled. The build the storage names is the one installed: nothing is
# newer, so nothing downloads.
installed = 1000
idle_settings = {"CurrentBuild": installed, "RunOnStartup": "false"}
kinds = ["tray", "window", "baseline_hidden", "baseline_window", "baseline_tray"]
results = {kind: [] for kind in kinds}
pss = []
for round in range(1, rounds + 1):
    home = os.path.join(work, "idle-%d" % round)
    storages = {kind: Storage(latest=installed) for kind in ("tray", "window")}
    programs = {}
    try:
        programs["tray"] = Program("tray", [program, "--tray"], os.path.join(home, "tray"),
                                   storages["tray"], idle_settings, installed=installed)
        # Alone, so no other program shares its libraries' pages.
        wait_until(lambda: storages["tray"].answered, 60, "no first check answered alone")
        time.sleep(SETTLE)
        pss.append(programs["tray"].pss_kib())
        programs["window"] = Program("window", [program], os.path.join(home, "window"),
                                     storages["window"], idle_settings, installed=installed)
        programs["baseline_hidden"] = Program("baseline_hidden", [baseline, "--hidden"],
                                              os.path.join(home, "baseline_hidden"))
        programs["baseline_window"] = Program("baseline_window", [baseline],
                                              os.path.join(home, "baseline_window"))
        programs["baseline_tray"] = Program("baseline_tray", [baseline_tray],
                                            os.path.join(home, "baseline_tray"))
        wait_until(lambda: storages["tray"].answered and storages["window"].answered
                   and programs["window"].frames and programs["baseline_window"].frames,
                   60, "no first check answered or no first frame")
        time.sleep(SETTLE)
        for kind, each in programs.items():
            if each.process.poll() is not None:
                raise SystemExit("idle: %s ended early:\n%s" % (kind, "\n".join(each.log)))
        before = {kind: each.sample() for kind, each in programs.items()}
        time.sleep(seconds)
        after = {kind: each.sample() for kind, each in programs.items()}
        for kind, storage in storages.items():
            if storage.refused:
                raise SystemExit("idle: %s asked for what an idle program never needs: %s"
                                 % (kind, ", ".join(storage.refused)))
        line = []
        for kind in kinds:
            change = difference(programs[kind], before[kind], after[kind])
            results[kind].append(change)
            line.append("%s: cpu_s=%.2f cpu_ms=%.0f wakeups_per_min=%.1f frames=%d rss_MiB=%.1f "
                        "threads=%d [%s]" % (kind, change["cpu_s"], change["cpu_ms"],
                                             change["wakeups"] * 60 / change["span"],
                                             change["frames"], change["rss_kib"] / 1024,
                                             change["threads"], busiest(change)))
        print("round %d (%.0f s):\n  %s" % (round, seconds, "\n  ".join(line)), flush=True)
        print("  tray alone: pss_MiB=%.1f" % (pss[-1] / 1024), flush=True)
        if round == 1:
            print("  threads, tray: %s" % thread_names(after["tray"]), flush=True)
    finally:
        for each in programs.values():
            each.stop()
        for each in storages.values():
            each.server.shutdown()

for kind in kinds:
    runs = results[kind]
    print("%s: cpu_s %s, wakeups_per_min %s, frames %s, rss_MiB %s, threads %s" % (
        kind, spread([r["cpu_s"] for r in runs], 2),
        spread([r["wakeups"] * 60 / r["span"] for r in runs]),
        spread([r["frames"] for r in runs], 0),
        spread([r["rss_kib"] / 1024 for r in runs]),
        spread([r["threads"] for r in runs], 0)), flush=True)
print("rss window/baseline_window: %.2f" % (
    statistics.median(r["rss_kib"] for r in results["window"])
    / statistics.median(r["rss_kib"] for r in results["baseline_window"])), flush=True)


# Downloading and installing: the archive arrives in CHUNK pieces at a steady pace over
# TRANSFER_SECONDS, and nothing but the transfer should wake the program faster than that.
def update(run, shown):
    home = os.path.join(work, "update-%d" % run)
    storage = Storage(latest=1001, archive=archive, hold=SETTLE)
    settings = {"CurrentBuild": 1000, "RunOnStartup": "false",
                # Balloons are seen, not hidden work; they are left out of the count.
                "ShowNotifications": "false"}
    command = [program] if shown else [program, "--tray"]
    each = Program("update", command, home, storage, settings, ";tarrowin.update=true")
    try:
        if not storage.wait(lambda: "first" in storage.transfer, 60):
            raise SystemExit("idle: the download did not start:\n" + "\n".join(each.log))
        time.sleep(max(0.0, storage.transfer["first"] + 1.0 - time.monotonic()))
        start = each.sample()
        if not storage.wait(lambda: "last" in storage.transfer or "error" in storage.transfer,
                            TRANSFER_SECONDS * 5):
            raise SystemExit("idle: the download did not end")
        if "error" in storage.transfer:
            raise SystemExit("idle: the download broke off: %s\n%s"
                             % (storage.transfer["error"], "\n".join(each.log)))
        sent = each.sample()

        def recorded():
            try:
                with open(each.settings) as text:
                    return re.search(r"^CurrentBuild=1001$", text.read(), re.M) is not None
            except OSError:
                return False
        wait_until(lambda: recorded() or each.process.poll() is not None
                   or any("Build 1001 :" in line for line in list(each.log)),
                   300, "the build was not installed")
        if not recorded():
            raise SystemExit("idle: the build was not installed:\n" + "\n".join(each.log))
        done = each.sample()
        time.sleep(5)
        settled = each.sample()
        # Past the thread pool's 30 s expiry.
        time.sleep(30)
        later = each.sample()
        chunks = storage.transfer["chunks"]
        pace = chunks / (storage.transfer["last"] - storage.transfer["first"])
        return (difference(each, start, sent), difference(each, sent, done), pace, start,
                settled, later)
    finally:
        each.stop()
        storage.server.shutdown()


def describe(label, change, pace=None):
    text = ("%s: %.1f s, wakeups_per_s=%.1f (main thread %.1f), frames=%d, cpu_s=%.2f [%s]"
            % (label, change["span"], change["wakeups"] / change["span"],
               change["main_wakeups"] / change["span"], change["frames"], change["cpu_s"],
               busiest(change)))
    if pace is not None:
        text += ", chunks_per_s=%.1f" % pace
    return text


hidden = []
for run in range(1, max(1, min(rounds, 3)) + 1):
    download, install, pace, start, settled, later = update(run, shown=False)
    hidden.append((download, install, pace, start, settled, later))
    print("update %d, window hidden:\n  %s\n  %s\n  rss_MiB before %.1f, 5 s after %.1f, 35 s after %.1f;"
          " threads before %d, 5 s after %d, 35 s after %d" % (
              run, describe("download", download, pace), describe("install", install),
              start["rss"] / 1024, settled["rss"] / 1024, later["rss"] / 1024,
              len(start["threads"]), len(settled["threads"]), len(later["threads"])), flush=True)
    if run == 1:
        print("  threads 5 s after: %s" % thread_names(settled), flush=True)
download, install, pace, *_ = update(run + 1, shown=True)
print("update, window shown (the control):\n  %s\n  %s"
      % (describe("download", download, pace), describe("install", install)), flush=True)

print("download, window hidden: wakeups_per_s %s, main thread %s, chunks_per_s %s" % (
    spread([d["wakeups"] / d["span"] for d, *_ in hidden]),
    spread([d["main_wakeups"] / d["span"] for d, *_ in hidden]),
    spread([p for _, _, p, *_ in hidden])), flush=True)
print("install, window hidden: wakeups_per_s %s, main thread %s, seconds %s" % (
    spread([i["wakeups"] / i["span"] for _, i, *_ in hidden]),
    spread([i["main_wakeups"] / i["span"] for _, i, *_ in hidden]),
    spread([i["span"] for _, i, *_ in hidden])), flush=True)

# The tray start alone, against a storage over TLS, and once with its window shown and hidden.
def tray_alone(home, tls=False, extra=None):
    storage = Storage(latest=installed, tls=tls)
    each = Program("tray", [program, "--tray"], home, storage, idle_settings, installed=installed,
                   extra=extra)
    try:
        wait_until(lambda: storage.answered or each.process.poll() is not None, 60,
                   "no first check answered alone")
        if each.process.poll() is not None:
            raise SystemExit("idle: the tray start ended early:\n" + "\n".join(each.log))
        time.sleep(SETTLE)
        return each, storage
    except BaseException:
        each.stop()
        storage.server.shutdown()
        raise


def rss_after_https():
    each, storage = tray_alone(os.path.join(work, "https"), tls=True)
    try:
        return each.sample()["rss"]
    finally:
        each.stop()
        storage.server.shutdown()


def main_window(pid):
    """The program's visible 310 x 195 window (the tray icon has one of its own), or None."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                           capture_output=True, text=True).stdout.split()
    for window in found:
        size = subprocess.run(["xdotool", "getwindowgeometry", window], capture_output=True,
                              text=True).stdout
        if "Geometry: 310x195" in size:
            return window
    return None


def rss_after_hide():
    home = os.path.join(work, "hide")
    lifetime = {"TARROWIN_TEST_CONTENT_LIFETIME_MS": str(LIFETIME_MS)}
    each, storage = tray_alone(home, extra=lifetime)
    try:
        started = each.sample()["rss"]
        # A second start asks the running one for its window.
        opener = Program("opener", [program], home, extra=lifetime)
        opener.process.wait(30)
        wait_until(lambda: each.frames, 30, "the window was not drawn")
        time.sleep(SETTLE)
        shown = each.sample()["rss"]
        window = main_window(each.pid)
        if not window:
            raise SystemExit("idle: no visible window to hide")
        subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Escape"], check=True)
        wait_until(lambda: not main_window(each.pid), 30, "Escape did not hide the window")
        time.sleep(LIFETIME_MS / 1000 + SETTLE)
        return started, shown, each.sample()["rss"]
    finally:
        each.stop()
        storage.server.shutdown()


rss_https = rss_after_https()
hide_start, hide_shown, hide_after = rss_after_hide()
print("tray over TLS: rss_MiB=%.1f; tray shown and hidden: rss_MiB at start %.1f, shown %.1f, "
      "%.0f s after the hide %.1f" % (rss_https / 1024, hide_start / 1024, hide_shown / 1024,
                                      LIFETIME_MS / 1000 + SETTLE, hide_after / 1024), flush=True)

tray = results["tray"]
frames_hidden = max(r["frames"] for r in tray) + max(d["frames"] + i["frames"] for d, i, *_ in hidden)
rss_tray = statistics.median(r["rss_kib"] for r in tray)
rss_ratio = rss_tray / statistics.median(r["rss_kib"] for r in results["baseline_hidden"])
rss_ratio_tray = rss_tray / statistics.median(r["rss_kib"] for r in results["baseline_tray"])
print("idle: cpu_s=%.2f wakeups_per_min=%.1f frames_hidden=%d rss_ratio=%.2f rss_tray_MiB=%.1f "
      "pss_MiB=%.1f rss_ratio_tray=%.2f rss_https_MiB=%.1f rss_after_hide_MiB=%.1f "
      "after_hide_growth_MiB=%.1f" % (
          statistics.median(r["cpu_s"] for r in tray),
          statistics.median(r["wakeups"] * 60 / r["span"] for r in tray),
          frames_hidden, rss_ratio, rss_tray / 1024, statistics.median(pss) / 1024,
          rss_ratio_tray, rss_https / 1024, hide_after / 1024, (hide_after - hide_start) / 1024))
