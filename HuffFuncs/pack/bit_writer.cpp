#include "pack/bit_writer.h"

namespace huff {

void WriteCode(TBitWriter& writer, const TCodeEntry& entry) {
  for (std::uint32_t i = entry.Length; i > 0; --i)
    writer.WriteBit(static_cast<std::uint8_t>(entry.Bits >> (i - 1)));
}

void WriteCodeTable(const TCodeTable& codes, TBitWriter& writer) {
  writer.WriteBit(1);
  // The presence map: one bit per byte value; the end marker has none.
  for (int value = 0; value < 256; ++value)
    writer.WriteBit(codes[value].Length != 0);
  for (const TCodeEntry& entry : codes) {
    if (entry.Length == 0)
      continue;
    writer.WriteBit(0);
    WriteCode(writer, {entry.Length - 1, 5});  // the length field
    WriteCode(writer, entry);
  }
}

std::uint64_t CodeTableBits(const TCodeTable& codes) {
  std::uint64_t bits = 1 + 256;
  for (const TCodeEntry& entry : codes)
    if (entry.Length != 0)
      bits += 1 + 5 + entry.Length;
  return bits;
}

}  // namespace huff
