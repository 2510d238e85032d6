#include "shell/qmlversionchecker.h"

#include "update/checkschedule.h"

#include <QQmlEngine>

QmlVersionChecker::QmlVersionChecker(QObject *parent)
    : VersionChecker(parent)
{
}

void QmlVersionChecker::classBegin()
{
    setNetworkAccessManager(qmlEngine(this)->networkAccessManager());
    // The view's update loop asks for the first check, within a minute of the start, where
    // checks are spread out.
    if (CheckSchedule::spreading())
        leaveFirstCheckToCaller();
    else
        startFirstCheck();
}
