// sarnveld2hex plainfile hexfile NameID Manufacturer
//
// Packs a memory image into a container. Everything the program prints is written here;
// the module below it raises typed errors and never prints.
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "container/container.h"
#include "pack/pack.h"
#include "process.h"

namespace {

constexpr const char* Banner =
    "Sarnveld Memory to Hex Compressor\r\n"
    "Packs a raw memory image into a labelled Huffman-coded container\r\n";

constexpr const char* UsageLines =
    "Usage: sarnveld2hex plainfile hexfile NameID Manufacturer\r\n"
    "\r\n"
    "  NameID: use '-' for default 'ZRQ-705'\r\n"
    "  Manufacturer: use '-' for default 'Sarnveld'\r\n";

std::string NameOrDefault(const std::string& argument, const char* fallback) {
  return argument == "-" ? fallback : argument;
}

int Run(const std::vector<std::string>& arguments, huff::TCompressorState& state) {
  if (arguments.size() != 4) {
    app::WriteConsole(std::string(Banner) + UsageLines);
    return 0;
  }
  app::WriteConsole(Banner);
  huff::ResetState(state, NameOrDefault(arguments[2], "ZRQ-705"),
                   NameOrDefault(arguments[3], "Sarnveld"));
  huff::OpenInput(state, arguments[0]);
  huff::CreateOutput(state, arguments[1]);
  huff::Compress(state);
  huff::CloseFiles(state);
  // The container is complete: a failure to say so no longer removes it.
  app::WriteConsole("Ok\r\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<huff::TCompressorState> state;
  return app::RunMain(
      argc, argv,
      [&](const std::vector<std::string>& arguments) {
        state = std::make_unique<huff::TCompressorState>();
        return Run(arguments, *state);
      },
      [&] {
        if (state)
          huff::AbandonFiles(*state);
      });
}
