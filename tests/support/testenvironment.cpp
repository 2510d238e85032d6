#include "support/testenvironment.h"

#include "builds/buildseries.h"
#include "builds/chromedownloader.h"
#include "common/endpoints.h"
#include "update/checkschedule.h"

#include <QDir>

TestEnvironment::TestEnvironment()
{
    QDir(m_root.path()).mkpath(QStringLiteral("config"));
    QDir(m_root.path()).mkpath(QStringLiteral("tmp"));
    QDir(m_root.path()).mkpath(QStringLiteral("data"));
    QDir(m_root.path()).mkpath(QStringLiteral("system"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    // Not the machine's /etc/xdg, whose defaults would change what a test sees; a test that
    // needs a desktop's system configuration names it in TARROWIN_TEST_CONFIG_DIRS.
    const QByteArray systemDirs = qgetenv("TARROWIN_TEST_CONFIG_DIRS");
    qputenv("XDG_CONFIG_DIRS",
            systemDirs.isEmpty() ? QFile::encodeName(systemConfigDir()) : systemDirs);
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("cache"))));
    qputenv("TMPDIR", QFile::encodeName(tempDir()));
    // Nothing in a test may reach past this machine: until a test points them at its own
    // server, the servers are a loopback port where nothing listens.
    Endpoints::setBuildStorage(QUrl(QStringLiteral("https://127.0.0.1:9")));
    Endpoints::setMaker(QUrl(QStringLiteral("https://127.0.0.1:9")));
    Endpoints::setReleases(QUrl(QStringLiteral("https://127.0.0.1:9")));
    // A broken transfer fails at once, as each test expects, unless it asks for retries.
    ArchiveFetch::setRetryDelays({});
    // The view's first check goes out at once and the next ones on the exact period.
    CheckSchedule::setSpreading(false);
    // Most tests drive the fake installers; those about unpacking choose the archive series.
    BuildSeries::setNative(installerSeries());
    // Tray icons embed through the X tray protocol, not through a session bus that may or
    // may not be there.
    // Unset, the bus library would fall back to $XDG_RUNTIME_DIR/bus and find the
    // developer's own desktop session.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tarrowin-test-bus");
    // Nor the machine's NetworkManager, whose metered connection would hold downloads back.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tarrowin-test-bus");
}

BuildSeries TestEnvironment::installerSeries()
{
    return BuildSeries(QStringLiteral("Win_x64"), QStringLiteral("mini_installer.exe"),
                       BuildSeries::RunInstaller);
}

BuildSeries TestEnvironment::archiveSeries()
{
    return BuildSeries(QStringLiteral("Linux_x64"), QStringLiteral("chrome-linux.zip"),
                       BuildSeries::UnpackArchive);
}

QString TestEnvironment::configHome() const
{
    return m_root.filePath(QStringLiteral("config"));
}

QString TestEnvironment::dataHome() const
{
    return m_root.filePath(QStringLiteral("data"));
}

QString TestEnvironment::systemConfigDir() const
{
    return m_root.filePath(QStringLiteral("system"));
}

QString TestEnvironment::tempDir() const
{
    return m_root.filePath(QStringLiteral("tmp"));
}

QString TestEnvironment::settingsFile() const
{
    return configHome() + QStringLiteral("/Quillmarsh/Tarrowin.conf");
}

bool TestEnvironment::hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("xcb");
}
