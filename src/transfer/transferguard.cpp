#include "transfer/transferguard.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

constexpr int defaultWindow = 5 * 60 * 1000;

} // namespace

TransferGuard::TransferGuard(std::function<qint64()> received, QObject *parent)
    : QObject(parent)
    , m_received(std::move(received))
{
    m_window.setInterval(defaultWindow);
    connect(&m_window, &QTimer::timeout, this, &TransferGuard::check);
}

void TransferGuard::start()
{
    m_atWindowStart = m_received();
    m_window.start();
}

QString TransferGuard::refusal(qint64 size, const QString &directory)
{
    if (size > maximumSize)
        return tr("Download failed: the file is larger than 2 GiB");
    const QStorageInfo storage(directory);
    if (!directory.isEmpty() && storage.isValid()
        && storage.bytesAvailable() < freeSpaceFactor * size)
        return tr("Not enough disk space in %1")
            .arg(QDir::toNativeSeparators(QFileInfo(directory).absolutePath()));
    return QString();
}

void TransferGuard::check()
{
    // A stall is caught by the transfer timeout; a trickle of a byte now and then is not.
    const qint64 windowBytes = minimumBytesPerSecond * m_window.interval() / 1000;
    const qint64 received = m_received();
    if (received - m_atWindowStart < windowBytes) {
        emit tooSlow(tr("Download failed: the transfer stayed below 1 KiB/s"));
        return;
    }
    m_atWindowStart = received;
}
