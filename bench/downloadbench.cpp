// Downloads one build through the real ChromeDownloader, the way the program does, and
// prints the transfer rate and how much the resident set grew on the way.
//
//   tarrowin_bench_download <storage base URL> <build number>
//   tarrowin_bench_download --crc32c <file>     prints the file's CRC-32C as the storage sends it
//
// The served file must be a runnable installer stand-in (for example a shell script that
// exits 0, padded to the size under test).

#include "builds/buildseries.h"
#include "builds/chromedownloader.h"
#include "builds/crc32c.h"
#include "common/endpoints.h"
#include "shell/startup.h"

#include "support/processstatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QtEndian>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Startup::setApplicationIdentity();
    if (argc == 3 && QByteArray(argv[1]) == "--crc32c") {
        QFile file(QString::fromLocal8Bit(argv[2]));
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        Crc32c crc;
        for (QByteArray piece; !(piece = file.read(4 * 1024 * 1024)).isEmpty();)
            crc.addData(piece);
        const quint32 big = qToBigEndian(crc.value());
        std::printf("%s\n",
                    QByteArray(reinterpret_cast<const char *>(&big), 4).toBase64().constData());
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <storage base URL> <build number>\n", argv[0]);
        return 2;
    }
    Endpoints::setBuildStorage(QUrl(QString::fromLocal8Bit(argv[1])));
    // The transfer is what is measured: the installer it ends with is a stub.
    BuildSeries::setNative(BuildSeries(QStringLiteral("Win_x64"),
                                       QStringLiteral("mini_installer.exe"),
                                       BuildSeries::RunInstaller));
    const int build = QByteArray(argv[2]).toInt();

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
