#pragma once

#include "install/zipcatalog.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// Reads the catalog of an archive that is still being downloaded, from the archive's last
// bytes at the source the download uses: one ranged request for its tail, and one more when
// the catalog begins before it. Only a 206 for exactly the bytes asked, of the same upload, is
// taken. It knows nothing of what the catalog is used for.
class CatalogFetch : public QObject
{
    Q_OBJECT

public:
    // The upload to ask, as the download's answer named it.
    struct Source
    {
        QUrl url;
        qint64 size = 0;
        QByteArray etag;
        QByteArray generation;
    };

    struct Result
    {
        std::optional<ZipCatalog> catalog;
        // Why there is none.
        QString error;
        // The archive's bytes the catalog was read from, and where they begin.
        QByteArray tail;
        qint64 tailFrom = 0;
    };

    // The most read of an archive's end, whatever its catalog asks for.
    static constexpr qint64 maximumBytes = 8 * 1024 * 1024;

    explicit CatalogFetch(QObject *parent = nullptr);
    ~CatalogFetch() override;

    void start(QNetworkAccessManager *manager, const Source &source, int transferTimeout);
    const Result &result() const { return m_result; }

signals:
    // Once, unless destroyed first.
    void finished(const CatalogFetch::Result &result);

private:
    void ask(qint64 from, qint64 to);
    bool accepted();
    void read();
    void replyFinished();
    void report(const QString &error);

    QNetworkAccessManager *m_manager = nullptr;
    Source m_source;
    int m_timeout = 0;
    QPointer<QNetworkReply> m_reply;
    // The range asked for, what of it arrived, and what the requests before it brought.
    qint64 m_from = 0;
    qint64 m_to = -1;
    QByteArray m_body;
    bool m_accepted = false;
    // The second request, for the catalog's start, was made.
    bool m_again = false;
    QString m_refusal;
    Result m_result;
};
