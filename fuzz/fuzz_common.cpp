#include "fuzz_common.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <span>

#include "container/container.h"
#include "huffman/huffman.h"
#include "pack/pack.h"

namespace fuzz {
namespace {

// Bits 0-1 of the first byte choose what the rest is:
//   Container:  the rest is a container, as it is;
//   Payload:    the rest is a payload, given a header with the right size and checksum;
//   Recoded:    bytes 1-2 are a length n (little-endian, at most what follows), bit 7 of byte 3
//               puts the data in as raw bits instead of codes, the n bytes after it are an
//               image that only chooses the codes; the rest is data, coded with those codes and
//               closed by the end marker's code, the header made to match;
//   FlippedBit: bytes 1-2 say which bit of the packed payload to flip (the header is then made
//               to match), the rest is the image.
// Recoded data put rare codes next to each other, as no packed image would.
enum class TMode { Container, Payload, Recoded, FlippedBit };

struct TRecoded {
  Bytes Container;
  Bytes Image;  // what it decodes to, when its data are codes
};

// A container whose codes are those the packer gives `chooser`, and whose data are `data`:
// each byte coded as itself when it has a code, else as one of the values that have one; or,
// when `raw`, the bytes' own bits. The end marker's code closes the data either way.
TRecoded Recode(const Bytes& chooser, std::span<const std::uint8_t> data, bool raw) {
  // The packer's own steps up to the codes.
  const huff::TCodeTable coded = huff::BuildCodes(huff::CountSymbols(chooser));
  std::array<std::string, huff::SymbolCount> codes;
  std::map<int, std::string> table;
  Bytes present;
  for (int symbol = 0; symbol < huff::SymbolCount; ++symbol) {
    const huff::TCodeEntry& entry = coded[symbol];
    if (!entry.Present())
      continue;
    std::string& code = codes[static_cast<std::size_t>(symbol)];
    for (std::uint32_t i = entry.Length; i > 0; --i)
      code += static_cast<char>('0' + (entry.Bits >> (i - 1) & 1));
    table[symbol] = code;
    if (symbol != huff::EndMarker)
      present.push_back(static_cast<std::uint8_t>(symbol));
  }
  std::string bits = testing_support::Table(table);
  TRecoded recoded;
  for (const std::uint8_t byte : data) {
    if (raw) {
      bits += std::bitset<8>(byte).to_string();
    } else if (!present.empty()) {
      const std::uint8_t value = codes[byte].empty() ? present[byte % present.size()] : byte;
      bits += codes[value];
      recoded.Image.push_back(value);
    }
  }
  bits += codes[huff::EndMarker];  // none for an empty chooser
  recoded.Container = testing_support::Container(bits);
  return recoded;
}

}  // namespace

void Fault(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

std::optional<TFuzzContainer> MakeContainer(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return std::nullopt;
  const auto mode = static_cast<TMode>(data[0] & 3);
  TFuzzContainer made;
  Bytes rest(data + 1, data + size);
  switch (mode) {
    case TMode::Container:
      made.Container = std::move(rest);
      break;
    case TMode::Payload:
      made.Container = testing_support::Container(rest);
      break;
    case TMode::Recoded: {
      if (rest.size() < 3)
        return std::nullopt;
      const std::size_t length = std::min<std::size_t>(rest[0] | rest[1] << 8, rest.size() - 3);
      const auto chooser = rest.begin() + 3;
      const auto coded = chooser + static_cast<std::ptrdiff_t>(length);
      const bool raw = rest[2] >> 7;
      TRecoded recoded = Recode(Bytes(chooser, coded), {coded, rest.end()}, raw);
      made.Container = std::move(recoded.Container);
      if (!raw)
        made.Image = std::make_unique<Bytes>(std::move(recoded.Image));
      break;
    }
    case TMode::FlippedBit: {
      if (rest.size() < 2)
        return std::nullopt;
      const std::size_t which = rest[0] | static_cast<std::size_t>(rest[1]) << 8;
      made.Container = testing_support::Pack(Bytes(rest.begin() + 2, rest.end()));
      const std::size_t bits = (made.Container.size() - huff::HeaderSize) * 8;
      const std::size_t bit = huff::HeaderSize * 8 + which * 97 % bits;
      made.Container[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
      testing_support::FixHeader(made.Container);
      break;
    }
  }
  return made;
}

}  // namespace fuzz
