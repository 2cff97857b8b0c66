// A C++ program that uses libsarnveld's C++ face: packs an image in memory, unpacks it three
// ways (into a vector, into its own buffer, and only describing it), does the same through
// files, and shows the Error that a missing container raises. It writes consumer-image.bin,
// consumer.hex and consumer-copy.bin in the current directory and removes them at the end.
// Exit code 0 when all went well.
#include <sarnveld.hpp>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool Check(bool ok, const char* what) {
  if (!ok)
    std::cerr << what << "\n";
  return ok;
}

}  // namespace

int main() {
  // Some code, then erased flash.
  std::vector<std::uint8_t> image(4096, 0xFF);
  for (std::size_t i = 0; i < 1024; ++i)
    image[i] = static_cast<std::uint8_t>(i * 7 % 61);

  std::cout << "libsarnveld " << sarnveld::Version() << "\n";
  bool ok = false;
  try {
    const std::vector<std::uint8_t> container = sarnveld::Pack(image, "BLINKY-12");
    std::vector<std::uint8_t> unpacked;
    const sarnveld::Summary summary = sarnveld::Unpack(container, unpacked);
    std::cout << "in memory: " << summary.ImageSize << " bytes packed into " << container.size()
              << ", " << summary.NameId << " by " << summary.Manufacturer << ", codes of "
              << summary.ShortestCode << " to " << summary.LongestCode << " bits\n";

    std::vector<std::uint8_t> buffer(image.size());
    ok = Check(unpacked == image, "the image unpacked into a vector differs") &&
         Check(sarnveld::UnpackInto(container, buffer) == summary && buffer == image,
               "the image unpacked into a buffer differs") &&
         Check(sarnveld::Describe(container) == summary, "the summaries differ");

    if (ok) {
      std::ofstream("consumer-image.bin", std::ios::binary)
          .write(reinterpret_cast<const char*>(image.data()), std::ssize(image));
      sarnveld::PackFile("consumer-image.bin", "consumer.hex", "BLINKY-12");
      ok =
          Check(sarnveld::UnpackFile("consumer.hex", "consumer-copy.bin") == summary &&
                    ReadFile("consumer.hex") == container && ReadFile("consumer-copy.bin") == image,
                "the files differ from the buffers");
    }
    if (ok)
      std::cout << "in files: the same container and image\n";
  } catch (const sarnveld::Error& error) {
    std::cerr << "failed: " << error.Kind() << ": " << error.Message() << "\n";
    ok = false;
  }

  // A failure is an Error with the kind and the message that the programs would print.
  if (ok) {
    try {
      sarnveld::UnpackFile("no-such.hex");
      ok = Check(false, "a missing container was accepted");
    } catch (const sarnveld::Error& error) {
      std::cout << "a missing container: " << error.Kind() << ": " << error.Message() << "\n";
    }
  }
  std::remove("consumer-image.bin");
  std::remove("consumer.hex");
  std::remove("consumer-copy.bin");
  return ok ? 0 : 1;
}
