#include "builds/chromedownloader.h"
#include "common/endpoints.h"
#include "settings/config.h"
#include "support/fakeinstaller.h"
#include "support/loopbackserver.h"
#include "support/processstatus.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QNetworkReply>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QSignalSpy>

namespace {

const int build = 123456;
using Reports = QList<QPair<qint64, qint64>>;

QString installerPath(int number = build)
{
    return QStringLiteral("/chromium-browser-snapshots/Win_x64/%1/mini_installer.exe").arg(number);
}

// Every notification of a downloader, in order, as short text.
class NotificationLog : public QObject
{
public:
    explicit NotificationLog(ChromeDownloader *downloader)
    {
        connect(
            downloader, &ChromeDownloader::currentStatusChanged, this,
            [this](ChromeDownloader::Status s) { entries << QStringLiteral("status %1").arg(s); });
        connect(downloader, &ChromeDownloader::downloading, this,
                [this](int b) { entries << QStringLiteral("downloading %1").arg(b); });
        connect(downloader, &ChromeDownloader::currentBuildChanged, this,
                [this](int b) { entries << QStringLiteral("build %1").arg(b); });
        connect(downloader, &ChromeDownloader::downloadSizeChanged, this,
                [this](qint64 v) { entries << QStringLiteral("size %1").arg(v); });
        connect(downloader, &ChromeDownloader::downloadCurrentChanged, this,
                [this](qint64 v) { entries << QStringLiteral("current %1").arg(v); });
        connect(downloader, &ChromeDownloader::downloadProgressChanged, this,
                [this](float v) { entries << QStringLiteral("progress %1").arg(v); });
    }
    QStringList statuses() const { return entries.filter(QStringLiteral("status")); }
    QStringList entries;
};

} // namespace

