// The least a Qt tray program costs: a QApplication with a tray icon and its menu, no window
// and no QML. The yardstick for a program that waits in the tray.

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap picture(22, 22);
    picture.fill(Qt::darkCyan);
    QMenu menu;
    menu.addAction(QStringLiteral("Open"));
    menu.addSeparator();
    QObject::connect(menu.addAction(QStringLiteral("Exit")), &QAction::triggered, &app,
                     &QCoreApplication::quit);
    const QIcon iconPicture(picture);
    QSystemTrayIcon icon(iconPicture);
    icon.setContextMenu(&menu);
    icon.setToolTip(QStringLiteral("Baseline"));
    icon.show();
    return QApplication::exec();
}
