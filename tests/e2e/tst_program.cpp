#include "support/testenvironment.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>

// Runs the built program on the real X display the suite started, each run with a settings
// store of its own, and looks at the windows it maps.
class TestProgram : public QObject
{
    Q_OBJECT

public:
    explicit TestProgram(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void normalStartMapsCentredWindow();
    void trayStartMapsNoWindow();

private:
    struct Run
    {
        std::unique_ptr<QProcess> process;
        std::unique_ptr<QTemporaryDir> config;
    };
    Run start(const QStringList &arguments);
    static void stop(Run &run);
    static QList<QRect> visibleWindows(qint64 pid);
    static QString settingsFileOf(const Run &run);

    TestEnvironment &m_environment;
};

TestProgram::Run TestProgram::start(const QStringList &arguments)
{
    Run run;
    run.config = std::make_unique<QTemporaryDir>();
    run.process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), run.config->path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    run.process->setProcessEnvironment(env);
    run.process->setProcessChannelMode(QProcess::ForwardedChannels);
    run.process->start(QStringLiteral(TARROWIN_BINARY), arguments);
    if (!run.process->waitForStarted())
        qWarning("could not start %s", TARROWIN_BINARY);
    return run;
}

void TestProgram::stop(Run &run)
{
    run.process->terminate();
    if (!run.process->waitForFinished(10000))
        run.process->kill();
    run.process->waitForFinished();
}

QString TestProgram::settingsFileOf(const Run &run)
{
    return run.config->filePath(QStringLiteral("Quillmarsh/Tarrowin.conf"));
}

QList<QRect> TestProgram::visibleWindows(qint64 pid)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 { QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                   QStringLiteral("--pid"), QString::number(pid) });
    search.waitForFinished();
    QList<QRect> windows;
    const auto ids = QString::fromLatin1(search.readAllStandardOutput())
                         .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        QProcess geometry;
        geometry.start(QStringLiteral("xdotool"), { QStringLiteral("getwindowgeometry"), id });
        geometry.waitForFinished();
        const QString text = QString::fromLatin1(geometry.readAllStandardOutput());
        const QRegularExpression pattern(
            QStringLiteral("Position: (-?\\d+),(-?\\d+).*Geometry: (\\d+)x(\\d+)"),
            QRegularExpression::DotMatchesEverythingOption);
        const auto match = pattern.match(text);
        if (match.hasMatch()) {
            windows.append(QRect(match.captured(1).toInt(), match.captured(2).toInt(),
                                 match.captured(3).toInt(), match.captured(4).toInt()));
        }
    }
    return windows;
}

void TestProgram::normalStartMapsCentredWindow()
{
    Run run = start({});
    // The suite's display is 1920 x 1080 with no window manager, so the work area is the
    // whole screen and the window is centred: 960 - 155, 540 - 97.
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(run.process->processId()),
                              QList<QRect> { QRect(805, 443, 310, 195) }, 20000);
    QTRY_VERIFY(QFile::exists(settingsFileOf(run)));
    QSettings stored(settingsFileOf(run), QSettings::IniFormat);
    QCOMPARE(stored.value(QStringLiteral("StartupPosition")).toPoint(), QPoint(805, 443));
    stop(run);
}

void TestProgram::trayStartMapsNoWindow()
{
    Run tray = start({ QStringLiteral("--tray") });
    // A normal start launched afterwards maps its window; once it has, the tray start, which
    // began first and does the same work, has long had its chance to map one.
    Run normal = start({});
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(normal.process->processId()).size(), 1, 20000);
    QCOMPARE(tray.process->state(), QProcess::Running);
    QVERIFY(visibleWindows(tray.process->processId()).isEmpty());
    stop(normal);
    stop(tray);
}

TARROWIN_TEST_MAIN(TestProgram, true)
#include "tst_program.moc"
