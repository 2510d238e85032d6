#include "browser/steplauncher.h"

#include "browser/browserlauncher.h"
#include "browser/profilesnapshots.h"
#include "browser/singletonlock.h"
#include "common/descriptortree.h"
#include "common/updatelog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

#include <utility>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_LINUX
using namespace DescriptorTree;

constexpr char freshPrefix[] = "step-";
constexpr char copyPrefix[] = "copy-";

int openDirectory()
{
    QDir().mkpath(StepLauncher::directory());
    return ::open(QFile::encodeName(StepLauncher::directory()).constData(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A descriptor of the folder `name` there, holding it; -1 when it is gone or held already.
int hold(const QString &name)
{
    const Fd dir(openDirectory());
    const int folder = dir.valid() ? openDirAt(dir.get(), QFile::encodeName(name).constData()) : -1;
    if (folder >= 0 && !holdFolder(folder)) {
        ::close(folder);
        return -1;
    }
    return folder;
}
#endif

} // namespace

StepLauncher::StepLauncher(QObject *parent)
    : QObject(parent)
{
    connect(&m_copying, &QFutureWatcher<QString>::finished, this, &StepLauncher::copied);
    connect(&m_browser, &QProcess::started, this, &StepLauncher::started);
    connect(&m_browser, &QProcess::finished, this, &StepLauncher::exited);
    connect(&m_browser, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        discard(&m_fresh, &m_freshHold);
        emit failed(tr("Could not start %1: %2").arg(m_browser.program(), m_browser.errorString()));
    });
}

StepLauncher::~StepLauncher()
{
    m_cancel = true;
    m_copying.waitForFinished();
    disconnect(&m_browser, nullptr, this, nullptr);
    if (m_browser.state() != QProcess::NotRunning) {
        // As a session's end ends it; a browser that will not go is killed with the process.
        m_browser.terminate();
        m_browser.waitForFinished(5000);
    }
    m_browser.kill();
    m_browser.waitForFinished(5000);
    discard(&m_fresh, &m_freshHold);
    // The copy stays for removeLeftovers() at the next start, when the bisect may go on.
    m_copy.clear();
    discard(&m_copy, &m_copyHold);
}

QString StepLauncher::directory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QLatin1Char('/')
        + QCoreApplication::organizationName() + QLatin1Char('/')
        + QCoreApplication::applicationName() + QStringLiteral("/step-profiles");
}

void StepLauncher::removeLeftovers()
{
#ifdef Q_OS_LINUX
    if (!QFileInfo(directory()).isDir())
        return;
    const Fd dir(openDirectory());
    // This process's own are named with its pid, and may be made while this runs.
    const QByteArray own = '-' + QByteArray::number(qint64(::getpid())) + '-';
    for (const QByteArray &name : dir.valid() ? entriesOf(dir.get()) : QList<QByteArray>()) {
        if (name.contains(own))
            continue;
        const Fd folder(openDirAt(dir.get(), name.constData()));
        // A step of this session or another holds its folder; a browser that outlived a
        // crashed Tarrowin holds its profile's lock.
        if (folder.valid()
            && (!holdFolder(folder.get())
                || SingletonLock(directory() + QLatin1Char('/') + QFile::decodeName(name)).held()))
            continue;
        removeAt(dir.get(), name.constData());
    }
#endif
}

bool StepLauncher::running() const
{
    return m_copying.isRunning() || m_browser.state() != QProcess::NotRunning;
}

