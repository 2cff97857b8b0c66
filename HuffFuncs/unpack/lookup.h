// The fast decode: look-up tables sized to the container (a primary table indexed by the next
// bits of the stream, subtables for the codes longer than its index, and entries that yield
// several short codes at once), and the loops that decode through them.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "huffman/huffman.h"

namespace huff {

// Codes of up to the primary index's bits are found with one look-up; longer ones go on
// through subtables of SubBits bits each. At most 8192 eight-byte entries: more bits per
// look-up mean more byte values per entry, and the table still fits the fast caches.
inline constexpr int MaxPrimaryBits = 13;
inline constexpr int SubBits = 6;
inline constexpr std::uint32_t SubSize = 1u << SubBits;
// A primary entry yields up to this many byte values at once.
inline constexpr int MaxPerEntry = 6;

// One step of a look-up: a whole code (of a byte value or the end marker), or a link to a
// subtable for codes that go on. Bits: for a code, how many of its bits this table covers;
// for a link, the table's own width.
enum class TKind : std::uint8_t { Hole, Byte, End, Link };
struct TStep {
  TKind Kind = TKind::Hole;
  std::uint8_t Bits = 0;
  std::uint16_t Value = 0;  // the byte value, or the subtable's number
};

// A primary entry of the fast decode, packed into one word: bits 0-7 the bits it consumes,
// bits 8-15 how many byte values it yields (0: take the checked step), then the byte values,
// first in bits 16-23.
using TPacked = std::uint64_t;

// What the fast decode reads; copied into its loops' locals, so that no store through their
// output can change it.
struct TFastTables {
  const TPacked* Packed = nullptr;
  const TStep* Primary = nullptr;
  const TStep* Subtables = nullptr;
  unsigned PrimaryShift = 64 - MaxPrimaryBits;  // 64 less the primary index's bits
  // For a byte value with a one-bit code (erased flash): the entry of the index whose bits
  // are all that code (never matched when there is no such value); the code's bit in every
  // position; and the value eight times.
  TPacked RunEntry = ~TPacked{0};
  std::uint64_t RunMask = 0;
  std::uint64_t RunBytes = 0;
  // When nearly every code is StrideBits long (0: not so): for each StrideBits-bit index, the
  // byte value whose code it is, or NotStride when it is no byte value's whole code.
  const std::uint16_t* Stride = nullptr;
  unsigned StrideBits = 0;
};
inline constexpr std::uint16_t NotStride = 0x100;

// The eight bytes from `at` on, the first in the top bits: the next 64 bits of the stream.
inline std::uint64_t LoadBigEndian64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, 8);
  if constexpr (std::endian::native == std::endian::little)
    value = __builtin_bswap64(value);
  return value;
}

// The code that begins the 64 bits of `word`, through the subtables when it is long; its
// length goes to `length`. Every entry of a complete code's tables is filled.
inline TStep CodeAt(const TFastTables& tables, std::uint64_t word, unsigned& length) {
  TStep step = tables.Primary[word >> tables.PrimaryShift];
  unsigned used = 0;
  while (step.Kind == TKind::Link) {
    used += step.Bits;
    step = tables.Subtables[step.Value * SubSize + ((word << used) >> (64 - SubBits))];
  }
  length = used + step.Bits;
  return step;
}

class TLookupTables {
 public:
  // For complete codes that do not clash. A payload under 128 KiB gets a smaller primary index:
  // an entry costs about as much to make as ten codes take to decode, and a 13-bit index
  // took as long to make as a 64 KiB image to decode (micro_bench InProcess/unpack_into/64KiB).
  // Without `runs` or `stride`, the tables leave out those ways (for the benchmarks, which show
  // what each gives).
  void Build(const TCodeTable& codes, std::uint64_t payloadBytes, bool runs = true,
             bool stride = true);
  const TFastTables& Fast() const { return Tables; }

 private:
  void PlaceCode(const TCodeEntry& code, int symbol);
  void BuildStride(const TCodeTable& codes);

  int PrimaryBits = MaxPrimaryBits;
  std::vector<TStep> Primary;
  std::vector<TStep> Subtables;  // SubSize entries each
  std::vector<TPacked> Packed;
  std::vector<TPacked> Shorter;  // what Packed is made from
  std::array<std::uint16_t, 256> Stride;
  TFastTables Tables;
};

// The fast decode. Keeps the lanes' output, and how long the lanes stand aside after failing
// to meet.
class TFastDecoder {
 public:
  // The most a call adds to the output past outLimit: a round of the lanes, the codes their
  // meetings pass and the stores past the end.
  static const std::size_t RoundRoom;

  // Whether several lanes decode at once (off for the benchmarks, which show what they give).
  bool UseLanes = true;

  // Before a decode from the payload's start: forgets how the lanes fared in the last one.
  void Reset();

  // Decodes from local, in bits from buffer's start (payload bit `base`), towards stop, while
  // out is below outLimit; the output runs past it by at most 64 bytes, or by what a round of
  // the lanes adds, which is kept below outEnd. Returns true at a code that needs the checked
  // step: a long one that may reach past stop, or the end marker. Requires: below stop, the
  // eight bytes from a position's byte on are in the buffer.
  bool Decode(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t base,
              std::uint64_t stop, std::uint64_t& local, std::uint8_t*& out,
              const std::uint8_t* outLimit, const std::uint8_t* outEnd);

 private:
  bool DecodeRound(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t base,
                   std::uint64_t stop, std::uint64_t width, std::uint64_t& local,
                   std::uint8_t*& out);

  // Up to this payload bit, the lanes stand aside; IdleBits is how long they do after a failure.
  std::uint64_t LanesIdleUntil = 0;
  std::uint64_t IdleBits = 0;
  std::unique_ptr<std::uint8_t[]> LaneOut;  // the lanes' but the first; made on the first round
};

}  // namespace huff
