#include "unpack/lookup.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace huff {
namespace {

// Each subtable stands for an inner node of the code tree, and a complete code of at most
// 257 symbols has at most 256 of them.
constexpr std::size_t MaxSubtables = 256;
// A short payload's primary index has at least this many bits.
constexpr int MinPrimaryBits = 8;
// When codes of one length take at least this share of all bit sequences (noise: 255/256 of
// them 8 bits), lanes almost never meet, and one position decodes several codes at once
// instead. Shorter codes are left to the packed entries, which hold several of them, and
// to the runs; a complete code of at most 257 symbols has no such share above 8 bits.
constexpr std::uint64_t StrideShareSixteenths = 15;
constexpr int MinStrideBits = 4;
constexpr int MaxStrideBits = 8;

}  // namespace

void TLookupTables::Build(const TCodeTable& codes, std::uint64_t payloadBytes, bool runs,
                          bool stride) {
  PrimaryBits = static_cast<int>(
      std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::bit_width(payloadBytes / 16)),
                                MinPrimaryBits, MaxPrimaryBits));
  // All Hole: zero bytes.
  Primary.resize(std::size_t{1} << PrimaryBits);
  std::memset(static_cast<void*>(Primary.data()), 0, Primary.size() * sizeof(TStep));
  Subtables.clear();
  for (int symbol = 0; symbol < SymbolCount; ++symbol)
    if (codes[symbol].Length != 0)
      PlaceCode(codes[symbol], symbol);
  // The entries for the first n bits of an index, for n from 0 up, those of fewer bits than
  // the index's in Shorter[2^n + bits]: an entry is its first code followed by the entry of the
  // bits after that code, made already, less its last code when it holds MaxPerEntry. Each
  // byte value's code begins a block of them. (A code at a time, the table took as long to
  // make as a 64 KiB image takes to decode: micro_bench InProcess/unpack_into/64KiB.)
  Packed.resize(Primary.size());
  Shorter.resize(Primary.size());
  Shorter[1] = 0;  // no bits: no code
  // In locals: the stores could alias the vectors, whose pointers would be loaded again.
  const TPacked* const shorter = Shorter.data();
  constexpr int LastValue = 8 * (MaxPerEntry + 1);  // where the last value of a full entry is
  std::array<TPacked, 256> lastCost;  // what taking the value off the end of an entry takes
  for (int value = 0; value < 256; ++value)
    lastCost[value] =
        (TPacked{static_cast<unsigned>(value)} << LastValue) + 0x100 + codes[value].Length;
  for (int n = 1; n <= PrimaryBits; ++n) {
    TPacked* const entries = n == PrimaryBits ? Packed.data() : Shorter.data() + (1u << n);
    std::fill_n(entries, 1u << n, 0);
    for (int value = 0; value < 256; ++value) {
      const auto length = static_cast<int>(codes[value].Length);
      if (length == 0 || length > n)
        continue;
      const int left = n - length;
      const TPacked* const rests = shorter + (1u << left);
      TPacked* const block = entries + (codes[value].Bits << left);
      const TPacked first =
          static_cast<TPacked>(length) + 0x100 + (TPacked{static_cast<unsigned>(value)} << 16);
      for (std::uint32_t k = 0; k < (1u << left); ++k) {
        TPacked rest = rests[k];
        rest -= (rest >> 8 & 0xFF) == MaxPerEntry ? lastCost[rest >> LastValue] : 0;
        block[k] = first + rest + ((rest >> 16 << 24) - (rest >> 16 << 16));
      }
    }
  }

  Tables = {Packed.data(), Primary.data(), Subtables.data(),
            static_cast<unsigned>(64 - PrimaryBits)};
  // A byte value with a one-bit code (erased flash) comes in long runs of one bit value.
  for (int value = 0; value < 256 && runs; ++value)
    if (codes[value].Length == 1) {
      Tables.RunMask = codes[value].Bits != 0 ? ~std::uint64_t{0} : 0;
      Tables.RunEntry = Packed[Tables.RunMask >> Tables.PrimaryShift];
      Tables.RunBytes = 0x0101010101010101ull * static_cast<unsigned>(value);
    }
  if (stride)
    BuildStride(codes);
}

void TLookupTables::PlaceCode(const TCodeEntry& code, int symbol) {
  const TKind kind = symbol == EndMarker ? TKind::End : TKind::Byte;
  std::size_t table = 0;  // the primary table; then a subtable's first entry, plus one
  int width = PrimaryBits;
  int left = static_cast<int>(code.Length);  // code bits not yet covered by the tables above
  while (left > width) {
    left -= width;
    TStep* const entries = table == 0 ? Primary.data() : Subtables.data() + table - 1;
    TStep& link = entries[(code.Bits >> left) & ((1u << width) - 1)];
    std::size_t next = link.Value;
    if (link.Kind != TKind::Link) {
      next = Subtables.size() / SubSize;
      if (next == MaxSubtables)
        throw std::logic_error("decoder: more subtables than a complete code has inner nodes");
      link = {TKind::Link, static_cast<std::uint8_t>(width), static_cast<std::uint16_t>(next)};
      Subtables.resize(Subtables.size() + SubSize, TStep{});  // moves `entries` and `link`
    }
    table = 1 + next * SubSize;
    width = SubBits;
  }
  // The code's last `left` bits, followed by every value of the bits after it.
  TStep* const entries = table == 0 ? Primary.data() : Subtables.data() + table - 1;
  const std::uint32_t first = (code.Bits & ((1u << left) - 1)) << (width - left);
  const TStep step{kind, static_cast<std::uint8_t>(left), static_cast<std::uint16_t>(symbol)};
  // As four bytes a time, which the compiler stores several at once, unlike the struct.
  static_assert(sizeof(TStep) == 4);
  std::uint32_t word;
  std::memcpy(&word, &step, sizeof word);
  TStep* const from = entries + first;
  for (std::uint32_t k = 0; k < (1u << (width - left)); ++k)
    std::memcpy(static_cast<void*>(from + k), &word, sizeof word);
}

// The stride table, when codes of one length take StrideShareSixteenths of all bit
// sequences: then a code has that length with about that chance.
void TLookupTables::BuildStride(const TCodeTable& codes) {
  constexpr std::uint64_t Space = std::uint64_t{1} << 32;
  std::array<std::uint64_t, 33> share{};
  for (const TCodeEntry& code : codes)
    if (code.Length != 0)
      share[code.Length] += Space >> code.Length;
  const auto width = static_cast<int>(std::max_element(share.begin(), share.end()) - share.begin());
  if (share[width] < Space / 16 * StrideShareSixteenths || width < MinStrideBits ||
      width > std::min(MaxStrideBits, PrimaryBits))
    return;
  for (std::uint32_t index = 0; index < (1u << width); ++index) {
    const TStep& step = Primary[index << (PrimaryBits - width)];
    Stride[index] = step.Kind == TKind::Byte && step.Bits == width ? step.Value : NotStride;
  }
  Tables.Stride = Stride.data();
  Tables.StrideBits = static_cast<unsigned>(width);
}

}  // namespace huff
