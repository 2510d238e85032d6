// Downloads and installs one build archive through the real ChromeDownloader while the
// server cuts the connection carrying the archive's byte at 90 % once (the single stream, or
// the last of the parallel ranges), and prints how much more than the file the server sent.
//
//   tarrowin_bench_resume [MiB, default 256]

#include "builds/buildseries.h"
#include "builds/chromedownloader.h"
#include "common/endpoints.h"
#include "shell/startup.h"

#include "support/archivebuilder.h"
#include "support/loopbackserver.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    // A home of its own: the install root and the settings land there, not in the user's.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    QCoreApplication app(argc, argv);
    Startup::setApplicationIdentity();
    const qint64 mebibytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
    const int build = 4242;

    // Random filler: the archive is as large on the wire as on disk, like a real build.
    QByteArray filler(mebibytes * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(filler.data()),
                                          filler.size() / sizeof(quint32));
    QList<ArchiveBuilder::Entry> entries = ArchiveBuilder::chromeTree();
    ArchiveBuilder::Entry resources;
    resources.path = QStringLiteral("chrome-linux/resources.pak");
    resources.data = filler;
    entries.append(resources);
    const QByteArray zip = ArchiveBuilder::zip(entries, ArchiveBuilder::Compression::Store);
    filler.clear();

    LoopbackServer server;
    LoopbackServer::Response response;
    response.body = zip;
    response.headers = { { "x-goog-hash", LoopbackServer::storageHash(zip, true, false) },
                         { "ETag", "\"bench\"" } };
    response.closeAfter = zip.size() * 9 / 10;
    response.ranges = true;
    // The single stream, or whichever range holds that byte.
    response.cutRangeAt = response.closeAfter;
    server.setResponse(BuildSeries::native().artifactPath(build), response);
    Endpoints::setBuildStorage(server.url());

    ChromeDownloader downloader;
    QObject::connect(&downloader, &ChromeDownloader::currentBuildChanged, &app,
                     [] { QCoreApplication::quit(); });
    QObject::connect(&downloader, &ChromeDownloader::failed, &app, [](int, const QString &error) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        QCoreApplication::exit(1);
    });
    // Bounded: a broken run cannot keep the benchmark going.
    QTimer::singleShot(600000, &app, [] { QCoreApplication::exit(1); });
    QTimer::singleShot(0, &app, [&] { downloader.downloadVersion(build); });
    if (QCoreApplication::exec() != 0 || downloader.currentBuild() != build) {
        std::fprintf(stderr, "resume: the build did not install\n");
        return 1;
    }

    // Everything the server wrote counts, including what was in flight when a connection went.
    const qint64 fetched = server.bodyBytesSent();
    const double file = double(zip.size()) / (1024 * 1024);
    std::printf("resume: file_MiB=%.1f fetched_MiB=%.1f extra_pct=%.1f\n", file,
                double(fetched) / (1024 * 1024), 100.0 * (double(fetched) / zip.size() - 1.0));
    return 0;
}
