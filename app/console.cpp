#include "console.h"

#include <cstdio>
#include <new>

#include "base/errors.h"
#include "process.h"

namespace app {

std::string FailureReport(const std::string& kind, const std::string& message, const char* argv0) {
  char address[9];
  std::snprintf(address, sizeof address, "%08X", 0u);
  std::string report =
      "Exception " + kind + " in module " + ModuleName(argv0) + " at " + address + ".\n" + message;
  if (!message.empty() && message.back() != '.')
    report += '.';
  return report + "\r\n";
}

int RunMain(int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run,
            const std::function<void()>& abandon, bool keepEmpty) {
  PrepareProcess();
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  std::string kind;
  std::string message;
  try {
    return run(ProgramArguments(argc, argv, keepEmpty));
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
  abandon();
  try {
    WriteConsole(FailureReport(kind, message, argv0));
  } catch (const huff::EError&) {
    // Standard output is gone: the exit code is all that is left to report with.
  }
  return 1;
}

}  // namespace app