class TestChromeDownloader : public QObject
{
    Q_OBJECT

public:
    explicit TestChromeDownloader(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void initTestCase();
    void init();

    void currentBuildFromSettings_data();
    void currentBuildFromSettings();
    void completeRun_data();
    void completeRun();
    void failedTransfer_data();
    void failedTransfer();
    void failedInstallation_data();
    void failedInstallation();
    void callsWhileBusyAreIgnored();
    void plantedFilesAreNeverTouched();
    void unusableTemporaryDirectory();
    void quittingLeavesTheInstallerRunning();
    void installerOutputIsNotKept();
    void progressNotifiesOnlyOnChange_data();
    void progressNotifiesOnlyOnChange();
    void viewSeesEveryStatusChange();

private:
    void serveInstaller(const QByteArray &script, int number = build);
    bool waitUntilIdleAfterRun(ChromeDownloader &downloader, NotificationLog &log);
    bool temporaryDirectoryIsEmpty() const;

    TestEnvironment &m_environment;
    std::unique_ptr<LoopbackServer> m_server;
    QString m_record;
};

void TestChromeDownloader::initTestCase()
{
    Startup::registerTypes();
    m_record = FakeInstaller::prepare(m_environment.root());
}

void TestChromeDownloader::init()
{
    QSettings().clear();
    m_record = FakeInstaller::prepare(m_environment.root());
    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    qputenv("TMPDIR", QFile::encodeName(m_environment.tempDir()));
    QDir(m_environment.tempDir()).removeRecursively();
    QDir().mkpath(m_environment.tempDir());
}

void TestChromeDownloader::serveInstaller(const QByteArray &script, int number)
{
    m_server->serve(installerPath(number), script);
}

bool TestChromeDownloader::waitUntilIdleAfterRun(ChromeDownloader &downloader, NotificationLog &log)
{
    return QTest::qWaitFor(
        [&] {
            return log.statuses().size() >= 2
                && downloader.status() == ChromeDownloader::IdleStatus;
        },
        20000);
}

bool TestChromeDownloader::temporaryDirectoryIsEmpty() const
{
    return QDir(m_environment.tempDir())
        .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

void TestChromeDownloader::currentBuildFromSettings_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("currentBuild");
    QTest::newRow("absent") << QVariant() << -1;
    QTest::newRow("a build") << QVariant(4242) << 4242;
    QTest::newRow("not a number") << QVariant(QStringLiteral("abc")) << 0;
}

void TestChromeDownloader::currentBuildFromSettings()
{
    QFETCH(QVariant, stored);
    QFETCH(int, currentBuild);
    if (stored.isValid())
        QSettings().setValue(QStringLiteral("CurrentBuild"), stored);
    ChromeDownloader downloader;
    QCOMPARE(downloader.currentBuild(), currentBuild);
    QCOMPARE(downloader.status(), ChromeDownloader::IdleStatus);
    QCOMPARE(downloader.downloadProgress(), 0.0f);
    QVERIFY(m_server->requests().isEmpty());
}

void TestChromeDownloader::completeRun_data()
{
    QTest::addColumn<bool>("announceLength");
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<QByteArray>("hash"); // the x-goog-hash header, none when empty
    QTest::addColumn<QString>("mirror"); // "BuildStorage" below an HTTPS server of its own
    QTest::addColumn<bool>("parallel"); // the file comes in four ranges
    const QByteArray body = FakeInstaller::exitingWith(0);
    const QByteArray both = LoopbackServer::storageHash(body);
    const QByteArray crc = LoopbackServer::storageHash(body, true, false);
    QTest::newRow("with length") << true << false << QByteArray() << QString() << false;
    QTest::newRow("chunked") << false << true << QByteArray() << QString() << false;
    QTest::newRow("no length, closed at the end, checksum vouches")
        << false << false << both << QString() << false;
    QTest::newRow("with length and checksum") << true << false << both << QString() << false;
    // MD5 is computed only where the storage sends no CRC-32C.
    QTest::newRow("crc32c right, md5 wrong")
        << true << false
        << crc + "," + LoopbackServer::storageHash(FakeInstaller::exitingWith(1), false, true)
        << QString() << false;
    QTest::newRow("from a mirror below a path") << true << false << both << "/org/cache/" << false;
    // No range may still hold the file open for writing when it is run.
    QTest::newRow("in four ranges") << true << false << crc << QString() << true;
}

void TestChromeDownloader::completeRun()
{
    QFETCH(bool, announceLength);
    QFETCH(bool, chunked);
    QFETCH(QByteArray, hash);
    QFETCH(QString, mirror);
    QFETCH(bool, parallel);

    LoopbackServer::Response response;
    response.body = FakeInstaller::exitingWith(0);
    response.announceLength = announceLength;
    response.chunked = chunked;
    response.ranges = parallel;
    if (parallel) {
        response.headers.append({ QByteArray("ETag"), QByteArray("\"a\"") });
        ArchiveFetch::setParallelThreshold(8);
    }
    if (!hash.isEmpty())
        response.headers.append({ "x-goog-hash", hash });
    std::unique_ptr<LoopbackServer> mirrorServer;
    if (!mirror.isNull()) {
        LoopbackServer::trustTestCertificate();
        mirrorServer = LoopbackServer::tls();
        Config::set(Config::BuildStorage, mirrorServer->url(mirror));
        mirrorServer->setResponse(mirror.chopped(1) + installerPath(), response);
        m_server->serveMetadata(installerPath().mid(28), response.body);
    }
    m_server->setResponse(installerPath(), response);

    ChromeDownloader downloader;
    NotificationLog log(&downloader);
    downloader.downloadVersion(build);
    QCOMPARE(log.entries.value(0), QStringLiteral("status 1"));
    // A mirror's copy is fetched once the storage has described it.
    QVERIFY(mirrorServer || QFile::exists(downloader.installerPath()));
    QVERIFY(waitUntilIdleAfterRun(downloader, log));
    ArchiveFetch::setParallelThreshold(64 * 1024 * 1024);

    QCOMPARE(log.statuses(), (QStringList { "status 1", "status 2", "status 0" }));
    QCOMPARE(log.entries.filter("downloading"), QStringList { "downloading 123456" });
    const QStringList tail = log.entries.mid(log.entries.size() - 3);
    QCOMPARE(tail,
             (QStringList { "status 0", QStringLiteral("build %1").arg(build), "progress 0" }));
    // Progress came between the start and the installation.
    const int installing = log.entries.indexOf(QStringLiteral("status 2"));
    QVERIFY(log.entries.mid(1, installing - 1)
                .contains(QStringLiteral("current %1").arg(response.body.size())));

    QCOMPARE(downloader.currentBuild(), build);
    QCOMPARE(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), build);
    QVERIFY(downloader.lastError().isEmpty());
    QCOMPARE(m_server->requests().size(), parallel ? 33 : 1); // the first piece and 32 ranges
    QCOMPARE(downloader.downloadCurrent(), qint64(response.body.size()));
    QCOMPARE(downloader.downloadProgress(), 0.0f);

