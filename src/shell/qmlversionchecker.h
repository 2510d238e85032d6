#pragma once

#include "builds/versionchecker.h"

#include <QQmlParserStatus>

// The checker as the view makes it: through the engine's one network manager, and with its
// first check sent as soon as QML has made it, before the rest of the view is built.
class QmlVersionChecker : public VersionChecker, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)

public:
    explicit QmlVersionChecker(QObject *parent = nullptr);

    void classBegin() override;
    void componentComplete() override { }
};
