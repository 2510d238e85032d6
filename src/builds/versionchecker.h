#pragma once

#include "common/textfetch.h"

#include <QObject>

class QNetworkAccessManager;

// Learns the number of the newest Chromium snapshot build from the build storage's
// LAST_CHANGE object. Every completed check reports latestBuild, changed or not: the view
// compares it with the installed build after each one.
class VersionChecker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int latestBuild READ latestBuild NOTIFY latestBuildChanged)
    Q_PROPERTY(bool checking READ checking NOTIFY checkingChanged)
    // False when there is no Chromium build series for this platform.
    Q_PROPERTY(bool platformSupported READ platformSupported NOTIFY checkingChanged)
    // Why the last check found no build: the HTTP status the storage answered with (0 when
    // it was not reached) and the network's reason. Both are set before latestBuildChanged.
    Q_PROPERTY(int failureStatus READ failureStatus NOTIFY latestBuildChanged)
    Q_PROPERTY(QString failureReason READ failureReason NOTIFY latestBuildChanged)

public:
    // LAST_CHANGE is a handful of digits; anything longer is not what we asked for.
    static constexpr qint64 maximumBodySize = 256;

    explicit VersionChecker(QObject *parent = nullptr);
    // transferTimeout: how long a request may go without any traffic before it is given up.
    explicit VersionChecker(int transferTimeout, QObject *parent = nullptr);

    int latestBuild() const { return m_latestBuild; }
    bool checking() const { return m_checking; }
    bool platformSupported() const { return !m_unsupported; }
    int failureStatus() const { return m_failureStatus; }
    QString failureReason() const { return m_failureReason; }

    // The manager checks go through; without one the checker makes its own.
    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // The check every checker starts once made: at once from here, or else from the event
    // loop. Does nothing once a check has started.
    void startFirstCheck();
    // Leaves the first check to the caller instead, who spreads it out: until then nothing
    // counts as under way.
    void leaveFirstCheckToCaller();

    Q_INVOKABLE void checkLatestBuild();

signals:
    void latestBuildChanged(int latestBuild);
    void checkingChanged(bool checking);

private:
    void fileLoadFinished(const TextFetch::Result &result);
    void setChecking(bool checking);
    void reportNoSeries();

    bool m_unsupported = false;
    bool m_started = false;
    int m_latestBuild = -1;
    bool m_checking = false;
    int m_failureStatus = 0;
    QString m_failureReason;
    TextFetch *m_fetch;
};
