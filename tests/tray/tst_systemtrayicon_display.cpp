#include "common/endpoints.h"
#include "support/balloonrecorder.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"
#include "tray/systemtrayicon.h"

#include <QNetworkReply>
#include <QSettings>

// On a real X display with a tray host: the icon embeds, and balloons are drawn by Qt itself
// (no notification service runs), so they can be looked at.
class TestSystemTrayIconDisplay : public QObject
{
    Q_OBJECT

public:
    explicit TestSystemTrayIconDisplay(TestEnvironment &) { }

private slots:
    void init();

    void visibleIconIsEmbedded();
    void messageDefaults_data();
    void messageDefaults();
    void updateAnnouncement();

private:
    // The first balloon the recorder saw, once its hide timer is known.
    static BalloonRecorder::Balloon waitForBalloon(const BalloonRecorder &recorder);

    std::unique_ptr<LoopbackServer> m_server;
};

void TestSystemTrayIconDisplay::init()
{
    QSettings().clear();
    m_server = std::make_unique<LoopbackServer>();
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "0.1.2");
    Endpoints::setMaker(m_server->url());
}

BalloonRecorder::Balloon TestSystemTrayIconDisplay::waitForBalloon(const BalloonRecorder &recorder)
{
    // An empty balloon fails the comparisons that follow.
    const bool shown = QTest::qWaitFor(
        [&] { return !recorder.balloons().isEmpty() && recorder.balloons().first().timeout != -1; },
        10000);
    return shown ? recorder.balloons().first() : BalloonRecorder::Balloon();
}

void TestSystemTrayIconDisplay::visibleIconIsEmbedded()
{
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    SystemTrayIcon element;
    element.setIconSource(QStringLiteral(":/images/icons/icon.png"));
    element.setVisible(true);
    auto *icon = element.findChild<QSystemTrayIcon *>();
    QTRY_VERIFY_WITH_TIMEOUT(icon->geometry().isValid() && !icon->geometry().isEmpty(), 10000);
}

void TestSystemTrayIconDisplay::messageDefaults_data()
{
    QTest::addColumn<int>("arguments");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<bool>("hasIcon");
    QTest::addColumn<int>("timeout");

    QTest::newRow("text only") << 1 << QStringList { "Message" } << false << 10000;
    QTest::newRow("text and title") << 2 << QStringList { "Title", "Message" } << false << 10000;
    QTest::newRow("with type") << 3 << QStringList { "Title", "Message" } << true << 10000;
    QTest::newRow("with timeout") << 4 << QStringList { "Title", "Message" } << true << 5000;
    QTest::newRow("a question, then information")
        << 5 << QStringList { "Title", "Message" } << true << 5000;
}

void TestSystemTrayIconDisplay::messageDefaults()
{
    QFETCH(int, arguments);
    QFETCH(QStringList, texts);
    QFETCH(bool, hasIcon);
    QFETCH(int, timeout);

    BalloonRecorder recorder;
    SystemTrayIcon element;
    element.setIconSource(QStringLiteral(":/images/icons/icon.png"));
    element.setVisible(true);
    auto *icon = element.findChild<QSystemTrayIcon *>();
    QTRY_VERIFY_WITH_TIMEOUT(icon->geometry().isValid(), 10000);

    // Called the way the view calls it, with one to four arguments.
    const QString message = QStringLiteral("Message");
    const QString title = QStringLiteral("Title");
    switch (arguments) {
    case 1:
        QMetaObject::invokeMethod(&element, "showMessage", Q_ARG(QString, message));
        break;
    case 2:
        QMetaObject::invokeMethod(&element, "showMessage", Q_ARG(QString, message),
                                  Q_ARG(QString, title));
        break;
    case 3:
        QMetaObject::invokeMethod(&element, "showMessage", Q_ARG(QString, message),
                                  Q_ARG(QString, title),
                                  Q_ARG(SystemTrayIcon::MessageType, SystemTrayIcon::InfoMessage));
        break;
    case 5:
        element.showMessage(message, title, SystemTrayIcon::InfoMessage, 5000, "copyprofile",
                            "Copy");
        element.showMessage(message, QStringLiteral("Installed"), SystemTrayIcon::InfoMessage);
        break;
    default:
        QMetaObject::invokeMethod(
            &element, "showMessage", Q_ARG(QString, message), Q_ARG(QString, title),
            Q_ARG(SystemTrayIcon::MessageType, SystemTrayIcon::WarningMessage), Q_ARG(int, 5000));
    }
    const BalloonRecorder::Balloon balloon = waitForBalloon(recorder);
    QCOMPARE(balloon.texts, texts);
    QCOMPARE(balloon.hasIcon, hasIcon);
    QCOMPARE(balloon.timeout, timeout);
    QCOMPARE(recorder.balloons().size(), 1);
}

void TestSystemTrayIconDisplay::updateAnnouncement()
{
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "0.1.3\n");
    BalloonRecorder recorder;
    SystemTrayIcon element;
    element.setIconSource(QStringLiteral(":/images/icons/icon.png"));
    element.setVisible(true);
    QTRY_VERIFY_WITH_TIMEOUT(element.updateAvailable(), 10000);
    const BalloonRecorder::Balloon balloon = waitForBalloon(recorder);
    QCOMPARE(balloon.texts,
             (QStringList { "Update available", "There is a new version of Tarrowin available." }));
    QVERIFY(balloon.hasIcon);
    QCOMPARE(balloon.timeout, 10000);
}

TARROWIN_TEST_MAIN(TestSystemTrayIconDisplay, true)
#include "tst_systemtrayicon_display.moc"
