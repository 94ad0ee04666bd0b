#pragma once

#include <functional>

namespace platform {

// The platform clock: seconds since local midnight, with a fraction.
double secondsSinceMidnight();

using Clock = std::function<double()>;

} // namespace platform
