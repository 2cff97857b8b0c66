#include "fuzz_common.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "container.h"

namespace fuzz {

void Fault(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

Bytes Repeated(std::span<const std::uint8_t> pattern, std::size_t size) {
  Bytes bytes(pattern.empty() ? 0 : size);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = pattern[i % pattern.size()];
  return bytes;
}

void FixHeader(Bytes& container) {
  std::uint32_t sum = 0;
  for (std::size_t i = huff::HeaderSize; i < container.size(); ++i)
    sum += container[i];
  const auto size = static_cast<std::uint32_t>(container.size() - huff::HeaderSize);
  for (int i = 0; i < 4; ++i) {
    container[32 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    container[36 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  }
}

void TBits::Add(int bit) {
  if (Count % 8 == 0)
    Payload.push_back(0);
  Payload.back() |= static_cast<std::uint8_t>(bit << (7 - Count % 8));
  ++Count;
}

void TBits::Add(const std::string& code) {
  for (const char bit : code)
    Add(bit - '0');
}

void TBits::AddNumber(unsigned value, int width) {
  for (int k = width - 1; k >= 0; --k)
    Add(static_cast<int>((value >> k) & 1));
}

Bytes Pack(const Bytes& image, huff::TParallelism parallelism,
           void (*compress)(huff::TCompressorState&)) {
  auto state = std::make_unique<huff::TCompressorState>();
  huff::ResetState(*state, "FUZZ", "Sarnveld");
  state->Parallelism = parallelism;
  state->Input = std::make_unique<huff::TMemoryStream>(image, "fuzz.bin");
  auto output = std::make_unique<huff::TMemoryStream>();
  huff::TMemoryStream& written = *output;
  state->Output = std::move(output);
  compress(*state);
  return written.Contents();
}

}  // namespace fuzz
