// Unpacks one build archive through the real ArchiveUnpacker, the way the installer does, and
// with bsdtar -xf, alternately, into fresh directories on the same file system, and prints the
// medians of their wall times.
//
//   installbench <archive.zip> <work directory> <rounds>
//   installbench --once <archive.zip> <destination that does not exist yet>
//       one unpack in this process: its time and how much the resident set grew

#include "alternation.h"

#include "install/archiveunpacker.h"

#include "support/processstatus.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

namespace {

int unpackOnce(const QString &archive, const QString &destination)
{
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

// Times one unpacking program from its start to its end; a run that leaves no runnable
// chrome at chrome counts as failed.
Alternation::Run timed(const QString &program, const QStringList &arguments, const QString &tree,
                       const QString &chrome)
{
    QElapsedTimer clock;
    clock.start();
    const QByteArray line = Alternation::output(program, arguments);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const bool unpacked = QFileInfo(chrome).isExecutable();
    QDir(tree).removeRecursively();
    if (!unpacked)
        return { -1, program.toLocal8Bit() + " left no chrome" };
    return { seconds, "wall_s=" + QByteArray::number(seconds, 'f', 3) + ' ' + line };
}

int compare(const QString &archive, const QString &work, int rounds)
{
    const QString tree = QDir(work).filePath(QStringLiteral("tree"));
    const auto ours = [&] {
        return timed(QCoreApplication::applicationFilePath(),
                     { QStringLiteral("--once"), archive, tree }, tree, tree + "/chrome");
    };
    const auto bsdtar = [&] {
        QDir().mkpath(tree);
        return timed(QStringLiteral("bsdtar"),
                     { QStringLiteral("-xf"), archive, QStringLiteral("-C"), tree }, tree,
                     tree + "/chrome-linux/chrome");
    };
    Alternation alternation(ours, bsdtar);
    if (!alternation.run(rounds, "tarrowin", "bsdtar"))
        return 1;
    const double t = alternation.ours();
    const double b = alternation.reference();
    std::printf("install: tarrowin_s=%.3f bsdtar_s=%.3f ratio=%.2f peak_rss_growth_MiB=%.1f\n", t,
                b, t / b, Alternation::largest(alternation.ourLines(), "peak_rss_growth_MiB"));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("--once"))
        return unpackOnce(arguments.at(2), arguments.at(3));
    if (arguments.size() == 4)
        return compare(arguments.at(1), arguments.at(2), arguments.at(3).toInt());
    std::fprintf(stderr, "usage: %s <archive.zip> <work directory> <rounds>\n", argv[0]);
    return 2;
}
