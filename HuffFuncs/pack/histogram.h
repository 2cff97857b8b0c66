// Counting byte values: the first pass's inner loop, and the definition it is held against.
#pragma once

#include <cstdint>
#include <span>

#include "huffman/huffman.h"

namespace huff {

// Adds each byte value's occurrences to counts: fast on runs of one value (erased flash), four
// histograms taking turns so that increments do not wait for each other. No counter overflows.
void CountBytes(std::span<const std::uint8_t> bytes, TByteCounts& counts);

// The same a byte at a time.
inline TByteCounts CountSymbols(std::span<const std::uint8_t> bytes) {
  TByteCounts counts{};
  for (const std::uint8_t byte : bytes)
    ++counts[byte];
  return counts;
}

}  // namespace huff
