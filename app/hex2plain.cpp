// hex2plain [options] hexfile [plainfile]
//
// Checks a container from end to end, shows what it holds and, given a plainfile, writes the
// memory image to it. Everything the program prints is written here; the module below it
// raises typed errors and never prints.
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "console.h"
#include "container/container.h"
#include "file/file.h"
#include "process.h"
#include "unpack/decoder.h"

namespace {

constexpr const char* Banner =
    "Sarnveld Hex to Memory Decoder\r\n"
    "Checks a Huffman-coded container and unpacks the memory image it holds\r\n";

constexpr const char* UsageLines =
    "Usage: hex2plain [options] hexfile [plainfile]\r\n"
    "\r\n"
    "  hexfile: the container to check and describe\r\n"
    "  plainfile: where to write the memory image; without it nothing is written\r\n"
    "  -h, --help: show this text\r\n"
    "  --version: show the version\r\n"
    "  --: ends the options, for a file whose name begins with '-'\r\n";

struct TFiles {
  std::unique_ptr<huff::TFile> Container;
  std::unique_ptr<huff::TStream> Image;
};

// The name up to its zero fill; bytes outside printable ASCII, and the backslash that
// introduces the escapes, as \xNN.
std::string PrintableName(const std::array<std::uint8_t, huff::NameFieldSize>& field) {
  std::string text;
  for (const std::uint8_t byte : field) {
    if (byte == 0)
      break;
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      text += escape;
    }
  }
  return text;
}

std::string Count(std::uint64_t count, const char* unit) {
  return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

std::string Describe(const huff::TContainerSummary& summary) {
  const huff::TContainerHeader& header = summary.Header;
  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "0x%08X", header.Checksum);
  // An empty image has no codes at all, the end marker's included.
  const auto code = [&](int bits) { return bits == 0 ? std::string("none") : Count(bits, "bit"); };
  return "NameID: " + PrintableName(header.NameID) + "\r\n" +
         "Manufacturer: " + PrintableName(header.Manufacturer) + "\r\n" +
         "PayloadSize: " + std::to_string(header.PayloadSize) + "\r\n" +
         "Checksum: " + std::to_string(header.Checksum) + " (" + checksum + ")\r\n" +
         "Image size: " + Count(summary.ImageSize, "byte") + "\r\n" +
         "Byte values with codes: " + std::to_string(summary.CodedByteValues) + "\r\n" +
         "Shortest code: " + code(summary.ShortestCode) + "\r\n" +
         "Longest code: " + code(summary.LongestCode) + "\r\n";
}

int Run(const std::vector<std::string>& arguments, TFiles& files) {
  // The options may stand anywhere before "--"; "-" alone is a file name.
  std::vector<std::string> paths;
  bool optionsEnded = false;
  for (const std::string& argument : arguments) {
    const bool option = !optionsEnded && argument.size() > 1 && argument[0] == '-';
    if (!option) {
      paths.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "-h" || argument == "--help") {
      app::WriteConsole(std::string(Banner) + UsageLines);
      return 0;
    } else if (argument == "--version") {
      app::WriteConsole("hex2plain " SARNVELD_VERSION "\r\n");
      return 0;
    } else {
      app::WriteConsole(std::string(Banner) + UsageLines + "Unknown option: " + argument + "\r\n");
      return 1;
    }
  }
  if (paths.empty() || paths.size() > 2) {
    app::WriteConsole(std::string(Banner) + UsageLines);
    return 0;
  }
  app::WriteConsole(Banner);
  const std::string& hexfile = paths[0];
  // An empty name is refused, not dropped: `hex2plain c.hex "$OUT"` must not pass for a check.
  if (huff::ProbePath(hexfile) != huff::TPathKind::Existing ||
      (paths.size() == 2 && paths[1].empty()))
    throw huff::EError("Invalid Filename");
  files.Container = huff::TFile::OpenForReading(hexfile);
  // The image is written as it is decoded: with a second core, the decoder's worker goes on
  // decoding ahead while the image is written.
  if (paths.size() == 2)
    files.Image = huff::TFile::CreateForWriting(paths[1], files.Container.get());

  const huff::TContainerSummary summary =
      huff::DecodeContainer(*files.Container, files.Image.get());
  if (files.Image)
    files.Image->Close();
  files.Container->Close();
  files.Container.reset();
  // The image is complete: a failure from here on no longer removes it.
  files.Image.reset();
  app::WriteConsole(Describe(summary) + "Ok\r\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TFiles files;
  return app::RunMain(
      argc, argv, [&](const std::vector<std::string>& arguments) { return Run(arguments, files); },
      [&] {
        if (files.Image)
          files.Image->Abandon();
        if (files.Container)
          files.Container->Abandon();
      },
      /*keepEmpty=*/true);
}
