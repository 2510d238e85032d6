#include "tray/systemtrayicon.h"

#include "common/appidentity.h"
#include "common/endpoints.h"
#include "settings/config.h"
#include "tray/fileiconengine.h"
#include "tray/runatlogon.h"
#include "tray/versionfile.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QIcon>
#include <QMenu>

#include <algorithm>

namespace {
// Qt draws a balloon of its own only where the desktop offers no other way (the X tray
// protocol), and shows it at once.
bool ownBalloonShown()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(), [](const QWidget *window) {
        return window->isVisible() && window->inherits("QBalloonTip");
    });
}

// Elsewhere an empty message would be sent on as a notification.
void takeDownOwnBalloon(QSystemTrayIcon *icon)
{
    if (ownBalloonShown())
        icon->showMessage(QString(), QString()); // nothing to show: only hides the balloon
}
} // namespace

SystemTrayIcon::SystemTrayIcon(QObject *parent)
    : SystemTrayIcon(30000, parent)
{
}

SystemTrayIcon::SystemTrayIcon(int versionTimeout, QObject *parent)
    : SystemTrayIcon(versionTimeout, QDBusConnection::sessionBus(), parent)
{
}

SystemTrayIcon::SystemTrayIcon(int versionTimeout, const QDBusConnection &notificationBus,
                               QObject *parent)
    : QObject(parent)
    , m_ownVersion(AppIdentity::version().toUtf8())
    , m_trayMenu(new QMenu) // a menu takes only a widget as parent: released by hand
    , m_trayIcon(new QSystemTrayIcon(this))
    , m_notifier(new DesktopNotifier(notificationBus, this))
    , m_versionFetch(new TextFetch(VersionFile::maximumSize, versionTimeout, this))
{
    connect(m_versionFetch, &TextFetch::finished, this, &SystemTrayIcon::versionFileLoaded);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &SystemTrayIcon::trayIconAction);
    connect(m_trayIcon, &QSystemTrayIcon::messageClicked, this, &SystemTrayIcon::messageAction);
    connect(m_notifier, &DesktopNotifier::activated, this, [this](DesktopNotifier::Kind kind) {
        emit messageClicked(kind == DesktopNotifier::Kind::Update);
    });
    connect(m_notifier, &DesktopNotifier::actionChosen, this, &SystemTrayIcon::messageActionChosen);
    // A notice's button stands for the tray menu entry of the same name, and does what it does.
    connect(this, &SystemTrayIcon::messageActionChosen, this,
            [this](const QString &action) { emit menuItemClicked(action, false); });
    connect(m_notifier, &DesktopNotifier::undelivered, this, &SystemTrayIcon::showBalloon);
    m_trayIcon->setContextMenu(m_trayMenu);
    connect(m_trayMenu, &QMenu::triggered, this, &SystemTrayIcon::trayMenuAction);
    // Qt's own balloon takes any press on the icon for a click on the balloon, so the
    // right-click that opens this menu would also open the window. The balloon goes first.
    connect(m_trayMenu, &QMenu::aboutToShow, this, [this] { takeDownOwnBalloon(m_trayIcon); });

    // First start: register to run at logon before anything else talks to the world. Later
    // starts bring the entry up to date with where the program now lives.
    if (!Config::contains(Config::RunOnStartup))
        runOnStartup(true);
    else if (Config::get(Config::RunOnStartup).toBool())
        RunAtLogon::refresh(QCoreApplication::applicationFilePath());
    // Unless whoever made the element starts it sooner.
    QMetaObject::invokeMethod(this, &SystemTrayIcon::checkForUpdate, Qt::QueuedConnection);
}

SystemTrayIcon::~SystemTrayIcon()
{
    setVisible(false);
    m_trayMenu->deleteLater();
}

void SystemTrayIcon::setIconSource(const QString &iconSource)
{
    if (iconSource == m_iconSource)
        return;
    m_iconSource = iconSource;
    // The installed theme's icon of the program's id, crisp at every size; the picture named
    // here where no theme has it. No source still means no icon.
    m_trayIcon->setIcon(
        m_iconSource.isEmpty()
            ? QIcon()
            : QIcon::fromTheme(AppIdentity::id(), FileIconEngine::icon(m_iconSource)));
    applyVisibility();
    emit iconSourceChanged(m_iconSource);
}

void SystemTrayIcon::setVisible(bool visible)
{
    if (visible == m_visible)
        return;
    m_visible = visible;
    applyVisibility();
    emit visibleChanged(m_visible);
}

void SystemTrayIcon::applyVisibility()
{
    // The view may assign visible before iconSource; an icon without a picture is not shown
    // until it has one.
    m_trayIcon->setVisible(m_visible && !m_trayIcon->icon().isNull());
}

void SystemTrayIcon::setToolTip(const QString &toolTip)
{
    if (toolTip == m_toolTip)
        return;
    m_toolTip = toolTip;
    m_trayIcon->setToolTip(m_toolTip);
    emit toolTipChanged(m_toolTip);
}

