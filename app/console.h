// Around both programs' runs: arguments, failure report, exit code 1, output; process_*.cpp.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sarnveld.hpp"

namespace app {

// "Exception <kind> in module <module> at 00000000.\n<message>." CR LF, with one full stop.
std::string FailureReport(const sarnveld::Error& failure, const char* argv0);

// Prepares the process, runs `run` on the arguments (empty ones dropped unless `keepEmpty`) and
// returns its code; a failure, a console write's too, prints its report (or `format`'s) and 1.
int RunMain(int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run,
            bool keepEmpty = false,
            const std::function<std::string(const sarnveld::Error&)>& format = {});

// A Windows command line's words, the program's first (tested everywhere): control characters
// and spaces separate, double quotes group and go, a pair that begins a word is skipped unless
// `keepEmpty`, backslashes are bytes.
std::vector<std::string> SplitCommandLine(std::string_view commandLine, bool keepEmpty = false);

// The platform's. A write to a closed pipe or past the file-size limit fails, not kills; a
// signal or console event that stops the run first removes the unfinished output.
void PrepareProcess();
// The program's arguments, without its own name; on Windows from the command line itself.
std::vector<std::string> ProgramArguments(int argc, char** argv, bool keepEmpty);
// The last component of the running executable's path, as the system reports it.
std::string ModuleName(const char* argv0);
// Writes all of text to standard output at once, unbuffered; raises "EConsoleError".
void WriteConsole(std::string_view text);

}  // namespace app
