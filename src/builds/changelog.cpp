#include "builds/changelog.h"

#include "builds/releasesservice.h"

ChangeLog::ChangeLog(QObject *parent)
    : QObject(parent)
    , m_releases(new ReleasesService(this))
{
    connect(m_releases, &ReleasesService::commitFound, this, &ChangeLog::commitFound);
}

void ChangeLog::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_releases->setNetworkAccessManager(manager);
}

void ChangeLog::find(int from, int to)
{
    m_from = from;
    m_to = to;
    m_fromCommit.clear();
    m_releases->findCommit(from);
}

void ChangeLog::commitFound(int position, const QString &commit)
{
    if (commit.isEmpty()) {
        emit found(byPositions(m_from, m_to));
    } else if (position == m_from && m_fromCommit.isEmpty()) {
        m_fromCommit = commit;
        m_releases->findCommit(m_to);
    } else {
        emit found(byCommits(m_fromCommit, commit));
    }
}

QUrl ChangeLog::byCommits(const QString &from, const QString &to)
{
    return QUrl(
        QStringLiteral("https://chromium.googlesource.com/chromium/src/+log/%1..%2").arg(from, to));
}

QUrl ChangeLog::byPositions(int from, int to)
{
    return QUrl(QStringLiteral("https://crrev.com/%1..%2").arg(from).arg(to));
}
