#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class LoopbackServer;
class ViewProbe;

// What a bisect in the window needs, for the view's tests: published builds on a loopback
// storage, and the means to bring the Builds tab's bisect to a given state.
namespace BisectSeries {

// `count` sparse builds published in the Linux series, each an archive whose chrome is the
// fake browser, a releases service that knows no commit, and the first and last of them
// installed as previous and current: the form's defaults. The series and the releases
// service stay set until restore(). Returns the builds, or none when an archive was not made.
QList<int> serve(LoopbackServer &server, int count);
void restore();

// Starts the bisect from the form with its defaults and answers each step "Bad" until the
// bisect is in `state` ("Testing" or "Found"); false, with why in the test log, otherwise.
bool bringTo(const ViewProbe &view, const QString &state);

// Each file below `folder` with a digest of its contents, in order: equal lists, equal trees.
QStringList tree(const QString &folder);

} // namespace BisectSeries
