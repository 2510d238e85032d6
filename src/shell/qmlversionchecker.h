#pragma once

#include "builds/versionchecker.h"

#include <QQmlParserStatus>

// The checker as the view makes it: through the engine's one network manager, and with its
// first check left to the view's update loop.
class QmlVersionChecker : public VersionChecker, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)

public:
    explicit QmlVersionChecker(QObject *parent = nullptr);

    void classBegin() override;
    void componentComplete() override { }
};
