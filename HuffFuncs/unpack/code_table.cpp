#include "unpack/code_table.h"

#include <algorithm>

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

int TCodeTree::Add(const TCodeEntry& code, int symbol) {
  std::size_t at = 0;
  for (int k = static_cast<int>(code.Length) - 1; k > 0; --k) {
    int& next = Nodes[at][(code.Bits >> k) & 1];
    if (next < 0)
      return ~next;  // an earlier code begins this one
    if (next == 0) {
      next = static_cast<int>(Nodes.size());
      Nodes.push_back({0, 0});  // may move the nodes, `next` among them: read again below
    }
    at = static_cast<std::size_t>(Nodes[at][(code.Bits >> k) & 1]);
  }
  int& leaf = Nodes[at][code.Bits & 1];
  if (leaf != 0)  // the same code, or codes that begin with this one
    return leaf < 0 ? ~leaf : Earliest(leaf);
  leaf = ~symbol;
  return -1;
}

TCodeEntry TCodeTree::FirstGap(int at, TCodeEntry path) const {
  for (const unsigned bit : {0u, 1u}) {
    const int next = Nodes[static_cast<std::size_t>(at)][bit];
    const TCodeEntry here{(path.Bits << 1) | bit, path.Length + 1};
    if (next == 0)
      return here;
    if (next > 0)
      if (const TCodeEntry gap = FirstGap(next, here); gap.Length != 0)
        return gap;
  }
  return {};
}

int TCodeTree::Earliest(int at) const {
  int earliest = SymbolCount;
  for (const int next : Nodes[static_cast<std::size_t>(at)])
    earliest = std::min(earliest, next < 0 ? ~next : next > 0 ? Earliest(next) : SymbolCount);
  return earliest;
}

// Reported with the earliest entry it clashes with.
std::string AddCode(TCodeTree& tree, const TCodeTable& codes, const TEntryBits& entries,
                    int symbol) {
  const int earlier = tree.Add(codes[symbol], symbol);
  if (earlier < 0)
    return {};
  const TCodeEntry& a = codes[earlier];
  const TCodeEntry& b = codes[symbol];
  return "the codes of " + SymbolName(earlier) + " (" + BitString(a.Bits, a.Length) +
         ", entry at " + Where(entries[earlier]) + ") and " + SymbolName(symbol) + " (" +
         BitString(b.Bits, b.Length) + ", entry at " + Where(entries[symbol]) +
         ") clash: one begins with the other";
}

// The end marker's entry is always last: when the byte values' codes already take every bit
// sequence, it cannot be there.
std::string FindNoRoomForEndMarker(const TCodeTree& tree, std::uint64_t at) {
  if (tree.FirstGap().Length != 0)
    return {};
  return "the code entry of the end marker is missing at " + Where(at) +
         ": the byte values' codes leave no room for its code";
}

std::string FindIncomplete(const TCodeTree& tree, std::uint64_t end) {
  const TCodeEntry gap = tree.FirstGap();
  if (gap.Length == 0)
    return {};
  return "the codes are not complete (the code table ends at " + Where(end) +
         "): no code begins with " + BitString(gap.Bits, gap.Length);
}

}  // namespace huff
