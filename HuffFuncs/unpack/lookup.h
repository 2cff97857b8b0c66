// The fast decode: look-up tables sized to the container, and the loops that use them.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "huffman/huffman.h"

namespace huff {

// Codes up to the primary index's bits take one look-up, longer ones subtables of SubBits each.
// 8192 eight-byte entries still fit the fast caches.
inline constexpr int MaxPrimaryBits = 13;
inline constexpr int SubBits = 6;
inline constexpr std::uint32_t SubSize = 1u << SubBits;
inline constexpr int MaxPerEntry = 6;  // byte values a primary entry yields

// A look-up's step: a code, or a link to a subtable. Bits: the code's bits this table covers,
// or the linking table's width.
enum class TKind : std::uint8_t { Hole, Byte, End, Link };
struct TStep {
  TKind Kind = TKind::Hole;
  std::uint8_t Bits = 0;
  std::uint16_t Value = 0;  // the byte value, or the subtable's number
};

// A primary entry in one word: bits 0-7 the bits it consumes, 8-15 how many byte values it
// yields (none: the entry is 0, take the checked step), then the byte values from bit 16 on.
using TPacked = std::uint64_t;

// What the fast decode reads; copied into its loops' locals, which no store can change.
struct TFastTables {
  const TPacked* Packed = nullptr;
  const TStep* Steps = nullptr;  // the primary index's, then the subtables, numbered from it
  unsigned PrimaryShift = 64 - MaxPrimaryBits;  // 64 less the primary index's bits
  // For a one-bit code (erased flash): the entry of an index all of its bit (else one never
  // matched), the bit 64 times, the value 8 times.
  TPacked RunEntry = ~TPacked{0};
  std::uint64_t RunMask = 0;
  std::uint64_t RunBytes = 0;
  // When nearly every code is StrideBits long (else 0): each index's byte value, or NotStride.
  const std::uint16_t* Stride = nullptr;
  unsigned StrideBits = 0;
};
inline constexpr std::uint16_t NotStride = 0x100;

// The next 64 bits of the stream, the first in the top bit.
inline std::uint64_t LoadBigEndian64(const std::uint8_t* at) {
  const std::uint64_t value = LoadWord(at);
  return std::endian::native == std::endian::little ? __builtin_bswap64(value) : value;
}

// Where the fast decode of `bytes` bytes stops: below it, the eight bytes from a position's
// byte on all lie in them.
inline std::uint64_t LoadableBits(std::size_t bytes) {
  return bytes >= 8 ? (bytes - 7) * 8 : 0;
}

// The code that begins `word`, and its length. Every entry of a complete code's is filled.
inline TStep CodeAt(const TFastTables& tables, std::uint64_t word, unsigned& length) {
  TStep step = tables.Steps[word >> tables.PrimaryShift];
  unsigned used = 0;
  while (step.Kind == TKind::Link) {
    used += step.Bits;
    step = tables.Steps[step.Value * SubSize + ((word << used) >> (64 - SubBits))];
  }
  length = used + step.Bits;
  return step;
}

class TLookupTables {
 public:
  // For complete codes that do not clash. A payload under 128 KiB gets a smaller primary index:
  // a 13-bit one takes half a 64 KiB image's decode (LookupTables). `runs`, `stride`: benchmarks.
  void Build(const TCodeTable& codes, std::uint64_t payloadBytes, bool runs, bool stride);
  const TFastTables& Fast() const { return Tables; }

 private:
  void PlaceCode(const TCodeEntry& code, int symbol);
  void BuildStride(const TCodeTable& codes);

  int PrimaryBits = MaxPrimaryBits;
  std::vector<TStep> Steps;  // the primary index, then the subtables of SubSize each
  std::vector<TPacked> Packed;
  std::vector<TPacked> Shorter;  // what Packed is made from
  std::array<std::uint16_t, 256> Stride;
  TFastTables Tables;
};

// How far past a guess's start the true decode looks for a meeting point.
inline constexpr std::uint64_t SyncBits = 4096;

// Follows the true decode from t (at or before s, writing to out) and a guess from s to guessEnd
// to a boundary of both, `skipped` the guess's codes before it: true where they meet. The true
// side stops SyncBits past s, at stop, and before the end marker, for the checked step.
bool MeetGuess(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t& t,
               std::uint64_t s, std::uint64_t guessEnd, std::uint64_t stop, std::uint8_t*& out,
               std::size_t& skipped);

// The fast decode. Keeps the lanes' output.
class TFastDecoder {
 public:
  // The most a call adds to the output past outLimit: a round of the lanes and their meetings.
  static const std::size_t RoundRoom;
  bool UseLanes = true;  // off only for the benchmarks
  void MakeLaneRoom();   // else made on the first round of the lanes

  // Decodes from local, in bits from buffer's start, towards stop, while out is below outLimit
  // (past it by 64 bytes or a round of the lanes, below outEnd). True at a code that needs the
  // checked step: a long one that may reach past stop, or the end marker. Requires: below stop,
  // the eight bytes from a position's byte on are in the buffer.
  bool Decode(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t stop,
              std::uint64_t& local, std::uint8_t*& out, const std::uint8_t* outLimit,
              const std::uint8_t* outEnd);

 private:
  bool DecodeRound(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t stop,
                   std::uint64_t width, std::uint64_t& local, std::uint8_t*& out);

  std::unique_ptr<std::uint8_t[]> LaneOut;  // the lanes' but the first; made on the first round
};

}  // namespace huff
