#include "common/networkaccess.h"

#include <QNetworkAccessManager>
#include <QQmlEngine>

QNetworkAccessManager *NetworkAccess::managerFor(QObject *element)
{
    if (QQmlEngine *engine = qmlEngine(element))
        return engine->networkAccessManager();
    return new QNetworkAccessManager(element);
}
