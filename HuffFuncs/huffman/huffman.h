// The static Huffman code: symbol weights in, one code per symbol out.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace huff {

inline constexpr int SymbolCount = 257;  // the byte values 0 to 255, and the end marker
inline constexpr int EndMarker = 256;
// 257 leaves and at most 256 internal nodes, plus one spare slot.
inline constexpr int NodePoolSize = 514;
// The 5-bit length field of a container's code entry states lengths 1 to 32.
inline constexpr int MaxStoredCodeLength = 32;
// The weights are signed 32-bit and the root weighs the input's length plus one.
inline constexpr std::uint64_t MaxInputSize = 0x7FFFFFFE;

inline constexpr int NoNode = -1;

struct TTreeNode {
  std::int32_t Child0 = NoNode;  // reached by code bit 0; NoNode for leaves
  std::int32_t Child1 = NoNode;  // reached by code bit 1
  std::int32_t Weight = 0;
};

// Slots 0 to 256 are the symbols' leaves, then the internal nodes in the order they were made.
using TNodePool = std::array<TTreeNode, NodePoolSize>;

// A symbol's code: the low Length bits of Bits, the first bit from the root the most
// significant. Length 0: the symbol has no code.
struct TCodeEntry {
  std::uint64_t Bits = 0;
  std::uint32_t Length = 0;
  bool Present() const noexcept { return Length != 0; }
};

using TCodeTable = std::array<TCodeEntry, SymbolCount>;

// The tree and the codes it gives.
struct TCoder {
  TNodePool NodePool;
  std::int32_t Root = NoNode;
  TCodeTable CodeTable;
};

// Gives each of the 257 symbols its leaf, with weight 0, and clears the tree and the codes.
void InitNodes(TCoder& coder);
// Merges the two lightest nodes not yet merged until one is left, and sets the root. Leaves
// of weight 0 (absent byte values) take no part. Among equal weights the lower slot goes
// first: byte values before the end marker, leaves before internal nodes, older internal
// nodes before newer ones. The first node taken is reached by bit 1, the second by bit 0.
void BuildTree(TCoder& coder);
// Gives every leaf below the root the path to it as its code. A root that is a leaf gives no
// symbol a code, the end marker included.
void AssignCodes(TCoder& coder);
// Raises ECodeTooLong, naming the input, when a code is longer than MaxStoredCodeLength.
void CheckCodeLengths(const TCodeTable& codes, const std::string& inputName);

}  // namespace huff
