// The codes a container's table states, and the rules they keep: no code begins another, and
// together they are complete. A fault is reported at the entry that completes it, so that
// faults come in stream order.
#pragma once

#include <array>
#include <cstdint>
#include <string>

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

// What breaks a rule once `symbol`'s entry has been read, or an empty text: its code and an
// earlier one clash, one beginning with the other.
std::string FindClash(const TCodeTable& codes, const TEntryBits& entries, int symbol);
// Before the end marker's entry at `at`: the byte values' codes leave it no room.
std::string FindNoRoomForEndMarker(const TCodeTable& codes, std::uint64_t at);
// After the table, which ends at `end`: the codes leave a bit sequence that no code begins.
std::string FindIncomplete(const TCodeTable& codes, std::uint64_t end);

}  // namespace huff
