#include "shell/qmlsystemtrayicon.h"

#include <QQmlEngine>

QmlSystemTrayIcon::QmlSystemTrayIcon(QObject *parent)
    : SystemTrayIcon(parent)
{
}

void QmlSystemTrayIcon::classBegin()
{
    setNetworkAccessManager(qmlEngine(this)->networkAccessManager());
    checkForUpdate();
}
