#include "container/bit_writer.h"

namespace huff {

void TBitWriter::CompleteByte() {
  Buffer[ByteCount++] = Current;
  Checksum += Current;
  BitCount = 0;
  Current = 0;
  if (ByteCount == ChunkSize)
    WriteBuffer();
}

void TBitWriter::FlushBits() {
  if (BitCount > 0) {
    Current = static_cast<std::uint8_t>(Current << (8 - BitCount));
    Buffer[ByteCount++] = Current;
    Checksum += Current;
    BitCount = 0;  // a second flush adds nothing
    Current = 0;
  }
  if (ByteCount > 0)
    WriteBuffer();
}

void TBitWriter::WriteBuffer() {
  Stream.insert(Stream.end(), Buffer.begin(), Buffer.begin() + ByteCount);
  ByteCount = 0;
}

}  // namespace huff
