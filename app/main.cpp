// sarnveld2hex plainfile hexfile NameID Manufacturer
//
// Packs a memory image into a container. Everything the program prints is written here;
// the module below it raises typed errors and never prints.
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "container.h"
#include "errors.h"
#include "huffman.h"
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

// "Exception <kind> in module <module> at <address>.\n<message>." and CR LF; the address is
// always printed as eight upper-case hex digits, and we have no meaningful one to give.
std::string FailureReport(const std::string& kind, const std::string& message, const char* argv0) {
  char address[9];
  std::snprintf(address, sizeof address, "%08X", 0u);
  std::string report = "Exception " + kind + " in module " + app::ModuleName(argv0) + " at " +
                       address + ".\n" + message;
  if (!message.empty() && message.back() != '.')
    report += '.';
  return report + "\r\n";
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
  app::PrepareProcess();
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  std::unique_ptr<huff::TCompressorState> state;
  std::string kind;
  std::string message;
  try {
    state = std::make_unique<huff::TCompressorState>();
    return Run(app::ProgramArguments(argc, argv), *state);
  } catch (const huff::EError& error) {
    kind = error.Kind();
    message = error.Message();
  } catch (const std::bad_alloc&) {
    kind = "EOutOfMemory";
    message = "Out of memory";
  } catch (const std::exception& error) {
    kind = "EError";
    message = error.what();
  }
  if (state)
    huff::AbandonFiles(*state);
  try {
    app::WriteConsole(FailureReport(kind, message, argv0));
  } catch (const huff::EError&) {
    // Standard output is gone: the exit code is all that is left to report with.
  }
  return 1;
}