void SystemTrayIcon::setMenu(const QVariantList &menu)
{
    // Every assignment rebuilds and notifies, the same list included.
    m_menu = menu;
    m_trayMenu->clear();
    for (const QVariant &entry : std::as_const(m_menu)) {
        const QVariantMap map = entry.toMap();
        if (map.value(QStringLiteral("name")).toString() == QLatin1String("separator")) {
            m_trayMenu->addSeparator();
            continue;
        }
        QAction *action = m_trayMenu->addAction(map.value(QStringLiteral("label")).toString());
        // A click is told by the entry's name: labels are translated and may repeat.
        action->setData(map.value(QStringLiteral("name")));
        if (map.value(QStringLiteral("default")).toBool())
            m_trayMenu->setDefaultAction(action);
        if (map.value(QStringLiteral("checkable")).toBool()) {
            action->setCheckable(true);
            action->setChecked(map.value(QStringLiteral("checked")).toBool());
        }
    }
    emit menuChanged(m_menu);
}

void SystemTrayIcon::trayMenuAction(QAction *action)
{
    emit menuItemClicked(action->data().toString(), action->isChecked());
}

void SystemTrayIcon::defaultMenuAction()
{
    if (QAction *action = m_trayMenu->defaultAction())
        action->activate(QAction::Trigger);
}

void SystemTrayIcon::trayIconAction(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        emit trayIconClicked();
        break;
    case QSystemTrayIcon::DoubleClick:
        emit trayIconDoubleClicked();
        break;
    case QSystemTrayIcon::MiddleClick:
        emit trayIconMiddleClicked();
        break;
    case QSystemTrayIcon::Context:
        emit trayIconRightClicked();
        break;
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void SystemTrayIcon::showMessage(const QString &messageText, const QString &title,
                                 SystemTrayIcon::MessageType type, int timeout,
                                 const QString &action, const QString &actionLabel,
                                 const QStringList &moreActions)
{
    // Plain messages tell the state of the work and follow one another; warnings are failures
    // the user should get to read.
    const bool alert = type == WarningMessage || type == CriticalMessage;
    notify({ alert ? DesktopNotifier::Kind::Alert : DesktopNotifier::Kind::Status, title,
             messageText, QSystemTrayIcon::MessageIcon(type), timeout, action, actionLabel,
             moreActions });
}

void SystemTrayIcon::notify(const DesktopNotifier::Notice &notice)
{
    if (!m_notifier->notify(notice))
        showBalloon(notice);
}

void SystemTrayIcon::showBalloon(const DesktopNotifier::Notice &notice)
{
    // Qt shows one balloon at a time, and the next takes its place: information does not take
    // an unanswered question's, it is told as a lost notice is.
    const bool overQuestion = !notice.question() && m_balloonQuestion && ownBalloonShown();
    if (QSystemTrayIcon::supportsMessages() && !overQuestion) {
        m_trayIcon->showMessage(notice.title, notice.text, notice.icon, notice.timeout);
        // A click concerns the last one.
        m_updateMessageShown = notice.kind == DesktopNotifier::Kind::Update;
        // A click cannot tell one answer from another: it chooses none.
        m_balloonAction = notice.moreActions.isEmpty() ? notice.action : QString();
        m_balloonQuestion = notice.question();
    }
#ifndef Q_OS_WIN
    // For an icon in a D-Bus tray Qt's balloon is a call to the same notification service
    // that just failed us, and without a tray nothing shows it at all. A failure or an update
    // lost so must still reach the user; a status notice needs no keeping, the status line
    // tells the state itself.
    if ((overQuestion || !ownBalloonShown()) && notice.kind != DesktopNotifier::Kind::Status)
        emit messageLost(notice.text);
#endif
}

void SystemTrayIcon::messageAction()
{
    if (!m_balloonAction.isEmpty()) {
        emit messageActionChosen(m_balloonAction);
        return;
    }
    emit messageClicked(m_updateMessageShown);
}

void SystemTrayIcon::runOnStartup(bool enabled)
{
    Config::set(Config::RunOnStartup, enabled);
    RunAtLogon::setEnabled(enabled, QCoreApplication::applicationFilePath());
}

void SystemTrayIcon::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_versionFetch->setNetworkAccessManager(manager);
}

void SystemTrayIcon::checkForUpdate()
{
    // Once per run.
    if (m_versionCheckStarted)
        return;
    m_versionCheckStarted = true;
    QUrl url = Endpoints::maker();
    url.setPath(QStringLiteral("/tarrowin/latest_version"));
    m_versionFetch->get(url);
}

void SystemTrayIcon::versionFileLoaded(const TextFetch::Result &result)
{
    if (!VersionFile::isNewer(result.body, m_ownVersion))
        return;

    m_updateAvailable = true;
    emit updateAvailableChanged(true);
    notify({ DesktopNotifier::Kind::Update, tr("Update available"),
             tr("There is a new version of Tarrowin available."), QSystemTrayIcon::Information,
             10000, QString(), QString(), QStringList() });
}
