#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QSystemTrayIcon>

#include <optional>

class QDBusMessage;

// Hands notices to the desktop's notification service (org.freedesktop.Notifications) on a
// bus, so they look, stack and expire like every other program's, and reports clicks on them.
// Whether the bus offers the service is asked without waiting: until the answer is in, a
// notice is tried, and one the service does not take is handed back through undelivered().
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    // What a notice is about decides what it replaces: a status notice the previous status
    // notice ("Downloading ..." gives way to "Installing ..."), the update notice an earlier
    // update notice; an alert (a failure) stands on its own until the user has seen it.
    enum class Kind { Status, Update, Alert };
    Q_ENUM(Kind)

    struct Notice
    {
        Kind kind = Kind::Status;
        QString title;
        QString text;
        QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::NoIcon;
        // Milliseconds; negative leaves it to the service.
        int timeout = -1;
        // A button besides the click on the notice: its name and label; none when empty.
        QString action;
        QString actionLabel;
        // More buttons after it, as pairs of name and label: a question's other answers.
        QStringList moreActions;

        // A notice with a button asks something: it stays until answered, closed or expired.
        bool question() const { return !action.isEmpty(); }
    };

    explicit DesktopNotifier(const QDBusConnection &bus, QObject *parent = nullptr);
    // Closes the notices still open: their buttons would reach no one.
    ~DesktopNotifier() override;

    // False when the bus is known to offer no notification service: the caller shows the
    // notice some other way. True when it was sent or waits for its predecessor's id.
    bool notify(const Notice &notice);

signals:
    // A notice's default action was invoked: the user clicked it.
    void activated(DesktopNotifier::Kind kind);
    // A notice's own action (Notice::action) was chosen.
    void actionChosen(const QString &action);
    // The service did not take a notice that notify() accepted.
    void undelivered(const DesktopNotifier::Notice &notice);

private slots:
    void actionInvoked(uint id, const QString &actionKey);
    void notificationClosed(uint id);

private:
    // The information notices of one replacing kind: the id of the last one shown, and, while
    // its Notify call is unanswered, the newest notice waiting to replace it. A question is in
    // no chain: nothing takes its place, so it is seen until it is answered.
    struct Chain
    {
        uint id = 0;
        bool inFlight = false;
        std::optional<Notice> waiting;
    };

    void probe();
    void send(const Notice &notice);
    void answered(const Notice &notice, const QDBusMessage &reply);
    Chain *chainOf(const Notice &notice);
    // Takes the notice off the screen and forgets it.
    void close(uint id);
    bool offered() const;

    QDBusConnection m_bus;
    std::optional<bool> m_owned;
    std::optional<bool> m_activatable;
    // Until the service says otherwise it is taken to render markup in bodies, as the common
    // ones do; the text is escaped for it.
    bool m_bodyMarkup = true;
    Chain m_status;
    Chain m_update;
    // Notices on screen that this program sent, by id: a click on any other is not ours, nor
    // a button it did not offer.
    QHash<uint, Notice> m_shown;
};

Q_DECLARE_METATYPE(DesktopNotifier::Notice)
