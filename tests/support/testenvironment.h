#pragma once

#include "builds/buildseries.h"
#include "shell/startup.h"

#include <QApplication>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

// Gives a test process its own settings store and temporary directory, so a test never
// reads or writes the developer's settings and never sees another test's files. Must be
// set up before the application object exists: QSettings caches its paths on first use.
class TestEnvironment
{
public:
    TestEnvironment();

    QString root() const { return m_root.path(); }
    QString configHome() const;
    // XDG_DATA_HOME: the install root and the browser's menu entry live below it.
    QString dataHome() const;
    QString tempDir() const;
    // XDG_CONFIG_DIRS: where an administrator's defaults for every user would be.
    QString systemConfigDir() const;
    // The INI file behind QSettings for the application identity.
    QString settingsFile() const;

    // The two ways of installing, as the storage names them for Windows and Linux.
    static BuildSeries installerSeries();
    static BuildSeries archiveSeries();

    // True when a real X display was handed to this test.
    static bool hasDisplay();

private:
    QTemporaryDir m_root;
};

// QTEST_MAIN with the isolated environment, the application identity and the software
// renderer the program itself uses. Tests that need a real display fail at once without
// one: scripts/test always provides it, and a silent skip would hide a broken set-up.
#define TARROWIN_TEST_MAIN(TestClass, needsDisplay)                                                \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        if ((needsDisplay) && !TestEnvironment::hasDisplay()) {                                    \
            qWarning("This test needs an X display: run it through scripts/test.");                \
            return 1;                                                                              \
        }                                                                                          \
        TestEnvironment environment;                                                               \
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);                              \
        QApplication app(argc, argv);                                                              \
        Startup::setApplicationIdentity();                                                         \
        TestClass tc(environment);                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
