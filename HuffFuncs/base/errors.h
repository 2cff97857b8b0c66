// The failures the module raises. Each carries a kind name and a message; only the
// program's entry point catches them, prints the report and picks the exit code.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace huff {

// "0x41": how messages name a byte value.
inline std::string HexByte(int value) {
  const char* digits = "0123456789ABCDEF";
  return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

class EError : public std::exception {
 public:
  explicit EError(std::string message) : EError("EError", std::move(message)) {}

  const std::string& Kind() const noexcept { return KindName; }
  const std::string& Message() const noexcept { return Text; }
  const char* what() const noexcept override { return Text.c_str(); }

 protected:
  EError(std::string kind, std::string message)
      : KindName(std::move(kind)), Text(std::move(message)) {}

 private:
  std::string KindName;
  std::string Text;
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

// A read, write, rewind, size query or close failed; the message names the file and the reason.
class EInOutError : public EError {
 public:
  explicit EInOutError(std::string message) : EError("EInOutError", std::move(message)) {}
};

// The input holds more bytes than the signed 32-bit weights can count.
class EInputTooLarge : public EError {
 public:
  explicit EInputTooLarge(std::string message) : EError("EInputTooLarge", std::move(message)) {}
};

// A code is longer than the 32 bits that the 5-bit length field of a code entry can state.
class ECodeTooLong : public EError {
 public:
  explicit ECodeTooLong(std::string message) : EError("ECodeTooLong", std::move(message)) {}
};

// The input read in the second pass differs from the one counted in the first.
class EInputChanged : public EError {
 public:
  explicit EInputChanged(std::string message) : EError("EInputChanged", std::move(message)) {}
};

// A container that breaks a rule of the format: the message names the file, what is wrong
// and where (the file offset, and the bit within that byte where it matters).
class EBadContainer : public EError {
 public:
  explicit EBadContainer(std::string message) : EError("EBadContainer", std::move(message)) {}
};

}  // namespace huff
