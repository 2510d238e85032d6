#!/usr/bin/env python3
# A new build published on a storage served by nginx: how long the whole program
# (tarrowin_under_test, offscreen, in the tray, its home of its own) takes from the check that
# sees the new LAST_CHANGE to the archive's last byte on disk (download_s) and to the new build
# switched to current (switch_s), each read from its log as the lines arrive. The program
# starts with the build before installed and LAST_CHANGE already naming the new one, so its
# first check is the one that sees it.
#
#   publish: the pipelined program, the same program unpacking only once the archive is whole
#   (TARROWIN_TEST_SEQUENTIAL_INSTALL=1), and one curl stream, all at nginx's rate per
#   connection. peak_rss_growth_MiB is the pipelined program's peak resident memory during the
#   install over what it held when the check answered (VmHWM, reset then through clear_refs so
#   that start-up's peak is not counted, against VmRSS).
#   publish_loopback: the pipelined program against curl then bsdtar -xf of the same archive,
#   one after the other, timed together (sequential_s).
#
#   bench/publishbench.py <build directory> <work directory> publish|publish_loopback
#                         <storage base URL> <link MB/s, 0 for none> <archive>
# The storage's files go in <work directory>/www, the folder the server serves.
import collections, os, re, shutil, signal, subprocess, sys, threading, time

build, work, mode, storage, link, archive = sys.argv[1:7]
link = float(link)
program = os.path.join(build, "tests", "tarrowin_under_test")
INSTALLED, PUBLISHED = 1000001, 1000002
FOLDER = "chromium-browser-snapshots/Linux_x64"
ARCHIVE = "%s/%s/%d/chrome-linux.zip" % (storage, FOLDER, PUBLISHED)
TIMEOUT = 300

# The storage: LAST_CHANGE names the new build, and the program itself is up to date.
www = os.path.join(work, "www")
os.makedirs(os.path.join(www, FOLDER, str(PUBLISHED)))
os.makedirs(os.path.join(www, "tarrowin"))
with open(os.path.join(www, FOLDER, "LAST_CHANGE"), "w") as text:
    text.write(str(PUBLISHED))
with open(os.path.join(www, "tarrowin", "latest_version"), "w") as text:
    text.write("0.0.0")
served = os.path.join(www, FOLDER, str(PUBLISHED), "chrome-linux.zip")
try:
    os.link(archive, served)
except OSError:
    shutil.copyfile(archive, served)
# Every order reads it from the page cache.
with open(served, "rb") as source:
    while source.read(1 << 20):
        pass


def kib(pid, field):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"^%s:\s*(\d+)" % field, status.read(), re.M).group(1))


