#include "support/privatebus.h"
#include "support/programstarter.h"
#include "support/statusnotifierwatcher.h"
#include "support/testenvironment.h"

#include <xcb/xcb.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

template<typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

// An X display of the test's own without a tray host: Xvfb on the first free number of
// :160 to :169.
class PrivateDisplay
{
public:
    PrivateDisplay()
    {
        for (int number = 160; number <= 169 && m_name.isEmpty(); ++number) {
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
            if (QFile::exists(socket)
                || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
                continue;
            const QString name = QStringLiteral(":%1").arg(number);
            m_server.start(QStringLiteral("Xvfb"),
                           { name, QStringLiteral("-screen"), QStringLiteral("0"),
                             QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                             QStringLiteral("tcp") });
            // Another server may have taken the number meanwhile: then Xvfb ends at once.
            const bool settled = QTest::qWaitFor(
                [&] { return QFile::exists(socket) || m_server.state() == QProcess::NotRunning; },
                10000);
            if (settled && m_server.state() == QProcess::Running)
                m_name = name;
            else
                stop();
        }
    }
    ~PrivateDisplay() { stop(); }

    QString name() const { return m_name; }

private:
    void stop()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
        m_server.waitForFinished(5000);
    }

    QProcess m_server;
    QString m_name;
};

// Looks at a display's windows and closes them the way a window manager does.
class WindowManagerSide
{
public:
    enum Placement { TopLevel, Embedded };

    explicit WindowManagerSide(const QString &display)
        : m_connection(xcb_connect(display.toLatin1().constData(), nullptr), &xcb_disconnect)
    {
        if (xcb_connection_has_error(m_connection.get()))
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection.get())).data->root;
        m_pidAtom = atom("_NET_WM_PID");
        m_protocolsAtom = atom("WM_PROTOCOLS");
        m_deleteAtom = atom("WM_DELETE_WINDOW");
    }

    bool connected() const { return m_root != XCB_WINDOW_NONE; }

    // The process's mapped windows: top-level ones, or ones embedded into another client's.
    QList<xcb_window_t> windows(qint64 pid, Placement placement) const
    {
        QList<xcb_window_t> found;
        collect(m_root, 0, pid, placement, found);
        return found;
    }

    // WM_DELETE_WINDOW: what a window manager sends when the user closes a window.
    void close(xcb_window_t window) const
    {
        xcb_client_message_event_t event {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = m_protocolsAtom;
        event.data.data32[0] = m_deleteAtom;
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_connection.get(), false, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&event));
        xcb_flush(m_connection.get());
    }

private:
    xcb_atom_t atom(const char *name) const
    {
        const Reply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(
                m_connection.get(),
                xcb_intern_atom(m_connection.get(), false, uint16_t(strlen(name)), name), nullptr),
            &std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    void collect(xcb_window_t parent, int depth, qint64 pid, Placement placement,
                 QList<xcb_window_t> &found) const
    {
        xcb_connection_t *c = m_connection.get();
        const Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr), &std::free);
        if (!tree || depth > 5)
            return;
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            const xcb_window_t child = children[i];
            const Reply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, child), nullptr),
                &std::free);
            const Reply<xcb_get_property_reply_t> owner(
                xcb_get_property_reply(
                    c, xcb_get_property(c, false, child, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1),
                    nullptr),
                &std::free);
            const bool ours = owner && xcb_get_property_value_length(owner.get()) == 4
                && *static_cast<const uint32_t *>(xcb_get_property_value(owner.get()))
                    == uint32_t(pid);
            const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
            if (ours && viewable && (parent == m_root) == (placement == TopLevel))
                found.append(child);
            collect(child, depth + 1, pid, placement, found);
        }
    }

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> m_connection;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    xcb_atom_t m_pidAtom = XCB_ATOM_NONE;
    xcb_atom_t m_protocolsAtom = XCB_ATOM_NONE;
    xcb_atom_t m_deleteAtom = XCB_ATOM_NONE;
};

} // namespace

