#include "shell/qmain.h"

#include "browser/browserlauncher.h"
#include "browser/profileguard.h"
#include "builds/leftovers.h"
#include "install/installroot.h"
#include "install/rootlock.h"
#include "shell/commandline.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/singleinstance.h"
#include "shell/startup.h"
#include "shell/unixsignals.h"

#include <QApplication>
#include <QDir>
#include <QPointer>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>

#include <cstdio>
#include <memory>
#include <utility>

namespace {

// The view's own entry points, so a request from outside takes the same path as the
// tray menu's.
void invokeOnView(const QPointer<QQuickItem> &root, const char *function)
{
    if (root)
        QMetaObject::invokeMethod(root, function);
}

// The program's arguments as the command line gave them, before Qt takes its own out.
QStringList rawArguments(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

} // namespace

int qMain(int argc, char *argv[])
{
    // --help and --version answer first: without a display, and before anything writes a
    // setting, takes the single-instance lock, cleans up or registers to run at logon.
    const CommandLine::Request request = CommandLine::request(rawArguments(argc, argv));
    if (request == CommandLine::Request::ProtectProfile) {
        // For the launcher, which waits for it: Qt Core alone, no display, no lock.
        const QCoreApplication core(argc, argv);
        Startup::setApplicationIdentity();
        const QString profile = CommandLine::profileToProtect(rawArguments(argc, argv));
        if (QDir::isAbsolutePath(profile))
            ProfileGuard::protect(InstallRoot(InstallRoot::defaultPath()),
                                  QDir::cleanPath(profile));
        return 0;
    }
    if (request != CommandLine::Request::Run) {
        const QCoreApplication core(argc, argv);
        Startup::setApplicationIdentity();
        std::fputs(CommandLine::text(request).toLocal8Bit().constData(), stdout);
        return 0;
    }

    // The software renderer costs a fraction of the GL path's memory and start-up time,
    // which matters for a program that sits in the tray all day. It must be chosen before
    // any window exists.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    auto app = std::make_unique<QApplication>(argc, argv);
    // The runtime and data locations depend on the application's identity.
    Startup::setApplicationIdentity();
    const QStringList arguments = QCoreApplication::arguments();

    // Owned by the application, so the lock is held until everything else has gone,
    // including a download's clean-up.
    auto *instance = new SingleInstance(SingleInstance::defaultDirectory(), app.get());
    if (!instance->acquire()) {
        // Another instance runs: it does the work, this start only passes on its request.
        if (!CommandLine::isTrayStart(arguments))
            instance->notifyRunning();
        return 0;
    }
    auto *unixSignals = new UnixSignals(app.get());
    // Sessions of the same user with different runtime directories share the install root:
    // its own lock, held until the end, keeps their downloads from each other's sweeps.
    // It is taken whether or not the session lock could be: it alone guards the root.
    const InstallRoot installRoot(InstallRoot::defaultPath());
    RootLock rootLock(installRoot.path());
    rootLock.sweepIfAlone([&installRoot] { installRoot.removeLeftoverStaging(); });
    if (instance->isLocked())
        Leftovers::removeTemporaryDirectories();

    auto viewer = Startup::createMainWindow(arguments);
    // The profile may have been chosen anew, or the launcher may come from an older Tarrowin.
    // Rewriting the launcher and its menu entry waits for the disk twice: a window shown at
    // start is drawn first (or hidden before it ever was), a tray start sends its first
    // requests first.
    const auto refreshLauncher = [installRoot, done = std::make_shared<bool>(false)] {
        if (!std::exchange(*done, true))
            BrowserLauncher::refresh(installRoot);
    };
    if (viewer->isVisible()) {
        QObject::connect(viewer.get(), &QQuickWindow::frameSwapped, app.get(), refreshLauncher,
                         Qt::SingleShotConnection);
        QObject::connect(viewer.get(), &QWindow::visibleChanged, app.get(), refreshLauncher,
                         Qt::SingleShotConnection);
    } else {
        QMetaObject::invokeMethod(app.get(), refreshLauncher, Qt::QueuedConnection);
    }
    const QPointer<QQuickItem> root = viewer->rootObject();
    QObject::connect(instance, &SingleInstance::showRequested, app.get(),
                     [root] { invokeOnView(root, "openWindow"); });
    // Ends the way Exit does (an installation under way finishes first); the successor
    // starts once this instance has let go of the single-instance lock.
    bool handOver = false;
    QObject::connect(viewer.get(), &QmlApplicationViewer::freshStartNeeded, app.get(),
                     [root, &handOver] {
                         // A panel that restarts while an installation is let finish asks
                         // again: that is no second Exit, which would quit at once.
                         if (std::exchange(handOver, true))
                             return;
                         invokeOnView(root, "exitProgram");
                     });
    QObject::connect(unixSignals, &UnixSignals::terminationRequested, app.get(), [root] {
        if (root)
            invokeOnView(root, "exitProgram");
        else
            QCoreApplication::quit();
    });
    const int result = QApplication::exec();

    viewer.reset();
    if (handOver) {
        instance->release();
        if (!QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments.mid(1)))
            qWarning("Cannot start Tarrowin again to move into the tray");
    }
    // Objects released with deleteLater during teardown (the tray menu, replies) go now,
    // while the application they belong to still exists.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    app.reset();
    return result;
}
