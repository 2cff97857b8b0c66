#include "unpack/decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "container/bit_writer.h"
#include "huffman/huffman.h"

namespace huff {
namespace {

// Codes of up to PrimaryBits bits are found with one look-up of the next PrimaryBits bits;
// longer ones go on through subtables of SubBits bits each. 8192 eight-byte entries: more
// bits per look-up mean more byte values per entry, and the table still fits the fast caches.
constexpr int PrimaryBits = 13;
constexpr int SubBits = 6;
constexpr std::uint32_t PrimarySize = 1u << PrimaryBits;
constexpr std::uint32_t SubSize = 1u << SubBits;
// Each subtable stands for an inner node of the code tree, and a complete code of at most
// 257 symbols has at most 256 of them.
constexpr int MaxSubtables = 256;
// A primary entry yields up to this many byte values at once.
constexpr int MaxPerEntry = 6;
// Lanes of the fast path, and the bits each covers in one round: enough to make the lanes'
// meeting (a few codes, as a rule) cheap, few enough to keep their output small.
constexpr int Lanes = 4;
constexpr std::uint64_t LaneBits = 32768;
constexpr std::uint64_t MinLaneBits = 1024;
// How far past a lane's start the true decoding looks for a meeting point before it gives up
// on that lane and decodes its share itself.
constexpr std::uint64_t SyncBits = 4096;
// After lanes failed to meet, the true position goes on alone for this many bits, doubled on
// each failure up to the maximum.
constexpr std::uint64_t MinSoloBits = std::uint64_t{1} << 16;
constexpr std::uint64_t MaxSoloBits = std::uint64_t{1} << 24;
// When codes of one length take at least this share of all bit sequences (noise: 255/256 of
// them 8 bits), lanes almost never meet, and one position decodes several codes at once
// instead. Shorter codes are left to the packed entries, which hold several of them, and
// to the runs; a complete code of at most 257 symbols has no such share above 8 bits.
constexpr std::uint64_t StrideShareSixteenths = 15;
constexpr int MinStrideBits = 4;
constexpr int MaxStrideBits = 8;
// The most one round adds to the output: each lane's share plus the last step's overshoot,
// the codes found while looking for meeting points, and the stores past the end.
constexpr std::size_t LaneRoom = LaneBits + 64 + 64;
constexpr std::size_t RoundRoom = Lanes * LaneRoom + (Lanes - 1) * (SyncBits + 64);
// With a worker, the payload is read in windows, several at once: the true position's and those
// read ahead of it for the worker to decode. A window has room before it for the few bytes of the
// one before that the true position still needs.
constexpr std::size_t WindowSlots = 8;
constexpr std::size_t MinWindowBytes = 64;
constexpr std::size_t Head = 8;
// The worker stops decoding a window at this much output per payload byte (erased flash gives
// eight); the true position decodes the rest itself.
constexpr std::size_t WorkerOutPerByte = 2;
// How far past a window's start the true decoding looks for a meeting point with the worker's
// codes: there is a window's work to gain, and codes of nearly equal lengths (noise) fall into step
// only after thousands of bits.
constexpr std::uint64_t MeetBits = std::uint64_t{1} << 16;

// One step of a look-up: a whole code (of a byte value or the end marker), or a link to a
// subtable for codes that go on. Bits: for a code, how many of its bits this table covers;
// for a link, the table's own width.
enum class TKind : std::uint8_t { Hole, Byte, End, Link };
struct TStep {
  TKind Kind = TKind::Hole;
  std::uint8_t Bits = 0;
  std::uint16_t Value = 0;  // the byte value, or the subtable's number
};

// A primary entry of the fast path, packed into one word: bits 0-7 the bits it consumes,
// bits 8-15 how many byte values it yields (0: take the careful path), then the byte values,
// first in bits 16-23.
using TPacked = std::uint64_t;

struct TCode {
  std::uint32_t Bits = 0;  // right-aligned, the first bit the most significant
  int Length = 0;          // 0: the symbol has no code
  std::uint64_t EntryBit = 0;
};

std::uint64_t LoadBigEndian64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, 8);
  if constexpr (std::endian::native == std::endian::little)
    value = __builtin_bswap64(value);
  return value;
}

void StoreLittleEndian64(std::uint8_t* at, std::uint64_t value) {
  if constexpr (std::endian::native == std::endian::big)
    value = __builtin_bswap64(value);
  std::memcpy(at, &value, 8);
}

std::string SymbolName(int symbol) {
  return symbol == EndMarker ? std::string("the end marker") : "byte value " + HexByte(symbol);
}

std::string BitString(std::uint32_t bits, int length) {
  std::string text;
  for (int k = length - 1; k >= 0; --k)
    text += static_cast<char>('0' + ((bits >> k) & 1));
  return text;
}

// What the fast path reads: the packed primary entries, and the careful tables for the
// codes it meets one at a time.
struct TFastTables {
  const TPacked* Packed = nullptr;
  const TStep* Primary = nullptr;
  const TStep* Subtables = nullptr;
  // For a byte value with a one-bit code (erased flash): the entry of the index whose bits
  // are all that code (never matched when there is no such value; an index that begins with
  // six of them has the same entry, and is a run as well); the code's bit in every position;
  // and the value eight times.
  TPacked RunEntry = ~TPacked{0};
  std::uint64_t RunMask = 0;
  std::uint64_t RunEight = 0;
  // When nearly every code is StrideBits long (0: not so): for each StrideBits-bit index, the
  // byte value whose code it is, or NotStride when it is no byte value's whole code.
  const std::uint16_t* Stride = nullptr;
  unsigned StrideBits = 0;
};
constexpr std::uint16_t NotStride = 0x100;

