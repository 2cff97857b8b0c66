// sarnveld.hpp: the C++20 face of libsarnveld, beside the C one of sarnveld.h: the same runs
// and failures, with exceptions, standard strings and vectors. The programs are built on it;
// the Windows DLL exports the C functions alone. docs/api.md describes both faces.
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
  bool operator==(const Summary&) const = default;
};

inline constexpr std::string_view DefaultNameId = "ZRQ-705";
inline constexpr std::string_view DefaultManufacturer = "Sarnveld";
// The longest image a container holds, and the longest the memory functions take: the
// packer's weights are signed 32-bit and the end marker weighs one more.
inline constexpr std::uint64_t MaxImageSize = 2147483646;

// Each function below raises Error on failure, and nothing else: running out of memory is
// Error "EOutOfMemory". Names longer than 15 bytes are cut.
const char* Version() noexcept;

// Packs the file plainfile into the container hexfile, as sarnveld2hex does.
void PackFile(const std::string& plainfile, const std::string& hexfile,
              std::string_view nameId = DefaultNameId,
              std::string_view manufacturer = DefaultManufacturer);

// Checks the container hexfile from end to end and, given a plainfile, writes the image
// there, as hex2plain does.
Summary UnpackFile(const std::string& hexfile,
                   const std::optional<std::string>& plainfile = std::nullopt);

// Memory for a run's result: called once with how many bytes it needs (for a container, its
// size; for an image, the most it can take, see Unpack), before it is made; returns where to
// make it. A span too short fails the call with EBufferTooSmall.
using Allocate = std::function<std::span<std::uint8_t>(std::uint64_t size)>;

// The same in memory, for at most MaxImageSize bytes.
std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> image,
                               std::string_view nameId = DefaultNameId,
                               std::string_view manufacturer = DefaultManufacturer);
// Packs into memory that `allocate` gives for the container's exact size, as sarnveld_pack
// does with malloc.
void Pack(std::span<const std::uint8_t> image, const Allocate& allocate,
          std::string_view nameId = DefaultNameId,
          std::string_view manufacturer = DefaultManufacturer);
// Checks a container and decodes its image into `image`, resized to fit it.
Summary Unpack(std::span<const std::uint8_t> container, std::vector<std::uint8_t>& image);
// Checks a container and decodes its image into the caller's memory: nothing is written past
// the end of `image` (bytes past the image's own end may be), and an image that does not fit
// is Error "EBufferTooSmall". Summary::ImageSize says how many bytes it holds.
Summary UnpackInto(std::span<const std::uint8_t> container, std::span<std::uint8_t> image);
// Checks a container without keeping its image.
Summary Describe(std::span<const std::uint8_t> container);

// Checks a container and decodes its image into memory that `allocate` gives, or nowhere when
// it is empty. It is called once the code table has been read, with the most bytes that the
// rest of the payload can decode to (up to eight times as many as it holds, and at most
// MaxImageSize): memory reserved, not touched, costs nothing where the system gives it a page
// at a time. The image may be shorter: Summary::ImageSize says.
Summary Unpack(std::span<const std::uint8_t> container, const Allocate& allocate);

// The failure being handled, as every face of the library reports it: an Error as it is,
// running out of memory as EOutOfMemory, anything else as EError. For a catch block.
Error CurrentError() noexcept;

// For a program that handles signals itself: removes every output that a file run of this
// process is writing, as a failed run would. Async-signal-safe; the process must end right
// after it (a run still going waits for that end, so that it cannot report success).
void RemoveUnfinishedOutputs() noexcept;

// The system's text for one of its error codes (errno; on Windows, GetLastError), as the
// library's messages give it.
std::string SystemErrorText(unsigned long code);

}  // namespace sarnveld
