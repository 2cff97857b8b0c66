// Whole-program fault injection: the programs run with fault/fault_shim.cpp preloaded, which
// fails their file calls one at a time, and on devices that fill up. Every failure must end
// in exit code 1 and a failure report, with no "Ok", no output file left and the input as it
// was.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::Exists;
using testing_support::RandomBytes;
using testing_support::ReadWholeFile;
using testing_support::TRunOptions;
using testing_support::TRunResult;
using testing_support::TTempDir;
using testing_support::WriteWholeFile;

const char* const Kinds[] = {"read", "write", "seek", "size", "close"};
const std::string NoRoom = "No space left on device";

enum class TMode { Pack, Check, Unpack };

// A program ready to run on dir/in, and what its console shows.
struct TSubject {
  std::string Program, Module, Banner;
  std::vector<std::string> Arguments;

  std::string Failure(const std::string& kind, const std::string& message) const {
    return Banner + testing_support::FailureReport(Module, kind, message);
  }
};

// Writes dir/in: the image itself to pack, or its container to check or unpack into `out`.
TSubject Prepare(TMode mode, const TTempDir& dir, const Bytes& image, const std::string& out) {
  if (mode == TMode::Pack) {
    WriteWholeFile(dir / "in", image);
    return {SARNVELD2HEX_PATH,
            "sarnveld2hex",
            "Sarnveld Memory to Hex Compressor\r\n"
            "Packs a raw memory image into a labelled Huffman-coded container\r\n",
            {dir / "in", out, "-", "-"}};
  }
  WriteWholeFile(dir / "in", testing_support::Pack(image));
  std::vector<std::string> arguments{dir / "in"};
  if (mode == TMode::Unpack)
    arguments.push_back(out);
  return {HEX2PLAIN_PATH, "hex2plain",
          "Sarnveld Hex to Memory Decoder\r\n"
          "Checks a Huffman-coded container and unpacks the memory image it holds\r\n",
          arguments};
}

// What the shim saw in one run: per kind the calls and whether one was failed, and the
// largest read asked for ("largest-read") and the mappings of files ("mmap").
struct TShimRun {
  TRunResult Result;
  std::map<std::string, std::pair<long, bool>> Seen;
};

TShimRun RunWithShim(const TSubject& subject, const TTempDir& dir,
                     std::vector<std::string> environment, TRunOptions options = {}) {
  const std::string report = dir / "shim-report";
  fs::remove(report);
  environment.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM_PATH);
  environment.push_back("FAULT_REPORT=" + report);
  options.Environment = environment;
  TShimRun run{testing_support::RunProgram(subject.Program, subject.Arguments, options), {}};
  std::ifstream in(report);
  std::string name;
  long calls = 0;
  int failed = 0;
  while (in >> name >> calls >> failed)
    run.Seen[name] = {calls, failed != 0};
  return run;
}

std::vector<std::string> Fault(const std::string& kind, long at, int code = EIO) {
  return {"FAULT_KIND=" + kind, "FAULT_AT=" + std::to_string(at),
          "FAULT_ERRNO=" + std::to_string(code)};
}

::testing::AssertionResult FailedCleanly(const TSubject& subject, const TRunResult& result,
                                         const TTempDir& dir, const Bytes& input) {
  const std::string& out = result.Output;
  if (result.ExitCode != 1)
    return ::testing::AssertionFailure() << "exit code " << result.ExitCode << ", " << out;
  if (!out.starts_with(subject.Banner + "Exception E") || !out.ends_with(".\r\n") ||
      out.find(" in module " + subject.Module + " at 00000000.\n") == std::string::npos ||
      out.find("Ok\r\n") != std::string::npos)
    return ::testing::AssertionFailure() << "console: " << out;
  if (Exists(dir / "out"))
    return ::testing::AssertionFailure() << "the output file was left: " << out;
  if (ReadWholeFile(dir / "in") != input)
    return ::testing::AssertionFailure() << "the input changed";
  return ::testing::AssertionSuccess();
}

// Whether the report names the failed call, rather than, say, a failed read taken for the
// end of the file and reported as an input that shrank.
bool NamesTheFault(const std::string& kind, const std::string& output) {
  const bool inOut = output.find("Exception EInOutError") != std::string::npos &&
                     output.ends_with(": Input/output error.\r\n");
  if (kind != "size")
    return inOut;
  return output.find("Exception EFOpenError") != std::string::npos ||
         output.find("Exception EFCreateError") != std::string::npos ||
         (inOut && output.find("Cannot get the size of") != std::string::npos);
}

// Packing, with one segment and with two (coded on two threads where there are two cores);
// checking a container, and unpacking it.
struct TSweepCase {
  const char* Name;
  TMode Mode;
  std::size_t ImageSize;
  double Skew;
};

void PrintTo(const TSweepCase& c, std::ostream* out) {
  *out << c.Name;
}

class FaultSweep : public ::testing::TestWithParam<TSweepCase> {};