class Run:
    """One start of the program until the published build is current; its log is stamped
    line by line on arrival."""

    def __init__(self, name, sequential):
        self.home = os.path.join(work, name)
        env = dict(os.environ)
        for variable, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                              ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp"),
                              ("XDG_CACHE_HOME", "cache")):
            env[variable] = os.path.join(self.home, sub)
            os.makedirs(env[variable], mode=0o700)
        # On Linux the installed build is what the install root's link names.
        root = os.path.join(env["XDG_DATA_HOME"], "Quillmarsh", "Tarrowin", "chromium")
        installed = os.path.join(root, "versions", str(INSTALLED))
        os.makedirs(installed)
        with open(os.path.join(installed, "chrome"), "w") as browser:
            browser.write("#!/bin/sh\necho 'Chromium 122.0.0.0 snapshot'\nexit 0\n")
        os.chmod(os.path.join(installed, "chrome"), 0o755)
        os.symlink("versions/%d" % INSTALLED, os.path.join(root, "current"))
        self.settings = os.path.join(env["XDG_CONFIG_HOME"], "Quillmarsh", "Tarrowin.conf")
        os.makedirs(os.path.dirname(self.settings))
        with open(self.settings, "w") as out:
            out.write("[General]\nCurrentBuild=%d\nRunOnStartup=false\nShowNotifications=false\n"
                      % INSTALLED)
        # No desktop services, and no NetworkManager to call the link metered.
        env.update({"QT_QPA_PLATFORM": "offscreen", "QT_LOGGING_RULES": "tarrowin.*=true",
                    "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus",
                    "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/bus",
                    "TARROWIN_TEST_BUILD_STORAGE": storage, "TARROWIN_TEST_MAKER": storage})
        env.pop("QT_MESSAGE_PATTERN", None)
        if sequential:
            env["TARROWIN_TEST_SEQUENTIAL_INSTALL"] = "1"
        else:
            env.pop("TARROWIN_TEST_SEQUENTIAL_INSTALL", None)
        self.stamps = {}
        self.rss_before = self.hwm = None
        self.reset_peak = False
        self.log = collections.deque(maxlen=60)
        self.done = threading.Event()
        self.process = subprocess.Popen([program, "--tray"], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        marks = {"start": "Latest build %d" % PUBLISHED,
                 "download": "Download of build %d complete" % PUBLISHED,
                 "current": "Build %d is current" % PUBLISHED}
        failed = "Build %d :" % PUBLISHED
        pid = self.process.pid
        for raw in self.process.stderr:
            now = time.monotonic()
            line = raw.decode(errors="replace").rstrip()
            self.log.append(line)
            for mark, text in marks.items():
                if mark not in self.stamps and line.endswith(text):
                    self.stamps[mark] = now
                    if mark == "start":
                        # The peak from here on is the install's alone, not start-up's.
                        try:
                            with open("/proc/%d/clear_refs" % pid, "w") as refs:
                                refs.write("5")
                            self.reset_peak = True
                        except OSError:
                            pass
                        self.rss_before = kib(pid, "VmRSS")
                    elif mark == "current":
                        self.hwm = kib(pid, "VmHWM")
                        self.done.set()
            if failed in line:
                self.done.set()
        self.done.set()

    def finish(self):
        ended = self.done.wait(TIMEOUT)
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(10)
        if not ended or len(self.stamps) < 3:
            raise SystemExit("%s: build %d did not become current%s:\n%s" % (
                mode, PUBLISHED, "" if ended else " within %d s" % TIMEOUT, "\n".join(self.log)))
        if not self.reset_peak:
            print("note: the peak could not be reset; it includes start-up's", flush=True)
        shutil.rmtree(self.home)
        # What this run wrote reaches the disk before the next one is timed.
        os.sync()
        return (self.stamps["download"] - self.stamps["start"],
                self.stamps["current"] - self.stamps["start"],
                (self.hwm - self.rss_before) / 1024)


def timed(commands):
    start = time.monotonic()
    for command in commands:
        subprocess.run(command, check=True)
    return time.monotonic() - start


def install(name, sequential=False):
    download, switch, growth = Run(name, sequential).finish()
    print("%s: download %.2f s, current %.2f s after the check, peak growth %.1f MiB"
          % (name, download, switch, growth), flush=True)
    return download, switch, growth


fetched = os.path.join(work, "curl.zip")
if mode == "publish":
    curl = timed([["curl", "-sS", "-o", fetched, ARCHIVE]])
    size = os.path.getsize(fetched)
    os.remove(fetched)
    os.sync()
    print("curl, one stream: %d bytes in %.2f s (%.1f MB/s)" % (size, curl, size / curl / 1e6),
          flush=True)
    download, switch, growth = install("pipelined")
    sequential_download, sequential_switch, _ = install("sequential", sequential=True)
    print("publish: link_MBps=%g download_s=%.2f switch_s=%.2f ratio=%.2f curl_s=%.2f "
          "sequential_download_s=%.2f sequential_switch_s=%.2f peak_rss_growth_MiB=%.1f"
          % (link, download, switch, switch / download, curl, sequential_download,
             sequential_switch, growth))
else:
    unpacked = os.path.join(work, "bsdtar")
    os.makedirs(unpacked)
    sequential = timed([["curl", "-sS", "-o", fetched, ARCHIVE],
                        ["bsdtar", "-xf", fetched, "-C", unpacked]])
    # The program makes the unpacked build durable before it switches; bsdtar does not. The
    # summary compares with bsdtar as it is; this says what its sync would add.
    synced = timed([["sync"]])
    shutil.rmtree(unpacked)
    os.remove(fetched)
    os.sync()
    print("curl then bsdtar -xf: %.2f s (a sync after it: %.2f s more)" % (sequential, synced),
          flush=True)
    download, switch, _ = install("pipelined")
    print("publish_loopback: download_s=%.2f switch_s=%.2f sequential_s=%.2f ratio=%.2f"
          % (download, switch, sequential, switch / sequential))
