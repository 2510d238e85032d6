#pragma once

#include <QList>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QTemporaryDir>
#include <QUrl>

// Starts the whole program as a session would, but in a home of its own: private XDG config,
// data, cache and runtime folders and TMPDIR, its servers on loopback. Every run started from
// one starter shares that home, as two starts in one session do. Runs still going when the
// starter goes are asked to quit, then killed, so no test leaves a program behind.
//
// It also looks at the windows a run maps on the X display, the way the X server sees them.
class ProgramStarter : public QObject
{
    Q_OBJECT

public:
    enum Window {
        TrayIcon = 0x1, // embedded in the tray host
        MainWindow = 0x2, // the one top-level window a window manager would manage
        Balloon = 0x4,
        Menu = 0x8,
        TopLevel = MainWindow | Balloon | Menu,
    };
    Q_DECLARE_FLAGS(Windows, Window)

    // The suite's display is 1920 x 1080 without a window manager, so the work area is the
    // whole screen and a normal start centres the window: 960 - 155, 540 - 97.
    static constexpr QRect startupGeometry { 805, 443, 310, 195 };

    // program: the path of tarrowin_under_test, which only the tests themselves are told.
    explicit ProgramStarter(const QString &program, QObject *parent = nullptr);
    ~ProgramStarter() override;

    // False when the home could not be made.
    bool isValid() const { return m_valid; }
    QString root() const { return m_root.path(); }
    QString configHome() const { return folder("config"); }
    QString dataHome() const { return folder("data"); }
    QString cacheHome() const { return folder("cache"); }
    QString tempDir() const { return folder("tmp"); }
    QString runtimeDir() const { return folder("runtime"); }
    QString settingsFile() const;

    // Every server, the build storage, the maker's and the releases service, at url. Unset, the
    // program talks to a loopback port where nothing listens.
    void setServer(const QUrl &url);
    // For the runs started from now on; QT_QPA_PLATFORM is xcb unless set here.
    void setEnvironment(const QString &name, const QString &value);
    void unsetEnvironment(const QString &name);
    // What the runs started from now on get.
    QProcessEnvironment environment() const { return m_environment; }

    // A new run, owned by this starter. When it does not start, the process says so in its
    // state and error.
    QProcess *start(const QStringList &arguments,
                    QProcess::ProcessChannelMode channels = QProcess::ForwardedChannels);
    // SIGTERM, as a session's end sends it. True when the program was running and ended
    // within timeoutMs; otherwise it is killed.
    static bool stop(QProcess *program, int timeoutMs = 10000);

    // The geometries of the process's visible windows of the given kinds.
    static QList<QRect> shown(qint64 pid, Windows kinds);
    // A click on the display as a user gives it; button 1 is the left one, 3 the right.
    static bool click(const QPoint &at, int button);
    static bool pressKey(const QString &key);
    // A right-click on the process's tray icon.
    static bool openTrayMenu(qint64 pid);

private:
    QString folder(const char *name) const { return m_root.filePath(QLatin1String(name)); }

    QTemporaryDir m_root;
    QString m_program;
    QProcessEnvironment m_environment;
    bool m_valid = false;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(ProgramStarter::Windows)
