// sarnveld2hex plainfile hexfile NameID Manufacturer: packs a memory image; all it prints is here.
#include "console.h"

namespace {

constexpr const char* Banner =
    "Sarnveld Memory to Hex Compressor\r\n"
    "Packs a raw memory image into a labelled Huffman-coded container\r\n";

const std::string Usage = std::string(Banner) +
                          "Usage: sarnveld2hex plainfile hexfile NameID Manufacturer\r\n"
                          "\r\n"
                          "  NameID: use '-' for default 'ZRQ-705'\r\n"
                          "  Manufacturer: use '-' for default 'Sarnveld'\r\n";

int Run(const std::vector<std::string>& arguments) {
  if (arguments.size() != 4) {
    app::WriteConsole(Usage);
    return 0;
  }
  app::WriteConsole(Banner);
  sarnveld::PackFile(arguments[0], arguments[1],
                     arguments[2] == "-" ? sarnveld::DefaultNameId : arguments[2],
                     arguments[3] == "-" ? sarnveld::DefaultManufacturer : arguments[3]);
  // The container is complete: a failure to say so no longer removes it.
  app::WriteConsole("Ok\r\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return app::RunMain(argc, argv, Run);
}
