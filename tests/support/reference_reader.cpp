#include "reference_reader.h"

#include <algorithm>
#include <stdexcept>

namespace reference {
namespace {

class TBitReader {
 public:
  TBitReader(const std::vector<std::uint8_t>& bytes, std::size_t start)
      : Bytes(bytes), Position(start * 8) {}
  int Next() {
    if (Position >= Bytes.size() * 8)
      throw std::runtime_error("the bit stream ends early");
    const int bit = (Bytes[Position / 8] >> (7 - Position % 8)) & 1;
    ++Position;
    return bit;
  }
  std::size_t BitPosition() const { return Position; }

 private:
  const std::vector<std::uint8_t>& Bytes;
  std::size_t Position;
};

std::uint32_t LoadU32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
  return value;
}

std::string NameField(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  if (bytes[offset + 15] != 0)
    throw std::runtime_error("a name field's last byte is not zero");
  std::string name;
  for (std::size_t i = offset; i < offset + 15 && bytes[i] != 0; ++i)
    name += static_cast<char>(bytes[i]);
  for (std::size_t i = offset + name.size(); i < offset + 16; ++i)
    if (bytes[i] != 0)
      throw std::runtime_error("a name field is not zero-filled");
  return name;
}

}  // namespace

TDecodedContainer ReadContainer(const std::vector<std::uint8_t>& file) {
  if (file.size() < 40)
    throw std::runtime_error("shorter than a header");
  TDecodedContainer result;
  result.NameID = NameField(file, 0);
  result.Manufacturer = NameField(file, 16);
  result.PayloadSize = LoadU32(file, 32);
  result.Checksum = LoadU32(file, 36);
  if (result.PayloadSize != file.size() - 40)
    throw std::runtime_error("PayloadSize disagrees with the file's length");
  std::uint32_t sum = 0;
  for (std::size_t i = 40; i < file.size(); ++i)
    sum += file[i];
  if (sum != result.Checksum)
    throw std::runtime_error("checksum mismatch");

  TBitReader bits(file, 40);
  if (bits.Next() != 1)
    throw std::runtime_error("no start bit");
  std::array<bool, 257> present{};
  for (int value = 0; value < 256; ++value)
    present[value] = bits.Next() == 1;
  const bool empty = std::none_of(present.begin(), present.end(), [](bool p) { return p; });
  present[256] = !empty;

  // The codes as a binary tree: node 0 is the root; a leaf holds its symbol.
  struct TNode {
    int Child[2] = {0, 0};
    int Symbol = -1;
  };
  std::vector<TNode> tree(1);
  for (int symbol = 0; symbol < 257; ++symbol) {
    if (!present[symbol])
      continue;
    if (bits.Next() != 0)
      throw std::runtime_error("a code entry lacks its leading 0 bit");
    int length = 0;
    for (int k = 0; k < 5; ++k)
      length = length * 2 + bits.Next();
    std::string& code = result.Codes[static_cast<std::size_t>(symbol)];
    int node = 0;
    for (int k = 0; k <= length; ++k) {
      const int bit = bits.Next();
      code += static_cast<char>('0' + bit);
      if (tree[node].Symbol >= 0)
        throw std::runtime_error("two codes clash: not a prefix code");
      if (tree[node].Child[bit] == 0) {
        tree[node].Child[bit] = static_cast<int>(tree.size());
        tree.emplace_back();
      }
      node = tree[node].Child[bit];
    }
    if (tree[node].Symbol >= 0 || tree[node].Child[0] != 0 || tree[node].Child[1] != 0)
      throw std::runtime_error("two codes clash: not a prefix code");
    tree[node].Symbol = symbol;
  }
  for (const TNode& node : tree)
    if (node.Symbol < 0 && (node.Child[0] == 0 || node.Child[1] == 0) && tree.size() > 1)
      throw std::runtime_error("the codes are not complete");

  if (!empty) {
    for (;;) {
      int node = 0;
      while (tree[node].Symbol < 0)
        node = tree[node].Child[bits.Next()];
      if (tree[node].Symbol == 256)
        break;
      result.Image.push_back(static_cast<std::uint8_t>(tree[node].Symbol));
    }
  }
  while (bits.BitPosition() % 8 != 0)
    if (bits.Next() != 0)
      throw std::runtime_error("a fill bit is not zero");
  if (bits.BitPosition() != file.size() * 8)
    throw std::runtime_error("bytes follow the end of the stream");
  return result;
}

std::optional<std::vector<std::uint8_t>> ReadImage(const std::vector<std::uint8_t>& file) {
  try {
    return ReadContainer(file).Image;
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

}  // namespace reference
