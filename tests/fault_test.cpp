// Whole-program fault injection: the programs run with fault/fault_shim.cpp preloaded, which
// fails their file calls one at a time, stops them by a signal, writes short and changes their
// input between its passes. Every failure must end in exit code 1 and a failure report, with
// no "Ok", the old output as it was, nothing left beside it and the input unchanged.
#include <gtest/gtest.h>

#include <sys/resource.h>

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

// A program ready to run on Dir/in, the image to pack or its container, into Dir/out, which
// holds an output of an earlier run.
struct TSubject {
  TSubject(TMode mode, const Bytes& image) : Mode(mode), Input(Packs ? image : Pack(image)) {
    WriteWholeFile(Dir / "in", Input);
    WriteWholeFile(Dir / "out", Previous);
  }

  TRunResult Run(std::vector<std::string> environment) const {
    environment.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM_PATH);
    std::vector<std::string> arguments = {Dir / "in", Dir / "out", "-", "-"};
    arguments.resize(Packs ? 4 : Mode == Unpacking ? 2 : 1);
    return RunProgram(Packs ? SARNVELD2HEX_PATH : HEX2PLAIN_PATH, arguments,
                      {.Environment = environment});
  }

  // The old output as it was, nothing beside it, the input unchanged unless the shim changed it.
  bool LeftAsItWas(bool inputChanged = false) const {
    return std::distance(fs::directory_iterator(Dir.path()), {}) == 2 &&
           ReadWholeFile(Dir / "out") == Previous &&
           (inputChanged || ReadWholeFile(Dir / "in") == Input);
  }

  const TTempDir Dir;
  const TMode Mode;
  const bool Packs = Mode == Packing;
  const Bytes Input;
  const std::string Module = Packs ? "sarnveld2hex" : "hex2plain",
                    Banner = Packs ? PackerBanner : UnpackerBanner;
};

// Exit code 1, a report that names the failed call (not, say, a failed read taken for the end
// of the file and reported as an input that shrank), no "Ok", and the files as they were.
bool FailedCleanly(const TSubject& subject, const std::string& kind, const TRunResult& result) {
  const std::string& out = result.Output;
  const auto has = [&](const std::string& text) { return out.find(text) != std::string::npos; };
  const bool inOut = has("Exception EInOutError") && out.ends_with(": Input/output error.\r\n");
  const bool named = kind != "size"
                         ? inOut
                         : has("Exception EFOpenError") || has("Exception EFCreateError") ||
                               (inOut && has("Cannot get the size of"));
  return result.ExitCode == 1 && out.starts_with(subject.Banner + "Exception E") &&
         out.ends_with(".\r\n") && has(" in module " + subject.Module + " at 00000000.\n") &&
         !has("Ok\r\n") && named && subject.LeftAsItWas();
}

// Packing, with one segment and with three (coded on several threads where there are several
// cores); checking a container, and unpacking it.
struct TSweepCase {
  const char* Name;
  TMode Mode;
  std::size_t ImageSize;
  double Skew;
  friend void PrintTo(const TSweepCase& c, std::ostream* out) { *out << c.Name; }
};

class FaultSweep : public ::testing::TestWithParam<TSweepCase> {};

