#include "unpack/kernels.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace huff {
namespace {

// Lanes of the fast decode, and the bits each covers in one round: enough to make the lanes'
// meeting (a few codes, as a rule) cheap, few enough to keep their output small.
constexpr int Lanes = 4;
constexpr std::uint64_t LaneBits = 32768;
constexpr std::uint64_t MinLaneBits = 1024;
// How far past a lane's start the true decode looks for a meeting point before it gives up
// on that lane and decodes its share itself.
constexpr std::uint64_t SyncBits = 4096;
// After lanes failed to meet, the true position goes on alone for this many bits, doubled on
// each failure up to the maximum.
constexpr std::uint64_t MinIdleBits = std::uint64_t{1} << 16;
constexpr std::uint64_t MaxIdleBits = std::uint64_t{1} << 24;
// What one lane adds in a round: its share and the last step's overshoot, and the stores past
// the end.
constexpr std::size_t LaneRoom = LaneBits + 64 + 64;

void StoreLittleEndian64(std::uint8_t* at, std::uint64_t value) {
  if constexpr (std::endian::native == std::endian::big)
    value = __builtin_bswap64(value);
  std::memcpy(at, &value, 8);
}

// CodeAt for the fast decode, out of its way: Bits is the whole code's length.
[[gnu::noinline, gnu::cold]] TStep LongCodeAt(const TFastTables& tables, std::uint64_t word) {
  unsigned length = 0;
  TStep step = CodeAt(tables, word, length);
  step.Bits = static_cast<std::uint8_t>(length);
  return step;
}

// One step of the fast decode at pos: a run of a one-bit code, or up to four primary entries,
// or one code longer than the primary index. Returns true, at pos, before the end marker,
// and before a long code that may reach past `stop`; the careful path takes those.
// Requires: pos < stop, so that the eight bytes from pos's byte on are payload; 64 bytes of
// room at out.
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
  bool careful = false;
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    if ((entry & 0xFF00) == 0) {
      careful = true;
      break;
    }
    StoreLittleEndian64(out, entry >> 16);
    out += (entry >> 8) & 0xFF;
    bits <<= entry & 63;
    entry = tables.Packed[bits >> tables.PrimaryShift];
  }
  pos += static_cast<unsigned>(std::countr_zero(bits)) - 7;
  if (!careful)
    return false;
  // A long code, or the end marker. A long code from below `stop` lies in the buffer.
  if (pos >= stop)
    return true;
  const TStep step = LongCodeAt(tables, LoadBigEndian64(buffer + pos / 8) << (pos % 8));
  if (step.Kind != TKind::Byte)
    return true;
  *out++ = static_cast<std::uint8_t>(step.Value);
  pos += step.Bits;
  return false;
}

// One step where nearly every code is Width bits long: the next codes are looked up at once,
// as if each had that length, and kept up to the first that has not. The look-ups do not
// wait for each other, unlike a code's for its predecessor's length. Returns false when not
// even the first code has that length. Requires what FastStep does.
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
  const auto kept = static_cast<unsigned>(std::countr_zero(wrong));
  StoreLittleEndian64(out, values);
  out += kept;
  pos += kept * Width;
  return kept != 0;
}

// The fast decode on one lane, from pos up to `stop` or until out reaches outLimit. Returns
// true at an entry that needs the careful path. The state is in locals: stores through out
// may alias anything, and the compiler would reload members after each one. With a Width,
// StrideStep goes first and FastStep takes each code of another length.
template <unsigned Width = 0>
bool DecodeFast(const TFastTables& shared, const std::uint8_t* buffer, std::uint64_t stop,
                std::uint64_t& pos, std::uint8_t*& out, const std::uint8_t* outLimit) {
  const TFastTables tables = shared;
  std::uint64_t p = pos;
  std::uint8_t* o = out;
  bool careful = false;
  while (p < stop && o < outLimit) {
    if constexpr (Width != 0)
      if (StrideStep<Width>(tables, buffer, p, o))
        continue;
    if (FastStep(tables, buffer, stop, p, o)) {
      careful = true;
      break;
    }
  }
  pos = p;
  out = o;
  return careful;
}

// DecodeFast with the tables' StrideBits as a constant: the look-ups' shifts are fixed.
bool DecodeStride(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t stop,
                  std::uint64_t& pos, std::uint8_t*& out, const std::uint8_t* outLimit) {
  switch (tables.StrideBits) {
    case 4:
      return DecodeFast<4>(tables, buffer, stop, pos, out, outLimit);
    case 5:
      return DecodeFast<5>(tables, buffer, stop, pos, out, outLimit);
    case 6:
      return DecodeFast<6>(tables, buffer, stop, pos, out, outLimit);
    case 7:
      return DecodeFast<7>(tables, buffer, stop, pos, out, outLimit);
    default:
      return DecodeFast<8>(tables, buffer, stop, pos, out, outLimit);
  }
}

// Several lanes at once, each from its own start to its own end: the steps of different
// lanes do not wait for each other, so the processor overlaps them. A lane stops at its end
// or at an entry that needs the careful path. The lanes are spelt out (the fold over
// Index...) so that their state stays in registers.
template <std::size_t... Index>
void DecodeLanes(const TFastTables& shared, const std::uint8_t* buffer, std::uint64_t stop,
                 std::array<std::uint64_t, sizeof...(Index)>& pos,
                 const std::array<std::uint64_t, sizeof...(Index)>& end,
                 std::array<std::uint8_t*, sizeof...(Index)>& out,
                 std::array<bool, sizeof...(Index)>& careful, std::index_sequence<Index...>) {
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
  careful = c;
}

}  // namespace

