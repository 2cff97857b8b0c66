// Whole-program tests: they run the built sarnveld2hex on real files and check its console
// bytes, exit code and the container it leaves behind.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "file/file.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

const std::string& Banner = PackerBanner;
const std::string Usage = Banner +
                          "Usage: sarnveld2hex plainfile hexfile NameID Manufacturer\r\n"
                          "\r\n"
                          "  NameID: use '-' for default 'ZRQ-705'\r\n"
                          "  Manufacturer: use '-' for default 'Sarnveld'\r\n";
const std::string Success = Banner + "Ok\r\n";

// The whole console output of a failed run: a message already ending with "." gets no second.
std::string Failure(const std::string& kind, const std::string& message) {
  return Banner + FailureReport("sarnveld2hex", kind, message);
}

TRunResult RunPacker(const std::vector<std::string>& arguments, const TRunOptions& options = {}) {
  return RunProgram(SARNVELD2HEX_PATH, arguments, options);
}

// The container of "abc" with the given names.
Bytes AbcContainer(const std::string& nameId, const std::string& manufacturer) {
  Bytes container = Pack(Text("abc"));
  std::fill_n(container.begin(), 32, 0);
  std::copy(nameId.begin(), nameId.end(), container.begin());
  std::copy(manufacturer.begin(), manufacturer.end(), container.begin() + 16);
  return container;
}

// Any argument count but four prints only the usage text and touches no file. Empty arguments
// are skipped, so the others keep their positions; only a lone "-" selects a default name,
// other text is stored byte for byte, cut to 15 bytes and a zero.
TEST(CommandLine, TheArgumentsGiveTheUsageTextOrTheNamesStored) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  const std::string in = dir / "in", out = dir / "out", fifteen = "ABCDEFGHIJKLMNO";
  const auto names = [&](const std::string& nameId, const std::string& manufacturer) {
    return std::vector<std::string>{"", in, "", out, nameId, "", manufacturer, ""};
  };
  const struct {
    std::vector<std::string> Arguments;
    std::string StoredNameId{}, StoredManufacturer{};  // none: the usage text
  } cases[] = {{{}},
               {{in, out, "-"}},
               {{"", in, out, "-"}},
               {names("-", "-"), "ZRQ-705", "Sarnveld"},
               {names("--", " -"), "--", " -"},
               // UTF-8, as Windows passes a command line as text, cut to 15 bytes inside a
               // character; U+1D11E is a surrogate pair on Windows.
               {names("Ζυγαριά東京", "𝄞株式会社"), std::string("Ζυγαριά東京").substr(0, 15),
                std::string("𝄞株式会社").substr(0, 15)},
#ifndef _WIN32
               // Where arguments are bytes, any bytes are stored as given.
               {names("\xFF\xFE", "\x80"), "\xFF\xFE", "\x80"},
#endif
               {names(fifteen + "P", fifteen + "PQ"), fifteen, fifteen}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Arguments));
    fs::remove(out);
    const TRunResult result = RunPacker(c.Arguments);
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, c.StoredNameId.empty() ? Usage : Success);
    EXPECT_TRUE(c.StoredNameId.empty()
                    ? !Exists(out)
                    : ReadWholeFile(out) == AbcContainer(c.StoredNameId, c.StoredManufacturer));
  }
}

// 64-bit FNV-1a: a fingerprint of a container.
std::uint64_t Fingerprint(const Bytes& bytes) {
  std::uint64_t hash = 0xCBF29CE484222325;
  for (const std::uint8_t byte : bytes)
    hash = (hash ^ byte) * 0x100000001B3;
  return hash;
}

