#pragma once

#include "platform/core/error.h"

#include <QString>

namespace update {

// What the user reads of an error: the sentence of its code (what happened
// and, where there is something to do, what to do), then its detail
// unless the network gave it (the run's log keeps that), then "：" and
// what it names.
QString describe(const platform::Error &error);

} // namespace update
