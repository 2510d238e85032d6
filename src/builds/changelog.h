#pragma once

#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class ReleasesService;

// The link to the changes between two trunk positions: between their commits where the
// releases service names both, between the positions otherwise.
class ChangeLog : public QObject
{
    Q_OBJECT

public:
    explicit ChangeLog(QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // Reports with found(), once.
    void find(int from, int to);

    static QUrl byCommits(const QString &from, const QString &to);
    static QUrl byPositions(int from, int to);

signals:
    void found(const QUrl &link);

private:
    void commitFound(int position, const QString &commit);

    ReleasesService *m_releases;
    int m_from = -1;
    int m_to = -1;
    QString m_fromCommit;
};
