#include "shell/qmain.h"

#include "browser/browserlauncher.h"
#include "browser/profileguard.h"
#include "browser/steplauncher.h"
#include "builds/leftovers.h"
#include "install/installroot.h"
#include "install/rootlock.h"
#include "shell/bisectjob.h"
#include "shell/buildjob.h"
#include "shell/commandline.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/singleinstance.h"
#include "shell/startup.h"
#include "shell/unixsignals.h"
#include "shell/windowhost.h"

#include <QApplication>
#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QQuickWindow>
#include <QThreadPool>

#include <cstdio>
#include <memory>
#include <utility>

namespace {

// The view's own entry points, so a request from outside takes the same path as the
// tray menu's.
void invokeOnView(const QPointer<QObject> &root, const char *function)
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

// --help, --version and the launcher's --protect-profile: answered with Qt Core alone, without
// a display, and before anything writes a setting, takes the single-instance lock, cleans up
// or registers to run at logon.
int answerWithoutWindow(CommandLine::Request request, int &argc, char *argv[])
{
    const QCoreApplication core(argc, argv);
    Startup::setApplicationIdentity();
    if (request == CommandLine::Request::ProtectProfile) {
        // For the launcher, which waits for it: no lock either.
        const QString profile = CommandLine::profileToProtect(rawArguments(argc, argv));
        if (QDir::isAbsolutePath(profile))
            ProfileGuard::protect(InstallRoot(InstallRoot::defaultPath()),
                                  QDir::cleanPath(profile));
        return 0;
    }
    std::fputs(CommandLine::text(request).toLocal8Bit().constData(), stdout);
    return 0;
}

// A script's job ("install-build BUILD", "list-builds" or "bisect RANGE COMMAND", the two
// percent-encoded), here or for a later start that handed it over: its lines go to print, its
// exit code to done.
using Printer = std::function<void(const QString &line, bool error)>;
void runBuildJob(const QByteArray &job, QObject *context, const Printer &print,
                 const std::function<void(int)> &done)
{
    const QByteArray install = QByteArrayLiteral("install-build ");
    const QByteArray bisect = QByteArrayLiteral("bisect ");
    if (job.startsWith(bisect)) {
        const QList<QByteArray> fields = job.mid(bisect.size()).split(' ');
        auto *bisectJob = new BisectJob(context);
        QObject::connect(bisectJob, &BisectJob::output, context, print);
        QObject::connect(bisectJob, &BisectJob::finished, context, [bisectJob, done](int code) {
            bisectJob->deleteLater();
            done(code);
        });
        bisectJob->start(QString::fromUtf8(QByteArray::fromPercentEncoding(fields.value(0))),
                         QString::fromUtf8(QByteArray::fromPercentEncoding(fields.value(1))));
        return;
    }
    if (job != "list-builds" && !job.startsWith(install)) {
        print(QStringLiteral("Unknown job"), true);
        done(2);
        return;
    }
    auto *buildJob = new BuildJob(context);
    QObject::connect(buildJob, &BuildJob::output, context, print);
    QObject::connect(buildJob, &BuildJob::finished, context, [buildJob, done](int exitCode) {
        buildJob->deleteLater();
        done(exitCode);
    });
    if (job.startsWith(install))
        buildJob->start(BuildJob::InstallBuild, QString::fromUtf8(job.mid(install.size())));
    else
        buildJob->start(BuildJob::ListBuilds);
}

// The job the command line asks for, as runBuildJob reads it.
QByteArray jobFor(CommandLine::Request request, const QStringList &arguments)
{
    if (request == CommandLine::Request::InstallBuild)
        return "install-build " + CommandLine::buildWanted(arguments).toUtf8();
    if (request == CommandLine::Request::Bisect)
        return "bisect " + CommandLine::bisectRange(arguments).toUtf8().toPercentEncoding() + ' '
            + CommandLine::bisectCommand(arguments).toUtf8().toPercentEncoding("/");
    return QByteArray("list-builds");
}

// --install-build, --list-builds and --bisect: the running instance does the job when there is
// one; otherwise this start does it alone, without a window and without the update loop.
int answerJob(CommandLine::Request request, int &argc, char *argv[])
{
    const QCoreApplication core(argc, argv);
    Startup::setApplicationIdentity();
    const QByteArray job = jobFor(request, rawArguments(argc, argv));
    const auto print = [](const QString &line, bool error) {
        std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), error ? stderr : stdout);
    };
    SingleInstance instance;
    if (!instance.acquire()) {
        // The channel takes one short line: a job cut short would be another job.
        constexpr int longest = SingleInstance::maximumMessageSize - 5;
        if (job.size() > longest) {
            print(QCoreApplication::translate("BuildJob",
                                              "The request is too long to hand to the running "
                                              "Tarrowin: at most %1 bytes")
                      .arg(longest),
                  true);
            return 1;
        }
        const int exitCode
            = instance.forwardJob(job, [&print](const QByteArray &kind, const QByteArray &text) {
                  print(QString::fromUtf8(text), kind == "err");
              });
        if (exitCode >= 0)
            return exitCode;
    }
    // Not the session: a window started meanwhile must find the lock free.
    instance.release();
    const InstallRoot installRoot(InstallRoot::defaultPath());
    RootLock rootLock(installRoot.path());
    int result = 1;
    runBuildJob(job, QCoreApplication::instance(), print, [&result](int exitCode) {
        result = exitCode;
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    return result;
}

// A job a later start handed over: answered over its connection.
void answerHandedJob(const QByteArray &job, QLocalSocket *reply, QObject *context)
{
    const QPointer<QLocalSocket> client(reply);
    const auto send = [client](const QByteArray &line) {
        if (client)
            client->write(QByteArray(line).replace('\n', ' ') + '\n');
    };
    runBuildJob(
        job, context,
        [send](const QString &line, bool error) {
            send((error ? "err " : "out ") + line.toUtf8());
        },
        [send, client](int exitCode) {
            send("exit " + QByteArray::number(exitCode));
            if (client)
                client->disconnectFromServer();
        });
}

// The profile may have been chosen anew, or the launcher may come from an older Tarrowin.
// Rewriting the launcher and its menu entry waits for the disk twice: a window shown at
// start is drawn first (or hidden before it ever was), a tray start sends its first
// requests first.
void refreshLauncherSoon(const WindowHost *host, QObject *context, const InstallRoot &installRoot)
{
    const auto refreshLauncher = [installRoot, done = std::make_shared<bool>(false)] {
        if (!std::exchange(*done, true))
            BrowserLauncher::refresh(installRoot);
    };
    if (QmlApplicationViewer *viewer = host->window(); viewer && viewer->isVisible()) {
        QObject::connect(viewer, &QQuickWindow::frameSwapped, context, refreshLauncher,
                         Qt::SingleShotConnection);
        QObject::connect(viewer, &QWindow::visibleChanged, context, refreshLauncher,
                         Qt::SingleShotConnection);
    } else {
        QMetaObject::invokeMethod(context, refreshLauncher, Qt::QueuedConnection);
    }
}

// Requests from outside the view (a second start, a tray that needs a fresh start, a
// termination signal) take the view's own paths. *handOver is set when this instance is
// to start its successor once it has ended.
void connectOutsideRequests(SingleInstance *instance, UnixSignals *unixSignals, WindowHost *host,
                            QObject *context, bool *handOver)
{
    const QPointer<QObject> root = host->rootObject();
    QObject::connect(instance, &SingleInstance::showRequested, context,
                     [root] { invokeOnView(root, "openWindow"); });
    QObject::connect(instance, &SingleInstance::jobRequested, context,
                     [context](const QByteArray &job, QLocalSocket *reply) {
                         answerHandedJob(job, reply, context);
                     });
    // Ends the way Exit does (an installation under way finishes first); the successor
    // starts once this instance has let go of the single-instance lock.
    QObject::connect(host, &WindowHost::freshStartNeeded, context, [root, handOver] {
        // A panel that restarts while an installation is let finish asks
        // again: that is no second Exit, which would quit at once.
        if (std::exchange(*handOver, true))
            return;
        invokeOnView(root, "exitProgram");
    });
    QObject::connect(unixSignals, &UnixSignals::terminationRequested, context, [root] {
        if (root)
            invokeOnView(root, "exitProgram");
        else
            QCoreApplication::quit();
    });
}

// The application for a windowed run, with its identity set.
std::unique_ptr<QApplication> createApplication(int &argc, char *argv[])
{
    // The software renderer costs a fraction of the GL path's memory and start-up time,
    // which matters for a program that sits in the tray all day. It must be chosen before
    // any window exists.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    auto app = std::make_unique<QApplication>(argc, argv);
    // The runtime and data locations depend on the application's identity.
    Startup::setApplicationIdentity();
    return app;
}

// Owned by the application, so the lock is held until everything else has gone,
// including a download's clean-up. Null when another instance runs: it does the work, this
// start only passes on its request.
SingleInstance *claimSession(QApplication *app, const QStringList &arguments)
{
    auto *instance = new SingleInstance(SingleInstance::defaultDirectory(), app);
    if (instance->acquire())
        return instance;
    if (!CommandLine::isTrayStart(arguments))
        instance->notifyRunning();
    return nullptr;
}

// The successor takes the session once this instance has let it go.
void startSuccessor(SingleInstance *instance, const QStringList &arguments)
{
    instance->release();
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments.mid(1)))
        qWarning("Cannot start Tarrowin again to move into the tray");
}

} // namespace

