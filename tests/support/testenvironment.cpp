#include "support/testenvironment.h"

#include <QDir>

TestEnvironment::TestEnvironment()
{
    QDir(m_root.path()).mkpath(QStringLiteral("config"));
    QDir(m_root.path()).mkpath(QStringLiteral("tmp"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("TMPDIR", QFile::encodeName(tempDir()));
}

QString TestEnvironment::configHome() const
{
    return m_root.filePath(QStringLiteral("config"));
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
