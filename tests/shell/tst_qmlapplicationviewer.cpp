#include "shell/qmlapplicationviewer.h"
#include "shell/windowhost.h"
#include "shell/windowplacement.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QPointer>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QQuickItem>
#include <QSettings>
#include <QThreadPool>
#include <QTimer>

class TestQmlApplicationViewer : public QObject
{
    Q_OBJECT

public:
    explicit TestQmlApplicationViewer(TestEnvironment &) { }

private slots:
    void initTestCase();
    void init();

    void placement_data();
    void placement();
    void positionKnown_data();
    void positionKnown();

    void loadingFixesTheRootItemsSize();
    void restoreSignalShowsTheWindow();
    void savedPositionIsUsed();
    void everyMoveIsStored();
    void startPlacementIsWrittenOnceDrawn();
    void movesAreWrittenOnceTheySettle_data();
    void movesAreWrittenOnceTheySettle();
    void quitFromTheViewEndsTheEventLoop();
    void hidingHandsBackWhatWaitingDoesNotNeed();
    void contentLivesWhileTheWindowIsWanted_data();
    void contentLivesWhileTheWindowIsWanted();

private:
    std::unique_ptr<WindowHost> loadedViewer();
};

void TestQmlApplicationViewer::initTestCase()
{
    Startup::registerTypes();
}

void TestQmlApplicationViewer::init()
{
    QSettings().clear();
}

using Saved = std::optional<QPoint>;
Q_DECLARE_METATYPE(Saved)

void TestQmlApplicationViewer::placement_data()
{
    QTest::addColumn<Saved>("saved");
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QSize>("desktop");
    QTest::addColumn<QRect>("workArea");
    QTest::addColumn<QPoint>("expected");

    const QSize window(310, 195);
    const QSize fullHd(1920, 1080);
    const QRect taskbarBelow(0, 0, 1920, 1040);

    QTest::newRow("no saved position: centred")
        << Saved() << window << fullHd << taskbarBelow << QPoint(805, 443);
    QTest::newRow("beyond bottom right")
        << Saved(QPoint(2500, 1200)) << window << fullHd << taskbarBelow << QPoint(1610, 845);
    QTest::newRow("above top left: 25 below the top")
        << Saved(QPoint(-50, -50)) << window << fullHd << taskbarBelow << QPoint(0, 25);
    QTest::newRow("exactly at the top stays")
        << Saved(QPoint(100, 0)) << window << fullHd << taskbarBelow << QPoint(100, 0);
    QTest::newRow("two screens: centre of the whole desktop, pulled into the primary")
        << Saved() << window << QSize(3840, 1080) << taskbarBelow << QPoint(1610, 443);
    QTest::newRow("window larger than the work area: left edge, 25 below the top")
        << Saved(QPoint(300, 300)) << QSize(2000, 1200) << fullHd << taskbarBelow << QPoint(0, 25);
    QTest::newRow("stored value that is no point reads as the origin")
        << Saved(QVariant(QStringLiteral("garbage")).toPoint()) << window << fullHd << taskbarBelow
        << QPoint(0, 0);
    QTest::newRow("work area not at the origin")
        << Saved(QPoint(0, 0)) << window << fullHd << QRect(60, 30, 1860, 1050) << QPoint(60, 55);
    QTest::newRow("odd sizes truncate toward zero")
        << Saved() << QSize(311, 195) << QSize(1921, 1081) << QRect(0, 0, 1921, 1081)
        << QPoint(805, 443);
}

void TestQmlApplicationViewer::placement()
{
    QFETCH(Saved, saved);
    QFETCH(QSize, window);
    QFETCH(QSize, desktop);
    QFETCH(QRect, workArea);
    QFETCH(QPoint, expected);
    QCOMPARE(WindowPlacement::startupPosition(saved, window, desktop, workArea), expected);
}