int qMain(int argc, char *argv[])
{
    const CommandLine::Request request = CommandLine::request(rawArguments(argc, argv));
    if (request == CommandLine::Request::InstallBuild || request == CommandLine::Request::ListBuilds
        || request == CommandLine::Request::Bisect)
        return answerJob(request, argc, argv);
    if (request != CommandLine::Request::Run)
        return answerWithoutWindow(request, argc, argv);

    auto app = createApplication(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();

    auto *instance = claimSession(app.get(), arguments);
    if (!instance)
        return 0;
    auto *unixSignals = new UnixSignals(app.get());
    // Sessions of the same user with different runtime directories share the install root:
    // its own lock, held until the end, keeps their downloads from each other's sweeps.
    // It is taken whether or not the session lock could be: it alone guards the root.
    const InstallRoot installRoot(InstallRoot::defaultPath());
    RootLock rootLock(installRoot.path());
    rootLock.sweepIfAlone([&installRoot] { installRoot.removeLeftoverStaging(); });
    if (instance->isLocked()) {
        Leftovers::removeTemporaryDirectories();
        // A bisect step's profiles a crash or a quit left: a copy may be large.
        QThreadPool::globalInstance()->start(&StepLauncher::removeLeftovers);
    }

    auto host = Startup::createMainWindow(arguments);
    refreshLauncherSoon(host.get(), app.get(), installRoot);
    bool handOver = false;
    connectOutsideRequests(instance, unixSignals, host.get(), app.get(), &handOver);
    const int result = QApplication::exec();

    host.reset();
    if (handOver)
        startSuccessor(instance, arguments);
    // Objects released with deleteLater during teardown (the tray menu, replies) go now,
    // while the application they belong to still exists.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    app.reset();
    return result;
}
