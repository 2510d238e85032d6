#include "shell/traypresence.h"

#include "tray/statusnotifierwatch.h"

#include <QGuiApplication>
#include <QSystemTrayIcon>

namespace {

bool desktopHasTray()
{
    // Headless platforms have no tray, and no one who could reach a window either: they keep
    // the tray behaviour, so a headless run does what a run on a desktop with a tray does.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return true;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

} // namespace

TrayPresence::TrayPresence(QObject *parent)
    : QObject(parent)
    , m_available(desktopHasTray())
{
    connect(new StatusNotifierWatch(this), &StatusNotifierWatch::presentChanged, this,
            &TrayPresence::serviceChanged);
    follow();
}

void TrayPresence::serviceChanged(bool present)
{
    // A D-Bus tray that goes away takes the icon with it, as an X tray does; one that comes
    // back is what Qt asks about afresh.
    update();
    if (present && !m_available)
        emit freshStartNeeded();
}

void TrayPresence::follow()
{
    // On X11 a tray announces itself to every client, and Qt follows it once anything asked
    // for the tray (desktopHasTray did). Qt passes the news on only through its platform
    // interface, a QObject of a private class: it is reached through the meta-object system,
    // by name. Where it is missing, a close of the window still looks afresh.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    auto *native = reinterpret_cast<QObject *>(QGuiApplication::platformNativeInterface());
    if (!native || native->metaObject()->indexOfSignal("systemTrayWindowChanged(QScreen*)") < 0)
        return;
    connect(native, SIGNAL(systemTrayWindowChanged(QScreen *)), this, SLOT(update()));
}

void TrayPresence::update()
{
    const bool available = desktopHasTray();
    if (available == m_available)
        return;
    m_available = available;
    emit availableChanged(m_available);
}
