#include "shell/windowhost.h"

#include "shell/mappedpages.h"
#include "shell/qmlapplicationviewer.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QPixmapCache>
#include <QQmlComponent>
#include <QThreadPool>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
// The test seam's lifetime; zero for the shipped program.
std::chrono::milliseconds testContentLifetime { 0 };
} // namespace

WindowHost::WindowHost()
{
    connect(&m_engine, &QQmlEngine::quit, QCoreApplication::instance(), &QCoreApplication::quit);
    connect(&m_tray, &TrayPresence::availableChanged, this, [this](bool available) {
        if (m_root)
            m_root->setProperty("trayAvailable", available);
        emit trayAvailableChanged(available);
    });
    connect(&m_tray, &TrayPresence::freshStartNeeded, this, &WindowHost::freshStartNeeded);
    m_windowRelease.setSingleShot(true);
    m_windowRelease.setInterval(testContentLifetime.count() > 0 ? testContentLifetime
                                                                : defaultContentLifetime);
    connect(&m_windowRelease, &QTimer::timeout, this, &WindowHost::releaseWindow);
}

WindowHost::~WindowHost()
{
    // Its last hide is no news: what it would arm goes with the host.
    dropWindow();
}

void WindowHost::dropWindow()
{
    if (m_window)
        m_window->disconnect(this);
    m_window.reset();
}

void WindowHost::loadMainFile(const QUrl &url, const QVariantMap &properties)
{
    m_frameUrl = url.resolved(QUrl(QStringLiteral("WindowFrame.qml")));
    QVariantMap initial = properties;
    initial.insert(QStringLiteral("trayAvailable"), m_tray.available());
    QQmlComponent component(&m_engine, url);
    if (!component.isError())
        m_root.reset(component.createWithInitialProperties(initial));
    if (!m_root) {
        qWarning("%s", qPrintable(component.errorString()));
        return;
    }
    // restore() and dismiss() are declared in QML: there is no member pointer to connect to.
    connectRootSignal("restore()", "restoreWindow()");
    connectRootSignal("dismiss()", "hideWindow()");
}

void WindowHost::connectRootSignal(const char *signal, const char *slot)
{
    const QMetaObject *rootMeta = m_root->metaObject();
    const int signalIndex = rootMeta->indexOfSignal(signal);
    const int slotIndex = metaObject()->indexOfSlot(slot);
    if (signalIndex >= 0)
        connect(m_root.get(), rootMeta->method(signalIndex), this, metaObject()->method(slotIndex));
}

QmlApplicationViewer *WindowHost::makeWindow()
{
    if (m_window)
        return m_window.get();
    m_windowRelease.stop();
    m_windowMade = true;
    m_window = std::make_unique<QmlApplicationViewer>(&m_engine, m_root.get(), &m_tray);
    m_window->loadFrame(m_frameUrl);
    connect(m_window.get(), &QWindow::visibleChanged, this, &WindowHost::windowVisibilityChanged);
    return m_window.get();
}

bool WindowHost::isVisible() const
{
    return m_window && m_window->isVisible();
}

void WindowHost::showAtStartupPosition()
{
    makeWindow()->showAtStartupPosition();
}

void WindowHost::restoreWindow()
{
    makeWindow()->restoreWindow();
}

void WindowHost::hideWindow()
{
    if (m_window)
        m_window->hide();
}

void WindowHost::setContentLifetime(std::chrono::milliseconds lifetime)
{
    m_windowRelease.setInterval(lifetime);
}

void WindowHost::setTestContentLifetime(std::chrono::milliseconds lifetime)
{
    testContentLifetime = lifetime;
}

void WindowHost::windowVisibilityChanged(bool visible)
{
    if (m_root)
        m_root->setProperty("shown", visible);
    emit windowVisibleChanged(visible);
    if (visible) {
        m_windowRelease.stop();
        return;
    }
    m_windowRelease.start();
    // Once the hide is through: nothing is drawn until the window comes back.
    QMetaObject::invokeMethod(this, &WindowHost::releaseIdleResources, Qt::QueuedConnection);
}

void WindowHost::releaseWindow()
{
    if (!m_window || m_window->isVisible())
        return;
    if (m_root)
        m_root->setProperty("contentWanted", false);
    dropWindow();
    // What the window's items let go of by deleteLater goes first: the hand-back is worth it
    // only once they are gone.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    releaseIdleResources();
}

void WindowHost::releaseIdleResources()
{
    m_engine.collectGarbage();
    m_engine.trimComponentCache();
    // Drops the images no item holds any more; without it their cache wakes the program
    // every 30 s for minutes, letting go of a quarter each time.
    if (m_window)
        m_window->releaseResources();
    // The tray icon's and the notices' pixmaps, drawn again from their sources when needed.
    QPixmapCache::clear();
    // Notices are painted with the help of Qt's pool threads, which would otherwise linger
    // for 30 s each. Only threads with nothing to do are ended: none is waited for.
    QThreadPool::globalInstance()->waitForDone(0);
    releaseMappedPages();
#ifdef __GLIBC__
    // The C library keeps freed pages for reuse, in every thread's pool; a program that
    // waits for hours hands them back instead, those reading the mappings took among them.
    malloc_trim(0);
#endif
}

void WindowHost::releaseMappedPages()
{
    // Without a window, the code and read-only data only a window uses stay mapped all the
    // same: loading touched them, and Qt never unloads a plugin. Their pages are read again
    // from the files when the window is next made.
    if (m_window)
        return;
    // Beyond the window's own libraries, drawing it touched pages of the ones the tray uses
    // too (text layout, fonts, painting), as an installation touches the unpacker's: once a
    // tray start's pages are known, whatever is resident beyond them goes each time, the
    // window's libraries among it.
    if (m_trayPages)
        return MappedPages::releaseSince(*m_trayPages);
    MappedPages::releaseWindowCode();
    if (!m_windowMade)
        m_trayPages = MappedPages::resident();
}
