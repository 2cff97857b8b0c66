// What the tests, the fuzz targets, the benchmarks and the device firmware's inputs share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pack/pack.h"
#include "unpack/decoder.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Text(const std::string& text) {
  return {text.begin(), text.end()};
}

// Uniform bytes, or with skew > 0 geometrically distributed ones: long codes for rare values.
Bytes RandomBytes(std::size_t size, unsigned seed, double skew = 0);
// Byte values 0 to count-1 occurring 1, 2, 3, 5, 8, ... times: the deepest code `count` bits.
Bytes FibonacciImage(int count);
// Like a microcontroller's flash: erased runs, code-like halfwords and noise; the same anywhere.
Bytes FlashImage(std::size_t size);

Bytes ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const Bytes& bytes);

// The container of `input`, default names: by the packer's passes, or the straightforward ones.
Bytes Pack(const Bytes& input, huff::TParallelism parallelism = {});
Bytes PackBitByBit(const Bytes& input);

// Containers the packer would never write. FixHeader makes PayloadSize and Checksum match what
// follows the header; Container puts `payload`, or `bits` ('0' and '1', spaces skipped, then
// zero fill), after a default header. Table: start bit, presence map, the entries of `codes`.
void FixHeader(Bytes& container);
Bytes Container(const Bytes& payload);
Bytes Container(std::string_view bits);
std::string Table(const std::map<int, std::string>& codes);
// The codes the packer gives the byte values of `image` and the end marker.
std::map<int, std::string> CodesOf(std::span<const std::uint8_t> image);

// What the device reader (the reference, written apart from the decoder) made of a container:
// its last call's status (finish's, or the first error), its sink's image, a promise it broke.
struct TDeviceOutcome {
  int Status = 0;
  Bytes Image;
  std::string Broken;
  bool operator==(const TDeviceOutcome&) const = default;
};

// Feeds `container` in pieces of pieces[0], pieces[1], ... bytes, over and over (none: whole),
// going on from a copy of the state after piece `copyAfter`; the sink answers nonzero on call
// `stopAfter` (0: never).
TDeviceOutcome DeviceDecode(const Bytes& container, std::span<const std::uint8_t> pieces = {},
                            std::size_t copyAfter = 0, std::size_t stopAfter = 0);

struct TRunOptions {
  std::string AppendTo{};  // standard output appended to this file, as `>>` does; empty: Output
  // Not on Windows: a file-size limit in bytes, when set, and NAME=value entries for the child.
  long long FileSizeLimit = -1;
  std::vector<std::string> Environment{};
};

struct TRunResult {
  int ExitCode = -1;  // -1 when a signal ended the child
  int Signal = 0;
  std::string Output;
};

// Runs program, standard input from /dev/null, under SARNVELD_TEST_WRAPPER when that is set
// (such as "valgrind --error-exitcode=99 -q").
TRunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const TRunOptions& options = {});

#ifdef _WIN32
inline const std::string NullDevice = "NUL", ExecutableSuffix = ".exe";
#else
inline const std::string NullDevice = "/dev/null", ExecutableSuffix = "";
#endif

// What each program prints first.
inline const std::string PackerBanner =
    "Sarnveld Memory to Hex Compressor\r\n"
    "Packs a raw memory image into a labelled Huffman-coded container\r\n";
inline const std::string UnpackerBanner =
    "Sarnveld Hex to Memory Decoder\r\n"
    "Checks a Huffman-coded container and unpacks the memory image it holds\r\n";

// All that a failed run prints after its banner: a bare LF ends the first line, one "." the
// message.
inline std::string FailureReport(const std::string& program, const std::string& kind,
                                 const std::string& message) {
  return "Exception " + kind + " in module " + program + ExecutableSuffix + " at 00000000.\n" +
         message + (message.ends_with(".") ? "" : ".") + "\r\n";
}

// A fresh directory under the system's temporary directory, removed by the destructor.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string operator/(const std::string& name) const { return Path + "/" + name; }
  const std::string& path() const { return Path; }

 private:
  std::string Path;
};

}  // namespace testing_support
