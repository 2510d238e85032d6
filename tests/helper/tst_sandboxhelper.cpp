#include "helper/profilewriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A <kind>/<build>/chrome below root, with its folders.
bool makeBuild(const QString &root, int build, const char *kind = "versions")
{
    const QString folder = root + QStringLiteral("/%1/%2").arg(QLatin1String(kind)).arg(build);
    QFile chrome(folder + QStringLiteral("/chrome"));
    return QDir().mkpath(folder) && chrome.open(QIODevice::WriteOnly) && chrome.write("#") == 1;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

} // namespace

// The root helper as an attacker meets it: paths it must refuse, a root swapped for a link
// while it checks and writes, a file-size limit and a parser that refuses.
class TestSandboxHelper : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void refusals_data();
    void refusals();
    void textRefusals();
    void raceNamesOnlyTheCheckedRoot_data();
    void raceNamesOnlyTheCheckedRoot();
    void keepsTheEarlierProfile_data();
    void keepsTheEarlierProfile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::string m_base;
};

void TestSandboxHelper::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_base = QFile::encodeName(QFileInfo(m_dir->path()).canonicalFilePath()).toStdString();
}

void TestSandboxHelper::refusals_data()
{
    QTest::addColumn<QString>("browser");
    QTest::addColumn<int>("otherUid");
    QTest::addColumn<QString>("why");
    const auto row = [](const char *name, const char *browser, const char *why, int other = 0) {
        QTest::newRow(name) << QString::fromUtf8(browser) << other << QString(why);
    };
    const char *notBuild = "is not a versions/<build>/chrome";
    row("the user's build", "%1/root/versions/7/chrome", "");
    row("relative", "root/versions/7/chrome", notBuild);
    row("up a folder", "%1/root/../root/versions/7/chrome", notBuild);
    row("this folder", "%1/root/./versions/7/chrome", notBuild);
    row("doubled slash", "%1/root//versions/7/chrome", notBuild);
    row("trailing slash", "%1/root/versions/7/chrome/", notBuild);
    row("no root", "/versions/7/chrome", notBuild);
    row("build not a number", "%1/root/versions/7a/chrome", notBuild);
    row("not the browser", "%1/root/versions/7/chrome_sandbox", notBuild);
    for (const char *character :
         { " ", "\t", "\n", "\"", "'", "{",  "}", ",", "*",        "?",
           "[", "]",  "^",  "#",  "=", "\\", "$", ":", "\xc3\xa9", "\x7f" }) {
        const QByteArray browser = QByteArray("%1/ro") + character + "ot/versions/7/chrome";
        QTest::addRow("character %02x", uchar(character[0]))
            << QString::fromUtf8(browser) << 0 << QString(notBuild);
    }
    row("root is a link", "%1/link/versions/7/chrome", "is a link");
    row("a link above the root", "%1/up/root/versions/7/chrome", "is a link");
    row("browser is a link", "%1/root/versions/9/chrome", "is not a file");
    row("browser is a folder", "%1/root/versions/8/chrome", "is not a file");
    row("root others may change", "%1/open/versions/7/chrome", "may be changed by other users");
    row("another user's root", "%1/root/versions/7/chrome", "does not belong to uid", 1);
    row("a bisect step's build", "%1/root/bisect-cache/7/chrome", "");
    row("the step's folder a link", "%1/root/versions/bisect-cache/7/chrome", "is a link");
    row("the step's build a link", "%1/root/bisect-cache/9/chrome", "is a link");
    row("a step others may change", "%1/root/bisect-cache/6/chrome", "may be changed by other");
    row("step not a number", "%1/root/bisect-cache/x1/chrome", notBuild);
    row("a folder named alike", "%1/root/bisect-cachex/1/chrome", notBuild);
    row("up from the step's folder", "%1/root/bisect-cache/../versions/7/chrome", notBuild);
}

