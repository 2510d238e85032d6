#include "builds/mirrorcheck.h"

#include "common/updatelog.h"
#include "transfer/crc32c.h"

#include <QCryptographicHash>
#include <QFile>
#include <QPromise>
#include <QtConcurrentRun>

namespace {

constexpr qint64 piece = 1024 * 1024;

void digest(QPromise<ObjectMetadata::Transfer> &promise, const QString &fileName,
            const QByteArray &generation)
{
    ObjectMetadata::Transfer transfer;
    transfer.generation = generation;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        promise.addResult(transfer);
        return;
    }
    Crc32c crc;
    QCryptographicHash md5(QCryptographicHash::Md5);
    qint64 size = 0;
    QByteArray buffer(piece, Qt::Uninitialized);
    for (qint64 read = 0; (read = file.read(buffer.data(), piece)) > 0; size += read) {
        if (promise.isCanceled())
            return;
        crc.addData(QByteArrayView(buffer.constData(), read));
        md5.addData(QByteArrayView(buffer.constData(), read));
    }
    // A read error leaves the size short of the storage's, which no copy matches.
    transfer.size = file.error() == QFileDevice::NoError ? size : -1;
    transfer.crc32c = Crc32c::digest(crc.value());
    transfer.md5 = md5.result();
    promise.addResult(transfer);
}

} // namespace

MirrorCheck::MirrorCheck(QObject *parent)
    : QObject(parent)
    , m_metadata(new ObjectMetadata(this))
{
    connect(m_metadata, &ObjectMetadata::finished, this,
            [this](const ObjectMetadata::Result &origin) {
                m_origin = origin;
                emit described(origin.outcome);
            });
    connect(&m_digest, &QFutureWatcherBase::finished, this, [this] {
        const QFuture<ObjectMetadata::Transfer> future = m_digest.future();
        if (future.isCanceled() || future.resultCount() == 0)
            return;
        const bool matches = ObjectMetadata::matches(m_origin, future.result());
        qCInfo(lcUpdate) << "The mirror's copy" << (matches ? "matches" : "does not match")
                         << "the storage's description";
        emit verified(matches);
    });
}

MirrorCheck::~MirrorCheck()
{
    cancel();
    m_digest.waitForFinished();
}

void MirrorCheck::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_metadata->setNetworkAccessManager(manager);
}

void MirrorCheck::describe(const BuildSeries &series, int build)
{
    m_origin = ObjectMetadata::Result();
    m_metadata->fetch(series, build);
}

std::optional<ArchiveFetch::Expected> MirrorCheck::expected() const
{
    if (m_origin.outcome != ObjectMetadata::Found)
        return std::nullopt;
    return ArchiveFetch::Expected { m_origin.expected, m_origin.size, m_origin.generation };
}

void MirrorCheck::verify(const QString &fileName, const QByteArray &generation)
{
    cancel();
    m_digest.setFuture(QtConcurrent::run(digest, fileName, generation));
}

void MirrorCheck::cancel()
{
    m_digest.cancel();
}

QString MirrorCheck::refusal(int build)
{
    return tr("The mirror's copy of build %1 does not match the build storage").arg(build);
}
