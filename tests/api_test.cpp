// The C interface as a C program sees it: the packer's containers, the programs' failures,
// every result freed (ASan's leak check sees to that).
#include <gtest/gtest.h>
#include <sarnveld.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

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

// A container in memory, the same as of a file, gives the image back, into room of its size
// exactly too, and every way the decoder's summary. NULL names are the defaults; any other, "-"
// and "" included, is stored as given, cut to 15 bytes.
TEST(Api, MemoryGivesTheImageBack) {
  const TTempDir dir;
  const std::string in = dir / "in.bin", hex = dir / "c.hex";
  const auto fields = [](const sarnveld_summary& s) {
    return sarnveld::Summary{s.name_id,    s.manufacturer,      s.payload_size,  s.checksum,
                             s.image_size, s.coded_byte_values, s.shortest_code, s.longest_code};
  };
  const struct {
    Bytes Image;
    const char *NameId, *Manufacturer, *StoredNameId, *StoredManufacturer;
  } cases[] = {{{}, nullptr, nullptr, "ZRQ-705", "Sarnveld"},
               {{0x41}, "-", "", "-", ""},
               // Several segments, coded on several threads: the buffer grows as they write.
               // Every byte value has a code.
               {RandomBytes(3 << 20, 2), "A-NAME-OF-20-BYTES!!", "Zähler-µC", "A-NAME-OF-20-BY",
                "Zähler-µC"}};
  EXPECT_STREQ(sarnveld_version(), SARNVELD_VERSION);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.StoredNameId);
    const Bytes container = PackInMemory(c.Image, c.NameId, c.Manufacturer);
    void* buffer = nullptr;
    std::size_t size = 0;
    sarnveld_summary summary, into{}, fromFile{};
    sarnveld_error error;
    std::memset(&error, 'z', sizeof error);
    std::memset(&summary, 'z', sizeof summary);
    ASSERT_EQ(sarnveld_unpack(container.data(), container.size(), &buffer, &size, &summary, &error),
              0);
    EXPECT_STREQ(error.kind, "");  // "" on success
    EXPECT_EQ(Take(buffer, size), c.Image);
    EXPECT_STREQ(summary.name_id, c.StoredNameId);
    EXPECT_STREQ(summary.manufacturer, c.StoredManufacturer);
    EXPECT_EQ(fields(summary), huff::DecodeContainer({.Memory = container, .Name = "memory"}, {}));
    Bytes room(c.Image.size() + 1, 0xA5);
    ASSERT_EQ(sarnveld_unpack_into(container.data(), container.size(), room.data(), c.Image.size(),
                                   &size, &into, nullptr),
              0);
    EXPECT_EQ(size, c.Image.size());
    // Past a name its field holds zeros, whatever was there before: the struct's bytes are fixed.
    EXPECT_EQ(std::memcmp(&summary, &into, offsetof(sarnveld_summary, payload_size)), 0);
    EXPECT_TRUE(room.back() == 0xA5 && std::equal(c.Image.begin(), c.Image.end(), room.begin()));
    // A capacity of SIZE_MAX over room enough (past the image the decode may write) is no hang.
    room.resize(c.Image.size() + (1 << 20));
    ASSERT_EQ(sarnveld_unpack_into(container.data(), container.size(), room.data(), SIZE_MAX, &size,
                                   nullptr, nullptr),
              0);
    EXPECT_TRUE(size == c.Image.size() && std::equal(c.Image.begin(), c.Image.end(), room.begin()));
    WriteWholeFile(in, c.Image);
    ASSERT_EQ(sarnveld_pack_file(in.c_str(), hex.c_str(), c.NameId, c.Manufacturer, nullptr), 0);
    EXPECT_TRUE(ReadWholeFile(hex) == container);
    ASSERT_EQ(sarnveld_unpack_file(hex.c_str(), nullptr, &fromFile, nullptr), 0);
    EXPECT_TRUE(fields(into) == fields(summary) && fields(fromFile) == fields(summary));
  }
  // Memory from the C++ face's caller that is short of what was asked for is refused, a
  // callback that throws is EError with its what(), and an empty one has nothing to give.
  Bytes room;
  const sarnveld::Allocate shortOfIt = [&](std::uint64_t size) {
    room.resize(static_cast<std::size_t>(size) - 1);
    return std::span(room);
  };
  const sarnveld::Allocate throwing = [](std::uint64_t) -> std::span<std::uint8_t> {
    throw std::runtime_error("no room here");
  };
  const sarnveld::Allocate none;
  for (const auto& [packs, allocate, said] :
       {std::tuple{true, &shortOfIt,
                   "EBufferTooSmall: The container of memory needs 78 bytes, more than the 77 "
                   "bytes given for it"},
        {true, &none, "EError: Invalid argument: allocate is empty"},
        {false, &shortOfIt,
         "EBufferTooSmall: Unpacking container memory needs 3 bytes, more than the 2 bytes "
         "given for it"},
        {false, &throwing, "EError: no room here"}}) {
    try {
      packs ? sarnveld::Pack(Text("abc"), *allocate)
            : static_cast<void>(sarnveld::Unpack(Pack(Text("abc")), *allocate));
      ADD_FAILURE() << said;
    } catch (const sarnveld::Error& error) {
      EXPECT_EQ(error.Kind() + ": " + error.Message(), said);
    }
  }
  // A zero byte would end a name early, in a container that no reader takes.
  EXPECT_THROW(sarnveld::Pack(Text("abc"), std::string_view("\0", 1)), sarnveld::Error);
  EXPECT_THROW(sarnveld::Pack(Text("abc"), "-", std::string_view("a\0", 2)), sarnveld::Error);
}

