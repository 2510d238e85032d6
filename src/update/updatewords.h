#pragma once

#include <QDateTime>
#include <QObject>
#include <QVariant>

// The words that follow from what they are handed alone: the downloader's plain status, the
// tray icon's tool tip and its menu's entries (named by the notifier's actions).
class UpdateWords : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    Q_INVOKABLE static QString statusText(int status);
    // The status line with nothing else to say: the status, and whether the build fetched or
    // installed last (`build` when idle) was judged by the mirror's checksums alone.
    static QString status(int status, bool mirrorOnly, int build);
    // When the next check is due, as the status tab shows it: the time alone today, with the
    // date on another day; empty for none.
    Q_INVOKABLE static QString nextCheck(const QDateTime &at,
                                         const QDateTime &now = QDateTime::currentDateTime());
    // The tool tip: the installed build and what it said of itself.
    // stayBuild: the build the update loop stays on, -1 for none.
    Q_INVOKABLE static QString toolTip(int build, const QString &version, int stayBuild = -1);
    // The tray menu's entries, as maps with a name, a label and flags. Going back (or
    // returning, to a newer build) is offered while there is a previous build, allowing the
    // sandbox while that is fixable, relaunching the browser while it runs an older build;
    // staying on the installed build, or following the newest again while it stays.
    Q_INVOKABLE static QVariantList trayMenu(int previousBuild, int currentBuild,
                                             bool sandboxFixable = false,
                                             bool browserOutdated = false, int stayBuild = -1);
};
