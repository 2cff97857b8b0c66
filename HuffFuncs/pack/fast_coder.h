// The word-at-a-time coder: writes exactly the bits that WriteBit would for the same codes,
// but takes a whole code at a time and stores eight bytes at once.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "huffman/huffman.h"

namespace huff {

// The codes, and what FastCodes derives from them for the coder's loops.
struct TFastCodeTable {
  TCodeTable Codes{};
  int MaxLength = 1;       // the longest Length, 1 to 32
  bool SomeAbsent = true;  // some byte value has no code, so the encoder must watch for it
  // Each byte value's code eight times over, for runs of one value; Length 0 where that
  // would take more than 56 bits.
  std::array<TCodeEntry, 256> EightCodes{};
  // When asked for and every code has at most MaxPairLength bits: the codes of two bytes
  // joined, indexed by the first byte plus 256 times the second, as (code << 5) | length; 0
  // where either byte has no code. Empty otherwise.
  std::vector<std::uint32_t> Pairs;
};

// Two such codes and their length fit one pair entry; two pairs and 7 pending bits fit one
// store.
inline constexpr int MaxPairLength = 13;

// The table for codes; with pairs, the pair table too where the codes allow it.
TFastCodeTable FastCodes(const TCodeTable& codes, bool pairs);

// Bits not yet stored, left-aligned: the oldest pending bit is bit 63 of Bits.
struct TBitAccumulator {
  std::uint64_t Bits = 0;
  unsigned Count = 0;  // 0 to 7 between calls
};

// Appends the low `length` bits of bits, the first of them the most significant.
// Requires: acc.Count + length <= 64.
inline void AddBits(TBitAccumulator& acc, std::uint64_t bits, unsigned length) {
  acc.Count += length;
  // An absent code has Length 0 and Bits 0: it adds nothing, whatever the shift.
  acc.Bits |= bits << ((64 - acc.Count) & 63);
}

// Stores the accumulator's whole bytes at out, big-endian, and returns the end of them. Always
// stores eight bytes. Requires: 8 bytes of room at out. MayBeFull: Count may be 64.
template <bool MayBeFull = true>
inline std::uint8_t* StoreWholeBytes(TBitAccumulator& acc, std::uint8_t* out) {
  std::uint64_t bigEndian = acc.Bits;
  if constexpr (std::endian::native == std::endian::little)
    bigEndian = __builtin_bswap64(bigEndian);
  std::memcpy(out, &bigEndian, 8);
  const unsigned whole = acc.Count & ~7u;
  if constexpr (MayBeFull)
    acc.Bits = whole == 64 ? 0 : acc.Bits << whole;
  else
    acc.Bits <<= whole;
  acc.Count &= 7;
  return out + whole / 8;
}

// Codes every byte of input through table, storing whole bytes from out on; returns the end
// of them and leaves the last partial byte in acc. Sets missing when a byte had no code.
// Requires: out has room for (7 + input.size() * table.MaxLength) / 8 + 8 bytes.
std::uint8_t* EncodeBytes(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                          std::uint8_t* out, TBitAccumulator& acc, bool& missing);

}  // namespace huff