    const QStringList runs = FakeInstaller::runs(m_record);
    QCOMPARE(runs.size(), 1);
    QVERIFY2(runs.first().endsWith(QStringLiteral("/chromium_installer_%1.exe 0").arg(build)),
             qPrintable(runs.first()));
    QVERIFY(temporaryDirectoryIsEmpty());
    // Weeks of updates must not pile up finished replies and processes.
    QTRY_VERIFY(downloader.findChildren<QNetworkReply *>().isEmpty());
    QTRY_VERIFY(downloader.findChildren<QProcess *>().isEmpty());
}

void TestChromeDownloader::failedTransfer_data()
{
    // How a transfer fails is tst_archivefetch's; here, what the attempt does then.
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("hash");
    QTest::newRow("500") << 500 << QByteArray();
    // Every try breaks half-way: one attempt, said once, however often it is tried again.
    QTest::newRow("cut off on every try") << 200 << QByteArray("cut");
    QTest::newRow("md5 differs") << 200
                                 << LoopbackServer::storageHash(FakeInstaller::exitingWith(1),
                                                                false, true);
}

void TestChromeDownloader::failedTransfer()
{
    QFETCH(int, status);
    QFETCH(QByteArray, hash);
    LoopbackServer::Response response;
    response.status = status;
    response.body = FakeInstaller::exitingWith(0);
    const bool cut = hash == "cut";
    response.closeAfter = cut ? response.body.size() / 2 : -1;
    response.headers.append({ cut ? "ETag" : "x-goog-hash", cut ? "\"a\"" : hash });
    ArchiveFetch::setRetryDelays(cut ? QList<int> { 10, 10 } : QList<int>());
    m_server->setResponse(installerPath(), response);

    ChromeDownloader downloader;
    QSignalSpy failed(&downloader, &ChromeDownloader::failed);
    NotificationLog log(&downloader);
    downloader.downloadVersion(build);
    QVERIFY(failed.wait(20000));
    QVERIFY(!downloader.lastError().isEmpty());
    QCOMPARE(failed.first(), (QVariantList { build, downloader.lastError() }));
    QCOMPARE(log.statuses(), (QStringList { "status 1", "status 0" }));
    QCOMPARE(m_server->requestCount(installerPath()), cut ? 3 : 1);
    QCOMPARE(log.entries.filter("downloading").size(), status == 200 ? 1 : 0);
    QVERIFY(FakeInstaller::runs(m_record).isEmpty());
    QCOMPARE(downloader.currentBuild(), -1);
    QVERIFY(!QSettings().contains(QStringLiteral("CurrentBuild")));
    QVERIFY(temporaryDirectoryIsEmpty());
}

void TestChromeDownloader::failedInstallation_data()
{
    QTest::addColumn<QByteArray>("installer");
    QTest::addColumn<int>("runs");
    QTest::addColumn<QString>("error");
    QTest::newRow("exit code 1") << FakeInstaller::exitingWith(1) << 1
                                 << "The installer failed with exit code 1";
    QTest::newRow("crash") << FakeInstaller::crashing() << 1 << "The installer crashed";
    QTest::newRow("not a program") << QByteArray("MZ this is no executable for this system") << 0
                                   << "The installer could not be started: ";
}

void TestChromeDownloader::failedInstallation()
{
    QFETCH(QByteArray, installer);
    QFETCH(int, runs);
    QFETCH(QString, error);
    QSettings().setValue(QStringLiteral("CurrentBuild"), 1000);
    serveInstaller(installer);

    ChromeDownloader downloader;
    NotificationLog log(&downloader);
    downloader.downloadVersion(build);
    QVERIFY(waitUntilIdleAfterRun(downloader, log));

    QCOMPARE(log.statuses(), (QStringList { "status 1", "status 2", "status 0" }));
    QVERIFY(!log.entries.filter(QStringLiteral("build")).size());
    QCOMPARE(log.entries.last(), QStringLiteral("progress 0"));
    QCOMPARE(downloader.currentBuild(), 1000);
    QCOMPARE(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), 1000);
    QCOMPARE(FakeInstaller::runs(m_record).size(), runs);
    QVERIFY(temporaryDirectoryIsEmpty());
    QVERIFY2(downloader.lastError().startsWith(error), qPrintable(downloader.lastError()));
}

