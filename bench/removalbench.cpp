// Cancels a pipelined unpack whose tree is whole, 20,000 files as a refused archive's can be,
// while a timer ticks every 2 ms on the GUI thread, and prints the longest gap between two
// ticks, how long cancel() took and when the tree was gone from the disk.
//
//   tarrowin_bench_removal <work directory> [entries, default 20000] [rounds, default 5]

#include "install/pipelinedunpack.h"
#include "install/zipcatalog.h"

#include "support/archivebuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {

struct Round
{
    qint64 longestGapMs = -1;
    double cancelMs = 0;
    double goneS = 0;
};

// A build's few files and then small ones, 100 to a folder, up to `count` entries in all.
QList<ArchiveBuilder::Entry> manyFiles(int count, qint64 *bytes)
{
    QList<ArchiveBuilder::Entry> entries = ArchiveBuilder::chromeTree();
    for (int i = 0; entries.size() < count; ++i) {
        ArchiveBuilder::Entry entry;
        entry.path = QStringLiteral("chrome-linux/res/%1/%2.pak").arg(i / 100).arg(i);
        entry.data = QByteArray(512 + i % 3584, char('a' + i % 26));
        entries.append(entry);
    }
    *bytes = 0;
    for (const ArchiveBuilder::Entry &entry : std::as_const(entries))
        *bytes += entry.data.size();
    return entries;
}

// Waits, events running, until done() holds; false after limitMs.
bool waitFor(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    // Bounded by the limit.
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Cancels the unpack after 50 ms of ticking, and ticks on until its tree is gone.
void timeCancel(PipelinedUnpack &unpack, const QString &parent, Round *round)
{
    QElapsedTimer sinceTick, sinceCancel;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(2);
    QEventLoop loop;
    bool cancelled = false;
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        round->longestGapMs = std::max(round->longestGapMs, sinceTick.restart());
        if (cancelled
            && QDir(parent).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System
                                    | QDir::NoDotAndDotDot)) {
            round->goneS = double(sinceCancel.nsecsElapsed()) / 1e9;
            loop.quit();
        }
    });
    QTimer::singleShot(50, &loop, [&] {
        sinceCancel.start();
        unpack.cancel();
        round->cancelMs = double(sinceCancel.nsecsElapsed()) / 1e6;
        cancelled = true;
    });
    bool timedOut = false;
    QTimer::singleShot(300000, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    sinceTick.start();
    ticker.start();
    loop.exec();
    if (timedOut) {
        std::fprintf(stderr, "the tree was not removed\n");
        round->longestGapMs = -1;
    }
}

Round once(int archive, const ZipCatalog &catalog, qint64 bytes, const QString &parent)
{
    Round round;
    const QString tree = parent + QStringLiteral("/tree");
    QDir().mkpath(parent);
    PipelinedUnpack unpack(archive, catalog, tree, QStringLiteral("chrome-linux"));
    if (const QString error = unpack.start(); !error.isEmpty()) {
        std::fprintf(stderr, "start: %s\n", qPrintable(error));
        return round;
    }
    unpack.available(0, catalog.archiveSize());
    if (!waitFor([&] { return unpack.unpackedBytes() == bytes; }, 300000)) {
        std::fprintf(stderr, "the tree was not unpacked\n");
        return round;
    }
    // What a refused tree that took seconds to arrive is: on its way to the disk already.
    const int fd = ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY);
    ::syncfs(fd);
    ::close(fd);
    timeCancel(unpack, parent, &round);
    if (round.longestGapMs >= 0)
        std::printf("longest_gap_ms=%lld cancel_ms=%.1f gone_s=%.2f\n", round.longestGapMs,
                    round.cancelMs, round.goneS);
    std::fflush(stdout);
    return round;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <work directory> [entries] [rounds]\n", argv[0]);
        return 2;
    }
    const QString work = QString::fromLocal8Bit(argv[1]);
    const int count = argc > 2 ? std::atoi(argv[2]) : 20000;
    const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 5);
    qint64 bytes = 0;
    const QString archive = work + QStringLiteral("/many.zip");
    if (!ArchiveBuilder::writeZip(archive, manyFiles(count, &bytes))) {
        std::fprintf(stderr, "the archive could not be made\n");
        return 1;
    }
    QFile file(archive);
    ZipCatalog catalog;
    qint64 needFrom = -1;
    QString error;
    if (!file.open(QIODevice::ReadOnly)
        || !catalog.read(file.readAll(), file.size(), &needFrom, &error)) {
        std::fprintf(stderr, "catalog: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("archive: %lld entries, %lld bytes unpacked, in %s\n",
                static_cast<long long>(catalog.entries().size()), static_cast<long long>(bytes),
                qPrintable(work));
    QList<double> gaps, cancels, gone;
    for (int i = 0; i < rounds; ++i) {
        const Round round
            = once(file.handle(), catalog, bytes, work + QStringLiteral("/round%1").arg(i));
        if (round.longestGapMs < 0)
            return 1;
        gaps << double(round.longestGapMs);
        cancels << round.cancelMs;
        gone << round.goneS;
        QDir(work + QStringLiteral("/round%1").arg(i)).removeRecursively();
    }
    std::printf("removal: entries=%lld longest_gap_ms=%.0f worst_gap_ms=%.0f cancel_ms=%.1f "
                "gone_s=%.2f\n",
                static_cast<long long>(catalog.entries().size()), median(gaps),
                *std::max_element(gaps.cbegin(), gaps.cend()), median(cancels), median(gone));
    return 0;
}
