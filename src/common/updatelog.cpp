#include "common/updatelog.h"

// Failures are shown by default; the step-by-step account only when asked for.
Q_LOGGING_CATEGORY(lcUpdate, "tarrowin.update", QtWarningMsg)