namespace {

bool refuse(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

} // namespace

bool StepLauncher::start(const QString &buildFolder, ProfileMode mode, QString *error)
{
#ifdef Q_OS_LINUX
    if (running())
        return refuse(error, tr("A step is under way already"));
    if (!QFileInfo(buildFolder + QStringLiteral("/chrome")).isExecutable())
        return refuse(error, tr("There is no Chromium in %1").arg(buildFolder));
    m_folder = buildFolder;
    m_ending = false;
    return mode == CopyOfOwnProfile ? startOnCopy(error) : startOnFresh(error);
#else
    Q_UNUSED(buildFolder)
    Q_UNUSED(mode)
    return refuse(error, tr("Bisect steps are not available on this system"));
#endif
}

bool StepLauncher::startOnCopy(QString *error)
{
#ifdef Q_OS_LINUX
    if (!m_copy.isEmpty()) {
        m_profile = directory() + QLatin1Char('/') + m_copy;
        launch();
        return true;
    }
    const QString own = BrowserLauncher::profile();
    if (!QFileInfo(own).isDir())
        return refuse(error, tr("There is no profile to copy at %1").arg(own));
    m_copy = QLatin1String(copyPrefix) + QString::number(QCoreApplication::applicationPid())
        + QLatin1Char('-') + QString::number(QDateTime::currentMSecsSinceEpoch(), 36);
    m_cancel = false;
    // Gigabytes, maybe: beside the window.
    m_copying.setFuture(QtConcurrent::run(
        [this, own, target = directory() + QLatin1Char('/') + m_copy]() -> QString {
            QString why;
            if (ProfileSnapshots::copyProfile(
                    own, target, [](qint64, qint64) {}, m_cancel, &why))
                return QString();
            return why.isEmpty() ? tr("The profile was not copied") : why;
        }));
    return true;
#else
    return refuse(error, tr("Bisect steps are not available on this system"));
#endif
}

bool StepLauncher::startOnFresh(QString *error)
{
#ifdef Q_OS_LINUX
    const Fd dir(openDirectory());
    const QByteArray name = dir.valid() ? freshDir(dir.get(), freshPrefix) : QByteArray();
    m_fresh = QFile::decodeName(name);
    m_freshHold = name.isEmpty() ? -1 : hold(m_fresh);
    if (m_freshHold < 0) {
        discard(&m_fresh, &m_freshHold);
        return refuse(error, tr("Cannot make a profile in %1").arg(directory()));
    }
    m_profile = directory() + QLatin1Char('/') + m_fresh;
    launch();
    return true;
#else
    return refuse(error, tr("Bisect steps are not available on this system"));
#endif
}

void StepLauncher::copied()
{
    const QString why = m_copying.result();
#ifdef Q_OS_LINUX
    m_copyHold = why.isEmpty() ? hold(m_copy) : -1;
#endif
    if (m_ending) {
        discard(&m_copy, &m_copyHold);
        emit finished();
    } else if (m_copyHold < 0) {
        qCWarning(lcUpdate).noquote() << "No copy of the profile for the bisect:" << why;
        discard(&m_copy, &m_copyHold);
        emit failed(tr("The profile was not copied: %1").arg(why));
    } else {
        m_profile = directory() + QLatin1Char('/') + m_copy;
        launch();
    }
}

void StepLauncher::launch()
{
    m_browser.setProgram(m_folder + QStringLiteral("/chrome"));
    // A fresh profile would otherwise open on the first-run pages, and ask to be the default.
    m_browser.setArguments(QStringList { QStringLiteral("--user-data-dir=") + m_profile,
                                         QStringLiteral("--no-first-run"),
                                         QStringLiteral("--no-default-browser-check") }
                           + BrowserLauncher::testArguments());
    m_browser.setWorkingDirectory(QDir::homePath());
    m_browser.setProcessEnvironment(
        BrowserLauncher::environment(QProcessEnvironment::systemEnvironment()));
    m_browser.setStandardOutputFile(QProcess::nullDevice());
    m_browser.setStandardErrorFile(QProcess::nullDevice());
    m_browser.start();
}

void StepLauncher::exited()
{
    discard(&m_fresh, &m_freshHold);
    if (m_ending)
        discard(&m_copy, &m_copyHold);
    emit finished();
}

void StepLauncher::stopStep()
{
    if (m_browser.state() != QProcess::NotRunning)
        m_browser.terminate();
}

void StepLauncher::endBisect()
{
    m_ending = true;
    m_cancel = true;
    if (m_browser.state() != QProcess::NotRunning)
        return m_browser.terminate();
    // A copy under way goes when it has stopped.
    if (!m_copying.isRunning())
        discard(&m_copy, &m_copyHold);
}

void StepLauncher::discard(QString *name, int *held)
{
#ifdef Q_OS_LINUX
    if (*held >= 0)
        ::close(std::exchange(*held, -1));
    if (name->isEmpty())
        return;
    m_removals.addFuture(QtConcurrent::run([folder = QFile::encodeName(std::exchange(*name, {}))] {
        const Fd dir(openDirectory());
        if (dir.valid())
            removeAt(dir.get(), folder.constData());
    }));
#else
    name->clear();
    *held = -1;
#endif
}
