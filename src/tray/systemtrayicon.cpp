#include "tray/systemtrayicon.h"

#include "common/endpoints.h"
#include "tray/runatlogon.h"
#include "tray/versionfile.h"

#include <QCoreApplication>
#include <QIcon>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>

namespace {
const QString runOnStartupKey = QStringLiteral("RunOnStartup");
}

SystemTrayIcon::SystemTrayIcon(QObject *parent)
    : SystemTrayIcon(30000, parent)
{
}

SystemTrayIcon::SystemTrayIcon(int versionTimeout, QObject *parent)
    : QObject(parent)
    , m_ownVersion("0.1.2")
    , m_trayMenu(new QMenu) // a menu takes only a widget as parent: released by hand
    , m_trayIcon(new QSystemTrayIcon(this))
    , m_networkManager(new QNetworkAccessManager(this))
    , m_versionTimeout(versionTimeout)
{
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &SystemTrayIcon::trayIconAction);
    connect(m_trayIcon, &QSystemTrayIcon::messageClicked, this, &SystemTrayIcon::messageAction);
    m_trayIcon->setContextMenu(m_trayMenu);
    connect(m_trayMenu, &QMenu::triggered, this, &SystemTrayIcon::trayMenuAction);

    // First start: register to run at logon before anything else talks to the world.
    if (!QSettings().contains(runOnStartupKey))
        runOnStartup(true);
    checkForUpdate();
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
    m_trayIcon->setIcon(QIcon(m_iconSource));
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
    // An item keeps nothing of its entry but its text, so the first entry with that label
    // (separators included) names it.
    const QString text = action->text();
    for (const QVariant &entry : std::as_const(m_menu)) {
        const QVariantMap map = entry.toMap();
        if (map.value(QStringLiteral("label")).toString() == text) {
            emit menuItemClicked(map.value(QStringLiteral("name")).toString(), action->isChecked());
            return;
        }
    }
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
                                 SystemTrayIcon::MessageType type, int timeout)
{
    if (!QSystemTrayIcon::supportsMessages())
        return;
    m_trayIcon->showMessage(title, messageText, QSystemTrayIcon::MessageIcon(type), timeout);
    m_updateMessageShown = false;
}

void SystemTrayIcon::messageAction()
{
    emit messageClicked(m_updateMessageShown);
}

void SystemTrayIcon::runOnStartup(bool enabled)
{
    QSettings().setValue(runOnStartupKey, enabled);
    RunAtLogon::setEnabled(enabled, QCoreApplication::applicationFilePath());
}

void SystemTrayIcon::checkForUpdate()
{
    QUrl url = Endpoints::maker();
    url.setPath(QStringLiteral("/tarrowin/latest_version"));
    QNetworkRequest request(url);
    request.setTransferTimeout(m_versionTimeout);
    m_versionReply = m_networkManager->get(request);
    m_versionReply->setReadBufferSize(VersionFile::maximumSize + 1);
    connect(m_versionReply, &QNetworkReply::finished, this, &SystemTrayIcon::fileLoadFinished);
    connect(m_versionReply, &QNetworkReply::readyRead, this, &SystemTrayIcon::fileLoadRead);
}

void SystemTrayIcon::fileLoadRead()
{
    m_versionText += m_versionReply->readAll();
    if (m_versionText.size() > VersionFile::maximumSize) {
        m_versionFailed = true;
        m_versionReply->abort();
    }
}

void SystemTrayIcon::fileLoadFinished()
{
    QNetworkReply *reply = m_versionReply;
    if (!reply || sender() != reply)
        return;
    // An error page or a cut-off body names no version, whatever it reads like.
    if (reply->error() != QNetworkReply::NoError)
        m_versionFailed = true;
    if (!m_versionFailed)
        fileLoadRead();
    m_versionReply = nullptr;
    reply->deleteLater();

    const QByteArray text = m_versionFailed ? QByteArray() : m_versionText;
    m_versionText.clear();
    if (!VersionFile::isNewer(text, m_ownVersion))
        return;

    m_updateAvailable = true;
    emit updateAvailableChanged(true);
    if (QSystemTrayIcon::supportsMessages()) {
        m_trayIcon->showMessage(QStringLiteral("Update available"),
                                QStringLiteral("There is a new version of Tarrowin available."),
                                QSystemTrayIcon::Information, 10000);
        m_updateMessageShown = true;
    }
}
