#pragma once

#include <QLoggingCategory>

// Everything that answers "why did it not update?": requests, statuses, byte counts,
// checksums and installer outcomes. QT_LOGGING_RULES="tarrowin.*=true" shows it.
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)
