// What both programs do around their run: arguments, the failure report and exit code 1,
// standard output. process_posix.cpp or process_win32.cpp (CMake picks one) is the platform's.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sarnveld.hpp"

namespace app {

// "Exception <kind> in module <module> at 00000000.\n<message>." and CR LF: there is no
// meaningful address to give. The full stop is left out when the message ends with one.
std::string FailureReport(const sarnveld::Error& failure, const char* argv0);

// Prepares the process, then runs `run` on the arguments (empty ones dropped unless
// `keepEmpty`) and returns its exit code. Any failure, a console write's included, prints the
// failure report (or what `format` makes of it) and returns 1.
int RunMain(int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run,
            bool keepEmpty = false,
            const std::function<std::string(const sarnveld::Error&)>& format = {});

// The words of a Windows command line, the program's name first (here, to be tested
// everywhere): control characters and spaces separate, double quotes group and are dropped,
// a pair that begins a word is skipped unless `keepEmpty`, backslashes are bytes.
std::vector<std::string> SplitCommandLine(std::string_view commandLine, bool keepEmpty = false);

// The platform's part. Sets up the process: a write to a closed pipe or past the file-size
// limit must fail, not kill us; a signal or console event that stops the run first removes
// the unfinished output.
void PrepareProcess();
// The program's arguments, without its own name; on Windows from the command line itself.
std::vector<std::string> ProgramArguments(int argc, char** argv, bool keepEmpty);
// The last component of the running executable's path, as the system reports it.
std::string ModuleName(const char* argv0);
// Writes all of text to standard output at once, unbuffered; raises "EConsoleError".
void WriteConsole(std::string_view text);

}  // namespace app
