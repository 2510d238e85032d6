#pragma once

#include "builds/buildseries.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class TextFetch;

// Asks the storage's JSON object listing for the newest build of a series whose archive is
// published, in a window of builds below one that is not, or upward from a build known to
// exist when the one named lies far beyond it. One page per question, a second only when the
// first holds no archive.
class BuildListing : public QObject
{
    Q_OBJECT

public:
    // One listed archive, and the upload the storage holds of it.
    struct Object
    {
        int build = -1;
        QByteArray generation;
        // Read upward from a known build, the listing went on past this page: newer builds
        // may follow, and the next question reads on from this one.
        bool more = false;
    };
    struct Page
    {
        bool valid = false;
        Object newest; // build -1 when the page holds no archive
        QString nextPageToken;
    };

    // How many build numbers below the unpublished one are asked about. One page holds up to
    // 1000 names, so the window fits in it whole.
    static constexpr int window = 1000;
    // No build has had this many digits: with nothing known to exist, a build named at or
    // past it says nothing of where the published ones are.
    static constexpr int implausible = 10000000;
    static constexpr qint64 maximumSize = 1024 * 1024;

    explicit BuildListing(QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // Looks for the newest published build below `below`; known is the newest build known to
    // exist (-1 for none). Reports with finished().
    void findNewest(const BuildSeries &series, int below, int known = -1);

    // Whether `below` lies too far beyond `known` for the window below it to find anything.
    static bool farBeyond(int below, int known);
    static QUrl address(const BuildSeries &series, int below, int known = -1,
                        const QString &pageToken = {});
    static Page parse(const QByteArray &json, const BuildSeries &series, int below);
    // The build an object of the listing holds the series' archive of, or -1. The storage
    // filters already; what it sends is checked all the same, since a build found in a
    // listing may be downloaded and installed.
    static int buildOf(const QString &objectName, const BuildSeries &series);

signals:
    // answered is false when the listing could not be read; newest.build is -1 when it
    // holds no published build in the window.
    void finished(bool answered, const BuildListing::Object &newest);

private:
    void request(const QString &pageToken);

    TextFetch *m_fetch;
    BuildSeries m_series;
    int m_below = -1;
    int m_known = -1;
    bool m_secondPage = false;
};
