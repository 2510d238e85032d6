#include "settings/config.h"
#include "settings/settings.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QQmlComponent>
#include <QQmlEngine>

class TestSettings : public QObject
{
    Q_OBJECT

public:
    explicit TestSettings(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void initTestCase();
    void init();

    void absentKeyGivesDefault_data();
    void absentKeyGivesDefault();
    void oneArgumentValueIsInvalid();
    void valuesSurviveReopening_data();
    void valuesSurviveReopening();
    void writesAreSeenByOtherAccessorsAtOnce();
    void removeAndContains();
    void clearEmptiesTheStore();
    void storeIsTheNativePerUserFile();
    void viewCallsReachTheStore_data();
    void viewCallsReachTheStore();
    void systemWideDefaultsYieldToTheUser();

private:
    TestEnvironment &m_environment;
};

void TestSettings::initTestCase()
{
    Startup::registerTypes();
}

void TestSettings::init()
{
    QSettings().clear();
}

void TestSettings::absentKeyGivesDefault_data()
{
    QTest::addColumn<QVariant>("defaultValue");
    QTest::newRow("number") << QVariant(5);
    QTest::newRow("text true") << QVariant(QStringLiteral("true"));
    QTest::newRow("minus one") << QVariant(-1);
}

void TestSettings::absentKeyGivesDefault()
{
    QFETCH(QVariant, defaultValue);
    Settings settings;
    QCOMPARE(settings.value(QStringLiteral("UpdateCheckInterval"), defaultValue), defaultValue);
    QVERIFY(!settings.contains(QStringLiteral("UpdateCheckInterval")));
}

void TestSettings::oneArgumentValueIsInvalid()
{
    Settings settings;
    QVERIFY(!settings.value(QStringLiteral("CurrentBuild")).isValid());
}

void TestSettings::valuesSurviveReopening_data()
{
    QTest::addColumn<QVariant>("written");
    QTest::addColumn<QVariant>("readBack");

    // Booleans come back as text: the view compares them with "true".
    QTest::newRow("false") << QVariant(false) << QVariant(QStringLiteral("false"));
    QTest::newRow("true") << QVariant(true) << QVariant(QStringLiteral("true"));
    QTest::newRow("integer") << QVariant(123456) << QVariant(123456);
    QTest::newRow("point") << QVariant(QPoint(805, 443)) << QVariant(QPoint(805, 443));
    QTest::newRow("negative point") << QVariant(QPoint(-50, -50)) << QVariant(QPoint(-50, -50));
}

void TestSettings::valuesSurviveReopening()
{
    QFETCH(QVariant, written);
    QFETCH(QVariant, readBack);
    {
        Settings settings;
        settings.setValue(QStringLiteral("Key"), written);
    }
    // Read a copy: QSettings caches files per path within a process, and what matters is
    // what the next start reads from disk.
    const QString copy = m_environment.root() + QStringLiteral("/reopened.conf");
    QFile::remove(copy);
    QVERIFY(QFile::copy(m_environment.settingsFile(), copy));
    QSettings file(copy, QSettings::IniFormat);
    const QVariant value = file.value(QStringLiteral("Key"));
    if (readBack.typeId() == QMetaType::QString) {
        QCOMPARE(value.typeId(), int(QMetaType::QString));
        QCOMPARE(value.toString(), readBack.toString());
    } else if (readBack.typeId() == QMetaType::QPoint) {
        QCOMPARE(value.toPoint(), readBack.toPoint());
    } else {
        QCOMPARE(value.toInt(), readBack.toInt());
    }
}

void TestSettings::writesAreSeenByOtherAccessorsAtOnce()
{
    Settings element;
    element.setValue(QStringLiteral("ShowNotifications"), false);
    QSettings nativeAccessor;
    QCOMPARE(nativeAccessor.value(QStringLiteral("ShowNotifications")).toString(),
             QStringLiteral("false"));

    nativeAccessor.setValue(QStringLiteral("CurrentBuild"), 42);
    QCOMPARE(element.value(QStringLiteral("CurrentBuild"), -1).toInt(), 42);
}

void TestSettings::removeAndContains()
{
    Settings settings;
    settings.setValue(QStringLiteral("UpdateCheckFactor"), 2);
    QVERIFY(settings.contains(QStringLiteral("UpdateCheckFactor")));
    QVERIFY(!settings.contains(QStringLiteral("updatecheckfactor")));

    settings.remove(QStringLiteral("UpdateCheckFactor"));
    QVERIFY(!settings.contains(QStringLiteral("UpdateCheckFactor")));
    QCOMPARE(settings.value(QStringLiteral("UpdateCheckFactor"), 0).toInt(), 0);

    // Removing what is not there is harmless.
    settings.remove(QStringLiteral("UpdateCheckFactor"));
    QVERIFY(!settings.contains(QStringLiteral("UpdateCheckFactor")));
}

void TestSettings::clearEmptiesTheStore()
{
    Settings settings;
    settings.setValue(QStringLiteral("CurrentBuild"), 7);
    settings.setValue(QStringLiteral("RunOnStartup"), true);
    settings.clear();
    QVERIFY(settings.allKeys().isEmpty());
    QCOMPARE(QSettings().value(QStringLiteral("CurrentBuild"), -1).toInt(), -1);
}

void TestSettings::storeIsTheNativePerUserFile()
{
    {
        Settings settings;
        settings.setValue(QStringLiteral("CurrentBuild"), 99);
    }
    QVERIFY2(QFile::exists(m_environment.settingsFile()), qPrintable(m_environment.settingsFile()));
}

void TestSettings::viewCallsReachTheStore_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("default given")
        << "return settings.value('UpdateCheckInterval', 5)" << QVariant(5);
    QTest::newRow("no default") << "return settings.value('UpdateCheckInterval') === undefined"
                                << QVariant(true);
    QTest::newRow("boolean as text")
        << "settings.setValue('ShowNotifications', false);"
           " return String(settings.value('ShowNotifications', 'true'))"
        << QVariant(QStringLiteral("false"));
    QTest::newRow("contains") << "settings.setValue('CurrentBuild', 3);"
                                 " return settings.contains('CurrentBuild')"
                              << QVariant(true);
    QTest::newRow("remove")
        << "settings.setValue('CurrentBuild', 3); settings.remove('CurrentBuild');"
           " return settings.value('CurrentBuild', -1)"
        << QVariant(-1);
    QTest::newRow("clear") << "settings.setValue('CurrentBuild', 3); settings.clear();"
                              " return settings.contains('CurrentBuild')"
                           << QVariant(false);
}

