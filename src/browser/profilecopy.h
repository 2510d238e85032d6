#pragma once

#include <QFutureWatcher>
#include <QObject>

#include <atomic>

// The offer to copy the distribution's Chromium profile (~/.config/chromium) into the browser's
// own, before the own one first exists. It only ever reads the source, copies on a worker
// thread (a profile may hold gigabytes) and reports its progress in whole percents.
class ProfileCopy : public QObject
{
    Q_OBJECT
    // 0 to 100 while copying, -1 otherwise.
    Q_PROPERTY(int progress READ progress NOTIFY progressChanged)

public:
    explicit ProfileCopy(QObject *parent = nullptr);
    // Stops a copy under way and waits for it: nothing half-copied stays.
    ~ProfileCopy() override;

    // $XDG_CONFIG_HOME/chromium.
    static QString source();
    int progress() const { return m_progress; }

    // Whether to offer: the source exists and the own profile does not.
    Q_INVOKABLE bool wanted() const;
    // False when not wanted or already copying; the outcome comes with finished().
    Q_INVOKABLE bool start();

signals:
    void progressChanged(int progress);
    // error says why not, when not copied.
    void finished(bool copied, const QString &error);

private:
    void setProgress(int progress);

    int m_progress = -1;
    std::atomic<bool> m_cancel { false };
    QFutureWatcher<QString> m_copying;
};
