#include "unpack/lookup.h"

#include <algorithm>
#include <bit>
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

void TLookupTables::Build(const TCodeTable& codes, std::uint64_t payloadBytes) {
  PrimaryBits = static_cast<int>(
      std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::bit_width(payloadBytes / 4)),
                                MinPrimaryBits, MaxPrimaryBits));
  Primary.assign(std::size_t{1} << PrimaryBits, TStep{});
  Subtables.clear();
  for (int symbol = 0; symbol < SymbolCount; ++symbol)
    if (codes[symbol].Length != 0)
      PlaceCode(codes[symbol], symbol);
  Packed.resize(Primary.size());
  for (std::uint32_t index = 0; index < Packed.size(); ++index)
    Packed[index] = PackEntry(index);

  Tables = {Packed.data(), Primary.data(), Subtables.data(),
            static_cast<unsigned>(64 - PrimaryBits)};
  // A byte value with a one-bit code (erased flash) comes in long runs of one bit value.
  for (int value = 0; value < 256; ++value)
    if (codes[value].Length == 1) {
      Tables.RunMask = codes[value].Bits != 0 ? ~std::uint64_t{0} : 0;
      Tables.RunEntry = Packed[Tables.RunMask >> Tables.PrimaryShift];
      Tables.RunEight = 0x0101010101010101ull * static_cast<unsigned>(value);
    }
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
  std::fill_n(entries + first, 1u << (width - left), step);
}

// As many whole byte-value codes as fit in the index's bits, up to MaxPerEntry.
TPacked TLookupTables::PackEntry(std::uint32_t index) const {
  int used = 0;
  int count = 0;
  std::uint64_t values = 0;
  while (count < MaxPerEntry) {
    const TStep& step = Primary[(index << used) & (Primary.size() - 1)];
    // The bits past `index` read as zero here: only a code within the index is certain.
    if (step.Kind != TKind::Byte || step.Bits > PrimaryBits - used)
      break;
    values |= std::uint64_t{step.Value} << (8 * count);
    used += step.Bits;
    ++count;
  }
  if (count == 0)
    return 0;
  return static_cast<TPacked>(used) | static_cast<TPacked>(count) << 8 | values << 16;
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
