#include "helper/profilewriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes on leaving scope, so that no early return leaks a descriptor.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Closes now, so that the caller learns of a failed close.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

// A path goes into the profile unquoted: only characters that name exactly themselves there
// (no blanks, quotes, braces, commas, AppArmor's pattern characters or line breaks), and no
// step that leads anywhere but one folder down.
bool splitPlain(const std::string &path, std::vector<std::string> *components)
{
    if (path.empty() || path.size() > 4000 || path.front() != '/')
        return false;
    std::string component;
    for (size_t i = 1; i <= path.size(); ++i) {
        const char c = i < path.size() ? path[i] : '/';
        if (c != '/') {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
                || (c >= '0' && c <= '9') || std::strchr("._+@-", c) != nullptr;
            if (!plain)
                return false;
            component += c;
            continue;
        }
        if (component.empty() || component == "." || component == "..")
            return false;
        components->push_back(component);
        component.clear();
    }
    return true;
}

bool digits(const std::string &text)
{
    return !text.empty() && text.size() <= 10
        && text.find_first_not_of("0123456789") == std::string::npos;
}

// Where a step of the browser's path lies: above the install root, or the browser itself.
struct Step
{
    bool aboveRoot = false;
    bool last = false;
};

// Why a step, as its descriptor's status says, could be swapped or added to by someone else
// than uid; empty when it cannot. `walked` is the path up to it, `shown` the same for "/".
std::string stepRefusal(const struct stat &status, Step step, unsigned uid,
                        const std::string &walked, const std::string &shown)
{
    const bool sticky = step.aboveRoot && S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX);
    const bool shared
        = status.st_uid == 0 ? (status.st_mode & (S_IWGRP | S_IWOTH)) : (status.st_mode & S_IWOTH);
    if (step.last && !S_ISREG(status.st_mode))
        return walked + " is not a file";
    if (status.st_uid != uid && !(step.aboveRoot && status.st_uid == 0))
        return shown + " does not belong to uid " + std::to_string(uid);
    if (shared && !sticky)
        return shown + " may be changed by other users";
    return std::string();
}

std::string failure(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

ProfileWriter::ProfileWriter(int directory, unsigned uid)
    : m_directory(directory)
    , m_uid(uid)
{
}

std::string ProfileWriter::name(unsigned uid)
{
    return "tarrowin-chromium-" + std::to_string(uid);
}

std::string ProfileWriter::refusal(const std::string &browser, unsigned uid, std::string *root)
{
    std::vector<std::string> steps;
    const size_t count = splitPlain(browser, &steps) ? steps.size() : 0;
    if (count < 4 || (steps[count - 3] != "versions" && steps[count - 3] != "bisect-cache")
        || !digits(steps[count - 2]) || steps[count - 1] != "chrome")
        return browser
            + " is not a versions/<build>/chrome or bisect-cache/<build>/chrome of an install root";

    // Each step is opened below the one before without following a link, and its owner read
    // from that descriptor: what is checked is what the path names. Above the install root
    // the folders are the system's (writable by root alone) or the user's, or sticky, so
    // nobody else can swap a step; from the root down every step is the user's own and
    // others may not write to it, so nobody else can add a build that the profile names.
    // (A user's own group may: most systems give each user a group of their own.)
    Descriptor at(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string walked;
    const auto shown = [&walked] { return walked.empty() ? std::string("/") : walked; };
    for (size_t i = 0; i <= count; ++i) {
        if (i > 0) {
            walked += '/' + steps[i - 1];
            const bool last = i == count;
            at.reset(::openat(at.get(), steps[i - 1].c_str(),
                              O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY)));
        }
        struct stat status;
        if (at.get() < 0 || ::fstat(at.get(), &status) != 0)
            return shown() + " is a link, or not a folder that can be opened";
        const Step step { i + 3 < count, i == count };
        if (std::string why = stepRefusal(status, step, uid, walked, shown()); !why.empty())
            return why;
    }
    // browser is <root>/<folder>/<N>/chrome: the root is the steps before that, as walked.
    root->clear();
    for (size_t i = 0; i + 3 < count; ++i)
        *root += '/' + steps[i];
    return std::string();
}

std::string ProfileWriter::text(unsigned uid, const std::string &root)
{
    const std::string profile = name(uid);
    return "# Written by " + std::string(helperName) + " for uid " + std::to_string(uid)
        + ": the Chromium builds Tarrowin installed\n"
          "# for this user, and those of its bisect, may create user namespaces for their "
          "sandbox.\n"
          "abi <abi/4.0>,\n"
          "include <tunables/global>\n"
          "\n"
          "profile "
        + profile + ' ' + root
        + "/{versions,bisect-cache}/*/chrome flags=(unconfined) {\n"
          "  userns,\n"
          "\n"
          "  # Site-specific additions and overrides. See local/README for details.\n"
          "  include if exists <local/"
        + profile + ">\n}\n";
}

std::string ProfileWriter::textRefusal(const std::string &text, unsigned uid,
                                       const std::string &root)
{
    // Checked apart from how text() builds it: whatever went wrong there, the parser never
    // reads a second profile, another attachment or a file somebody else named.
    const std::string profile = name(uid);
    const std::string attached = "profile " + profile + ' ' + root
        + "/{versions,bisect-cache}/*/chrome flags=(unconfined) {";
    // A root that is not plain could widen the attachment or close its alternation early.
    std::vector<std::string> rootSteps;
    if (!splitPlain(root, &rootSteps))
        return "the profile does not name " + root + " alone";
    int profiles = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        line.erase(0, line.find_first_not_of(' '));
        start = end + 1;
        if (line.find("profile") != std::string::npos && (line != attached || ++profiles > 1))
            return "the profile does not name " + root + " alone";
        if (line.find("include") != std::string::npos && line != "include <tunables/global>"
            && line != "include if exists <local/" + profile + ">")
            return "the profile includes more than its local additions";
    }
    // The attachment's alternation and the body are the only braces: a profile without the
    // keyword, a hat or a body closed early would add some.
    const auto braces = [&text](char brace) { return std::count(text.begin(), text.end(), brace); };
    if (profiles != 1 || text.find('\0') != std::string::npos || braces('{') != 2
        || braces('}') != 2)
        return "the profile does not name " + root + " alone";
    return std::string();
}

