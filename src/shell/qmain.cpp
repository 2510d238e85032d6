#include "shell/qmain.h"

#include "shell/qmlapplicationviewer.h"
#include "shell/startup.h"

#include <QApplication>
#include <QQuickWindow>

int qMain(int argc, char *argv[])
{
    // The software renderer costs a fraction of the GL path's memory and start-up time,
    // which matters for a program that sits in the tray all day. It must be chosen before
    // any window exists.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    auto app = std::make_unique<QApplication>(argc, argv);

    auto viewer = Startup::createMainWindow(QCoreApplication::arguments());
    const int result = QApplication::exec();

    viewer.reset();
    // Objects released with deleteLater during teardown (the tray menu, replies) go now,
    // while the application they belong to still exists.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    app.reset();
    return result;
}
