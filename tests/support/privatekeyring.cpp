#include "support/privatekeyring.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>

PrivateKeyring::PrivateKeyring(const QString &directory)
    : m_bus(directory)
{
    QDir(directory).mkpath(QStringLiteral("run"));
    QFile::setPermissions(directory + QStringLiteral("/run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), directory + QStringLiteral("/run"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), directory);
    m_daemon.setProcessEnvironment(environment);
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // The password on its input makes the login collection, unlocked, the default one.
    m_daemon.start(QStringLiteral("gnome-keyring-daemon"),
                   { QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                     QStringLiteral("--components=secrets") });
    m_daemon.write("test");
    m_daemon.closeWriteChannel();
}

bool PrivateKeyring::ready() const
{
    const QDBusConnection bus
        = QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("keyring"));
    QDBusInterface service(QStringLiteral("org.freedesktop.secrets"),
                           QStringLiteral("/org/freedesktop/secrets"),
                           QStringLiteral("org.freedesktop.Secret.Service"), bus);
    const QDBusReply<QDBusObjectPath> alias
        = service.call(QStringLiteral("ReadAlias"), QStringLiteral("default"));
    return alias.isValid() && alias.value().path() != QLatin1String("/");
}

PrivateKeyring::~PrivateKeyring()
{
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000))
        m_daemon.kill();
    m_daemon.waitForFinished(5000);
}
