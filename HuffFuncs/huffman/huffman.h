// The static Huffman code: byte counts in, one code per symbol out.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/errors.h"

namespace huff {

inline constexpr int SymbolCount = 257;  // the byte values 0 to 255, and the end marker
inline constexpr int EndMarker = 256;
inline constexpr int MaxStoredCodeLength = 32;  // a code entry's 5-bit length field
// The tree's weights are signed 32-bit and the root weighs the input's length plus one.
inline constexpr std::uint64_t MaxInputSize = 0x7FFFFFFE;

// More than MaxInputSize bytes, `holds` of them, to be packed or, as `done` says, unpacked.
EInputTooLarge InputTooLarge(const std::string& path, const std::string& holds,
                             const char* done = "packed");

using TByteCounts = std::array<std::uint32_t, 256>;

// A symbol's code: the low Length bits of Bits, the first from the root the most significant.
struct TCodeEntry {
  std::uint64_t Bits = 0;
  std::uint32_t Length = 0;
};

using TCodeTable = std::array<TCodeEntry, SymbolCount>;

// "byte value 0x41", "the end marker".
inline std::string SymbolName(int symbol) {
  return symbol == EndMarker ? std::string("the end marker") : "byte value " + HexByte(symbol);
}

// The codes of the tree that merges the two lightest nodes until one is left; the end marker
// weighs 1, absent byte values take no part. Among equal weights the lower slot goes first: byte
// values before the end marker, leaves before internal nodes, older internal nodes before newer.
// The first taken gets bit 1, the second bit 0; an empty input has no code. At most MaxInputSize.
// Raises ECodeTooLong, naming the input, for a code longer than MaxStoredCodeLength.
TCodeTable BuildCodes(const TByteCounts& counts, const std::string& inputName);

}  // namespace huff
