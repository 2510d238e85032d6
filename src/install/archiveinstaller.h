#pragma once

#include "install/archiveunpacker.h"
#include "install/installroot.h"

#include <QFutureWatcher>
#include <QObject>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <memory>

class QTemporaryDir;

// Installs a downloaded build archive into the install root: unpacks it on a worker thread
// (a real build takes seconds, and the window and tray must keep answering meanwhile),
// runs the unpacked browser's `chrome --version` as the proof that it works, and only then
// switches `current` to it. Owns the staging directory until it is done.
class ArchiveInstaller : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultVerifyTimeout = 20000;
    // What is read of the new build's `chrome --version` output, and kept of its errors.
    static constexpr qsizetype verifierOutputLimit = 4096;
    // The longest version text kept.
    static constexpr qsizetype versionLength = 100;

    explicit ArchiveInstaller(const InstallRoot &root, QObject *parent = nullptr);
    // Stops unpacking, ends a running check, and leaves current as it was.
    ~ArchiveInstaller() override;

    // Takes over the staging directory the archive was downloaded into.
    void install(int build, const QString &archive, std::unique_ptr<QTemporaryDir> staging);
    // The same for an archive already unpacked into the staging directory's "tree" as it
    // arrived: `unpacking` tells how that went. The archive goes, and the tree is checked and
    // switched to as an unpacked one is.
    void installUnpacked(int build, const QString &archive, std::unique_ptr<QTemporaryDir> staging,
                         const ArchiveUnpacker::Result &unpacking);
    // The words for an archive that could not be unpacked, for the cause the unpacker gave.
    static QString notUnpacked(const QString &cause);
    // The archive's one top folder, whose contents are the build.
    static QString topFolder() { return QStringLiteral("chrome-linux"); }
    bool isRunning() const { return m_staging != nullptr; }
    void setVerifyTimeout(int milliseconds) { m_verifyTimeout = milliseconds; }
    // Whether the next installation becomes current (true) or is put beside it and pinned, so
    // that no clean-up takes it.
    void setMakeCurrent(bool makeCurrent) { m_makeCurrent = makeCurrent; }
    // A directory other than versions/ that the next installations go into as <build>, neither
    // current nor pinned, and without sweeping versions/: a bisect's cache. Empty: versions/.
    void setPlaceInto(const QString &directory) { m_placeInto = directory; }

    InstallRoot root() const { return m_root; }
    // What the build's `chrome --version` said when it was installed ("Chromium 156.0.…");
    // empty when unknown.
    QString version(int build) const;
    // The text's characters a window can show, up to maximum of them, trimmed.
    static QString printable(const QByteArray &text, qsizetype maximum);

    // Makes the previous build current again and remembers the one left as Config::SkippedBuild,
    // so it is not fetched again. False when the links could not be swapped; error also
    // tells of a swap whose record could not be saved.
    bool goBack(QString *error);

signals:
    // error is a short cause a user can act on; empty on success.
    // version is what the build said of itself.
    void finished(bool succeeded, const QString &error, const QString &version);
    // The build is current, before the older trees go and before finished(): whoever starts
    // the browser brings its launcher and menu entry up to date here.
    void madeCurrent(int build);

private:
    void unpacked();
    void verified(int exitCode, QProcess::ExitStatus exitStatus);
    void verifyError(QProcess::ProcessError error);
    void activate();
    void placeBeside(const QString &version);
    void placeInto(const QString &version);
    void readVerifierOutput();
    // Ends the check and its time limit, keeping what the browser wrote.
    void stopVerifier();
    // A failed check's cause, with the last line the browser wrote to its error output.
    QString failure(const QString &cause) const;
    void finish(bool succeeded, const QString &error, const QString &version = QString());
    void discardStaging();

    InstallRoot m_root;
    int m_build = -1;
    int m_verifyTimeout = defaultVerifyTimeout;
    bool m_makeCurrent = true;
    QString m_placeInto;
    std::unique_ptr<QTemporaryDir> m_staging;
    QString m_tree;
    std::atomic<bool> m_cancel { false };
    QFutureWatcher<ArchiveUnpacker::Result> m_unpacking;
    QProcess *m_verifier = nullptr;
    // The check's process group, by its leader's id; 0 when none was started.
    qint64 m_verifierGroup = 0;
    QByteArray m_verifierOutput;
    QByteArray m_verifierErrors;
    QTimer *m_verifyLimit;
};
