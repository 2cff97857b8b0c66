// Whole-program tests: they run the built sarnveld2hex on real files and check its console
// bytes, exit code and the container it leaves behind.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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
using testing_support::ReadContainer;
using testing_support::ReadWholeFile;
using testing_support::RunProgram;
using testing_support::Text;
using testing_support::TRunOptions;
using testing_support::TRunResult;
using testing_support::TTempDir;
using testing_support::WriteWholeFile;
using Bytes = std::vector<std::uint8_t>;

const std::string Banner =
    "Sarnveld Memory to Hex Compressor\r\n"
    "Packs a raw memory image into a labelled Huffman-coded container\r\n";
const std::string Usage = Banner +
                          "Usage: sarnveld2hex plainfile hexfile NameID Manufacturer\r\n"
                          "\r\n"
                          "  NameID: use '-' for default 'ZRQ-705'\r\n"
                          "  Manufacturer: use '-' for default 'Sarnveld'\r\n";
const std::string Success = Banner + "Ok\r\n";

// The console bytes of a failed four-argument run, up to the end of the message as given.
std::string ReportUpTo(const std::string& kind, const std::string& message) {
  return Banner + "Exception " + kind + " in module sarnveld2hex at 00000000.\n" + message;
}

// The whole console output of a failed run whose message does not end with a full stop.
std::string Failure(const std::string& kind, const std::string& message) {
  return ReportUpTo(kind, message) + ".\r\n";
}

TRunResult RunPacker(const std::vector<std::string>& arguments, const TRunOptions& options = {}) {
  return RunProgram(SARNVELD2HEX_PATH, arguments, options);
}

Bytes RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  Bytes bytes(count);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(engine());
  return bytes;
}

Bytes Header(const std::string& nameId, const std::string& manufacturer, std::uint32_t size,
             std::uint32_t checksum) {
  Bytes header(40, 0);
  std::memcpy(header.data(), nameId.data(), nameId.size());
  std::memcpy(header.data() + 16, manufacturer.data(), manufacturer.size());
  for (int i = 0; i < 4; ++i) {
    header[32 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    header[36 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
  }
  return header;
}

void Append(Bytes& bytes, std::initializer_list<std::uint8_t> more, std::size_t zeros = 0) {
  bytes.insert(bytes.end(), more);
  bytes.insert(bytes.end(), zeros, 0);
}

// Packs `input` through the program and returns the container's bytes.
Bytes Pack(const Bytes& input, const std::string& nameId = "-",
           const std::string& manufacturer = "-") {
  TTempDir dir;
  WriteWholeFile(dir / "in", input);
  const TRunResult result = RunPacker({dir / "in", dir / "out", nameId, manufacturer});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Success);
  return Exists(dir / "out") ? ReadWholeFile(dir / "out") : Bytes{};
}

// Makes the test process (and so the program it starts) work in `path` until destroyed.
class TWorkingDirectory {
 public:
  explicit TWorkingDirectory(const std::string& path) : Saved(fs::current_path()) {
    fs::current_path(path);
  }
  ~TWorkingDirectory() { fs::current_path(Saved); }

 private:
  fs::path Saved;
};

// The usage text is printed for any count of non-empty arguments but four, and only then.

TEST(CommandLine, AnyArgumentCountButFourPrintsOnlyTheUsageTextAndTouchesNoFile) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  const std::string in = dir / "in";
  const std::string out = dir / "out";
  const std::vector<std::vector<std::string>> cases = {
      {}, {in, out, "-"}, {in, out, "-", "-", "-"}, {in, out, "-", ""}, {"", in, out, "-"}};
  for (const auto& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const TRunResult result = RunPacker(arguments);
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, Usage);
    EXPECT_FALSE(Exists(out));
  }
}

