#include "builds/versionchecker.h"

#include "builds/buildnumber.h"
#include "builds/buildseries.h"
#include "common/endpoints.h"
#include "common/networkaccess.h"
#include "common/updatelog.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

VersionChecker::VersionChecker(QObject *parent)
    : VersionChecker(30000, parent)
{
}

VersionChecker::VersionChecker(int transferTimeout, QObject *parent)
    : QObject(parent)
    , m_transferTimeout(transferTimeout)
{
    // The first check starts once QML has made the element, when its engine's network
    // manager can be found, or from the event loop for an element made without QML. It
    // counts as under way from the start.
    m_checking = true;
    QMetaObject::invokeMethod(this, &VersionChecker::startFirstCheck, Qt::QueuedConnection);
}

VersionChecker::~VersionChecker()
{
    // The reply may belong to a manager that outlives this element.
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

// QML calls this right after making the element, with its engine known: the check goes out
// as early as it can, before the rest of the view is made.
void VersionChecker::classBegin()
{
    startFirstCheck();
}

void VersionChecker::startFirstCheck()
{
    if (!m_started)
        checkLatestBuild();
}

void VersionChecker::checkLatestBuild()
{
    m_started = true;
    setChecking(true);
    // One request at a time: the outstanding one will report, and a second would only
    // race it for the same answer.
    if (m_reply)
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

    QUrl url = Endpoints::buildStorage();
    url.setPath(series.lastChangePath());
    qCInfo(lcUpdate) << "GET" << url.toString();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeout);

    m_body.clear();
    m_failed = false;
    if (!m_networkManager)
        m_networkManager = NetworkAccess::managerFor(this);
    m_reply = m_networkManager->get(request);
    // The body is read as it arrives so an oversized one is dropped at once instead of
    // being buffered whole.
    m_reply->setReadBufferSize(maximumBodySize + 1);
    connect(m_reply, &QNetworkReply::finished, this, &VersionChecker::fileLoadFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &VersionChecker::fileLoadError);
    connect(m_reply, &QNetworkReply::readyRead, this, &VersionChecker::fileLoadRead);
}

void VersionChecker::fileLoadRead()
{
    m_body += m_reply->readAll();
    if (m_body.size() > maximumBodySize) {
        m_failed = true;
        m_reply->abort();
    }
}

void VersionChecker::fileLoadError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code)
    // An error page, a time-out or a cut-off body is no build number, even if it reads as one.
    m_failed = true;
}

void VersionChecker::fileLoadFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply || sender() != reply)
        return;
    if (!m_failed)
        fileLoadRead();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool redirected = status >= 300 && status < 400;
    m_latestBuild = (m_failed || redirected) ? -1 : BuildNumber::parse(m_body);
    if (m_latestBuild == -1)
        qCWarning(lcUpdate) << "No latest build from" << reply->url().toString() << "HTTP" << status
                            << reply->errorString();
    else
        qCInfo(lcUpdate) << "Latest build" << m_latestBuild;

    m_reply = nullptr;
    reply->deleteLater();
    m_body.clear();

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
    if (m_reply || !m_checking)
        return;
    m_latestBuild = -1;
    emit latestBuildChanged(m_latestBuild);
    setChecking(false);
}
