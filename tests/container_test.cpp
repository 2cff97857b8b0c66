// The header: its byte layout and the rules for the two names.
#include "container.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using huff::EncodeHeader;
using huff::TCompressorState;

TEST(Header, FieldsStandAtTheirOffsetsLittleEndian) {
  TCompressorState state;
  huff::ResetState(state, "ZRQ-705", "Sarnveld");
  state.Header.PayloadSize = 0x04030201;
  state.Header.Checksum = 0xA0B0C0D0;
  const auto bytes = EncodeHeader(state.Header);
  const std::string name(bytes.begin(), bytes.begin() + 16);
  const std::string maker(bytes.begin() + 16, bytes.begin() + 32);
  EXPECT_EQ(name, std::string("ZRQ-705\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(maker, std::string("Sarnveld\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 32, bytes.end()),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 0xD0, 0xC0, 0xB0, 0xA0}));
}

TEST(Header, NamesAreCutTo15BytesAndTheLastByteStaysZero) {
  TCompressorState state;
  huff::ResetState(state, "ABCDEFGHIJKLMNOPQRS", std::string(15, 'm'));
  const auto bytes = EncodeHeader(state.Header);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 15), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(bytes[15], 0);
  EXPECT_EQ(std::string(bytes.begin() + 16, bytes.begin() + 31), std::string(15, 'm'));
  EXPECT_EQ(bytes[31], 0);

  // A shorter name clears what a longer one left behind.
  huff::ResetState(state, "ab", "\xff\x01");
  const auto again = EncodeHeader(state.Header);
  EXPECT_EQ(std::string(again.begin(), again.begin() + 16),
            std::string("ab", 2) + std::string(14, '\0'));
  EXPECT_EQ(again[16], 0xFF);  // bytes are copied unchanged
  EXPECT_EQ(again[17], 0x01);
  EXPECT_EQ(again[18], 0);
}

}  // namespace
