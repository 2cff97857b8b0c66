// The C interface as a C program sees it: the packer's containers, the programs' failures,
// every result freed (ASan's leak check sees to that).
#include <gtest/gtest.h>
#include <sarnveld.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>

// A failed allocation comes back as NULL, as without ASan, instead of ending the process.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace {

using namespace testing_support;

// The library's buffer as bytes, freed.
Bytes Take(void* buffer, std::size_t size) {
  EXPECT_NE(buffer, nullptr);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  Bytes result(bytes, bytes + size);
  sarnveld_free(buffer);
  return result;
}

Bytes PackInMemory(const Bytes& image, const char* nameId = nullptr, const char* maker = nullptr) {
  void* buffer = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(sarnveld_pack(image.empty() ? nullptr : image.data(), image.size(), nameId, maker,
                          &buffer, &size, nullptr),
            0);
  return Take(buffer, size);
}

// A container in memory gives the image back, into room of its size exactly too. NULL names are
// the defaults; any other, "-" and "" included, is stored as given, cut to 15 bytes.
TEST(Api, MemoryGivesTheImageBack) {
  const struct {
    Bytes Image;
    const char *NameId, *Manufacturer, *StoredNameId, *StoredManufacturer;
  } cases[] = {{{}, nullptr, nullptr, "ZRQ-705", "Sarnveld"},
               {{0x41}, "-", "", "-", ""},
               // Several segments, coded on several threads: the buffer grows as they write.
               {RandomBytes(3 << 20, 2, 0.1), "A-NAME-OF-20-BYTES!!", "Zähler-µC",
                "A-NAME-OF-20-BY", "Zähler-µC"}};
  EXPECT_STREQ(sarnveld_version(), SARNVELD_VERSION);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.StoredNameId);
    const Bytes container = PackInMemory(c.Image, c.NameId, c.Manufacturer);
    void* buffer = nullptr;
    std::size_t size = 0;
    sarnveld_summary summary{};
    sarnveld_error error;
    std::memset(&error, 'z', sizeof error);
    ASSERT_EQ(sarnveld_unpack(container.data(), container.size(), &buffer, &size, &summary, &error),
              0);
    EXPECT_STREQ(error.kind, "");  // "" on success
    EXPECT_EQ(Take(buffer, size), c.Image);
    EXPECT_EQ(summary.image_size, c.Image.size());
    EXPECT_STREQ(summary.name_id, c.StoredNameId);
    EXPECT_STREQ(summary.manufacturer, c.StoredManufacturer);
    EXPECT_EQ(summary.shortest_code == 0, c.Image.empty());
    Bytes room(c.Image.size() + 1, 0xA5);
    ASSERT_EQ(sarnveld_unpack_into(container.data(), container.size(), room.data(), c.Image.size(),
                                   &size, nullptr, nullptr),
              0);
    EXPECT_EQ(size, c.Image.size());
    EXPECT_TRUE(room.back() == 0xA5 && std::equal(c.Image.begin(), c.Image.end(), room.begin()));
  }
}

enum TFunction { PackFile, UnpackFile, Pack, Unpack, UnpackInto };
struct TFailure {
  TFunction Function;
  const char *From, *To;  // the file functions' paths
  const void* Data;       // the memory functions' input
  std::size_t Size;
  std::string Kind, Message;
  bool NoResult = false;         // the memory functions' result pointers NULL
  std::size_t AddressSpace = 0;  // when not 0: the bytes more that the process may map
  std::size_t Capacity = 0;      // UnpackInto's room
};

int Call(const TFailure& test, sarnveld_error* error, void** result, std::size_t* size) {
  if (test.NoResult)
    result = nullptr;
  switch (test.Function) {
    case PackFile:
      return sarnveld_pack_file(test.From, test.To, nullptr, nullptr, error);
    case UnpackFile:
      return sarnveld_unpack_file(test.From, test.To, nullptr, error);
    case Pack:
      return sarnveld_pack(test.Data, test.Size, nullptr, nullptr, result, size, error);
    case Unpack:
      return sarnveld_unpack(test.Data, test.Size, result, size, nullptr, error);
    default:
      static std::uint8_t room[2000];
      return sarnveld_unpack_into(test.Data, test.Size, test.NoResult ? nullptr : room,
                                  test.Capacity, size, nullptr, error);
  }
}

#ifndef _WIN32
// While it lives, the process may map only `room` bytes more (any number, for 0).
struct TAddressSpaceLimit {
  explicit TAddressSpaceLimit(std::size_t room) {
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    ::getrlimit(RLIMIT_AS, &Old);
    const rlimit tight{pages * ::sysconf(_SC_PAGESIZE) + room, Old.rlim_max};
    EXPECT_TRUE(room == 0 || ::setrlimit(RLIMIT_AS, &tight) == 0);
  }
  ~TAddressSpaceLimit() { ::setrlimit(RLIMIT_AS, &Old); }
  rlimit Old{};
};
#endif

