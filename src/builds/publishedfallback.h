#pragma once

#include "builds/buildlisting.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class BuildSeries;
class QNetworkAccessManager;

// What follows when a build's archive is not found: the newest build is often named before
// its archive is uploaded, which is no failure of ours, and an earlier build may well be
// newer than the installed one. The storage's listing is asked at most once per check and
// names at most one substitute; the build it named is fetched as that upload (pinned by its
// generation), and a substitute that is missing too ends the check, for the next one to ask
// the listing again.
class PublishedFallback : public QObject
{
    Q_OBJECT

public:
    explicit PublishedFallback(QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // The upload of build the listing named last, to ask for by its generation; empty when it
    // named another build.
    QByteArray generation(int build) const;
    // The upload the listing named was replaced: later tries take what is there now, which its
    // own checksum vouches for, rather than failing on the pin until a restart.
    void forgetGeneration();
    // The archive of build is not found, why says so; installed is the build in use (-1 for
    // none). Reports with unanswered() or notPublished().
    void lookFor(const BuildSeries &series, int build, int installed, const QString &why);

signals:
    // The listing could not be read: we know no better than why the archive was not found.
    void unanswered(const QString &why);
    // newest is the newest build below build whose archive is published, -1 when the listing
    // names none.
    void notPublished(int build, int newest);

private:
    void listingAnswered(bool answered, const BuildListing::Object &listed);

    BuildListing *m_listing;
    // The newest published build the listing named last, to pin its generation.
    BuildListing::Object m_published;
    // The newest build any listing named: known to exist, for a build named far beyond it.
    int m_newestListed = -1;
    // The build not found, and why.
    int m_build = -1;
    QString m_why;
};