// Every bit of a container is fixed: these images pack to the bytes these fingerprints were
// taken from, on every platform and in every build, and unpack again. Several segments, codes
// of every length up to 32 bits, and paths in Greek and CJK, which Windows finds only when it
// takes them as UTF-8, and which a failure names as they were given.
TEST(Containers, EveryPlatformWritesTheSameBytes) {
  TTempDir dir;
  const std::string in = dir / "εικόνα-映像.bin", hex = dir / "容器.hex", out = dir / "像.img";
  const struct {
    Bytes Image;
    std::uint64_t Fingerprint;
  } cases[] = {{{}, 0x5E2013F33B5829E3},
               {Text("A"), 0xC3445FB042FE4C79},
               {Bytes(3000000, 0xFF), 0x0D89D46171929602},
               {RandomBytes(3 << 20, 11, 0.05), 0x423D5C296B7521CD},
               {FlashImage(4 << 20), 0x89A99FAB9C03C845},
               {FibonacciImage(32), 0x278932C87445FC2B}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Image.size());
    WriteWholeFile(in, c.Image);
    EXPECT_EQ(RunPacker({in, hex, "-", "-"}).Output, Success);
    EXPECT_EQ(Fingerprint(ReadWholeFile(hex)), c.Fingerprint);
    EXPECT_EQ(RunProgram(HEX2PLAIN_PATH, {hex, out}).ExitCode, 0);
    EXPECT_TRUE(ReadWholeFile(out) == c.Image);
  }
  const std::string nowhere = dir / "無い/out.hex";
  EXPECT_EQ(RunPacker({in, nowhere, "-", "-"}).Output,
            Failure("EFCreateError", "Cannot create file " + nowhere));
}

// "-" is an ordinary file name, paths past 256 bytes work (not on Windows, whose limit is
// 259), a longer old hexfile is replaced entirely and a device stays in place.
TEST(Paths, AnyPathIsTakenAsGiven) {
  TTempDir dir;
  std::string folder = dir.path();
  for (int level = 0; level < 5; ++level)
    folder += "/" + std::string(60, char('a' + level));
  const std::string longIn = folder + "/" + std::string(100, 'i');
  const std::string longOut = folder + "/" + std::string(100, 'o');
  std::vector<std::pair<std::string, std::string>> cases = {
      {"-", "hex"}, {"-", NullDevice}, {"hex", "-"}};
#ifndef _WIN32
  fs::create_directories(folder);
  WriteWholeFile(longIn, Text("abc"));
  WriteWholeFile(longOut, RandomBytes(5000, 1));
  cases.emplace_back(longIn, longOut);
#else
  // A device name names the device in any folder.
  cases.emplace_back("-", "nul");
#endif
  WriteWholeFile(dir / "-", Text("abc"));
  const fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  for (const auto& [in, out] : cases) {
    const TRunResult result = RunPacker({in, out, "-", "-"});
    EXPECT_EQ(result.ExitCode, 0) << out;
    EXPECT_EQ(result.Output, Success) << out;
  }
  fs::current_path(saved);
  const Bytes abc = AbcContainer("ZRQ-705", "Sarnveld");
  EXPECT_EQ(ReadWholeFile(dir / "hex"), abc);
#ifndef _WIN32
  EXPECT_EQ(ReadWholeFile(longOut), abc);
  EXPECT_TRUE(IsCharDevice(NullDevice));
#endif
  EXPECT_EQ(ReadWholeFile(dir / "-"), Pack(abc));
}

