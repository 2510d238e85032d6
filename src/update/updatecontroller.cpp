#include "update/updatecontroller.h"

#include "settings/config.h"

namespace {

int storedNumber(Config::Key key)
{
    bool number = false;
    const int value = Config::get(key).toInt(&number);
    return number ? value : Config::defaultValue(key).toInt();
}

// Read afresh each time: the check box may have changed it since.
bool notificationsOn()
{
    return Config::get(Config::ShowNotifications).toString() == QLatin1String("true");
}

} // namespace

UpdateController::UpdateController(QObject *parent)
    : QObject(parent)
{
    m_exitLimit.setSingleShot(true);
    connect(&m_exitLimit, &QTimer::timeout, this, &UpdateController::quitRequested);
}

void UpdateController::checkNow()
{
    m_userAsked = true;
    emit checkRequested();
}

void UpdateController::checkCompleted(int latest)
{
    const bool userAsked = m_userAsked;
    m_userAsked = false;
    ++m_checksSinceFailure;
    m_checksAtDecision = m_checksSinceFailure;
    m_userAskedAtDecision = userAsked;
    if (!m_substitute.isEmpty()) {
        m_substitute.clear();
        emit statusLineChanged();
    }
    if (!UpdatePolicy::shouldDownload(latest, records(), m_checksSinceFailure, userAsked,
                                      m_checkPeriod))
        return;
    requestDownload(latest);
}

void UpdateController::buildNotPublished(int build, int newest)
{
    const int instead = UpdatePolicy::publishedInstead(build, newest, records(), m_checksAtDecision,
                                                       m_userAskedAtDecision, m_checkPeriod);
    if (instead == -1)
        return;
    m_substitute = tr("Build %1 is not published yet; installing build %2").arg(build).arg(instead);
    emit statusLineChanged();
    requestDownload(instead);
}

UpdatePolicy::Records UpdateController::records() const
{
    return { m_currentBuild, storedNumber(Config::SkippedBuild), storedNumber(Config::FailedBuild),
             storedNumber(Config::FailedAttempts) };
}

void UpdateController::requestDownload(int build)
{
    m_checksSinceFailure = 0;
    if (build != m_requestedBuild) {
        m_requestedBuild = build;
        emit requestedBuildChanged(build);
    }
    emit downloadRequested(build);
}

void UpdateController::downloadStatusChanged(int status)
{
    m_status = status;
    emit statusLineChanged();
    if (m_exiting && status == Idle) {
        emit quitRequested();
        return;
    }
    if (!notificationsOn())
        return;
    if (status == Downloading)
        notice(tr("Downloading Chromium build %1.").arg(m_requestedBuild), tr("Downloading ..."),
               InfoNotice, 5000);
    else if (status == Installing)
        notice(tr("Installing Chromium build %1.").arg(m_requestedBuild), tr("Installing ..."),
               InfoNotice, 5000);
}

void UpdateController::installationFailed(int build, const QString &error)
{
    const bool repeated = storedNumber(Config::FailedBuild) == build;
    Config::set(Config::FailedBuild, build);
    Config::set(Config::FailedAttempts, repeated ? storedNumber(Config::FailedAttempts) + 1 : 1);
    m_checksSinceFailure = 0;
    // Once per failed build: a retry that fails the same way says nothing new.
    if (!repeated && notificationsOn())
        notice(error, tr("Chromium build %1 was not installed").arg(build), WarningNotice, 10000);
}

void UpdateController::installedBuildChanged()
{
    Config::remove(Config::FailedBuild);
    Config::remove(Config::FailedAttempts);
}

void UpdateController::sandboxBlocked()
{
    if (m_sandboxWarned || !notificationsOn())
        return;
    m_sandboxWarned = true;
    notice(tr("Chromium's sandbox is blocked on this system"), tr("Chromium (snapshot)"),
           WarningNotice, 10000);
}

void UpdateController::exit()
{
    if (m_exiting || m_status != Installing) {
        emit quitRequested();
        return;
    }
    m_exiting = true;
    emit exitingChanged(true);
    emit statusLineChanged();
    m_exitLimit.start(m_exitWaitLimit);
    emit windowRequested();
}

int UpdateController::largestCount(qint64 factor) const
{
    return UpdatePolicy::largestCount(factor);
}

int UpdateController::timeFrameIndex(const QVariant &stored, int count) const
{
    return UpdatePolicy::timeFrameIndex(stored, count);
}

void UpdateController::setLastError(const QString &error)
{
    if (error == m_lastError)
        return;
    m_lastError = error;
    emit statusLineChanged();
}

QString UpdateController::statusLine() const
{
    if (m_exiting)
        return tr("Finishing the installation of build %1 \u2026").arg(m_requestedBuild);
    if (m_status == Idle && !m_lastError.isEmpty())
        return m_lastError;
    if (m_status != Idle && !m_substitute.isEmpty())
        return m_substitute;
    return statusText(m_status);
}

QString UpdateController::statusText(int status)
{
    if (status == Idle)
        return tr("Idle");
    if (status == Downloading)
        return tr("Downloading");
    return tr("Installing");
}

QVariantList UpdateController::trayMenu(int previousBuild)
{
    const auto entry = [](const char *name, const QString &label = QString()) {
        return QVariantMap { { QStringLiteral("name"), QString::fromLatin1(name) },
                             { QStringLiteral("label"), label } };
    };
    QVariantMap open = entry("restore", tr("&Open"));
    open.insert(QStringLiteral("default"), true);
    QVariantList entries { open, entry("settings", tr("&Settings")) };
    if (previousBuild != -1)
        entries.append(entry("goback", tr("Go back to build %1").arg(previousBuild)));
    entries.append(entry("separator"));
    entries.append(entry("quit", tr("&Exit")));
    return entries;
}

void UpdateController::notice(const QString &text, const QString &title, NoticeType type,
                              int timeout)
{
    emit noticeRequested(text, title, type, timeout);
}
