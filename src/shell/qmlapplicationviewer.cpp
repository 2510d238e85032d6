#include "shell/qmlapplicationviewer.h"

#include "common/appidentity.h"
#include "settings/config.h"
#include "shell/windowplacement.h"
#include "tray/fileiconengine.h"
#include "tray/statusnotifierwatch.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMetaMethod>
#include <QMoveEvent>
#include <QPixmapCache>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>
#include <QShowEvent>
#include <QSystemTrayIcon>
#include <QThreadPool>

#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// How long the window has to stay put before its position is written: a drag reports every
// step, and each write costs a rewrite of the settings file with its syncs.
constexpr int positionSettleTime = 500;

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

QmlApplicationViewer::QmlApplicationViewer(QWindow *parent)
    : QQuickView(parent)
    , m_trayAvailable(desktopHasTray())
{
    connect(engine(), &QQmlEngine::quit, QCoreApplication::instance(), &QCoreApplication::quit);
    setResizeMode(QQuickView::SizeViewToRootObject);
    setFlags(Qt::Tool);
    // The desktop's own rendering of the installed icon where there is one, crisp at every
    // size; the built-in picture otherwise.
    setIcon(QIcon::fromTheme(AppIdentity::id(),
                             FileIconEngine::icon(QStringLiteral(":/images/icons/icon.png"))));

    m_positionSettled.setSingleShot(true);
    m_positionSettled.setInterval(positionSettleTime);
    connect(&m_positionSettled, &QTimer::timeout, this, &QmlApplicationViewer::savePosition);
    m_contentRelease.setSingleShot(true);
    m_contentRelease.setInterval(defaultContentLifetime);
    connect(&m_contentRelease, &QTimer::timeout, this, &QmlApplicationViewer::releaseContent);
    connect(new StatusNotifierWatch(this), &StatusNotifierWatch::presentChanged, this,
            &QmlApplicationViewer::trayServiceChanged);
    followTray();
}

void QmlApplicationViewer::trayServiceChanged(bool present)
{
    // A D-Bus tray that goes away takes the icon with it, as an X tray does; one that comes
    // back is what Qt asks about afresh.
    updateTrayAvailable();
    if (present && !m_trayAvailable)
        emit freshStartNeeded();
}

QmlApplicationViewer::~QmlApplicationViewer()
{
    // Quitting while a move has not settled yet, or not even been reported.
    savePosition();
}

void QmlApplicationViewer::followTray()
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
    connect(native, SIGNAL(systemTrayWindowChanged(QScreen *)), this, SLOT(updateTrayAvailable()));
}

void QmlApplicationViewer::updateTrayAvailable()
{
    const bool available = desktopHasTray();
    if (available == m_trayAvailable)
        return;
    m_trayAvailable = available;
    if (QQuickItem *root = rootObject())
        root->setProperty("trayAvailable", m_trayAvailable);
    emit trayAvailableChanged(m_trayAvailable);
}

void QmlApplicationViewer::loadMainFile(const QUrl &url)
{
    setSource(url);
    setMinimumSize(size());
    setMaximumSize(size());

    // restore() is declared in QML, so there is no member pointer to connect to.
    QQuickItem *root = rootObject();
    if (!root)
        return;
    root->setProperty("trayAvailable", m_trayAvailable);
    const QMetaObject *rootMeta = root->metaObject();
    const int signalIndex = rootMeta->indexOfSignal("restore()");
    const int slotIndex = metaObject()->indexOfSlot("restoreWindow()");
    if (signalIndex >= 0)
        connect(root, rootMeta->method(signalIndex), this, metaObject()->method(slotIndex));
}

