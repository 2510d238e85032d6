#include "browser/sandboxpermission.h"

#include "browser/sandboxprofile.h"
#include "common/updatelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

uint ownUid()
{
#ifdef Q_OS_UNIX
    return ::getuid();
#else
    return 0;
#endif
}

} // namespace

SandboxPermission::SandboxPermission(QObject *parent)
    : QObject(parent)
    , m_helper(helperPath())
    , m_profileDirectory(QLatin1String(SandboxProfile::defaultDirectory))
{
}

QString SandboxPermission::helperPath()
{
    const QDir programs(QCoreApplication::applicationDirPath());
    const QString name = QLatin1String(SandboxProfile::helperName);
    for (const QString &candidate :
         { programs.filePath(QStringLiteral(TARROWIN_LIBEXEC_FROM_BIN "/") + name),
           programs.filePath(name), programs.filePath(QStringLiteral("../src/") + name) }) {
        if (QFileInfo(candidate).isExecutable())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return QString();
}

void SandboxPermission::allow(const QString &browser)
{
    if (m_process)
        return;
    // The helper refuses a link anywhere in the path it is handed (it checks exactly what it
    // names), so it gets the real one: `current` and a root that is a link are resolved here.
    const QString real = QFileInfo(browser).canonicalFilePath();
    const QString named = real.isEmpty() ? browser : real;
    // What the profile must name afterwards; nothing for a path the helper refuses anyway.
    if (!SandboxProfile::locate(named, &m_root, &m_folder))
        m_root.clear();
    if (m_helper.isEmpty()) {
        emit finished(false, tr("The sandbox helper is not installed"));
        return;
    }
    m_process = new QProcess(this);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    connect(m_process, &QProcess::finished, this, &SandboxPermission::processFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            processFinished(-1, QProcess::CrashExit);
    });
    qCInfo(lcUpdate) << "pkexec" << m_helper << named;
    m_process->start(QStringLiteral("pkexec"), { m_helper, named });
}

void SandboxPermission::processFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!m_process)
        return;
    const QString errors = QString::fromLocal8Bit(m_process->readAllStandardError()).trimmed();
    const bool started = m_process->error() != QProcess::FailedToStart;
    m_process->disconnect(this);
    m_process->deleteLater();
    m_process = nullptr;
    if (!errors.isEmpty())
        qCWarning(lcUpdate).noquote() << "Sandbox helper:" << errors;

    // Checked again rather than taken on the helper's word.
    if (status == QProcess::NormalExit && exitCode == 0
        && SandboxProfile::covers(m_profileDirectory, ownUid(), m_root, m_folder)) {
        emit finished(true, QString());
        return;
    }
    QString message;
    if (!started)
        message = tr("pkexec is not installed");
    else if (exitCode == 126 || exitCode == 127)
        // pkexec's own: the prompt was dismissed, or the user may not do this.
        message = tr("Not authorised");
    else
        message = errors.section(QLatin1Char('\n'), -1).section(QStringLiteral(": "), 1);
    if (message.isEmpty())
        message = tr("The sandbox helper failed");
    emit finished(false, message);
}