void TestSettings::viewCallsReachTheStore()
{
    QFETCH(QString, body);
    QFETCH(QVariant, expected);

    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData(QStringLiteral("import Tarrowin 1.0\n"
                                     "Settings { id: settings; function run() { %1 } }")
                          .arg(body)
                          .toUtf8(),
                      QUrl());
    std::unique_ptr<QObject> object(component.create());
    QVERIFY2(object, qPrintable(component.errorString()));

    QVariant result;
    QVERIFY(QMetaObject::invokeMethod(object.get(), "run", Q_RETURN_ARG(QVariant, result)));
    QCOMPARE(result.toString(), expected.toString());
}

void TestSettings::systemWideDefaultsYieldToTheUser()
{
    const QString system = m_environment.systemConfigDir() + QStringLiteral("/Quillmarsh");
    QVERIFY(QDir().mkpath(system));
    QFile file(system + QStringLiteral("/Tarrowin.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nUpdateCheckInterval=15\nBuildStorage=https://cache.example/\n");
    file.close();
    const auto removeFile = qScopeGuard([&file] { file.remove(); });

    QCOMPARE(Config::get(Config::UpdateCheckInterval).toInt(), 15);
    QCOMPARE(Config::get(Config::BuildStorage).toString(),
             QStringLiteral("https://cache.example/"));
    Settings settings;
    QCOMPARE(settings.value(QStringLiteral("UpdateCheckInterval"), 5).toInt(), 15);
    // The user's own choice wins and lands in the user's file alone.
    settings.setValue(QStringLiteral("UpdateCheckInterval"), 10);
    QCOMPARE(Config::get(Config::UpdateCheckInterval).toInt(), 10);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("UpdateCheckInterval=15"));
}

TARROWIN_TEST_MAIN(TestSettings, false)
#include "tst_settings.moc"
