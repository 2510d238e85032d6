// The tray menu as the view describes it: a list of maps. Each input line is one entry,
// its tab-separated fields name, label, default, checkable and checked.
#include "common/endpoints.h"
#include "tray/systemtrayicon.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {
SystemTrayIcon *trayIcon = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Nothing may leave the machine or touch the user's settings.
    static QTemporaryDir home;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tarrowin-fuzz-bus");
    Endpoints::setBuildStorage(QUrl(QStringLiteral("https://127.0.0.1:9")));
    Endpoints::setMaker(QUrl(QStringLiteral("https://127.0.0.1:9")));
    static QApplication app(*argc, *argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmarsh"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarrowin"));
    trayIcon = new SystemTrayIcon(&app);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QVariantList menu;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        QVariantMap entry;
        entry.insert(QStringLiteral("name"), fields.value(0));
        if (fields.size() > 1)
            entry.insert(QStringLiteral("label"), fields.value(1));
        if (fields.size() > 2)
            entry.insert(QStringLiteral("default"), fields.value(2) == QLatin1String("1"));
        if (fields.size() > 3)
            entry.insert(QStringLiteral("checkable"), fields.value(3) == QLatin1String("1"));
        if (fields.size() > 4)
            entry.insert(QStringLiteral("checked"), fields.value(4));
        menu.append(entry);
    }
    trayIcon->setMenu(menu);
    trayIcon->defaultMenuAction();
    QCoreApplication::processEvents();
    return 0;
}
