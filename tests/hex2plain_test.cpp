// Whole-program tests: they run the built hex2plain (and sarnveld2hex, to make containers) on
// real files and check the console bytes, the exit code and the files left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "container_reader.h"
#include "run_program.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Exists;
using testing_support::IsCharDevice;
using testing_support::ReadWholeFile;
using testing_support::RunProgram;
using testing_support::Text;
using testing_support::TRunOptions;
using testing_support::TRunResult;
using testing_support::TTempDir;
using testing_support::WriteWholeFile;
using Bytes = std::vector<std::uint8_t>;

const std::string Banner =
    "Sarnveld Hex to Memory Decoder\r\n"
    "Checks a Huffman-coded container and unpacks the memory image it holds\r\n";
const std::string Usage = Banner +
                          "Usage: hex2plain hexfile [plainfile]\r\n"
                          "\r\n"
                          "  hexfile: the container to check and describe\r\n"
                          "  plainfile: where to write the memory image; without it nothing is "
                          "written\r\n";

// The summary of the container that sarnveld2hex makes of "abc" with the default names.
const std::string AbcSummary =
    "NameID: ZRQ-705\r\n"
    "Manufacturer: Sarnveld\r\n"
    "PayloadSize: 38\r\n"
    "Checksum: 564 (0x00000234)\r\n"
    "Image size: 3 bytes\r\n"
    "Byte values with codes: 3\r\n"
    "Shortest code: 2 bits\r\n"
    "Longest code: 2 bits\r\n";

std::string Failure(const std::string& kind, const std::string& message) {
  return Banner + "Exception " + kind + " in module hex2plain at 00000000.\n" + message +
         (message.ends_with(".") ? "" : ".") + "\r\n";
}

TRunResult Unpack(const std::vector<std::string>& arguments, const TRunOptions& options = {}) {
  return RunProgram(HEX2PLAIN_PATH, arguments, options);
}

// Packs `input` into dir/name with sarnveld2hex.
std::string Pack(const TTempDir& dir, const Bytes& input, const std::string& name = "in.hex",
                 const std::string& nameId = "-") {
  WriteWholeFile(dir / "plain.in", input);
  const TRunResult result =
      RunProgram(SARNVELD2HEX_PATH, {dir / "plain.in", dir / name, nameId, "-"});
  EXPECT_EQ(result.ExitCode, 0);
  return dir / name;
}

Bytes RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  Bytes bytes(count);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(engine() % (1 + seed % 256));
  return bytes;
}

// --- The command line -----------------------------------------------------------------

TEST(Hex2plainCommandLine, NoArgumentOrMoreThanTwoPrintsOnlyTheUsageText) {
  TTempDir dir;
  const std::string hex = Pack(dir, Text("abc"));
  const std::vector<std::vector<std::string>> cases = {
      {}, {""}, {hex, dir / "out", "extra"}, {"", "", ""}};
  for (const auto& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const TRunResult result = Unpack(arguments);
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, Usage);
    EXPECT_FALSE(Exists(dir / "out"));
  }
}

TEST(Hex2plainSuccess, WithoutPlainfileItChecksAndDescribesTheContainerAndWritesNothing) {
  TTempDir dir;
  const std::string hex = Pack(dir, Text("abc"));
  const auto before = fs::directory_iterator(dir.path());
  const std::size_t files = static_cast<std::size_t>(std::distance(before, {}));
  const TRunResult result = Unpack({hex});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Banner + AbcSummary + "Ok\r\n");
  EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {})), files);
}

TEST(Hex2plainSuccess, AnEmptyImageHasNoCodesAndItsPlainfileIsEmpty) {
  TTempDir dir;
  const std::string hex = Pack(dir, {});
  WriteWholeFile(dir / "out", Text("previous"));
  const TRunResult result = Unpack({hex, dir / "out"});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Banner +
                               "NameID: ZRQ-705\r\n"
                               "Manufacturer: Sarnveld\r\n"
                               "PayloadSize: 33\r\n"
                               "Checksum: 128 (0x00000080)\r\n"
                               "Image size: 0 bytes\r\n"
                               "Byte values with codes: 0\r\n"
                               "Shortest code: none\r\n"
                               "Longest code: none\r\n"
                               "Ok\r\n");
  EXPECT_EQ(ReadWholeFile(dir / "out"), Bytes{});
}

TEST(Hex2plainSuccess, NameBytesOutsidePrintableAsciiAndTheBackslashAreEscaped) {
  TTempDir dir;
  const std::string hex = Pack(dir, Bytes{1}, "in.hex", "\xFF\x01\xC3\xA9 a\\b~");
  const TRunResult result = Unpack({hex});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_TRUE(result.Output.starts_with(Banner + "NameID: \\xFF\\x01\\xC3\\xA9 a\\x5Cb~\r\n" +
                                        "Manufacturer: Sarnveld\r\n"))
      << result.Output;
  EXPECT_TRUE(result.Output.find("Image size: 1 byte\r\n") != std::string::npos);
}

