// Whole-program tests: they run the built hex2plain (and sarnveld2hex, to make containers) on
// real files and check the console bytes, the exit code and the files left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::Exists;
using testing_support::IsCharDevice;
using testing_support::NullDevice;
using testing_support::RandomBytes;
using testing_support::ReadWholeFile;
using testing_support::RunProgram;
using testing_support::Text;
using testing_support::TRunOptions;
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

TRunResult Unpack(const std::vector<std::string>& arguments, const TRunOptions& options = {}) {
  return RunProgram(HEX2PLAIN_PATH, arguments, options);
}

// Packs `input` into dir/in.hex with sarnveld2hex.
std::string Pack(const TTempDir& dir, const Bytes& input, const std::string& nameId = "-") {
  WriteWholeFile(dir / "plain.in", input);
  EXPECT_EQ(RunProgram(SARNVELD2HEX_PATH, {dir / "plain.in", dir / "in.hex", nameId, "-"}).ExitCode,
            0);
  return dir / "in.hex";
}

// Help and version answer with exit 0, an unknown option with the usage and exit 1, and
// none of them touches a file; "--" ends the options, and an empty name is refused.
TEST(Hex2plainCommandLine, OptionsAndArgumentCountsAreAnsweredBeforeAnyFileIsTouched) {
  TTempDir dir;
  const std::string hex = Pack(dir, Text("abc"));
  const std::string usage = Banner +
                            "Usage: hex2plain [options] hexfile [plainfile]\r\n"
                            "\r\n"
                            "  hexfile: the container to check and describe\r\n"
                            "  plainfile: where to write the memory image; without it nothing is "
                            "written\r\n"
                            "  -h, --help: show this text\r\n"
                            "  --version: show the version\r\n"
                            "  --: ends the options, for a file whose name begins with '-'\r\n";
  const std::string out = dir / "out", help = dir / "--help";
  const struct {
    std::vector<std::string> Arguments;
    int ExitCode;
    std::string Output;
  } cases[] = {
      {{}, 0, usage},
      {{hex, out, "extra"}, 0, usage},
      {{"", "", ""}, 0, usage},
      {{"-h"}, 0, usage},
      {{hex, "--help", out}, 0, usage},
      {{"--version"}, 0, "hex2plain " SARNVELD_VERSION "\r\n"},
      {{hex, "-x", out}, 1, usage + "Unknown option: -x\r\n"},
      {{"--", hex, help}, 1, Failure("EFCreateError", "Cannot create file " + help)},
      {{"--", "-h"}, 1, Failure("EError", "Invalid Filename")},
      {{""}, 1, Failure("EError", "Invalid Filename")},
      {{hex, ""}, 1, Failure("EError", "Invalid Filename")},
  };
  fs::create_directory(help);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Arguments));
    const TRunResult result = Unpack(c.Arguments);
    EXPECT_EQ(result.ExitCode, c.ExitCode);
    EXPECT_EQ(result.Output, c.Output);
    EXPECT_FALSE(Exists(out));
  }
}

