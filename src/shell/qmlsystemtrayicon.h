#pragma once

#include "tray/systemtrayicon.h"

#include <QQmlParserStatus>

// The tray icon as the view makes it: its version file goes through the engine's one
// network manager, asked for as soon as QML has made the element.
class QmlSystemTrayIcon : public SystemTrayIcon, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)

public:
    explicit QmlSystemTrayIcon(QObject *parent = nullptr);

    void classBegin() override;
    void componentComplete() override { }
};
