#include "install/pipelinedunpack.h"

#include <QDir>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>

#include <fcntl.h>
#include <unistd.h>

struct PipelinedUnpack::State
{
    int archive = -1;
    QString destination;
    QString topFolder;
    ArchiveUnpacker::Limits limits;
    std::atomic<bool> cancel { false };
    QFutureWatcher<ArchiveUnpacker::Result> watcher;
    bool finished = false;
    bool succeeded = false;
};

PipelinedUnpack::PipelinedUnpack(int archive, const ZipCatalog &catalog, const QString &destination,
                                 const QString &topFolder, const ArchiveUnpacker::Limits &limits,
                                 QObject *parent)
    : QObject(parent)
    , m_state(std::make_unique<State>())
{
    Q_UNUSED(catalog)
    m_state->archive = ::fcntl(archive, F_DUPFD_CLOEXEC, 0);
    m_state->destination = destination;
    m_state->topFolder = topFolder;
    m_state->limits = limits;
    connect(&m_state->watcher, &QFutureWatcher<ArchiveUnpacker::Result>::finished, this, [this] {
        const ArchiveUnpacker::Result result = m_state->watcher.result();
        m_state->finished = true;
        m_state->succeeded = result.ok;
        emit finished(result);
    });
}

PipelinedUnpack::~PipelinedUnpack()
{
    m_state->watcher.disconnect(this);
    if (!m_state->succeeded)
        cancel();
    m_state->watcher.waitForFinished();
    if (m_state->archive >= 0)
        ::close(m_state->archive);
}

QString PipelinedUnpack::start()
{
    return QString();
}

void PipelinedUnpack::available(qint64 from, qint64 to)
{
    Q_UNUSED(from)
    Q_UNUSED(to)
}

void PipelinedUnpack::finish()
{
    const QString archive = QStringLiteral("/proc/self/fd/%1").arg(m_state->archive);
    m_state->watcher.setFuture(
        QtConcurrent::run([archive, destination = m_state->destination, top = m_state->topFolder,
                           limits = m_state->limits, cancel = &m_state->cancel] {
            return ArchiveUnpacker::unpack(archive, destination, top, limits, cancel);
        }));
}

void PipelinedUnpack::cancel()
{
    m_state->cancel = true;
    m_state->watcher.disconnect(this);
    m_state->watcher.waitForFinished();
    m_state->succeeded = false;
    QDir(m_state->destination).removeRecursively();
}

qint64 PipelinedUnpack::unpackedBytes() const
{
    return 0;
}