void TestSandboxHelper::refusals()
{
    QFETCH(QString, browser);
    QFETCH(int, otherUid);
    QFETCH(QString, why);
    const QString base = QString::fromStdString(m_base);
    const QString root = base + QStringLiteral("/root");
    QVERIFY(makeBuild(root, 7) && makeBuild(base + QStringLiteral("/open"), 7)
            && QDir().mkpath(root + QStringLiteral("/versions/8/chrome"))
            && QFile::link(root, base + QStringLiteral("/link"))
            && QFile::link(base, base + QStringLiteral("/up"))
            && QDir().mkpath(root + QStringLiteral("/versions/9"))
            && QFile::link(root + QStringLiteral("/versions/7/chrome"),
                           root + QStringLiteral("/versions/9/chrome"))
            && ::chmod(QFile::encodeName(base + QStringLiteral("/open")), 01777) == 0);
    const QString steps = root + QStringLiteral("/bisect-cache/");
    QVERIFY(makeBuild(root, 6, "bisect-cache") && makeBuild(root, 7, "bisect-cache")
            && QFile::link(steps, root + QStringLiteral("/versions/bisect-cache"))
            && QFile::link(steps + "7", steps + "9")
            && ::chmod(QFile::encodeName(steps + "6"), 0777) == 0);

    std::string checked = "unset";
    const std::string refusal = ProfileWriter::refusal(browser.arg(base).toStdString(),
                                                       ::getuid() + unsigned(otherUid), &checked);
    QVERIFY2(QString::fromStdString(refusal).contains(why), refusal.c_str());
    QCOMPARE(refusal.empty(), why.isEmpty());
    QCOMPARE(checked, why.isEmpty() ? m_base + "/root" : std::string("unset"));
}

void TestSandboxHelper::textRefusals()
{
    // The helper's re-check refuses a third folder, a profile without the keyword, an early end.
    const std::string root = m_base + "/root", text = ProfileWriter::text(::getuid(), root);
    for (const auto &[from, to] :
         { std::pair("cache}", "cache,tmp}"), { ">\n}", ">\n}\n/** {}" }, { "s,\n", "s,\n}\n" } }) {
        const QByteArray changed = QByteArray::fromStdString(text).replace(from, to);
        QVERIFY(changed != text.c_str()
                && !ProfileWriter::textRefusal(changed.toStdString(), ::getuid(), root).empty());
    }
}

void TestSandboxHelper::raceNamesOnlyTheCheckedRoot_data()
{
    // Where the build is, and which folder trades places with a link to another tree.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("swapped");
    QTest::newRow("a build, the root swapped") << "versions"
                                               << "root";
    QTest::newRow("a step's build, the root swapped") << "bisect-cache"
                                                      << "root";
    QTest::newRow("a step's build, its folder swapped") << "bisect-cache"
                                                        << "root/bisect-cache";
}

