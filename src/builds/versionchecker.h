#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QQmlParserStatus>

class QNetworkAccessManager;

// Learns the number of the newest Chromium snapshot build from the build storage's
// LAST_CHANGE object. Every completed check reports latestBuild, changed or not: the view
// compares it with the installed build after each one.
class VersionChecker : public QObject, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)
    Q_PROPERTY(int latestBuild READ latestBuild NOTIFY latestBuildChanged)
    Q_PROPERTY(bool checking READ checking NOTIFY checkingChanged)
    // False when there is no Chromium build series for this platform.
    Q_PROPERTY(bool platformSupported READ platformSupported NOTIFY checkingChanged)

public:
    // LAST_CHANGE is a handful of digits; anything longer is not what we asked for.
    static constexpr qint64 maximumBodySize = 256;

    explicit VersionChecker(QObject *parent = nullptr);
    // transferTimeout: how long a request may go without any traffic before it is given up.
    explicit VersionChecker(int transferTimeout, QObject *parent = nullptr);
    ~VersionChecker() override;

    int latestBuild() const { return m_latestBuild; }
    bool checking() const { return m_checking; }
    bool platformSupported() const { return !m_unsupported; }

    Q_INVOKABLE void checkLatestBuild();

    void classBegin() override;
    void componentComplete() override { }

signals:
    void latestBuildChanged(int latestBuild);
    void checkingChanged(bool checking);

public slots:
    void fileLoadFinished();
    void fileLoadError(QNetworkReply::NetworkError code);

private:
    void fileLoadRead();
    void setChecking(bool checking);
    void reportNoSeries();
    void startFirstCheck();

    bool m_unsupported = false;
    bool m_started = false;
    int m_latestBuild = -1;
    bool m_checking = false;
    QNetworkAccessManager *m_networkManager = nullptr;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_body;
    bool m_failed = false;
    int m_transferTimeout;
};
