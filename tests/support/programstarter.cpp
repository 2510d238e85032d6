#include "support/programstarter.h"

#include <QDir>
#include <QHash>
#include <QPoint>
#include <QRegularExpression>

namespace {

// The X tools answer at once; one that hangs must not hold the test up for long.
bool runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

ProgramStarter::ProgramStarter(const QString &program, QObject *parent)
    : QObject(parent)
    , m_program(program)
    , m_environment(QProcessEnvironment::systemEnvironment())
{
    m_valid = m_root.isValid();
    for (const char *name : { "config", "data", "cache", "tmp", "runtime" })
        m_valid = m_valid && QDir(m_root.path()).mkdir(QLatin1String(name));
    // As a session's runtime directory is; the single-instance lock lives there.
    m_valid = m_valid
        && QFile::setPermissions(runtimeDir(),
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    // An empty folder in place of the machine's /etc/xdg and its defaults.
    m_environment.insert(QStringLiteral("XDG_CONFIG_DIRS"), folder("system"));
    m_environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome());
    m_environment.insert(QStringLiteral("XDG_CACHE_HOME"), cacheHome());
    m_environment.insert(QStringLiteral("TMPDIR"), tempDir());
    m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // Addresses left in the developer's shell must not reach the program.
    m_environment.remove(QStringLiteral("TARROWIN_TEST_BUILD_STORAGE"));
    m_environment.remove(QStringLiteral("TARROWIN_TEST_MAKER"));
    m_environment.remove(QStringLiteral("TARROWIN_TEST_RELEASES"));
}

ProgramStarter::~ProgramStarter()
{
    // Before the home goes, and before QObject would kill the processes without a word.
    for (QProcess *program : findChildren<QProcess *>(Qt::FindDirectChildrenOnly))
        stop(program);
}

QString ProgramStarter::settingsFile() const
{
    return configHome() + QStringLiteral("/Quillmarsh/Tarrowin.conf");
}

void ProgramStarter::setServer(const QUrl &url)
{
    setEnvironment(QStringLiteral("TARROWIN_TEST_BUILD_STORAGE"), url.toString());
    setEnvironment(QStringLiteral("TARROWIN_TEST_MAKER"), url.toString());
    setEnvironment(QStringLiteral("TARROWIN_TEST_RELEASES"), url.toString());
}

void ProgramStarter::setEnvironment(const QString &name, const QString &value)
{
    m_environment.insert(name, value);
}

void ProgramStarter::unsetEnvironment(const QString &name)
{
    m_environment.remove(name);
}

QProcess *ProgramStarter::start(const QStringList &arguments, QProcess::ProcessChannelMode channels)
{
    auto *process = new QProcess(this);
    process->setProcessEnvironment(m_environment);
    process->setProcessChannelMode(channels);
    process->start(m_program, arguments);
    if (!process->waitForStarted())
        qWarning("could not start %s: %s", qPrintable(m_program),
                 qPrintable(process->errorString()));
    return process;
}

bool ProgramStarter::stop(QProcess *program, int timeoutMs)
{
    if (program->state() == QProcess::NotRunning)
        return false;
    program->terminate();
    if (program->waitForFinished(timeoutMs))
        return true;
    program->kill();
    program->waitForFinished(5000);
    return false;
}

// The tray icon is embedded in the tray host; the main window is the one top-level window a
// window manager would manage; balloons and menus bypass it, and only a balloon calls itself
// a tool tip.
QList<QRect> ProgramStarter::shown(qint64 pid, Windows kinds)
{
    QByteArray ids;
    runTool(QStringLiteral("xdotool"),
            { QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
              QString::number(pid) },
            &ids);
    static const QRegularExpression field(
        QStringLiteral("(Root window id|Parent window id|Absolute upper-left X|Absolute "
                       "upper-left Y|Width|Height|Override Redirect State): *(\\S+)"));
    QList<QRect> result;
    for (const QByteArray &id : ids.split('\n')) {
        QByteArray info;
        if (id.isEmpty()
            || !runTool(QStringLiteral("xwininfo"),
                        { QStringLiteral("-all"), QStringLiteral("-id"), QString::fromLatin1(id) },
                        &info))
            continue;
        const QString text = QString::fromLatin1(info);
        QHash<QString, QString> values;
        for (const auto &match : field.globalMatch(text))
            values.insert(match.captured(1), match.captured(2));
        Window found = Menu;
        if (values.value(QStringLiteral("Root window id"))
            != values.value(QStringLiteral("Parent window id")))
            found = TrayIcon;
        else if (values.value(QStringLiteral("Override Redirect State")) == QLatin1String("no"))
            found = MainWindow;
        else if (text.section(QStringLiteral("Window type:"), 1).contains(QLatin1String("Tooltip")))
            found = Balloon;
        if (kinds.testFlag(found))
            result.append(QRect(values.value(QStringLiteral("Absolute upper-left X")).toInt(),
                                values.value(QStringLiteral("Absolute upper-left Y")).toInt(),
                                values.value(QStringLiteral("Width")).toInt(),
                                values.value(QStringLiteral("Height")).toInt()));
    }
    return result;
}

bool ProgramStarter::click(const QPoint &at, int button)
{
    return runTool(QStringLiteral("xdotool"),
                   { QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                     QStringLiteral("click"), QString::number(button) });
}

bool ProgramStarter::pressKey(const QString &key)
{
    return runTool(QStringLiteral("xdotool"), { QStringLiteral("key"), key });
}

bool ProgramStarter::openTrayMenu(qint64 pid)
{
    const QList<QRect> icons = shown(pid, TrayIcon);
    return icons.size() == 1 && click(icons.first().center(), 3);
}
