// Packs the payload's bits, most significant first, into blocks of ChunkSize bytes and keeps
// the byte sum that becomes the header's Checksum: the bit-at-a-time writer that defines the
// payload, which the fast coder is held against, and the code table written through it. The
// reading side never includes it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/bytes.h"
#include "huffman/huffman.h"

namespace huff {

class TBitWriter {
 public:
  // Appends its blocks to stream.
  explicit TBitWriter(std::vector<std::uint8_t>& stream) : Stream(stream) {}
  TBitWriter(const TBitWriter&) = delete;
  TBitWriter& operator=(const TBitWriter&) = delete;

  // Appends one bit; only the lowest bit of the argument counts. Inline: the code table and
  // the straightforward pass call it for every bit.
  void WriteBit(std::uint8_t bit) {
    Current = static_cast<std::uint8_t>((Current << 1) | (bit & 1));
    if (++BitCount == 8)
      CompleteByte();
  }
  // Completes the last byte with zero bits and writes everything buffered. Called once,
  // after the last bit.
  void FlushBits();
  // The sum of every completed byte, modulo 2^32.
  std::uint32_t GetChecksum() const noexcept { return Checksum; }

 private:
  void CompleteByte();
  void WriteBuffer();

  std::vector<std::uint8_t>& Stream;
  std::array<std::uint8_t, ChunkSize> Buffer;  // only the completed bytes are read
  std::int32_t ByteCount = 0;
  std::int32_t BitCount = 0;
  std::uint32_t Checksum = 0;
  std::uint8_t Current = 0;
};

// Writes a code's bits, the first from the root first.
void WriteCode(TBitWriter& writer, const TCodeEntry& entry);
// Writes the start bit, the presence map and the code entries.
void WriteCodeTable(const TCodeTable& codes, TBitWriter& writer);
// The bits WriteCodeTable writes for codes.
std::uint64_t CodeTableBits(const TCodeTable& codes);

}  // namespace huff
