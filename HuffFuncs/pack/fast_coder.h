// The word-at-a-time coder: WriteBit's bits, a whole code at a time, eight bytes a store.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "huffman/huffman.h"

namespace huff {

struct TFastCodeTable {
  TCodeTable Codes{};
  int MaxLength = 1;        // the longest Length, the end marker's included: 1 to 32
  bool SomeAbsent = false;  // some symbol has no code, so the coder must watch for it
  // For a word of eight bytes of one value: its code 8 times; Length 0 past 56 bits.
  std::array<TCodeEntry, 256> WordCodes{};
  // Unless a code is longer than MaxPairLength, asked for: two bytes' codes joined, at first +
  // 256 * second, as (code << 6) | length; 0 where either has none. Six bits: a shift by a whole
  // entry is by its length, and two entries' sum holds their lengths' (EncodeFast/*, 3 % less).
  std::vector<std::uint32_t> Pairs;
};

// Two such codes and their length fit a pair entry; two pairs and 7 pending bits one store.
inline constexpr int MaxPairLength = 13;

TFastCodeTable FastCodes(const TCodeTable& codes, bool pairs);

// Bits not yet stored, right-aligned: the bits above Count, stored already, fall away.
struct TBitAccumulator {
  std::uint64_t Bits = 0;
  unsigned Count = 0;  // 0 to 7 between calls
};

// Appends the low `length` (< 64) bits of bits, none set above; Count stays <= 64 until a store.
inline void AddBits(TBitAccumulator& acc, std::uint64_t bits, unsigned length) {
  acc.Bits = acc.Bits << length | bits;
  acc.Count += length;
}

// Stores eight bytes at out: the whole bytes, big-endian, then the pending bits; returns their end.
inline std::uint8_t* StoreWholeBytes(TBitAccumulator& acc, std::uint8_t* out) {
  // With nothing pending, what is stored are old bits, which the next store overwrites.
  std::uint64_t bigEndian = acc.Bits << ((64 - acc.Count) & 63);
  if constexpr (std::endian::native == std::endian::little)
    bigEndian = __builtin_bswap64(bigEndian);
  std::memcpy(out, &bigEndian, 8);
  out += acc.Count / 8;
  acc.Count %= 8;
  return out;
}

// Codes input, storing whole bytes from out on; returns their end, the partial byte left in acc.
// Sets missing when a byte had no code. Requires (7 + input.size() * MaxLength) / 8 + 8 bytes.
std::uint8_t* EncodeBytes(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                          std::uint8_t* out, TBitAccumulator& acc, bool& missing);

}  // namespace huff
