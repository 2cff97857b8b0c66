// Win32 side of the process layer.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h maps WriteConsole to WriteConsoleA; the name here is ours.
#undef WriteConsole

#include <algorithm>
#include <atomic>
#include <string>

#include "command_line.h"
#include "process.h"
#include "sarnveld.hpp"

namespace app {
namespace {

// Runs on a thread of its own, while the run goes on: removes the unfinished output, then ends
// the process with the status that Ctrl-C gives by default. (Wine's default handler would
// end it with 0, as if the run had succeeded.)
std::atomic<bool> Stopping{false};

BOOL WINAPI StopRun(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  // A second event waits for the first one's handler to end the process.
  if (Stopping.exchange(true))
    ::Sleep(INFINITE);
  sarnveld::RemoveUnfinishedOutputs();
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

void PrepareProcess() {
  // A drive that is not ready must fail the open, not wait for someone to answer a dialog box.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ::SetConsoleCtrlHandler(StopRun, TRUE);
}

// The C runtime's argv follows other rules (backslashes before quotes, for one): the words
// come from the command line itself.
std::vector<std::string> ProgramArguments(int, char**, bool keepEmpty) {
  std::vector<std::string> words = SplitCommandLine(::GetCommandLineA(), keepEmpty);
  if (!words.empty())
    words.erase(words.begin());
  return words;
}

// The file name as it is stored on disk, whatever case the program was started with.
std::string ModuleName(const char* argv0) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      path = argv0 != nullptr ? argv0 : "";
      break;
    }
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA(path.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    ::FindClose(search);
    return found.cFileName;
  }
  const std::size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// WriteFile on the handle takes the bytes as they are: no C runtime text mode turns LF into
// CR LF.
void WriteConsole(std::string_view text) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE)
    throw EConsoleError("Cannot write to standard output: there is none");
  while (!text.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(out, text.data(), chunk, &written, nullptr))
      throw EConsoleError("Cannot write to standard output: " +
                          sarnveld::SystemErrorText(::GetLastError()));
    if (written == 0)
      throw EConsoleError("Cannot write to standard output: nothing was written");
    text.remove_prefix(written);
  }
}

}  // namespace app
