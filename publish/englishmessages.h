#pragma once

#include "platform/core/error.h"

#include <QString>

namespace publish {

// The publisher speaks English to engineers: one line per error, the file
// first, then the rule it broke.
QString englishRule(platform::Error::Code code);
QString englishLine(const platform::Error &error);

} // namespace publish
