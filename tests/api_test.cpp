// The C interface as a C program sees it: the same containers as the packer, the same
// failures as the programs, nothing left behind on failure, every result freed.
#include <gtest/gtest.h>
#include <sarnveld.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using testing_support::Bytes;
using testing_support::Exists;
using testing_support::ReadWholeFile;
using testing_support::TTempDir;
using testing_support::WriteWholeFile;

struct TPacked {
  Bytes Container;
  Bytes Image;
  sarnveld_summary Summary{};
};

// Packs and unpacks in memory, freeing what the library returned.
TPacked RoundTrip(const Bytes& image, const char* nameId, const char* manufacturer) {
  TPacked result;
  void* container = nullptr;
  std::size_t containerSize = 0;
  sarnveld_error error;
  EXPECT_EQ(sarnveld_pack(image.empty() ? nullptr : image.data(), image.size(), nameId,
                          manufacturer, &container, &containerSize, &error),
            0)
      << error.kind << ": " << error.message;
  EXPECT_STREQ(error.kind, "");
  const auto* bytes = static_cast<const std::uint8_t*>(container);
  result.Container.assign(bytes, bytes + containerSize);
  void* unpacked = nullptr;
  std::size_t unpackedSize = 0;
  EXPECT_EQ(
      sarnveld_unpack(container, containerSize, &unpacked, &unpackedSize, &result.Summary, nullptr),
      0);
  EXPECT_NE(unpacked, nullptr);
  bytes = static_cast<const std::uint8_t*>(unpacked);
  result.Image.assign(bytes, bytes + unpackedSize);
  sarnveld_free(container);
  sarnveld_free(unpacked);
  return result;
}

TEST(Api, TheVersionIsTheProjects) {
  EXPECT_STREQ(sarnveld_version(), SARNVELD_VERSION);
}

// Memory and files give the packer's container and the image back; NULL names are the
// defaults, and every other name, "-" and "" included, is stored as given, cut to 15 bytes.
TEST(Api, MemoryAndFilesGiveThePackersContainerAndTheImageBack) {
  struct TCase {
    Bytes Image;
    const char* NameId;
    const char* Manufacturer;
    std::string StoredNameId, StoredManufacturer, ProgramNameId, ProgramManufacturer;
  };
  const TCase cases[] = {
      {{}, nullptr, nullptr, "ZRQ-705", "Sarnveld", "-", "-"},
      {{0x41}, "-", "", "-", "", "", ""},
      {testing_support::RandomBytes(5000, 1, 0.3), "A-NAME-OF-20-BYTES!!", "Zähler-µC",
       "A-NAME-OF-20-BY", "Zähler-µC", "A-NAME-OF-20-BYTES!!", "Zähler-µC"},
      // Several segments, coded on several threads.
      {testing_support::RandomBytes(3 << 20, 2, 0.1), "BIG", "X", "BIG", "X", "BIG", "X"}};
  const TTempDir dir;
  for (const TCase& test : cases) {
    SCOPED_TRACE(test.StoredNameId);
    const TPacked packed = RoundTrip(test.Image, test.NameId, test.Manufacturer);
    EXPECT_EQ(packed.Image, test.Image);
    EXPECT_EQ(packed.Summary.image_size, test.Image.size());
    EXPECT_EQ(packed.Summary.name_id, test.StoredNameId);
    EXPECT_EQ(packed.Summary.manufacturer, test.StoredManufacturer);
    EXPECT_EQ(packed.Summary.payload_size + 40, packed.Container.size());
    EXPECT_EQ(packed.Summary.shortest_code == 0, test.Image.empty());

    WriteWholeFile(dir / "in.bin", test.Image);
    sarnveld_error error;
    ASSERT_EQ(sarnveld_pack_file((dir / "in.bin").c_str(), (dir / "api.hex").c_str(), test.NameId,
                                 test.Manufacturer, &error),
              0)
        << error.message;
    EXPECT_EQ(ReadWholeFile(dir / "api.hex"), packed.Container);
    // Empty arguments are dropped by the packer's command line: its empty names are "-" here.
    if (!test.ProgramNameId.empty()) {
      const auto run = testing_support::RunProgram(
          SARNVELD2HEX_PATH,
          {dir / "in.bin", dir / "program.hex", test.ProgramNameId, test.ProgramManufacturer});
      EXPECT_EQ(run.ExitCode, 0);
      EXPECT_EQ(ReadWholeFile(dir / "program.hex"), packed.Container);
    }
    sarnveld_summary summary{};
    ASSERT_EQ(sarnveld_unpack_file((dir / "api.hex").c_str(), (dir / "out.bin").c_str(), &summary,
                                   &error),
              0)
        << error.message;
    EXPECT_EQ(ReadWholeFile(dir / "out.bin"), test.Image);
    EXPECT_EQ(std::memcmp(&summary, &packed.Summary, sizeof summary), 0);
    EXPECT_EQ(sarnveld_unpack_file((dir / "api.hex").c_str(), nullptr, nullptr, nullptr), 0);
  }
}

