// Whole-program fault injection: the programs run with fault/fault_shim.cpp preloaded, which
// fails their file calls one at a time, stops them by a signal, writes short and changes their
// input between its passes. Every failure must end in exit code 1 and a failure report, with
// no "Ok", the old output as it was, nothing left beside it and the input unchanged.
#include <gtest/gtest.h>

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

enum TMode { Packing, Checking, Unpacking };
const Bytes Previous = Text("previous");

// A program ready to run on dir/in, the image to pack or its container, into dir/out, which
// holds an output of an earlier run.
struct TSubject {
  std::string Program, Module, Banner;
  std::vector<std::string> Arguments;
  Bytes Input;
};

TSubject Prepare(TMode mode, const TTempDir& dir, const Bytes& image) {
  const std::string in = dir / "in", out = dir / "out";
  TSubject subject{HEX2PLAIN_PATH, "hex2plain", UnpackerBanner, {in, out}, Pack(image)};
  if (mode == Packing)
    subject = {SARNVELD2HEX_PATH, "sarnveld2hex", PackerBanner, {in, out, "-", "-"}, image};
  if (mode == Checking)
    subject.Arguments.pop_back();
  WriteWholeFile(in, subject.Input);
  WriteWholeFile(out, Previous);
  return subject;
}

// The run, and per kind of call how many the shim saw and whether it failed one.
struct TShimRun {
  TRunResult Result;
  std::map<std::string, std::pair<long, bool>> Seen;
};

TShimRun RunWithShim(const TSubject& subject, const TTempDir& dir,
                     std::vector<std::string> environment) {
  fs::remove(dir / "shim-report");  // a run that a signal ends writes none
  environment.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM_PATH);
  environment.push_back("FAULT_REPORT=" + (dir / "shim-report"));
  TShimRun run{RunProgram(subject.Program, subject.Arguments, {.Environment = environment}), {}};
  std::ifstream in(dir / "shim-report");
  std::string name;
  long calls = 0;
  int failed = 0;
  while (in >> name >> calls >> failed)
    run.Seen[name] = {calls, failed != 0};
  return run;
}

// The old output as it was, and nothing beside it but the input and the shim's report; the
// input unchanged unless the shim changed it.
bool LeftAsItWas(const TSubject& subject, const TTempDir& dir, bool inputChanged = false) {
  return std::distance(fs::directory_iterator(dir.path()), {}) ==
             2 + (Exists(dir / "shim-report") ? 1 : 0) &&
         ReadWholeFile(dir / "out") == Previous &&
         (inputChanged || ReadWholeFile(dir / "in") == subject.Input);
}

// Exit code 1, a report that names the failed call (not, say, a failed read taken for the end
// of the file and reported as an input that shrank), no "Ok", and the files as they were.
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
      has("Ok\r\n") || !named || !LeftAsItWas(subject, dir))
    return ::testing::AssertionFailure() << "exit code " << result.ExitCode << ", files as they "
                                         << "were: " << LeftAsItWas(subject, dir) << ", " << out;
  return ::testing::AssertionSuccess();
}

