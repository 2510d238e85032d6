#include "install/browserlauncher.h"
#include "settings/config.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>

// The launcher, run against the fake browser installed as build 7 of a root in the test's home.
class TestBrowserLauncher : public QObject
{
    Q_OBJECT

public:
    explicit TestBrowserLauncher(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void startsCurrentBuildWithItsOwnProfile_data();
    void startsCurrentBuildWithItsOwnProfile();
    void profileSetting_data();
    void profileSetting();

private:
    TestEnvironment &m_environment;
};

void TestBrowserLauncher::startsCurrentBuildWithItsOwnProfile_data()
{
    QTest::addColumn<QString>("rootName");
    QTest::addColumn<QString>("profileName");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("plain") << "root"
                           << "profile" << QStringList();
    // Whatever a desktop or a web-app shortcut hands over reaches the browser as it was.
    QTest::newRow("arguments pass through")
        << "root"
        << "profile"
        << QStringList { "--new-window", "https://a.example/?q=1&b=$HOME", "two words", "", "it's",
                         "`id`",         "--profile-directory=Default" };
    // Paths are data to the shell, never code.
    QTest::newRow("paths with quotes, dollars, line breaks")
        << "root 'a' $(touch pwned)"
        << "it's \"$HOME\" `touch pwned`\nnext" << QStringList { "x" };
}

void TestBrowserLauncher::startsCurrentBuildWithItsOwnProfile()
{
    QFETCH(QString, rootName);
    QFETCH(QString, profileName);
    QFETCH(QStringList, arguments);
    const QDir base(m_environment.tempDir());
    QDir(base.filePath(rootName)).removeRecursively();
    const InstallRoot root(base.filePath(rootName));
    QVERIFY(QDir().mkpath(root.versionPath(7)));
    QVERIFY(QFile::copy(TARROWIN_FAKE_BROWSER, root.versionPath(7) + "/chrome"));
    QVERIFY(QFile::link("versions/7", root.currentLink()));
    const QString profile = base.filePath(profileName);
    QDir(profile).removeRecursively();
    QVERIFY(QDir().mkpath(profile));

    QVERIFY(BrowserLauncher::install(root, profile, QString()));
    QProcess launcher;
    launcher.setWorkingDirectory(base.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("FAKEBROWSER_EXIT", "1");
    launcher.setProcessEnvironment(environment);
    launcher.start(BrowserLauncher::path(root), arguments);
    QVERIFY(launcher.waitForFinished(10000));
    QCOMPARE(launcher.readAllStandardError(), QByteArray());
    QCOMPARE(launcher.exitCode(), 0);

    QFile record(profile + "/fakebrowser.record");
    QVERIFY(record.open(QIODevice::ReadOnly));
    QStringList expected { "start", "arg --user-data-dir=" + profile };
    for (const QString &argument : arguments)
        expected << "arg " + argument;
    expected << "CHROME_WRAPPER " + BrowserLauncher::path(root)
             << "CHROME_DESKTOP tarrowin-chromium.desktop"
             << "exe " + QFileInfo(root.browserPath()).canonicalFilePath() << QString();
    // The record is line by line, and so is the expectation.
    QCOMPARE(QString::fromLocal8Bit(record.readAll()), expected.join('\n'));
    QVERIFY(QFile::exists(profile + "/Last Version"));
    QVERIFY(!QFile::exists(base.filePath("pwned")));
    QVERIFY(!QFile::exists(m_environment.configHome() + "/chromium"));
}

void TestBrowserLauncher::profileSetting_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("profile");
    const QString own = m_environment.configHome() + "/tarrowin-chromium";
    QTest::newRow("absent") << QVariant() << own;
    QTest::newRow("chosen") << QVariant("/home/ann/.config/chromium")
                            << "/home/ann/.config/chromium";
    QTest::newRow("cleaned") << QVariant("/data//p/../q/") << "/data/q";
    // A relative folder would follow wherever the browser was started from.
    QTest::newRow("relative") << QVariant("chromium") << own;
}

void TestBrowserLauncher::profileSetting()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, profile);
    Config::remove(Config::BrowserProfile);
    if (stored.isValid())
        Config::set(Config::BrowserProfile, stored);
    QCOMPARE(BrowserLauncher::profile(), profile);
}

TARROWIN_TEST_MAIN(TestBrowserLauncher, false)
#include "tst_browserlauncher.moc"
