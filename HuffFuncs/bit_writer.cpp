#include "bit_writer.h"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace huff {

TBitWriter::TBitWriter(TStream& stream) : Stream(stream) {}

void TBitWriter::WriteBit(std::uint8_t bit) {
  Current = static_cast<std::uint8_t>((Current << 1) | (bit & 1));
  if (++BitCount == 8) {
    Buffer[ByteCount++] = Current;
    Checksum += Current;
    BitCount = 0;
    Current = 0;
  }
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
  Stream.Write(std::span<const std::uint8_t>(Buffer.data(), static_cast<std::size_t>(ByteCount)));
  BytesWritten += static_cast<std::uint64_t>(ByteCount);
  ByteCount = 0;
}

std::uint32_t SumBytesOneByOne(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : bytes)
    sum += byte;
  return sum;
}

std::uint32_t SumBytes(std::span<const std::uint8_t> bytes) {
#if defined(__SSE2__) && defined(__x86_64__)
  // SSE2 is part of every x86-64: no dispatch needed. PSADBW against zero adds eight bytes
  // at a time into two 64-bit lanes, which cannot overflow for any block we write.
  const std::uint8_t* data = bytes.data();
  const std::size_t size = bytes.size();
  const __m128i zero = _mm_setzero_si128();
  __m128i lanes = zero;
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    lanes = _mm_add_epi64(lanes, _mm_sad_epu8(block, zero));
  }
  const std::uint64_t sum =
      static_cast<std::uint64_t>(_mm_cvtsi128_si64(lanes)) +
      static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
  return static_cast<std::uint32_t>(sum) + SumBytesOneByOne(bytes.subspan(i));
#else
  return SumBytesOneByOne(bytes);
#endif
}

namespace {

// PerStore codes always fit the accumulator: 7 pending bits + PerStore * maxLength <= 64.
template <int PerStore>
std::uint8_t* EncodeGroups(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                           std::uint8_t* out, TBitAccumulator& state, bool& missing) {
  // The state lives in locals: the compiler cannot tell that stores through out leave it alone.
  TBitAccumulator acc = state;
  std::uint8_t absent = 0;
  const std::uint8_t* in = input.data();
  const std::uint8_t* end = in + input.size();
  for (; end - in >= PerStore; in += PerStore) {
    for (int k = 0; k < PerStore; ++k) {
      const TFastCode code = table[in[k]];
      absent |= code.Absent;
      AddCode(acc, code);
    }
    out = StoreWholeBytes(acc, out);
  }
  for (; in != end; ++in) {
    const TFastCode code = table[*in];
    absent |= code.Absent;
    AddCode(acc, code);
    out = StoreWholeBytes(acc, out);
  }
  state = acc;
  missing |= absent != 0;
  return out;
}

}  // namespace

std::uint8_t* EncodeBytes(const TFastCodeTable& table, int maxLength,
                          std::span<const std::uint8_t> input, std::uint8_t* out,
                          TBitAccumulator& acc, bool& missing) {
  if (maxLength <= 14)
    return EncodeGroups<4>(table, input, out, acc, missing);
  if (maxLength <= 19)
    return EncodeGroups<3>(table, input, out, acc, missing);
  if (maxLength <= 28)
    return EncodeGroups<2>(table, input, out, acc, missing);
  return EncodeGroups<1>(table, input, out, acc, missing);
}

}  // namespace huff
