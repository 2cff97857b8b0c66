#include "console.h"

#include <cstdio>

#include "process.h"
#include "sarnveld.hpp"

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
            bool keepEmpty, const TReportFormat& format) {
  PrepareProcess();
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  try {
    return run(ProgramArguments(argc, argv, keepEmpty));
  } catch (...) {
    const sarnveld::Error failure = sarnveld::CurrentError();
    try {
      WriteConsole(format ? format(failure.Kind(), failure.Message())
                          : FailureReport(failure.Kind(), failure.Message(), argv0));
    } catch (...) {
      // Standard output is gone: the exit code is all that is left to report with.
    }
    return 1;
  }
}

}  // namespace app
