#pragma once

#include <QPoint>
#include <QPointer>
#include <QQuickView>
#include <QTimer>

#include <optional>

class QCloseEvent;
class QHideEvent;
class QMoveEvent;
class QShowEvent;
class TrayPresence;

// The program's one window: a fixed-size tool window showing the main view's frame. Closing
// it only hides it while the desktop has a tray; without one, closing it ends the program,
// which nothing else could reach. It is made on the program's engine when it is first
// shown, and its frame is made in the program's own scope, where the ids of the program's
// objects are known; showing it asks the program for the window's contents through its
// contentWanted property.
class QmlApplicationViewer : public QQuickView
{
    Q_OBJECT

public:
    QmlApplicationViewer(QQmlEngine *engine, QObject *program, TrayPresence *tray);
    ~QmlApplicationViewer() override;

    // Makes the window's visual root from url and fixes the window's size to it.
    void loadFrame(const QUrl &url);
    // Places the window where it was last (or centred), inside the work area, and shows it.
    void showAtStartupPosition();

    // Whether the desktop has a tray for the icon, as far as is known.
    bool trayAvailable() const;

public slots:
    // Shows the window, placed as a start places it if it never was, and brings it forward.
    void restoreWindow();

protected:
    void moveEvent(QMoveEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void savePosition();

    QPointer<QObject> m_program;
    TrayPresence *m_tray;
    // The window has been placed once; until then a restore places it as a start does.
    bool m_placed = false;
    // The position last written: a drag is written once, when it settles, and a hide or the
    // end of the program writes what is still unwritten.
    std::optional<QPoint> m_savedPosition;
    // The start's placement is still to be written.
    bool m_positionUnwritten = false;
    QTimer m_positionSettled;
};
