// The library's failures, each class named for the kind the programs print; it never prints.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "sarnveld.hpp"

namespace huff {

// "0x41": how messages name a byte value.
inline std::string HexByte(int value) {
  const char* digits = "0123456789ABCDEF";
  return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

// "1 byte", "2 bytes".
inline std::string Count(std::uint64_t count, const char* unit) {
  return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

struct EError : sarnveld::Error {
  explicit EError(std::string message, std::string kind = "EError")
      : Error(std::move(kind), std::move(message)) {}
};

// A path or a reason follows the prefix in the message.
#define HUFF_ERROR_KIND(Kind, Prefix)                                        \
  struct Kind : EError {                                                     \
    explicit Kind(const std::string& text) : EError(Prefix + text, #Kind) {} \
  }
HUFF_ERROR_KIND(EFOpenError, "Cannot open file ");      // not opened for reading, or not regular
HUFF_ERROR_KIND(EFCreateError, "Cannot create file ");  // not made, the input, or another run's
HUFF_ERROR_KIND(EInOutError, "");      // a read, write, size query or close failed, and why
HUFF_ERROR_KIND(EInputTooLarge, "");   // more bytes than the signed 32-bit weights can count
HUFF_ERROR_KIND(ECodeTooLong, "");     // a code longer than a code entry's 5-bit length states
HUFF_ERROR_KIND(EInputChanged, "");    // the input changed between the two passes
HUFF_ERROR_KIND(EBadContainer, "");    // a rule of the format broken: what, and where
HUFF_ERROR_KIND(EBufferTooSmall, "");  // an image longer than the memory given for it
#undef HUFF_ERROR_KIND

}  // namespace huff
