// POSIX side of the process layer.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "process.h"

namespace app {

void PrepareProcess() {
  std::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i)
    if (argv[i][0] != '\0')
      arguments.emplace_back(argv[i]);
  return arguments;
}

std::string ModuleName(const char* argv0) {
  std::string path;
  std::vector<char> buffer(4096);
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length > 0 && static_cast<std::size_t>(length) < buffer.size())
    path.assign(buffer.data(), static_cast<std::size_t>(length));
  else if (argv0 != nullptr)
    path = argv0;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void WriteConsole(std::string_view text) {
  while (!text.empty()) {
    const ssize_t count = ::write(STDOUT_FILENO, text.data(), text.size());
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      throw EConsoleError(std::string("Cannot write to standard output: ") +
                          (count < 0 ? std::strerror(errno) : "nothing was written"));
    text.remove_prefix(static_cast<std::size_t>(count));
  }
}

}  // namespace app
