#pragma once

#include "update/updatepolicy.h"

#include <QObject>
#include <QTimer>
#include <QVariant>

// The update loop's state between checks: which build was asked for, failed attempts and
// their back-off, the notices they earn, and Exit waiting for an installation. The view
// tells it what the checker and the downloader report and carries out what it asks for.
class UpdateController : public QObject
{
    Q_OBJECT
    // The installed build and the check period, bound by the view.
    Q_PROPERTY(int currentBuild MEMBER m_currentBuild NOTIFY currentBuildChanged)
    Q_PROPERTY(int checkPeriod MEMBER m_checkPeriod NOTIFY checkPeriodChanged)
    // The build asked of the downloader last, for notices and the exit notice.
    Q_PROPERTY(int requestedBuild READ requestedBuild NOTIFY requestedBuildChanged)
    // Set while Exit waits for an installation to finish.
    Q_PROPERTY(bool exiting READ exiting NOTIFY exitingChanged)
    // How long Exit waits for an installation before quitting anyway.
    Q_PROPERTY(int exitWaitLimit MEMBER m_exitWaitLimit NOTIFY exitWaitLimitChanged)
    // Why the downloader's last attempt failed, bound by the view; empty after a success.
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError NOTIFY statusLineChanged)
    // What the status line says: the exit notice, the last failure, or the status.
    Q_PROPERTY(QString statusLine READ statusLine NOTIFY statusLineChanged)

public:
    // The downloader's states, by the values it reports them with.
    enum DownloadStatus { Idle = 0, Downloading = 1, Installing = 2 };
    // The tray's message kinds, by the values it takes them as.
    enum NoticeType { InfoNotice = 1, WarningNotice = 2 };
    Q_ENUM(NoticeType)

    explicit UpdateController(QObject *parent = nullptr);

    int requestedBuild() const { return m_requestedBuild; }
    bool exiting() const { return m_exiting; }
    QString lastError() const { return m_lastError; }
    void setLastError(const QString &error);
    QString statusLine() const;

    Q_INVOKABLE static QString statusText(int status);
    // The tray menu's entries: a list of maps with a name, a label and flags. Going back is
    // offered while there is a previous build.
    Q_INVOKABLE static QVariantList trayMenu(int previousBuild);

    // The user pressed "Check for a new build": its answer is not kept waiting by a back-off.
    Q_INVOKABLE void checkNow();
    // Every completed check, with the latest build it found (-1 for none).
    Q_INVOKABLE void checkCompleted(int latest);
    Q_INVOKABLE void downloadStatusChanged(int status);
    // The archive of `build` is not published yet; newest is the newest build that is.
    Q_INVOKABLE void buildNotPublished(int build, int newest);
    Q_INVOKABLE void installationFailed(int build, const QString &error);
    // The installed build changed: earlier failures no longer matter.
    Q_INVOKABLE void installedBuildChanged();
    Q_INVOKABLE void sandboxBlocked();
    // The tray's Exit, and a request to end from the session or a signal. An installation
    // under way is let finish, for at most exitWaitLimit; asking again quits at once.
    Q_INVOKABLE void exit();

    // The bounds of the check period, for the view's controls.
    Q_INVOKABLE int largestCount(qint64 factor) const;
    Q_INVOKABLE int timeFrameIndex(const QVariant &stored, int count) const;

signals:
    void currentBuildChanged();
    void checkPeriodChanged();
    void requestedBuildChanged(int requestedBuild);
    void exitingChanged(bool exiting);
    void exitWaitLimitChanged();
    void statusLineChanged();
    void checkRequested();
    void downloadRequested(int build);
    void noticeRequested(const QString &text, const QString &title, int type, int timeout);
    void windowRequested();
    void quitRequested();

private:
    UpdatePolicy::Records records() const;
    void requestDownload(int build);
    void notice(const QString &text, const QString &title, NoticeType type, int timeout);

    int m_currentBuild = -1;
    int m_checkPeriod = 300000;
    int m_requestedBuild = -1;
    bool m_exiting = false;
    int m_exitWaitLimit = 600000;
    int m_status = Idle;
    QString m_lastError;
    // Checks completed since the last failed attempt, for the retry back-off.
    int m_checksSinceFailure = 0;
    bool m_userAsked = false;
    // What the last check's decision went by, for a published build taken instead.
    int m_checksAtDecision = 0;
    bool m_userAskedAtDecision = false;
    // Says which build is fetched in place of an unpublished one, while it is.
    QString m_substitute;
    bool m_sandboxWarned = false;
    QTimer m_exitLimit;
};
