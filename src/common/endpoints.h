#pragma once

#include <QUrl>

// Base addresses of the servers the program talks to: the build storage, the maker's site,
// and the releases service that maps Chromium versions and milestones to trunk positions.
// HTTPS only: the program runs what it downloads. Tests point these at a server on
// 127.0.0.1 before creating objects.
namespace Endpoints {

QUrl buildStorage();
QUrl maker();
QUrl releases();

void setBuildStorage(const QUrl &url);
void setMaker(const QUrl &url);
void setReleases(const QUrl &url);

} // namespace Endpoints
