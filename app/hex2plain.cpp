// hex2plain [options] hexfile [plainfile]: checks and describes a container and, given
// plainfile, writes its image there. All it prints is here.
#include <cstdio>

#include "console.h"

namespace {

constexpr const char* Banner =
    "Sarnveld Hex to Memory Decoder\r\n"
    "Checks a Huffman-coded container and unpacks the memory image it holds\r\n";

const std::string Usage =
    std::string(Banner) +
    "Usage: hex2plain [options] hexfile [plainfile]\r\n"
    "\r\n"
    "  hexfile: the container to check and describe\r\n"
    "  plainfile: where to write the memory image; without it nothing is written\r\n"
    "  --json: print the description, or the failure, as one JSON object\r\n"
    "  -h, --help: show this text\r\n"
    "  --version: show the version\r\n"
    "  --: ends the options, for a file whose name begins with '-'\r\n";

// The length of the character text begins with when a JSON string may hold it as it is: a
// well-formed UTF-8 one (RFC 3629) but not a control character; else 0.
std::size_t JsonPlainLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80)
    return lead >= 0x20;
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC2 || lead > 0xF4 || text.size() < length)
    return 0;
  std::uint32_t point = lead & (0x7Fu >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
      return 0;
    point = point << 6 | (static_cast<unsigned char>(text[i]) & 0x3F);
  }
  static constexpr std::uint32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid =
      point >= Least[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
  return valid ? length : 0;
}

// Each run that `plain` takes (its length, or 0) as it is, `quoted` after a backslash, each other
// byte as `escape` prints it.
std::string Escaped(std::string_view bytes, const char* escape,
                    std::size_t (*plain)(std::string_view), std::string_view quoted = {}) {
  std::string text;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = plain(bytes.substr(at));
    if (length == 0) {
      char code[8];
      std::snprintf(code, sizeof code, escape, static_cast<unsigned char>(bytes[at++]));
      text += code;
      continue;
    }
    if (quoted.find(bytes[at]) != std::string_view::npos)
      text += '\\';
    text.append(bytes.substr(at, length));
    at += length;
  }
  return text;
}

// The name, with bytes outside printable ASCII, and the backslash, as \xNN.
std::string PrintableName(std::string_view name) {
  return Escaped(name, "\\x%02X", [](std::string_view text) -> std::size_t {
    const auto byte = static_cast<unsigned char>(text[0]);
    return byte >= 0x20 && byte < 0x7F && byte != '\\';
  });
}

// A JSON string: UTF-8 where the bytes are well-formed, each other byte as \u00XX.
std::string JsonString(std::string_view bytes) {
  return '"' + Escaped(bytes, "\\u%04x", JsonPlainLength, "\"\\") + '"';
}

std::string Hex(std::string_view bytes) {
  return Escaped(bytes, "%02x", [](std::string_view) -> std::size_t { return 0; });
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

std::string Json(const sarnveld::Summary& summary) {
  return "{\"ok\": true, \"name_id\": " + JsonString(summary.NameId) + ", \"name_id_hex\": \"" +
         Hex(summary.NameId) + "\", \"manufacturer\": " + JsonString(summary.Manufacturer) +
         ", \"manufacturer_hex\": \"" + Hex(summary.Manufacturer) +
         "\", \"payload_size\": " + std::to_string(summary.PayloadSize) +
         ", \"checksum\": " + std::to_string(summary.Checksum) +
         ", \"image_size\": " + std::to_string(summary.ImageSize) +
         ", \"coded_byte_values\": " + std::to_string(summary.CodedByteValues) +
         ", \"shortest_code\": " + std::to_string(summary.ShortestCode) +
         ", \"longest_code\": " + std::to_string(summary.LongestCode) + "}\r\n";
}

std::string JsonFailure(const sarnveld::Error& failure) {
  return "{\"ok\": false, \"kind\": " + JsonString(failure.Kind()) +
         ", \"message\": " + JsonString(failure.Message()) + "}\r\n";
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
      app::WriteConsole(Usage);
      return 0;
    } else if (argument == "--version") {
      app::WriteConsole("hex2plain " SARNVELD_VERSION "\r\n");
      return 0;
    } else {
      app::WriteConsole(Usage + "Unknown option: " + argument + "\r\n");
      return 1;
    }
  }
  if (paths.empty() || paths.size() > 2) {
    app::WriteConsole(Usage);
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
  const auto run = [&](const std::vector<std::string>& arguments) { return Run(arguments, json); };
  const auto report = [&](const sarnveld::Error& failure) {
    return json ? JsonFailure(failure) : app::FailureReport(failure, argc > 0 ? argv[0] : nullptr);
  };
  return app::RunMain(argc, argv, run, /*keepEmpty=*/true, report);
}
