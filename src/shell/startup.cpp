#include "shell/startup.h"

#include "builds/chromedownloader.h"
#include "builds/versionchecker.h"
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
    // Closing the window only hides it; the program lives on in the tray.
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
    if (!CommandLine::isTrayStart(arguments))
        viewer->showAtStartupPosition();
    return viewer;
}
