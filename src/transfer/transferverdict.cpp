#include "transfer/transferverdict.h"

#include "common/updatelog.h"
#include "transfer/crc32c.h"
#include "transfer/transferrequest.h"

#include <QNetworkReply>

namespace {

// The one piece of mutable global state here: the test seam for the retry pauses.
QList<int> &retryDelays()
{
    static QList<int> delays { 1000, 4000, 16000 };
    return delays;
}

} // namespace

TransferVerdict::TransferVerdict(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &TransferVerdict::retry);
}

void TransferVerdict::setRetryDelays(const QList<int> &milliseconds)
{
    retryDelays() = milliseconds;
}

void TransferVerdict::restart()
{
    m_mismatch = false;
    m_retries = 0;
}

void TransferVerdict::answered(int status, const ObjectHash::Expected &expected, bool endKnown)
{
    m_status = status;
    m_expected = expected;
    m_endKnown = endKnown;
}

void TransferVerdict::answered(const QNetworkReply *reply, const ObjectHash::Expected &expected)
{
    // A body that simply stops looks like one that ended: only an announced length, the
    // end of a chunked body, an HTTP/2 stream's end or the storage's checksum tell them apart.
    answered(TransferRequest::status(reply), expected,
             reply->header(QNetworkRequest::ContentLengthHeader).isValid()
                 || reply->rawHeader("Transfer-Encoding").toLower().contains("chunked")
                 || reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool());
}

bool TransferVerdict::rangesMatch(quint32 crc)
{
    m_crc = crc;
    return m_expected.crc32c == Crc32c::digest(crc);
}

QString TransferVerdict::judge(QString problem, bool checksumMatches, const QUrl &url,
                               qint64 received, bool ranges)
{
    const bool hashed = m_expected.present || m_expected.malformed;
    m_mismatch = problem.isEmpty() && hashed && !checksumMatches;
    if (m_mismatch) {
        qCWarning(lcUpdate) << "Checksum mismatch for" << url.toString();
        problem = tr("The download did not match the storage's checksum");
    }
    if (problem.isEmpty()) {
        qCInfo(lcUpdate) << "Checksum" << (hashed ? "matched" : "not sent");
        if (!m_endKnown && !hashed)
            problem = tr("Download failed: the transfer ended without a length or checksum to "
                         "prove it complete");
    }
    // With ranges the first answer's status says nothing of how the file came.
    const QString result = problem.isEmpty() ? QStringLiteral("complete") : problem;
    if (ranges)
        qCInfo(lcUpdate) << "The ranges received" << received << "bytes" << result;
    else
        qCInfo(lcUpdate) << "HTTP" << m_status << "received" << received << "bytes" << result;
    return problem;
}

bool TransferVerdict::retryLater()
{
    if (m_retries >= retryDelays().size())
        return false;
    qCInfo(lcUpdate) << "Trying again in" << retryDelays().at(m_retries) << "ms";
    m_timer.start(retryDelays().at(m_retries++));
    return true;
}
