#pragma once

#include "builds/buildlistmodel.h"
#include "shell/buildjob.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QString>

// What the Builds tab does with the installed builds: pins, removals and installs by number,
// version, milestone or day, each answered with one line for the tab, and the way a build other
// than current becomes current (through going back, so its profile question is asked as for any
// step back) or starts (after the same question, startRequested()).
class BuildActions : public QObject
{
    Q_OBJECT
    Q_PROPERTY(BuildListModel *builds READ builds CONSTANT)
    // The last action's outcome in one line; empty when it needs no words.
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool installing READ installing NOTIFY installingChanged)

public:
    explicit BuildActions(QObject *parent = nullptr);

    BuildListModel *builds() { return &m_builds; }
    QString message() const { return m_message; }
    bool installing() const { return m_job != nullptr; }

    Q_INVOKABLE void refresh();
    // One row of the list, on two lines: number, version and size in MB (… while it is
    // counted); then the day it was installed (UTC) and the marks that apply.
    Q_INVOKABLE static QString describe(int number, const QString &version,
                                        const QDateTime &installed, qint64 size, bool current,
                                        bool pinned, bool running);
    // The current build starts through the launcher, on the own profile; another one is asked
    // about first (startRequested()), and refused while a browser of another build holds the
    // profile: Chromium would hand it that browser's window instead.
    Q_INVOKABLE void start(int build);
    // Starts an installed build through the launcher, once its profile question is answered.
    Q_INVOKABLE void launch(int build);
    Q_INVOKABLE void makeCurrent(int build);
    Q_INVOKABLE void setPinned(int build, bool pinned);
    Q_INVOKABLE void remove(int build);
    // The same job as --install-build: the chosen build beside current, pinned.
    Q_INVOKABLE void install(const QString &wanted);

signals:
    void messageChanged();
    void installingChanged();
    // `previous` now names the build: going back to it makes it current.
    void goBackRequested(int build);
    // `build`, not current, is to start once the profile guard lets it (launch()).
    void startRequested(int build);

private:
    void say(const QString &line);
    // Why `build` cannot start on the profile now; empty when it can.
    QString refusal(const InstallRoot &root, int build) const;
    // The list marks a build in use once its browser holds the profile, and no longer once it
    // let go: the profile's folder is watched from the first start on.
    void watchProfile();
    void profileChanged();

    BuildListModel m_builds;
    QString m_message;
    QPointer<BuildJob> m_job;
    QFileSystemWatcher m_profileWatch;
    // The browser process the profile's lock named when last looked at.
    qint64 m_lockedBy = 0;
};
