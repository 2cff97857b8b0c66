// What the fuzz targets share beside the support library: a finding, and the container that
// the decoder's and the device reader's inputs describe.
#pragma once

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "support.h"

namespace fuzz {

using namespace testing_support;

// Prints what went wrong and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void Fault(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

// The container, and the image it must decode to when that is known.
struct TFuzzContainer {
  Bytes Container;
  std::unique_ptr<Bytes> Image;
};

// Bits 0-1 of the first byte choose what the rest is (nothing when too short for it):
//   0: a container; 1: a payload, given a matching header;
//   2: bytes 1-2 a length n (little-endian), byte 3's bit 7 raw bits instead of codes, n bytes
//      of an image that chooses the codes, then data, each byte coded as itself or as a value
//      with a code, and the end marker's code: rare codes side by side, as no packed image has;
//   3: bytes 1-2 which bit of the packed payload to flip (header matched), then the image.
inline std::optional<TFuzzContainer> MakeContainer(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return std::nullopt;
  TFuzzContainer made;
  const Bytes rest(data + 1, data + size);
  const int mode = data[0] & 3;
  if (mode == 0) {
    made.Container = rest;
  } else if (mode == 1) {
    made.Container = Container(rest);
  } else if (mode == 2 && rest.size() >= 3) {
    const std::size_t length = std::min<std::size_t>(rest[0] | rest[1] << 8, rest.size() - 3);
    const bool raw = rest[2] >> 7;
    auto codes = CodesOf({rest.data() + 3, length});
    Bytes present;  // the byte values with a code
    for (const auto& [symbol, code] : codes)
      if (symbol != huff::EndMarker)
        present.push_back(static_cast<std::uint8_t>(symbol));
    std::string bits = Table(codes);
    made.Image = raw ? nullptr : std::make_unique<Bytes>();
    for (std::size_t at = 3 + length; at < rest.size(); ++at) {
      if (raw) {
        bits += std::bitset<8>(rest[at]).to_string();
      } else if (!present.empty()) {
        const auto value =
            codes.count(rest[at]) != 0 ? rest[at] : present[rest[at] % present.size()];
        bits += codes[value];
        made.Image->push_back(value);
      }
    }
    made.Container = Container(bits + codes[huff::EndMarker]);
  } else if (mode == 3 && rest.size() >= 2) {
    made.Container = Pack(Bytes(rest.begin() + 2, rest.end()));
    const std::size_t bits = (made.Container.size() - huff::HeaderSize) * 8;
    const std::size_t bit =
        huff::HeaderSize * 8 + (rest[0] | std::size_t{rest[1]} << 8) * 97 % bits;
    made.Container[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    FixHeader(made.Container);
  } else {
    return std::nullopt;
  }
  return made;
}

}  // namespace fuzz
