// What both programs do around their run: the failure report, and the catch-all that turns
// any failure into that report and exit code 1.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace app {

// "Exception <kind> in module <module> at 00000000.\n<message>." and CR LF: the address is
// always eight upper-case hex digits, and there is no meaningful one to give. The full stop
// is left out when the message already ends with one.
std::string FailureReport(const std::string& kind, const std::string& message, const char* argv0);

// Prepares the process, then runs `run` on the arguments (empty ones dropped unless
// `keepEmpty`) and returns its exit code. Any failure, a console write's included, calls
// `abandon` (which must not raise) to release the files, prints the failure report and
// returns 1.
int RunMain(int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run,
            const std::function<void()>& abandon, bool keepEmpty = false);

}  // namespace app