// Each failure gives -1 and the programs' kind and message (cut before a whole character when
// too long), sets a memory function's results to NULL and 0, and needs no error struct: one of
// each path through the C interface (the decoder's table has the damaged containers).
TEST(Api, EachFailureIsReportedAsTheProgramsReportIt) {
  const TTempDir dir;
  const std::string in = dir / "in.bin", hex = dir / "c.hex", out = dir / "out.bin";
  const Bytes image = RandomBytes(1000, 3), container = PackInMemory(image),
              one = PackInMemory({1});
  WriteWholeFile(in, image);
  // 64 MiB of one value, 8 MiB packed: unpacked with room for 16 MiB more, the image cannot
  // grow past 32 MiB, which always takes new address space.
  const Bytes zeros = PackInMemory(Bytes(64 << 20));
  std::string longPath = dir / "missing/";  // two-byte characters: the cut falls in one or not
  for (int i = 0; i < 600; ++i)
    longPath += "é";
  const std::size_t tooLarge = 0x7FFFFFFF;
  const std::string memoryTooLarge =
      "File memory is too large: it holds 2147483647 bytes, and at most 2147483646 can be ";
  std::vector<TFailure> cases = {
      {PackFile, nullptr, hex.c_str(), nullptr, 0, "EError", "Invalid argument: plainfile is NULL"},
      {PackFile, in.c_str(), nullptr, nullptr, 0, "EError", "Invalid argument: hexfile is NULL"},
      {PackFile, in.c_str(), longPath.c_str(), nullptr, 0, "EFCreateError",
       "Cannot create file " + longPath},
      {Pack, nullptr, nullptr, image.data(), tooLarge, "EInputTooLarge", memoryTooLarge + "packed"},
      {Pack, nullptr, nullptr, nullptr, 5, "EError",
       "Invalid argument: image is NULL but image_size is not 0"},
      {Pack, nullptr, nullptr, image.data(), image.size(), "EError",
       "Invalid argument: container and container_size must not be NULL", true},
      {UnpackFile, nullptr, out.c_str(), nullptr, 0, "EError", "Invalid argument: hexfile is NULL"},
      {Unpack, nullptr, nullptr, container.data(), tooLarge, "EInputTooLarge",
       memoryTooLarge + "unpacked in memory"},
      {Unpack, nullptr, nullptr, container.data(), container.size(), "EError",
       "Invalid argument: image and image_size must not be NULL", true},
      // Room for the image but its last byte, and none for one byte; a NULL buffer with room.
      {UnpackInto, nullptr, nullptr, container.data(), container.size(), "EBufferTooSmall",
       "Container memory holds an image longer than the 999 bytes given for it", false, 0, 999},
      {UnpackInto, nullptr, nullptr, one.data(), one.size(), "EBufferTooSmall",
       "Container memory holds an image longer than the 0 bytes given for it"},
      {UnpackInto, nullptr, nullptr, container.data(), container.size(), "EError",
       "Invalid argument: image is NULL but image_capacity is not 0", true, 0, 1000},
  };
#ifndef _WIN32
  cases.push_back({Unpack, nullptr, nullptr, zeros.data(), zeros.size(), "EOutOfMemory",
                   "Out of memory", false, 16 << 20});
#endif
  for (const TFailure& test : cases) {
    SCOPED_TRACE(test.Message);
    sarnveld_error error;
    std::memset(&error, 'z', sizeof error);
    void* result = &error;
    std::size_t resultSize = 1;
#ifndef _WIN32
    const TAddressSpaceLimit limit(test.AddressSpace);
#endif
    EXPECT_EQ(Call(test, &error, &result, &resultSize), -1);
    EXPECT_STREQ(error.kind, test.Kind.c_str());
    // Whole, or cut to the field before a character: at most a two-byte one is lost.
    const std::string message = error.message;
    EXPECT_EQ(message, test.Message.substr(0, message.size()));
    EXPECT_GE(message.size(), std::min(test.Message.size(), sizeof error.message - 2));
    EXPECT_NE(test.Message.c_str()[message.size()] & 0xC0, 0x80);
    const bool clears = test.Function >= Pack && (!test.NoResult || test.Function == UnpackInto);
    EXPECT_EQ(result, clears && test.Function != UnpackInto ? nullptr : &error);
    EXPECT_EQ(resultSize, clears ? 0u : 1u);
    EXPECT_EQ(Call(test, nullptr, &result, &resultSize), -1);
  }
}

}  // namespace
