// A deterministic image that looks like a microcontroller's flash: erased runs of 0xFF,
// code-like bytes and noise, in regions of 4 KiB to 256 KiB. The same size always gives
// the same bytes, on any machine.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace bench {

class TFlashImage {
 public:
  TFlashImage() {
    // Instruction halfwords: a small vocabulary that code keeps reusing, whose high bytes
    // (the opcodes) come from a few values.
    for (auto& word : Vocabulary) {
      const std::uint64_t r = Next();
      word = static_cast<std::uint16_t>(((0x40 + (r >> 8) % 24 * 8) << 8) | (r & 0xFF));
    }
  }

  // Fills bytes with the image's next bytes.
  void Fill(std::span<std::uint8_t> bytes) {
    for (std::uint8_t& byte : bytes) {
      if (Left == 0)
        StartRegion();
      --Left;
      switch (Kind) {
        case TKind::Erased:
          byte = 0xFF;
          break;
        case TKind::Code:
          if (Position++ % 2 == 0) {
            const std::uint64_t r = Next();
            // Most words are common instructions; the rest are literals and addresses.
            Word = r % 8 < 7 ? Vocabulary[(r >> 8) % (1 + (r >> 16) % Vocabulary.size())]
                             : static_cast<std::uint16_t>(r >> 32);
            byte = static_cast<std::uint8_t>(Word);
          } else {
            byte = static_cast<std::uint8_t>(Word >> 8);
          }
          break;
        case TKind::Noise:
          byte = static_cast<std::uint8_t>(Next() >> 56);
          break;
      }
    }
  }

  static std::vector<std::uint8_t> Make(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    TFlashImage().Fill(bytes);
    return bytes;
  }

 private:
  enum class TKind { Erased, Code, Noise };

  // xorshift64*: small, fast and the same everywhere.
  std::uint64_t Next() {
    State ^= State >> 12;
    State ^= State << 25;
    State ^= State >> 27;
    return State * 0x2545F4914F6CDD1Dull;
  }

  void StartRegion() {
    Left = 4096 + Next() % (252 * 1024);
    const unsigned share = static_cast<unsigned>(Next() % 100);
    Kind = share < ErasedShare               ? TKind::Erased
           : share < ErasedShare + CodeShare ? TKind::Code
                                             : TKind::Noise;
    Position = 0;
  }

  static constexpr unsigned ErasedShare = 40;  // percent of regions
  static constexpr unsigned CodeShare = 45;    // the rest is noise
  std::uint64_t State = 0x9E3779B97F4A7C15ull;
  std::array<std::uint16_t, 96> Vocabulary{};
  std::uint64_t Left = 0;
  TKind Kind = TKind::Erased;
  std::uint64_t Position = 0;
  std::uint16_t Word = 0;
};

}  // namespace bench
