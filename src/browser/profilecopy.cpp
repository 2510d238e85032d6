#include "browser/profilecopy.h"

#include "browser/browserlauncher.h"
#include "browser/profilesnapshots.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

ProfileCopy::ProfileCopy(QObject *parent)
    : QObject(parent)
{
    connect(&m_copying, &QFutureWatcher<QString>::finished, this, [this] {
        const QString error = m_copying.result();
        setProgress(-1);
        emit finished(error.isEmpty(), error);
    });
}

ProfileCopy::~ProfileCopy()
{
    m_cancel = true;
    m_copying.waitForFinished();
}

QString ProfileCopy::source()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/chromium");
}

bool ProfileCopy::wanted() const
{
    // A profile that names the source exists, and so is never offered a copy of itself.
    return QFileInfo(source()).isDir() && !QFileInfo::exists(BrowserLauncher::profile());
}

bool ProfileCopy::start()
{
    if (m_copying.isRunning() || !wanted())
        return false;
    setProgress(0);
    const QString from = source();
    const QString to = BrowserLauncher::profile();
    m_copying.setFuture(QtConcurrent::run([this, from, to] {
        int reported = 0;
        QString error;
        ProfileSnapshots::copyProfile(
            from, to,
            [this, &reported](qint64 done, qint64 total) {
                const int percent = total > 0 ? int(qMin<qint64>(100, done * 100 / total)) : 100;
                if (percent == reported)
                    return;
                reported = percent;
                QMetaObject::invokeMethod(
                    this, [this, percent] { setProgress(percent); }, Qt::QueuedConnection);
            },
            m_cancel, &error);
        return error;
    }));
    return true;
}

void ProfileCopy::setProgress(int progress)
{
    if (progress == m_progress)
        return;
    m_progress = progress;
    emit progressChanged(progress);
}
