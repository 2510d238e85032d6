// Downloads one build through the real ChromeDownloader, the way the program does, and with
// curl, alternately, and prints the medians of their transfer rates.
//
//   tarrowin_bench_download download|ranges <storage base URL> <build number> <rounds>
//                           [server's access log, to count the connections of our last run]
//   tarrowin_bench_download --once <storage base URL> <build number>
//       one download in this process: its rate and how much the resident set grew
//   tarrowin_bench_download --crc32c <file>     prints the file's CRC-32C as the storage sends it
//
// The served file must be a runnable installer stand-in (for example a shell script that
// exits 0, padded to the size under test).

#include "alternation.h"

#include "builds/buildseries.h"
#include "builds/chromedownloader.h"
#include "common/endpoints.h"
#include "shell/startup.h"
#include "transfer/crc32c.h"

#include "support/processstatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// The series whose file is a runnable stand-in: the transfer is what is measured.
BuildSeries installerSeries()
{
    return BuildSeries(QStringLiteral("Win_x64"), QStringLiteral("mini_installer.exe"),
                       BuildSeries::RunInstaller);
}

int printCrc32c(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    Crc32c crc;
    for (QByteArray piece; !(piece = file.read(4 * 1024 * 1024)).isEmpty();)
        crc.addData(piece);
    std::printf("%s\n", Crc32c::digest(crc.value()).toBase64().constData());
    return 0;
}

int downloadOnce(QCoreApplication &app, const QUrl &storage, int build)
{
    Endpoints::setBuildStorage(storage);
    BuildSeries::setNative(installerSeries());

    ChromeDownloader downloader;
    QElapsedTimer clock;
    qint64 transferMs = -1;
    QObject::connect(&downloader, &ChromeDownloader::currentStatusChanged, &app,
                     [&](ChromeDownloader::Status status) {
                         if (status == ChromeDownloader::InstallingStatus)
                             transferMs = clock.elapsed();
                         if (status == ChromeDownloader::IdleStatus)
                             QCoreApplication::quit();
                     });
    // Bounded: a broken server cannot keep the benchmark running.
    QTimer::singleShot(600000, &app, [] { QCoreApplication::exit(1); });

    const qint64 residentBefore = ProcessStatus::kibibytes("VmRSS");
    ProcessStatus::resetPeak();
    clock.start();
    QTimer::singleShot(0, &app, [&] { downloader.downloadVersion(build); });
    const int result = QCoreApplication::exec();
    const qint64 peak = ProcessStatus::kibibytes("VmHWM");

    if (result != 0 || transferMs <= 0 || downloader.currentBuild() != build) {
        std::fprintf(stderr, "download failed\n");
        return 1;
    }
    const double megabytes = double(downloader.downloadSize()) / 1e6;
    std::printf("bytes=%lld ms=%lld MBps=%.1f peak_rss_growth_MiB=%.1f\n",
                static_cast<long long>(downloader.downloadSize()),
                static_cast<long long>(transferMs), megabytes / (double(transferMs) / 1000.0),
                double(peak - residentBefore) / 1024.0);
    return 0;
}

qint64 lineCount(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

int compare(const QStringList &arguments)
{
    const bool ranges = arguments.at(1) == QLatin1String("ranges");
    const QString storage = arguments.at(2);
    const int build = arguments.at(3).toInt();
    const int rounds = arguments.at(4).toInt();
    const QString accessLog = arguments.value(5);
    const QString url = storage + installerSeries().artifactPath(build);
    const QString self = QCoreApplication::applicationFilePath();
    // A folder of our own: curl follows a link someone planted at a fixed name in /tmp.
    const QTemporaryDir curlDirectory;
    if (!curlDirectory.isValid())
        return 1;
    const QString curlFile = curlDirectory.filePath(QStringLiteral("curl.bin"));

    qint64 connections = 0;
    const auto ours = [&]() -> Alternation::Run {
        // A settings folder of its own each time: no run finds the build the last one recorded.
        QTemporaryDir config;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const qint64 before = lineCount(accessLog);
        const QByteArray line = Alternation::output(
            self, { QStringLiteral("--once"), storage, QString::number(build) }, environment);
        connections = lineCount(accessLog) - before;
        return { Alternation::field(line, "MBps"), line };
    };
    const auto curl = [&]() -> Alternation::Run {
        const QByteArray speed = Alternation::output(QStringLiteral("curl"),
                                                     { QStringLiteral("-s"), QStringLiteral("-o"),
                                                       curlFile, QStringLiteral("-w"),
                                                       QStringLiteral("%{speed_download}"), url });
        QFile::remove(curlFile);
        const double megabytes = speed.isEmpty() ? -1 : speed.toDouble() / 1e6;
        return { megabytes, "MBps=" + QByteArray::number(megabytes, 'f', 1) };
    };

    // One unmeasured fetch warms the server and the page cache for the served file.
    Alternation::output(
        QStringLiteral("curl"),
        { QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), url });
    Alternation alternation(ours, curl);
    if (!alternation.run(rounds, "tarrowin", "curl"))
        return 1;
    // Medians: single runs on a shared disk vary by a factor of two.
    const double t = alternation.ours();
    const double c = alternation.reference();
    if (ranges)
        std::printf("ranges: tarrowin_MBps=%.1f curl_MBps=%.1f ratio=%.2f connections=%lld\n", t, c,
                    t / c, static_cast<long long>(connections));
    else
        std::printf("download: tarrowin_MBps=%.1f curl_MBps=%.1f ratio=%.2f "
                    "peak_rss_growth_MiB=%.1f\n",
                    t, c, t / c,
                    Alternation::largest(alternation.ourLines(), "peak_rss_growth_MiB"));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Startup::setApplicationIdentity();
    const QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.value(1);
    if (mode == QLatin1String("--crc32c") && arguments.size() == 3)
        return printCrc32c(arguments.at(2));
    if (mode == QLatin1String("--once") && arguments.size() == 4)
        return downloadOnce(app, QUrl(arguments.at(2)), arguments.at(3).toInt());
    if ((mode == QLatin1String("download") || mode == QLatin1String("ranges"))
        && (arguments.size() == 5 || arguments.size() == 6))
        return compare(arguments);
    std::fprintf(stderr,
                 "usage: %s download|ranges <storage base URL> <build> <rounds> [access log]\n",
                 argv[0]);
    return 2;
}