TEST(Api, CallsOnSeveralThreadsAtOnceEachGetTheirOwnResult) {
  std::vector<std::thread> threads;
  std::vector<Bytes> images;
  std::vector<TPacked> results(4);
  for (unsigned i = 0; i < results.size(); ++i)
    images.push_back(testing_support::RandomBytes(200000 * (i + 1), i, 0.2 * i));
  for (std::size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&, i] { results[i] = RoundTrip(images[i], nullptr, nullptr); });
  for (std::thread& thread : threads)
    thread.join();
  for (std::size_t i = 0; i < results.size(); ++i)
    EXPECT_EQ(results[i].Image, images[i]);
}

// Every failure gives -1 and the kind and message that the programs print, leaves no output
// behind and sets the memory results to NULL and 0; with a NULL error pointer as well.
TEST(Api, EachFailureIsReportedAsTheProgramsReportIt) {
  const TTempDir dir;
  const std::string in = dir / "in.bin", hex = dir / "c.hex", out = dir / "out.bin";
  const Bytes image = testing_support::RandomBytes(1000, 3);
  const Bytes container = RoundTrip(image, nullptr, nullptr).Container;
  Bytes damaged = container;
  damaged[50] ^= 0x10;
  // Two-byte characters: the cut falls inside one on either parity of the directory's length.
  std::string longName;
  for (int i = 0; i < 600; ++i)
    longName += "é";
  const std::string longPath = dir / ("missing/" + longName);
  const Bytes deep = testing_support::FibonacciImage(33);
  const std::size_t tooLarge = 0x7FFFFFFF;

  struct TCase {
    const char* What;
    std::function<int(sarnveld_error*, void**, std::size_t*)> Call;
    std::string Kind;
    std::string Message;        // exactly, or up to "..." at its end; cut before a whole character
    bool ClearsResult = false;  // a memory function's: *container or *image NULL, the size 0
  };
  const auto packFile = [](std::string from, std::string to) {
    return [=](sarnveld_error* e, void**, std::size_t*) {
      return sarnveld_pack_file(from.c_str(), to.c_str(), nullptr, nullptr, e);
    };
  };
  const auto unpackFile = [](std::string from, const char* to) {
    return [=](sarnveld_error* e, void**, std::size_t*) {
      return sarnveld_unpack_file(from.c_str(), to, nullptr, e);
    };
  };
  const auto pack = [](const void* data, std::size_t size) {
    return [=](sarnveld_error* e, void** result, std::size_t* size_) {
      return sarnveld_pack(data, size, nullptr, nullptr, result, size_, e);
    };
  };
  const auto unpack = [](const void* data, std::size_t size) {
    return [=](sarnveld_error* e, void** result, std::size_t* size_) {
      return sarnveld_unpack(data, size, result, size_, nullptr, e);
    };
  };
  const std::string outPath = out;
  std::vector<TCase> cases = {
      {"missing input", packFile(dir / "none.bin", hex), "EError", "Invalid Filename"},
      {"input a directory", packFile(dir.path(), hex), "EError", "Invalid Filename"},
      {"NULL input",
       [&](sarnveld_error* e, void**, std::size_t*) {
         return sarnveld_pack_file(nullptr, hex.c_str(), nullptr, nullptr, e);
       },
       "EError", "Invalid Filename"},
      {"output names the input", packFile(in, in), "EFCreateError", "Cannot create file " + in},
      {"output cut to fit", packFile(in, longPath), "EFCreateError",
       "Cannot create file " + longPath},
      {"code too long", pack(deep.data(), deep.size()), "ECodeTooLong",
       "File memory needs a code of 33 bits for byte value 0x00, longer than the 32 bits a "
       "container can state",
       true},
      {"image too large", pack(image.data(), tooLarge), "EInputTooLarge",
       "File memory is too large: it holds 2147483647 bytes, and at most 2147483646 can be "
       "packed",
       true},
      {"NULL image", pack(nullptr, 5), "EError",
       "Invalid argument: image is NULL but image_size is not 0", true},
      {"NULL result",
       [&](sarnveld_error* e, void**, std::size_t*) {
         return sarnveld_pack(image.data(), image.size(), nullptr, nullptr, nullptr, nullptr, e);
       },
       "EError", "Invalid argument: container and container_size must not be NULL"},
      {"missing container", unpackFile(dir / "none.hex", nullptr), "EError", "Invalid Filename"},
      {"empty container name", unpackFile("", nullptr), "EError", "Invalid Filename"},
      {"empty image name", unpackFile(hex, ""), "EError", "Invalid Filename"},
      {"image names the container", unpackFile(hex, hex.c_str()), "EFCreateError",
       "Cannot create file " + hex},
      {"damaged container file", unpackFile(dir / "bad.hex", outPath.c_str()), "EBadContainer",
       "Container " + dir / "bad.hex" + " is damaged: ..."},
      {"damaged container", unpack(damaged.data(), damaged.size()), "EBadContainer",
       "Container memory is damaged: ...", true},
      {"no container", unpack("abc", 3), "EBadContainer",
       "File memory is not a container: it holds 3 bytes...", true},
      {"container too large", unpack(container.data(), tooLarge), "EInputTooLarge",
       "File memory is too large: it holds 2147483647 bytes, and at most 2147483646 can be "
       "unpacked in memory",
       true},
      {"NULL container", unpack(nullptr, 1), "EError",
       "Invalid argument: container is NULL but container_size is not 0", true},
  };
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  cases.push_back({"input a FIFO", packFile(dir / "fifo", hex), "EFOpenError",
                   "Cannot open file " + dir / "fifo"});
  if (Exists("/dev/full"))
    cases.push_back({"a full disk", packFile(in, "/dev/full"), "EInOutError",
                     "Cannot write file /dev/full: No space left on device"});
#endif

  for (const TCase& test : cases) {
    SCOPED_TRACE(test.What);
    WriteWholeFile(in, image);
    WriteWholeFile(hex, container);
    WriteWholeFile(dir / "bad.hex", damaged);
    std::filesystem::remove(out);
    sarnveld_error error;
    std::memset(&error, 'z', sizeof error);
    void* result = &error;
    std::size_t size = 1;
    EXPECT_EQ(test.Call(&error, &result, &size), -1);
    EXPECT_STREQ(error.kind, test.Kind.c_str());
    const std::string message = error.message;
    if (test.Message.size() >= sizeof error.message) {
      EXPECT_GE(message.size(), sizeof error.message - 2);
      EXPECT_EQ(message, test.Message.substr(0, message.size()));
      EXPECT_NE(test.Message[message.size()] & 0xC0, 0x80);
    } else if (test.Message.ends_with("...")) {
      const std::string start = test.Message.substr(0, test.Message.size() - 3);
      EXPECT_EQ(message.substr(0, start.size()), start) << message;
    } else {
      EXPECT_EQ(message, test.Message);
    }
    EXPECT_EQ(result, test.ClearsResult ? nullptr : &error);
    EXPECT_EQ(size, test.ClearsResult ? 0u : 1u);
    EXPECT_EQ(ReadWholeFile(in), image);
    EXPECT_EQ(ReadWholeFile(hex), container);
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(test.Call(nullptr, &result, &size), -1);
  }
}

}  // namespace