// The whole program on a desktop without a tray, as on GNOME without its tray extension: the
// window is the only way in, so it shows on a tray start and closing it ends the program,
// until a tray turns up.
class TestNoTray : public QObject
{
    Q_OBJECT

public:
    explicit TestNoTray(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void windowIsTheWayInAndOut_data();
    void windowIsTheWayInAndOut();
    void dbusTrayAppearingAfterTheStartIsUsed();

private:
    TestEnvironment &m_environment;
};

void TestNoTray::windowIsTheWayInAndOut_data()
{
    QTest::addColumn<bool>("trayAppears");
    QTest::newRow("no tray: closing the window quits") << false;
    QTest::newRow("a tray appears: closing the window hides it") << true;
}

void TestNoTray::windowIsTheWayInAndOut()
{
    QFETCH(bool, trayAppears);
    const PrivateDisplay display;
    QVERIFY2(!display.name().isEmpty(), "no free display among :160 to :169");
    const WindowManagerSide desktop(display.name());
    QVERIFY(desktop.connected());

    ProgramStarter home(QStringLiteral(TARROWIN_UNDER_TEST));
    QVERIFY(home.isValid());
    home.setEnvironment(QStringLiteral("DISPLAY"), display.name());

    QProcess *program = home.start({ QStringLiteral("--tray") });
    const qint64 pid = program->processId();
    QTRY_COMPARE_WITH_TIMEOUT(desktop.windows(pid, WindowManagerSide::TopLevel).size(), 1, 20000);
    QVERIFY(desktop.windows(pid, WindowManagerSide::Embedded).isEmpty());

    QProcess trayHost;
    if (trayAppears) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display.name());
        trayHost.setProcessEnvironment(env);
        trayHost.start(QStringLiteral("trayer"),
                       { QStringLiteral("--edge"), QStringLiteral("top"),
                         QStringLiteral("--widthtype"), QStringLiteral("request") });
        QVERIFY(trayHost.waitForStarted());
        // The icon docks as soon as the tray announces itself.
        QTRY_COMPARE_WITH_TIMEOUT(desktop.windows(pid, WindowManagerSide::Embedded).size(), 1,
                                  20000);
    }

    desktop.close(desktop.windows(pid, WindowManagerSide::TopLevel).constFirst());
    if (!trayAppears) {
        QVERIFY(program->waitForFinished(20000));
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        return;
    }

    QTRY_VERIFY_WITH_TIMEOUT(desktop.windows(pid, WindowManagerSide::TopLevel).isEmpty(), 10000);
    // Still running: a start by hand hands over to it, and its window comes back.
    QProcess *second = home.start({});
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(desktop.windows(pid, WindowManagerSide::TopLevel).size(), 1, 20000);
    QCOMPARE(program->state(), QProcess::Running);

    QVERIFY(ProgramStarter::stop(program, 20000));
    QCOMPARE(program->exitCode(), 0);
    trayHost.terminate();
    trayHost.waitForFinished(5000);
}

// The login race: the program starts before the panel, whose D-Bus tray Qt would never
// look for again. The program hands over to a fresh start of itself, which docks there.
void TestNoTray::dbusTrayAppearingAfterTheStartIsUsed()
{
    const PrivateDisplay display;
    QVERIFY2(!display.name().isEmpty(), "no free display among :160 to :169");
    const WindowManagerSide desktop(display.name());
    QVERIFY(desktop.connected());
    const PrivateBus bus(m_environment.tempDir());
    QVERIFY2(bus.address().startsWith(QLatin1String("unix:")), "dbus-daemon did not start");

    ProgramStarter home(QStringLiteral(TARROWIN_UNDER_TEST));
    QVERIFY(home.isValid());
    home.setEnvironment(QStringLiteral("DISPLAY"), display.name());
    home.setEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
    // Builds 100 and 200 unpacked, 200 in use: the menu offers going back.
    const QString root = home.dataHome() + QStringLiteral("/Quillmarsh/Tarrowin/chromium");
    for (const int build : { 100, 200 }) {
        const QString chrome = root + QStringLiteral("/versions/%1/chrome").arg(build);
        QVERIFY(QDir().mkpath(QFileInfo(chrome).path()));
        QFile file(chrome);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    QVERIFY(QFile::link(QStringLiteral("versions/200"), root + QStringLiteral("/current")));
    QVERIFY(QFile::link(QStringLiteral("versions/100"), root + QStringLiteral("/previous")));

    QProcess *program = home.start({ QStringLiteral("--tray") });
    QTRY_COMPARE_WITH_TIMEOUT(
        desktop.windows(program->processId(), WindowManagerSide::TopLevel).size(), 1, 20000);

    auto panel = std::make_unique<StatusNotifierWatcher>(
        QDBusConnection::connectToBus(bus.address(), QStringLiteral("panel")));
    QVERIFY(panel->registered());
    // The panel answers from this event loop: no blocking waits while it is up.
    QTRY_COMPARE_WITH_TIMEOUT(program->state(), QProcess::NotRunning, 20000);
    QCOMPARE(program->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(panel->items().size(), 1, 20000);
    const StatusNotifierWatcher::Item item = panel->items().constFirst();
    QVERIFY(item.pid > 0 && item.pid != program->processId());
    const auto stopSuccessor = qScopeGuard([&item] { ::kill(pid_t(item.pid), SIGKILL); });
    // A tray start in a tray: no window until the icon is clicked.
    QVERIFY(desktop.windows(item.pid, WindowManagerSide::TopLevel).isEmpty());
    QVERIFY(panel->activate(item));
    QTRY_COMPARE_WITH_TIMEOUT(desktop.windows(item.pid, WindowManagerSide::TopLevel).size(), 1,
                              20000);

    const QMap<int, QString> menu = panel->menu(item);
    const int goBack = menu.key(QStringLiteral("Go back to build 100"), -1);
    QVERIFY2(goBack != -1, qPrintable(QStringList(menu.values()).join(QLatin1Char(','))));
    QVERIFY(panel->click(item, goBack));
    QTRY_COMPARE_WITH_TIMEOUT(QFile::symLinkTarget(root + QStringLiteral("/current")),
                              root + QStringLiteral("/versions/100"), 20000);

    // The panel goes away: the window is the only way in again, and closing it quits.
    panel.reset();
    desktop.close(desktop.windows(item.pid, WindowManagerSide::TopLevel).constFirst());
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/%1").arg(item.pid)), 20000);
}

TARROWIN_TEST_MAIN(TestNoTray, false)
#include "tst_notray.moc"