TEST(CommandLine, EmptyArgumentsAreSkippedSoTheOthersKeepTheirPositions) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  const TRunResult result = RunPacker({"", dir / "in", "", dir / "out", "Name", "", "Maker", ""});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Success);
  const auto container = ReadContainer(ReadWholeFile(dir / "out"));
  EXPECT_EQ(container.NameID, "Name");
  EXPECT_EQ(container.Manufacturer, "Maker");
}

// The container's bytes are exactly the known ones for small inputs.

TEST(ContainerBytes, TheInputAbcPacksIntoTheKnown78ByteContainer) {
  Bytes expected = Header("ZRQ-705", "Sarnveld", 38, 564);
  Append(expected, {0x80}, 11);
  Append(expected, {0x38}, 19);
  Append(expected, {0x03, 0x83, 0x02, 0x82, 0x72, 0x00});
  EXPECT_EQ(Pack(Text("abc")), expected);
}

// Only a lone "-" selects a default name; other text is stored byte for byte, cut to 15 bytes.

TEST(Names, OnlyASingleHyphenSelectsTheDefaultAndAnythingElseIsTakenLiterally) {
  const struct {
    std::string NameId, Manufacturer, ExpectedNameId, ExpectedManufacturer;
  } cases[] = {{"-", "-", "ZRQ-705", "Sarnveld"},
               {"--", " -", "--", " -"},
               {"- ", "Acme", "- ", "Acme"},
               {"\xFF\x01\xC3\xA9", "-", "\xFF\x01\xC3\xA9", "Sarnveld"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.NameId + " / " + c.Manufacturer);
    const auto container = ReadContainer(Pack(Text("abc"), c.NameId, c.Manufacturer));
    EXPECT_EQ(container.NameID, c.ExpectedNameId);
    EXPECT_EQ(container.Manufacturer, c.ExpectedManufacturer);
    EXPECT_EQ(container.Image, Text("abc"));
  }
}

TEST(Names, NamesOfFifteenBytesOrMoreKeepTheirFirstFifteenAndAZeroLastByte) {
  const std::string fifteen = "ABCDEFGHIJKLMNO";
  for (const std::string& suffix : {std::string(), std::string("P"), std::string(40, 'x')}) {
    SCOPED_TRACE(suffix.size());
    const Bytes file = Pack(Text("abc"), fifteen + suffix, "0123456789abcde" + suffix);
    ASSERT_GE(file.size(), 40u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 40), Header(fifteen, "0123456789abcde", 38, 564));
  }
}

// Paths are taken as given: "-" is an ordinary file name, long paths work, and an existing
// hexfile is replaced.

TEST(Paths, APlainfileAndHexfileNamedHyphenAreOrdinaryFilesInTheWorkingDirectory) {
  TTempDir dir;
  WriteWholeFile(dir / "-", Text("abc"));
  TRunResult result;
  {
    TWorkingDirectory inside(dir.path());
    result = RunPacker({"-", "hex", "-", "-"});
  }
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Success);
  EXPECT_EQ(ReadContainer(ReadWholeFile(dir / "hex")).Image, Text("abc"));
  {
    TWorkingDirectory inside(dir.path());
    result = RunPacker({"hex", "-", "-", "-"});
  }
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(ReadContainer(ReadWholeFile(dir / "-")).Image, ReadWholeFile(dir / "hex"));
}

TEST(Paths, PathsLongerThan256BytesWork) {
  TTempDir dir;
  std::string folder = dir.path();
  for (int level = 0; level < 5; ++level)
    folder += "/" + std::string(60, char('a' + level));
  fs::create_directories(folder);
  const std::string in = folder + "/" + std::string(100, 'i');
  const std::string out = folder + "/" + std::string(100, 'o');
  ASSERT_GT(out.size(), 400u);
  WriteWholeFile(in, Text("long path"));
  const TRunResult result = RunPacker({in, out, "-", "-"});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Success);
  EXPECT_EQ(ReadContainer(ReadWholeFile(out)).Image, Text("long path"));
}

