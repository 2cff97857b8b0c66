// The file layer: which paths are refused, and what a failed run may remove.
#include "file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "container.h"
#include "container_reader.h"
#include "errors.h"
#include "run_program.h"

namespace {

using huff::TFile;
using testing_support::ReadWholeFile;
using testing_support::TTempDir;
using testing_support::WriteWholeFile;
namespace fs = std::filesystem;

const std::vector<std::uint8_t> Old = {'o', 'l', 'd'};

TEST(OpenInput, AMissingPathAndADirectoryAreInvalidFilenames) {
  TTempDir dir;
  for (const std::string& path : {dir / "missing", dir.path(), dir / "missing/below"}) {
    huff::TCompressorState state;
    try {
      huff::OpenInput(state, path);
      ADD_FAILURE() << path;
    } catch (const huff::EError& error) {
      EXPECT_EQ(error.Kind(), "EError");
      EXPECT_EQ(error.Message(), "Invalid Filename");
    }
  }
}

TEST(TFile, AbandonRemovesAFileThisRunCreatedOrTruncated) {
  TTempDir dir;
  WriteWholeFile(dir / "existing", Old);
  for (const std::string& path : {dir / "new", dir / "existing"}) {
    auto file = TFile::CreateForWriting(path, nullptr);
    file->Write(Old);
    file->Abandon();
    EXPECT_FALSE(fs::exists(path)) << path;
  }
}

TEST(TFile, AbandonRemovesTheFileBehindASymbolicLinkNotTheLink) {
  TTempDir dir;
  WriteWholeFile(dir / "target", Old);
  fs::create_symlink(dir / "target", dir / "link");
  auto file = TFile::CreateForWriting(dir / "link", nullptr);
  file->Write(Old);
  file->Abandon();
  EXPECT_FALSE(fs::exists(dir / "target"));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));

  // The next run through the now dangling link creates the file again.
  auto again = TFile::CreateForWriting(dir / "link", nullptr);
  again->Write(Old);
  again->Close();
  EXPECT_EQ(ReadWholeFile(dir / "target"), Old);
}

TEST(TFile, AbandonEmptiesAFileThatOtherHardLinksStillName) {
  TTempDir dir;
  WriteWholeFile(dir / "out", Old);
  fs::create_hard_link(dir / "out", dir / "other");
  auto file = TFile::CreateForWriting(dir / "out", nullptr);
  file->Write(Old);
  file->Abandon();
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_EQ(fs::file_size(dir / "other"), 0u);
}

TEST(TFile, AbandonLeavesAFileThatReplacedTheOutputMeanwhile) {
  TTempDir dir;
  auto file = TFile::CreateForWriting(dir / "out", nullptr);
  fs::rename(dir / "out", dir / "moved");
  WriteWholeFile(dir / "out", Old);
  file->Abandon();
  EXPECT_EQ(ReadWholeFile(dir / "out"), Old);
}

TEST(TFile, AbandonNeverRemovesADevice) {
  auto file = TFile::CreateForWriting("/dev/null", nullptr);
  file->Write(Old);
  file->Abandon();
  struct stat info {};
  ASSERT_EQ(::stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

}  // namespace
