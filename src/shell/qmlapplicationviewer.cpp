#include "shell/qmlapplicationviewer.h"

#include "shell/windowplacement.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMetaMethod>
#include <QMoveEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>
#include <QSettings>

namespace {
const QString startupPositionKey = QStringLiteral("StartupPosition");
}

QmlApplicationViewer::QmlApplicationViewer(QWindow *parent)
    : QQuickView(parent)
{
    connect(engine(), &QQmlEngine::quit, QCoreApplication::instance(), &QCoreApplication::quit);
    setResizeMode(QQuickView::SizeViewToRootObject);
    setFlags(Qt::Tool);
    setIcon(QIcon(QStringLiteral(":/images/icons/icon.png")));
}

QmlApplicationViewer::~QmlApplicationViewer() = default;

void QmlApplicationViewer::loadMainFile(const QUrl &url)
{
    setSource(url);
    setMinimumSize(size());
    setMaximumSize(size());

    // restore() is declared in QML, so there is no member pointer to connect to.
    QQuickItem *root = rootObject();
    if (!root)
        return;
    const QMetaObject *rootMeta = root->metaObject();
    const int signalIndex = rootMeta->indexOfSignal("restore()");
    const int slotIndex = metaObject()->indexOfSlot("restoreWindow()");
    if (signalIndex >= 0)
        connect(root, rootMeta->method(signalIndex), this, metaObject()->method(slotIndex));
}

void QmlApplicationViewer::showAtStartupPosition()
{
    QSettings settings;
    std::optional<QPoint> saved;
    if (settings.contains(startupPositionKey))
        saved = settings.value(startupPositionKey).toPoint();

    const QScreen *screen = QGuiApplication::primaryScreen();
    const QPoint position = WindowPlacement::startupPosition(
        saved, size(), screen->virtualGeometry().size(), screen->availableGeometry());
    setGeometry(QRect(position, size()));
    show();
    // Not every platform reports a move for the first placement; the key must exist after
    // every normal start all the same. A later move event overwrites it with what the
    // window system actually did.
    settings.setValue(startupPositionKey, position);
}

void QmlApplicationViewer::restoreWindow()
{
    show();
    requestActivate();
    raise();
}

void QmlApplicationViewer::moveEvent(QMoveEvent *event)
{
    // Not throttled: a drag commits one small write per move, which the store absorbs.
    QSettings settings;
    settings.setValue(startupPositionKey, event->pos());
}
