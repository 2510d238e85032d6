#include "builds/archivesource.h"

#include "builds/buildseries.h"
#include "builds/buildstorage.h"
#include "builds/mirrorcheck.h"
#include "common/updatelog.h"

ArchiveSource::ArchiveSource(QObject *parent)
    : QObject(parent)
    , m_check(new MirrorCheck(this))
{
    connect(m_check, &MirrorCheck::described, this, &ArchiveSource::described);
    connect(m_check, &MirrorCheck::verified, this, &ArchiveSource::verified);
}

void ArchiveSource::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_check->setNetworkAccessManager(manager);
}

bool ArchiveSource::begin(int build)
{
    m_build = build;
    m_vouched = false;
    m_fromOrigin = false;
    setMirrorOnly(false);
    return !BuildStorage::mirror().isEmpty();
}

void ArchiveSource::describe(const BuildSeries &series)
{
    m_check->describe(series, m_build);
}

void ArchiveSource::described(ObjectMetadata::Outcome outcome)
{
    if (outcome == ObjectMetadata::NotFound) {
        emit missing();
        return;
    }
    m_vouched = outcome == ObjectMetadata::Found;
    if (!m_vouched)
        qCWarning(lcUpdate) << "The build storage could not be asked about build" << m_build
                            << "- the mirror's own checksums decide";
    setMirrorOnly(!m_vouched);
    emit ready();
}

void ArchiveSource::aim(ArchiveFetch::Request *request, const BuildSeries &series, int build) const
{
    const QString path = series.artifactPath(build);
    // By the build's own address, which never changes: a cache on the way may keep it.
    request->url = m_fromOrigin ? BuildStorage::originUrl(path) : BuildStorage::url(path);
    const std::optional<ArchiveFetch::Expected> described = m_check->expected();
    if (m_vouched)
        request->expected = described;
    else if (m_fromOrigin && described)
        request->generation = described->generation;
}

void ArchiveSource::verify(const QString &fileName, const QByteArray &generation)
{
    m_check->verify(fileName, generation);
}

bool ArchiveSource::refuses(const ArchiveFetch::Result &result) const
{
    if (!m_vouched)
        return false;
    const std::optional<ArchiveFetch::Expected> described = m_check->expected();
    const QByteArray &named = result.judgedBy.generation;
    const bool another = described && !named.isEmpty() && named != described->generation;
    return result.mismatch || result.httpStatus == 412 || another;
}

QString ArchiveSource::refuse(int build)
{
    m_vouched = false;
    m_fromOrigin = true;
    return MirrorCheck::refusal(build);
}

void ArchiveSource::setMirrorOnly(bool mirrorOnly)
{
    if (mirrorOnly == m_mirrorOnly)
        return;
    m_mirrorOnly = mirrorOnly;
    emit mirrorOnlyChanged(mirrorOnly);
}
