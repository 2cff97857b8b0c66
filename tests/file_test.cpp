// The file layer: how an output takes its file's place, which outputs it refuses, and how a
// refused call is reported.
#include "file/file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>

#include "base/errors.h"
#include "support.h"

namespace {

using huff::TFile;
using testing::AllOf, testing::EndsWith, testing::Not, testing::StartsWith, testing::ThrowsMessage;
using namespace testing_support;
namespace fs = std::filesystem;

const Bytes Old = {'o', 'l', 'd'};

// An output is written beside its file and put in its place whole: abandoned, it leaves the
// old file as it was and nothing beside it; closed, it replaces the file, through a symbolic
// link the file it leads to, with its mode kept, while other hard links keep the old file. (A
// device, written in place, is the program table's.)
TEST(TFile, AnOutputReplacesItsFileWholeOrNotAtAll) {
  TTempDir dir;
  const Bytes New = {'n', 'e', 'w'};
  WriteWholeFile(dir / "linked", Old);
  fs::create_hard_link(dir / "linked", dir / "other");
  std::vector<std::string> paths = {dir / "new", dir / "linked"};
#ifndef _WIN32  // the C++ library for Windows makes no symbolic links
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  WriteWholeFile(dir / "target", Old);
  fs::permissions(dir / "target", mode);
  fs::create_symlink(dir / "target", dir / "link");
  paths.push_back(dir / "link");
#endif
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const bool existed = Exists(path);
    auto file = TFile::CreateForWriting(path, nullptr);
    file->WriteAt(0, New);
    file->Abandon();
    EXPECT_EQ(Exists(path), existed);
    EXPECT_TRUE(!existed || ReadWholeFile(path) == Old);
    file = TFile::CreateForWriting(path, nullptr);
    file->WriteAt(0, New);
#ifndef _WIN32  // where the run holds it unshared
    EXPECT_TRUE(!existed || ReadWholeFile(path) == Old);
#endif
    file->Close();
    EXPECT_EQ(ReadWholeFile(path), New);
  }
#ifndef _WIN32
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(fs::status(dir / "target").permissions(), mode);
#endif
  // A close that cannot put the new file in place (a folder took the name meanwhile) fails,
  // and once the file is gone nothing is left beside it, or beside the others.
  auto late = TFile::CreateForWriting(dir / "late", nullptr);
  fs::create_directory(dir / "late");
  EXPECT_THROW(late->Close(), huff::EInOutError);
  late.reset();
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}),
            std::ssize(paths) + 2 + (paths.size() > 2 ? 1 : 0));  // other, late, and target
  // A call the system refuses names the call and the file, on every platform: here a write to
  // a file opened for reading only, which it leaves as it was.
  const std::string start = "Cannot write file " + (dir / "other") + ": ";
  EXPECT_THAT([&] { TFile::OpenForReading(dir / "other")->WriteAt(0, New); },
              ThrowsMessage<huff::EInOutError>(AllOf(StartsWith(start), Not(EndsWith(": ")))));
  EXPECT_EQ(ReadWholeFile(dir / "other"), Old);
}

// An output is refused, before it touches any file, when it is the input by another name or
// link, a file another run is writing, a folder, a FIFO (even one being read), in no folder, or
// when standard output is the output or the input. A FIFO is no input either.
TEST(TFile, AnOutputThatCannotBeReplacedSafelyIsRefused) {
  TTempDir dir;
  for (const char* name : {"in", "out", "locked"})
    WriteWholeFile(dir / name, Old);
  fs::create_hard_link(dir / "in", dir / "hard");
  fs::create_directory(dir / "folder");
  const auto input = TFile::OpenForReading(dir / "in");
  const auto writing = TFile::CreateForWriting(dir / "locked", nullptr);
  const struct {
    std::string Output, Console = "";
  } cases[] = {{"./in"},   {"hard"},       {"locked"},    {"folder"},
               {"no/out"}, {"out", "out"}, {"out", "in"},
#ifndef _WIN32
               {"soft"},   {"fifo"}};
  fs::create_symlink(dir / "in", dir / "soft");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_THROW(TFile::OpenForReading(dir / "fifo"), huff::EFOpenError);
#else
               // Other spellings of one file: the case of its letters, trailing dots and spaces.
               {"IN"},     {"in. ."}};
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Output);
    std::fflush(stdout);  // standard output goes to the row's console file, as `>>` sends it
    const int saved = ::dup(1);
    const int console =
        c.Console.empty() ? ::dup(1) : ::open((dir / c.Console).c_str(), O_WRONLY | O_APPEND);
    ::dup2(console, 1);
    std::string message = "not refused";
    try {
      TFile::CreateForWriting(dir / c.Output, input.get());
    } catch (const huff::EFCreateError& error) {
      message = error.Message();
    }
    ::dup2(saved, 1);
    for (const int fd : {saved, console})
      ::close(fd);
    EXPECT_EQ(message, "Cannot create file " + (dir / c.Output));
  }
  EXPECT_TRUE(ReadWholeFile(dir / "in") == Old && ReadWholeFile(dir / "out") == Old);
  EXPECT_TRUE(fs::is_empty(dir / "folder"));
#ifndef _WIN32
  EXPECT_TRUE(fs::is_symlink(dir / "soft") && fs::is_fifo(dir / "fifo"));
  ::close(reader);
#endif
}

}  // namespace