void TestChromeDownloader::installerOutputIsNotKept()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer holds freed memory in quarantine: resident size says nothing here");
#endif
    serveInstaller(FakeInstaller::chattering(256));
    const qint64 before = ProcessStatus::kibibytes("VmHWM");
    ChromeDownloader downloader;
    QSignalSpy installed(&downloader, &ChromeDownloader::currentBuildChanged);
    downloader.downloadVersion(build);
    // A real event loop: the output is drained as fast as it comes.
    QVERIFY(installed.wait(60000));
    QCOMPARE(downloader.currentBuild(), build);
    // 512 MiB went through; what stays is bounded by the 4 KiB error tail and Qt's pipe
    // buffer, nowhere near the output's size.
    const qint64 grownMiB = (ProcessStatus::kibibytes("VmHWM") - before) / 1024;
    QVERIFY2(grownMiB < 64, qPrintable(QString::number(grownMiB)));
}

void TestChromeDownloader::callsWhileBusyAreIgnored()
{
    LoopbackServer::Response response;
    response.body = FakeInstaller::waitingForRelease(0);
    response.trickleIntervalMs = 2;
    m_server->setResponse(installerPath(), response);
    serveInstaller(FakeInstaller::exitingWith(0), build + 1);

    ChromeDownloader downloader;
    NotificationLog log(&downloader);
    downloader.downloadVersion(build);
    const QString file = downloader.installerPath();

    // While downloading.
    downloader.downloadVersion(build);
    downloader.downloadVersion(build + 1);
    QCOMPARE(downloader.installerPath(), file);

    // While installing.
    QTRY_COMPARE_WITH_TIMEOUT(downloader.status(), ChromeDownloader::InstallingStatus, 20000);
    downloader.downloadVersion(build);
    downloader.downloadVersion(build + 1);
    QCOMPARE(downloader.status(), ChromeDownloader::InstallingStatus);
    QCOMPARE(downloader.installerPath(), file);

    QVERIFY(FakeInstaller::release());
    QTRY_COMPARE_WITH_TIMEOUT(downloader.status(), ChromeDownloader::IdleStatus, 20000);

    QCOMPARE(log.statuses(), (QStringList { "status 1", "status 2", "status 0" }));
    QCOMPARE(m_server->requests(), QStringList { installerPath() });
    QCOMPARE(downloader.currentBuild(), build);
}

void TestChromeDownloader::plantedFilesAreNeverTouched()
{
    // Someone else's files where a naive downloader would write and run.
    const QString tmp = m_environment.tempDir();
    const QString victim = m_environment.root() + QStringLiteral("/victim.txt");
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("precious");
    victimFile.close();
    QVERIFY(QFile::link(victim, tmp + QStringLiteral("/chromium_installer_%1.exe").arg(build)));
    QFile planted(tmp + QStringLiteral("/chromium_installer_%1.exe").arg(build + 1));
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.write(FakeInstaller::exitingWith(0));
    planted.close();

    serveInstaller(FakeInstaller::exitingWith(0));
    serveInstaller(FakeInstaller::exitingWith(0), build + 1);
    ChromeDownloader downloader;
    for (int number : { build, build + 1 }) {
        NotificationLog log(&downloader);
        downloader.downloadVersion(number);
        QVERIFY(waitUntilIdleAfterRun(downloader, log));
        QCOMPARE(downloader.currentBuild(), number);
    }

    QVERIFY(victimFile.open(QIODevice::ReadOnly));
    QCOMPARE(victimFile.readAll(), QByteArray("precious"));
    QVERIFY(QFileInfo(tmp + QStringLiteral("/chromium_installer_%1.exe").arg(build)).isSymLink());
    QVERIFY(planted.open(QIODevice::ReadOnly));
    QCOMPARE(planted.readAll(), FakeInstaller::exitingWith(0));
    // Both runs came from private directories, never from the planted paths.
    for (const QString &run : FakeInstaller::runs(m_record)) {
        QVERIFY2(run.contains(QStringLiteral("/tarrowin-")), qPrintable(run));
    }
}

