#include "unpack/code_table.h"

#include <algorithm>
#include <utility>

#include "base/errors.h"
#include "container/container.h"

namespace huff {
namespace {

std::string BitString(std::uint64_t bits, std::uint32_t length) {
  std::string text;
  for (std::uint32_t k = length; k > 0; --k)
    text += static_cast<char>('0' + ((bits >> (k - 1)) & 1));
  return text;
}

// Each code covers the share 2^-length of all bit sequences, as the interval
// [code, code + 1) * 2^(32 - length) of 32-bit values; a complete prefix code tiles them.
constexpr std::uint64_t Space = std::uint64_t{1} << 32;

// The first bit sequences that no code of the symbols up to lastSymbol begins, as
// [gapBegin, gapEnd) (gapEnd 0: none). The codes are known not to clash.
std::pair<std::uint64_t, std::uint64_t> FindGap(const TCodeTable& codes, int lastSymbol) {
  struct TSpan {
    std::uint64_t First, Size;
  } spans[SymbolCount];  // left unset but for the first `count`
  std::size_t count = 0;
  for (int symbol = 0; symbol <= lastSymbol; ++symbol) {
    const TCodeEntry& code = codes[symbol];
    if (code.Length != 0)
      spans[count++] = {code.Bits * (Space >> code.Length), Space >> code.Length};
  }
  std::sort(spans, spans + count, [](const TSpan& a, const TSpan& b) { return a.First < b.First; });
  std::uint64_t reached = 0;
  std::size_t i = 0;
  for (; i < count && spans[i].First == reached; ++i)
    reached += spans[i].Size;
  return {reached, reached == Space ? 0 : i < count ? spans[i].First : Space};
}

}  // namespace

std::string SymbolName(int symbol) {
  return symbol == EndMarker ? std::string("the end marker") : "byte value " + HexByte(symbol);
}

std::string Where(std::uint64_t payloadBit) {
  return "byte " + std::to_string(HeaderSize + payloadBit / 8) + ", bit " +
         HexByte(0x80 >> (payloadBit % 8));
}

void Damaged(const std::string& container, const std::string& what) {
  throw EBadContainer("Container " + container + " is damaged: " + what);
}

// Reported with the earliest entry it clashes with.
std::string FindClash(const TCodeTable& codes, const TEntryBits& entries, int symbol) {
  const TCodeEntry& b = codes[symbol];
  for (int earlier = 0; earlier < symbol; ++earlier) {
    const TCodeEntry& a = codes[earlier];
    const std::uint32_t common = std::min(a.Length, b.Length);
    if (a.Length == 0 || (a.Bits >> (a.Length - common)) != (b.Bits >> (b.Length - common)))
      continue;
    return "the codes of " + SymbolName(earlier) + " (" + BitString(a.Bits, a.Length) +
           ", entry at " + Where(entries[earlier]) + ") and " + SymbolName(symbol) + " (" +
           BitString(b.Bits, b.Length) + ", entry at " + Where(entries[symbol]) +
           ") clash: one begins with the other";
  }
  return {};
}

// The end marker's entry is always last: when the byte values' codes already take every bit
// sequence, it cannot be there.
std::string FindNoRoomForEndMarker(const TCodeTable& codes, std::uint64_t at) {
  if (FindGap(codes, 255).second != 0)
    return {};
  return "the code entry of the end marker is missing at " + Where(at) +
         ": the byte values' codes leave no room for its code";
}

std::string FindIncomplete(const TCodeTable& codes, std::uint64_t end) {
  const auto [gapBegin, gapEnd] = FindGap(codes, EndMarker);
  if (gapEnd == 0)
    return {};
  // The shortest bit string that begins the gap and begins no code.
  int length = 1;
  while (gapBegin % (Space >> length) != 0 || gapBegin + (Space >> length) > gapEnd)
    ++length;
  return "the codes are not complete (the code table ends at " + Where(end) +
         "): no code begins with " +
         BitString(gapBegin >> (32 - length), static_cast<std::uint32_t>(length));
}

}  // namespace huff