// Each failure gives -1 and the programs' kind and message (cut before a whole character when
// too long), sets a memory function's results to NULL and 0, and needs no error struct: one of
// each path through the C interface (the decoder's table has the damaged containers).
TEST(Api, EachFailureIsReportedAsTheProgramsReportIt) {
  const TTempDir dir;
  const std::string in = dir / "in.bin", hex = dir / "c.hex", out = dir / "out.bin";
  const Bytes image = RandomBytes(1000, 3), container = PackInMemory(image),
              one = PackInMemory({1});
  Bytes badSum = PackInMemory(Bytes(100000));  // an image past a block of the decode's output
  ++badSum[36];
  WriteWholeFile(in, image);
  // 64 MiB of one value, 8 MiB packed: unpacked with room for 16 MiB more, the image cannot
  // grow past 32 MiB, which always takes new address space.
  const Bytes zeros = PackInMemory(Bytes(64 << 20));
  // Two-byte characters after "Cannot create file " (19 bytes) and an odd count of others: the
  // message's 1,024th byte, the field's last, is the second half of one.
  std::string longPath = dir / "missing/";
  longPath += std::string((longPath.size() + 1) % 2, 'x');
  for (int i = 0; i < 600; ++i)
    longPath += "é";
  const std::size_t tooLarge = 0x7FFFFFFF;
  const std::string memoryTooLarge =
      "File memory is too large: it holds 2147483647 bytes, and at most 2147483646 can be ";
  // Where each call puts its results; what each clears: 2 the result and its size, 1 the size.
  void* result = nullptr;
  std::size_t size = 0;
  std::uint8_t room[1000];
  using TCall = std::function<int(sarnveld_error*)>;
  const auto packFile = [](const char* in, const char* hex) -> TCall {
    return [=](auto e) { return sarnveld_pack_file(in, hex, nullptr, nullptr, e); };
  };
  const auto unpackFile = [](const char* hex, const char* out) -> TCall {
    return [=](auto e) { return sarnveld_unpack_file(hex, out, nullptr, e); };
  };
  const auto pack = [&](const void* data, std::size_t bytes, void** to) -> TCall {
    return
        [=, &size](auto e) { return sarnveld_pack(data, bytes, nullptr, nullptr, to, &size, e); };
  };
  const auto unpack = [&](const void* data, std::size_t bytes, void** to) -> TCall {
    return [=, &size](auto e) { return sarnveld_unpack(data, bytes, to, &size, nullptr, e); };
  };
  const auto into = [](const Bytes& c, void* to, std::size_t capacity, std::size_t* got) -> TCall {
    return [=, &c](auto e) {
      return sarnveld_unpack_into(c.data(), c.size(), to, capacity, got, nullptr, e);
    };
  };
  const struct {
    TCall Call;
    std::string Kind, Message;
    int Clears = 0;
  } cases[] = {
      {packFile(nullptr, hex.c_str()), "EError", "Invalid argument: plainfile is NULL"},
      {packFile(in.c_str(), nullptr), "EError", "Invalid argument: hexfile is NULL"},
      {packFile(in.c_str(), ""), "EError", "Invalid Filename"},
      {packFile(in.c_str(), longPath.c_str()), "EFCreateError", "Cannot create file " + longPath},
      {pack(image.data(), tooLarge, &result), "EInputTooLarge", memoryTooLarge + "packed", 2},
      {pack(nullptr, 5, &result), "EError",
       "Invalid argument: image is NULL but image_size is not 0", 2},
      // Either result NULL: the other is cleared all the same (size, not passed, set here).
      {pack(image.data(), image.size(), nullptr), "EError",
       "Invalid argument: container and container_size must not be NULL", 1},
      {[&](auto e) {
         return size = 0, sarnveld_pack(image.data(), 9, nullptr, nullptr, &result, nullptr, e);
       },
       "EError", "Invalid argument: container and container_size must not be NULL", 2},
      {unpackFile(nullptr, out.c_str()), "EError", "Invalid argument: hexfile is NULL"},
      {unpackFile(in.c_str(), ""), "EError", "Invalid Filename"},
      {unpack(nullptr, 5, &result), "EError",
       "Invalid argument: container is NULL but container_size is not 0", 2},
      {[&](auto e) { return sarnveld_unpack_into(nullptr, 5, room, 9, &size, nullptr, e); },
       "EError", "Invalid argument: container is NULL but container_size is not 0", 1},
      {unpack(container.data(), tooLarge, &result), "EInputTooLarge",
       memoryTooLarge + "unpacked in memory", 2},
      {unpack(container.data(), container.size(), nullptr), "EError",
       "Invalid argument: image and image_size must not be NULL", 1},
      {[&](auto e) {
         return size = 0, sarnveld_unpack(container.data(), 9, &result, nullptr, nullptr, e);
       },
       "EError", "Invalid argument: image and image_size must not be NULL", 2},
      // Room for the image but its last byte, and none for one byte; a NULL buffer with room.
      {into(container, room, 999, &size), "EBufferTooSmall",
       "Container memory holds an image longer than the 999 bytes given for it", 1},
      {into(one, room, 0, &size), "EBufferTooSmall",
       "Container memory holds an image longer than the 0 bytes given for it", 1},
      // Damage is reported as such, though the image does not fit either.
      {into(badSum, room, 0, &size), "EBadContainer",
       "Container memory is damaged: its payload's bytes sum to 195, but Checksum (byte 36) is 196",
       1},
      {into(container, nullptr, 1000, &size), "EError",
       "Invalid argument: image is NULL but image_capacity is not 0", 1},
      {into(one, room, 1, nullptr), "EError", "Invalid argument: image_size must not be NULL"},
#ifndef _WIN32
      // Unpacked while the process may map only 16 MiB more.
      {[&](auto e) {
         rlimit old{};
         std::size_t pages = 0;
         std::ifstream("/proc/self/statm") >> pages;
         ::getrlimit(RLIMIT_AS, &old);
         const rlimit tight{pages * ::sysconf(_SC_PAGESIZE) + (16 << 20), old.rlim_max};
         EXPECT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
         const int returned = unpack(zeros.data(), zeros.size(), &result)(e);
         ::setrlimit(RLIMIT_AS, &old);
         return returned;
       },
       "EOutOfMemory", "Out of memory", 2},
#endif
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.Message);
    sarnveld_error error;
    std::memset(&error, 'z', sizeof error);
    result = &error;
    size = 1;
    EXPECT_EQ(test.Call(&error), -1);
    EXPECT_STREQ(error.kind, test.Kind.c_str());
    // Whole, or cut to the field before a character: at most a two-byte one is lost.
    const std::string message = error.message;
    EXPECT_EQ(message, test.Message.substr(0, message.size()));
    EXPECT_GE(message.size(), std::min(test.Message.size(), sizeof error.message - 2));
    EXPECT_LT(message.size(), sizeof error.message);
    EXPECT_NE(test.Message.c_str()[message.size()] & 0xC0, 0x80);
    EXPECT_EQ(result, test.Clears == 2 ? nullptr : &error);
    EXPECT_EQ(size, test.Clears > 0 ? 0u : 1u);
    EXPECT_EQ(test.Call(nullptr), -1);
  }
}

}  // namespace
