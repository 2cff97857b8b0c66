// Whole-program tests: they run the built hex2plain on real files and check the console bytes,
// the exit code and the files left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

const std::string& Banner = UnpackerBanner;

// What a successful run prints for a container of these figures.
std::string Summary(const std::string& name, const std::string& payload,
                    const std::string& checksum, const std::string& image, const std::string& codes,
                    const std::string& shortest, const std::string& longest) {
  return Banner + "NameID: " + name + "\r\nManufacturer: Sarnveld\r\nPayloadSize: " + payload +
         "\r\nChecksum: " + checksum + "\r\nImage size: " + image +
         "\r\nByte values with codes: " + codes + "\r\nShortest code: " + shortest +
         "\r\nLongest code: " + longest + "\r\nOk\r\n";
}

std::string Failure(const std::string& kind, const std::string& message) {
  return Banner + FailureReport("hex2plain", kind, message);
}

// The container of `input`, with `nameId` in place of the default, written to dir/file.
std::string Container(const TTempDir& dir, const std::string& file, const Bytes& input,
                      const std::string& nameId = "ZRQ-705") {
  Bytes container = Pack(input);
  std::fill_n(container.begin(), 16, 0);
  std::copy(nameId.begin(), nameId.end(), container.begin());
  WriteWholeFile(dir / file, container);
  return dir / file;
}

// What --json prints for a container of these figures, from payload_size to longest_code;
// `name` as a JSON string.
std::string JsonSummary(const std::string& name, const std::string& nameHex,
                        const std::vector<int>& figures) {
  const char* const keys[] = {"payload_size",      "checksum",      "image_size",
                              "coded_byte_values", "shortest_code", "longest_code"};
  std::string text = R"({"ok": true, "name_id": )" + name + R"(, "name_id_hex": ")" + nameHex +
                     R"(", "manufacturer": "Sarnveld", "manufacturer_hex": "5361726e76656c64")";
  for (std::size_t i = 0; i < figures.size(); ++i)
    text += ", \"" + std::string(keys[i]) + "\": " + std::to_string(figures[i]);
  return text + "}\r\n";
}

// Help, version, usage; "--" ends the options. Refusals and a damaged container leave an
// existing plainfile as it was; a sound container is described and its image replaces it.
// Name bytes outside printable ASCII, and the backslash, print as \xNN; --json prints one
// object, the names as UTF-8 where they are that, other bytes as \u00XX, and in hex.
TEST(Hex2plain, EachRunPrintsWhatItFoundAndLeavesOnlyACompleteImage) {
  TTempDir dir;
  const std::string hex = Container(dir, "abc.hex", Text("abc")), bad = dir / "bad.hex",
                    empty = Container(dir, "empty.hex", {});
  // Names: UTF-8, a control character, the backslash, the quote; then not UTF-8: a lone 0xFF,
  // a lead byte without its follower, a surrogate's three bytes.
  const std::string names =
      Container(dir, "names.hex", Text("a"), "\xC3\xA9 \x01\\\"\xFF\xC3(\xED\xA0\x80");
  const Bytes container = ReadWholeFile(hex);
  Bytes damaged = container;
  damaged[40] ^= 0x80;  // the start bit: the checksum is reported all the same
  WriteWholeFile(bad, damaged);
  const std::string usage =
      Banner +
      "Usage: hex2plain [options] hexfile [plainfile]\r\n"
      "\r\n"
      "  hexfile: the container to check and describe\r\n"
      "  plainfile: where to write the memory image; without it nothing is "
      "written\r\n"
      "  --json: print the description, or the failure, as one JSON object\r\n"
      "  -h, --help: show this text\r\n"
      "  --version: show the version\r\n"
      "  --: ends the options, for a file whose name begins with '-'\r\n";
  const std::string out = dir / "out", help = dir / "--help", same = dir.path() + "/./abc.hex";
  const std::string invalid = Failure("EError", "Invalid Filename");
  const std::string sum = "Container " + bad +
                          " is damaged: its payload's bytes sum to 436, but "
                          "Checksum (byte 36) is 564";
  std::string jsonSum = sum;  // as a JSON string: a Windows path holds backslashes
  for (std::size_t at = 0; (at = jsonSum.find('\\', at)) != std::string::npos; at += 2)
    jsonSum.insert(at, 1, '\\');
  const std::string abc =
      Summary("ZRQ-705", "38", "564 (0x00000234)", "3 bytes", "3", "2 bits", "2 bits");
  const std::string zrq = "\"ZRQ-705\"", zrqHex = "5a52512d373035";
  const struct {
    std::vector<std::string> Arguments;
    int ExitCode;
    std::string Output;
    std::optional<Bytes> Out = Text("previous");  // what dir/out holds after the run
  } cases[] = {
      {{}, 0, usage},
      {{hex, out, "extra"}, 0, usage},
      {{hex, "--help", out}, 0, usage},
      {{"--version"}, 0, "hex2plain " SARNVELD_VERSION "\r\n"},
      {{hex, "-x", out}, 1, usage + "Unknown option: -x\r\n"},
      {{"--", hex, help}, 1, Failure("EFCreateError", "Cannot create file " + help)},
      {{"--", "-h", out}, 1, invalid},
      {{""}, 1, invalid},
      {{hex, ""}, 1, invalid},
      {{dir.path(), out}, 1, invalid},
      {{hex, same}, 1, Failure("EFCreateError", "Cannot create file " + same)},
      {{bad, out}, 1, Failure("EBadContainer", sum)},
      {{bad, "--json", out},
       1,
       R"({"ok": false, "kind": "EBadContainer", "message": ")" + jsonSum + "\"}\r\n"},
      {{hex}, 0, abc},
      {{hex, NullDevice}, 0, abc},
      {{hex, out}, 0, abc, Text("abc")},
      {{"--json", hex}, 0, JsonSummary(zrq, zrqHex, {38, 564, 3, 3, 2, 2})},
      {{empty, out},
       0,
       Summary("ZRQ-705", "33", "128 (0x00000080)", "0 bytes", "0", "none", "none"),
       Bytes{}},
      {{names, out},
       0,
       Summary("\\xC3\\xA9 \\x01\\x5C\"\\xFF\\xC3(\\xED\\xA0\\x80", "35", "162 (0x000000A2)",
               "1 byte", "1", "1 bit", "1 bit"),
       Text("a")},
      {{"--json", names},
       0,
       JsonSummary("\"\xC3\xA9 \\u0001\\\\\\\"\\u00ff\\u00c3(\\u00ed\\u00a0\\u0080\"",
                   "c3a920015c22ffc328eda080", {35, 162, 1, 1, 1, 1})},
  };
  fs::create_directory(help);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Arguments));
    WriteWholeFile(out, Text("previous"));
    const TRunResult result = RunProgram(HEX2PLAIN_PATH, c.Arguments);
    EXPECT_EQ(result.ExitCode, c.ExitCode);
    EXPECT_EQ(result.Output, c.Output);
    EXPECT_EQ(Exists(out), c.Out.has_value());
    EXPECT_TRUE(!c.Out || ReadWholeFile(out) == *c.Out);
    EXPECT_EQ(ReadWholeFile(hex), container);
  }
  // Nothing else was left: the containers, out and the folder --help.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 6);
}

}  // namespace
