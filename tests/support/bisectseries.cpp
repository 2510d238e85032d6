#include "support/bisectseries.h"

#include "builds/buildseries.h"
#include "common/endpoints.h"
#include "support/archivebuilder.h"
#include "support/loopbackserver.h"
#include "support/plantedbuilds.h"
#include "support/publishedseries.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"

#include <QCryptographicHash>
#include <QDirIterator>

QList<int> BisectSeries::serve(LoopbackServer &server, int count)
{
    BuildSeries::setNative(TestEnvironment::archiveSeries());
    Endpoints::setReleases(server.url());
    server.serve(QStringLiteral("/fetch_commit"), {}, 404);
    const QList<int> published = PublishedSeries::sparse(count);
    server.serveListingObjects(PublishedSeries::objects(published));
    QFile fake(QStringLiteral(TARROWIN_FAKE_BROWSER));
    QList<ArchiveBuilder::Entry> entries = ArchiveBuilder::chromeTree();
    for (ArchiveBuilder::Entry &entry : entries) {
        if (entry.path == QLatin1String("chrome-linux/chrome") && fake.open(QIODevice::ReadOnly))
            entry.data = fake.readAll();
    }
    const QByteArray archive = ArchiveBuilder::zip(entries);
    for (const int build : published)
        server.serve(
            QStringLiteral("/chromium-browser-snapshots/Linux_x64/%1/chrome-linux.zip").arg(build),
            archive);
    const InstallRoot root(InstallRoot::defaultPath());
    if (!fake.isOpen() || archive.isEmpty()
        || !plantBuild(root, published.first(), "Chromium 131.0.6778.0 snapshot", true)
        || !plantBuild(root, published.last(), "Chromium 131.0.6779.0 snapshot", true))
        return {};
    return published;
}

void BisectSeries::restore()
{
    BuildSeries::setNative(TestEnvironment::installerSeries());
    Endpoints::setReleases(QUrl(QStringLiteral("https://127.0.0.1:9")));
}

bool BisectSeries::bringTo(const ViewProbe &view, const QString &state)
{
    view(QStringLiteral("openBuilds()"));
    view(QStringLiteral("findBrokenBuildLink.activated()"));
    view(QStringLiteral("bisectStartButton.clicked()"));
    const QString reached = QStringLiteral("bisectActions.state === BisectActions.") + state;
    const QString next
        = reached + QStringLiteral(" || bisectActions.state === BisectActions.Testing");
    // A handful of verdicts at most for the series served.
    for (int step = 0; step < 8; ++step) {
        if (!QTest::qWaitFor([&] { return view(next).toBool(); }, 20000) || view(reached).toBool())
            break;
        view(QStringLiteral("bisectBadButton.clicked()"));
    }
    if (!view(reached).toBool())
        qWarning("%s", qPrintable(view(QStringLiteral("bisectActions.line")).toString()));
    return view(reached).toBool();
}

QStringList BisectSeries::tree(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        files.append(it.filePath().mid(folder.size()) + QLatin1Char(' ')
                     + QString::fromLatin1(hash.result().toHex()));
    }
    files.sort();
    return files;
}
