// The file layer: what a failed run may remove.
#include "file/file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/errors.h"
#include "support.h"

namespace {

using huff::TFile;
using testing_support::ReadWholeFile;
using testing_support::TTempDir;
using testing_support::WriteWholeFile;
namespace fs = std::filesystem;

const testing_support::Bytes Old = {'o', 'l', 'd'};

// Creates or truncates `path`, writes to it and abandons it.
void WriteAndAbandon(const std::string& path) {
  auto file = TFile::CreateForWriting(path, nullptr);
  file->Write(Old);
  file->Abandon();
}

TEST(TFile, AbandonRemovesAFileThisRunCreatedOrTruncated) {
  TTempDir dir;
  WriteWholeFile(dir / "existing", Old);
  for (const std::string& path : {dir / "new", dir / "existing"}) {
    WriteAndAbandon(path);
    EXPECT_FALSE(fs::exists(path)) << path;
  }
}

TEST(TFile, AbandonRemovesTheFileBehindASymbolicLinkNotTheLink) {
#ifdef _WIN32
  GTEST_SKIP() << "the C++ library for Windows makes no symbolic links";
#endif
  TTempDir dir;
  WriteWholeFile(dir / "target", Old);
  fs::create_symlink(dir / "target", dir / "link");
  WriteAndAbandon(dir / "link");
  EXPECT_FALSE(fs::exists(dir / "target"));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
}

TEST(TFile, AbandonEmptiesAFileThatOtherHardLinksStillName) {
  TTempDir dir;
  WriteWholeFile(dir / "out", Old);
  fs::create_hard_link(dir / "out", dir / "other");
  WriteAndAbandon(dir / "out");
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_EQ(fs::file_size(dir / "other"), 0u);
}

TEST(TFile, AbandonLeavesAFileThatReplacedTheOutputMeanwhile) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows cannot rename the output while it is open without sharing";
#endif
  TTempDir dir;
  auto file = TFile::CreateForWriting(dir / "out", nullptr);
  fs::rename(dir / "out", dir / "moved");
  WriteWholeFile(dir / "out", Old);
  file->Abandon();
  EXPECT_EQ(ReadWholeFile(dir / "out"), Old);
}

// A call the system refuses is an EInOutError that names the call and the file, on every
// platform: here a write to a file opened for reading only, which it leaves as it was.
TEST(TFile, AFailedWriteIsAnInOutErrorNamingTheFile) {
  TTempDir dir;
  WriteWholeFile(dir / "in", Old);
  auto file = TFile::OpenForReading(dir / "in");
  try {
    file->Write(Old);
    ADD_FAILURE() << "the write did not fail";
  } catch (const huff::EInOutError& error) {
    EXPECT_TRUE(error.Message().starts_with("Cannot write file " + (dir / "in") + ": "))
        << error.Message();
    EXPECT_GT(error.Message().size(), ("Cannot write file " + (dir / "in") + ": ").size());
  }
  file->Close();
  EXPECT_EQ(ReadWholeFile(dir / "in"), Old);
}

TEST(TFile, AbandonNeverRemovesADevice) {
  WriteAndAbandon(testing_support::NullDevice);
  EXPECT_TRUE(testing_support::IsCharDevice(testing_support::NullDevice));
}

}  // namespace
