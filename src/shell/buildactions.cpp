#include "shell/buildactions.h"

#include "browser/browserlauncher.h"
#include "install/installroot.h"

#include <QRegularExpression>

BuildActions::BuildActions(QObject *parent)
    : QObject(parent)
{
}

void BuildActions::refresh()
{
    m_builds.refresh();
}

QString BuildActions::describe(int number, const QString &version, const QDateTime &installed,
                               qint64 size, bool current, bool pinned, bool running)
{
    QStringList marks;
    if (current)
        marks << tr("current");
    if (pinned)
        marks << tr("pinned");
    if (running)
        marks << tr("in use");
    // "Chromium 133.0.6905.0 snapshot" says no more than its number in a row this narrow.
    static const QRegularExpression dotted(QStringLiteral("\\b\\d+(\\.\\d+){3}\\b"));
    const QRegularExpressionMatch match = dotted.match(version);
    QStringList first { QString::number(number) };
    if (!version.isEmpty())
        first << (match.hasMatch() ? match.captured() : version);
    first << (size < 0 ? QStringLiteral("…") : tr("%1 MB").arg((size + 500000) / 1000000));
    QStringList second;
    if (installed.isValid())
        second << installed.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    second << marks.join(QStringLiteral(", "));
    return first.join(QStringLiteral("  ")) + QLatin1Char('\n')
        + second.join(QStringLiteral("  ")).trimmed();
}

void BuildActions::start(int build)
{
    const InstallRoot root(InstallRoot::defaultPath());
    if (build != root.currentBuild())
        return say(tr("Make build %1 current to start it").arg(build));
    say(BrowserLauncher::start(root, {}) ? QString() : tr("Could not start the browser"));
}

void BuildActions::makeCurrent(int build)
{
    InstallRoot root(InstallRoot::defaultPath());
    QString error;
    if (!root.setPrevious(build, &error))
        return say(error);
    say(QString());
    emit goBackRequested(build);
}

void BuildActions::setPinned(int build, bool pinned)
{
    say(m_builds.setPinned(build, pinned));
}

void BuildActions::remove(int build)
{
    say(m_builds.remove(build));
}

void BuildActions::install(const QString &wanted)
{
    if (m_job)
        return;
    if (wanted.trimmed().isEmpty())
        return say(tr("Give a build number, a version, a milestone (M131) or a date"));
    m_job = new BuildJob(this);
    // A note, an error or "Build N is installed": the last line is the outcome.
    connect(m_job, &BuildJob::output, this, [this](const QString &line) { say(line); });
    connect(m_job, &BuildJob::finished, this, [this] {
        m_job->deleteLater();
        m_job = nullptr;
        emit installingChanged();
        m_builds.refresh();
    });
    emit installingChanged();
    say(tr("Installing %1 ...").arg(wanted.trimmed()));
    m_job->start(BuildJob::InstallBuild, wanted.trimmed());
}

void BuildActions::say(const QString &line)
{
    if (line == m_message)
        return;
    m_message = line;
    emit messageChanged();
}
