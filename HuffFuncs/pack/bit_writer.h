// The bit-at-a-time writer that defines the payload, high bit first, and the code table.
#pragma once

#include <cstdint>
#include <vector>

#include "huffman/huffman.h"

namespace huff {

class TBitWriter {
 public:
  explicit TBitWriter(std::vector<std::uint8_t>& stream) : Stream(stream) {}

  void WriteBit(std::uint8_t bit) {
    Current = static_cast<std::uint8_t>((Current << 1) | (bit & 1));
    if (++BitCount == 8)
      FlushBits();
  }
  // Completes the last byte with zero bits, once, after the last bit.
  void FlushBits() {
    if (BitCount > 0)
      Stream.push_back(static_cast<std::uint8_t>(Current << (8 - BitCount)));
    BitCount = 0;
    Current = 0;
  }

 private:
  std::vector<std::uint8_t>& Stream;
  int BitCount = 0;
  std::uint8_t Current = 0;
};

void WriteCode(TBitWriter& writer, const TCodeEntry& entry);
// The start bit, the presence map and the code entries.
void WriteCodeTable(const TCodeTable& codes, TBitWriter& writer);
std::uint64_t CodeTableBits(const TCodeTable& codes);

}  // namespace huff