void TestChromeDownloader::unusableTemporaryDirectory()
{
    // A temporary directory below a plain file cannot hold anything.
    const QString plainFile = m_environment.root() + QStringLiteral("/not-a-directory");
    QFile(plainFile).open(QIODevice::WriteOnly);
    qputenv("TMPDIR", QFile::encodeName(plainFile + QStringLiteral("/tmp")));
    serveInstaller(FakeInstaller::exitingWith(0));

    ChromeDownloader downloader;
    NotificationLog log(&downloader);
    downloader.downloadVersion(build);
    QCOMPARE(downloader.status(), ChromeDownloader::IdleStatus);
    QVERIFY(log.statuses().isEmpty());
    QVERIFY(m_server->requests().isEmpty());
    QVERIFY(FakeInstaller::runs(m_record).isEmpty());
}

void TestChromeDownloader::quittingLeavesTheInstallerRunning()
{
    serveInstaller(FakeInstaller::waitingForRelease(0));
    QString file;
    {
        ChromeDownloader downloader;
        downloader.downloadVersion(build);
        file = downloader.installerPath();
        QTRY_COMPARE_WITH_TIMEOUT(downloader.status(), ChromeDownloader::InstallingStatus, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(FakeInstaller::runs(m_record).size(), 1, 20000);
    }
    // Quitting neither waits for the installer nor kills it: it keeps its file, and since
    // its outcome is unknown the build is not recorded.
    QVERIFY(QFile::exists(file));
    QVERIFY(!QSettings().contains(QStringLiteral("CurrentBuild")));
    QVERIFY(FakeInstaller::release());
}

void TestChromeDownloader::progressNotifiesOnlyOnChange_data()
{
    QTest::addColumn<Reports>("reports");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("first report") << Reports { { 10, 100 } }
                                  << QStringList { "size 100", "current 10", "progress 0.1" };
    QTest::newRow("repeated report is silent")
        << Reports { { 10, 100 }, { 10, 100 } }
        << QStringList { "size 100", "current 10", "progress 0.1" };
    QTest::newRow("unknown total leaves progress")
        << Reports { { 10, -1 } } << QStringList { "size -1", "current 10", "progress -10" };
    QTest::newRow("zero total leaves progress")
        << Reports { { 10, 0 } } << QStringList { "current 10" };
    QTest::newRow("nothing received leaves progress")
        << Reports { { 0, 100 } } << QStringList { "size 100" };
    QTest::newRow("only the count moves")
        << Reports { { 10, 100 }, { 20, 100 } }
        << QStringList { "size 100", "current 10", "progress 0.1", "current 20", "progress 0.2" };
    QTest::newRow("same single-precision progress is silent")
        << Reports { { 1000000000, 3000000000 }, { 1000000001, 3000000000 } }
        << QStringList { "size 3000000000", "current 1000000000", "progress 0.333333",
                         "current 1000000001" };
}

void TestChromeDownloader::progressNotifiesOnlyOnChange()
{
    QFETCH(Reports, reports);
    QFETCH(QStringList, expected);
    ChromeDownloader downloader;
    NotificationLog log(&downloader);
    for (const auto &[received, total] : reports)
        downloader.fileDownloadProgress(received, total);
    QCOMPARE(log.entries, expected);
}

void TestChromeDownloader::viewSeesEveryStatusChange()
{
    serveInstaller(FakeInstaller::exitingWith(0));
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData("import Tarrowin 1.0\n"
                      "ChromeDownloader {\n"
                      "    property var seen: []\n"
                      "    onStatusChanged: seen.push(this.status)\n"
                      "    onCurrentBuildChanged: seen.push('build ' + this.currentBuild)\n"
                      "}\n",
                      QUrl());
    std::unique_ptr<QObject> object(component.create());
    QVERIFY2(object, qPrintable(component.errorString()));
    auto *downloader = qobject_cast<ChromeDownloader *>(object.get());
    downloader->downloadVersion(build);
    QTRY_COMPARE_WITH_TIMEOUT(object->property("seen").toList().size(), 4, 20000);
    QCOMPARE(object->property("seen").toList(),
             (QVariantList { 1, 2, 0, QStringLiteral("build %1").arg(build) }));
}

TARROWIN_TEST_MAIN(TestChromeDownloader, false)
#include "tst_chromedownloader.moc"