void QmlApplicationViewer::showAtStartupPosition()
{
    std::optional<QPoint> saved;
    if (Config::contains(Config::StartupPosition))
        saved = Config::get(Config::StartupPosition).toPoint();

    const QScreen *screen = QGuiApplication::primaryScreen();
    const QPoint position = WindowPlacement::startupPosition(
        saved, size(), screen->virtualGeometry().size(), screen->availableGeometry());
    setGeometry(QRect(position, size()));
    m_placed = true;
    show();
    // Not every platform reports a move for the first placement; the key must exist after
    // every normal start all the same. A later move event overwrites it with what the
    // window system actually did. It is written once the first frame is out: the write waits
    // for the disk, the window need not. A hide or the end of the program before then
    // writes it too.
    m_positionSettled.stop();
    m_savedPosition = position;
    m_positionUnwritten = true;
    connect(
        this, &QQuickWindow::frameSwapped, this,
        [this] {
            if (m_positionUnwritten)
                savePosition();
        },
        Qt::SingleShotConnection);
}

void QmlApplicationViewer::restoreWindow()
{
    // After a tray start the window has never been placed: it first appears where a normal
    // start would have put it.
    if (m_placed)
        show();
    else
        showAtStartupPosition();
    requestActivate();
    raise();
}

void QmlApplicationViewer::moveEvent(QMoveEvent *event)
{
    QQuickView::moveEvent(event);
    m_positionSettled.start();
}

void QmlApplicationViewer::setContentLifetime(std::chrono::milliseconds lifetime)
{
    m_contentRelease.setInterval(lifetime);
}

void QmlApplicationViewer::setContentWanted(bool wanted)
{
    // Made at once, before the window is exposed: its first frame shows them.
    if (QQuickItem *root = rootObject())
        root->setProperty("contentWanted", wanted);
}

void QmlApplicationViewer::showEvent(QShowEvent *event)
{
    m_contentRelease.stop();
    setContentWanted(true);
    QQuickView::showEvent(event);
}

void QmlApplicationViewer::releaseContent()
{
    if (isVisible())
        return;
    setContentWanted(false);
    // The controls go by deleteLater; the hand-back is worth it only once they are gone.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    releaseIdleResources();
}

void QmlApplicationViewer::hideEvent(QHideEvent *event)
{
    QQuickView::hideEvent(event);
    savePosition();
    m_contentRelease.start();
    // Once the hide is through: nothing is drawn until the window comes back.
    QMetaObject::invokeMethod(this, &QmlApplicationViewer::releaseIdleResources,
                              Qt::QueuedConnection);
}

void QmlApplicationViewer::releaseIdleResources()
{
    engine()->collectGarbage();
    engine()->trimComponentCache();
    // Drops the images no item holds any more; without it their cache wakes the program
    // every 30 s for minutes, letting go of a quarter each time.
    releaseResources();
    // The tray icon's and the notices' pixmaps, drawn again from their sources when needed.
    QPixmapCache::clear();
    // Notices are painted with the help of Qt's pool threads, which would otherwise linger
    // for 30 s each. Only threads with nothing to do are ended: none is waited for.
    QThreadPool::globalInstance()->waitForDone(0);
#ifdef __GLIBC__
    // The C library keeps freed pages for reuse, in every thread's pool; a program that
    // waits for hours hands them back instead.
    malloc_trim(0);
#endif
}

void QmlApplicationViewer::closeEvent(QCloseEvent *event)
{
    QQuickView::closeEvent(event);
    if (!event->isAccepted())
        return;
    updateTrayAvailable();
    if (m_trayAvailable)
        return;
    // Without a tray nothing else could reach the program: closing the window ends it the
    // way the tray's Exit does, which lets an installation under way finish. Queued, so the
    // close completes first.
    if (QQuickItem *root = rootObject())
        QMetaObject::invokeMethod(root, "exitProgram", Qt::QueuedConnection);
    else
        QCoreApplication::quit();
}

void QmlApplicationViewer::savePosition()
{
    m_positionSettled.stop();
    // A window never shown has no position of its own to keep, and one that cannot learn
    // its position must not overwrite the one a session elsewhere kept.
    if (!m_placed || (m_savedPosition == position() && !m_positionUnwritten)
        || !WindowPlacement::positionKnown(QGuiApplication::platformName()))
        return;
    m_savedPosition = position();
    m_positionUnwritten = false;
    Config::set(Config::StartupPosition, *m_savedPosition);
}
