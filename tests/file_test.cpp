// The file layer: how an output takes its file's place, which outputs it refuses, and how a
// refused call is reported.
#include "file/file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>

#include "base/errors.h"
#include "support.h"

namespace {

using huff::TFile;
using testing::AllOf, testing::ContainsRegex, testing::Eq, testing::Not, testing::StartsWith,
    testing::ThrowsMessage;
using namespace testing_support;
namespace fs = std::filesystem;

const Bytes Old = {'o', 'l', 'd'};

// Two outputs to one path at once write a new file each: the one closed last is left, whole. A
// close that cannot put the new file in place (a folder took the name meanwhile) fails, and once
// the file is gone nothing is left beside it, or beside the others. (An abandoned output leaving
// the old file as it was and nothing beside it, and a closed one replacing it, through links
// too, with its mode kept, and a device written in place, are the program table's and the fault
// sweep's.)
TEST(TFile, OutputsToOnePathAreWholeAndAFailedReplaceOrCallIsReported) {
  TTempDir dir;
  WriteWholeFile(dir / "old", Old);
  auto first = TFile::CreateForWriting(dir / "two", nullptr);
  const auto second = TFile::CreateForWriting(dir / "two", nullptr);
  first->WriteAt(0, Old);
  second->WriteAt(0, Text("new"));
  first->Close();
  second->Close();
  EXPECT_EQ(ReadWholeFile(dir / "two"), Text("new"));
  auto late = TFile::CreateForWriting(dir / "late", nullptr);
  fs::create_directory(dir / "late");
  EXPECT_THROW(late->Close(), huff::EInOutError);
  late.reset();
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 3);
  // A call the system refuses names the call, the file and the system's reason with no line end
  // after it, on every platform: here a write to a file opened for reading only, left as it was.
  const std::string start = "Cannot write file " + (dir / "old") + ": ";
  EXPECT_THAT(
      [&] { TFile::OpenForReading(dir / "old")->WriteAt(0, Old); },
      ThrowsMessage<huff::EInOutError>(AllOf(StartsWith(start), Not(ContainsRegex("\\s$")))));
  EXPECT_EQ(ReadWholeFile(dir / "old"), Old);
}

#ifndef _WIN32
// What a signal handler calls removes the new file of each unfinished output, however many
// outputs the process closed before, and only those: a file that took one's name since is
// someone else's. In a child: after the call, the process must end.
TEST(TFile, TheHandlersCallRemovesTheNewFilesAlone) {
  TTempDir dir;
  const auto run = [&] {
    for (int i = 0; i < 9; ++i)
      TFile::CreateForWriting(dir / "out", nullptr)->Close();
    const auto kept = TFile::CreateForWriting(dir / "kept", nullptr),
               gone = TFile::CreateForWriting(dir / "gone", nullptr);
    for (const auto& entry : fs::directory_iterator(dir.path()))
      if (entry.path().filename().string().starts_with("kept.")) {
        WriteWholeFile(dir / "other", Old);
        fs::rename(dir / "other", entry.path());
      }
    huff::RemoveUnfinishedOutputs();
    std::_Exit(std::distance(fs::directory_iterator(dir.path()), {}) == 2 ? 0 : 1);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}
#endif

// An output is refused, before it touches any file, when it is the input by another name or
// link, a file another run is writing, a folder, a FIFO (even one being read), a file removed
// from the name it was opened by (a /proc link's text is "<path> (deleted)"), or in no folder.
// A FIFO is no input either. (A standard output that is the output or the input is the program
// table's; here only that refusing it keeps no descriptor.)
TEST(TFile, AnOutputThatCannotBeReplacedSafelyIsRefused) {
  TTempDir dir;
  for (const char* name : {"in", "locked"})
    WriteWholeFile(dir / name, Old);
  fs::create_hard_link(dir / "in", dir / "hard");
  fs::create_directory(dir / "folder");
  const auto input = TFile::OpenForReading(dir / "in");
  const auto writing = TFile::CreateForWriting(dir / "locked", nullptr);
  std::vector<std::string> outputs = {"./in", "hard", "locked", "folder", "no/out"};
#ifndef _WIN32
  outputs.insert(outputs.end(), {"soft", "fifo", "removed"});
  fs::create_symlink(dir / "in", dir / "soft");
  const int removed = ::open((dir / "gone").c_str(), O_RDWR | O_CREAT, 0600);
  fs::remove(dir / "gone");
  WriteWholeFile(dir / "gone (deleted)", Old);  // what the link's text names, another file
  fs::create_symlink("/proc/self/fd/" + std::to_string(removed), dir / "removed");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_THROW(TFile::OpenForReading(dir / "fifo"), huff::EFOpenError);
#else
  // Other spellings of one file: the case of its letters, trailing dots and spaces.
  outputs.insert(outputs.end(), {"IN", "in. ."});
#endif
  for (const std::string& output : outputs)
    EXPECT_THAT([&] { TFile::CreateForWriting(dir / output, input.get()); },
                ThrowsMessage<huff::EFCreateError>(Eq("Cannot create file " + (dir / output))));
  EXPECT_EQ(ReadWholeFile(dir / "in"), Old);
  EXPECT_TRUE(fs::is_empty(dir / "folder"));
#ifndef _WIN32
  EXPECT_TRUE(fs::is_symlink(dir / "soft") && fs::is_fifo(dir / "fifo"));
  pollfd hangUp{reader, POLLIN, 0};  // a writer that came and went would have ended the stream
  EXPECT_EQ(::poll(&hangUp, 1, 0), 0);
  ::close(reader);
  ::close(removed);
  // Standard output as the input, the output an old file: refused, and no descriptor kept.
  const auto descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = descriptors();
  const int console = ::dup(STDOUT_FILENO), in = ::open((dir / "in").c_str(), O_WRONLY);
  ASSERT_TRUE(console >= 0 && in >= 0 && ::dup2(in, STDOUT_FILENO) == STDOUT_FILENO);
  bool refused = false;
  try {
    TFile::CreateForWriting(dir / "locked", input.get());
  } catch (const huff::EFCreateError&) {
    refused = true;  // reported once the console is back
  }
  ::dup2(console, STDOUT_FILENO);
  ::close(in);
  ::close(console);
  EXPECT_TRUE(refused);
  EXPECT_EQ(descriptors(), before);
#endif
}

}  // namespace
