#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "container_reader.h"

namespace testing_support {

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const TRunOptions& options) {
  TTempDir scratch;
  const std::string outputPath =
      options.StdoutPath.empty() ? scratch / "stdout" : options.StdoutPath;

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t child = ::fork();
  if (child < 0)
    throw std::runtime_error("fork failed");
  if (child == 0) {
    const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(in, STDIN_FILENO) < 0)
      ::_exit(127);
    if (options.FileSizeLimit >= 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(options.FileSizeLimit),
                         static_cast<rlim_t>(options.FileSizeLimit)};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        ::_exit(127);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }

  TRunResult result;
  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.TimeoutSeconds);
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child)
      break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      result.TimedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status))
    result.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.Signal = WTERMSIG(status);
  if (options.StdoutPath.empty()) {
    const auto bytes = ReadWholeFile(outputPath);
    result.Output.assign(bytes.begin(), bytes.end());
  }
  return result;
}

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "sarnveld-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  Path = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(Path, ignored);
}

}  // namespace testing_support
