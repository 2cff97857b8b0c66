#include "unpack/lookup.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace huff {
namespace {

constexpr int MinPrimaryBits = 8;
static_assert(MinPrimaryBits >= SubBits);  // subtables numbered from the primary index's start
// When codes of one length take this share of all bit sequences (noise: 255/256 of them 8 bits),
// lanes almost never meet; one position decodes several codes at once instead. No complete code
// of 257 symbols has that share above 8 bits; shorter ones are the packed entries' and the runs'.
constexpr std::uint64_t StrideShareSixteenths = 15;
constexpr int MinStrideBits = 4;
constexpr int MaxStrideBits = 8;

}  // namespace

void TLookupTables::Build(const TCodeTable& codes, std::uint64_t payloadBytes, bool runs,
                          bool stride) {
  PrimaryBits = std::clamp(static_cast<int>(std::bit_width(payloadBytes / 16)), MinPrimaryBits,
                           MaxPrimaryBits);
  const std::size_t primarySize = std::size_t{1} << PrimaryBits;
  Steps.resize(primarySize);
  std::memset(static_cast<void*>(Steps.data()), 0, primarySize * sizeof(TStep));  // Hole
  for (int symbol = 0; symbol < SymbolCount; ++symbol)
    if (codes[symbol].Length != 0)
      PlaceCode(codes[symbol], symbol);
  // The entries for the first n bits of an index, n from 0 up (in Shorter[2^n + bits]): a code,
  // then the entry made already for the bits after it, less its last code when it is full. (A
  // code at a time, the table took as long to make as a 64 KiB image takes to decode.)
  Packed.resize(primarySize);
  Shorter.resize(primarySize);
  Shorter[1] = 0;                                   // no bits: no code
  const TPacked* const shorter = Shorter.data();    // a local: stores might alias the vector
  constexpr int LastValue = 8 * (MaxPerEntry + 1);  // where a full entry's last value is
  std::array<TPacked, 256> lastCost;                // what taking it off the entry takes
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
      // A rest of fewer bits than an entry's values is never full: then the loop has no look-up,
      // and the compiler vectorises it (LookupTables).
      const bool someFull = left >= MaxPerEntry;
      for (std::uint32_t k = 0; k < (1u << left); ++k) {
        TPacked rest = rests[k];
        rest -= someFull && (rest >> 8 & 0xFF) == MaxPerEntry ? lastCost[rest >> LastValue] : 0;
        block[k] = first + rest + ((rest >> 16 << 24) - (rest >> 16 << 16));
      }
    }
  }

  Tables = {Packed.data(), Steps.data(), static_cast<unsigned>(64 - PrimaryBits)};
  // A one-bit code's byte value (erased flash) comes in long runs of one bit value.
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
  std::size_t table = 0;  // where in Steps: the primary index, then a subtable
  int width = PrimaryBits;
  int left = static_cast<int>(code.Length);  // bits not yet covered by the tables above
  while (left > width) {
    left -= width;
    TStep& link = Steps[table + ((code.Bits >> left) & ((1u << width) - 1))];
    std::size_t next = link.Value;
    if (link.Kind != TKind::Link) {
      next = Steps.size() / SubSize;
      link = {TKind::Link, static_cast<std::uint8_t>(width), static_cast<std::uint16_t>(next)};
      Steps.resize(Steps.size() + SubSize, TStep{});  // moves `link`
    }
    table = next * SubSize;
    width = SubBits;
  }
  // The code's last `left` bits, followed by every value of the bits after it.
  TStep* const from = Steps.data() + table + ((code.Bits & ((1u << left) - 1)) << (width - left));
  const TStep step{kind, static_cast<std::uint8_t>(left), static_cast<std::uint16_t>(symbol)};
  // As a word, which the compiler stores several at once, unlike the struct.
  static_assert(sizeof(TStep) == 4);
  std::uint32_t word;
  std::memcpy(&word, &step, sizeof word);
  for (std::uint32_t k = 0; k < (1u << (width - left)); ++k)
    std::memcpy(static_cast<void*>(from + k), &word, sizeof word);
}

