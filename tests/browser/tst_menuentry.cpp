#include "browser/menuentry.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>

class TestMenuEntry : public QObject
{
    Q_OBJECT

public:
    explicit TestMenuEntry(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void init();

    void execLine_data();
    void execLine();
    void rewritingReplacesEntryAndIcon();
    void unwritableEntryFails();

private:
    QString writeLogo(const QByteArray &contents);
    static QByteArray contents(const QString &path);

    TestEnvironment &m_environment;
};

void TestMenuEntry::init()
{
    QDir(m_environment.dataHome()).removeRecursively();
    QDir().mkpath(m_environment.dataHome());
}

QString TestMenuEntry::writeLogo(const QByteArray &contents)
{
    const QString path = m_environment.tempDir() + QStringLiteral("/product_logo_48.png");
    QFile logo(path);
    if (logo.open(QIODevice::WriteOnly))
        logo.write(contents);
    return path;
}

QByteArray TestMenuEntry::contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestMenuEntry::execLine_data()
{
    QTest::addColumn<QString>("browser");
    QTest::addColumn<QByteArray>("exec");
    // Bare where it can be: xdg-settings reads no quotes.
    QTest::newRow("plain") << "/home/ann/chromium/current/chrome"
                           << QByteArray("/home/ann/chromium/current/chrome %U");
    QTest::newRow("every plain sign")
        << "/home/a.b_c+d,e:f@g-h/Z9/chrome" << QByteArray("/home/a.b_c+d,e:f@g-h/Z9/chrome %U");
    // Letters beyond ASCII are quoted: they are not plain to every reader.
    QTest::newRow("non-ASCII letter") << QString::fromUtf8("/home/zo\u00eb/chrome")
                                      << QByteArray("\"/home/zo\xc3\xab/chrome\" %U");
    QTest::newRow("blanks") << "/home/ann/My Data/chrome"
                            << QByteArray("\"/home/ann/My Data/chrome\" %U");
    // Inside the quotes " ` $ \ take a backslash, which the key-file layer doubles again.
    QTest::newRow("quotes, dollar, backtick")
        << "/home/it's \"q\" $HOME `x`/chrome"
        << QByteArray("\"/home/it's \\\\\"q\\\\\" \\\\$HOME \\\\`x\\\\`/chrome\" %U");
    QTest::newRow("backslash") << "/home/a\\b/chrome"
                               << QByteArray("\"/home/a\\\\\\\\b/chrome\" %U");
    QTest::newRow("percent") << "/home/100%U/chrome" << QByteArray("\"/home/100%%U/chrome\" %U");
    // A line break must not smuggle in a key of its own.
    QTest::newRow("line break") << "/home/x\nExec=evil/chrome"
                                << QByteArray("\"/home/x\\nExec=evil/chrome\" %U");
    // A launcher there is, whose path needs quotes, is started through a plain link to it.
    QTest::newRow("linked") << "<temp>/My Data/tarrowin-chromium" << QByteArray("<link> %U");
}

void TestMenuEntry::execLine()
{
    QFETCH(QString, browser);
    QFETCH(QByteArray, exec);
    const bool linked = browser.startsWith("<temp>");
    if (linked) {
        browser.replace("<temp>", m_environment.tempDir());
        QVERIFY(QDir().mkpath(QFileInfo(browser).path()));
        QVERIFY(QFile(browser).open(QIODevice::WriteOnly));
        exec.replace("<link>", QFile::encodeName(MenuEntry::launcherLink()));
    }
    QVERIFY(MenuEntry::write(browser, QString()));
    QCOMPARE(QFileInfo(MenuEntry::launcherLink()).symLinkTarget(), linked ? browser : QString());
    QCOMPARE(MenuEntry::desktopFile(),
             m_environment.dataHome() + QStringLiteral("/applications/tarrowin-chromium.desktop"));
    const QList<QByteArray> lines = contents(MenuEntry::desktopFile()).split('\n');
    QCOMPARE(lines.first(), QByteArray("[Desktop Entry]"));
    QVERIFY(lines.contains("Type=Application"));
    QVERIFY(lines.contains("Name=Chromium (snapshot)"));
    QVERIFY(lines.contains("Icon=tarrowin-chromium"));
    QByteArrayList found;
    for (const QByteArray &line : lines) {
        if (line.startsWith("Exec="))
            found << line.mid(5);
    }
    QCOMPARE(found, QByteArrayList { exec });
    QVERIFY(lines.contains("StartupWMClass=Tarrowin-chromium"));

    // What desktops read is what the standard allows.
    QProcess validator;
    validator.start(QStringLiteral("desktop-file-validate"), { MenuEntry::desktopFile() });
    QVERIFY2(validator.waitForFinished(10000), qPrintable(validator.errorString()));
    QVERIFY2(validator.exitCode() == 0, validator.readAll().constData());
}

void TestMenuEntry::rewritingReplacesEntryAndIcon()
{
    QVERIFY(MenuEntry::write(QStringLiteral("/old/chrome"), writeLogo("old icon")));
    QCOMPARE(MenuEntry::iconFile(),
             m_environment.dataHome()
                 + QStringLiteral("/icons/hicolor/48x48/apps/tarrowin-chromium.png"));
    QCOMPARE(contents(MenuEntry::iconFile()), QByteArray("old icon"));

    QVERIFY(MenuEntry::write(QStringLiteral("/new/chrome"), writeLogo("new icon")));
    QCOMPARE(contents(MenuEntry::iconFile()), QByteArray("new icon"));
    QVERIFY(contents(MenuEntry::desktopFile()).contains("\nExec=/new/chrome %U\n"));

    // A build without a logo keeps the icon there is.
    QVERIFY(MenuEntry::write(QStringLiteral("/newer/chrome"),
                             m_environment.tempDir() + QStringLiteral("/missing.png")));
    QCOMPARE(contents(MenuEntry::iconFile()), QByteArray("new icon"));
    // The atomic writes leave no temporary files next to what they replaced.
    QCOMPARE(QDir(QFileInfo(MenuEntry::desktopFile()).absolutePath())
                 .entryList(QDir::Files | QDir::Hidden),
             QStringList { "tarrowin-chromium.desktop" });
    QCOMPARE(
        QDir(QFileInfo(MenuEntry::iconFile()).absolutePath()).entryList(QDir::Files | QDir::Hidden),
        QStringList { "tarrowin-chromium.png" });
}

void TestMenuEntry::unwritableEntryFails()
{
    // A file where the applications directory belongs; permissions would not stop root.
    QFile blocker(m_environment.dataHome() + QStringLiteral("/applications"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!MenuEntry::write(QStringLiteral("/opt/chrome"), QString()));
}

TARROWIN_TEST_MAIN(TestMenuEntry, false)
#include "tst_menuentry.moc"
