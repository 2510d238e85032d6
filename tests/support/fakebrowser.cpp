// The installed browser in the tests, copied to versions/<N>/chrome. "--version" prints
// "Chromium <version>" (the first line of fake-version beside it, else 120.0.1.0). Otherwise it
// appends its arguments, CHROME_WRAPPER and CHROME_DESKTOP to <user data dir>/fakebrowser.record,
// writes `Last Version`, holds `SingletonLock` and exits 0 on SIGTERM; FAKEBROWSER_EXIT=1 makes
// it exit at once, a file `stay` in the profile makes it ignore SIGTERM (a page asking to stay).
// --make-default-browser registers the desktop file CHROME_DESKTOP names with xdg-settings,
// as Chromium does on Linux.
// It never outlives a minute.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

    const std::string lock = profile + "/SingletonLock";
    if (symlink(("fakehost-" + std::to_string(getpid())).c_str(), lock.c_str()) != 0)
        return 3;
    const bool stay = access((profile + "/stay").c_str(), F_OK) == 0;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGALRM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    alarm(60);
    int received = 0;
    while (sigwait(&signals, &received) == 0 && received == SIGTERM && stay) { }
    unlink(lock.c_str());
    return received == SIGTERM ? 0 : 4;
}