// Without a plainfile the container is only checked and described; with one, the image is
// written there, replacing what it held. Name bytes outside printable ASCII and the
// backslash are escaped.
TEST(Hex2plainSuccess, TheContainerIsDescribedAndItsImageWrittenWhereAsked) {
  const std::string abc =
      Summary("ZRQ-705", "38", "564 (0x00000234)", "3 bytes", "3", "2 bits", "2 bits");
  const struct {
    Bytes Input;
    std::string NameId;
    std::string Plainfile;  // "out": dir/out, which holds "previous"
    std::string Output;     // empty: any description
  } cases[] = {{Text("abc"), "-", "", abc},
               {Text("abc"), "-", NullDevice, abc},
               {Text("abc"), "-", "out", abc},
               {{},
                "-",
                "out",
                Summary("ZRQ-705", "33", "128 (0x00000080)", "0 bytes", "0", "none", "none")},
               // UTF-8, which a Windows command line can pass.
               {Text("a"), "\xC3\xBF\x01\xC3\xA9 a\\b~", "out",
                Summary("\\xC3\\xBF\\x01\\xC3\\xA9 a\\x5Cb~", "35", "162 (0x000000A2)", "1 byte",
                        "1", "1 bit", "1 bit")},
               {Bytes(70000, 0xFF), "-", "out", ""},
               {RandomBytes(100000, 7), "-", "out", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Plainfile);
    TTempDir dir;
    const std::string hex = Pack(dir, c.Input, c.NameId);
    WriteWholeFile(dir / "out", Text("previous"));
    const std::string plainfile = c.Plainfile == "out" ? dir / "out" : c.Plainfile;
    const TRunResult result =
        Unpack(plainfile.empty() ? std::vector{hex} : std::vector{hex, plainfile});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, c.Output.empty() ? result.Output : c.Output);
    EXPECT_TRUE(result.Output.ends_with("Ok\r\n"));
    EXPECT_TRUE(ReadWholeFile(dir / "out") == (c.Plainfile == "out" ? c.Input : Text("previous")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 3);
  }
  EXPECT_TRUE(IsCharDevice(NullDevice));
}

TEST(Hex2plainFailure, ACorruptContainerIsReportedAndItsIncompleteImageRemoved) {
  TTempDir dir;
  const std::string hex = Pack(dir, RandomBytes(200000, 3, 0.3));
  Bytes damaged = ReadWholeFile(hex);
  damaged[damaged.size() - 1000] ^= 0x10;  // past the first blocks of the image
  WriteWholeFile(hex, damaged);
  WriteWholeFile(dir / "out", Text("previous"));
  const TRunResult result = Unpack({hex, dir / "out"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_TRUE(result.Output.starts_with(
      Banner + testing_support::FailureReportStart(
                   "hex2plain", "EBadContainer",
                   "Container " + hex + " is damaged: its payload's bytes sum to ")))
      << result.Output;
  EXPECT_TRUE(result.Output.ends_with(".\r\n"));
  EXPECT_FALSE(Exists(dir / "out"));
}

// A hexfile that is missing or a directory, or a plainfile naming the hexfile by any name, is
// refused before anything is created or truncated.
TEST(Hex2plainFailure, AnUnusableFileIsReportedAndTheHexfileKept) {
  TTempDir dir;
  const std::string hex = Pack(dir, RandomBytes(10000, 4, 0.3));
  const Bytes container = ReadWholeFile(hex);
  fs::create_hard_link(hex, dir / "hard");
  const std::string out = dir / "out";
  std::vector<std::pair<std::string, std::string>> cases = {{dir / "missing", out},
                                                            {dir.path(), out},
                                                            {hex, hex},
                                                            {hex, dir.path() + "/./in.hex"},
                                                            {hex, dir / "hard"}};
#ifndef _WIN32
  fs::create_symlink(hex, dir / "soft");
  cases.emplace_back(hex, dir / "soft");
#else
  cases.emplace_back(hex, dir.path() + "\\IN.HEX");
#endif
  for (const auto& [in, plain] : cases) {
    SCOPED_TRACE(in + " to " + plain);
    const TRunResult result = Unpack({in, plain});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, plain == out
                                 ? Failure("EError", "Invalid Filename")
                                 : Failure("EFCreateError", "Cannot create file " + plain));
    EXPECT_EQ(ReadWholeFile(hex), container);
    EXPECT_FALSE(Exists(out));
  }
}

TEST(Hex2plainFailure, AFailureToPrintTheSummaryKeepsTheCompleteImage) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file-size limit for a process";
#endif
  TTempDir dir;
  const std::string hex = Pack(dir, Text("abc"));
  const TRunOptions options{.StdoutPath = dir / "console",
                            .FileSizeLimit = static_cast<long long>(Banner.size())};
  EXPECT_EQ(Unpack({hex, dir / "out"}, options).ExitCode, 1);
  EXPECT_EQ(ReadWholeFile(dir / "console"), Text(Banner));
  EXPECT_EQ(ReadWholeFile(dir / "out"), Text("abc"));
}

}  // namespace