// Only when codes of one length take StrideShareSixteenths of all bit sequences.
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
    const TStep& step = Steps[index << (PrimaryBits - width)];
    Stride[index] = step.Kind == TKind::Byte && step.Bits == width ? step.Value : NotStride;
  }
  Tables.Stride = Stride.data();
  Tables.StrideBits = static_cast<unsigned>(width);
}

namespace {

// The bits a lane covers in a round: enough to make their meeting cheap, few to keep output small.
constexpr int Lanes = 4;
constexpr std::uint64_t LaneBits = 32768;
constexpr std::uint64_t MinLaneBits = 1024;
// A lane's share, the last step's overshoot, and the stores past the end.
constexpr std::size_t LaneRoom = LaneBits + 64 + 64;

void StoreLittleEndian64(std::uint8_t* at, std::uint64_t value) {
  if constexpr (std::endian::native == std::endian::big)
    value = __builtin_bswap64(value);
  std::memcpy(at, &value, 8);
}

// One step: a one-bit code's run, up to four primary entries, or a long code. True, at pos,
// before what the checked step takes. Requires: pos < stop; 64 bytes of room at out.
inline bool FastStep(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t stop,
                     std::uint64_t& pos, std::uint8_t*& out) {
  const auto skew = static_cast<unsigned>(pos % 8);
  const std::uint64_t loaded = LoadBigEndian64(buffer + pos / 8) << skew;
  TPacked entry = tables.Packed[loaded >> tables.PrimaryShift];
  if (entry == tables.RunEntry) {
    // As many codes of the one-bit value as there are equal bits; the load holds 64 - skew.
    const auto run = static_cast<unsigned>(std::countl_zero(loaded ^ tables.RunMask));
    const unsigned take = std::min(run, 64u - skew);
    for (unsigned k = 0; k < take; k += 8)
      StoreLittleEndian64(out + k, tables.RunBytes);
    out += take;
    pos += take;
    return false;
  }
  // The load's top 56 bits are payload, enough for four entries; a 1 bit below them marks
  // where they end, so that the bits consumed are counted once, at the end, not per entry.
  static_assert(4 * MaxPrimaryBits <= 56);
  std::uint64_t bits = (loaded & ~std::uint64_t{0xFF}) | 0x80;
  // An entry that yields nothing is 0 and consumes nothing: those after it are 0 too, and one
  // test after the four finds it (Decode/Flash).
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    if (k > 0)
      entry = tables.Packed[bits >> tables.PrimaryShift];
    StoreLittleEndian64(out, entry >> 16);
    out += (entry >> 8) & 0xFF;
    bits <<= entry & 63;
  }
  pos += static_cast<unsigned>(std::countr_zero(bits)) - 7;
  if ((entry & 0xFF00) != 0)
    return false;
  // A long code, or the end marker. A long code from below `stop` lies in the buffer.
  if (pos >= stop)
    return true;
  unsigned length = 0;
  const TStep step = CodeAt(tables, LoadBigEndian64(buffer + pos / 8) << (pos % 8), length);
  if (step.Kind != TKind::Byte)
    return true;
  *out++ = static_cast<std::uint8_t>(step.Value);
  pos += length;
  return false;
}

