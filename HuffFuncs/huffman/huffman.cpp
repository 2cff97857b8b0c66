#include "huffman/huffman.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace huff {
namespace {

struct TTreeNode {
  std::int32_t Child0 = 0;  // reached by code bit 0; an internal node's only
  std::int32_t Child1 = 0;  // reached by code bit 1
  std::int32_t Weight = 0;
};

// The symbols' leaves, then at most 256 internal nodes in the order they were made.
using TNodePool = std::array<TTreeNode, 2 * SymbolCount - 1>;

}  // namespace

TCodeTable BuildCodes(const TByteCounts& counts, const std::string& inputName) {
  TNodePool pool;
  for (int value = 0; value < 256; ++value)
    pool[value].Weight = static_cast<std::int32_t>(counts[value]);
  pool[EndMarker].Weight = 1;  // it occurs exactly once
  // The leaves in the order they are taken, (weight, slot). Merged nodes are made in that order
  // too: the node to take fronts one of the two queues, the leaf on equal weights. (A scan took a
  // few hundred thousand comparisons, a heap a few thousand.)
  std::array<std::pair<std::int32_t, std::int32_t>, SymbolCount> leaves;
  std::size_t leafCount = 0;
  for (std::int32_t slot = 0; slot < SymbolCount; ++slot)
    if (pool[slot].Weight > 0)
      leaves[leafCount++] = {pool[slot].Weight, slot};
  std::sort(leaves.begin(), leaves.begin() + leafCount);
  std::size_t nextLeaf = 0;
  std::int32_t nextMerged = EndMarker + 1;
  std::int32_t last = EndMarker;
  const auto take = [&] {
    if (nextLeaf < leafCount &&
        (nextMerged > last || leaves[nextLeaf].first <= pool[nextMerged].Weight))
      return leaves[nextLeaf++].second;
    return nextMerged++;
  };
  while (leafCount - nextLeaf + static_cast<std::size_t>(last + 1 - nextMerged) >= 2) {
    const std::int32_t a = take();
    const std::int32_t b = take();
    TTreeNode& node = pool[++last];
    node.Weight = pool[a].Weight + pool[b].Weight;
    node.Child0 = b;  // the heavier (or equal) node takes bit 0
    node.Child1 = a;
  }
  // Each code from its parent's, made after it; the root's, an empty input's end marker's, empty.
  // A leaf at depth d needs a weight of Fibonacci(d + 2) (1, 1, 2, ...), and the root weighs at
  // most MaxInputSize + 1 < Fibonacci(47): no code is longer than 44 bits, and TCodeEntry has 64.
  std::array<TCodeEntry, std::tuple_size_v<TNodePool>> below{};
  for (std::int32_t slot = last; slot > EndMarker; --slot) {
    const TCodeEntry code = below[slot];
    assert(code.Length < 64);
    below[pool[slot].Child0] = {code.Bits << 1, code.Length + 1};
    below[pool[slot].Child1] = {code.Bits << 1 | 1, code.Length + 1};
  }
  TCodeTable codes;
  std::copy_n(below.begin(), SymbolCount, codes.begin());
  for (int symbol = 0; symbol < SymbolCount; ++symbol)
    if (codes[symbol].Length > MaxStoredCodeLength)
      throw ECodeTooLong("File " + inputName + " needs a code of " +
                         std::to_string(codes[symbol].Length) + " bits for " + SymbolName(symbol) +
                         ", longer than the " + std::to_string(MaxStoredCodeLength) +
                         " bits a container can state");
  return codes;
}

EInputTooLarge InputTooLarge(const std::string& path, const std::string& holds, const char* done) {
  return EInputTooLarge("File " + path + " is too large: it holds " + holds +
                        " bytes, and at most " + std::to_string(MaxInputSize) + " can be " + done);
}

}  // namespace huff