// Each read, write, seek, size query and close of a run is failed in turn, until the shim
// reports that the run made no call with that number. The sweep fails when a kind that the
// program uses saw no fault, so that it cannot pass by failing nothing. Interrupted reads and
// writes, and short ones, are retried and change nothing.
TEST_P(FaultSweep, EveryFailedFileCallIsReportedAndLeavesNoOutput) {
  const TSweepCase& c = GetParam();
  TTempDir dir;
  const TSubject subject = Prepare(c.Mode, dir, RandomBytes(c.ImageSize, 17, c.Skew), dir / "out");
  const Bytes input = ReadWholeFile(dir / "in");
  const bool writes = c.Mode != TMode::Check;

  const auto succeeded = [&](const TShimRun& run, const Bytes& expected) {
    EXPECT_EQ(run.Result.ExitCode, 0);
    EXPECT_TRUE(run.Result.Output.ends_with("\r\nOk\r\n")) << run.Result.Output;
    EXPECT_TRUE(!writes || ReadWholeFile(dir / "out") == expected);
    fs::remove(dir / "out");
  };
  const TShimRun counting = RunWithShim(subject, dir, {});
  const Bytes expected = writes ? ReadWholeFile(dir / "out") : Bytes{};
  succeeded(counting, expected);
  EXPECT_GT(counting.Seen.at("largest-read").first, 0);
  EXPECT_LE(counting.Seen.at("largest-read").first, 32768);
  EXPECT_EQ(counting.Seen.at("mmap").first, 0);
  succeeded(RunWithShim(subject, dir, {"FAULT_SHORT=1000"}), expected);

  std::string counts = std::string(c.Name) + ": failed";
  for (const std::string kind : Kinds) {
    long failed = 0;
    for (long at = 1;; ++at) {
      const TShimRun run = RunWithShim(subject, dir, Fault(kind, at));
      if (!run.Seen.at(kind).second) {
        succeeded(run, expected);
        break;
      }
      ASSERT_TRUE(FailedCleanly(subject, run.Result, dir, input)) << kind << " call " << at;
      EXPECT_TRUE(NamesTheFault(kind, run.Result.Output))
          << kind << " call " << at << ": " << run.Result.Output;
      ++failed;
    }
    EXPECT_EQ(failed, counting.Seen.at(kind).first) << kind;
    const bool used = kind != "seek" && (kind != "write" || writes);
    EXPECT_TRUE(!used || failed > 0) << "no " << kind << " call was failed";
    counts += " " + std::to_string(failed) + " " + kind;
  }
  long retried = 0;
  for (const std::string kind : {"read", "write"})
    for (long at = 1;; ++at) {
      const TShimRun run = RunWithShim(subject, dir, Fault(kind, at, EINTR));
      succeeded(run, expected);
      if (!run.Seen.at(kind).second || ::testing::Test::HasFailure())
        break;
      ++retried;
    }
  EXPECT_EQ(retried, counting.Seen.at("read").first + counting.Seen.at("write").first);
  std::printf("%s; %ld interrupted reads and writes retried\n", counts.c_str(), retried);
}

