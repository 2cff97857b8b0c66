// Win32 side of the process layer.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h maps WriteConsole to WriteConsoleA; the name here is ours.
#undef WriteConsole

#include <algorithm>
#include <atomic>

#include "console.h"

namespace app {
namespace {

// On a thread of its own, while the run goes on: removes the unfinished output, then ends the
// process with Ctrl-C's status (Wine's default handler would end it with 0, a success).
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

// The C runtime's argv follows other rules (backslashes before quotes, for one).
std::vector<std::string> ProgramArguments(int, char**, bool keepEmpty) {
  std::vector<std::string> words = SplitCommandLine(::GetCommandLineA(), keepEmpty);
  if (!words.empty())
    words.erase(words.begin());
  return words;
}

// The file name as it is stored on disk, whatever case the program was started with.
std::string ModuleName(const char* argv0) {
  static char path[32768];  // the longest path Windows has
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  const std::string module = length > 0 && length < sizeof path ? path : argv0 ? argv0 : "";
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA(module.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    ::FindClose(search);
    return found.cFileName;
  }
  return module.substr(module.find_last_of("\\/:") + 1);
}

// WriteFile takes the bytes as they are: no C runtime text mode turns LF into CR LF.
void WriteConsole(std::string_view text) {
  const auto fail = [](const std::string& reason) {
    throw sarnveld::Error("EConsoleError", "Cannot write to standard output: " + reason);
  };
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE)
    fail("there is none");
  while (!text.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(out, text.data(), chunk, &written, nullptr))
      fail(sarnveld::SystemErrorText(::GetLastError()));
    if (written == 0)
      fail("nothing was written");
    text.remove_prefix(written);
  }
}

}  // namespace app
