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

// The codes as a binary tree, grown as their entries are read.
class TCodeTree {
 public:
  // Adds `code`, the code of `symbol`. When it clashes with codes added before, one beginning
  // with the other, adds nothing and returns the earliest of their symbols; otherwise -1.
  int Add(const TCodeEntry& code, int symbol);
  // The first bit sequences, in order, that no code begins: the shortest bit string that begins
  // them and no code. Length 0 when the codes are complete.
  TCodeEntry FirstGap() const { return FirstGap(0, {}); }

 private:
  TCodeEntry FirstGap(int at, TCodeEntry path) const;
  // The earliest symbol at the leaves below node `at`.
  int Earliest(int at) const;
  // The root, with room for the inner nodes of a complete code of every symbol.
  static std::vector<std::array<int, 2>> Root() {
    std::vector<std::array<int, 2>> nodes;
    nodes.reserve(SymbolCount);
    nodes.push_back({0, 0});
    return nodes;
  }

  std::vector<std::array<int, 2>> Nodes = Root();  // 0: nothing there yet
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