// Packing, with one segment and with three (coded on several threads where there are several
// cores); checking a container, and unpacking it.
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
// that the run made no call with that number. The sweep fails when a kind that the program
// uses saw no fault, so that it cannot pass by failing nothing. Short reads and writes, each
// interrupted first, are retried and change nothing. A signal that stops a run while its
// output is being written removes the new file and ends the program as the signal asks.
TEST_P(FaultSweep, EveryFailedFileCallIsReportedAndLeavesTheOldOutput) {
  const TSweepCase& c = GetParam();
  TTempDir dir;
  const TSubject subject = Prepare(c.Mode, dir, RandomBytes(c.ImageSize, 17, c.Skew));
  const bool writes = c.Mode != Checking;
  const auto succeeded = [&](const TShimRun& run, const Bytes& expected) {
    EXPECT_EQ(run.Result.ExitCode, 0);
    EXPECT_TRUE(run.Result.Output.ends_with("\r\nOk\r\n")) << run.Result.Output;
    EXPECT_TRUE(ReadWholeFile(dir / "out") == (writes ? expected : Previous));
    WriteWholeFile(dir / "out", Previous);
  };
  const TShimRun counting = RunWithShim(subject, dir, {});
  const Bytes expected = ReadWholeFile(dir / "out");
  succeeded(counting, expected);
  succeeded(RunWithShim(subject, dir, {"FAULT_SHORT=1000"}), expected);

  std::string counts = std::string(c.Name) + ": failed";  // CI prints them
  for (const std::string kind : {"read", "write", "size", "close"}) {
    long failed = 0;
    for (long at = 1;; ++at, ++failed) {
      const TShimRun run =
          RunWithShim(subject, dir, {"FAULT_KIND=" + kind, "FAULT_AT=" + std::to_string(at)});
      if (!run.Seen.at(kind).second) {
        succeeded(run, expected);
        break;
      }
      ASSERT_TRUE(FailedCleanly(subject, kind, run.Result, dir)) << kind << " call " << at;
    }
    EXPECT_EQ(failed, counting.Seen.at(kind).first) << kind;
    EXPECT_TRUE(failed > 0 || (kind == "write" && !writes)) << "no " << kind << " call failed";
    counts += " " + std::to_string(failed) + " " + kind;
  }
  std::printf("%s\n", counts.c_str());
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string at = "FAULT_SIGNAL=" + std::to_string(signal);
    const TRunResult result =
        RunWithShim(subject, dir, {"FAULT_KIND=write", "FAULT_AT=2", at}).Result;
    EXPECT_TRUE(!writes || (result.Signal == signal && result.Output == subject.Banner)) << at;
    EXPECT_TRUE(LeftAsItWas(subject, dir));
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, FaultSweep,
                         ::testing::Values(TSweepCase{"PackOneSegment", Packing, 200000, 0.3},
                                           TSweepCase{"PackThreeSegments", Packing,
                                                      (2u << 20) + 5000, 0},
                                           TSweepCase{"Check", Checking, 200000, 0.3},
                                           TSweepCase{"Unpack", Unpacking, 1300000, 0.3}),
                         [](const auto& info) { return std::string(info.param.Name); });

// An input that the shim resizes once the first pass has read to its end (or at the read that
// FAULT_RESIZE_AT names), where a mapped input cut short would end in SIGBUS. (The other
// failure kinds are program_test.cpp's rows.)
TEST(Failures, AChangedInputIsReportedAndLeavesTheOldOutput) {
  TTempDir dir;
  const Bytes image = RandomBytes(200000, 8, 0.3);
  const std::string in = dir / "in", damaged = "Container " + in + " is damaged: ",
                    packed = " while it was being packed: 200000 bytes were counted",
                    payload = std::to_string(Pack(image).size() - 40);
  const std::vector<std::string> grows = {"FAULT_RESIZE=400001", "FAULT_RESIZE_AT=2"};
  const struct {
    TMode Mode;
    std::vector<std::string> Environment;
    std::string Message;
  } cases[] = {
      {Packing, {"FAULT_RESIZE=200001"}, "File " + in + " grew" + packed},
      {Packing, {"FAULT_RESIZE=100000"}, "File " + in + " shrank" + packed + ", 100000 read"},
      // A container that grows while it is read: found at its end, or by the second pass.
      {Checking, grows,
       damaged + "the file grew while it was read, past the " + payload +
           " payload bytes of PayloadSize (byte 32)"},
      {Unpacking, grows,
       damaged + "PayloadSize (byte 32) is " + payload + ", but 399961 bytes follow the header"}};
  for (const auto& c : cases) {
    const TSubject subject = Prepare(c.Mode, dir, image);
    SCOPED_TRACE(c.Message);
    const TRunResult result = RunWithShim(subject, dir, c.Environment).Result;
    const char* kind = c.Mode == Packing ? "EInputChanged" : "EBadContainer";
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output, subject.Banner + FailureReport(subject.Module, kind, c.Message));
    EXPECT_TRUE(LeftAsItWas(subject, dir, true));
  }
}

}  // namespace
