#include "common/appidentity.h"
#include "common/desktopentry.h"
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
    void entryPassesTheValidator_data();
    void entryPassesTheValidator();
    void refresh_data();
    void refresh();

private:
    TestEnvironment &m_environment;
};

namespace {

QByteArray entryFile()
{
    QFile file(RunAtLogon::autostartFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

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
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("\nExec=\"/opt/My Tools/tarrowin\" /tray\n"));
    // The icon the install puts in the theme, the check that skips a vanished program, and a
    // start after the panel, so the tray is there to take the icon.
    const QByteArrayList lines { "TryExec=/opt/My Tools/tarrowin",
                                 "Icon=" + AppIdentity::id().toUtf8(), "X-GNOME-Autostart-Delay=5",
                                 "X-KDE-autostart-after=panel" };
    for (const QByteArray &line : lines)
        QVERIFY2(text.contains("\n" + line + "\n"), line);
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
    // No percent row: GLib looks for Exec's program before it turns %% back into %, so no
    // GLib desktop starts such an entry, whatever is written.
    QTest::newRow("line break") << "two\nlines";
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

void TestRunAtLogon::entryPassesTheValidator_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("plain") << "/usr/local/bin/tarrowin";
    QTest::newRow("blanks") << "/opt/My Tools/tarrowin";
    QTest::newRow("quotes, dollar, backtick") << "/opt/it's \"q\" $HOME `x`/tarrowin";
    QTest::newRow("backslash, percent") << "/opt/a\\b 100%/tarrowin";
    QTest::newRow("line break") << "/opt/two\nlines/tarrowin";
    QTest::newRow("non-ASCII") << "/home/jürgen/Programme/tarrowin";
}

void TestRunAtLogon::entryPassesTheValidator()
{
    QFETCH(QString, program);
    RunAtLogon::setEnabled(true, program);
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(QStringLiteral("desktop-file-validate"), { RunAtLogon::autostartFile() });
    QVERIFY2(validator.waitForFinished(20000),
             "desktop-file-validate did not run: scripts/install-deps installs it");
    const QByteArray output = validator.readAll();
    QVERIFY2(validator.exitCode() == 0, output.constData());
    QVERIFY2(!output.contains("warning"), output.constData());
}

void TestRunAtLogon::refresh_data()
{
    // Where the entry points before and which program starts: a build tree, another build
    // tree, an installed copy, or one that is gone. An empty "before" means no entry.
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("olderEntry");
    QTest::addColumn<QByteArray>("desktopSwitches");
    QTest::addColumn<QString>("running");
    QTest::addColumn<QString>("after");

    QTest::newRow("no entry, none made") << "" << false << QByteArray() << "installed"
                                         << "";
    QTest::newRow("older entry gains the new keys") << "build" << true << QByteArray() << "build"
                                                    << "build";
    QTest::newRow("current entry kept") << "build" << false << QByteArray() << "build"
                                        << "build";
    QTest::newRow("deleted build tree: the running program takes over")
        << "gone" << true << QByteArray() << "build"
        << "build";
    QTest::newRow("installed program takes over from a build tree")
        << "build" << false << QByteArray() << "installed"
        << "installed";
    QTest::newRow("build-tree run leaves the installed program's entry")
        << "installed" << false << QByteArray() << "build"
        << "installed";
    QTest::newRow("build-tree run leaves another live build tree's entry")
        << "other" << false << QByteArray() << "build"
        << "other";
    // A Debian package's /usr/bin/tarrowin beside a CMake install in another prefix.
    QTest::newRow("the package takes over from another prefix's install")
        << "installed" << false << QByteArray() << "package"
        << "package";
    QTest::newRow("an upgraded package keeps its entry")
        << "package" << true << QByteArray() << "package"
        << "package";
    QTest::newRow("stale entry with nothing to run is removed")
        << "gone" << false << QByteArray() << "gone"
        << "";
    QTest::newRow("the desktop's off switches survive a rewrite")
        << "gone" << false << QByteArray("Hidden=true\nX-GNOME-Autostart-enabled=false\n")
        << "installed"
        << "installed";
}

void TestRunAtLogon::refresh()
{
    QFETCH(QString, before);
    QFETCH(bool, olderEntry);
    QFETCH(QByteArray, desktopSwitches);
    QFETCH(QString, running);
    QFETCH(QString, after);

    // Awkward names, so that reading the Exec of an older entry is tested as well.
    const QString root = m_environment.root();
    const QMap<QString, QString> programs {
        { QStringLiteral("build"), root + QStringLiteral("/my build $1 100%/src/tarrowin") },
        { QStringLiteral("other"), root + QStringLiteral("/other \"build\"/src/tarrowin") },
        { QStringLiteral("installed"), root + QStringLiteral("/prefix/bin/tarrowin") },
        { QStringLiteral("package"), root + QStringLiteral("/usr/bin/tarrowin") },
        { QStringLiteral("gone"), root + QStringLiteral("/deleted build/src/tarrowin") },
    };
    for (const char *name : { "build", "other", "installed", "package" })
        writeFile(programs[QLatin1String(name)], "#!/bin/sh\n");
    for (const char *prefix : { "/prefix", "/usr" })
        writeFile(root + QLatin1String(prefix) + QStringLiteral("/share/applications/")
                      + AppIdentity::id() + QStringLiteral(".desktop"),
                  "[Desktop Entry]\n");

    if (olderEntry) {
        writeFile(RunAtLogon::autostartFile(),
                  "[Desktop Entry]\nType=Application\nName=Tarrowin\nExec="
                      + DesktopEntry::quotedProgram(programs[before]).toUtf8() + " /tray\n"
                      + desktopSwitches);
    } else if (!before.isEmpty()) {
        RunAtLogon::setEnabled(true, programs[before]);
        writeFile(RunAtLogon::autostartFile(), entryFile() + desktopSwitches);
    }

    RunAtLogon::refresh(programs[running]);

    if (after.isEmpty()) {
        QVERIFY(!QFile::exists(RunAtLogon::autostartFile()));
        return;
    }
    const QByteArray refreshed = entryFile();
    // The whole entry as it is written today for that program, plus the desktop's switches.
    RunAtLogon::setEnabled(true, programs[after]);
    QCOMPARE(QString::fromUtf8(refreshed), QString::fromUtf8(entryFile() + desktopSwitches));
}

TARROWIN_TEST_MAIN(TestRunAtLogon, false)
#include "tst_runatlogon.moc"
