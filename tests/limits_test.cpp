// Whole-program tests at the size limits: memory that does not grow with the input, and the
// largest input a container can hold. They write gigabytes, so they run on tmpfs and are
// labelled slow.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "support.h"

namespace {

using namespace testing_support;

// The largest input accepted: the tree's weights, the end marker's 1 added to the bytes'
// counts, must fit in a signed 32-bit integer.
constexpr std::uint64_t LargestInput = 2147483646;

// A directory on tmpfs with room for `bytes`, or "" when the machine has none.
std::string RoomyTmpfs(std::uint64_t bytes) {
  struct statvfs info {};
  if (::statvfs("/dev/shm", &info) != 0 ||
      static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize < bytes)
    return "";
  return "/dev/shm";
}

class TShmDir {
 public:
  explicit TShmDir(const std::string& parent) : Path(parent + "/sarnveld-limits-XXXXXX") {
    if (::mkdtemp(Path.data()) == nullptr)
      throw std::runtime_error("cannot make a directory in " + parent);
  }
  ~TShmDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
  std::string operator/(const std::string& name) const { return Path + "/" + name; }

 private:
  std::string Path;
};

// Writes `size` bytes made of `block` repeated, one block in memory at a time.
void WriteRepeated(const std::string& path, const Bytes& block, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (std::uint64_t done = 0; done < size; done += block.size())
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), size - done)));
  ASSERT_TRUE(out.good());
}

// Whether the file at path holds `block` repeated over `size` bytes, read a block at a time.
bool HoldsRepeated(const std::string& path, const Bytes& block, std::uint64_t size) {
  std::ifstream in(path, std::ios::binary);
  Bytes got(block.size());
  std::uint64_t done = 0;
  while (done < size) {
    const auto want =
        static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), size - done));
    if (!in.read(reinterpret_cast<char*>(got.data()), want) ||
        !std::equal(got.begin(), got.begin() + want, block.begin()))
      return false;
    done += static_cast<std::uint64_t>(want);
  }
  return in.peek() == std::char_traits<char>::eof();
}

struct TRoundTrip {
  long PackerKiB = 0;
  long UnpackerKiB = 0;
};

// Packs and unpacks the file at dir/in of `size` bytes, checks the image came back, and
// returns the two programs' peak resident memory.
TRoundTrip RoundTrip(const TShmDir& dir, const Bytes& block, std::uint64_t size) {
  const TRunResult packed =
      RunProgram(SARNVELD2HEX_PATH, {dir / "in", dir / "in.hex", "LIMITS", "-"});
  EXPECT_EQ(packed.ExitCode, 0) << packed.Output;
  const TRunResult unpacked = RunProgram(HEX2PLAIN_PATH, {dir / "in.hex", dir / "out"});
  EXPECT_EQ(unpacked.ExitCode, 0) << unpacked.Output;
  EXPECT_TRUE(HoldsRepeated(dir / "out", block, size));
  std::remove((dir / "out").c_str());
  std::remove((dir / "in.hex").c_str());
  return {packed.PeakMemoryKiB, unpacked.PeakMemoryKiB};
}

// The packer starts its threads (one per core, and one more) for inputs of a segment per
// thread (1 MiB each) or more;
// hex2plain, with a second core, reads a few windows of the payload ahead (1 MiB at most).
// From there on, neither's memory may grow with the input.
TEST(Limits, PeakMemoryDoesNotGrowWithTheInput) {
  constexpr std::uint64_t MiB = 1 << 20, GiB = 1 << 30;
  const std::string tmpfs = RoomyTmpfs(3 * GiB);
  if (tmpfs.empty())
    GTEST_SKIP() << "no tmpfs with 3 GiB free";
  // Skewed bytes: codes of many lengths, so the coder takes its general path.
  const Bytes block = RandomBytes(MiB, 17, 0.2);
  const auto roundTrip = [&](std::uint64_t size) {
    TShmDir dir(tmpfs);
    WriteRepeated(dir / "in", block, size);
    return RoundTrip(dir, block, size);
  };
  const TRoundTrip small = roundTrip(MiB), everyThread = roundTrip(32 * MiB),
                   large = roundTrip(GiB);
  std::printf(
      "peak resident KiB for 1 MiB, 32 MiB, 1 GiB: packer %ld %ld %ld, hex2plain %ld %ld "
      "%ld\n",
      small.PackerKiB, everyThread.PackerKiB, large.PackerKiB, small.UnpackerKiB,
      everyThread.UnpackerKiB, large.UnpackerKiB);
  EXPECT_LT(large.PackerKiB - everyThread.PackerKiB, 1024) << "the packer grew with its input";
  EXPECT_LT(large.UnpackerKiB - everyThread.UnpackerKiB, 1024) << "hex2plain grew with its input";
  EXPECT_LT(large.PackerKiB, 16 * 1024);
  EXPECT_LT(large.UnpackerKiB, 16 * 1024);
}

TEST(Limits, LargestInputPacksAndUnpacks) {
  const std::string tmpfs = RoomyTmpfs(3ull << 30);
  if (tmpfs.empty())
    GTEST_SKIP() << "no tmpfs with 3 GiB free";
  TShmDir dir(tmpfs);
  // Mostly a hole of zeros, with different bytes at the start, across the 1 GiB mark and at
  // the very end, so that a misplaced or lost block shows.
  WriteWholeFile(dir / "in", {});
  ASSERT_EQ(::truncate((dir / "in").c_str(), static_cast<off_t>(LargestInput)), 0);
  const Bytes patch = RandomBytes(1 << 20, 5);
  const std::uint64_t offsets[] = {0, (1ull << 30) - 4096, LargestInput - patch.size()};
  {
    std::fstream in(dir / "in", std::ios::binary | std::ios::in | std::ios::out);
    for (std::uint64_t offset : offsets) {
      in.seekp(static_cast<std::streamoff>(offset));
      in.write(reinterpret_cast<const char*>(patch.data()),
               static_cast<std::streamsize>(patch.size()));
    }
    ASSERT_TRUE(in.good());
  }
  const TRunResult packed =
      RunProgram(SARNVELD2HEX_PATH, {dir / "in", dir / "in.hex", "LARGEST", "-"});
  ASSERT_EQ(packed.ExitCode, 0) << packed.Output;
  ::unlink((dir / "in").c_str());  // only the container and the image share tmpfs from here
  const TRunResult unpacked = RunProgram(HEX2PLAIN_PATH, {dir / "in.hex", dir / "out"});
  ASSERT_EQ(unpacked.ExitCode, 0) << unpacked.Output;
  EXPECT_NE(unpacked.Output.find("2147483646"), std::string::npos) << unpacked.Output;

  ASSERT_EQ(std::filesystem::file_size(dir / "out"), LargestInput);
  std::ifstream out(dir / "out", std::ios::binary);
  Bytes got(patch.size());
  for (std::uint64_t offset : offsets) {
    out.seekg(static_cast<std::streamoff>(offset));
    ASSERT_TRUE(
        out.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size())));
    EXPECT_EQ(got, patch) << "at offset " << offset;
  }
  // And zeros between the patches: sample one block in each gap.
  const Bytes zeros(patch.size());
  for (std::uint64_t offset : {std::uint64_t{1} << 29, (std::uint64_t{1} << 30) + (1 << 20)}) {
    out.seekg(static_cast<std::streamoff>(offset));
    ASSERT_TRUE(
        out.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size())));
    EXPECT_EQ(got, zeros) << "at offset " << offset;
  }
}

}  // namespace
