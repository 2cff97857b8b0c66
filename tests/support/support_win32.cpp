// The Windows side of the test support: running a program.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "support.h"

namespace testing_support {
namespace {

// Where the test started: a program path without a drive (such as the Unix-style paths that
// CMake hands to a test run under wine) names that drive, even after a test changes the
// working directory to another.
const std::filesystem::path StartDirectory = std::filesystem::current_path();

// The programs split their command line by their own rules: double quotes group text and are
// dropped, backslashes are ordinary. A word with a double quote inside cannot be passed.
std::string Quoted(const std::string& word) {
  if (word.find('"') != std::string::npos)
    throw std::invalid_argument("a double quote cannot be passed: " + word);
  const auto blank = [](unsigned char c) { return c <= ' '; };
  return word.empty() || std::ranges::any_of(word, blank) ? '"' + word + '"' : word;
}

}  // namespace

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const TRunOptions& options) {
  TTempDir scratch;
  const bool append = !options.AppendTo.empty();
  const std::string output = append ? options.AppendTo : scratch / "stdout";
  std::string commandLine = Quoted((StartDirectory / program).string());
  for (const std::string& argument : arguments)
    commandLine += ' ' + Quoted(argument);

  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE out = ::CreateFileA(
      output.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
      &inherited, append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const HANDLE in = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherited, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot open the standard handles for " + program);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child{};
  // Under wine a start has failed once in a while, with tests running side by side; the cause
  // is not known, and a second try gets through. A program that cannot start at all still
  // fails the test, with the system's error code.
  bool started = false;
  DWORD error = 0;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0)
      ::Sleep(200);
    started = ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &child);
    error = started ? 0 : ::GetLastError();
  }
  ::CloseHandle(out);
  ::CloseHandle(in);
  if (!started)
    throw std::runtime_error("cannot start " + commandLine + " (error " + std::to_string(error) +
                             ")");

  TRunResult result;
  DWORD code = 0;
  ::WaitForSingleObject(child.hProcess, INFINITE);
  if (::GetExitCodeProcess(child.hProcess, &code))
    result.ExitCode = static_cast<int>(code);
  ::CloseHandle(child.hThread);
  ::CloseHandle(child.hProcess);
  if (!append) {
    const Bytes bytes = ReadWholeFile(output);
    result.Output.assign(bytes.begin(), bytes.end());
  }
  return result;
}

}  // namespace testing_support
