// Whole-program fault injection: the programs run with fault/fault_shim.cpp preloaded, which
// fails their file calls one at a time, and on devices that fill up. Every failure must end
// in exit code 1 and a failure report, with no "Ok", no output file left and the input as it
// was.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

enum class TMode { Pack, Check, Unpack };

// A program ready to run on dir/in, what dir/in holds, and what its console shows.
struct TSubject {
  std::string Program, Module, Banner;
  std::vector<std::string> Arguments;
  Bytes Input;

  std::string Failure(const std::string& kind, const std::string& message) const {
    return Banner + FailureReport(Module, kind, message);
  }
};

// Writes dir/in: the image itself to pack, or its container to check or unpack into `out`.
TSubject Prepare(TMode mode, const TTempDir& dir, const Bytes& image, const std::string& out) {
  TSubject subject =
      mode == TMode::Pack
          ? TSubject{SARNVELD2HEX_PATH,
                     "sarnveld2hex",
                     PackerBanner,
                     {dir / "in", out, "-", "-"},
                     image}
          : TSubject{HEX2PLAIN_PATH, "hex2plain", UnpackerBanner, {dir / "in", out}, Pack(image)};
  if (mode == TMode::Check)
    subject.Arguments.pop_back();
  WriteWholeFile(dir / "in", subject.Input);
  return subject;
}

// The run, and per kind of call how many the shim saw and whether it failed one.
struct TShimRun {
  TRunResult Result;
  std::map<std::string, std::pair<long, bool>> Seen;
};

TShimRun RunWithShim(const TSubject& subject, const TTempDir& dir,
                     std::vector<std::string> environment, TRunOptions options = {}) {
  fs::remove(dir / "shim-report");
  environment.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM_PATH);
  environment.push_back("FAULT_REPORT=" + (dir / "shim-report"));
  options.Environment = environment;
  TShimRun run{RunProgram(subject.Program, subject.Arguments, options), {}};
  std::ifstream in(dir / "shim-report");
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

const Bytes Previous = Text("previous");

// The output as it was before the run, and nothing beside it but the input, `others` more
// files and the shim's report: no new file was left.
bool LeftAsItWas(const TTempDir& dir, std::size_t others = 0) {
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    files += entry.path().filename() != "shim-report" ? 1 : 0;
  return files == 2 + others && ReadWholeFile(dir / "out") == Previous;
}

