#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into terminationRequested(), delivered by the event
// loop, so a logout or `kill` ends the program through its normal exit and it cleans up
// after itself. Only one may exist per process; elsewhere than Unix it does nothing.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(QObject *parent = nullptr);
    // Puts the default actions back: a signal after this ends the process as usual.
    ~UnixSignals() override;

    // False when the handlers could not be installed (or another instance has them).
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void terminationRequested(int signal);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
