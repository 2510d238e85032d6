#include "builds/versionchecker.h"

#include "builds/buildnumber.h"
#include "builds/buildseries.h"
#include "builds/buildstorage.h"
#include "common/updatelog.h"

VersionChecker::VersionChecker(QObject *parent)
    : VersionChecker(30000, parent)
{
}

VersionChecker::VersionChecker(int transferTimeout, QObject *parent)
    : QObject(parent)
    , m_fetch(new TextFetch(maximumBodySize, transferTimeout, this))
{
    // Redirects count as no answer: LAST_CHANGE is asked of the storage itself.
    m_fetch->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // A cache between us and the storage must ask the storage: an hour-old number would
    // hold every machine behind it at an old build.
    m_fetch->setRawHeader("Cache-Control", "no-cache");
    connect(m_fetch, &TextFetch::finished, this, &VersionChecker::fileLoadFinished);
    // The first check counts as under way from the start. Whoever made the element may start
    // it at once (the view does, as early as it can); otherwise the event loop does.
    m_checking = true;
    QMetaObject::invokeMethod(this, &VersionChecker::startFirstCheck, Qt::QueuedConnection);
}

void VersionChecker::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_fetch->setNetworkAccessManager(manager);
}

void VersionChecker::startFirstCheck()
{
    if (!m_started)
        checkLatestBuild();
}

void VersionChecker::leaveFirstCheckToCaller()
{
    if (m_started)
        return;
    m_started = true;
    setChecking(false);
}

void VersionChecker::checkLatestBuild()
{
    m_started = true;
    setChecking(true);
    // One request at a time: the outstanding one will report, and a second would only
    // race it for the same answer.
    if (m_fetch->isRunning())
        return;

    const BuildSeries series = BuildSeries::native();
    if (!series.isValid()) {
        // Nothing to ask for on this platform. Reported from the event loop, like every
        // other completion, so that a check started during construction is seen too.
        m_unsupported = true;
        QMetaObject::invokeMethod(this, &VersionChecker::reportNoSeries, Qt::QueuedConnection);
        return;
    }
    m_unsupported = false;

    const QUrl url = BuildStorage::url(series.lastChangePath());
    qCInfo(lcUpdate) << "GET" << url.toString();
    m_fetch->get(url);
}

void VersionChecker::fileLoadFinished(const TextFetch::Result &result)
{
    const bool redirected = result.httpStatus >= 300 && result.httpStatus < 400;
    m_latestBuild = (!result.complete || redirected) ? -1 : BuildNumber::parse(result.body);
    // A storage that stops answering half-way was not reached, whatever it began with.
    m_failureStatus = result.timedOut ? 0 : result.httpStatus;
    m_failureReason = m_latestBuild != -1 ? QString()
        : result.timedOut                 ? tr("it stopped answering")
                                          : result.errorString;
    if (m_latestBuild == -1)
        qCWarning(lcUpdate) << "No latest build from" << result.url.toString() << "HTTP"
                            << result.httpStatus << result.errorString;
    else
        qCInfo(lcUpdate) << "Latest build" << m_latestBuild;

    emit latestBuildChanged(m_latestBuild);
    setChecking(false);
}

void VersionChecker::setChecking(bool checking)
{
    // Every check ends with a change to false, which also tells of platformSupported.
    if (checking == m_checking)
        return;
    m_checking = checking;
    emit checkingChanged(checking);
}

void VersionChecker::reportNoSeries()
{
    if (m_fetch->isRunning() || !m_checking)
        return;
    m_latestBuild = -1;
    m_failureStatus = 0;
    m_failureReason.clear();
    emit latestBuildChanged(m_latestBuild);
    setChecking(false);
}
