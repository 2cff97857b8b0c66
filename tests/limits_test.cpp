// Whole-program tests at the size limits, the largest input and the longest image: they write
// gigabytes, so they run on tmpfs and are labelled slow.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sarnveld.h"
#include "sarnveld_decode.h"
#include "support.h"

namespace {

using namespace testing_support;

constexpr std::uint64_t MiB = 1 << 20, GiB = 1 << 30, Largest = 2147483646;

// Skipped unless GNU time is there and /dev/shm has 3 GiB free; temporary directories go there.
struct Limits : ::testing::Test {
  void SetUp() override {
    struct statvfs info {};
    if (!std::filesystem::exists("/usr/bin/time") || ::statvfs("/dev/shm", &info) != 0 ||
        static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize < 3 * GiB ||
        ::setenv("TMPDIR", "/dev/shm", 1) != 0)
      GTEST_SKIP() << "no tmpfs with 3 GiB free, or no GNU time";
  }
};

// Packs an input of `size` bytes, unpacks it and compares the image with it. Blocks of 1 MiB,
// skewed and zeros by turns, others at either end, each 4 KiB with its offset in its first
// bytes, show any misplaced or lost piece. Returns the packer's and hex2plain's peak resident KiB,
// by GNU time (a child of this process would count this process's pages too).
std::pair<long, long> RoundTrip(std::uint64_t size) {
  const Bytes skewed = RandomBytes(MiB, 17, 0.2), patch = RandomBytes(MiB, 5);
  const auto block = [&](std::uint64_t at) {  // the one at `at`, the last cut short
    Bytes bytes = at == 0 || at + MiB >= size ? patch : at / MiB % 2 ? skewed : Bytes(MiB);
    for (std::uint64_t offset = at; offset < at + MiB; offset += 4096)
      std::memcpy(bytes.data() + (offset - at), &offset, sizeof offset);
    bytes.resize(std::min(MiB, size - at));
    return bytes;
  };
  TTempDir dir;
  std::ofstream in(dir / "in", std::ios::binary);
  for (std::uint64_t at = 0; at < size; at += MiB) {
    const Bytes bytes = block(at);
    in.write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
  }
  in.close();
  const auto measured = [&dir](std::vector<std::string> words) {
    words.insert(words.begin(), {"-f", "%M", "-o", dir / "peak"});
    const TRunResult run = RunProgram("/usr/bin/time", words);
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    long peak = 0;
    std::ifstream(dir / "peak") >> peak;
    return peak;
  };
  const long packer = measured({SARNVELD2HEX_PATH, dir / "in", dir / "hex", "-", "-"});
  std::filesystem::remove(dir / "in");  // only the container and the image share tmpfs
  const long unpacker = measured({HEX2PLAIN_PATH, dir / "hex", dir / "out"});
  EXPECT_EQ(std::filesystem::file_size(dir / "out"), size);
  std::ifstream out(dir / "out", std::ios::binary);
  for (std::uint64_t at = 0; at < size && !::testing::Test::HasFailure(); at += MiB) {
    Bytes got(std::min(MiB, size - at));
    out.read(reinterpret_cast<char*>(got.data()), std::ssize(got));
    EXPECT_TRUE(out.good() && got == block(at)) << "at offset " << at;
  }
  return {packer, unpacker};
}

// The largest input accepted (the tree's weights must fit in an int32) packs and unpacks in the
// memory that 32 MiB take: past the packer's threads and hex2plain's read-ahead, neither's memory
// grows.
TEST_F(Limits, TheLargestInputPacksAndUnpacksInMemoryThatDoesNotGrowWithIt) {
  const auto [packer, unpacker] = RoundTrip(32 * MiB);
  const auto [largestPacker, largestUnpacker] = RoundTrip(Largest);
  EXPECT_LT(largestPacker - packer, 1024) << "the packer grew with its input";
  EXPECT_LT(largestUnpacker - unpacker, 1024) << "hex2plain grew with its input";
  EXPECT_LT(std::max(largestPacker, largestUnpacker), 16 * 1024);
}

// The longest image a container holds is the longest input the packer takes: one more code is
// damage at that code, to the C library (hex2plain's decoder) and the device reader. 'a' is 0,
// the end 1. (The program table pins hex2plain's report of a damaged container.)
TEST_F(Limits, AnImageLongerThanAPackerWritesIsRefusedByEveryReader) {
  constexpr std::uint64_t TableBits = 1 + 256 + 7 + 7;
  for (const std::uint64_t codes : {Largest, Largest + 1}) {
    SCOPED_TRACE(codes);
    const std::uint64_t end = TableBits + codes;  // the end marker's bit
    Bytes payload(end / 8 + 1);
    for (const std::uint64_t bit : {std::uint64_t{0}, 1 + std::uint64_t{'a'}, TableBits - 1, end})
      payload[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    const Bytes container = Container(payload);
    payload = {};
    const bool fits = codes == Largest;
    // Checked in a file: a 32-bit process may have no room for the image in memory.
    const TTempDir dir;
    WriteWholeFile(dir / "c.hex", container);
    sarnveld_summary summary{};
    sarnveld_error error;
    EXPECT_EQ(sarnveld_unpack_file((dir / "c.hex").c_str(), nullptr, &summary, &error),
              fits ? 0 : -1);
    EXPECT_EQ(summary.image_size, fits ? Largest : 0);
    // The 2^31 - 1st code, at file bit 40 * 8 + TableBits + Largest.
    EXPECT_EQ(error.message, fits ? ""
                                  : "Container " + (dir / "c.hex") +
                                        " is damaged: the code at byte 268435529, bit 0x04 "
                                        "makes the image longer than 2147483646 bytes, the "
                                        "most a container holds");
    sarnveld_decoder device;
    sarnveld_decoder_init(&device, nullptr, nullptr);  // check only: the image is not kept
    sarnveld_decoder_feed(&device, container.data(), container.size());
    EXPECT_EQ(sarnveld_decoder_finish(&device),
              fits ? SARNVELD_DECODE_OK : SARNVELD_DECODE_BAD_STREAM);
  }
}

}  // namespace
