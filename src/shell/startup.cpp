#include "shell/startup.h"

#include "browser/browserrelaunch.h"
#include "browser/profilecopy.h"
#include "browser/profileguard.h"
#include "browser/sandboxcheck.h"
#include "browser/sandboxguard.h"
#include "builds/buildlistmodel.h"
#include "common/appidentity.h"
#include "common/endpoints.h"
#include "common/tlstrust.h"
#include "settings/config.h"
#include "settings/settings.h"
#include "shell/bisectactions.h"
#include "shell/buildactions.h"
#include "shell/commandline.h"
#include "shell/objectgroup.h"
#include "shell/qmlchromedownloader.h"
#include "shell/qmlsystemtrayicon.h"
#include "shell/qmlversionchecker.h"
#include "shell/windowhost.h"
#include "transfer/proxiedmanager.h"
#include "tray/meteredconnection.h"
#include "tray/powersupply.h"
#include "tray/proxyprompt.h"
#include "update/bisectrange.h"
#include "update/updateloop.h"
#include "update/updatenotifier.h"
#include "update/updatewords.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQmlNetworkAccessManagerFactory>
#include <QThread>
#include <QThreadPool>
#include <QTranslator>

namespace {
constexpr int poolThreadExpiry = 1000;

// The engine's network managers, for every request the view's elements make.
class ProxiedManagerFactory : public QQmlNetworkAccessManagerFactory
{
public:
    ProxiedManagerFactory(const QString &configured, const ProxyChoice::Environment &environment)
        : m_configured(configured)
        , m_environment(environment)
    {
    }
    QNetworkAccessManager *create(QObject *parent) override
    {
        auto *manager = new ProxiedManager(m_configured, m_environment, parent);
        // The engine's own manager, which checks and downloads use, asks the person; those
        // of the image reader's threads cannot reach the question and fail at a 407.
        if (m_prompt && m_prompt->thread() == QThread::currentThread())
            manager->setAuthenticator(m_prompt);
        return manager;
    }
    void setPrompt(ProxyPrompt *prompt) { m_prompt = prompt; }

private:
    const QString m_configured;
    const ProxyChoice::Environment m_environment;
    QPointer<ProxyPrompt> m_prompt;
};

// "1 step", "2 steps": the texts tr() counts with %n have one form in the source, English's
// two come compiled in. Once, however often the identity is set.
void installPlurals()
{
    QCoreApplication *app = QCoreApplication::instance();
    const QString name = QStringLiteral("tarrowinPlurals");
    if (!app || app->findChild<QTranslator *>(name, Qt::FindDirectChildrenOnly))
        return;
    auto *plurals = new QTranslator(app);
    plurals->setObjectName(name);
    if (plurals->load(QStringLiteral(":/translations/tarrowin_en.qm")))
        QCoreApplication::installTranslator(plurals);
    else
        qWarning("The English plural forms are missing from the program");
}

} // namespace

ProxyPrompt *Startup::useNetworkSettings(QQmlEngine *engine)
{
    TlsTrust::trustExtraCertificates(Config::get(Config::CaCertificates).toString());
    const QString configured = Config::get(Config::Proxy).toString();
    const ProxyChoice::Environment environment = ProxyChoice::environment();
    // Any other manager asks the same choice; refused, its requests fail without going direct.
    QNetworkProxyFactory::setApplicationProxyFactory(new ProxyChoice(configured, environment));
    // Made once, for the one engine; it outlives it.
    static ProxiedManagerFactory factory(configured, environment);
    // One question for the engine's managers; the window shows it.
    auto *prompt = new ProxyPrompt(engine);
    factory.setPrompt(prompt);
    engine->setNetworkAccessManagerFactory(&factory);
    return prompt;
}

void Startup::setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmarsh"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("quillmarsh.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarrowin"));
    // The one version CMake hands in: --version prints it, the self-update compares with it.
    QCoreApplication::setApplicationVersion(AppIdentity::version());
    // Ties the windows to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(AppIdentity::id());
    installPlurals();
}

// The view hands the downloader's status, the notifier's notice types and the sandbox guard's
// restriction across as they are.
static_assert(int(UpdateLoop::Idle) == int(ChromeDownloader::IdleStatus)
              && int(UpdateLoop::Downloading) == int(ChromeDownloader::DownloadingStatus)
              && int(UpdateLoop::Installing) == int(ChromeDownloader::InstallingStatus));
static_assert(int(UpdateNotifier::InfoNotice) == int(SystemTrayIcon::InfoMessage)
              && int(UpdateNotifier::WarningNotice) == int(SystemTrayIcon::WarningMessage));
