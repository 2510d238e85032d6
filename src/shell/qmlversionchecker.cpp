#include "shell/qmlversionchecker.h"

#include <QQmlEngine>

QmlVersionChecker::QmlVersionChecker(QObject *parent)
    : VersionChecker(parent)
{
}

void QmlVersionChecker::classBegin()
{
    setNetworkAccessManager(qmlEngine(this)->networkAccessManager());
    startFirstCheck();
}
