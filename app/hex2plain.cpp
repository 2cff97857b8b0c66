// hex2plain [options] hexfile [plainfile]
//
// Checks a container from end to end, shows what it holds and, given a plainfile, writes the
// memory image to it. Everything the program prints is written here; the library's run
// raises typed errors and never prints.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
#include "process.h"
#include "sarnveld.hpp"

namespace {

constexpr const char* Banner =
    "Sarnveld Hex to Memory Decoder\r\n"
    "Checks a Huffman-coded container and unpacks the memory image it holds\r\n";

constexpr const char* UsageLines =
    "Usage: hex2plain [options] hexfile [plainfile]\r\n"
    "\r\n"
    "  hexfile: the container to check and describe\r\n"
    "  plainfile: where to write the memory image; without it nothing is written\r\n"
    "  --json: print the description, or the failure, as one JSON object\r\n"
    "  -h, --help: show this text\r\n"
    "  --version: show the version\r\n"
    "  --: ends the options, for a file whose name begins with '-'\r\n";

// The name up to its zero fill; bytes outside printable ASCII, and the backslash that
// introduces the escapes, as \xNN.
std::string PrintableName(std::string_view name) {
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      text += c;
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

std::string Describe(const sarnveld::Summary& summary) {
  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "0x%08X", summary.Checksum);
  // An empty image has no codes at all, the end marker's included.
  const auto code = [&](int bits) { return bits == 0 ? std::string("none") : Count(bits, "bit"); };
  return "NameID: " + PrintableName(summary.NameId) + "\r\n" +
         "Manufacturer: " + PrintableName(summary.Manufacturer) + "\r\n" +
         "PayloadSize: " + std::to_string(summary.PayloadSize) + "\r\n" +
         "Checksum: " + std::to_string(summary.Checksum) + " (" + checksum + ")\r\n" +
         "Image size: " + Count(summary.ImageSize, "byte") + "\r\n" +
         "Byte values with codes: " + std::to_string(summary.CodedByteValues) + "\r\n" +
         "Shortest code: " + code(summary.ShortestCode) + "\r\n" +
         "Longest code: " + code(summary.LongestCode) + "\r\n";
}

// The length of the well-formed UTF-8 character that text begins with (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t Utf8Length(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  // Per lead byte: the length, and the range of the second byte.
  struct TForm {
    unsigned char First, Last;
    std::size_t Length;
    unsigned char Low, High;
  };
  static constexpr TForm Forms[] = {
      {0x00, 0x7F, 1, 0, 0},       {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
      {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF},
      {0xF0, 0xF0, 4, 0x90, 0xBF}, {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};
  for (const TForm& form : Forms) {
    if (at(0) < form.First || at(0) > form.Last)
      continue;
    if (form.Length == 1)
      return 1;
    if (text.size() < form.Length || at(1) < form.Low || at(1) > form.High)
      return 0;
    for (std::size_t i = 2; i < form.Length; ++i)
      if ((at(i) & 0xC0) != 0x80)
        return 0;
    return form.Length;
  }
  return 0;
}

// A JSON string: UTF-8 where the bytes are well-formed, each other byte as \u00XX.
std::string JsonString(std::string_view bytes) {
  std::string text = "\"";
  for (std::size_t at = 0; at < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[at]);
    const std::size_t length = Utf8Length(bytes.substr(at));
    if (length == 0 || byte < 0x20) {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      text += escape;
      ++at;
    } else {
      if (byte == '"' || byte == '\\')
        text += '\\';
      text.append(bytes.substr(at, length));
      at += length;
    }
  }
  return text + '"';
}

std::string Hex(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
    text += digits;
  }
  return text;
}

std::string Json(const sarnveld::Summary& summary) {
  const auto number = [](std::uint64_t value) { return std::to_string(value); };
  return "{\"ok\": true, \"name_id\": " + JsonString(summary.NameId) + ", \"name_id_hex\": \"" +
         Hex(summary.NameId) + "\", \"manufacturer\": " + JsonString(summary.Manufacturer) +
         ", \"manufacturer_hex\": \"" + Hex(summary.Manufacturer) +
         "\", \"payload_size\": " + number(summary.PayloadSize) +
         ", \"checksum\": " + number(summary.Checksum) +
         ", \"image_size\": " + number(summary.ImageSize) +
         ", \"coded_byte_values\": " + number(summary.CodedByteValues) +
         ", \"shortest_code\": " + number(summary.ShortestCode) +
         ", \"longest_code\": " + number(summary.LongestCode) + "}\r\n";
}

std::string JsonFailure(const std::string& kind, const std::string& message) {
  return "{\"ok\": false, \"kind\": " + JsonString(kind) + ", \"message\": " + JsonString(message) +
         "}\r\n";
}

int Run(const std::vector<std::string>& arguments, bool& json) {
  // The options may stand anywhere before "--"; "-" alone is a file name.
  std::vector<std::string> paths;
  bool optionsEnded = false;
  for (const std::string& argument : arguments) {
    const bool option = !optionsEnded && argument.size() > 1 && argument[0] == '-';
    if (!option) {
      paths.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--json") {
      json = true;
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
  if (!json)
    app::WriteConsole(Banner);
  const sarnveld::Summary summary =
      sarnveld::UnpackFile(paths[0], paths.size() == 2 ? std::optional(paths[1]) : std::nullopt);
  // The image is complete: a failure from here on no longer removes it.
  app::WriteConsole(json ? Json(summary) : Describe(summary) + "Ok\r\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  const app::TReportFormat jsonFailure = [&](const std::string& kind, const std::string& message) {
    return json ? JsonFailure(kind, message)
                : app::FailureReport(kind, message, argc > 0 ? argv[0] : nullptr);
  };
  return app::RunMain(
      argc, argv, [&](const std::vector<std::string>& arguments) { return Run(arguments, json); },
      /*keepEmpty=*/true, jsonFailure);
}
