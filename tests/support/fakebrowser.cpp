// The installed browser in the tests, copied to versions/<N>/chrome. "--version" prints
// "Chromium <version>" (the first line of fake-version beside it, else 120.0.1.0). Otherwise it
// appends its arguments, CHROME_WRAPPER and CHROME_DESKTOP to <user data dir>/fakebrowser.record,
// writes `Last Version`, starts a helper, holds `SingletonLock` and quits on SIGINT or SIGHUP (the
// lock goes; not with a file `stay` in the profile, a page asking to stay) or SIGTERM (it stays),
// each noted in fakebrowser.signals. FAKEBROWSER_EXIT=1 makes it exit at once, --type=… a helper.
// --make-default-browser registers the desktop file CHROME_DESKTOP names with xdg-settings,
// as Chromium does on Linux.
// It never outlives a minute.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

sigset_t blockSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : { SIGINT, SIGHUP, SIGTERM, SIGALRM, SIGRTMIN })
        sigaddset(&signals, signal);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    alarm(60);
    return signals;
}

// As Chromium's helpers, it sets its title over its arguments (one string, spaces between) and
// ends with its browser; SIGRTMIN, above the others, lets a signal that came with that end be seen.
int helper(int argc, char *argv[], const std::string &profile)
{
    for (int i = 1; i < argc; ++i)
        argv[i][-1] = ' ';
    prctl(PR_SET_PDEATHSIG, SIGRTMIN);
    const sigset_t signals = blockSignals();
    int received = 0;
    if (write(STDOUT_FILENO, "ready", 5) == 5 && sigwait(&signals, &received) == 0
        && received != SIGRTMIN && received != SIGALRM)
        std::ofstream(profile + "/fakebrowser.signals", std::ios::app)
            << "helper " << sigabbrev_np(received) << '\n';
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0)
        return 1;
    std::string version;
    std::ifstream versionFile(std::string(self).substr(0, std::strrchr(self, '/') - self)
                              + "/fake-version");
    if (!std::getline(versionFile, version) || version.empty())
        version = "120.0.1.0";
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::printf("Chromium %s \n", version.c_str()) > 0 ? 0 : 1;

    std::string profile;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--user-data-dir=", 16) == 0)
            profile = argv[i] + 16;
    }
    if (argc > 1 && std::strncmp(argv[1], "--type=", 7) == 0)
        return helper(argc, argv, profile);
    mkdir(profile.c_str(), 0700); // as Chromium makes the profile it is given
    std::ofstream record(profile + "/fakebrowser.record", std::ios::app);
    record << "start\n";
    for (int i = 1; i < argc; ++i)
        record << "arg " << argv[i] << '\n';
    for (const char *name : { "CHROME_WRAPPER", "CHROME_DESKTOP" })
        record << name << ' ' << (std::getenv(name) ? std::getenv(name) : "(unset)") << '\n';
    record << "exe " << self << '\n';
    std::ofstream(profile + "/Last Version") << version;
    if (profile.empty() || !record.flush())
        return 2;
    const char *desktop = std::getenv("CHROME_DESKTOP");
    for (int i = 1; i < argc && desktop; ++i) {
        if (std::strcmp(argv[i], "--make-default-browser") == 0)
            return execlp("xdg-settings", "xdg-settings", "set", "default-web-browser", desktop,
                          static_cast<char *>(nullptr));
    }
    if (std::getenv("FAKEBROWSER_EXIT"))
        return 0;

    const sigset_t signals = blockSignals();
    // It runs on once its helper has said it runs.
    int ready[2] = { -1, -1 };
    if (pipe(ready) == 0 && fork() == 0) {
        dup2(ready[1], STDOUT_FILENO);
        _exit(execl(self, self, "--type=renderer", ("--user-data-dir=" + profile).c_str(),
                    static_cast<char *>(nullptr)));
    }
    char said[5] = {}, host[256] = {};
    const std::string lock = profile + "/SingletonLock";
    if (close(ready[1]) != 0 || read(ready[0], said, 5) != 5
        || gethostname(host, sizeof host - 1) != 0
        || symlink((host + ("-" + std::to_string(getpid()))).c_str(), lock.c_str()) != 0)
        return 3;
    const bool stay = access((profile + "/stay").c_str(), F_OK) == 0;
    int received = 0;
    while (sigwait(&signals, &received) == 0 && received != SIGALRM) {
        std::ofstream(profile + "/fakebrowser.signals", std::ios::app)
            << "browser " << sigabbrev_np(received) << '\n';
        if (received == SIGTERM)
            return 0;
        if ((received == SIGINT || received == SIGHUP) && !stay)
            break;
    }
    unlink(lock.c_str());
    return received == SIGALRM ? 4 : 0;
}
