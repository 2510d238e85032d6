#include "update/updatewords.h"

#include "update/updatenotifier.h"

#include <QLocale>

QString UpdateWords::statusText(int status)
{
    if (status == UpdateLoop::Idle)
        return tr("Idle");
    return status == UpdateLoop::Downloading ? tr("Downloading") : tr("Installing");
}

QString UpdateWords::nextCheck(const QDateTime &at, const QDateTime &now)
{
    if (!at.isValid())
        return QString();
    const QLocale locale;
    return at.date() == now.date() ? locale.toString(at.time(), QLocale::ShortFormat)
                                   : locale.toString(at, QLocale::ShortFormat);
}

QString UpdateWords::status(int status, bool mirrorOnly, int build)
{
    if (mirrorOnly && status == UpdateLoop::Downloading)
        return tr("Downloading, checked against the mirror only");
    if (mirrorOnly && status == UpdateLoop::Installing)
        return tr("Installing, checked against the mirror only");
    if (mirrorOnly)
        return tr("Build %1 was checked against the mirror only").arg(build);
    return statusText(status);
}

QString UpdateWords::toolTip(int build, const QString &version, int stayBuild)
{
    const QString stay = stayBuild > 0 ? QLatin1Char('\n')
            + tr("Staying on build %1; newer builds are not installed").arg(stayBuild)
                                       : QString();
    if (build == -1)
        return tr("Tarrowin (No Chromium build installed yet)") + stay;
    if (version.isEmpty())
        return tr("Tarrowin (Chromium build %1)").arg(build) + stay;
    return tr("Tarrowin (Chromium build %1: %2)").arg(build).arg(version) + stay;
}

QVariantList UpdateWords::trayMenu(int previousBuild, int currentBuild, bool sandboxFixable,
                                   bool browserOutdated, int stayBuild)
{
    const auto entry = [](const QString &name, const QString &label = QString()) {
        return QVariantMap { { QStringLiteral("name"), name }, { QStringLiteral("label"), label } };
    };
    QVariantMap open = entry(UpdateNotifier::actionName(UpdateNotifier::OpenWindow), tr("&Open"));
    open.insert(QStringLiteral("default"), true);
    QVariantList entries {
        open, entry(UpdateNotifier::actionName(UpdateNotifier::OpenSettings), tr("&Settings"))
    };
    // After going back, the build before is the newer one: the way there is no going back.
    if (previousBuild != -1)
        entries.append(entry(UpdateNotifier::actionName(UpdateNotifier::GoBack),
                             previousBuild < currentBuild
                                 ? tr("Go back to build %1").arg(previousBuild)
                                 : tr("Return to build %1").arg(previousBuild)));
    if (stayBuild > 0)
        entries.append(entry(UpdateNotifier::actionName(UpdateNotifier::FollowNewest),
                             tr("Follow the newest build")));
    else if (currentBuild != -1)
        entries.append(entry(UpdateNotifier::actionName(UpdateNotifier::StayOnBuild),
                             tr("Stay on this build")));
    if (browserOutdated)
        entries.append(
            entry(UpdateNotifier::actionName(UpdateNotifier::Relaunch), tr("Relaunch Chromium")));
    if (sandboxFixable)
        entries.append(entry(UpdateNotifier::actionName(UpdateNotifier::AllowSandbox),
                             tr("Allow Chromium's sandbox\u2026")));
    // The tray's own mark for a line between entries, no action.
    entries << entry(QStringLiteral("separator"))
            << entry(UpdateNotifier::actionName(UpdateNotifier::Quit), tr("&Exit"));
    return entries;
}