TEST(Paths, AnExistingLongerHexfileIsReplacedEntirely) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  WriteWholeFile(dir / "out", RandomBytes(5000, 1));
  EXPECT_EQ(RunPacker({dir / "in", dir / "out", "-", "-"}).ExitCode, 0);
  EXPECT_EQ(ReadWholeFile(dir / "out").size(), 78u);
  EXPECT_EQ(ReadContainer(ReadWholeFile(dir / "out")).Image, Text("abc"));
}

TEST(Paths, AHexfileOfDevNullSucceedsAndLeavesTheDeviceInPlace) {
  TTempDir dir;
  WriteWholeFile(dir / "in", RandomBytes(1000, 2));
  const TRunResult result = RunPacker({dir / "in", "/dev/null", "-", "-"});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Success);
  EXPECT_TRUE(IsCharDevice("/dev/null"));
}

// An input that is missing, unusable or too large fails before any hexfile is touched.

TEST(InputFailures, AMissingInputOrADirectoryIsAnInvalidFilenameAndCreatesNothing) {
  TTempDir dir;
  fs::create_directory(dir / "folder");
  for (const std::string& name : {std::string("missing"), std::string("folder")}) {
    SCOPED_TRACE(name);
    const TRunResult result = RunPacker({dir / name, dir / "out", "-", "-"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, Failure("EError", "Invalid Filename"));
    EXPECT_FALSE(Exists(dir / "out"));
  }
}

TEST(InputFailures, AnInputThatIsNotARegularFileIsRefusedWithoutHanging) {
  TTempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (dir / "sock").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  // Each path as the user typed it, "." components included.
  for (const std::string& in :
       {dir.path() + "/./fifo", dir.path() + "/./sock", std::string("/dev/null")}) {
    SCOPED_TRACE(in);
    TRunOptions options;
    options.TimeoutSeconds = 10;
    const TRunResult result = RunPacker({in, dir / "out", "-", "-"}, options);
    EXPECT_FALSE(result.TimedOut);
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, Failure("EFOpenError", "Cannot open file " + in));
    EXPECT_FALSE(Exists(dir / "out"));
  }
  ::close(sock);
}

TEST(InputFailures, AnInputOf2GiBMinusOneIsRefusedAndAnExistingHexfileKeepsItsContent) {
  TTempDir dir;
  WriteWholeFile(dir / "huge", {});
  ASSERT_EQ(::truncate((dir / "huge").c_str(), 2147483647), 0);
  WriteWholeFile(dir / "out", Text("previous"));
  const TRunResult result = RunPacker({dir / "huge", dir / "out", "-", "-"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_TRUE(result.Output.starts_with(
      ReportUpTo("EInputTooLarge", "File " + (dir / "huge") + " is too large")));
  EXPECT_TRUE(result.Output.ends_with(".\r\n"));
  EXPECT_EQ(ReadWholeFile(dir / "out"), Text("previous"));
}

// A hexfile that cannot be created, or would destroy the input, is refused before it is
// truncated; a failure after the hexfile was created removes the incomplete container.

TEST(OutputFailures, AHexfileThatCannotBeCreatedIsReportedWithThePathAsGiven) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  fs::create_directory(dir / "folder");
  for (const std::string& out :
       {dir.path() + "/./nowhere/out.hex", dir / "folder", dir.path() + "/nowhere/out."}) {
    SCOPED_TRACE(out);
    const TRunResult result = RunPacker({dir / "in", out, "-", "-"});
    EXPECT_EQ(result.ExitCode, 1);
    // A message that already ends with "." gets no second one.
    const std::string message = "Cannot create file " + out;
    EXPECT_EQ(result.Output, out.back() == '.' ? ReportUpTo("EFCreateError", message) + "\r\n"
                                               : Failure("EFCreateError", message));
  }
  EXPECT_TRUE(fs::is_empty(dir / "folder"));
}

TEST(OutputFailures, AHexfileNamingTheInputByAnyNameIsRefusedAndTheInputKeptIntact) {
  TTempDir dir;
  const Bytes input = RandomBytes(10000, 6);
  WriteWholeFile(dir / "in", input);
  ASSERT_EQ(::link((dir / "in").c_str(), (dir / "hard").c_str()), 0);
  fs::create_symlink(dir / "in", dir / "soft");
  for (const std::string& out : {dir / "in", dir.path() + "/./in", dir / "hard", dir / "soft"}) {
    SCOPED_TRACE(out);
    const TRunResult result = RunPacker({dir / "in", out, "-", "-"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, Failure("EFCreateError", "Cannot create file " + out));
    EXPECT_EQ(ReadWholeFile(dir / "in"), input);
    EXPECT_TRUE(fs::is_symlink(dir / "soft"));
  }
}

TEST(OutputFailures, AHexfileThatIsAFifoIsRefusedWithoutHanging) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  TRunOptions options;
  options.TimeoutSeconds = 10;
  const TRunResult result = RunPacker({dir / "in", dir / "fifo", "-", "-"}, options);
  EXPECT_FALSE(result.TimedOut);
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output, Failure("EFCreateError", "Cannot create file " + (dir / "fifo")));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
}

