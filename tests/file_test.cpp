// The file layer: what a failed run may remove, and how a refused call is reported.
#include "file/file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/errors.h"
#include "support.h"

namespace {

using huff::TFile;
using namespace testing_support;
namespace fs = std::filesystem;

const Bytes Old = {'o', 'l', 'd'};

// Abandoning an output this run created or truncated removes it: the file behind a symbolic
// link, not the link; never a device; a file that other hard links still name is emptied.
TEST(TFile, AbandonRemovesWhatThisRunWroteAndNoMore) {
  TTempDir dir;
  WriteWholeFile(dir / "existing", Old);
  WriteWholeFile(dir / "linked", Old);
  fs::create_hard_link(dir / "linked", dir / "other");
#ifndef _WIN32  // the C++ library for Windows makes no symbolic links
  WriteWholeFile(dir / "target", Old);
  fs::create_symlink(dir / "target", dir / "link");
#endif
  for (const std::string& path :
       {dir / "new", dir / "existing", dir / "linked", dir / "link", testing_support::NullDevice}) {
    auto file = TFile::CreateForWriting(path, nullptr);
    file->WriteAt(0, Old);
    file->Abandon();
  }
  for (const char* name : {"new", "existing", "linked", "target"})
    EXPECT_FALSE(fs::exists(dir / name)) << name;
  EXPECT_EQ(fs::file_size(dir / "other"), 0u);
#ifndef _WIN32
  EXPECT_TRUE(IsCharDevice(NullDevice));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  // A file that replaced the output meanwhile is left. (Windows cannot rename the output while
  // it is open without sharing.)
  auto file = TFile::CreateForWriting(dir / "out", nullptr);
  fs::rename(dir / "out", dir / "moved");
  WriteWholeFile(dir / "out", Old);
  file->Abandon();
  EXPECT_EQ(ReadWholeFile(dir / "out"), Old);
#endif
}

// A call the system refuses is an EInOutError that names the call and the file, on every
// platform: here a write to a file opened for reading only, which it leaves as it was.
TEST(TFile, AFailedWriteIsAnInOutErrorNamingTheFile) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Old);
  auto file = TFile::OpenForReading(dir / "in");
  const std::string start = "Cannot write file " + (dir / "in") + ": ";
  try {
    file->WriteAt(0, Old);
    ADD_FAILURE() << "the write did not fail";
  } catch (const huff::EInOutError& error) {
    EXPECT_TRUE(error.Message().starts_with(start) && error.Message().size() > start.size())
        << error.Message();
  }
  file->Close();
  EXPECT_EQ(ReadWholeFile(dir / "in"), Old);
}

}  // namespace