// A file that is missing or not a regular file as input, or a hexfile that cannot be created,
// would destroy the input or is being written by another process, is refused without hanging
// and before anything is truncated; each path is reported as the user typed it.
TEST(Failures, AnUnusableFileIsReportedAndNothingIsCreatedOrTruncated) {
  TTempDir dir;
  const Bytes input = RandomBytes(10000, 6);
  WriteWholeFile(dir / "in", input);
  fs::create_directory(dir / "folder");
  fs::create_hard_link(dir / "in", dir / "hard");
  // Being written again by a run of ours, which holds it as its one writer.
  WriteWholeFile(dir / "locked", Text("old"));
  const auto writing = huff::TFile::CreateForWriting(dir / "locked", nullptr);
  writing->WriteAt(0, Text("being written"));
  const std::string in = dir / "in", out = dir / "out", missing = dir.path() + "/./nowhere/out.hex";
  const auto refused = [](const std::string& path) {
    return Failure("EFCreateError", "Cannot create file " + path);
  };
  struct TCase {
    std::string In, Out, Output;
  };
  std::vector<TCase> cases = {
      {dir / "missing", out, Failure("EError", "Invalid Filename")},
      {dir / "folder", out, Failure("EError", "Invalid Filename")},
      {NullDevice, out, Failure("EFOpenError", "Cannot open file " + NullDevice)},
      {in, missing, refused(missing)},
      {in, dir / "folder", refused(dir / "folder")},
      {in, dir.path() + "/./in", refused(dir.path() + "/./in")},
      {in, dir / "hard", refused(dir / "hard")},
      {in, dir / "locked", refused(dir / "locked")}};
#ifndef _WIN32
  fs::create_symlink(dir / "in", dir / "soft");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string fifo = dir.path() + "/./fifo";
  cases.insert(cases.end(),
               {{fifo, out, Failure("EFOpenError", "Cannot open file " + fifo)},
                {in, dir / "soft", refused(dir / "soft")},
                {in, dir / "fifo", refused(dir / "fifo")},
                {in, "/dev/full",
                 Failure("EInOutError", "Cannot write file /dev/full: No space left on device")}});
#else
  // Other spellings of the same file: the case of the letters, backslashes, trailing dots
  // and spaces; and the console, a device that cannot be read twice.
  const std::string upper = dir.path() + "\\IN", dotted = dir.path() + "\\in. .";
  cases.insert(cases.end(), {{in, upper, refused(upper)},
                             {in, dotted, refused(dotted)},
                             {"CON", out, Failure("EFOpenError", "Cannot open file CON")}});
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.In + " to " + c.Out);
    const TRunResult result = RunPacker({c.In, c.Out, "-", "-"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, c.Output);
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(ReadWholeFile(in), input);
  }
  EXPECT_TRUE(fs::is_empty(dir / "folder"));
  writing->Close();
  EXPECT_EQ(ReadWholeFile(dir / "locked"), Text("being written"));
#ifndef _WIN32
  EXPECT_TRUE(fs::is_symlink(dir / "soft"));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(IsCharDevice("/dev/full"));
#endif
}

// A run that fails, however far it got, leaves the old hexfile as it was; a failure to print
// "Ok" fails the run but keeps the complete container. The input too large to count is sparse:
// 2 GiB minus 1.
TEST(Failures, TheOldHexfileStaysUnlessAWholeContainerTakesItsPlace) {
  TTempDir dir;
  WriteWholeFile(dir / "abc", Text("abc"));
  WriteWholeFile(dir / "huge", {});
  fs::resize_file(dir / "huge", 2147483647);
  WriteWholeFile(dir / "deep", FibonacciImage(33));
  WriteWholeFile(dir / "random", RandomBytes(65536, 7));
  const std::string out = dir / "out", console = dir / "console";
  const Bytes previous = Text("previous"), abc = AbcContainer("ZRQ-705", "Sarnveld");
  const struct {
    std::string In, Console;
    Bytes Hexfile;  // what the hexfile holds after the run
    TRunOptions Options{};
  } cases[] = {
      {dir / "huge",
       Failure("EInputTooLarge", "File " + (dir / "huge") +
                                     " is too large: it holds 2147483647 bytes, and at most "
                                     "2147483646 can be packed"),
       previous},
      {dir / "deep",
       Failure("ECodeTooLong", "File " + (dir / "deep") +
                                   " needs a code of 33 bits for byte value 0x00, longer than "
                                   "the 32 bits a container can state"),
       previous},
#ifndef _WIN32
      // Room for the console text, not for the container; then for the banner and the
      // container, not for "Ok"; then a console that refuses every write.
      {dir / "random",
       Failure("EInOutError", "Cannot write file " + out + ": File too large"),
       previous,
       {.StdoutPath = console, .FileSizeLimit = 4096}},
      {dir / "abc",
       Banner,
       abc,
       {.StdoutPath = console, .FileSizeLimit = static_cast<long long>(Banner.size())}},
      {dir / "abc", "", previous, {.StdoutPath = "/dev/full"}},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.In + " " + c.Options.StdoutPath);
    WriteWholeFile(out, previous);
    const TRunResult result = RunPacker({c.In, out, "-", "-"}, c.Options);
    EXPECT_EQ(result.ExitCode, 1);
    // What went to the console file, or what was captured (nothing, from /dev/full).
    EXPECT_EQ(c.Options.StdoutPath == console ? ReadWholeFile(console) : Text(result.Output),
              Text(c.Console));
    EXPECT_EQ(ReadWholeFile(out), c.Hexfile);
  }
  // Nothing else was left beside it: the inputs, the hexfile and the console file.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 5 + (Exists(console) ? 1 : 0));
}