// Each read, write, size query and close that a counting run made is failed in turn, and a
// run told to fail the one after the last succeeds. The sweep fails when a kind that the
// program uses saw no fault, so that it cannot pass by failing nothing. Short reads and writes,
// each interrupted first, are retried and change nothing. Each signal the programs stop for,
// come while the output is being written, removes the new file and ends the program as the
// signal asks.
TEST_P(FaultSweep, EveryFailedFileCallIsReportedAndLeavesTheOldOutput) {
  const TSweepCase& c = GetParam();
  const Bytes image = RandomBytes(c.ImageSize, 17, c.Skew);
  const TSubject subject(c.Mode, image);
  const bool writes = c.Mode != Checking;
  const Bytes expected = subject.Packs ? Pack(image) : writes ? image : Previous;
  const std::string out = subject.Dir / "out", report = subject.Dir / "calls";
  const auto succeeded = [&](const TRunResult& run) {
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_TRUE(run.Output.ends_with("\r\nOk\r\n")) << run.Output;
    EXPECT_TRUE(ReadWholeFile(out) == expected);
    WriteWholeFile(out, Previous);
  };
  // How many calls of each kind a run makes.
  succeeded(subject.Run({"FAULT_REPORT=" + report}));
  std::map<std::string, long> calls;
  std::ifstream in(report);
  for (std::string kind; in >> kind;)
    in >> calls[kind];
  fs::remove(report);
  succeeded(subject.Run({"FAULT_SHORT=1000"}));

  std::string counts = std::string(c.Name) + ": failed";  // CI prints them
  for (const std::string kind : {"read", "write", "size", "close"}) {
    const long count = calls.at(kind);
    for (long at = 1; at <= count + 1; ++at) {  // one past the last call fails none
      const TRunResult run = subject.Run({"FAULT_KIND=" + kind, "FAULT_AT=" + std::to_string(at)});
      if (at > count)
        succeeded(run);
      else
        ASSERT_TRUE(FailedCleanly(subject, kind, run))
            << kind << " call " << at << ": exit code " << run.ExitCode << ", " << run.Output;
    }
    EXPECT_TRUE(count > 0 || (kind == "write" && !writes)) << "no " << kind << " call failed";
    counts += " " + std::to_string(count) + " " + kind;
  }
  std::printf("%s\n", counts.c_str());
  rlimit core{};  // for SIGQUIT and SIGXCPU, no core file
  ASSERT_EQ(::getrlimit(RLIMIT_CORE, &core), 0);
  core.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_CORE, &core), 0);
  for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
                           SIGPROF, SIGXCPU, SIGPOLL, SIGPWR, SIGSTKFLT}) {
    const std::string at = "FAULT_SIGNAL=" + std::to_string(signal);
    const TRunResult result = subject.Run({"FAULT_KIND=write", "FAULT_AT=2", at});
    EXPECT_TRUE(!writes || (result.Signal == signal && result.Output == subject.Banner)) << at;
    EXPECT_TRUE(subject.LeftAsItWas());
  }
  // A signal ignored from the start (nohup) stays ignored, and one handled stays the handler's.
  succeeded(subject.Run({"--ignore-signal=HUP", "FAULT_KIND=write", "FAULT_AT=2",
                         "FAULT_SIGNAL=" + std::to_string(SIGHUP)}));
  succeeded(subject.Run({"FAULT_HANDLED=" + std::to_string(SIGPROF), "FAULT_KIND=write",
                         "FAULT_AT=2", "FAULT_SIGNAL=" + std::to_string(SIGPROF)}));
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
  const Bytes image = RandomBytes(200000, 8, 0.3);
  const std::string packed = " while it was being packed: 200000 bytes were counted",
                    payload = std::to_string(Pack(image).size() - 40);
  const std::vector<std::string> grows = {"FAULT_RESIZE=400001", "FAULT_RESIZE_AT=2"},
                                 shrinks = {"FAULT_RESIZE=50040", "FAULT_RESIZE_AT=2"};
  const struct {
    TMode Mode;
    std::vector<std::string> Environment;
    std::string Message;  // after the input's name
  } cases[] = {
      {Packing, {"FAULT_RESIZE=200001"}, " grew" + packed},
      {Packing, {"FAULT_RESIZE=100000"}, " shrank" + packed + ", 100000 read"},
      // A container that shrinks or grows while it is read: found at its end, by the second pass,
      // or, cut right after its header was read, by the header's size.
      {Checking, shrinks,
       " is damaged: the file ended after 50000 payload bytes, but PayloadSize (byte 32) is " +
           payload + ": it shrank while it was read"},
      {Checking, grows,
       " is damaged: the file grew while it was read, past the " + payload +
           " payload bytes of PayloadSize (byte 32)"},
      {Checking,
       {"FAULT_RESIZE=10", "FAULT_RESIZE_AT=1"},
       " is damaged: PayloadSize (byte 32) is " + payload + ", but 0 bytes follow the header"},
      {Unpacking, grows,
       " is damaged: PayloadSize (byte 32) is " + payload +
           ", but 399961 bytes follow the header"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    const TSubject subject(c.Mode, image);
    const TRunResult result = subject.Run(c.Environment);
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Output,
              subject.Banner +
                  FailureReport(
                      subject.Module, subject.Packs ? "EInputChanged" : "EBadContainer",
                      (subject.Packs ? "File " : "Container ") + (subject.Dir / "in") + c.Message));
    EXPECT_TRUE(subject.LeftAsItWas(true));
  }
}

}  // namespace
