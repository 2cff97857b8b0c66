// The codes a container's table states, and the rules they keep: no code begins another, and
// together they are complete. A fault is reported at the entry that completes it, so that
// faults come in stream order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "huffman/huffman.h"

namespace huff {

// Where each code's entry begins, in payload bits.
using TEntryBits = std::array<std::uint64_t, SymbolCount>;

// "byte value 0x41", "the end marker".
std::string SymbolName(int symbol);
// "byte 73, bit 0x20": the file offset, and the bit within that byte by its value.
std::string Where(std::uint64_t payloadBit);

// Raises EBadContainer: "Container NAME is damaged: WHAT".
[[noreturn]] void Damaged(const std::string& container, const std::string& what);

// The codes as a binary tree, grown as their entries are read, and walked one bit at a time.
class TCodeTree {
 public:
  // Adds `code`, the code of `symbol`. When it clashes with codes added before, one beginning
  // with the other, adds nothing and returns the earliest of their symbols; otherwise -1.
  int Add(const TCodeEntry& code, int symbol);
  // From node `at` (0 is the root) along `bit`: the next node, or ~symbol at a leaf.
  int Step(int at, unsigned bit) const { return Nodes[static_cast<std::size_t>(at)][bit & 1]; }
  // The first bit sequences, in order, that no code begins: the shortest bit string that begins
  // them and no code. Length 0 when the codes are complete.
  TCodeEntry FirstGap() const { return FirstGap(0, {}); }

 private:
  TCodeEntry FirstGap(int at, TCodeEntry path) const;
  // The earliest symbol at the leaves below node `at`.
  int Earliest(int at) const;

  std::vector<std::array<int, 2>> Nodes = {{0, 0}};  // 0: nothing there yet
};

// Adds `symbol`'s code to `tree` once its entry has been read. What breaks a rule, or an empty
// text: its code and an earlier one clash, one beginning with the other.
std::string AddCode(TCodeTree& tree, const TCodeTable& codes, const TEntryBits& entries,
                    int symbol);
// Before the end marker's entry at `at`: the byte values' codes leave it no room.
std::string FindNoRoomForEndMarker(const TCodeTree& tree, std::uint64_t at);
// After the table, which ends at `end`: the codes leave a bit sequence that no code begins.
std::string FindIncomplete(const TCodeTree& tree, std::uint64_t end);

}  // namespace huff
