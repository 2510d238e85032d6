#pragma once

#include "builds/chromedownloader.h"

#include <QQmlParserStatus>

// The downloader as the view makes it: downloads share the engine's network manager, and so
// may reuse the connection that fetched LAST_CHANGE; the view's script garbage is collected
// whenever an update ends.
class QmlChromeDownloader : public ChromeDownloader, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)

public:
    explicit QmlChromeDownloader(QObject *parent = nullptr);

    void classBegin() override;
    void componentComplete() override { }
};
