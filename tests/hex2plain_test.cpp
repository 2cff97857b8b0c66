// Whole-program tests: they run the built hex2plain (and sarnveld2hex, to make containers) on
// real files and check the console bytes, the exit code and the files left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::Exists;
using testing_support::ReadWholeFile;
using testing_support::Text;
using testing_support::TRunResult;
using testing_support::TTempDir;
using testing_support::WriteWholeFile;

const std::string Banner =
    "Sarnveld Hex to Memory Decoder\r\n"
    "Checks a Huffman-coded container and unpacks the memory image it holds\r\n";

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
  return Banner + testing_support::FailureReport("hex2plain", kind, message);
}

TRunResult Unpack(const std::vector<std::string>& arguments,
                  const testing_support::TRunOptions& options = {}) {
  return testing_support::RunProgram(HEX2PLAIN_PATH, arguments, options);
}

// Packs `input` into dir/in.hex with sarnveld2hex; a name given is written into the header.
std::string Pack(const TTempDir& dir, const Bytes& input, const std::string& nameId = "") {
  WriteWholeFile(dir / "plain.in", input);
  EXPECT_EQ(
      testing_support::RunProgram(SARNVELD2HEX_PATH, {dir / "plain.in", dir / "in.hex", "-", "-"})
          .ExitCode,
      0);
  Bytes container = ReadWholeFile(dir / "in.hex");
  if (!nameId.empty()) {
    std::fill_n(container.begin(), 16, 0);
    std::copy(nameId.begin(), nameId.end(), container.begin());
    WriteWholeFile(dir / "in.hex", container);
  }
  return dir / "in.hex";
}

// The members of the one flat object that --json prints, CR LF ended, each value as written.
std::map<std::string, std::string> ParseJson(const std::string& text) {
  static const std::regex member(R"re("(\w+)": ("(?:[^"\\\x00-\x1F]|\\.)*"|true|false|\d+))re");
  std::map<std::string, std::string> fields;
  std::string members;
  for (std::sregex_iterator it(text.begin(), text.end(), member), end; it != end; ++it) {
    members += (members.empty() ? "" : ", ") + it->str();
    fields[(*it)[1]] = (*it)[2];
  }
  EXPECT_EQ(text, "{" + members + "}\r\n");
  return fields;
}

// Help and version answer with exit 0, an unknown option with the usage and exit 1, and
// none of them touches a file; "--" ends the options. An empty name, a missing hexfile or a
// directory is refused, and so is a plainfile that names the hexfile, and a damaged container
// (reported as text, or with --json as JSON): no image is left, and the hexfile stays.
TEST(Hex2plain, AnswersAndFailuresLeaveNoImageAndTheHexfileAsItWas) {
  TTempDir dir;
  const std::string hex = Pack(dir, Text("abc")), bad = dir / "bad.hex";
  const Bytes container = ReadWholeFile(hex);
  Bytes damaged = container;
  damaged[40] ^= 0x80;  // the start bit: the checksum is reported all the same
  WriteWholeFile(bad, damaged);
  const std::string usage = Banner +
                            "Usage: hex2plain [options] hexfile [plainfile]\r\n"
                            "\r\n"
                            "  hexfile: the container to check and describe\r\n"
                            "  plainfile: where to write the memory image; without it nothing is "
                            "written\r\n"
                            "  -h, --help: show this text\r\n"
                            "  --version: show the version\r\n"
                            "  --: ends the options, for a file whose name begins with '-'\r\n";
  const std::string out = dir / "out", help = dir / "--help", same = dir.path() + "/./in.hex";
  const std::string invalid = Failure("EError", "Invalid Filename");
  const std::string sum = "Container " + bad +
                          " is damaged: its payload's bytes sum to 436, but "
                          "Checksum (byte 36) is 564";
  const struct {
    std::vector<std::string> Arguments;
    int ExitCode;
    std::string Output;
  } cases[] = {
      {{}, 0, usage},
      {{hex, out, "extra"}, 0, usage},
      {{"", "", ""}, 0, usage},
      {{hex, "--help", out}, 0, usage},
      {{"--version"}, 0, "hex2plain " SARNVELD_VERSION "\r\n"},
      {{hex, "-x", out}, 1, usage + "Unknown option: -x\r\n"},
      {{"--", hex, help}, 1, Failure("EFCreateError", "Cannot create file " + help)},
      {{"--", "-h"}, 1, invalid},
      {{""}, 1, invalid},
      {{hex, ""}, 1, invalid},
      {{dir.path(), out}, 1, invalid},
      {{hex, same}, 1, Failure("EFCreateError", "Cannot create file " + same)},
      {{bad, out}, 1, Failure("EBadContainer", sum)},
      {{bad, "--json", out},
       1,
       R"({"ok": false, "kind": "EBadContainer", "message": ")" + sum + "\"}\r\n"},
      {{"--json", dir / "missing"},
       1,
       R"({"ok": false, "kind": "EError", "message": "Invalid Filename"})"
       "\r\n"},
  };
  fs::create_directory(help);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Arguments));
    const TRunResult result = Unpack(c.Arguments);
    EXPECT_EQ(result.ExitCode, c.ExitCode);
    EXPECT_EQ(result.Output, c.Output);
    EXPECT_TRUE(!c.Output.starts_with("{") || ParseJson(result.Output).at("ok") == "false");
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(ReadWholeFile(hex), container);
  }
}

