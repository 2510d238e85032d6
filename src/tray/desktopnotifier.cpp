#include "tray/desktopnotifier.h"

#include "common/appidentity.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>

#include <functional>

Q_LOGGING_CATEGORY(lcNotify, "tarrowin.notify")

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultAction = QStringLiteral("default");

QDBusMessage busCall(const QString &method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                          QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), method);
}

// Sends without waiting; the answer (a reply or an error) arrives at handler while context
// lives.
void callAsync(const QDBusConnection &bus, const QDBusMessage &message, QObject *context,
               std::function<void(const QDBusMessage &)> handler)
{
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, handler = std::move(handler)] {
                         watcher->deleteLater();
                         handler(watcher->reply());
                     });
}

bool isError(const QDBusMessage &reply)
{
    return reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty();
}

} // namespace

DesktopNotifier::DesktopNotifier(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    qRegisterMetaType<DesktopNotifier::Notice>();
    if (!m_bus.isConnected()) {
        // No bus at all: there is nothing to ask and nothing will appear.
        m_owned = false;
        m_activatable = false;
        return;
    }
    // Signals are taken only from the service's current owner, so no other client can fake
    // a click.
    m_bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                  SLOT(actionInvoked(uint, QString)));
    m_bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                  SLOT(notificationClosed(uint)));

    auto *watcher
        = new QDBusServiceWatcher(service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                // A new daemon counts its ids afresh: an old id could name someone else's
                // notice there.
                m_shown.clear();
                m_status.id = 0;
                m_update.id = 0;
                m_owned = !newOwner.isEmpty();
                if (*m_owned)
                    probe();
            });

    callAsync(m_bus, busCall(QStringLiteral("NameHasOwner")) << service, this,
              [this](const QDBusMessage &reply) {
                  // A watcher's report that came first is as new, and has asked already.
                  if (m_owned)
                      return;
                  m_owned = !isError(reply) && reply.arguments().first().toBool();
                  if (*m_owned)
                      probe();
              });
    callAsync(m_bus, busCall(QStringLiteral("ListActivatableNames")), this,
              [this](const QDBusMessage &reply) {
                  m_activatable = !isError(reply)
                      && reply.arguments().first().toStringList().contains(service);
              });
}

DesktopNotifier::~DesktopNotifier()
{
    const QList<uint> open = m_shown.keys();
    for (const uint id : open)
        close(id);
}

void DesktopNotifier::probe()
{
    // Asks only a running service: merely starting up must not start a daemon.
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("GetCapabilities"));
    call.setAutoStartService(false);
    callAsync(m_bus, call, this, [this](const QDBusMessage &reply) {
        if (!isError(reply))
            m_bodyMarkup
                = reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
    });
}

bool DesktopNotifier::offered() const
{
    return !(m_owned == false && m_activatable == false);
}

DesktopNotifier::Chain *DesktopNotifier::chainOf(const Notice &notice)
{
    if (notice.question())
        return nullptr;
    switch (notice.kind) {
    case Kind::Status:
        return &m_status;
    case Kind::Update:
        return &m_update;
    case Kind::Alert:
        break;
    }
    return nullptr;
}

bool DesktopNotifier::notify(const Notice &notice)
{
    if (!offered())
        return false;
    if (Chain *chain = chainOf(notice); chain && chain->inFlight) {
        // Sent now it would carry no id to replace and stack up; the newest waiting one is
        // sent once the id is known, the ones before it would only flash by.
        chain->waiting = notice;
        return true;
    }
    send(notice);
    return true;
}

void DesktopNotifier::send(const Notice &notice)
{
    Chain *chain = chainOf(notice);
    if (chain)
        chain->inFlight = true;

    // A notice needs a summary: a lone text becomes it.
    const bool titled = !notice.title.isEmpty();
    const QString summary = titled ? notice.title : notice.text;
    QString body = titled ? notice.text : QString();
    if (m_bodyMarkup)
        body = body.toHtmlEscaped();
    const uchar urgency = notice.icon == QSystemTrayIcon::Critical ? 2 : 1;
    const QVariantMap hints { { QStringLiteral("desktop-entry"), AppIdentity::id() },
                              { QStringLiteral("urgency"), QVariant::fromValue(urgency) } };

    QDBusMessage call
        = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    QStringList actions { defaultAction, tr("Open") };
    if (!notice.action.isEmpty())
        actions << notice.action << notice.actionLabel;
    actions << notice.moreActions;
    call << QStringLiteral("Tarrowin") << (chain ? chain->id : 0u) << AppIdentity::id() << summary
         << body << actions << hints << qint32(notice.timeout < 0 ? -1 : notice.timeout);
    callAsync(m_bus, call, this,
              [this, notice](const QDBusMessage &reply) { answered(notice, reply); });
}

void DesktopNotifier::answered(const Notice &notice, const QDBusMessage &reply)
{
    Chain *chain = chainOf(notice);
    if (isError(reply)) {
        qCWarning(lcNotify) << "The notification service did not take a notice:"
                            << reply.errorName() << reply.errorMessage();
        emit undelivered(notice);
    } else {
        const uint id = reply.arguments().first().toUInt();
        m_shown.insert(id, notice);
        if (chain)
            chain->id = id;
    }
    if (!chain)
        return;
    chain->inFlight = false;
    if (chain->waiting) {
        const Notice next = *chain->waiting;
        chain->waiting.reset();
        send(next);
    }
}

void DesktopNotifier::actionInvoked(uint id, const QString &actionKey)
{
    const auto shown = m_shown.constFind(id);
    if (shown == m_shown.constEnd())
        return;
    if (actionKey == defaultAction)
        emit activated(shown->kind);
    else if (!actionKey.isEmpty()
             && (shown->action == actionKey || shown->moreActions.indexOf(actionKey) % 2 == 0)) {
        // Answered once: the question goes, and a second press on it does nothing.
        close(id);
        emit actionChosen(actionKey);
    }
}

void DesktopNotifier::close(uint id)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("CloseNotification"));
    call.setAutoStartService(false);
    call << id;
    m_bus.send(call);
    notificationClosed(id);
}

void DesktopNotifier::notificationClosed(uint id)
{
    m_shown.remove(id);
    for (Chain *chain : { &m_status, &m_update }) {
        if (chain->id == id)
            chain->id = 0;
    }
}
