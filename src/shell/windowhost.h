#pragma once

#include "shell/mappedpages.h"
#include "shell/traypresence.h"

#include <QObject>
#include <QQmlEngine>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <memory>
#include <optional>

class QmlApplicationViewer;

// Holds the program's objects, declared by the main view and made at start-up on a plain
// engine, and makes the window only when it is first shown: a tray start builds no window,
// no scene and no controls. After the window has been hidden for a while it goes again,
// whole, and what it used is handed back; the next show makes it anew. The main view's root
// gets the window's state as its trayAvailable, shown and contentWanted properties, and asks
// for the window through its restore() and dismiss() signals.
class WindowHost : public QObject
{
    Q_OBJECT

public:
    WindowHost();
    ~WindowHost() override;

    QQmlEngine *engine() { return &m_engine; }
    // Makes the program's objects from url; the window's frame sits beside it.
    void loadMainFile(const QUrl &url, const QVariantMap &properties = {});
    QObject *rootObject() const { return m_root.get(); }

    // The window while it exists, null otherwise.
    QmlApplicationViewer *window() const { return m_window.get(); }
    // The window, made (hidden) if it does not exist.
    QmlApplicationViewer *makeWindow();
    bool isVisible() const;
    // Places the window where it was last (or centred) and shows it.
    void showAtStartupPosition();

    // Whether the desktop has a tray for the icon, followed as trays come and go.
    bool trayAvailable() const { return m_tray.available(); }

    // How long the window outlives a hide: ten minutes, shorter in tests.
    static constexpr std::chrono::minutes defaultContentLifetime { 10 };
    void setContentLifetime(std::chrono::milliseconds lifetime);
    // Test seam: the lifetime every host made afterwards starts with (zero: the default).
    static void setTestContentLifetime(std::chrono::milliseconds lifetime);

public slots:
    // Shows the window, making it first if need be.
    void restoreWindow();
    // Hands back what start-up, an installation or a shown window left behind and waiting in
    // the tray does not need: the script heap's garbage, components nothing uses any more,
    // images no item shows, idle pool threads and the allocator's freed pages. Everything
    // comes back on demand when the window is shown again.
    void releaseIdleResources();

signals:
    void trayAvailableChanged(bool available);
    // A D-Bus tray appeared after Qt had settled on having none: only a fresh start of the
    // program can use it.
    void freshStartNeeded();
    void windowVisibleChanged(bool visible);

private slots:
    void hideWindow();

private:
    void connectRootSignal(const char *signal, const char *slot);
    void windowVisibilityChanged(bool visible);
    void releaseWindow();
    void dropWindow();
    // The file pages only the window needed, from the libraries it loaded and the ones it shares.
    void releaseMappedPages();

    // Declared in the order they are needed: each goes before what it uses.
    QQmlEngine m_engine;
    TrayPresence m_tray;
    QUrl m_frameUrl;
    std::unique_ptr<QObject> m_root;
    std::unique_ptr<QmlApplicationViewer> m_window;
    // Armed by a hide, stopped by a show: the window goes when it fires.
    QTimer m_windowRelease;
    // The code pages a tray start uses, taken at its first hand-back if no window was made
    // before it; what is in memory beyond them later goes back at every hand-back.
    std::optional<MappedPages> m_trayPages;
    bool m_windowMade = false;
};