TMeeting MeetGuess(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t& t,
                   std::uint64_t s, std::uint64_t guessEnd, std::uint64_t limit, std::uint64_t stop,
                   std::uint8_t*& out, std::size_t& skipped) {
  skipped = 0;
  while (t != s) {
    unsigned length = 0;
    if (t < s) {
      if (t >= limit)
        return TMeeting::Missed;
      const TStep step = CodeAt(tables, LoadBigEndian64(buffer + t / 8) << (t % 8), length);
      if (step.Kind != TKind::Byte)
        return TMeeting::AtEnd;
      *out++ = static_cast<std::uint8_t>(step.Value);
      t += length;
    } else {
      if (s >= guessEnd || s >= stop)
        return TMeeting::Missed;
      const TStep step = CodeAt(tables, LoadBigEndian64(buffer + s / 8) << (s % 8), length);
      if (step.Kind != TKind::Byte)
        return TMeeting::Missed;
      s += length;
      ++skipped;
    }
  }
  return TMeeting::Met;
}

void TFastDecoder::Reset() {
  LanesIdleUntil = 0;
  IdleBits = MinIdleBits;
}

const std::size_t TFastDecoder::RoundRoom = Lanes * LaneRoom + (Lanes - 1) * (SyncBits + 64);

bool TFastDecoder::Decode(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t base,
                          std::uint64_t stop, std::uint64_t& local, std::uint8_t*& out,
                          const std::uint8_t* outLimit, const std::uint8_t* outEnd) {
  if (tables.Stride != nullptr)
    return DecodeStride(tables, buffer, stop, local, out, outLimit);
  if (!UseLanes)
    return DecodeFast(tables, buffer, stop, local, out, outLimit);
  if (base + local < LanesIdleUntil)
    return DecodeFast(tables, buffer, std::min(stop, LanesIdleUntil - base), local, out, outLimit);
  // Each lane adds at most its width and a step's overshoot (LaneRoom); the meetings add the
  // codes they pass.
  constexpr std::size_t MeetingsRoom =
      (Lanes - 1) * (SyncBits + 64) + Lanes * (LaneRoom - LaneBits);
  const auto room = static_cast<std::size_t>(outEnd - out);
  const std::uint64_t width =
      local >= stop || room < MeetingsRoom
          ? 0
          : std::min({LaneBits, (stop - local) / Lanes, (room - MeetingsRoom) / Lanes});
  if (width >= MinLaneBits)
    return DecodeRound(tables, buffer, base, stop, width, local, out);
  return DecodeFast(tables, buffer, stop, local, out, outLimit);
}

// One round of the lanes over [local, local + Lanes * width). Lane 0 starts at local; the
// others guess that a code begins where their share does, most likely inside one, and decode
// nonsense until they fall into step with lane 0's codes, which prefix codes soon do. A lane's
// output is kept from where lane 0's decode meets its guess. Returns true when local stops at
// an entry that needs the careful path.
bool TFastDecoder::DecodeRound(const TFastTables& tables, const std::uint8_t* buffer,
                               std::uint64_t base, std::uint64_t stop, std::uint64_t width,
                               std::uint64_t& local, std::uint8_t*& out) {
  if (!LaneOut) {
    LaneOut = std::make_unique_for_overwrite<std::uint8_t[]>((Lanes - 1) * LaneRoom);
    Reset();
  }
  std::array<std::uint64_t, Lanes> pos, end;
  std::array<std::uint8_t*, Lanes> outs;
  std::array<bool, Lanes> careful{};
  for (int i = 0; i < Lanes; ++i) {
    pos[i] = local + static_cast<unsigned>(i) * width;
    end[i] = pos[i] + width;
    outs[i] = i == 0 ? out : LaneOut.get() + (i - 1) * LaneRoom;
  }
  DecodeLanes(tables, buffer, stop, pos, end, outs, careful, std::make_index_sequence<Lanes>());
  out = outs[0];

  int lane = 0;
  for (; lane + 1 < Lanes && !careful[lane]; ++lane) {
    // Lane 0's decode t has passed the next lane's start s; the lanes' codes end exactly at
    // pos[lane + 1].
    std::uint64_t t = pos[lane];
    std::size_t skipped = 0;
    const std::uint64_t s = end[lane];
    const TMeeting meeting = MeetGuess(tables, buffer, t, s, pos[lane + 1],
                                       std::min(stop, s + SyncBits), stop, out, skipped);
    if (meeting == TMeeting::AtEnd) {
      local = t;  // the end marker: the careful path takes it from here
      return true;
    }
    if (meeting == TMeeting::Missed) {
      // Codes of nearly equal lengths (noise) fall into step slowly, if at all. Lane 0 goes on
      // alone for a while, longer after each failure.
      local = t;
      LanesIdleUntil = base + t + IdleBits;
      IdleBits = std::min(IdleBits * 2, MaxIdleBits);
      return false;
    }
    const std::uint8_t* from = LaneOut.get() + lane * LaneRoom + skipped;
    const auto count = static_cast<std::size_t>(outs[lane + 1] - from);
    std::memcpy(out, from, count);
    out += count;
  }
  if (lane + 1 == Lanes)
    IdleBits = MinIdleBits;
  local = pos[lane];
  return careful[lane];
}

}  // namespace huff
