// Whole-program tests at the size limits: memory that does not grow with the input, and the
// largest input a container can hold. They write gigabytes, so they run on tmpfs and are
// labelled slow.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support.h"

namespace {

using namespace testing_support;

constexpr std::uint64_t MiB = 1 << 20, GiB = 1 << 30;

// Whether /dev/shm has 3 GiB free; if so, temporary directories are made there from now on.
bool UseTmpfs() {
  struct statvfs info {};
  return ::statvfs("/dev/shm", &info) == 0 &&
         static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize >= 3 * GiB &&
         ::setenv("TMPDIR", "/dev/shm", 1) == 0;
}

// The packer starts its threads (one per core, and one more) for inputs of a segment per
// thread (1 MiB each) or more; hex2plain, with a second core, reads a few windows of the
// payload ahead (1 MiB at most). From there on, neither's memory may grow with the input.
TEST(Limits, PeakMemoryDoesNotGrowWithTheInput) {
  if (!UseTmpfs())
    GTEST_SKIP() << "no tmpfs with 3 GiB free";
  // Skewed bytes: codes of many lengths, so the coder takes its general path.
  const Bytes block = RandomBytes(MiB, 17, 0.2);
  std::vector<long> packer, unpacker;
  for (const std::uint64_t size : {MiB, 32 * MiB, GiB}) {
    TTempDir dir;
    {
      std::ofstream in(dir / "in", std::ios::binary);
      for (std::uint64_t done = 0; done < size; done += block.size())
        in.write(reinterpret_cast<const char*>(block.data()), MiB);
    }
    const TRunResult packed = RunProgram(SARNVELD2HEX_PATH, {dir / "in", dir / "hex", "-", "-"});
    const TRunResult unpacked = RunProgram(HEX2PLAIN_PATH, {dir / "hex", dir / "out"});
    EXPECT_EQ(packed.ExitCode, 0) << packed.Output;
    EXPECT_EQ(unpacked.ExitCode, 0) << unpacked.Output;
    std::ifstream out(dir / "out", std::ios::binary);
    Bytes got(MiB);
    for (std::uint64_t done = 0; done < size; done += MiB)
      ASSERT_TRUE(out.read(reinterpret_cast<char*>(got.data()), MiB) && got == block);
    EXPECT_EQ(out.peek(), EOF);
    packer.push_back(packed.PeakMemoryKiB);
    unpacker.push_back(unpacked.PeakMemoryKiB);
  }
  std::printf(
      "peak resident KiB for 1 MiB, 32 MiB, 1 GiB: packer %ld %ld %ld, hex2plain %ld %ld "
      "%ld\n",
      packer[0], packer[1], packer[2], unpacker[0], unpacker[1], unpacker[2]);
  EXPECT_LT(packer[2] - packer[1], 1024) << "the packer grew with its input";
  EXPECT_LT(unpacker[2] - unpacker[1], 1024) << "hex2plain grew with its input";
  EXPECT_LT(packer[2], 16 * 1024);
  EXPECT_LT(unpacker[2], 16 * 1024);
}

// The largest input accepted: the tree's weights, the end marker's 1 added to the bytes'
// counts, must fit in a signed 32-bit integer. It is mostly a hole of zeros, with different
// bytes at the start, across the 1 GiB mark and at the very end, so that a misplaced or lost
// block shows; zeros are sampled in the gaps.
TEST(Limits, LargestInputPacksAndUnpacks) {
  constexpr std::uint64_t Largest = 2147483646;
  if (!UseTmpfs())
    GTEST_SKIP() << "no tmpfs with 3 GiB free";
  TTempDir dir;
  const Bytes patch = RandomBytes(MiB, 5), zeros(MiB);
  const std::pair<std::uint64_t, const Bytes*> blocks[] = {{0, &patch},
                                                           {GiB / 2, &zeros},
                                                           {GiB - 4096, &patch},
                                                           {GiB + MiB, &zeros},
                                                           {Largest - MiB, &patch}};
  {
    std::ofstream in(dir / "in", std::ios::binary);
    for (const auto& [offset, bytes] : blocks)
      in.seekp(static_cast<std::streamoff>(offset))
          .write(reinterpret_cast<const char*>(bytes->data()), MiB);
    ASSERT_TRUE(in.good());
  }
  ASSERT_EQ(std::filesystem::file_size(dir / "in"), Largest);
  const TRunResult packed = RunProgram(SARNVELD2HEX_PATH, {dir / "in", dir / "hex", "-", "-"});
  ASSERT_EQ(packed.ExitCode, 0) << packed.Output;
  std::filesystem::remove(dir / "in");  // only the container and the image share tmpfs from here
  const TRunResult unpacked = RunProgram(HEX2PLAIN_PATH, {dir / "hex", dir / "out"});
  ASSERT_EQ(unpacked.ExitCode, 0) << unpacked.Output;
  EXPECT_NE(unpacked.Output.find("Image size: 2147483646 bytes"), std::string::npos);
  ASSERT_EQ(std::filesystem::file_size(dir / "out"), Largest);
  std::ifstream out(dir / "out", std::ios::binary);
  Bytes got(MiB);
  for (const auto& [offset, bytes] : blocks) {
    out.seekg(static_cast<std::streamoff>(offset)).read(reinterpret_cast<char*>(got.data()), MiB);
    EXPECT_TRUE(out.good() && got == *bytes) << "at offset " << offset;
  }
}

}  // namespace
