#include "support.h"

#include <algorithm>
#include <array>

namespace testing_support {

std::optional<Bytes> ReferenceImage(const Bytes& file) {
  // A name field: at most 15 bytes, then zero bytes up to its 16th.
  const auto isName = [](const std::uint8_t* field) {
    const std::uint8_t* end = std::find(field, field + 16, 0);
    return end != field + 16 && std::all_of(end, field + 16, [](std::uint8_t b) { return b == 0; });
  };
  const auto word = [&](std::size_t offset) {  // little-endian
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
      value = value << 8 | file[offset + i];
    return value;
  };
  std::uint32_t sum = 0;
  for (std::size_t i = 40; i < file.size(); ++i)
    sum += file[i];
  if (file.size() < 40 || !isName(&file[0]) || !isName(&file[16]) || word(32) != file.size() - 40 ||
      word(36) != sum)
    return std::nullopt;

  struct TEnded {};         // the bit stream ended early
  std::size_t at = 40 * 8;  // the next bit
  const auto next = [&] {
    if (at == file.size() * 8)
      throw TEnded();
    const int bit = file[at / 8] >> (7 - at % 8) & 1;
    ++at;
    return bit;
  };
  try {
    if (next() != 1)
      return std::nullopt;  // no start bit
    std::array<bool, 257> present{};
    for (int value = 0; value < 256; ++value)
      present[value] = next() == 1;
    present[256] = std::count(present.begin(), present.end(), true) > 0;  // the end marker

    // The codes as a binary tree: node 0 is the root; a leaf holds its symbol.
    struct TNode {
      int Child[2] = {0, 0};
      int Symbol = -1;
    };
    std::vector<TNode> tree(1);
    for (int symbol = 0; symbol < 257; ++symbol) {
      if (!present[symbol])
        continue;
      if (next() != 0)
        return std::nullopt;  // an entry begins with a 0 bit
      int length = 1;
      for (int k = 4; k >= 0; --k)
        length += next() << k;
      int node = 0;
      for (; length > 0; --length) {
        if (tree[node].Symbol >= 0)
          return std::nullopt;  // another code is a prefix of this one
        const int bit = next();
        if (tree[node].Child[bit] == 0) {
          tree[node].Child[bit] = static_cast<int>(tree.size());
          tree.emplace_back();
        }
        node = tree[node].Child[bit];
      }
      if (tree[node].Symbol >= 0 || tree[node].Child[0] != 0 || tree[node].Child[1] != 0)
        return std::nullopt;  // the same code twice, or a prefix of another
      tree[node].Symbol = symbol;
    }
    for (const TNode& node : tree)
      if (tree.size() > 1 && node.Symbol < 0 && (node.Child[0] == 0 || node.Child[1] == 0))
        return std::nullopt;  // the codes are not complete

    std::vector<std::uint8_t> image;
    while (present[256]) {
      int node = 0;
      while (tree[node].Symbol < 0)
        node = tree[node].Child[next()];
      if (tree[node].Symbol == 256)
        break;
      image.push_back(static_cast<std::uint8_t>(tree[node].Symbol));
    }
    while (at % 8 != 0)
      if (next() != 0)
        return std::nullopt;  // a fill bit is not zero
    if (at != file.size() * 8)
      return std::nullopt;  // bytes follow the end of the stream
    return image;
  } catch (const TEnded&) {
    return std::nullopt;
  }
}

}  // namespace testing_support
