#pragma once

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;

// Reads one small text body over HTTP, such as a build number or a version file. The body
// is read as it arrives, so one longer than the cap is dropped at once instead of being
// buffered whole. One request at a time.
class TextFetch : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        // False after a network or HTTP error, a time-out, or a body past the cap: such a
        // body is no answer, whatever it reads like.
        bool complete = false;
        QByteArray body;
        int httpStatus = 0;
        QString errorString;
        QUrl url;
        // Given up because no traffic came for the transfer timeout.
        bool timedOut = false;
        // Given up because the body went past the cap.
        bool tooLarge = false;
    };

    // transferTimeout: how long a request may go without any traffic before it is given up.
    TextFetch(qint64 maximumSize, int transferTimeout, QObject *parent = nullptr);
    // The reply may belong to a manager that outlives this object.
    ~TextFetch() override;

    // The manager requests go through; without one, the first request makes its own.
    void setNetworkAccessManager(QNetworkAccessManager *manager);
    QNetworkAccessManager *networkAccessManager();
    void setRedirectPolicy(QNetworkRequest::RedirectPolicy policy) { m_redirectPolicy = policy; }
    // Sent with every request from now on.
    void setRawHeader(const QByteArray &name, const QByteArray &value);

    bool isRunning() const { return m_reply != nullptr; }
    // Ignored while a request is under way: that one will report.
    void get(const QUrl &url);

signals:
    void finished(const TextFetch::Result &result);

private:
    void read();
    void done();

    const qint64 m_maximumSize;
    const int m_transferTimeout;
    QNetworkRequest::RedirectPolicy m_redirectPolicy = QNetworkRequest::NoLessSafeRedirectPolicy;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QNetworkAccessManager *m_manager = nullptr;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_body;
    bool m_failed = false;
    bool m_tooLarge = false;
};
