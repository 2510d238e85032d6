#include "builds/bisectfetch.h"

#include "builds/archivesource.h"
#include "common/updatelog.h"
#include "install/archiveinstaller.h"
#include "install/treeremoval.h"
#include "transfer/archivefetch.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

BisectFetch::BisectFetch(const InstallRoot &root, const QString &directory, QObject *parent)
    : QObject(parent)
    , m_root(root)
    , m_directory(directory)
    , m_series(BuildSeries::native())
    , m_fetch(new ArchiveFetch(this))
    , m_installer(new ArchiveInstaller(root, this))
    , m_source(new ArchiveSource(this))
{
    m_installer->setPlaceInto(directory);
    connect(m_source, &ArchiveSource::ready, this, &BisectFetch::transfer);
    connect(m_source, &ArchiveSource::missing, this, [this] {
        installed(false, tr("The build storage has no archive of build %1").arg(m_build));
    });
    connect(m_source, &ArchiveSource::verified, this,
            [this](bool matches) { matches ? unpack() : refuseMirror(); });
    connect(m_fetch, &ArchiveFetch::finished, this, &BisectFetch::fetched);
    connect(m_installer, &ArchiveInstaller::finished, this,
            [this](bool succeeded, const QString &error) { installed(succeeded, error); });
}

BisectFetch::~BisectFetch()
{
    blockSignals(true);
    m_fetch->halt();
    m_staging.close();
}

void BisectFetch::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_fetch->setNetworkAccessManager(manager);
    m_source->setNetworkAccessManager(manager);
}

void BisectFetch::setGenerations(const QHash<int, QByteArray> &generations)
{
    m_generations = generations;
}

bool BisectFetch::has(int build) const
{
    const QFileInfo browser(m_directory + QLatin1Char('/') + QString::number(build)
                            + QStringLiteral("/chrome"));
    return browser.isFile() && browser.isExecutable();
}

void BisectFetch::cancel()
{
    m_wanted.clear();
    m_cancelled = true;
    if (m_build >= 0 && m_fetch->isRunning())
        stop();
}

void BisectFetch::want(const QList<int> &builds)
{
    m_wanted.clear();
    m_cancelled = false;
    for (const int build : builds) {
        if (build < 0 || m_wanted.contains(build))
            continue;
        if (has(build))
            QTimer::singleShot(0, this, [this, build] { emit ready(build); });
        else
            m_wanted.append(build);
    }
    // A transfer of a build nobody waits for any more gives way; an unpacking, seconds from
    // its end, is let finish.
    if (m_build >= 0 && !m_wanted.contains(m_build) && m_fetch->isRunning())
        stop();
    if (m_build < 0)
        startNext();
}

void BisectFetch::startNext()
{
    if (m_wanted.isEmpty() || !m_series.isValid())
        return;
    m_build = m_wanted.first();
    qCInfo(lcUpdate) << "Fetching build" << m_build << "for the bisect";
    // A mirror's copy is judged by what the storage says of it, asked first, as for an update.
    if (m_source->begin(m_build))
        m_source->describe(m_series);
    else
        transfer();
}

void BisectFetch::transfer()
{
    // No longer wanted while the storage was asked about it.
    if (!m_wanted.contains(m_build)) {
        m_build = -1;
        startNext();
        return;
    }
    QString where;
    std::optional<ArchiveFetch::Request> request
        = m_staging.open(m_series, m_root, m_build, &where);
    if (!request) {
        installed(false, tr("Cannot write to %1").arg(QDir::toNativeSeparators(where)));
        return;
    }
    request->generation = m_generations.value(m_build);
    m_source->aim(&*request, m_series, m_build);
    m_fetch->start(*request);
}

void BisectFetch::fetched()
{
    const ArchiveFetch::Result &result = m_fetch->result();
    if (m_source->refuses(result))
        return refuseMirror();
    if (result.outcome != ArchiveFetch::Complete)
        return installed(false, result.error);
    if (m_source->isVouched())
        m_source->verify(m_staging.fileName(), result.judgedBy.generation);
    else
        unpack();
}

void BisectFetch::unpack()
{
    m_staging.finishWriting();
    const QString archive = m_staging.fileName();
    m_installer->install(m_build, archive, m_staging.takeDirectory());
}

void BisectFetch::refuseMirror()
{
    // The storage's own copy of the same upload instead.
    qCWarning(lcUpdate).noquote() << m_source->refuse(m_build);
    m_staging.close();
    transfer();
}

void BisectFetch::installed(bool succeeded, const QString &error)
{
    m_staging.close();
    const int build = m_build;
    m_build = -1;
    m_wanted.removeAll(build);
    if (succeeded && m_cancelled) {
        TreeRemoval::removeLater(m_directory + QLatin1Char('/') + QString::number(build));
        return;
    }
    if (succeeded)
        emit ready(build);
    else
        emit failed(build, error);
    if (m_build < 0)
        startNext();
}

void BisectFetch::stop()
{
    qCInfo(lcUpdate) << "Build" << m_build << "is no longer wanted for the bisect";
    m_fetch->halt();
    m_staging.close();
    m_build = -1;
}
