#pragma once

#include <QObject>
#include <QString>

class BuildChoice;
class ChromeDownloader;
class InstallRoot;

// One job a script asks for on the command line, done alone or by the running instance:
// installing a chosen build beside the current one (pinned), or listing the installed builds.
// Nothing is installed or removed unless what is asked for names a published build.
class BuildJob : public QObject
{
    Q_OBJECT

public:
    enum Kind { InstallBuild, ListBuilds };

    explicit BuildJob(QObject *parent = nullptr);

    // Reports its lines with output() and its end with finished(), once.
    void start(Kind kind, const QString &wanted = QString());

    // One line per installed build: number, what it said it is, and its marks ("current",
    // "pinned", "running", comma-separated), tab-separated.
    static QStringList listing(const InstallRoot &root,
                               const QString &procRoot = QStringLiteral("/proc"));

signals:
    // A line for the standard output, or for the error output.
    void output(const QString &line, bool error);
    // exitCode 0 on success.
    void finished(int exitCode);

private:
    void chosen(int build, const QString &note);
    void fail(const QString &error);

    BuildChoice *m_choice = nullptr;
    ChromeDownloader *m_downloader = nullptr;
    int m_build = -1;
};
