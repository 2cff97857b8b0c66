// The failures the library raises: each a sarnveld::Error whose class name is the kind the
// programs print. Only the entry points catch them; nothing in the library prints.
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

class EError : public sarnveld::Error {
 public:
  explicit EError(std::string message) : Error("EError", std::move(message)) {}

 protected:
  EError(std::string kind, std::string message) : Error(std::move(kind), std::move(message)) {}
};

// The input cannot be opened for reading, or is not a regular file.
class EFOpenError : public EError {
 public:
  explicit EFOpenError(const std::string& path)
      : EError("EFOpenError", "Cannot open file " + path) {}
};

// The output cannot be created, or names the input.
class EFCreateError : public EError {
 public:
  explicit EFCreateError(const std::string& path)
      : EError("EFCreateError", "Cannot create file " + path) {}
};

// The other kinds: the message says what happened.
#define HUFF_ERROR_KIND(Kind)                                                 \
  class Kind : public EError {                                                \
   public:                                                                    \
    explicit Kind(std::string message) : EError(#Kind, std::move(message)) {} \
  }
// A read, write, size query or close failed; the message names the file and the reason.
HUFF_ERROR_KIND(EInOutError);
// The input holds more bytes than the signed 32-bit weights can count.
HUFF_ERROR_KIND(EInputTooLarge);
// A code is longer than the 32 bits that the 5-bit length field of a code entry can state.
HUFF_ERROR_KIND(ECodeTooLong);
// The input read in the second pass differs from the one counted in the first.
HUFF_ERROR_KIND(EInputChanged);
// A container that breaks a rule of the format: the message names the file, what is wrong
// and where (the file offset, and the bit within that byte where it matters).
HUFF_ERROR_KIND(EBadContainer);
// An image longer than the memory a caller gave for it.
HUFF_ERROR_KIND(EBufferTooSmall);
#undef HUFF_ERROR_KIND

}  // namespace huff
