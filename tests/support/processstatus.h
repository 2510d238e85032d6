#pragma once

#include <QtGlobal>

// Figures of this process from /proc/self/status, for the tests that check memory stays
// bounded and the benchmarks that report it.
namespace ProcessStatus {

// The field's value in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
qint64 kibibytes(const char *field);
// Starts the peak resident size ("VmHWM") over from the current one.
void resetPeak();

} // namespace ProcessStatus
