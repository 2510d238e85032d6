#include "support/testenvironment.h"
#include "tray/runatlogon.h"

#include <QProcess>
#include <QSettings>

class TestRunAtLogon : public QObject
{
    Q_OBJECT

public:
    explicit TestRunAtLogon(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void init();

    void command_data();
    void command();
    void entryIsADesktopEntry();
    void disablingRemovesOnlyTheEntry();
    void desktopRunsTheEntry_data();
    void desktopRunsTheEntry();

private:
    TestEnvironment &m_environment;
};

void TestRunAtLogon::init()
{
    QFile::remove(RunAtLogon::autostartFile());
}

void TestRunAtLogon::command_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("command");
    QTest::newRow("plain") << "/usr/bin/tarrowin"
                           << "\"/usr/bin/tarrowin\" /tray";
    QTest::newRow("blanks") << "/opt/My Tools/tarrowin"
                            << "\"/opt/My Tools/tarrowin\" /tray";
    // On Linux a backslash is part of a name: it stays, and slashes are not turned into it.
    QTest::newRow("backslash kept") << "/opt/a\\b/tarrowin"
                                    << "\"/opt/a\\b/tarrowin\" /tray";
}

void TestRunAtLogon::command()
{
    QFETCH(QString, path);
    QFETCH(QString, command);
    QCOMPARE(RunAtLogon::command(path), command);
}

void TestRunAtLogon::entryIsADesktopEntry()
{
    RunAtLogon::setEnabled(true, QStringLiteral("/opt/My Tools/tarrowin"));
    QCOMPARE(RunAtLogon::autostartFile(),
             m_environment.configHome() + QStringLiteral("/autostart/Tarrowin.desktop"));
    QSettings entry(RunAtLogon::autostartFile(), QSettings::IniFormat);
    entry.beginGroup(QStringLiteral("Desktop Entry"));
    QCOMPARE(entry.value(QStringLiteral("Type")).toString(), QStringLiteral("Application"));
    QCOMPARE(entry.value(QStringLiteral("Name")).toString(), QStringLiteral("Tarrowin"));

    QFile file(RunAtLogon::autostartFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("\nExec=\"/opt/My Tools/tarrowin\" /tray\n"));
    // No file is left behind by the atomic write, and no file named after a registry path.
    QCOMPARE(QDir(m_environment.configHome() + QStringLiteral("/autostart")).entryList(QDir::Files),
             QStringList { "Tarrowin.desktop" });
    QVERIFY(QDir(m_environment.configHome()).entryList(QStringList { "*HKEY*" }).isEmpty());
}

void TestRunAtLogon::disablingRemovesOnlyTheEntry()
{
    const QString dir = m_environment.configHome() + QStringLiteral("/autostart");
    QDir().mkpath(dir);
    QFile other(dir + QStringLiteral("/other.desktop"));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.close();

    RunAtLogon::setEnabled(false, QStringLiteral("/usr/bin/tarrowin"));
    RunAtLogon::setEnabled(true, QStringLiteral("/usr/bin/tarrowin"));
    RunAtLogon::setEnabled(false, QStringLiteral("/usr/bin/tarrowin"));
    QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList { "other.desktop" });
}

void TestRunAtLogon::desktopRunsTheEntry_data()
{
    QTest::addColumn<QString>("directory");
    QTest::newRow("blanks") << "My Programs";
    QTest::newRow("quotes, dollar, backtick") << "it's \"quoted\" $HOME `x`";
    QTest::newRow("backslash") << "back\\slash";
}

void TestRunAtLogon::desktopRunsTheEntry()
{
    QFETCH(QString, directory);
    // A stand-in program that records its arguments, at an awkward path.
    const QString dir = m_environment.root() + QLatin1Char('/') + directory;
    QVERIFY(QDir().mkpath(dir));
    const QString program = dir + QStringLiteral("/tarrowin");
    const QString record = m_environment.root() + QStringLiteral("/started.txt");
    QFile::remove(record);
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > \"" + QFile::encodeName(record)
                 + ".part\"\n"
                   "mv \""
                 + QFile::encodeName(record) + ".part\" \"" + QFile::encodeName(record) + "\"\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    RunAtLogon::setEnabled(true, program);

    // gio launches a desktop entry the way desktop environments do.
    QProcess launcher;
    launcher.setProcessChannelMode(QProcess::ForwardedChannels);
    launcher.start(QStringLiteral("gio"),
                   { QStringLiteral("launch"), RunAtLogon::autostartFile() });
    QVERIFY(launcher.waitForFinished(20000));
    QCOMPARE(launcher.exitCode(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 20000);
    QFile started(record);
    QVERIFY(started.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(started.readAll()), program + QStringLiteral("|/tray|"));
}

TARROWIN_TEST_MAIN(TestRunAtLogon, false)
#include "tst_runatlogon.moc"
