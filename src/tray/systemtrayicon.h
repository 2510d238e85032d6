#pragma once

#include "common/textfetch.h"
#include "tray/desktopnotifier.h"

#include <QObject>
#include <QSystemTrayIcon>
#include <QVariantList>

class QAction;
class QDBusConnection;
class QMenu;
class QNetworkAccessManager;

// The program's presence in the notification area: icon, tool tip, a context menu built
// from a list of maps, balloon messages, and the announcement of a newer version of the
// program. Also registers the program to run at logon.
class SystemTrayIcon : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString iconSource READ iconSource WRITE setIconSource NOTIFY iconSourceChanged)
    Q_PROPERTY(bool visible READ visible WRITE setVisible NOTIFY visibleChanged)
    Q_PROPERTY(QVariantList menu READ menu WRITE setMenu NOTIFY menuChanged)
    Q_PROPERTY(QString toolTip READ toolTip WRITE setToolTip NOTIFY toolTipChanged)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)

public:
    enum MessageType { InfoMessage = 1, WarningMessage = 2, CriticalMessage = 3, OtherMessage = 0 };
    Q_ENUM(MessageType)

    explicit SystemTrayIcon(QObject *parent = nullptr);
    // versionTimeout: how long the version file may go without traffic before it is given up.
    explicit SystemTrayIcon(int versionTimeout, QObject *parent = nullptr);
    // notificationBus: where the desktop's notification service is looked for (the session
    // bus for the two above); without one, Qt's own balloons show the messages.
    SystemTrayIcon(int versionTimeout, const QDBusConnection &notificationBus,
                   QObject *parent = nullptr);
    ~SystemTrayIcon() override;

    QString iconSource() const { return m_iconSource; }
    void setIconSource(const QString &iconSource);
    bool visible() const { return m_visible; }
    void setVisible(bool visible);
    QVariantList menu() const { return m_menu; }
    void setMenu(const QVariantList &menu);
    QString toolTip() const { return m_toolTip; }
    void setToolTip(const QString &toolTip);
    bool updateAvailable() const { return m_updateAvailable; }

    Q_INVOKABLE void defaultMenuAction();
    // action and actionLabel: a button on the notice, told through messageActionChosen; a
    // balloon, which has no buttons, does it when clicked. moreActions: further buttons, as
    // pairs of name and label; a balloon cannot offer the choice, and a click on it only
    // opens the window.
    Q_INVOKABLE void showMessage(const QString &messageText, const QString &title = QString(),
                                 SystemTrayIcon::MessageType type = OtherMessage,
                                 int timeout = 10000, const QString &action = QString(),
                                 const QString &actionLabel = QString(),
                                 const QStringList &moreActions = QStringList());
    Q_INVOKABLE void runOnStartup(bool enabled);

    // The manager the version file is fetched through; without one the element makes its own.
    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // Asks the maker's site for its newest version, once per run: at once from here, or else
    // from the event loop.
    void checkForUpdate();

signals:
    void iconSourceChanged(const QString &iconSource);
    void visibleChanged(bool visible);
    void menuChanged(const QVariantList &menu);
    void toolTipChanged(const QString &toolTip);
    void updateAvailableChanged(bool updateAvailable);
    void trayIconClicked();
    void trayIconDoubleClicked();
    void trayIconMiddleClicked();
    void trayIconRightClicked();
    void menuItemClicked(const QString &itemName, bool checked);
    void messageClicked(bool updateReason);
    // A failure or update notice that nothing could show.
    void messageLost(const QString &text);
    void messageActionChosen(const QString &action);

private slots:
    void trayIconAction(QSystemTrayIcon::ActivationReason reason);
    void trayMenuAction(QAction *action);
    void messageAction();

private:
    void applyVisibility();
    void versionFileLoaded(const TextFetch::Result &result);
    // Through the desktop's notification service, or else as Qt's balloon.
    void notify(const DesktopNotifier::Notice &notice);
    void showBalloon(const DesktopNotifier::Notice &notice);

    const QByteArray m_ownVersion;
    QString m_iconSource;
    bool m_visible = false;
    QVariantList m_menu;
    QMenu *m_trayMenu;
    QString m_toolTip;
    bool m_updateAvailable = false;
    bool m_updateMessageShown = false;
    QString m_balloonAction;
    bool m_balloonQuestion = false;
    QSystemTrayIcon *m_trayIcon;
    DesktopNotifier *m_notifier;
    TextFetch *m_versionFetch;
    bool m_versionCheckStarted = false;
};
