// Counting byte values: the first pass's inner loop.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace huff {

using THistogram = std::array<std::uint32_t, 256>;

// Adds the occurrences of each byte value in bytes to counts, one byte at a time: the
// definition CountBytes is held against.
void CountBytesOneByOne(std::span<const std::uint8_t> bytes, THistogram& counts);

// The same, fast on long runs of one value (erased flash is all 0xFF): four histograms take
// turns, so that consecutive increments of one counter do not wait for each other.
// Requires: no counter overflows (the input is below 2^32 bytes).
void CountBytes(std::span<const std::uint8_t> bytes, THistogram& counts);

}  // namespace huff
