// Runs a program as a child process, as a shell would, and collects what it printed.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct TRunOptions {
  // Where standard output goes; empty: a temporary file that is read back.
  std::string StdoutPath;
  // When set, the child's file-size limit in bytes, with SIGXFSZ ignored, so that writes
  // past it fail with EFBIG.
  long long FileSizeLimit = -1;
  int TimeoutSeconds = 60;
};

struct TRunResult {
  int ExitCode = -1;  // -1 when the child did not exit normally
  int Signal = 0;     // the signal that ended it, if any
  bool TimedOut = false;
  std::string Output;  // the bytes written to standard output, when captured
};

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const TRunOptions& options = {});

inline std::vector<std::uint8_t> Text(const std::string& text) {
  return {text.begin(), text.end()};
}

// Whether anything, a dangling link included, stands at path.
inline bool Exists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}

inline bool IsCharDevice(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// A fresh directory under the system's temporary directory, removed by the destructor.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string operator/(const std::string& name) const { return Path + "/" + name; }
  const std::string& path() const { return Path; }

 private:
  std::string Path;
};

}  // namespace testing_support
