#pragma once

#include <QObject>

// Whether the desktop has a tray for the icon, followed as trays come and go where the
// platform announces them (X11) and checked afresh on request. It lives as long as the
// program, whether or not the window exists.
class TrayPresence : public QObject
{
    Q_OBJECT

public:
    explicit TrayPresence(QObject *parent = nullptr);

    bool available() const { return m_available; }

public slots:
    // Asks the desktop afresh.
    void update();

signals:
    void availableChanged(bool available);
    // A D-Bus tray appeared after Qt had settled on having none: only a fresh start of the
    // program can use it.
    void freshStartNeeded();

private:
    void follow();
    void serviceChanged(bool present);

    bool m_available = true;
};
