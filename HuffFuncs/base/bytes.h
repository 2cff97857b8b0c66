// Both directions': the block size, the checksum, and erased flash's runs of one byte value.
#pragma once

#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>

namespace huff {

inline constexpr int ChunkSize = 32768;

// The container's checksum. (The compiler adds many bytes at once; SSE2 was a quarter faster.)
inline std::uint32_t SumBytes(std::span<const std::uint8_t> bytes) {
  return std::accumulate(bytes.begin(), bytes.end(), std::uint32_t{0});
}

inline std::uint64_t LoadWord(const std::uint8_t* at) {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

// Eight copies of one byte value, in any byte order.
inline bool IsRunWord(std::uint64_t word) {
  return word == (word & 0xFF) * 0x0101010101010101ull;
}

// The end of the whole words equal to word from at on, before end; 64 bytes at a time first.
inline const std::uint8_t* RunEnd(const std::uint8_t* at, const std::uint8_t* end,
                                  std::uint64_t word) {
  for (; end - at >= 64; at += 64) {
    std::uint64_t differ = 0;
    for (int k = 0; k < 64; k += 8)
      differ |= LoadWord(at + k) ^ word;
    if (differ != 0)
      break;
  }
  while (end - at >= 8 && LoadWord(at) == word)
    at += 8;
  return at;
}

}  // namespace huff
