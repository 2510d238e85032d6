#include "support/privatebus.h"

#include <QFile>

#include <csignal>
#include <sys/prctl.h>

PrivateBus::PrivateBus(const QString &directory)
{
    const QString config = directory + QStringLiteral("/bus.conf");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write("<busconfig><type>session</type><listen>unix:dir=" + directory.toUtf8()
               + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                 "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                 "<allow own=\"*\"/>"
                 "</policy></busconfig>");
    file.close();
    // A test that crashes takes its bus with it.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   { QStringLiteral("--config-file=") + config, QStringLiteral("--print-address"),
                     QStringLiteral("--nofork") });
    for (int i = 0; i < 10 && !m_daemon.canReadLine(); ++i)
        m_daemon.waitForReadyRead(1000);
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
}

PrivateBus::~PrivateBus()
{
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000))
        m_daemon.kill();
    m_daemon.waitForFinished(5000);
}