// The code that begins the 64 bits of `word`, through the subtables when it is long; its
// length goes to `length`. Every entry of a complete code's tables is filled.
inline TStep CodeAt(const TFastTables& tables, std::uint64_t word, unsigned& length) {
  TStep step = tables.Primary[word >> (64 - PrimaryBits)];
  unsigned used = 0;
  while (step.Kind == TKind::Link) {
    used += step.Bits;
    step = tables.Subtables[step.Value * SubSize + ((word << used) >> (64 - SubBits))];
  }
  length = used + step.Bits;
  return step;
}

// CodeAt for the fast path, out of its way: Bits is the whole code's length.
[[gnu::noinline, gnu::cold]] TStep LongCodeAt(const TFastTables& tables, std::uint64_t word) {
  unsigned length = 0;
  TStep step = CodeAt(tables, word, length);
  step.Bits = static_cast<std::uint8_t>(length);
  return step;
}

// One step of the fast path at pos: a run of a one-bit code, or up to four primary entries,
// or one code longer than the primary index. Returns true, at pos, before the end marker,
// and before a long code that may reach past `stop`; the careful path takes those.
// Requires: pos < stop, so that the eight bytes from pos's byte on are payload; 64 bytes of
// room at out.
inline bool FastStep(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t stop,
                     std::uint64_t& pos, std::uint8_t*& out) {
  const auto skew = static_cast<unsigned>(pos % 8);
  const std::uint64_t loaded = LoadBigEndian64(buffer + pos / 8) << skew;
  TPacked entry = tables.Packed[loaded >> (64 - PrimaryBits)];
  if (entry == tables.RunEntry) {
    // As many codes of the one-bit value as there are equal bits; the load holds 64 - skew.
    const auto run = static_cast<unsigned>(std::countl_zero(loaded ^ tables.RunMask));
    const unsigned take = std::min(run, 64u - skew);
    for (unsigned k = 0; k < take; k += 8)
      StoreLittleEndian64(out + k, tables.RunEight);
    out += take;
    pos += take;
    return false;
  }
  // The load's top 56 bits are payload, enough for four entries; a 1 bit below them marks
  // where they end, so that the bits consumed are counted once, at the end, not per entry.
  static_assert(4 * PrimaryBits <= 56);
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
    entry = tables.Packed[bits >> (64 - PrimaryBits)];
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

// The fast path on one lane, from pos up to `stop` or until out reaches outLimit. Returns
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
  static_assert(MinStrideBits == 4 && MaxStrideBits == 8);
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
  const TFastTables tables = shared;  // a local copy: no store through out can change it
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

enum class TMeeting { Met, Missed, Careful };

// Follows the true decoding from t, code by code, writing its byte values to out, and the codes of
// a lane that decoded from s on, until both stand on the same code boundary: from there on they
// decode alike, and `skipped` counts the lane's codes before it. The true side goes no further than
// `limit` (at most `stop`, below which eight-byte loads stay in the buffer) and stops before a code
// that is no byte value's, which the careful path takes; the lane's side stops at laneEnd, where
// its codes end.
TMeeting MeetLane(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t& t,
                  std::uint64_t s, std::uint64_t laneEnd, std::uint64_t limit, std::uint64_t stop,
                  std::uint8_t*& out, std::size_t& skipped) {
  skipped = 0;
  while (t != s) {
    unsigned length = 0;
    if (t < s) {
      if (t >= limit)
        return TMeeting::Missed;
      const TStep step = CodeAt(tables, LoadBigEndian64(buffer + t / 8) << (t % 8), length);
      if (step.Kind != TKind::Byte)
        return TMeeting::Careful;
      *out++ = static_cast<std::uint8_t>(step.Value);
      t += length;
    } else {
      if (s >= laneEnd || s >= stop)
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

// The fast paths from one position on: the true position's, or the worker's in a window it decodes
// from an arbitrary bit. Keeps the lanes' output, and how long the lanes stand aside after failing
// to meet.
class TFastDecoder {
 public:
  // Decodes from local, in bits from buffer's start (payload bit `base`), towards stop, while out
  // is below outLimit; the output runs past it by at most 64 bytes, or by what a round of the lanes
  // adds, which is kept below outEnd. Returns true at a code that needs the careful path. Requires
  // what DecodeFast does.
  bool Decode(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t base,
              std::uint64_t stop, std::uint64_t& local, std::uint8_t*& out,
              const std::uint8_t* outLimit, const std::uint8_t* outEnd) {
    if (tables.Stride != nullptr)
      return DecodeStride(tables, buffer, stop, local, out, outLimit);
    if (base + local < SoloUntil)
      return DecodeFast(tables, buffer, std::min(stop, SoloUntil - base), local, out, outLimit);
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

 private:
  // One round of the lanes over [local, local + Lanes * width). Lane 0 starts at local; the others
  // start wherever their share begins, most likely inside a code, and decode nonsense until they
  // fall into step with lane 0's codes, which prefix codes soon do. A lane's output is taken only
  // from a point where lane 0's decoding, followed code by code, meets one of its code boundaries:
  // from there on both decode alike. Returns true when local stops at an entry that needs the
  // careful path.
  bool DecodeRound(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t base,
                   std::uint64_t stop, std::uint64_t width, std::uint64_t& local,
                   std::uint8_t*& out) {
    std::array<std::uint64_t, Lanes> pos, end;
    std::array<std::uint8_t*, Lanes> outs;
    std::array<bool, Lanes> careful{};
    for (int i = 0; i < Lanes; ++i) {
      pos[i] = local + static_cast<unsigned>(i) * width;
      end[i] = pos[i] + width;
      outs[i] = i == 0 ? out : LaneOut[i - 1].data();
    }
    DecodeLanes(tables, buffer, stop, pos, end, outs, careful, std::make_index_sequence<Lanes>());
    out = outs[0];

    int lane = 0;
    for (; lane + 1 < Lanes && !careful[lane]; ++lane) {
      // Lane 0's decoding t has passed the next lane's start s; the lanes' codes end exactly at
      // pos[lane + 1].
      std::uint64_t t = pos[lane];
      std::size_t skipped = 0;
      const std::uint64_t s = end[lane];
      const TMeeting meeting = MeetLane(tables, buffer, t, s, pos[lane + 1],
                                        std::min(stop, s + SyncBits), stop, out, skipped);
      if (meeting == TMeeting::Careful) {
        local = t;  // the end marker: the careful path takes it from here
        return true;
      }
      if (meeting == TMeeting::Missed) {
        // Codes of nearly equal lengths (noise) fall into step slowly, if at all. Lane 0 goes on
        // alone for a while, longer after each failure.
        local = t;
        SoloUntil = base + t + SoloBits;
        SoloBits = std::min(SoloBits * 2, MaxSoloBits);
        return false;
      }
      const std::uint8_t* from = LaneOut[lane].data() + skipped;
      const auto count = static_cast<std::size_t>(outs[lane + 1] - from);
      std::memcpy(out, from, count);
      out += count;
    }
    if (lane + 1 == Lanes)
      SoloBits = MinSoloBits;
    local = pos[lane];
    return careful[lane];
  }

  // Up to this payload bit, the lanes stand aside; SoloBits is how long they do after a failure.
  std::uint64_t SoloUntil = 0;
  std::uint64_t SoloBits = MinSoloBits;
  std::array<std::array<std::uint8_t, LaneRoom>, Lanes - 1> LaneOut{};
};

// Writes the image in blocks of ChunkSize whatever the pieces it is given, so that the writes
// are the same whichever thread decoded which window. Whole blocks go to the stream straight
// from the piece; only a piece's ragged ends are gathered.
class TImageWriter {
 public:
  explicit TImageWriter(TStream* image) : Image(image) {}

  void Write(std::span<const std::uint8_t> piece) {
    if (Image == nullptr)
      return;
    if (Pending > 0) {
      const std::size_t take = std::min(piece.size(), Block.size() - Pending);
      std::memcpy(Block.data() + Pending, piece.data(), take);
      Pending += take;
      piece = piece.subspan(take);
      if (Pending < Block.size())
        return;
      Image->Write(Block);
      Pending = 0;
    }
    for (; piece.size() >= Block.size(); piece = piece.subspan(Block.size()))
      Image->Write(piece.first(Block.size()));
    std::memcpy(Block.data(), piece.data(), piece.size());
    Pending = piece.size();
  }

  // Writes the last, partial block.
  void Finish() {
    if (Image != nullptr && Pending > 0)
      Image->Write(std::span(Block.data(), Pending));
    Pending = 0;
  }

 private:
  TStream* Image;
  std::array<std::uint8_t, ChunkSize> Block{};
  std::size_t Pending = 0;
};

class TDecoder {
 public:
  TDecoder(TStream& container, TStream* image, const TDecodeOptions& options)
      : Container(container), Writer(image), Options(options) {}
  ~TDecoder() { StopWorker(); }
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  TContainerSummary Run() {
    ReadHeader();
    SetUpWindows();
    try {
      DecodePayload();
      ExpectEndOfFile();
    } catch (const EBadContainer&) {
      StopWorker();
      // A damaged payload breaks its structure anywhere; the checksum names the cause.
      if (!SizeChanged) {
        DrainPayload();
        CheckChecksum();
      }
      throw;
    }
    CheckChecksum();
    FlushImage();
    Writer.Finish();
    return Summary;
  }

 private:
  // --- Messages -------------------------------------------------------------------------

  [[noreturn]] void Fail(const std::string& what) const {
    throw EBadContainer("Container " + Container.Name() + " is damaged: " + what);
  }

  // "byte 73, bit 0x20": the file offset, and the bit within that byte by its value.
  static std::string Where(std::uint64_t payloadBit) {
    return "byte " + std::to_string(HeaderSize + payloadBit / 8) + ", bit " +
           HexByte(0x80 >> (payloadBit % 8));
  }

  std::string EntryName(int symbol) const {
    return "the code entry of " + SymbolName(symbol) + " at " + Where(Codes[symbol].EntryBit);
  }

  // --- Header ---------------------------------------------------------------------------

  void ReadHeader() {
    std::array<std::uint8_t, HeaderSize> bytes{};
    const std::size_t got = ReadFully(Container, bytes);
    if (got < HeaderSize)
      throw EBadContainer("File " + Container.Name() + " is not a container: it holds " +
                          std::to_string(got) + " bytes, fewer than the " +
                          std::to_string(HeaderSize) + " of a header");
    TContainerHeader& header = Summary.Header;
    std::copy_n(bytes.begin(), NameFieldSize, header.NameID.begin());
    std::copy_n(bytes.begin() + NameFieldSize, NameFieldSize, header.Manufacturer.begin());
    CheckName(header.NameID, "NameID", 0);
    CheckName(header.Manufacturer, "Manufacturer", NameFieldSize);
    header.PayloadSize = LoadU32(bytes.data() + 32);
    header.Checksum = LoadU32(bytes.data() + 36);
    PayloadBytes = header.PayloadSize;
    PayloadBits = PayloadBytes * 8;

    const std::uint64_t length = Container.Size();
    if (length != HeaderSize + PayloadBytes)
      Fail("PayloadSize (byte 32) is " + std::to_string(PayloadBytes) + ", but " +
           std::to_string(length - std::min<std::uint64_t>(length, HeaderSize)) +
           " bytes follow the header");
  }

  static std::uint32_t LoadU32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
  }

  // Up to 15 bytes of name, then zero bytes to the end of the field.
  void CheckName(const std::array<std::uint8_t, NameFieldSize>& field, const char* name,
                 int offset) const {
    const auto end = std::find(field.begin(), field.end(), 0);
    const auto stray = std::find_if(end, field.end(), [](std::uint8_t b) { return b != 0; });
    if (end == field.end() || stray != field.end()) {
      const auto at = end == field.end() ? field.end() - 1 : stray;
      Fail(std::string("the ") + name + " field is not a name of at most 15 bytes followed by " +
           "zero bytes: byte " + std::to_string(offset + (at - field.begin())) + " is " +
           HexByte(*at));
    }
  }

  // --- Reading the payload in windows --------------------------------------------------

  static std::size_t ReadFully(TStream& stream, std::span<std::uint8_t> into) {
    std::size_t total = 0;
    while (total < into.size()) {
      const std::size_t count = stream.Read(into.subspan(total));
      if (count == 0)
        break;
      total += count;
    }
    return total;
  }

  // A window of the payload in a slot of its own: Head bytes of room, the bytes read, eight zero
  // bytes. With a worker, also what it made of the window.
  struct TWindow {
    // Read: waiting for whoever comes first; Claimed and Decoded: the worker's; True: the true
    // position's. Changes under Lock while there is a worker.
    enum class TState { Free, Read, Claimed, Decoded, True };
    std::unique_ptr<std::uint8_t[]> Bytes;
    std::uint64_t Start = 0;  // the payload offset of the first byte read
    std::size_t Size = 0;
    TState State = TState::Free;
    // The worker's decoding from the window's first bit: LaneCount byte values from codes that end
    // at bit LaneEnd of the window.
    std::unique_ptr<std::uint8_t[]> Out;
    std::uint64_t LaneEnd = 0;
    std::size_t LaneCount = 0;
  };

  // One window of ChunkSize on one thread, as blocks were always read; with a worker, several
  // larger ones. Never more than the payload needs.
  void SetUpWindows() {
    const int threads = Options.Threads > 0 ? Options.Threads
                                            : static_cast<int>(std::thread::hardware_concurrency());
    const bool parallel = threads > 1;
    Capacity = static_cast<std::size_t>(std::min<std::uint64_t>(
        parallel ? std::max(Options.WindowBytes, MinWindowBytes) : std::size_t{ChunkSize},
        PayloadBytes));
    const std::uint64_t needed = Capacity == 0 ? 1 : (PayloadBytes + Capacity - 1) / Capacity;
    Windows.resize(parallel ? static_cast<std::size_t>(std::min<std::uint64_t>(WindowSlots, needed))
                            : 1);
    for (TWindow& window : Windows)
      window.Bytes = std::make_unique<std::uint8_t[]>(Head + Capacity + 8);
  }

  TWindow& Slot(std::uint64_t window) { return Windows[window % Windows.size()]; }

  std::uint64_t Unread() const { return PayloadBytes - BytesRead; }
  // Whether payload bytes follow those in the buffer.
  bool MoreAhead() const { return BufferStart + Valid < PayloadBytes; }

  // Reads windows into the free slots, in blocks of at most ChunkSize. A read that fails is kept,
  // and raised only where the true position comes to it, as reading there would have.
  void ReadAhead() {
    while (!ReadStopped && Unread() > 0 && WindowsRead < Current + Windows.size()) {
      TWindow& window = Slot(WindowsRead);
      std::uint8_t* const data = window.Bytes.get() + Head;
      window.Start = BytesRead;
      window.Size = 0;
      try {
        while (window.Size < Capacity && Unread() > 0) {
          const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(
              std::min<std::size_t>(ChunkSize, Capacity - window.Size), Unread()));
          const std::size_t got = ReadFully(Container, std::span(data + window.Size, want));
          Sum += SumBytes(std::span(data + window.Size, got));
          BytesRead += got;
          if (got < want) {
            ReadStopped = true;  // the file ended early
            break;
          }
          window.Size += got;
        }
      } catch (...) {
        ReadFailure = std::current_exception();
        ReadStopped = true;
      }
      std::memset(data + window.Size, 0, 8);
      if (window.Size == 0)
        return;
      {
        std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
        if (Worker.joinable())
          lock.lock();
        window.State = TWindow::TState::Read;
        ++WindowsRead;
      }
      Changed.notify_all();
    }
  }

  // Moves the buffer on to the next window, keeping the bytes from the one holding BitPos on (fewer
  // than eight) in front of it, so that any eight-byte load from the current byte stays inside the
  // buffer.
  void Advance() {
    const std::uint64_t keepFrom = BitPos / 8 - BufferStart;
    const std::size_t keep = Valid - static_cast<std::size_t>(keepFrom);
    std::array<std::uint8_t, Head> kept{};
    std::memcpy(kept.data(), Buffer + keepFrom, keep);
    if (InWindow)
      LeaveWindow();
    InWindow = true;
    ReadAhead();
    if (Current == WindowsRead)
      RaiseReadFailure();
    TWindow& window = Slot(Current);
    std::uint8_t* const at = window.Bytes.get() + Head - keep;
    std::memcpy(at, kept.data(), keep);
    Buffer = at;
    BufferStart = window.Start - keep;
    Valid = keep + window.Size;
    std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
    if (Worker.joinable())
      lock.lock();
    if (window.State == TWindow::TState::Read)
      window.State = TWindow::TState::True;
    else
      PendingMeet = true;  // the worker's: DecodeData meets it
  }

  // Frees the true position's window for the next read, once the worker no longer reads it.
  void LeaveWindow() {
    TWindow& window = Slot(Current);
    std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
    if (Worker.joinable()) {
      lock.lock();
      Changed.wait(lock, [&] { return window.State != TWindow::TState::Claimed || Broken; });
    }
    window.State = TWindow::TState::Free;
    ++Current;
  }

  // The true position has come to where a read failed ahead of it.
  [[noreturn]] void RaiseReadFailure() {
    if (ReadFailure)
      std::rethrow_exception(ReadFailure);
    if (!ReadStopped)
      throw std::logic_error("decoder: a window is missing, but no read failed");
    SizeChanged = true;
    Fail("the file ended after " + std::to_string(BytesRead) + " payload bytes, but " +
         "PayloadSize (byte 32) is " + std::to_string(PayloadBytes) +
         ": it shrank while it was read");
  }

  // The 64 bits from BitPos on, zero past the end of the payload.
  std::uint64_t Peek() {
    if (BitPos / 8 - BufferStart + 8 > Valid && MoreAhead())
      Advance();
    return LoadBigEndian64(Buffer + (BitPos / 8 - BufferStart)) << (BitPos % 8);
  }

  // The next `count` bits (1 to 32) of the code table; `what` says what they were to hold.
  std::uint32_t ReadBits(int count, const std::string& what) {
    if (BitPos + static_cast<unsigned>(count) > PayloadBits)
      Fail("the payload ends at byte " + std::to_string(HeaderSize + PayloadBytes) + ", inside " +
           what);
    const std::uint64_t word = Peek();
    BitPos += static_cast<unsigned>(count);
    return static_cast<std::uint32_t>(word >> (64 - count));
  }

  // After a fault: the rest of the payload still counts towards the checksum. A read that failed
  // ahead of the true position fails here, where it would have been made. Requires the worker
  // stopped: any window's bytes will do as scratch.
  void DrainPayload() {
    if (ReadFailure)
      std::rethrow_exception(ReadFailure);
    std::uint8_t* const scratch = Windows[0].Bytes.get() + Head;
    while (!ReadStopped && Unread() > 0) {
      const auto want = static_cast<std::size_t>(
          std::min<std::uint64_t>(std::min<std::size_t>(ChunkSize, Capacity), Unread()));
      const std::size_t got = ReadFully(Container, std::span(scratch, want));
      if (got == 0)
        return;
      Sum += SumBytes(std::span(scratch, got));
      BytesRead += got;
    }
  }

  // --- The worker -----------------------------------------------------------------------

  // With windows to spare, a thread that decodes them ahead of the true position; without one (the
  // system has none to give), the true position decodes them all.
  void StartWorker() {
    if (Windows.size() < 2)
      return;
    for (TWindow& window : Windows)
      window.Out = std::make_unique_for_overwrite<std::uint8_t[]>(WorkerOutPerByte * Capacity + 64);
    WorkerFast = std::make_unique<TFastDecoder>();
    try {
      Worker = std::thread(&TDecoder::WorkLoop, this);
    } catch (const std::system_error&) {
    }
  }

  // Lets the worker finish the window it decodes, and ends it.
  void StopWorker() noexcept {
    if (!Worker.joinable())
      return;
    {
      const std::lock_guard<std::mutex> lock(Lock);
      Stopping = true;
    }
    Changed.notify_all();
    Worker.join();
  }

  // Takes the window furthest ahead, so that the true position decodes those before it in the
  // meantime and finds this one done when it comes.
  void WorkLoop() noexcept {
    try {
      for (;;) {
        TWindow* window = nullptr;
        {
          std::unique_lock<std::mutex> lock(Lock);
          Changed.wait(lock, [&] { return Stopping || (window = Claimable()) != nullptr; });
          if (Stopping)
            return;
          window->State = TWindow::TState::Claimed;
        }
        DecodeWindow(*window);
        {
          const std::lock_guard<std::mutex> lock(Lock);
          window->State = TWindow::TState::Decoded;
        }
        Changed.notify_all();
      }
    } catch (...) {
      // Not to be expected of a mutex; the true position then decodes every window itself.
      {
        const std::lock_guard<std::mutex> lock(Lock);
        Broken = true;
      }
      Changed.notify_all();
    }
  }

  // Under Lock: the furthest window read that neither thread has taken yet.
  TWindow* Claimable() {
    for (std::uint64_t window = WindowsRead; window > Current + 1; --window)
      if (Slot(window - 1).State == TWindow::TState::Read)
        return &Slot(window - 1);
    return nullptr;
  }

  // The worker's guess: the window decoded from its first bit, as if a code began there, until its
  // last eight bytes, a code that is no byte value's, or a full output buffer. Reads only the
  // window's bytes and writes only its output; raises nothing.
  void DecodeWindow(TWindow& window) {
    const std::uint8_t* const data = window.Bytes.get() + Head;
    const std::uint64_t stop = window.Size >= 8 ? (window.Size - 7) * 8 : 0;
    std::uint64_t pos = 0;
    std::uint8_t* out = window.Out.get();
    const std::uint8_t* const outLimit = out + WorkerOutPerByte * Capacity;
    while (pos < stop && out < outLimit &&
           !WorkerFast->Decode(Tables, data, window.Start * 8, stop, pos, out, outLimit,
                               outLimit + 64)) {
    }
    window.LaneEnd = pos;
    window.LaneCount = static_cast<std::size_t>(out - window.Out.get());
  }

  // The true position has come into a window of the worker's. Once the worker is done with it, the
  // true decoding looks for a meeting point with its codes; from there the worker's output is the
  // image, and the true position goes on where the worker stopped. Without a meeting point, the
  // true position decodes the window itself.
  void Meet() {
    PendingMeet = false;
    TWindow& window = Slot(Current);
    {
      std::unique_lock<std::mutex> lock(Lock);
      Changed.wait(lock, [&] { return window.State != TWindow::TState::Claimed || Broken; });
      const bool decoded = window.State == TWindow::TState::Decoded;
      window.State = TWindow::TState::True;
      if (!decoded)
        return;
    }
    const std::uint64_t stop = Valid >= 8 ? (Valid - 7) * 8 : 0;
    const std::uint64_t s = (window.Start - BufferStart) * 8;
    std::uint64_t t = BitPos - BufferStart * 8;
    std::size_t skipped = 0;
    const TMeeting meeting = MeetLane(Tables, Buffer, t, s, s + window.LaneEnd,
                                      std::min(stop, s + MeetBits), stop, Out, skipped);
    BitPos = BufferStart * 8 + t;
    if (meeting != TMeeting::Met)
      return;
    FlushImage();
    const std::size_t count = window.LaneCount - skipped;
    Writer.Write(std::span(window.Out.get() + skipped, count));
    Summary.ImageSize += count;
    BitPos = BufferStart * 8 + s + window.LaneEnd;
  }

  void CheckChecksum() const {
    if (Sum != Summary.Header.Checksum || Unread() > 0)
      Fail("its payload's bytes sum to " + std::to_string(Sum) + ", but Checksum (byte 36) is " +
           std::to_string(Summary.Header.Checksum));
  }

  void ExpectEndOfFile() {
    std::uint8_t probe = 0;
    if (Container.Read(std::span(&probe, 1)) != 0) {
      SizeChanged = true;
      Fail("the file grew while it was read, past the " + std::to_string(PayloadBytes) +
           " payload bytes of PayloadSize (byte 32)");
    }
  }

  // --- The bit stream -------------------------------------------------------------------

  void DecodePayload() {
    if (ReadBits(1, "the start bit") != 1)
      Fail("the stream does not begin with its start bit (a 1) at " + Where(0));
    for (int value = 0; value < 256; ++value)
      Codes[value].Length = static_cast<int>(ReadBits(1, "the presence map"));
    Summary.CodedByteValues = static_cast<int>(
        std::count_if(Codes.begin(), Codes.begin() + 256, [](const TCode& c) { return c.Length; }));

    if (Summary.CodedByteValues == 0) {
      // An empty image: no code entries, not even the end marker's, and no data.
      FinishStream("the presence map names no byte value, so only zero fill may follow it");
      return;
    }
    for (int value = 0; value < 256; ++value)
      if (Codes[value].Length != 0)
        ReadEntry(value);
    CheckEndMarkerHasRoom();
    ReadEntry(EndMarker);
    CheckCodesTile();
    BuildTables();
    DecodeData();
    FinishStream("after the end marker's code only zero fill may follow");
  }

  void ReadEntry(int symbol) {
    TCode& code = Codes[symbol];
    code.EntryBit = BitPos;
    const std::string what = "the code entry of " + SymbolName(symbol);
    if (ReadBits(1, what) != 0)
      Fail(EntryName(symbol) + " does not begin with a 0 bit");
    code.Length = static_cast<int>(ReadBits(5, what)) + 1;
    code.Bits = ReadBits(code.Length, what);
    Summary.LongestCode = std::max(Summary.LongestCode, code.Length);
    Summary.ShortestCode =
        Summary.ShortestCode == 0 ? code.Length : std::min(Summary.ShortestCode, code.Length);
    CheckNoClash(symbol);
  }

  // A clash is certain once the entry that completes it is read: it is reported there, with
  // the earliest entry it clashes with, so that faults come in stream order.
  void CheckNoClash(int symbol) const {
    const TCode& b = Codes[symbol];
    for (int earlier = 0; earlier < symbol; ++earlier) {
      const TCode& a = Codes[earlier];
      const int common = std::min(a.Length, b.Length);
      if (a.Length == 0 || (a.Bits >> (a.Length - common)) != (b.Bits >> (b.Length - common)))
        continue;
      Fail("the codes of " + SymbolName(earlier) + " (" + BitString(a.Bits, a.Length) +
           ", entry at " + Where(a.EntryBit) + ") and " + SymbolName(symbol) + " (" +
           BitString(b.Bits, b.Length) + ", entry at " + Where(b.EntryBit) +
           ") clash: one begins with the other");
    }
  }

  // Each code covers the share 2^-length of all bit sequences, as the interval
  // [code, code + 1) * 2^(32 - length) of 32-bit values; a complete prefix code tiles them.
  static constexpr std::uint64_t Space = std::uint64_t{1} << 32;

  // The first bit sequences that no code of the symbols up to lastSymbol begins, as
  // [*gapBegin, *gapEnd) (gapEnd 0: none). The codes are known not to clash.
  void FindGap(int lastSymbol, std::uint64_t* gapBegin, std::uint64_t* gapEnd) const {
    std::array<std::pair<std::uint64_t, std::uint64_t>, SymbolCount> spans;
    std::size_t count = 0;
    for (int symbol = 0; symbol <= lastSymbol; ++symbol) {
      const TCode& code = Codes[symbol];
      if (code.Length != 0)
        spans[count++] = {code.Bits * (Space >> code.Length), Space >> code.Length};
    }
    std::sort(spans.begin(), spans.begin() + static_cast<std::ptrdiff_t>(count));
    std::uint64_t reached = 0;
    std::size_t i = 0;
    for (; i < count && spans[i].first == reached; ++i)
      reached += spans[i].second;
    *gapBegin = reached;
    *gapEnd = reached == Space ? 0 : i < count ? spans[i].first : Space;
  }

  // The end marker's entry is always last: when the byte values' codes already take every
  // bit sequence, it cannot be there.
  void CheckEndMarkerHasRoom() const {
    std::uint64_t gapBegin, gapEnd;
    FindGap(255, &gapBegin, &gapEnd);
    if (gapEnd == 0)
      Fail("the code entry of the end marker is missing at " + Where(BitPos) +
           ": the byte values' codes leave no room for its code");
  }

  void CheckCodesTile() const {
    std::uint64_t gapBegin, gapEnd;
    FindGap(EndMarker, &gapBegin, &gapEnd);
    if (gapEnd != 0) {
      // The shortest bit string that begins the gap and begins no code.
      int length = 1;
      while (gapBegin % (Space >> length) != 0 || gapBegin + (Space >> length) > gapEnd)
        ++length;
      Fail("the codes are not complete (the code table ends at " + Where(BitPos) +
           "): no code begins with " +
           BitString(static_cast<std::uint32_t>(gapBegin >> (32 - length)), length));
    }
  }

  // --- Look-up tables -------------------------------------------------------------------

  void BuildTables() {
    Primary.fill(TStep{});
    for (int symbol = 0; symbol < SymbolCount; ++symbol)
      if (Codes[symbol].Length != 0)
        PlaceCode(symbol);
    for (std::uint32_t index = 0; index < PrimarySize; ++index)
      Packed[index] = PackEntry(index);

    // A byte value with a one-bit code (erased flash) comes in long runs of one bit value.
    Tables = {Packed.data(), Primary.data(), Subtables.data()};
    for (int value = 0; value < 256; ++value)
      if (Codes[value].Length == 1) {
        Tables.RunMask = Codes[value].Bits != 0 ? ~std::uint64_t{0} : 0;
        Tables.RunEntry = Packed[Tables.RunMask >> (64 - PrimaryBits)];
        Tables.RunEight = 0x0101010101010101ull * static_cast<unsigned>(value);
      }
    BuildStride();
  }

  // The stride table, when codes of one length take StrideShareSixteenths of all bit
  // sequences: then a code has that length with about that chance.
  void BuildStride() {
    std::array<std::uint64_t, 33> share{};
    for (const TCode& code : Codes)
      if (code.Length != 0)
        share[code.Length] += Space >> code.Length;
    const auto width =
        static_cast<int>(std::max_element(share.begin(), share.end()) - share.begin());
    if (share[width] < Space / 16 * StrideShareSixteenths || width < MinStrideBits ||
        width > MaxStrideBits)
      return;
    for (std::uint32_t index = 0; index < (1u << width); ++index) {
      const TStep& step = Primary[index << (PrimaryBits - width)];
      Stride[index] = step.Kind == TKind::Byte && step.Bits == width ? step.Value : NotStride;
    }
    Tables.Stride = Stride.data();
    Tables.StrideBits = static_cast<unsigned>(width);
  }

  void PlaceCode(int symbol) {
    const TCode& code = Codes[symbol];
    const TKind kind = symbol == EndMarker ? TKind::End : TKind::Byte;
    TStep* table = Primary.data();
    int width = PrimaryBits;
    int left = code.Length;  // code bits not yet covered by the tables above
    while (left > width) {
      left -= width;
      TStep& link = table[(code.Bits >> left) & ((1u << width) - 1)];
      if (link.Kind != TKind::Link) {
        if (SubtableCount == MaxSubtables)
          throw std::logic_error("decoder: more subtables than a complete code has inner nodes");
        link = {TKind::Link, static_cast<std::uint8_t>(width),
                static_cast<std::uint16_t>(SubtableCount)};
        std::fill_n(Subtables.begin() + SubtableCount * SubSize, SubSize, TStep{});
        ++SubtableCount;
      }
      table = Subtables.data() + link.Value * SubSize;
      width = SubBits;
    }
    // The code's last `left` bits, followed by every value of the bits after it.
    const std::uint32_t first = (code.Bits & ((1u << left) - 1)) << (width - left);
    const TStep step{kind, static_cast<std::uint8_t>(left), static_cast<std::uint16_t>(symbol)};
    std::fill_n(table + first, 1u << (width - left), step);
  }

  // As many whole byte-value codes as fit in the index's bits, up to MaxPerEntry.
  TPacked PackEntry(std::uint32_t index) const {
    int used = 0;
    int count = 0;
    std::uint64_t values = 0;
    while (count < MaxPerEntry) {
      const TStep& step = Primary[(index << used) & (PrimarySize - 1)];
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

  // One code at BitPos, through the subtables if it is long; returns its symbol. Checks that
  // the code lies within the payload.
  int DecodeOne() {
    unsigned used = 0;
    const TStep step = CodeAt(Tables, Peek(), used);
    if (step.Kind == TKind::Hole || step.Kind == TKind::Link)
      throw std::logic_error("decoder: a complete code left a hole in the tables");
    if (BitPos + used > PayloadBits)
      Fail("the coded data runs past the end of the payload at byte " +
           std::to_string(HeaderSize + PayloadBytes) + " without the end marker's code");
    BitPos += used;
    return step.Kind == TKind::End ? EndMarker : step.Value;
  }

  // --- Coded data -----------------------------------------------------------------------

  void DecodeData() {
    Out = OutBuffer.data();
    const std::uint8_t* outLimit = OutBuffer.data() + ChunkSize;
    StartWorker();
    for (;;) {
      if (Out >= outLimit) {
        FlushImage();
        continue;
      }
      if (PendingMeet) {
        Meet();
        continue;
      }
      // Below `stop`, the eight bytes from a position's byte on are all in the buffer.
      const std::uint64_t stop = Valid >= 8 ? (Valid - 7) * 8 : 0;
      std::uint64_t local = BitPos - BufferStart * 8;
      const bool careful = Fast.Decode(Tables, Buffer, BufferStart * 8, stop, local, Out, outLimit,
                                       OutBuffer.data() + ChunkSize + RoundRoom);
      BitPos = BufferStart * 8 + local;
      if (!careful && local < stop)
        continue;
      if (!careful && MoreAhead()) {
        Advance();
        continue;
      }
      // A long code or the end marker; or the payload's last bytes, where the fast path
      // cannot load eight bytes: one code at a time, each checked against the end.
      const int symbol = DecodeOne();
      if (symbol == EndMarker) {
        StopWorker();
        return;
      }
      *Out++ = static_cast<std::uint8_t>(symbol);
    }
  }

  void FlushImage() {
    if (Out == nullptr)
      return;
    const auto count = static_cast<std::size_t>(Out - OutBuffer.data());
    Writer.Write(std::span(OutBuffer.data(), count));
    Summary.ImageSize += count;
    Out = OutBuffer.data();
  }

  // The stream's end: zero fill up to the next byte boundary, and nothing after it.
  void FinishStream(const std::string& rule) {
    const auto fill = static_cast<int>((8 - BitPos % 8) % 8);
    if (fill > 0) {
      const std::uint64_t start = BitPos;
      const std::uint32_t bits = ReadBits(fill, "the fill");
      if (bits != 0)
        Fail(rule + ", but the bit at " +
             Where(start + static_cast<unsigned>(std::countl_zero(bits << (32 - fill)))) + " is 1");
    }
    if (BitPos < PayloadBits)
      Fail(rule + ": the stream ends at byte " + std::to_string(HeaderSize + BitPos / 8) +
           ", but the payload goes on for " + std::to_string((PayloadBits - BitPos) / 8) +
           ((PayloadBits - BitPos) / 8 == 1 ? " more byte" : " more bytes"));
  }

  TStream& Container;
  TImageWriter Writer;
  TContainerSummary Summary;

  std::uint64_t PayloadBytes = 0;
  std::uint64_t PayloadBits = 0;
  std::uint64_t BytesRead = 0;  // payload bytes taken from the stream so far
  std::uint32_t Sum = 0;        // of those bytes
  bool SizeChanged = false;     // the file's length changed under us

  // The payload bytes from BufferStart on: Valid of them, then eight zero bytes.
  const std::uint8_t* Buffer = NoBytes.data();
  static constexpr std::array<std::uint8_t, 8> NoBytes{};
  std::uint64_t BufferStart = 0;
  std::size_t Valid = 0;
  std::uint64_t BitPos = 0;  // within the payload

  TDecodeOptions Options;
  std::size_t Capacity = 0;      // payload bytes of a window
  std::vector<TWindow> Windows;  // window n in slot n % size
  bool InWindow = false;         // once the buffer holds a window, the one numbered Current
  std::uint64_t Current = 0;
  std::uint64_t WindowsRead = 0;
  bool ReadStopped = false;        // a read failed, or the file ended early
  std::exception_ptr ReadFailure;  // what the failed read raised
  bool PendingMeet = false;        // the buffer holds a window the worker took

  // Lock guards the windows' states, WindowsRead, Current, Stopping and Broken while there is a
  // worker; Changed tells of changes to them.
  std::mutex Lock;
  std::condition_variable Changed;
  bool Stopping = false;
  bool Broken = false;  // the worker ended early
  std::unique_ptr<TFastDecoder> WorkerFast;
  std::thread Worker;

  std::array<TCode, SymbolCount> Codes{};
  std::array<TStep, PrimarySize> Primary{};
  std::array<TStep, MaxSubtables * SubSize> Subtables{};
  int SubtableCount = 0;
  std::array<TPacked, PrimarySize> Packed{};
  std::array<std::uint16_t, 1u << MaxStrideBits> Stride{};

  TFastTables Tables;
  TFastDecoder Fast;
  // Room for a block and for what one round of the fast path, or a meeting with the worker, adds
  // past it.
  std::array<std::uint8_t, ChunkSize + RoundRoom + MeetBits> OutBuffer{};
  std::uint8_t* Out = nullptr;
};

}  // namespace

TContainerSummary DecodeContainer(TStream& container, TStream* image,
                                  const TDecodeOptions& options) {
  // Some 600 KiB of tables and buffers: on the heap, the same for every container. The windows come
  // on top: with a worker, at most WindowSlots of them.
  auto decoder = std::make_unique<TDecoder>(container, image, options);
  return decoder->Run();
}

}  // namespace huff
