#include "console.h"

namespace app {

std::string FailureReport(const sarnveld::Error& failure, const char* argv0) {
  const std::string& message = failure.Message();
  return "Exception " + failure.Kind() + " in module " + ModuleName(argv0) + " at 00000000.\n" +
         message + (message.empty() || message.back() == '.' ? "" : ".") + "\r\n";
}

int RunMain(int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run,
            bool keepEmpty, const std::function<std::string(const sarnveld::Error&)>& format) {
  PrepareProcess();
  try {
    return run(ProgramArguments(argc, argv, keepEmpty));
  } catch (...) {
    const sarnveld::Error failure = sarnveld::CurrentError();
    try {
      WriteConsole(format ? format(failure) : FailureReport(failure, argc > 0 ? argv[0] : nullptr));
    } catch (...) {
      // Standard output is gone: the exit code is all that is left to report with.
    }
    return 1;
  }
}

}  // namespace app