// Exit code 1, a report that names the failed call (not, say, a failed read taken for the end
// of the file and reported as an input that shrank), no "Ok", the old output as it was and no
// new one, the input unchanged.
::testing::AssertionResult FailedCleanly(const TSubject& subject, const std::string& kind,
                                         const TRunResult& result, const TTempDir& dir) {
  const std::string& out = result.Output;
  const auto has = [&](const std::string& text) { return out.find(text) != std::string::npos; };
  const bool inOut = has("Exception EInOutError") && out.ends_with(": Input/output error.\r\n");
  const bool named = kind != "size"
                         ? inOut
                         : has("Exception EFOpenError") || has("Exception EFCreateError") ||
                               (inOut && has("Cannot get the size of"));
  if (result.ExitCode != 1 || !out.starts_with(subject.Banner + "Exception E") ||
      !out.ends_with(".\r\n") || !has(" in module " + subject.Module + " at 00000000.\n") ||
      has("Ok\r\n") || !named)
    return ::testing::AssertionFailure() << "exit code " << result.ExitCode << ", " << out;
  if (!LeftAsItWas(dir))
    return ::testing::AssertionFailure()
           << "the old output changed, or a new one was left: " << out;
  if (ReadWholeFile(dir / "in") != subject.Input)
    return ::testing::AssertionFailure() << "the input changed";
  return ::testing::AssertionSuccess();
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

// Each read, write, size query and close of a run is failed in turn, until the shim reports
// that the run made no call with that number, over an output of an earlier run. The sweep
// fails when a kind that the program uses saw no fault, so that it cannot pass by failing
// nothing. Short reads and writes, each interrupted first, are retried and change nothing. A
// signal that stops a run while its output is being written removes the new file and ends the
// program as the signal asks; the old output stays.
TEST_P(FaultSweep, EveryFailedFileCallIsReportedAndLeavesTheOldOutput) {
  const TSweepCase& c = GetParam();
  TTempDir dir;
  const TSubject subject = Prepare(c.Mode, dir, RandomBytes(c.ImageSize, 17, c.Skew), dir / "out");
  const bool writes = c.Mode != TMode::Check;
  const auto succeeded = [&](const TShimRun& run, const Bytes& expected) {
    EXPECT_EQ(run.Result.ExitCode, 0);
    EXPECT_TRUE(run.Result.Output.ends_with("\r\nOk\r\n")) << run.Result.Output;
    EXPECT_TRUE(ReadWholeFile(dir / "out") == (writes ? expected : Previous));
    WriteWholeFile(dir / "out", Previous);
  };
  WriteWholeFile(dir / "out", Previous);
  const TShimRun counting = RunWithShim(subject, dir, {});
  const Bytes expected = ReadWholeFile(dir / "out");
  succeeded(counting, expected);
  succeeded(RunWithShim(subject, dir, {"FAULT_SHORT=1000"}), expected);

  std::string counts = std::string(c.Name) + ": failed";
  for (const std::string kind : {"read", "write", "size", "close"}) {
    long failed = 0;
    for (long at = 1;; ++at) {
      const TShimRun run = RunWithShim(subject, dir, Fault(kind, at));
      if (!run.Seen.at(kind).second) {
        succeeded(run, expected);
        break;
      }
      ASSERT_TRUE(FailedCleanly(subject, kind, run.Result, dir)) << kind << " call " << at;
      ++failed;
    }
    EXPECT_EQ(failed, counting.Seen.at(kind).first) << kind;
    EXPECT_TRUE(failed > 0 || (kind == "write" && !writes)) << "no " << kind << " call failed";
    counts += " " + std::to_string(failed) + " " + kind;
  }
  std::printf("%s\n", counts.c_str());
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (!writes)
      break;
    std::vector<std::string> environment = Fault("write", 2);
    environment.push_back("FAULT_SIGNAL=" + std::to_string(signal));
    const TRunResult result = RunWithShim(subject, dir, environment).Result;
    EXPECT_EQ(result.Signal, signal);
    EXPECT_EQ(result.Output, subject.Banner);
    EXPECT_TRUE(LeftAsItWas(dir));
    EXPECT_EQ(ReadWholeFile(dir / "in"), subject.Input);
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, FaultSweep,
                         ::testing::Values(TSweepCase{"PackOneSegment", TMode::Pack, 200000, 0.3},
                                           TSweepCase{"PackThreeSegments", TMode::Pack,
                                                      (2u << 20) + 5000, 0},
                                           TSweepCase{"Check", TMode::Check, 200000, 0.3},
                                           TSweepCase{"Unpack", TMode::Unpack, 1300000, 0.3}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A full disk after short writes; hex2plain's file-size limit and /dev/full through a link; an
// input that the shim changes once the first pass has read to its end, where a mapped input cut
// short would end in SIGBUS. A device is never removed. (The packer's limit and /dev/full are
// in program_test.cpp; a changed byte in one segment is pack_test's.)
TEST(Failures, AWriteWithoutRoomOrAChangedInputIsReportedAndLeavesNoOutput) {
  TTempDir dir;
  fs::create_symlink("/dev/full", dir / "full");
  std::vector<std::string> shortThenFull = Fault("write", 50, ENOSPC);
  shortThenFull.push_back("FAULT_SHORT=1000");
  constexpr std::size_t Small = 200000, Large = (2u << 20) + 5000;
  const std::string in = dir / "in", out = dir / "out", counted = " bytes were counted";
  const auto full = [](const std::string& path) {
    return "Cannot write file " + path + ": No space left on device";
  };
  const auto patch = [](std::size_t at, int value) {
    return "FAULT_PATCH=" + std::to_string(at) + "," + std::to_string(value);
  };
  // 0xEE (238) never occurs in the skewed images, so it has no code.
  const auto codeless = [&](std::size_t at) {
    return "File " + in + " changed while it was being packed: byte value 0xEE at offset " +
           std::to_string(at) + " was not there when it was counted";
  };
  const auto grew = [&](std::size_t size) {
    return "File " + in + " grew while it was being packed: " + std::to_string(size) + counted;
  };
  const std::string payload = std::to_string(Pack(RandomBytes(Small, 8, 0.3)).size() - 40);
  const auto damaged = [&](const std::string& what) {
    return "Container " + in + " is damaged: " + what;
  };
  const struct {
    TMode Mode;
    std::size_t Size;
    std::string Out;
    std::vector<std::string> Environment;
    std::string Message;  // of an EInOutError, EInputChanged ("File ") or EBadContainer
    long long FileSizeLimit = -1;
  } cases[] = {
      {TMode::Pack, Small, out, shortThenFull, full(out)},
      {TMode::Unpack, Small, out, {}, "Cannot write file " + out + ": File too large", 65536},
      {TMode::Unpack, Small, dir / "full", {}, full(dir / "full")},
      {TMode::Pack, Small, out, {patch(Small, 7)}, grew(Small)},
      {TMode::Pack, Large, out, {patch(Large, 7)}, grew(Large)},
      {TMode::Pack, Large, out, {patch(Large - 100, 238)}, codeless(Large - 100)},
      {TMode::Pack,
       Small,
       out,
       {"FAULT_TRUNCATE=100000"},
       "File " + in + " shrank while it was being packed: 200000" + counted + ", 100000 read"},
      // A container that grows while it is read: found at its end, or by the second pass.
      {TMode::Check,
       Small,
       out,
       {patch(2 * Small, 7), "FAULT_PATCH_AT=2"},
       damaged("the file grew while it was read, past the " + payload +
               " payload bytes of PayloadSize (byte 32)")},
      {TMode::Unpack,
       Small,
       out,
       {patch(2 * Small, 7), "FAULT_PATCH_AT=2"},
       damaged("PayloadSize (byte 32) is " + payload + ", but " + std::to_string(2 * Small - 39) +
               " bytes follow the header")}};
  for (const auto& c : cases) {
    const TSubject subject = Prepare(c.Mode, dir, RandomBytes(c.Size, 8, 0.3), c.Out);
    SCOPED_TRACE(subject.Module + " to " + c.Out + ": " + c.Message);
    WriteWholeFile(out, Previous);
    const std::string kind = c.Message.starts_with("File ")        ? "EInputChanged"
                             : c.Message.starts_with("Container ") ? "EBadContainer"
                                                                   : "EInOutError";
    const bool changed = kind != "EInOutError";
    const TShimRun run =
        RunWithShim(subject, dir, c.Environment, {.FileSizeLimit = c.FileSizeLimit});
    EXPECT_EQ(run.Result.ExitCode, 1);
    EXPECT_EQ(run.Result.Output, subject.Failure(kind, c.Message));
    EXPECT_TRUE(c.Environment != shortThenFull || run.Seen.at("write").second);
    EXPECT_TRUE(LeftAsItWas(dir, 1));  // and the link to /dev/full
    EXPECT_TRUE(changed || ReadWholeFile(in) == subject.Input);
  }
  EXPECT_TRUE(IsCharDevice("/dev/full"));
  EXPECT_EQ(fs::read_symlink(dir / "full"), "/dev/full");
}

}  // namespace