void TestSandboxHelper::raceNamesOnlyTheCheckedRoot()
{
    QFETCH(QString, kind);
    QFETCH(QString, swapped);
    // The swapped folder and a link to the same place in another tree of the user's trade
    // places all the while; each profile written must name root as checked, never where the
    // link led.
    const QString base = QString::fromStdString(m_base);
    const QByteArray kindName = kind.toLatin1();
    QVERIFY(makeBuild(base + QStringLiteral("/root"), 7, kindName.constData()));
    QVERIFY(makeBuild(base + QStringLiteral("/elsewhere"), 7, kindName.constData()));
    const QString target
        = QString(swapped).replace(QStringLiteral("root"), QStringLiteral("elsewhere"));
    QVERIFY(QFile::link(base + '/' + target, base + QStringLiteral("/swap")));
    QVERIFY(QDir().mkpath(base + QStringLiteral("/profiles")));
    const int directory = ::open((m_base + "/profiles").c_str(), O_RDONLY | O_DIRECTORY);
    QVERIFY(directory >= 0);
    const std::string root = m_base + "/root", swap = m_base + "/swap";
    const std::string moving = m_base + '/' + swapped.toStdString();
    std::atomic<bool> stop(false);
    std::thread swapper([&] {
        for (int i = 0; i < 100000000 && !stop; ++i)
            ::renameat2(AT_FDCWD, moving.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
    });
    const QByteArray named = "profile tarrowin-chromium-" + QByteArray::number(::getuid()) + ' '
        + root.c_str() + "/{versions,bisect-cache}/*/chrome flags=(unconfined) {\n";
    const QString profile = base + QStringLiteral("/profiles/tarrowin-chromium-%1").arg(::getuid());
    int written = 0, refused = 0;
    QByteArray wrong;
    // Lookups mostly lose to the swapping, so the runs go on until enough were written.
    for (int run = 0; run < 50000 && (run < 2000 || written < 50 || refused == 0); ++run) {
        std::string message;
        const ProfileWriter::Status status
            = ProfileWriter(directory, ::getuid())
                  .write(root + '/' + kind.toStdString() + "/7/chrome", &message);
        if (status == ProfileWriter::Refused) {
            ++refused;
            continue;
        }
        ++written;
        const QByteArray text = contents(profile);
        if (status != ProfileWriter::Done || text.count("profile ") != 1 || !text.contains(named)
            || text.contains("elsewhere"))
            wrong = text + message.c_str();
    }
    stop = true;
    swapper.join();
    ::close(directory);
    qInfo("%d profiles written, %d runs refused while the swapped folder was a link", written,
          refused);
    QVERIFY2(wrong.isEmpty(), wrong.constData());
    QVERIFY(written > 0 && refused > 0);
}

void TestSandboxHelper::keepsTheEarlierProfile_data()
{
    QTest::addColumn<int>("fileSizeLimit"); // bytes; -1: none
    QTest::addColumn<int>("parserExit");
    QTest::addColumn<bool>("earlier");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("written") << -1 << 0 << true << 0;
    QTest::newRow("no room at all") << 0 << 0 << true << 3;
    QTest::newRow("room for a part") << 200 << 0 << true << 3;
    QTest::newRow("no room, none before") << 0 << 0 << false << 3;
    QTest::newRow("the parser refuses") << -1 << 1 << true << 4;
    QTest::newRow("the parser refuses, none before") << -1 << 1 << false << 4;
}

void TestSandboxHelper::keepsTheEarlierProfile()
{
    QFETCH(int, fileSizeLimit);
    QFETCH(int, parserExit);
    QFETCH(bool, earlier);
    QFETCH(int, exitCode);
    const QString base = QString::fromStdString(m_base);
    const QString profiles = base + QStringLiteral("/profiles");
    const QString name = QStringLiteral("tarrowin-chromium-%1").arg(::getuid());
    QVERIFY(makeBuild(base + QStringLiteral("/root"), 7) && QDir().mkpath(profiles));
    const QByteArray before = QByteArray("# the earlier profile\n").repeated(40);
    QFile file(profiles + QLatin1Char('/') + name);
    QVERIFY(!earlier || (file.open(QIODevice::WriteOnly) && file.write(before) == before.size()));
    file.close();

    QProcess helper;
    QProcessEnvironment environment;
    for (const auto &[name, value] : { std::pair("PKEXEC_UID", QString::number(::getuid())),
                                       { "TARROWIN_APPARMOR_DIR", profiles },
                                       { "TARROWIN_APPARMOR_PARSER", TARROWIN_FAKE_PARSER },
                                       { "FAKE_PARSER_RECORD", base + "/record" },
                                       { "FAKE_PARSER_EXIT", QString::number(parserExit) } })
        environment.insert(QString::fromLatin1(name), value);
    helper.setProcessEnvironment(environment);
    helper.setChildProcessModifier([fileSizeLimit] {
        const rlimit limit { rlim_t(fileSizeLimit), rlim_t(fileSizeLimit) };
        if (fileSizeLimit >= 0)
            ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    helper.start(QStringLiteral(TARROWIN_SANDBOX_HELPER),
                 { base + QStringLiteral("/root/versions/7/chrome") });
    QVERIFY(helper.waitForFinished(30000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), exitCode);
    const QByteArray after = contents(file.fileName());
    if (exitCode == 0)
        QVERIFY(after.contains(QByteArray("profile ") + name.toUtf8() + ' ' + m_base.c_str()));
    else
        QCOMPARE(after, earlier ? before : QByteArray("(none)"));
    // Nothing half-written stays beside it either.
    QCOMPARE(QDir(profiles).entryList(QDir::Files | QDir::Hidden).size(),
             int(earlier || exitCode == 0));
}

QTEST_GUILESS_MAIN(TestSandboxHelper)
#include "tst_sandboxhelper.moc"