INSTANTIATE_TEST_SUITE_P(Programs, FaultSweep,
                         ::testing::Values(TSweepCase{"PackOneSegment", TMode::Pack, 200000, 0.3},
                                           TSweepCase{"PackThreeSegments", TMode::Pack,
                                                      (2u << 20) + 5000, 0},
                                           TSweepCase{"Check", TMode::Check, 200000, 0.3},
                                           TSweepCase{"Unpack", TMode::Unpack, 1300000, 0.3}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A signal that stops a run while its output is being written removes the output (and so the
// file it replaced) and ends the program as the signal asks, with one segment or several.
TEST(Signals, AStoppedRunLeavesNoOutputAndEndsWithTheSignal) {
  const struct {
    TMode Mode;
    std::size_t Size;
  } runs[] = {{TMode::Pack, 200000}, {TMode::Pack, (2u << 20) + 5000}, {TMode::Unpack, 1300000}};
  for (const auto& run : runs)
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      TTempDir dir;
      const TSubject subject = Prepare(run.Mode, dir, RandomBytes(run.Size, 9, 0.3), dir / "out");
      SCOPED_TRACE(subject.Module + ", " + std::to_string(run.Size) + " bytes, signal " +
                   std::to_string(signal));
      WriteWholeFile(dir / "out", testing_support::Text("previous"));
      const Bytes input = ReadWholeFile(dir / "in");
      std::vector<std::string> environment = Fault("write", 2);
      environment.push_back("FAULT_SIGNAL=" + std::to_string(signal));
      const TRunResult result = RunWithShim(subject, dir, environment).Result;
      EXPECT_EQ(result.Signal, signal);
      EXPECT_EQ(result.Output, subject.Banner);
      EXPECT_FALSE(Exists(dir / "out"));
      EXPECT_EQ(ReadWholeFile(dir / "in"), input);
    }
}

// A 64 KiB tmpfs, mounted for the test where the machine allows it (as root).
class TSmallTmpfs {
 public:
  explicit TSmallTmpfs(const std::string& path) : Path(path) {
    fs::create_directory(path);
    Mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
  }
  ~TSmallTmpfs() {
    if (Mounted)
      ::umount2(Path.c_str(), MNT_DETACH);
  }
  TSmallTmpfs(const TSmallTmpfs&) = delete;
  TSmallTmpfs& operator=(const TSmallTmpfs&) = delete;
  bool Mounted = false;

 private:
  std::string Path;
};

// A full disk, after short writes; a file-size limit; /dev/full, named or through a link; a
// small file system that fills up, where the machine lets the test mount one. A device is
// never removed. (The packer's limit and /dev/full are in program_test.cpp.)
TEST(DiskFull, AWriteWithoutRoomIsReportedAndLeavesNoOutput) {
  TTempDir dir;
  fs::create_symlink("/dev/full", dir / "full");
  const TSmallTmpfs small(dir / "small");
  std::vector<std::string> shortThenFull = Fault("write", 50, ENOSPC);
  shortThenFull.push_back("FAULT_SHORT=1000");
  const struct {
    TMode Mode;
    std::string Out;
    TRunOptions Options;
    std::string Reason;
  } cases[] = {{TMode::Pack, dir / "out", {.Environment = shortThenFull}, NoRoom},
               {TMode::Unpack, dir / "out", {.Environment = shortThenFull}, NoRoom},
               {TMode::Unpack, dir / "out", {.FileSizeLimit = 65536}, "File too large"},
               {TMode::Unpack, "/dev/full", {}, NoRoom},
               {TMode::Pack, dir / "full", {}, NoRoom},
               {TMode::Unpack, dir / "full", {}, NoRoom},
               {TMode::Pack, dir / "small/out", {}, NoRoom},
               {TMode::Unpack, dir / "small/out", {}, NoRoom}};
  for (const auto& c : cases) {
    if (c.Out == dir / "small/out" && !small.Mounted)
      continue;
    const TSubject subject = Prepare(c.Mode, dir, RandomBytes(200000, 5), c.Out);
    SCOPED_TRACE(subject.Module + " to " + c.Out);
    const Bytes input = ReadWholeFile(dir / "in");
    const TShimRun run = RunWithShim(subject, dir, c.Options.Environment, c.Options);
    EXPECT_TRUE(FailedCleanly(subject, run.Result, dir, input));
    EXPECT_TRUE(c.Options.Environment.empty() || run.Seen.at("write").second);
    EXPECT_EQ(run.Result.Output,
              subject.Failure("EInOutError", "Cannot write file " + c.Out + ": " + c.Reason));
  }
  EXPECT_TRUE(testing_support::IsCharDevice("/dev/full"));
  EXPECT_EQ(fs::read_symlink(dir / "full"), "/dev/full");
  EXPECT_TRUE(fs::is_empty(dir / "small"));
}

// The shim changes the input once the first pass has read to its end. The input is read
// through positioned reads, never mapped: a file cut short is reported, not a SIGBUS.
TEST(InputChanges, AnInputChangedBetweenThePassesIsReportedAndLeavesNoContainer) {
  constexpr std::size_t Small = 200000, Large = (2u << 20) + 5000;
  const auto counted = [](std::size_t size) {
    return std::to_string(size) + " bytes were counted";
  };
  // 0xEE never occurs in the skewed images, so it has no code.
  const auto codeless = [](std::size_t offset) {
    return "changed while it was being packed: byte value 0xEE at offset " +
           std::to_string(offset) + " was not there when it was counted";
  };
  const struct {
    std::size_t Size;
    std::string Change, Message;
  } cases[] = {
      {Small, "FAULT_PATCH=200000,7", "grew while it was being packed: " + counted(Small)},
      {Large, "FAULT_PATCH=" + std::to_string(Large) + ",7",
       "grew while it was being packed: " + counted(Large)},
      {Small, "FAULT_PATCH=150000,238", codeless(150000)},
      {Large, "FAULT_PATCH=" + std::to_string(Large - 100) + ",238", codeless(Large - 100)},
      {Small, "FAULT_TRUNCATE=100000",
       "shrank while it was being packed: " + counted(Small) + ", 100000 read"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Change);
    TTempDir dir;
    const TSubject subject = Prepare(TMode::Pack, dir, RandomBytes(c.Size, 8, 0.3), dir / "out");
    const TShimRun run = RunWithShim(subject, dir, {c.Change});
    EXPECT_EQ(run.Result.ExitCode, 1);
    EXPECT_EQ(run.Result.Output,
              subject.Failure("EInputChanged", "File " + (dir / "in") + " " + c.Message));
    EXPECT_FALSE(Exists(dir / "out"));
  }
}

}  // namespace