TEST(Hex2plainSuccess, WhatThePackerWritesUnpacksToItsInputByteForByte) {
  TTempDir dir;
  const std::vector<Bytes> inputs = {Bytes{0x00}, Bytes(70000, 0xFF), RandomBytes(65536, 255),
                                     RandomBytes(100000, 7), testing_support::FibonacciImage(32)};
  for (const Bytes& input : inputs) {
    SCOPED_TRACE(input.size());
    const std::string hex = Pack(dir, input);
    const TRunResult result = Unpack({hex, dir / "out"});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_TRUE(result.Output.ends_with("Ok\r\n"));
    EXPECT_TRUE(ReadWholeFile(dir / "out") == input);
  }
}

TEST(Hex2plainSuccess, APlainfileOfDevNullSucceedsAndLeavesTheDeviceInPlace) {
  TTempDir dir;
  const std::string hex = Pack(dir, Text("abc"));
  const TRunResult result = Unpack({hex, "/dev/null"});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Banner + AbcSummary + "Ok\r\n");
  EXPECT_TRUE(IsCharDevice("/dev/null"));
}

// --- Failures -------------------------------------------------------------------------

TEST(Hex2plainFailure, AMissingHexfileOrADirectoryIsAnInvalidFilenameAndCreatesNothing) {
  TTempDir dir;
  fs::create_directory(dir / "folder");
  for (const std::string& name : {std::string("missing"), std::string("folder")}) {
    SCOPED_TRACE(name);
    const TRunResult result = Unpack({dir / name, dir / "out"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, Failure("EError", "Invalid Filename"));
    EXPECT_FALSE(Exists(dir / "out"));
  }
}

TEST(Hex2plainFailure, ACorruptContainerIsReportedAndItsIncompleteImageRemoved) {
  TTempDir dir;
  const std::string hex = Pack(dir, RandomBytes(200000, 3));
  Bytes damaged = ReadWholeFile(hex);
  damaged[damaged.size() - 1000] ^= 0x10;  // past the first blocks of the image
  WriteWholeFile(hex, damaged);
  WriteWholeFile(dir / "out", Text("previous"));
  const TRunResult result = Unpack({hex, dir / "out"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_TRUE(result.Output.starts_with(
      Banner + "Exception EBadContainer in module hex2plain at 00000000.\nContainer " + hex +
      " is damaged: its payload's bytes sum to "))
      << result.Output;
  EXPECT_TRUE(result.Output.ends_with(".\r\n"));
  EXPECT_FALSE(Exists(dir / "out"));
}

TEST(Hex2plainFailure, APlainfileNamingTheHexfileByAnyNameIsRefusedAndTheHexfileKept) {
  TTempDir dir;
  const std::string hex = Pack(dir, RandomBytes(10000, 4));
  const Bytes container = ReadWholeFile(hex);
  ASSERT_EQ(::link(hex.c_str(), (dir / "hard").c_str()), 0);
  fs::create_symlink(hex, dir / "soft");
  for (const std::string& out : {hex, dir.path() + "/./in.hex", dir / "hard", dir / "soft"}) {
    SCOPED_TRACE(out);
    const TRunResult result = Unpack({hex, out});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, Failure("EFCreateError", "Cannot create file " + out));
    EXPECT_EQ(ReadWholeFile(hex), container);
  }
}

TEST(Hex2plainFailure, AWriteFailingMidwayRemovesTheIncompleteImage) {
  TTempDir dir;
  const std::string hex = Pack(dir, RandomBytes(200000, 5));
  TRunOptions options;
  options.StdoutPath = dir / "console";
  options.FileSizeLimit = 100000;  // room for the container and the console, not the image
  const TRunResult result = Unpack({hex, dir / "out"}, options);
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(
      ReadWholeFile(dir / "console"),
      Text(Failure("EInOutError", "Cannot write file " + (dir / "out") + ": File too large")));
  EXPECT_FALSE(Exists(dir / "out"));
}

TEST(Hex2plainFailure, AFailureToPrintTheSummaryKeepsTheCompleteImage) {
  TTempDir dir;
  const std::string hex = Pack(dir, Text("abc"));
  TRunOptions options;
  options.StdoutPath = dir / "console";
  options.FileSizeLimit = static_cast<long long>(Banner.size());
  EXPECT_EQ(Unpack({hex, dir / "out"}, options).ExitCode, 1);
  EXPECT_EQ(ReadWholeFile(dir / "console"), Text(Banner));
  EXPECT_EQ(ReadWholeFile(dir / "out"), Text("abc"));
}

}  // namespace
