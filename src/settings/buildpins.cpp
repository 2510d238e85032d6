#include "settings/buildpins.h"

#include "settings/config.h"

#include <QStringList>

#include <algorithm>

int BuildPins::keepCount()
{
    bool ok = false;
    const int keep = Config::get(Config::KeepBuilds).toInt(&ok);
    return ok ? std::clamp(keep, 1, BuildPins::mostKept)
              : Config::defaultValue(Config::KeepBuilds).toInt();
}

QList<int> BuildPins::pinned()
{
    // Stored as a list of numbers; one alone reads back as plain text.
    QList<int> builds;
    const QStringList stored = Config::get(Config::PinnedBuilds).toStringList();
    for (const QString &text : stored) {
        bool ok = false;
        const int build = text.trimmed().toInt(&ok);
        if (ok && build > 0 && !builds.contains(build))
            builds.append(build);
    }
    std::sort(builds.begin(), builds.end());
    return builds;
}

QString BuildPins::setPinned(int build, bool pin)
{
    QList<int> builds = pinned();
    builds.removeAll(build);
    if (pin && build > 0)
        builds.append(build);
    std::sort(builds.begin(), builds.end());
    QStringList stored;
    for (const int each : std::as_const(builds))
        stored.append(QString::number(each));
    return Config::save({ { Config::PinnedBuilds, stored } });
}

int BuildPins::stay()
{
    bool ok = false;
    const int build = Config::get(Config::StayOnBuild).toInt(&ok);
    return ok && build > 0 ? build : -1;
}

QString BuildPins::setStay(int build)
{
    if (build > 0) {
        if (const QString unsaved = setPinned(build, true); !unsaved.isEmpty())
            return unsaved;
    }
    return Config::save({ { Config::StayOnBuild, build > 0 ? build : -1 } });
}
