#include "shell/qmlchromedownloader.h"

#include <QQmlEngine>

QmlChromeDownloader::QmlChromeDownloader(QObject *parent)
    : ChromeDownloader(parent)
{
}

void QmlChromeDownloader::classBegin()
{
    QQmlEngine *engine = qmlEngine(this);
    setNetworkAccessManager(engine->networkAccessManager());
    connect(this, &ChromeDownloader::workEnded, engine, &QQmlEngine::collectGarbage);
}
