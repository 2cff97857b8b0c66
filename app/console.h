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

// What a program prints for a failure, from its kind and message.
using TReportFormat =
    std::function<std::string(const std::string& kind, const std::string& message)>;

// Prepares the process, then runs `run` on the arguments (empty ones dropped unless
// `keepEmpty`) and returns its exit code. Any failure, a console write's included, prints
// the failure report (or what `format` makes of the failure, when given) and returns 1. The
// library's runs have removed what they left unfinished by then.
int RunMain(int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run,
            bool keepEmpty = false, const TReportFormat& format = {});

}  // namespace app
