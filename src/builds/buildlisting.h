#pragma once

#include "builds/buildseries.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class TextFetch;

// Asks the storage's JSON object listing for the newest build of a series whose archive is
// published, in a window of builds below one that is not. One page per question, a second
// only when the first holds no archive.
class BuildListing : public QObject
{
    Q_OBJECT

public:
    // One listed archive, and the upload the storage holds of it.
    struct Object
    {
        int build = -1;
        QByteArray generation;
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
    static constexpr qint64 maximumSize = 1024 * 1024;

    explicit BuildListing(QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // Looks for the newest published build below `below`; reports with finished().
    void findNewest(const BuildSeries &series, int below);

    static QUrl address(const BuildSeries &series, int below, const QString &pageToken = {});
    static Page parse(const QByteArray &json, const BuildSeries &series, int below);

signals:
    // answered is false when the listing could not be read; newest.build is -1 when it
    // holds no published build in the window.
    void finished(bool answered, const BuildListing::Object &newest);

private:
    void request(const QString &pageToken);

    TextFetch *m_fetch;
    BuildSeries m_series;
    int m_below = -1;
    bool m_secondPage = false;
};
