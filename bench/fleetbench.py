#!/usr/bin/env python3
# That many instances of the whole program (tarrowin_under_test, offscreen, each with its own
# home and runtime folder) sharing one system-wide settings file that names the caching proxy
# on <proxy port> as "BuildStorage", in front of a loopback storage this program serves on
# <origin port>. All start at once; once every one has installed the build, the storage says
# how often it served the archive.
#
#   bench/fleetbench.py <build directory> <work directory> <clients> <origin port> <proxy port>
import http.server, io, os, random, signal, subprocess, sys, threading, time, zipfile

build, work, clients = sys.argv[1], sys.argv[2], int(sys.argv[3])
origin_port, proxy_port = int(sys.argv[4]), int(sys.argv[5])
program = os.path.join(build, "tests", "tarrowin_under_test")
BUILD = 1000001
FOLDER = "/chromium-browser-snapshots/Linux_x64"

# A small build: a chrome that answers --version and 16 MiB that do not compress.
data = io.BytesIO()
with zipfile.ZipFile(data, "w") as z:
    info = zipfile.ZipInfo("chrome-linux/chrome", date_time=(2024, 5, 1, 0, 0, 0))
    info.create_system, info.external_attr = 3, 0o100755 << 16
    z.writestr(info, b"#!/bin/sh\necho 'Chromium 123.0.0.0 snapshot'\nexit 0\n")
    z.writestr("chrome-linux/resources.pak", random.Random(7).randbytes(16 << 20))
archive = data.getvalue()

counts = {"archive": 0, "last_change": 0}
lock = threading.Lock()

class Storage(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        if self.path == FOLDER + "/LAST_CHANGE":
            body, kind = str(BUILD).encode(), "last_change"
        elif self.path == "%s/%d/chrome-linux.zip" % (FOLDER, BUILD):
            body, kind = archive, "archive"
        else:
            body, kind = b"", None
        if kind:
            with lock:
                counts[kind] += 1
        self.send_response(200 if kind else 404)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", origin_port), Storage)
threading.Thread(target=server.serve_forever, daemon=True).start()

# The administrator's defaults, shared by every client: the proxy is the storage.
system = os.path.join(work, "system")
os.makedirs(os.path.join(system, "Quillmarsh"))
with open(os.path.join(system, "Quillmarsh", "Tarrowin.conf"), "w") as conf:
    conf.write("[General]\nBuildStorage=https://127.0.0.1:%d\nRunOnStartup=false\n" % proxy_port)

def environment(n):
    home = os.path.join(work, "client%d" % n)
    env = dict(os.environ)
    for name, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                      ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp"), ("XDG_CACHE_HOME", "cache")):
        env[name] = os.path.join(home, sub)
        os.makedirs(env[name], mode=0o700)
    # No desktop services, and no NetworkManager to call the link metered.
    env.update({"XDG_CONFIG_DIRS": system, "QT_QPA_PLATFORM": "offscreen",
                "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus",
                "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/bus"})
    # Nothing but "BuildStorage" names a server that answers.
    for name in ("TARROWIN_TEST_BUILD_STORAGE", "TARROWIN_TEST_MAKER", "DISPLAY"):
        env.pop(name, None)
    return home, env

def installed(home):
    try:
        with open(os.path.join(home, "config", "Quillmarsh", "Tarrowin.conf")) as conf:
            return "CurrentBuild=%d" % BUILD in conf.read()
    except OSError:
        return False

homes, processes = [], []
start = time.monotonic()
try:
    for n in range(clients):
        home, env = environment(n)
        homes.append(home)
        processes.append(subprocess.Popen([program, "--tray"], env=env, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    deadline = time.monotonic() + 300
    while time.monotonic() < deadline and not all(installed(h) for h in homes):
        time.sleep(0.2)
    elapsed = time.monotonic() - start
finally:
    for process in processes:
        process.send_signal(signal.SIGTERM)
    for process in processes:
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
done = sum(installed(h) for h in homes)
print("%d clients installed build %d in %.1f s; the storage answered LAST_CHANGE %d times"
      % (done, BUILD, elapsed, counts["last_change"]))
print("fleet: clients=%d installed=%d origin_archive_requests=%d"
      % (clients, done, counts["archive"]))
