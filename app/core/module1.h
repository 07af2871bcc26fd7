// The library calls of the start sequence.
#pragma once

#include <cstdint>

#include "card_functions.h"

namespace wexmon {

// Asks the library for its model name and compares the first four characters
// with "W316", case and all.
bool CheckDriver(CardFunctions& card);

// Initial(port, 5, 9600, 0): a module's values go to 0 after 5 missed replies
// in a row. Returns the library's result unchanged.
std::int32_t InitDriver(CardFunctions& card, std::int16_t& comPort);

// StartSnapshot(1, 200, 0, channels, -1000, 0, 0, 0): a ring of 200 rows, one
// tick per 1000 ms. Returns the library's result unchanged.
std::int32_t StartAcquisition(CardFunctions& card, std::int16_t& numChannels);

}  // namespace wexmon