// Where nearly every code is Width long: the next codes looked up at once, as if of that length,
// kept up to the first that is not (false when that is the first). Requires what FastStep does.
template <unsigned Width>
inline bool StrideStep(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t& pos,
                       std::uint8_t*& out) {
  const std::uint64_t loaded = LoadBigEndian64(buffer + pos / 8) << (pos % 8);
  // The load holds at least 57 bits; a set bit past the codes in them cuts off the rest.
  constexpr unsigned Count = std::min(8u, 57u / Width);
  std::uint64_t values = 0;
  unsigned wrong = 1u << Count;
#pragma GCC unroll 8
  for (unsigned k = 0; k < Count; ++k) {
    const std::uint16_t value = tables.Stride[(loaded << (k * Width)) >> (64 - Width)];
    values |= std::uint64_t{value & 0xFFu} << (8 * k);
    wrong |= static_cast<unsigned>(value >> 8) << k;
  }
  // Mostly all are kept: a constant then, so that the next load need not wait (Decode/Noise).
  const auto kept = wrong == 1u << Count ? Count : static_cast<unsigned>(std::countr_zero(wrong));
  StoreLittleEndian64(out, values);
  out += kept;
  pos += kept * Width;
  return kept != 0;
}

// The fast decode on one lane, up to `stop` or outLimit; true at an entry that needs the checked
// step. In locals: stores through out may alias anything. StrideStep first, with a Width.
template <unsigned Width = 0>
bool DecodeFast(const TFastTables& shared, const std::uint8_t* buffer, std::uint64_t stop,
                std::uint64_t& pos, std::uint8_t*& out, const std::uint8_t* outLimit) {
  const TFastTables tables = shared;
  std::uint64_t p = pos;
  std::uint8_t* o = out;
  bool checkedNext = false;
  while (p < stop && o < outLimit) {
    if constexpr (Width != 0)
      if (StrideStep<Width>(tables, buffer, p, o))
        continue;
    if (FastStep(tables, buffer, stop, p, o)) {
      checkedNext = true;
      break;
    }
  }
  pos = p;
  out = o;
  return checkedNext;
}

// DecodeFast with the tables' StrideBits as a constant: the look-ups' shifts are fixed.
bool DecodeStride(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t stop,
                  std::uint64_t& pos, std::uint8_t*& out, const std::uint8_t* outLimit) {
  static_assert(MinStrideBits == 4 && MaxStrideBits == 8);
  static constexpr decltype(&DecodeFast<4>) ByWidth[] = {
      DecodeFast<4>, DecodeFast<5>, DecodeFast<6>, DecodeFast<7>, DecodeFast<8>};
  return ByWidth[tables.StrideBits - MinStrideBits](tables, buffer, stop, pos, out, outLimit);
}

// Lanes to their ends or the checked step, their steps overlapping in the processor; spelt out
// (the fold over Index...) so that their state stays in registers.
template <std::size_t... Index>
void DecodeLanes(const TFastTables& shared, const std::uint8_t* buffer, std::uint64_t stop,
                 std::array<std::uint64_t, sizeof...(Index)>& pos,
                 const std::array<std::uint64_t, sizeof...(Index)>& end,
                 std::array<std::uint8_t*, sizeof...(Index)>& out,
                 std::array<bool, sizeof...(Index)>& checkedNext, std::index_sequence<Index...>) {
  const TFastTables tables = shared;
  std::array<std::uint64_t, sizeof...(Index)> p = pos;
  std::array<std::uint8_t*, sizeof...(Index)> o = out;
  std::array<bool, sizeof...(Index)> c{};
  for (bool active = true; active;) {
    active = false;
    (((p[Index] < end[Index] && !c[Index])
          ? (c[Index] = FastStep(tables, buffer, stop, p[Index], o[Index]), active = true)
          : false),
     ...);
  }
  pos = p;
  out = o;
  checkedNext = c;
}

}  // namespace

bool MeetGuess(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t& t,
               std::uint64_t s, std::uint64_t guessEnd, std::uint64_t stop, std::uint8_t*& out,
               std::size_t& skipped) {
  const std::uint64_t limit = std::min(stop, s + SyncBits);
  skipped = 0;
  while (t != s) {
    const bool behind = t < s;  // the true decode's code is next; else the guess's
    std::uint64_t& at = behind ? t : s;
    if (at >= (behind ? limit : std::min(guessEnd, stop)))
      return false;
    unsigned length = 0;
    const TStep step = CodeAt(tables, LoadBigEndian64(buffer + at / 8) << (at % 8), length);
    if (step.Kind != TKind::Byte)
      return false;
    at += length;
    if (behind)
      *out++ = static_cast<std::uint8_t>(step.Value);
    else
      ++skipped;
  }
  return true;
}