TEST(OutputFailures, AWriteErrorIsReportedWithTheSystemsReasonAndTheDeviceIsLeftAlone) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  const TRunResult result = RunPacker({dir / "in", "/dev/full", "-", "-"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output,
            Failure("EInOutError", "Cannot write file /dev/full: No space left on device"));
  EXPECT_TRUE(IsCharDevice("/dev/full"));
}

TEST(OutputFailures, AWriteFailingMidwayRemovesTheIncompleteContainer) {
  TTempDir dir;
  WriteWholeFile(dir / "in", RandomBytes(65536, 7));
  TRunOptions options;
  options.StdoutPath = dir / "console";
  options.FileSizeLimit = 4096;  // room for the console text, not for the container
  const TRunResult result = RunPacker({dir / "in", dir / "out", "-", "-"}, options);
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(
      ReadWholeFile(dir / "console"),
      Text(Failure("EInOutError", "Cannot write file " + (dir / "out") + ": File too large")));
  EXPECT_FALSE(Exists(dir / "out"));
}

TEST(OutputFailures, ACodeLongerThan32BitsIsRefusedAndTheOldHexfileRemoved) {
  TTempDir dir;
  WriteWholeFile(dir / "in", testing_support::FibonacciImage(33));
  WriteWholeFile(dir / "out", Text("previous"));
  const TRunResult result = RunPacker({dir / "in", dir / "out", "-", "-"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_TRUE(result.Output.starts_with(
      ReportUpTo("ECodeTooLong", "File " + (dir / "in") + " needs a code of 33 bits for ")));
  EXPECT_TRUE(result.Output.ends_with(".\r\n"));
  EXPECT_FALSE(Exists(dir / "out"));
}

// A console that cannot be written fails the run, at whichever point the write comes.

TEST(Console, AnUnwritableStandardOutputFailsBeforeAnyFileIsCreated) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  TRunOptions options;
  options.StdoutPath = "/dev/full";
  EXPECT_EQ(RunPacker({dir / "in", dir / "out", "-", "-"}, options).ExitCode, 1);
  EXPECT_FALSE(Exists(dir / "out"));
  EXPECT_TRUE(IsCharDevice("/dev/full"));
}

TEST(Console, AFailureToPrintOkFailsTheRunButKeepsTheCompleteContainer) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  TRunOptions options;
  options.StdoutPath = dir / "console";
  options.FileSizeLimit = static_cast<long long>(Banner.size());
  ASSERT_GT(options.FileSizeLimit, 78);
  EXPECT_EQ(RunPacker({dir / "in", dir / "out", "-", "-"}, options).ExitCode, 1);
  EXPECT_EQ(ReadWholeFile(dir / "console"), Text(Banner));
  EXPECT_EQ(ReadContainer(ReadWholeFile(dir / "out")).Image, Text("abc"));
}

}  // namespace