// Without a plainfile the container is only checked and described; with one, the image is
// written there, replacing what it held. Name bytes outside printable ASCII and the
// backslash are escaped. --json gives the same figures, a name as UTF-8 where it is that and
// each other byte as \u00XX, and its bytes in hex.
TEST(Hex2plainSuccess, TheContainerIsDescribedAndItsImageWrittenWhereAsked) {
  const std::string abc =
      Summary("ZRQ-705", "38", "564 (0x00000234)", "3 bytes", "3", "2 bits", "2 bits");
  const std::string zrq = R"("ZRQ-705" "5a52512d373035")";
  const struct {
    Bytes Input;
    std::string NameId;     // empty: the default
    std::string Plainfile;  // "out": dir/out, which holds "previous"
    std::string Output;     // empty: any description
    std::string Json;       // name_id and name_id_hex as --json gives them
  } cases[] = {
      {Text("abc"), "", "", abc, zrq},
      {Text("abc"), "", testing_support::NullDevice, abc, zrq},
      {{},
       "",
       "out",
       Summary("ZRQ-705", "33", "128 (0x00000080)", "0 bytes", "0", "none", "none"),
       zrq},
      {Text("a"), "\xC3\xBF\x01\xC3\xA9 a\\b~", "out",
       Summary("\\xC3\\xBF\\x01\\xC3\\xA9 a\\x5Cb~", "35", "162 (0x000000A2)", "1 byte", "1",
               "1 bit", "1 bit"),
       "\"\xC3\xBF\\u0001\xC3\xA9 a\\\\b~\" \"c3bf01c3a920615c627e\""},
      // Not UTF-8: a lone 0xFF, a lead byte without its follower, a surrogate's three bytes.
      {Text("a"), "\xFF\xC3(\xED\xA0\x80\"", "out",
       Summary("\\xFF\\xC3(\\xED\\xA0\\x80\"", "35", "162 (0x000000A2)", "1 byte", "1", "1 bit",
               "1 bit"),
       R"("\u00ff\u00c3(\u00ed\u00a0\u0080\"" "ffc328eda08022")"},
      {testing_support::RandomBytes(100000, 7), "", "out", "", zrq}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Plainfile + " " + c.Json);
    TTempDir dir;
    const std::string hex = Pack(dir, c.Input, c.NameId);
    WriteWholeFile(dir / "out", Text("previous"));
    const std::string plainfile = c.Plainfile == "out" ? dir / "out" : c.Plainfile;
    std::vector<std::string> arguments{hex};
    if (!plainfile.empty())
      arguments.push_back(plainfile);
    const TRunResult result = Unpack(arguments);
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, c.Output.empty() ? result.Output : c.Output);
    EXPECT_TRUE(result.Output.ends_with("Ok\r\n"));
    EXPECT_TRUE(ReadWholeFile(dir / "out") == (c.Plainfile == "out" ? c.Input : Text("previous")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 3);

    arguments.insert(arguments.begin(), "--json");
    const auto json = ParseJson(Unpack(arguments).Output);
    EXPECT_EQ(json.size(), 11u);
    EXPECT_EQ(json.at("ok") + json.at("manufacturer") + json.at("manufacturer_hex"),
              R"(true"Sarnveld""5361726e76656c64")");
    EXPECT_EQ(json.at("name_id") + " " + json.at("name_id_hex"), c.Json);
    for (const auto& [label, key] : {std::pair{"PayloadSize: ", "payload_size"},
                                     {"Checksum: ", "checksum"},
                                     {"Image size: ", "image_size"},
                                     {"Byte values with codes: ", "coded_byte_values"},
                                     {"Shortest code: ", "shortest_code"},
                                     {"Longest code: ", "longest_code"}}) {
      const std::size_t at = result.Output.find(label) + std::strlen(label);
      const std::size_t end = result.Output.find_first_not_of("0123456789", at);
      EXPECT_EQ(json.at(key), end == at ? "0" : result.Output.substr(at, end - at));  // "none"
    }
  }
}

}  // namespace
