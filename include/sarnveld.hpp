// sarnveld.hpp: the C++20 face of libsarnveld, beside the C one of sarnveld.h, with exceptions,
// strings and vectors. The programs are built on it; the Windows DLL exports the C face alone.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sarnveld {

// Why a call failed, as the programs report it: "EFOpenError", "Cannot open file in.bin".
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
  bool operator==(const Summary&) const = default;
};

inline constexpr std::string_view DefaultNameId = "ZRQ-705";
inline constexpr std::string_view DefaultManufacturer = "Sarnveld";
// The longest image a container holds, and the longest buffer the memory functions take.
inline constexpr std::uint64_t MaxImageSize = 2147483646;

// Each below raises Error, nothing else (no memory: "EOutOfMemory"); names are cut at 15 bytes,
// and one that holds a zero byte is refused ("EError").
const char* Version() noexcept;

// Packs the file plainfile into the container hexfile, as sarnveld2hex does.
void PackFile(const std::string& plainfile, const std::string& hexfile,
              std::string_view nameId = DefaultNameId,
              std::string_view manufacturer = DefaultManufacturer);

// Checks the container hexfile and, given a plainfile, writes the image there, as hex2plain.
Summary UnpackFile(const std::string& hexfile,
                   const std::optional<std::string>& plainfile = std::nullopt);

// Memory for a run's result, asked for once with the bytes it needs; a short span: EBufferTooSmall.
using Allocate = std::function<std::span<std::uint8_t>(std::uint64_t size)>;

// The same in memory, for at most MaxImageSize bytes.
std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> image,
                               std::string_view nameId = DefaultNameId,
                               std::string_view manufacturer = DefaultManufacturer);
// Packs into memory that `allocate` (not empty) gives for the container's exact size.
void Pack(std::span<const std::uint8_t> image, const Allocate& allocate,
          std::string_view nameId = DefaultNameId,
          std::string_view manufacturer = DefaultManufacturer);
// Checks a container and decodes its image into `image`, resized to fit it.
Summary Unpack(std::span<const std::uint8_t> container, std::vector<std::uint8_t>& image);
// Decodes into the caller's memory (its end, not the image's, bounds the writes); too small:
// "EBufferTooSmall". Summary::ImageSize is the image's size.
Summary UnpackInto(std::span<const std::uint8_t> container, std::span<std::uint8_t> image);
// Checks a container without keeping its image.
Summary Describe(std::span<const std::uint8_t> container);

// Decodes into memory `allocate` gives: for an image that fits the thread's memory (1 MiB at
// least), its exact size once the container is checked; else, once it outgrows that, the most the
// payload can decode to (up to eight times its size, at most MaxImageSize; untouched, it costs
// nothing where pages come one at a time). Summary::ImageSize says how much is the image.
Summary Unpack(std::span<const std::uint8_t> container, const Allocate& allocate);

// In a catch block: the failure as every face reports it (no memory EOutOfMemory, else EError).
Error CurrentError() noexcept;

// For a program that handles signals: removes every output a file run of this process is
// writing. Async-signal-safe; the process must end right after it (a run still going waits for
// that, so as not to report success).
void RemoveUnfinishedOutputs() noexcept;

// The system's text for errno (on Windows, GetLastError), as the library's messages give it.
std::string SystemErrorText(unsigned long code);

}  // namespace sarnveld