static_assert(int(UpdateNotifier::AppArmorRestriction) == int(SandboxCheck::Restriction::AppArmor)
              && int(UpdateNotifier::UsernsCloneOff) == int(SandboxCheck::Restriction::UsernsClone)
              && int(UpdateNotifier::NoUserNamespaces)
                  == int(SandboxCheck::Restriction::MaxUserNamespaces));

void Startup::registerTypes()
{
    const char *uri = "Tarrowin";
    qmlRegisterType<QmlVersionChecker>(uri, 1, 0, "VersionChecker");
    qmlRegisterType<QmlChromeDownloader>(uri, 1, 0, "ChromeDownloader");
    qmlRegisterType<QmlSystemTrayIcon>(uri, 1, 0, "SystemTrayIcon");
    qmlRegisterType<Settings>(uri, 1, 0, "Settings");
    qmlRegisterType<UpdateLoop>(uri, 1, 0, "UpdateLoop");
    qmlRegisterType<UpdateNotifier>(uri, 1, 0, "UpdateNotifier");
    qmlRegisterType<UpdateWords>(uri, 1, 0, "UpdateWords");
    qmlRegisterType<MeteredConnection>(uri, 1, 0, "MeteredConnection");
    qmlRegisterType<PowerSupply>(uri, 1, 0, "PowerSupply");
    qmlRegisterUncreatableType<ProxyPrompt>(uri, 1, 0, "ProxyPrompt",
                                            QStringLiteral("The program makes the one there is"));
    qmlRegisterType<SandboxGuard>(uri, 1, 0, "SandboxGuard");
    qmlRegisterType<BrowserRelaunch>(uri, 1, 0, "BrowserRelaunch");
    qmlRegisterType<ProfileGuard>(uri, 1, 0, "ProfileGuard");
    qmlRegisterType<ProfileCopy>(uri, 1, 0, "ProfileCopy");
    qmlRegisterType<BuildListModel>(uri, 1, 0, "BuildListModel");
    qmlRegisterType<BuildActions>(uri, 1, 0, "BuildActions");
    qmlRegisterType<BisectActions>(uri, 1, 0, "BisectActions");
    qmlRegisterUncreatableMetaObject(BisectRange::staticMetaObject, uri, 1, 0, "BisectRange",
                                     QStringLiteral("BisectRange only names the verdicts"));
    qmlRegisterType<ObjectGroup>(uri, 1, 0, "ObjectGroup");
}

void Startup::releaseAfterWork(WindowHost *host)
{
    // Pool threads (unpacking, copies, Qt's own image work) end a second after their last
    // task, not 30 s: one still finishing its task when the work is reported ended is past
    // the hand-back's reach, and would wait half a minute with its stack and heap.
    QThreadPool::globalInstance()->setExpiryTimeout(poolThreadExpiry);
    const QObject *root = host->rootObject();
    if (!root)
        return;
    // Start-up ends with the first check's answer; loading the view, compiling and checking
    // leave garbage behind that a program waiting in the tray need not keep.
    if (auto *checker = root->findChild<VersionChecker *>())
        QObject::connect(checker, &VersionChecker::latestBuildChanged, host,
                         &WindowHost::releaseIdleResources,
                         Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    // So does every download and installation, successful or not.
    if (auto *downloader = root->findChild<ChromeDownloader *>())
        QObject::connect(downloader, &ChromeDownloader::workEnded, host,
                         &WindowHost::releaseIdleResources, Qt::QueuedConnection);
}

std::unique_ptr<WindowHost> Startup::createMainWindow(const QStringList &arguments)
{
    // Closing the window only hides it while the program lives on in the tray; without a
    // tray the window host ends the program itself.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    auto host = std::make_unique<WindowHost>();
    setApplicationIdentity();
    registerTypes();
    ProxyPrompt *prompt = useNetworkSettings(host->engine());
    // The maker's pages come from the one place that holds the servers' addresses.
    QUrl update = Endpoints::maker();
    update.setPath(QStringLiteral("/download/Tarrowin.exe"));
    host->loadMainFile(QUrl(QStringLiteral("qrc:/qml/main.qml")),
                       { { QStringLiteral("siteAddress"), Endpoints::maker() },
                         { QStringLiteral("updateAddress"), update },
                         { QStringLiteral("proxyPrompt"), QVariant::fromValue(prompt) } });
    releaseAfterWork(host.get());
    // Without a tray a tray start would leave the program out of reach.
    if (!CommandLine::isTrayStart(arguments) || !host->trayAvailable())
        host->showAtStartupPosition();
    return host;
}
