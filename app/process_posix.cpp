// POSIX side of the process layer.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "console.h"

namespace app {
namespace {

// Removes the unfinished output, then ends as the signal asks, for the shell to see; a second
// signal, on another thread, waits for the first one's end.
std::atomic<bool> Stopping{false};

void StopRun(int number) {
  if (Stopping.exchange(true))
    for (;;)
      ::pause();
  sarnveld::RemoveUnfinishedOutputs();
  ::signal(number, SIG_DFL);
  ::raise(number);  // delivered as the handler returns
}

// The signals that by default end a process and are sent from outside it: Ctrl-C and Ctrl-\,
// kill, a closed terminal, a CPU-time limit, timers, I/O, a power failure, a user's own. SIGPIPE
// and SIGXFSZ are ignored instead, for the failed write to report.
constexpr int StopSignals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

}  // namespace

void PrepareProcess() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction stop {};
  stop.sa_handler = StopRun;
  sigemptyset(&stop.sa_mask);
  for (const int number : StopSignals)
    sigaddset(&stop.sa_mask, number);
  for (const int number : StopSignals) {
    // A signal ignored from the start (nohup, a background job) stays ignored, and one handled
    // already (a profiler's SIGPROF) stays the handler's.
    struct sigaction previous {};
    if (::sigaction(number, nullptr, &previous) == 0 && (previous.sa_flags & SA_SIGINFO) == 0 &&
        previous.sa_handler == SIG_DFL)
      ::sigaction(number, &stop, nullptr);
  }
}

std::vector<std::string> ProgramArguments(int argc, char** argv, bool keepEmpty) {
  std::vector<std::string> arguments(argc > 0 ? argv + 1 : argv, argv + argc);
  if (!keepEmpty)
    std::erase(arguments, "");
  return arguments;
}

std::string ModuleName(const char* argv0) {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  std::string path = argv0 != nullptr ? argv0 : "";
  if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer)
    path.assign(buffer, static_cast<std::size_t>(length));
  return path.substr(path.rfind('/') + 1);
}

void WriteConsole(std::string_view text) {
  while (!text.empty()) {
    const ssize_t count = ::write(STDOUT_FILENO, text.data(), text.size());
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      throw sarnveld::Error("EConsoleError",
                            std::string("Cannot write to standard output: ") +
                                (count < 0 ? std::strerror(errno) : "nothing was written"));
    text.remove_prefix(static_cast<std::size_t>(count));
  }
}

}  // namespace app
