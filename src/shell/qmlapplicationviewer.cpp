#include "shell/qmlapplicationviewer.h"

#include "common/appidentity.h"
#include "settings/config.h"
#include "shell/traypresence.h"
#include "shell/windowplacement.h"
#include "tray/fileiconengine.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMoveEvent>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickItem>
#include <QScreen>
#include <QShowEvent>

namespace {

// How long the window has to stay put before its position is written: a drag reports every
// step, and each write costs a rewrite of the settings file with its syncs.
constexpr int positionSettleTime = 500;

} // namespace

QmlApplicationViewer::QmlApplicationViewer(QQmlEngine *engine, QObject *program, TrayPresence *tray)
    : QQuickView(engine, nullptr)
    , m_program(program)
    , m_tray(tray)
{
    setResizeMode(QQuickView::SizeViewToRootObject);
    setFlags(Qt::Tool);
    // The desktop's own rendering of the installed icon where there is one, crisp at every
    // size; the built-in picture otherwise.
    setIcon(QIcon::fromTheme(AppIdentity::id(),
                             FileIconEngine::icon(QStringLiteral(":/images/icons/icon.png"))));

    m_positionSettled.setSingleShot(true);
    m_positionSettled.setInterval(positionSettleTime);
    connect(&m_positionSettled, &QTimer::timeout, this, &QmlApplicationViewer::savePosition);
}

QmlApplicationViewer::~QmlApplicationViewer()
{
    // Quitting while a move has not settled yet, or not even been reported.
    savePosition();
}

bool QmlApplicationViewer::trayAvailable() const
{
    return m_tray->available();
}

void QmlApplicationViewer::loadFrame(const QUrl &url)
{
    auto *component = new QQmlComponent(engine(), url, this);
    QObject *frame = component->create(m_program ? qmlContext(m_program) : rootContext());
    if (!frame)
        qWarning("%s", qPrintable(component->errorString()));
    // The view takes the frame: it goes with the window.
    setContent(url, component, frame);
    setMinimumSize(size());
    setMaximumSize(size());
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

void QmlApplicationViewer::showEvent(QShowEvent *event)
{
    // Made at once, before the window is exposed: its first frame shows them.
    if (m_program)
        m_program->setProperty("contentWanted", true);
    QQuickView::showEvent(event);
}

void QmlApplicationViewer::hideEvent(QHideEvent *event)
{
    QQuickView::hideEvent(event);
    savePosition();
}

void QmlApplicationViewer::closeEvent(QCloseEvent *event)
{
    QQuickView::closeEvent(event);
    if (!event->isAccepted())
        return;
    m_tray->update();
    if (m_tray->available())
        return;
    // Without a tray nothing else could reach the program: closing the window ends it the
    // way the tray's Exit does, which lets an installation under way finish. Queued, so the
    // close completes first.
    if (m_program)
        QMetaObject::invokeMethod(m_program, "exitProgram", Qt::QueuedConnection);
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