void TestQmlApplicationViewer::positionKnown_data()
{
    QTest::addColumn<QString>("platform");
    QTest::addColumn<bool>("known");
    QTest::newRow("X11") << "xcb" << true;
    QTest::newRow("Windows") << "windows" << true;
    QTest::newRow("Wayland") << "wayland" << false;
    QTest::newRow("Wayland with EGL") << "wayland-egl" << false;
}

void TestQmlApplicationViewer::positionKnown()
{
    QFETCH(QString, platform);
    QFETCH(bool, known);
    QCOMPARE(WindowPlacement::positionKnown(platform), known);
}

void TestQmlApplicationViewer::contentLivesWhileTheWindowIsWanted_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("tab");
    QTest::addColumn<bool>("shownAgain");
    QTest::newRow("hidden past its lifetime: released") << "openWindow" << 0 << false;
    QTest::newRow("on the settings tab, released") << "openSettings" << 1 << false;
    QTest::newRow("shown again in time: kept") << "openSettings" << 1 << true;
}

void TestQmlApplicationViewer::contentLivesWhileTheWindowIsWanted()
{
    QFETCH(QString, request);
    QFETCH(int, tab);
    QFETCH(bool, shownAgain);
    const auto content = [](const WindowHost &viewer) {
        return viewer.rootObject()->property("content").value<QObject *>();
    };
    auto viewer = loadedViewer();
    // Loaded but never shown: no tabs, no controls.
    QVERIFY(!content(*viewer));
    viewer->setContentLifetime(std::chrono::milliseconds(50));

    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), qPrintable(request)));
    const QPointer<QObject> made = content(*viewer);
    QVERIFY(made);
    QCOMPARE(made->property("current").toInt(), tab);
    QVERIFY(QTest::qWaitForWindowExposed(viewer->window()));
    viewer->window()->hide();
    if (shownAgain) {
        viewer->window()->show();
        // Nothing to wait for but time: four lifetimes, long past a release.
        QTest::qWait(200);
        QVERIFY(made);
        QCOMPARE(content(*viewer), made.data());
    } else {
        QTRY_VERIFY(!made);
        QVERIFY(!content(*viewer));
        // The whole window went with them.
        QVERIFY(!viewer->window());
    }

    // Made anew for the next show, on the tab asked for.
    if (viewer->window())
        viewer->window()->hide();
    QTRY_VERIFY(!content(*viewer));
    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), qPrintable(request)));
    QVERIFY(content(*viewer));
    QCOMPARE(content(*viewer)->property("current").toInt(), tab);
}

std::unique_ptr<WindowHost> TestQmlApplicationViewer::loadedViewer()
{
    auto host = std::make_unique<WindowHost>();
    host->loadMainFile(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    return host;
}

void TestQmlApplicationViewer::loadingFixesTheRootItemsSize()
{
    auto host = loadedViewer();
    QVERIFY(host->rootObject());
    const QmlApplicationViewer *viewer = host->makeWindow();
    QVERIFY(viewer->rootObject());
    QCOMPARE(viewer->size(), QSize(310, 195));
    QCOMPARE(viewer->minimumSize(), QSize(310, 195));
    QCOMPARE(viewer->maximumSize(), QSize(310, 195));
    QVERIFY(viewer->flags().testFlag(Qt::Tool));
    QVERIFY(!viewer->icon().isNull());
    QVERIFY(!viewer->isVisible());
}

void TestQmlApplicationViewer::restoreSignalShowsTheWindow()
{
    auto viewer = loadedViewer();
    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), "restore"));
    QVERIFY(viewer->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(viewer->window()));

    viewer->window()->hide();
    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), "openSettings"));
    QVERIFY(viewer->isVisible());
}

void TestQmlApplicationViewer::savedPositionIsUsed()
{
    QSettings().setValue(QStringLiteral("StartupPosition"), QPoint(40, 60));
    auto viewer = loadedViewer();
    viewer->showAtStartupPosition();
    QVERIFY(viewer->isVisible());
    QCOMPARE(viewer->window()->position(), QPoint(40, 60));
}

