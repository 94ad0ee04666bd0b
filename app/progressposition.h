#pragma once

#include <cstdint>

// The progress bar's position for an amount received, in KB at one decimal:
// the number that the display rule reads from the amount's text, worked out
// without the text.
float amountPosition(std::int32_t lDownLoaded);
