// The static Huffman coder: symbol counts, the tree, the codes, and the pass that writes
// the whole container.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/errors.h"

namespace huff {

struct TCompressorState;
class TBitWriter;

inline constexpr int SymbolCount = 257;  // the byte values 0 to 255, and the end marker
inline constexpr int EndMarker = 256;
// 257 leaves and at most 256 internal nodes, plus one spare slot.
inline constexpr int NodePoolSize = 514;
// The 5-bit length field of a code entry states lengths 1 to 32.
inline constexpr int MaxStoredCodeLength = 32;
// The weights are signed 32-bit and the root weighs the input's length plus one.
inline constexpr std::uint64_t MaxInputSize = 0x7FFFFFFE;

inline constexpr int NoNode = -1;

struct TTreeNode {
  std::int32_t Child0 = NoNode;              // reached by code bit 0; NoNode for leaves
  std::int32_t Child1 = NoNode;              // reached by code bit 1
  std::array<std::uint16_t, 258> Symbols{};  // the symbols of all leaves below or at this node
  std::int32_t SymbolCount = 0;
  std::int32_t Weight = 0;
  bool Used = false;
};

struct TCodeEntry {
  std::int32_t Symbol = 0;
  bool Present = false;
  std::array<std::uint8_t, 256> Bits{};  // each 0 or 1, from the root downwards
  std::int32_t Length = 0;
};

using TNodePool = std::array<TTreeNode, NodePoolSize>;
using TCodeTable = std::array<TCodeEntry, SymbolCount>;

// Gives each of the 257 symbols its leaf, with weight 0, and clears the code table.
void InitNodes(TCompressorState& state);
// The failures of the passes over the input, worded once for both ways of running them.
EInputTooLarge InputTooLarge(const std::string& path, const std::string& holds);
EInputChanged InputGrew(const std::string& path, std::uint64_t counted);
EInputChanged InputShrank(const std::string& path, std::uint64_t counted, std::uint64_t read);
EInputChanged ByteNotCounted(const std::string& path, std::uint8_t value, std::uint64_t offset);

// The straightforward passes, one byte and one bit at a time: they define the container,
// and the fast passes of passes.h are held against them.

// First pass: counts every byte of the input from its current position to its end, then
// gives the end marker the weight 1. Raises EInputTooLarge past MaxInputSize bytes.
void CountSymbols(TCompressorState& state);
// Merges the two lightest free nodes until one is left, and sets the root.
void BuildTree(TCompressorState& state);
// Walks the tree from the root to each symbol's leaf and stores the codes.
void AssignCodes(TCompressorState& state);
// Raises ECodeTooLong when a code cannot be stated in a code entry's length field.
void CheckCodeLengths(const TCompressorState& state);
// Writes the start bit, the presence map and the code entries.
void WriteCodeTable(const TCompressorState& state, TBitWriter& writer);
// Second pass: writes the whole container to the output, through WriteBit.
void EncodeData(TCompressorState& state);

// The whole compression as the packer runs it: both passes split over the cores, the codes
// written by the fast writer.
void Compress(TCompressorState& state);
// The same container through the straightforward passes, on one thread.
void CompressBitByBit(TCompressorState& state);

}  // namespace huff