void TestQmlApplicationViewer::everyMoveIsStored()
{
    auto viewer = loadedViewer();
    viewer->showAtStartupPosition();
    QVERIFY(QTest::qWaitForWindowExposed(viewer->window()));
    QTRY_VERIFY(QSettings().contains(QStringLiteral("StartupPosition")));

    for (const QPoint target : { QPoint(12, 34), QPoint(56, 78) }) {
        viewer->window()->setPosition(target);
        QTRY_COMPARE(QSettings().value(QStringLiteral("StartupPosition")).toPoint(), target);
    }
}

void TestQmlApplicationViewer::startPlacementIsWrittenOnceDrawn()
{
    const QString key = QStringLiteral("StartupPosition");
    for (const bool hide : { true, false }) {
        QSettings().clear();
        auto viewer = loadedViewer();
        viewer->showAtStartupPosition();
        const QPoint placed = viewer->window()->position();
        // Not before the first frame; a window hidden or closed before it still writes.
        QVERIFY(!QSettings().contains(key));
        hide ? viewer->window()->hide() : viewer.reset();
        QCOMPARE(QSettings().value(key).toPoint(), placed);
    }
}

void TestQmlApplicationViewer::movesAreWrittenOnceTheySettle_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("the window rests") << QStringLiteral("rest");
    QTest::newRow("the window is hidden") << QStringLiteral("hide");
    QTest::newRow("the program quits") << QStringLiteral("quit");
}

void TestQmlApplicationViewer::movesAreWrittenOnceTheySettle()
{
    QFETCH(QString, then);
    const QString key = QStringLiteral("StartupPosition");
    auto viewer = loadedViewer();
    viewer->showAtStartupPosition();
    QmlApplicationViewer *window = viewer->window();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const QPoint start = window->position();
    QCOMPARE(QSettings().value(key).toPoint(), start);

    // A drag: many moves in a row, none of them written while it lasts.
    for (int step = 1; step <= 20; ++step) {
        window->setPosition(start + QPoint(step, 2 * step));
        QCoreApplication::processEvents();
    }
    const QPoint last = start + QPoint(20, 40);
    QCOMPARE(window->position(), last);
    QCOMPARE(QSettings().value(key).toPoint(), start);

    if (then == QLatin1String("rest")) {
        QTRY_COMPARE(QSettings().value(key).toPoint(), last);
    } else {
        if (then == QLatin1String("hide"))
            window->hide();
        else
            viewer.reset();
        QCOMPARE(QSettings().value(key).toPoint(), last);
    }
}

void TestQmlApplicationViewer::quitFromTheViewEndsTheEventLoop()
{
    auto viewer = loadedViewer();
    QTimer::singleShot(0, viewer.get(), [&] {
        QQmlExpression(qmlContext(viewer->rootObject()), viewer->rootObject(),
                       QStringLiteral("Qt.quit()"))
            .evaluate();
    });
    // A bound, so a broken route fails the test instead of hanging it.
    QTimer::singleShot(10000, viewer.get(), [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestQmlApplicationViewer::hidingHandsBackWhatWaitingDoesNotNeed()
{
    // Qt's pool threads, found by the name Qt gives them.
    const auto pooled = [] {
        int count = 0;
        for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList()) {
            QFile name(QStringLiteral("/proc/self/task/%1/comm").arg(task));
            count += name.open(QIODevice::ReadOnly) && name.readAll().startsWith("Thread (pooled)");
        }
        return count;
    };
    auto viewer = loadedViewer();
    viewer->showAtStartupPosition();
    QVERIFY(QTest::qWaitForWindowExposed(viewer->window()));
    // A pool thread that painted something and now waits out its expiry.
    QThreadPool::globalInstance()->start([] {});
    QTRY_VERIFY(QThreadPool::globalInstance()->activeThreadCount() == 0 && pooled() == 1);

    viewer->window()->hide();
    QTRY_COMPARE(pooled(), 0);
}

TARROWIN_TEST_MAIN(TestQmlApplicationViewer, false)
#include "tst_qmlapplicationviewer.moc"
