// Counting byte values: the first pass's inner loop.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace huff {

using THistogram = std::array<std::uint32_t, 256>;

// Adds the occurrences of each byte value in bytes to counts, fast on long runs of one value
// (erased flash is all 0xFF), and with four histograms taking turns, so that consecutive
// increments of one counter do not wait for each other. CountSymbols, a byte at a time, is the
// definition it is held against. Requires: no counter overflows (fewer than 2^32 bytes).
void CountBytes(std::span<const std::uint8_t> bytes, THistogram& counts);

}  // namespace huff
