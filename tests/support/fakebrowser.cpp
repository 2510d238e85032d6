// A stand-in for the installed browser, run from versions/<N>/chrome in the tests. It does what
// Tarrowin relies on a browser doing, and records how it was started:
//   --version             prints "Chromium <version>" and exits;
//   otherwise             appends its arguments, CHROME_WRAPPER and CHROME_DESKTOP to
//                         <user data dir>/fakebrowser.record, writes the profile's `Last Version`,
//                         holds its `SingletonLock` and waits for SIGTERM, on which it exits 0.
// The version is the first line of `fake-version` beside it ("120.0.1.0" without one).
// FAKEBROWSER_EXIT=1 makes it exit after recording; a file `stay` in the profile makes it
// ignore SIGTERM, as a browser whose page asks to stay does. It never outlives a minute.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string versionBeside(const char *self)
{
    std::string dir = self;
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
    std::ifstream file(dir + "/fake-version");
    std::string version;
    if (!std::getline(file, version) || version.empty())
        version = "120.0.1.0";
    return version;
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "(unset)";
}

} // namespace

int main(int argc, char *argv[])
{
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0)
        std::strncpy(self, argv[0], sizeof self - 1);
    const std::string version = versionBeside(self);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Chromium %s \n", version.c_str());
        return 0;
    }

    std::string profile;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--user-data-dir=", 16) == 0)
            profile = argv[i] + 16;
    }
    if (profile.empty())
        return 2;
    {
        std::ofstream record(profile + "/fakebrowser.record", std::ios::app);
        record << "start\n";
        for (int i = 1; i < argc; ++i)
            record << "arg " << argv[i] << '\n';
        record << "CHROME_WRAPPER " << environment("CHROME_WRAPPER") << '\n'
               << "CHROME_DESKTOP " << environment("CHROME_DESKTOP") << '\n'
               << "exe " << self << '\n';
        std::ofstream(profile + "/Last Version") << version;
        if (!record)
            return 3;
    }
    if (environment("FAKEBROWSER_EXIT") == "1")
        return 0;

    const std::string lock = profile + "/SingletonLock";
    const std::string owner = "fakehost-" + std::to_string(getpid());
    if (symlink(owner.c_str(), lock.c_str()) != 0)
        return 4;
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
    return received == SIGTERM ? 0 : 5;
}