// A replaced hexfile keeps what the user set: its mode and, through a symbolic link, the link.
// Runs to one path at once each put a whole container there, or are refused: the file left is
// one of them, whole, and nothing is left beside it.
TEST(Outputs, AReplacedHexfileKeepsWhatTheUserSetAndIsNeverAMix) {
  TTempDir dir;
  std::vector<Bytes> containers;
  for (unsigned run = 0; run < 4; ++run) {
    WriteWholeFile(dir / ("in" + std::to_string(run)), RandomBytes(3 << 20, run, 0.1));
    ASSERT_EQ(RunPacker({dir / ("in" + std::to_string(run)), dir / "one", "-", "-"}).ExitCode, 0);
    containers.push_back(ReadWholeFile(dir / "one"));
  }
#ifndef _WIN32
  fs::permissions(dir / "one", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(dir / "one", dir / "link");
  ASSERT_EQ(RunPacker({dir / "in0", dir / "link", "-", "-"}).ExitCode, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(ReadWholeFile(dir / "one"), containers[0]);
  EXPECT_EQ(fs::status(dir / "one").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  fs::remove(dir / "link");
#endif
  std::vector<std::thread> runs;
  std::vector<int> codes(4);
  for (unsigned run = 0; run < 4; ++run)
    runs.emplace_back([&, run] {
      codes[run] = RunPacker({dir / ("in" + std::to_string(run)), dir / "one", "-", "-"}).ExitCode;
    });
  for (std::thread& run : runs)
    run.join();
  const Bytes left = ReadWholeFile(dir / "one");
  EXPECT_NE(std::find(containers.begin(), containers.end(), left), containers.end());
  EXPECT_NE(std::find(codes.begin(), codes.end(), 0), codes.end());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 5);
}

#ifdef _WIN32
TEST(Console, TheReportNamesTheProgramAsItsFileIsStored) {
  TTempDir dir;
  fs::path upperCase = SARNVELD2HEX_PATH;
  upperCase.replace_filename("SARNVELD2HEX.EXE");
  const TRunResult result =
      RunProgram(upperCase.string(), {dir / "missing", dir / "out", "-", "-"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output, Failure("EError", "Invalid Filename"));
}
#endif

// Console text must not land in a file of the run: a standard output that is the hexfile or
// the plainfile, by any name, fails the run before the output is written, for both programs.
TEST(Console, AStandardOutputThatIsAFileOfTheRunIsRefused) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Text("abc"));
  ASSERT_EQ(RunPacker({dir / "in", dir / "in.hex", "-", "-"}).ExitCode, 0);
  const std::string in = dir / "in", hex = dir / "in.hex", out = dir / "out";
  const struct {
    std::string Program, Module;
    std::vector<std::string> Arguments;
    std::string Stdout, Refused;
  } cases[] = {
      {SARNVELD2HEX_PATH, "sarnveld2hex", {in, out, "-", "-"}, out, out},
      {SARNVELD2HEX_PATH, "sarnveld2hex", {in, out, "-", "-"}, in, out},
      {HEX2PLAIN_PATH, "hex2plain", {hex, out}, out, out},
      {HEX2PLAIN_PATH, "hex2plain", {hex, out}, hex, out},
#ifndef _WIN32
      {HEX2PLAIN_PATH, "hex2plain", {hex, "/dev/stdout"}, out, "/dev/stdout"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Module + " to " + c.Arguments[1] + ", standard output " + c.Stdout);
    WriteWholeFile(out, Text("previous"));
    const Bytes before = ReadWholeFile(c.Stdout);
    const TRunResult result =
        RunProgram(c.Program, c.Arguments, {.StdoutPath = c.Stdout, .AppendStdout = true});
    EXPECT_EQ(result.ExitCode, 1);
    const Bytes after = ReadWholeFile(c.Stdout);
    const std::string console(after.begin() + static_cast<std::ptrdiff_t>(before.size()),
                              after.end());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    EXPECT_TRUE(c.Stdout == out || ReadWholeFile(out) == Text("previous"));
    EXPECT_TRUE(console.ends_with(
        FailureReport(c.Module, "EFCreateError", "Cannot create file " + c.Refused)))
        << console;
  }
}

}  // namespace
