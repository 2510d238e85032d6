// Unpacks one build archive through the real ArchiveUnpacker, the way the installer does,
// and prints how long it took and how much the resident set grew on the way.
//
//   installbench <archive.zip> <destination that does not exist yet>

#include "install/archiveunpacker.h"

#include "support/processstatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <archive.zip> <new destination>\n", argv[0]);
        return 2;
    }
    const QString archive = QString::fromLocal8Bit(argv[1]);
    const QString destination = QString::fromLocal8Bit(argv[2]);

    const qint64 residentBefore = ProcessStatus::kibibytes("VmRSS");
    ProcessStatus::resetPeak();
    QElapsedTimer clock;
    clock.start();
    const ArchiveUnpacker::Result result
        = ArchiveUnpacker::unpack(archive, destination, QStringLiteral("chrome-linux"));
    const qint64 elapsedNs = clock.nsecsElapsed();
    const qint64 peak = ProcessStatus::kibibytes("VmHWM");

    if (!result.ok) {
        std::fprintf(stderr, "unpack failed: %s\n", qPrintable(result.error));
        return 1;
    }
    std::printf("entries=%lld bytes=%lld seconds=%.3f peak_rss_growth_MiB=%.1f\n",
                static_cast<long long>(result.entries), static_cast<long long>(result.bytes),
                double(elapsedNs) / 1e9, double(peak - residentBefore) / 1024.0);
    return 0;
}
