// tarrowin-sandbox-helper: run as root through pkexec, lets the Chromium builds in the
// calling user's install root sandbox themselves where AppArmor restricts user namespaces.
// Usage: tarrowin-sandbox-helper <install root>/versions/<build>/chrome
//    or: tarrowin-sandbox-helper <install root>/bisect-cache/<build>/chrome
// The path is the real one: a link anywhere in it is refused. It writes
// /etc/apparmor.d/tarrowin-chromium-<uid> in one rename and loads it with
// apparmor_parser -r. Exit status: 0 done, 1 usage, 2 refused, 3 not written, 4 not loaded.
//
// No Qt here: its start-up reads the environment, and a helper that runs as root reads only
// PKEXEC_UID. The folder and parser seams exist in the test build alone.

#include "helper/profilewriter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef TARROWIN_HELPER_TEST_SEAMS
extern char **environ;
#endif

namespace {

int fail(int status, const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", ProfileWriter::helperName, message.c_str());
    return status;
}

// pkexec names the user who asked; without it, the one who runs the helper.
bool callingUser(unsigned *uid)
{
    const char *value = std::getenv("PKEXEC_UID");
    if (value == nullptr) {
        *uid = ::getuid();
        return true;
    }
    const std::string text(value);
    if (text.empty() || text.size() > 10
        || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long number = std::stoul(text);
    *uid = unsigned(number);
    return number < 0xffffffffUL;
}

#ifdef TARROWIN_HELPER_TEST_SEAMS
std::string seam(const char *variable, const std::string &otherwise)
{
    const char *value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? std::string(value) : otherwise;
}
#endif

std::string profileDirectory()
{
#ifdef TARROWIN_HELPER_TEST_SEAMS
    return seam("TARROWIN_APPARMOR_DIR", ProfileWriter::defaultDirectory);
#else
    return ProfileWriter::defaultDirectory;
#endif
}

std::string parser()
{
    std::string found;
    for (const char *path : { "/usr/sbin/apparmor_parser", "/sbin/apparmor_parser" }) {
        if (found.empty() && ::access(path, X_OK) == 0)
            found = path;
    }
#ifdef TARROWIN_HELPER_TEST_SEAMS
    found = seam("TARROWIN_APPARMOR_PARSER", found);
#endif
    return found;
}

// Runs the parser on the profile with nothing of the caller's: stdin from /dev/null, the
// default file-size signal, and (in a release build) a fixed environment.
bool load(const std::string &program, const std::string &profile)
{
#ifdef TARROWIN_HELPER_TEST_SEAMS
    // The fake parser of the tests is told what to answer through its environment.
    char **environment = environ;
#else
    static char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *fixed[] = { path, nullptr };
    char **environment = fixed;
#endif
    std::string replace("-r");
    std::string file(profile);
    std::string name(program);
    char *arguments[] = { name.data(), replace.data(), file.data(), nullptr };

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const int started
        = ::posix_spawn(&child, program.c_str(), &actions, &attributes, arguments, environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (started != 0)
        return false;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The parser left the loaded profile as it was; the file goes back to match it, so that the
// next boot does not fail on the refused one either.
int undoWrite(ProfileWriter &writer, std::string *message)
{
    if (!writer.restore(message))
        return fail(ProfileWriter::NotLoaded,
                    "apparmor_parser could not load the profile, nor could the earlier one be "
                    "put back: "
                        + *message);
    return fail(ProfileWriter::NotLoaded, "apparmor_parser could not load the profile");
}

} // namespace

int main(int argc, char *argv[])
{
    // A file-size limit passed on through pkexec fails the write, which is then undone,
    // instead of killing the helper half-way.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc != 2)
        return fail(ProfileWriter::Usage,
                    std::string("usage: ") + ProfileWriter::helperName
                        + " <install root>/{versions,bisect-cache}/<build>/chrome");
    unsigned uid = 0;
    if (!callingUser(&uid))
        return fail(ProfileWriter::Usage, "PKEXEC_UID is not a user id");

    const std::string program = parser();
    if (program.empty())
        return fail(ProfileWriter::NotLoaded, "apparmor_parser is not installed");
    const std::string folder = profileDirectory();
    const std::string profile = folder + '/' + ProfileWriter::name(uid);
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return fail(ProfileWriter::NotWritten,
                    "cannot open " + folder + ": " + std::strerror(errno));

    ProfileWriter writer(directory, uid);
    std::string message;
    const ProfileWriter::Status written = writer.write(argv[1], &message);
    if (written == ProfileWriter::Refused)
        return fail(written, message);
    if (written != ProfileWriter::Done)
        return fail(written, "cannot write " + profile + ": " + message);

    if (!load(program, profile))
        return undoWrite(writer, &message);
    return ProfileWriter::Done;
}
