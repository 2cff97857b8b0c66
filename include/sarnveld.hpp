// sarnveld.hpp: the C++ face of libsarnveld, beside the C one of sarnveld.h: the same runs and
// failures, with exceptions, standard strings and vectors, and messages of any length. It is
// in the static library only (the shared one exports the C functions alone); the programs
// sarnveld2hex and hex2plain are built on it. docs/api.md describes both faces.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sarnveld {

// Why a call failed: the kind and message that the programs print in their failure report,
// such as "EFOpenError" and "Cannot open file in.bin" (no closing full stop).
class Error : public std::exception {
 public:
  Error(std::string kind, std::string message)
      : KindName(std::move(kind)), Text(std::move(message)) {}
  const std::string& Kind() const noexcept { return KindName; }
  const std::string& Message() const noexcept { return Text; }
  const char* what() const noexcept override { return Text.c_str(); }

 private:
  std::string KindName;
  std::string Text;
};

// What a container holds, once all of it has been checked.
struct Summary {
  std::string NameId;  // the bytes as stored, up to the zero fill (at most 15)
  std::string Manufacturer;
  std::uint32_t PayloadSize = 0;
  std::uint32_t Checksum = 0;
  std::uint64_t ImageSize = 0;
  int CodedByteValues = 0;  // byte values with a code
  int ShortestCode = 0;     // over every code, the end marker's included; 0 for an empty image
  int LongestCode = 0;
};

inline constexpr std::string_view DefaultNameId = "ZRQ-705";
inline constexpr std::string_view DefaultManufacturer = "Sarnveld";

// Each function below raises Error on failure, and nothing else: running out of memory is
// Error "EOutOfMemory". Names longer than 15 bytes are cut.

const char* Version() noexcept;

// Packs the file plainfile into the container hexfile, as sarnveld2hex does; a hexfile that
// the run created or truncated is removed again when it fails.
void PackFile(const std::string& plainfile, const std::string& hexfile,
              std::string_view nameId = DefaultNameId,
              std::string_view manufacturer = DefaultManufacturer);

// Checks the container hexfile from end to end and, given a plainfile, writes the image
// there, as hex2plain does.
Summary UnpackFile(const std::string& hexfile,
                   const std::optional<std::string>& plainfile = std::nullopt);

// The same in memory, for at most 2147483646 bytes.
std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> image,
                               std::string_view nameId = DefaultNameId,
                               std::string_view manufacturer = DefaultManufacturer);
Summary Unpack(std::span<const std::uint8_t> container, std::vector<std::uint8_t>& image);

// For a program that handles signals itself: removes every output that a file run of this
// process is writing, as a failed run would. Async-signal-safe; the process must end right
// after it (a run still going waits for that end, so that it cannot report success).
void RemoveUnfinishedOutputs() noexcept;

// The system's text for one of its error codes (errno; on Windows, GetLastError), as the
// library's messages give it: for a program's own reports, such as on its console.
std::string SystemErrorText(unsigned long code);

}  // namespace sarnveld
