// The file layer: how an output takes its file's place, and how a refused call is reported.
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

// An output is written beside its file and put in its place whole: abandoned, it leaves the
// old file as it was and nothing beside it; closed, it replaces the file, through a symbolic
// link the file it leads to, with its mode kept, while other hard links keep the old file. A
// device is written in place.
TEST(TFile, AnOutputReplacesItsFileWholeOrNotAtAll) {
  TTempDir dir;
  const Bytes New = {'n', 'e', 'w'};
  WriteWholeFile(dir / "existing", Old);
  WriteWholeFile(dir / "linked", Old);
  fs::create_hard_link(dir / "linked", dir / "other");
  std::vector<std::string> paths = {dir / "new", dir / "existing", dir / "linked"};
#ifndef _WIN32  // the C++ library for Windows makes no symbolic links
  WriteWholeFile(dir / "target", Old);
  fs::permissions(dir / "target",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
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
  EXPECT_EQ(ReadWholeFile(dir / "other"), Old);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path()))
    ++files;
  EXPECT_EQ(files, paths.size() + 1 + (paths.size() > 3 ? 1 : 0));  // other, and target
#ifndef _WIN32
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(fs::status(dir / "target").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  auto device = TFile::CreateForWriting(NullDevice, nullptr);
  device->WriteAt(0, New);
  device->Abandon();
  EXPECT_TRUE(IsCharDevice(NullDevice));
#endif
  // A close that cannot put the new file in place (a folder took the name meanwhile) fails,
  // and once the file is gone nothing is left beside it.
  auto late = TFile::CreateForWriting(dir / "late", nullptr);
  fs::create_directory(dir / "late");
  EXPECT_THROW(late->Close(), huff::EInOutError);
  late.reset();
  for (const auto& entry : fs::directory_iterator(dir.path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with("late.")) << entry.path();
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
