// What the entry point needs of the process: its arguments, its name and standard
// output. process_posix.cpp and process_win32.cpp implement it; CMake picks one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sarnveld.hpp"

namespace app {

// Standard output could not be written.
class EConsoleError : public sarnveld::Error {
 public:
  explicit EConsoleError(std::string message) : Error("EConsoleError", std::move(message)) {}
};

// Sets up the process: a write to a closed pipe or past the file-size limit must fail with an
// error, not kill us; and a signal or console event that stops the run first removes the
// unfinished output (sarnveld::RemoveUnfinishedOutputs).
void PrepareProcess();

// The program's arguments, without the program's own name, empty ones dropped unless
// `keepEmpty`. On Windows they come from the command line itself (SplitCommandLine), not
// from argv.
std::vector<std::string> ProgramArguments(int argc, char** argv, bool keepEmpty);

// The last component of the running executable's path, as the system reports it.
std::string ModuleName(const char* argv0);

// Writes all of text to standard output at once, unbuffered; raises EConsoleError.
void WriteConsole(std::string_view text);

}  // namespace app