ProfileWriter::Status ProfileWriter::write(const std::string &browser, std::string *message)
{
    std::string root;
    *message = refusal(browser, m_uid, &root);
    if (!message->empty())
        return Refused;
    const std::string bytes = text(m_uid, root);
    *message = textRefusal(bytes, m_uid, root);
    if (!message->empty())
        return Refused;
    if (!keepEarlier(message) || !replace(bytes, message))
        return NotWritten;
    return Done;
}

bool ProfileWriter::restore(std::string *message)
{
    if (m_hadEarlier)
        return replace(m_earlier, message);
    if (::unlinkat(m_directory, name(m_uid).c_str(), 0) == 0 || errno == ENOENT)
        return true;
    *message = failure("cannot remove the new profile");
    return false;
}

bool ProfileWriter::keepEarlier(std::string *message)
{
    m_hadEarlier = false;
    m_earlier.clear();
    Descriptor file(
        ::openat(m_directory, name(m_uid).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        if (errno == ENOENT)
            return true;
        *message = failure("cannot read the earlier profile");
        return false;
    }
    struct stat status;
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || status.st_size > 1024 * 1024) {
        *message = "the earlier profile is not a file that can be kept";
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t read = ::read(file.get(), buffer, sizeof buffer);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0) {
            *message = failure("cannot read the earlier profile");
            return false;
        }
        if (read == 0)
            break;
        m_earlier.append(buffer, size_t(read));
        if (m_earlier.size() > 1024 * 1024) {
            *message = "the earlier profile is not a file that can be kept";
            return false;
        }
    }
    m_hadEarlier = true;
    return true;
}

bool ProfileWriter::replace(const std::string &bytes, std::string *message)
{
    // Hidden, so that the parser's folder loading at boot passes over one a crash left.
    const std::string temporary = '.' + name(m_uid) + '.' + std::to_string(::getpid());
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Descriptor file(::openat(m_directory, temporary.c_str(), flags, 0644));
    if (file.get() < 0 && errno == EEXIST) {
        // Left by an earlier helper that had this process id and died: ours to replace.
        ::unlinkat(m_directory, temporary.c_str(), 0);
        file.reset(::openat(m_directory, temporary.c_str(), flags, 0644));
    }
    if (file.get() < 0) {
        *message = failure("cannot create " + temporary);
        return false;
    }
    // Others read it (the program, to learn that the restriction is lifted); only root
    // writes it, whatever umask pkexec passed on.
    bool whole = ::fchmod(file.get(), 0644) == 0;
    for (size_t done = 0; whole && done < bytes.size();) {
        const ssize_t written = ::write(file.get(), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0)
            errno = EIO;
        whole = written > 0;
        done += whole ? size_t(written) : 0;
    }
    whole = whole && ::fsync(file.get()) == 0;
    whole = file.close() && whole;
    if (!whole
        || ::renameat(m_directory, temporary.c_str(), m_directory, name(m_uid).c_str()) != 0) {
        *message = failure("cannot write the profile");
        ::unlinkat(m_directory, temporary.c_str(), 0);
        return false;
    }
    // The rename is whole either way; this only makes it last through a power cut.
    ::fsync(m_directory);
    return true;
}
