// The yardstick for start-up: a bare Qt Quick Controls window of the program's size, drawn
// by the same software renderer, with nothing else to load. With --hidden the window is
// never shown: the yardstick for a program waiting in the tray.

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

int main(int argc, char *argv[])
{
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    if (QCoreApplication::arguments().contains(QStringLiteral("--hidden")))
        engine.setInitialProperties({ { QStringLiteral("visible"), false } });
    engine.loadData(R"(
import QtQuick
import QtQuick.Controls.Fusion

ApplicationWindow {
    width: 310
    height: 195
    visible: true
    Button { anchors.centerIn: parent; text: "Baseline" }
}
)");
    if (engine.rootObjects().isEmpty())
        return 1;
    return QGuiApplication::exec();
}
