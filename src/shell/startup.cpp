#include "shell/startup.h"

#include "builds/chromedownloader.h"
#include "builds/versionchecker.h"
#include "common/appidentity.h"
#include "common/endpoints.h"
#include "settings/settings.h"
#include "shell/commandline.h"
#include "shell/qmlapplicationviewer.h"
#include "tray/systemtrayicon.h"

#include <QGuiApplication>
#include <QQmlEngine>

void Startup::setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmarsh"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("quillmarsh.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarrowin"));
    // The one version CMake hands in: --version prints it, the self-update compares with it.
    QCoreApplication::setApplicationVersion(AppIdentity::version());
    // Ties the windows to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(AppIdentity::id());
}

void Startup::registerTypes()
{
    const char *uri = "Tarrowin";
    qmlRegisterType<VersionChecker>(uri, 1, 0, "VersionChecker");
    qmlRegisterType<ChromeDownloader>(uri, 1, 0, "ChromeDownloader");
    qmlRegisterType<SystemTrayIcon>(uri, 1, 0, "SystemTrayIcon");
    qmlRegisterType<Settings>(uri, 1, 0, "Settings");
}

std::unique_ptr<QmlApplicationViewer> Startup::createMainWindow(const QStringList &arguments)
{
    // Closing the window only hides it while the program lives on in the tray; without a
    // tray the window host ends the program itself.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    auto viewer = std::make_unique<QmlApplicationViewer>();
    setApplicationIdentity();
    registerTypes();
    // The maker's pages come from the one place that holds the servers' addresses.
    QUrl update = Endpoints::maker();
    update.setPath(QStringLiteral("/download/Tarrowin.exe"));
    viewer->setInitialProperties({ { QStringLiteral("siteAddress"), Endpoints::maker() },
                                   { QStringLiteral("updateAddress"), update } });
    viewer->loadMainFile(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    // Without a tray a tray start would leave the program out of reach.
    if (!CommandLine::isTrayStart(arguments) || !viewer->trayAvailable())
        viewer->showAtStartupPosition();
    return viewer;
}
