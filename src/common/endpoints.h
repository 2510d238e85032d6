#pragma once

#include <QUrl>

// Base addresses of the two servers the program talks to. HTTPS only: the program runs
// what it downloads. Tests point these at a server on 127.0.0.1 before creating objects.
namespace Endpoints {

QUrl buildStorage();
QUrl maker();

void setBuildStorage(const QUrl &url);
void setMaker(const QUrl &url);

} // namespace Endpoints
