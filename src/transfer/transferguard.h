#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

// What no transfer of a build may be: a file past 2 GiB, one the disk has no room to unpack,
// or one that trickles below 1 KiB/s over a whole window (a stall is the transfer timeout's).
class TransferGuard : public QObject
{
    Q_OBJECT

public:
    // No Chromium build comes near this; a body past it is not what we asked for.
    static constexpr qint64 maximumSize = qint64(2) * 1024 * 1024 * 1024;
    // Unpacking needs room for the archive, the unpacked tree and the build it replaces.
    static constexpr int freeSpaceFactor = 4;
    // A transfer slower than this for a whole window is given up.
    static constexpr qint64 minimumBytesPerSecond = 1024;

    // received: what the transfer has brought so far.
    explicit TransferGuard(std::function<qint64()> received, QObject *parent = nullptr);

    void setWindow(int milliseconds) { m_window.setInterval(milliseconds); }
    // Watches the pace from now on, until stop().
    void start();
    void stop() { m_window.stop(); }

    // Why a file of `size` bytes cannot come into `directory` (none: only its size counts);
    // empty when it can.
    static QString refusal(qint64 size, const QString &directory = QString());

signals:
    void tooSlow(const QString &error);

private:
    void check();

    std::function<qint64()> m_received;
    QTimer m_window;
    qint64 m_atWindowStart = 0;
};