const std::size_t TFastDecoder::RoundRoom = Lanes * LaneRoom + (Lanes - 1) * (SyncBits + 64);

bool TFastDecoder::Decode(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t stop,
                          std::uint64_t& local, std::uint8_t*& out, const std::uint8_t* outLimit,
                          const std::uint8_t* outEnd) {
  return WithBmi2([&] {
    if (tables.Stride != nullptr)
      return DecodeStride(tables, buffer, stop, local, out, outLimit);
    if (!UseLanes)
      return DecodeFast(tables, buffer, stop, local, out, outLimit);
    // The lanes add at most LaneRoom each, the meetings the codes they pass.
    constexpr std::size_t MeetingsRoom =
        (Lanes - 1) * (SyncBits + 64) + Lanes * (LaneRoom - LaneBits);
    const auto room = static_cast<std::size_t>(outEnd - out);
    const std::uint64_t width = local >= stop || room < MeetingsRoom
                                    ? 0
                                    : std::min<std::uint64_t>({LaneBits, (stop - local) / Lanes,
                                                               (room - MeetingsRoom) / Lanes});
    if (width >= MinLaneBits)
      return DecodeRound(tables, buffer, stop, width, local, out);
    return DecodeFast(tables, buffer, stop, local, out, outLimit);
  });
}

void TFastDecoder::MakeLaneRoom() {
  if (!LaneOut)
    LaneOut = std::make_unique_for_overwrite<std::uint8_t[]>((Lanes - 1) * LaneRoom);
}

// The lanes over [local, local + Lanes * width): lane 0 from local, the others as if a code
// began at their share's start, kept from where they fall into step, as prefix codes soon do.
bool TFastDecoder::DecodeRound(const TFastTables& tables, const std::uint8_t* buffer,
                               std::uint64_t stop, std::uint64_t width, std::uint64_t& local,
                               std::uint8_t*& out) {
  MakeLaneRoom();
  std::array<std::uint64_t, Lanes> pos, end;
  std::array<std::uint8_t*, Lanes> outs;
  std::array<bool, Lanes> checkedNext{};
  for (int i = 0; i < Lanes; ++i) {
    pos[i] = local + static_cast<unsigned>(i) * width;
    end[i] = pos[i] + width;
    outs[i] = i == 0 ? out : LaneOut.get() + (i - 1) * LaneRoom;
  }
  DecodeLanes(tables, buffer, stop, pos, end, outs, checkedNext, std::make_index_sequence<Lanes>());
  out = outs[0];

  int lane = 0;
  for (; lane + 1 < Lanes && !checkedNext[lane]; ++lane) {
    // The true decode t has passed the next lane's start s, whose codes end at pos[lane + 1].
    std::uint64_t t = pos[lane];
    std::size_t skipped = 0;
    const std::uint64_t s = end[lane];
    // Lane 0's codes are kept even when the next lane's are not: the round cost little more
    // than lane 0 alone (micro_bench Decode/NoiseNoStride). An end marker there (never in a whole
    // container: it lies past stop) is the next call's to find.
    if (!MeetGuess(tables, buffer, t, s, pos[lane + 1], stop, out, skipped)) {
      local = t;
      return false;
    }
    const std::uint8_t* from = LaneOut.get() + lane * LaneRoom + skipped;
    const auto count = static_cast<std::size_t>(outs[lane + 1] - from);
    std::memcpy(out, from, count);
    out += count;
  }
  local = pos[lane];
  return checkedNext[lane];
}

}  // namespace huff
