#include "install/installroot.h"

#include "common/staginglock.h"
#include "common/updatelog.h"
#include "install/keptversions.h"
#include "install/treeremoval.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <optional>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <unistd.h>
#endif

namespace {

// What reaches the user (the status line, a balloon) is translatable.
struct Text
{
    Q_DECLARE_TR_FUNCTIONS(InstallRoot)
};

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

#ifdef Q_OS_UNIX

// How current and previous name their build, relative to the root.
constexpr char versionsPrefix[] = "versions/";

// A real directory, not a link to one.
bool isPlainDir(const QString &path)
{
    const QFileInfo info(path);
    return !info.isSymLink() && info.isDir();
}

// A directory for the browser's files: its user runs them, so others may read them as
// the umask allows.
bool makeReadableDir(const QString &path)
{
    if (isPlainDir(path))
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return QDir().mkdir(path,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                            | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                            | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

// The root itself may be a link, to another disk say, when it leads to a directory of ours.
bool makeRoot(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return info.isDir() && info.ownerId() == ::getuid();
    return makeReadableDir(path);
}

// The text of a symbolic link exactly as stored; QFileInfo only offers it made absolute.
std::optional<QByteArray> linkText(const QString &path)
{
    // Linux keeps link texts below PATH_MAX (4096 with the terminator).
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t length
        = ::readlink(QFile::encodeName(path).constData(), buffer.data(), size_t(buffer.size()));
    if (length < 0 || length >= buffer.size())
        return std::nullopt;
    buffer.truncate(int(length));
    return buffer;
}

bool renameOver(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// A new link with the given text under an unused name in dir, ready to be renamed over the
// real one; symlink(2) refuses an existing name, so two writers never share one.
std::optional<QString> freshLink(const QString &dir, const QByteArray &text, int *error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = dir + QStringLiteral("/.link-")
            + QString::number(QRandomGenerator::global()->generate64(), 36);
        if (::symlink(text.constData(), QFile::encodeName(name).constData()) == 0)
            return name;
        if (errno != EEXIST) {
            *error = errno;
            return std::nullopt;
        }
    }
    *error = EEXIST;
    return std::nullopt;
}

// Points link at text with one rename(2): a reader sees the old link or the new one.
bool replaceLink(const QString &dir, const QString &link, const QByteArray &text, int *error)
{
    const std::optional<QString> fresh = freshLink(dir, text, error);
    if (!fresh)
        return false;
    if (!renameOver(*fresh, link)) {
        *error = errno;
        QFile::remove(*fresh);
        return false;
    }
    return true;
}

// Puts a link back as it was before: same text, or gone when there was none.
void restoreLink(const QString &dir, const QString &link, const std::optional<QByteArray> &text)
{
    int ignored = 0;
    if (text)
        replaceLink(dir, link, *text, &ignored);
    else
        QFile::remove(link);
}

QByteArray linkTextFor(int build)
{
    return QByteArray(versionsPrefix) + QByteArray::number(build);
}

// Makes room at versions/<build>. An earlier attempt's leftover, or the previous build
// installed again, is moved aside rather than deleted, since a browser may still run from it
// and a failure puts it back; removeUnusedVersions() deletes it once nothing runs from it.
// *aside is where it went, left empty when there was no directory to keep.
bool clearSlot(const QString &target, const QString &versions, QString *aside, QString *error)
{
    const QFileInfo existing(target);
    if (!existing.isSymLink() && !existing.exists())
        return true;
    if (!isPlainDir(target)) {
        // A stray file or link: removing a link leaves what it points at alone.
        if (!QFile::remove(target))
            return fail(error, Text::tr("Could not remove %1.").arg(target));
        return true;
    }
    // rename(2) replaces an empty directory, so a fresh unique one is the slot.
    QTemporaryDir slot(versions + QStringLiteral("/.replaced-XXXXXX"));
    slot.setAutoRemove(false);
    if (!slot.isValid())
        return fail(error, Text::tr("Could not move %1 aside.").arg(target));
    if (!renameOver(target, slot.path())) {
        const int cause = errno;
        QDir().rmdir(slot.path());
        return fail(error,
                    Text::tr("Could not move %1 aside: %2").arg(target, qt_error_string(cause)));
    }
    *aside = slot.path();
    return true;
}

// What clearSlot() moved aside goes back where it was.
void putBack(const QString &aside, const QString &target)
{
    if (!aside.isEmpty())
        renameOver(aside, target);
}

// A link and the build it is to name (-1: none).
struct LinkTo
{
    QString link;
    int build = -1;
};

// Points `previous` at its build (when there is one) and then `current` at its build; on
// failure both links are as they were.
bool switchLinks(const QString &root, const LinkTo &previous, const LinkTo &current, QString *error)
{
    const std::optional<QByteArray> oldPrevious = linkText(previous.link);
    int cause = 0;
    if (previous.build >= 0
        && !replaceLink(root, previous.link, linkTextFor(previous.build), &cause)) {
        return fail(error,
                    Text::tr("Could not point %1 at build %2: %3")
                        .arg(previous.link)
                        .arg(previous.build)
                        .arg(qt_error_string(cause)));
    }
    if (!replaceLink(root, current.link, linkTextFor(current.build), &cause)) {
        if (previous.build >= 0)
            restoreLink(root, previous.link, oldPrevious);
        return fail(error,
                    Text::tr("Could not point %1 at build %2: %3")
                        .arg(current.link)
                        .arg(current.build)
                        .arg(qt_error_string(cause)));
    }
    return true;
}

#endif

} // namespace

InstallRoot::InstallRoot(const QString &path)
    : m_path(path)
{
}

QString InstallRoot::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
        + QStringLiteral("/chromium");
}

QString InstallRoot::versionPath(int build) const
{
    return m_path + QStringLiteral("/versions/") + QString::number(build);
}

QString InstallRoot::currentLink() const
{
    return m_path + QStringLiteral("/current");
}

QString InstallRoot::previousLink() const
{
    return m_path + QStringLiteral("/previous");
}

QString InstallRoot::browserPath() const
{
    return currentLink() + QStringLiteral("/chrome");
}

int InstallRoot::currentBuild() const
{
    return linkedBuild(currentLink());
}

int InstallRoot::previousBuild() const
{
    return linkedBuild(previousLink());
}

int InstallRoot::linkedBuild(const QString &link) const
{
#ifdef Q_OS_UNIX
    const std::optional<QByteArray> text = linkText(link);
    if (!text || !text->startsWith(versionsPrefix))
        return -1;
    const QByteArray digits = text->mid(int(sizeof versionsPrefix) - 1);
    bool isNumber = false;
    const int build = digits.toInt(&isNumber);
    // Exactly the form activate() writes: no sign, no blanks, no leading zeros.
    if (!isNumber || build < 0 || QByteArray::number(build) != digits)
        return -1;
    // A link whose build was deleted, or lost its browser, is no build: it is installed again.
    const QFileInfo browser(versionPath(build) + QStringLiteral("/chrome"));
    return isPlainDir(versionPath(build)) && browser.isFile() && browser.isExecutable() ? build
                                                                                        : -1;
#else
    Q_UNUSED(link);
    return -1;
#endif
}

std::unique_ptr<QTemporaryDir> InstallRoot::createStagingDir() const
{
    // Each staging directory is owner-only: QTemporaryDir makes it 0700.
#ifdef Q_OS_UNIX
    // A root that could not take the build is found out before anything is downloaded.
    if (!makeRoot(m_path) || !makeReadableDir(m_path + QStringLiteral("/versions")))
        return nullptr;
#else
    QDir().mkpath(m_path);
#endif
    return std::make_unique<QTemporaryDir>(m_path + QStringLiteral("/.staging-XXXXXX"));
}

bool InstallRoot::activate(int build, const QString &tree, QString *error)
{
    return moveIn(build, tree, true, error);
}

bool InstallRoot::place(int build, const QString &tree, QString *error)
{
    return moveIn(build, tree, false, error);
}

bool InstallRoot::moveIn(int build, const QString &tree, bool makeCurrent, QString *error)
{
#ifdef Q_OS_UNIX
    if (build < 0)
        return fail(error, QStringLiteral("%1 is no build number.").arg(build));
    if (!isPlainDir(tree))
        return fail(error, Text::tr("The unpacked build is missing: %1").arg(tree));
    const int current = currentBuild();
    if (build == current)
        return fail(error, Text::tr("Build %1 is the one in use and is not replaced.").arg(build));

    const QString versions = m_path + QStringLiteral("/versions");
    if (!makeRoot(m_path) || !makeReadableDir(versions))
        return fail(error, Text::tr("Could not create %1.").arg(versions));

    const QString target = versionPath(build);
    QString aside;
    if (!clearSlot(target, versions, &aside, error))
        return false;

    if (!renameOver(tree, target)) {
        const int cause = errno;
        putBack(aside, target);
        return fail(
            error,
            Text::tr("Could not move the build to %1: %2").arg(target, qt_error_string(cause)));
    }
    if (makeCurrent
        && !switchLinks(m_path, { previousLink(), current }, { currentLink(), build }, error)) {
        renameOver(target, tree);
        putBack(aside, target);
        return false;
    }
    return true;
#else
    Q_UNUSED(build);
    Q_UNUSED(tree);
    Q_UNUSED(makeCurrent);
    return fail(error, Text::tr("Unpacked builds are not supported on this system."));
#endif
}

bool InstallRoot::goBack(QString *error)
{
#ifdef Q_OS_UNIX
    const int previous = previousBuild();
    if (previous < 0)
        return fail(error, Text::tr("There is no previous build to go back to."));
    const int current = currentBuild();
    const std::optional<QByteArray> oldCurrent = linkText(currentLink());

    int cause = 0;
    if (!replaceLink(m_path, currentLink(), linkTextFor(previous), &cause))
        return fail(error,
                    Text::tr("Could not point %1 at build %2: %3")
                        .arg(currentLink())
                        .arg(previous)
                        .arg(qt_error_string(cause)));
    if (current < 0) {
        // Nothing usable to keep for going forward again.
        QFile::remove(previousLink());
        return true;
    }
    if (!replaceLink(m_path, previousLink(), linkTextFor(current), &cause)) {
        restoreLink(m_path, currentLink(), oldCurrent);
        return fail(error,
                    Text::tr("Could not point %1 at build %2: %3")
                        .arg(previousLink())
                        .arg(current)
                        .arg(qt_error_string(cause)));
    }
    return true;
#else
    return fail(error, Text::tr("Unpacked builds are not supported on this system."));
#endif
}

bool InstallRoot::setPrevious(int build, QString *error)
{
#ifdef Q_OS_UNIX
    if (build == currentBuild())
        return fail(error, Text::tr("Build %1 is current already").arg(build));
    const QFileInfo browser(versionPath(build) + QStringLiteral("/chrome"));
    if (build < 0 || !isPlainDir(versionPath(build)) || !browser.isFile()
        || !browser.isExecutable())
        return fail(error, Text::tr("Build %1 is not installed").arg(build));
    int cause = 0;
    if (!replaceLink(m_path, previousLink(), linkTextFor(build), &cause))
        return fail(error,
                    Text::tr("Could not point %1 at build %2: %3")
                        .arg(previousLink())
                        .arg(build)
                        .arg(qt_error_string(cause)));
    return true;
#else
    Q_UNUSED(build);
    return fail(error, Text::tr("Unpacked builds are not supported on this system."));
#endif
}

void InstallRoot::removeUnusedVersions(const QString &procRoot) const
{
    KeptVersions(*this, procRoot).sweep();
}

void InstallRoot::removeLeftoverStaging() const
{
#ifdef Q_OS_UNIX
    TreeRemoval::sweep(m_path);
    TreeRemoval::sweep(m_path + QStringLiteral("/versions"));
    // Matched by prefix, not by a name filter: a filter is a regular expression, and this
    // runs at every start, which then maps PCRE2 for nothing else.
    const QFileInfoList entries = QDir(m_path).entryInfoList(QDir::AllEntries | QDir::Hidden
                                                             | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (!entry.fileName().startsWith(QLatin1String(".staging-"))
            && !entry.fileName().startsWith(QLatin1String(".link-")))
            continue;
        if (entry.fileName().startsWith(QLatin1String(".link-"))) {
            // A link activate() made and a crash kept from being renamed into place.
            if (entry.isSymLink())
                QFile::remove(entry.absoluteFilePath());
            continue;
        }
        // Never through a link, and never someone else's directory.
        if (entry.isSymLink() || !entry.isDir() || entry.ownerId() != ::getuid())
            continue;
        // A kept part stays, but not a tree that was being removed beside it.
        if (QFileInfo::exists(entry.absoluteFilePath() + QLatin1Char('/') + resumeRecord())) {
            TreeRemoval::sweep(entry.absoluteFilePath());
            continue;
        }
        // A live session's, whatever kept it from holding the root's lock.
        const StagingLock lock(entry.absoluteFilePath());
        if (!lock.isHeld())
            continue;
        if (!TreeRemoval::removeLater(entry.absoluteFilePath()))
            qCWarning(lcUpdate) << "Could not remove all of" << entry.absoluteFilePath();
    }
#endif
}
