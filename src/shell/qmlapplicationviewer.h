#pragma once

#include <QPoint>
#include <QQuickView>
#include <QTimer>

#include <chrono>
#include <optional>

class QCloseEvent;
class QHideEvent;
class QMoveEvent;
class QShowEvent;

// The program's one window: a fixed-size tool window showing the main view. Closing it only
// hides it while the desktop has a tray; without one, closing it ends the program, which
// nothing else could reach. The view asks for the window again through its restore() signal.
// What the window shows is made only when it is shown, and let go after it has been hidden
// for a while: the view's root item gets the wish as its contentWanted property.
class QmlApplicationViewer : public QQuickView
{
    Q_OBJECT

public:
    explicit QmlApplicationViewer(QWindow *parent = nullptr);
    ~QmlApplicationViewer() override;

    void loadMainFile(const QUrl &url);
    // Places the window where it was last (or centred), inside the work area, and shows it.
    void showAtStartupPosition();

    // Whether the desktop has a tray for the icon. Followed as trays come and go where the
    // platform announces them (X11), and checked afresh whenever the window is closed. The
    // view's root item gets it as its trayAvailable property.
    bool trayAvailable() const { return m_trayAvailable; }

    // How long the window's contents outlive a hide: ten minutes, shorter in tests.
    static constexpr std::chrono::minutes defaultContentLifetime { 10 };
    void setContentLifetime(std::chrono::milliseconds lifetime);

public slots:
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

protected:
    void moveEvent(QMoveEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void restoreWindow();
    void updateTrayAvailable();

private:
    void savePosition();
    void followTray();
    void trayServiceChanged(bool present);
    void setContentWanted(bool wanted);
    void releaseContent();

    bool m_trayAvailable = true;
    // The window has been placed once; until then a restore places it as a start does.
    bool m_placed = false;
    // The position last written: a drag is written once, when it settles, and a hide or the
    // end of the program writes what is still unwritten.
    std::optional<QPoint> m_savedPosition;
    // The start's placement is still to be written.
    bool m_positionUnwritten = false;
    QTimer m_positionSettled;
    // Armed by a hide, stopped by a show: the contents go when it fires.
    QTimer m_contentRelease;
};
