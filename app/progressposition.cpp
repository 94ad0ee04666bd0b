#include "progressposition.h"

#include "platform/text/numbers.h"

float amountPosition(std::int32_t lDownLoaded)
{
    // The rule reads the amount's general-form text back and rounds it to one
    // decimal. The amount is a multiple of 1/1024 below 2^21: its text is
    // exact up to 15 significant digits, and otherwise off by less than 1e-8,
    // while a multiple of 1/1024 that is not itself a tie lies at least 1/5120
    // from the nearest tie of one-decimal rounding (the ties it can reach,
    // multiples of 0.25, have short exact texts). Rounding the amount itself
    // gives the same position.
    return float(platform::numbers::roundToDecimals(lDownLoaded / 1024.0, 1));
}
