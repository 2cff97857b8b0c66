#include "support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>

namespace testing_support {

Bytes RandomBytes(std::size_t size, unsigned seed, double skew) {
  std::mt19937 random(seed);
  std::geometric_distribution<int> geometric(skew > 0 ? skew : 0.5);
  Bytes bytes(size);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(skew > 0 ? std::min(geometric(random), 255) : random());
  return bytes;
}

Bytes FibonacciImage(int count) {
  Bytes image;
  std::uint64_t previous = 1, current = 1;
  for (int value = 0; value < count; ++value) {
    image.insert(image.end(), current, static_cast<std::uint8_t>(value));
    previous = std::exchange(current, previous + current);
  }
  return image;
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out)
    throw std::runtime_error("cannot write " + path);
}

Bytes Pack(const Bytes& input, huff::TParallelism parallelism,
           void (*compress)(huff::TCompressorState&)) {
  auto state = std::make_unique<huff::TCompressorState>();
  huff::ResetState(*state, "ZRQ-705", "Sarnveld");
  state->Parallelism = parallelism;
  state->Input = std::make_unique<huff::TMemoryStream>(input);
  auto output = std::make_unique<huff::TMemoryStream>();
  huff::TMemoryStream& written = *output;
  state->Output = std::move(output);
  compress(*state);
  return written.Contents();
}

TUnpacked Unpack(const Bytes& container) {
  huff::TMemoryStream in(container, "c.hex");
  huff::TMemoryStream out;
  const huff::TContainerSummary summary = huff::DecodeContainer(in, &out);
  return {summary, out.Contents()};
}

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const TRunOptions& options) {
  TTempDir scratch;
  const std::string outputPath =
      options.StdoutPath.empty() ? scratch / "stdout" : options.StdoutPath;
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
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
    // The alarm outlives exec and, unhandled, ends a child that hangs.
    ::alarm(30);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }

  int status = 0;
  ::waitpid(child, &status, 0);
  TRunResult result;
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.TimedOut = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
  if (options.StdoutPath.empty()) {
    const Bytes bytes = ReadWholeFile(outputPath);
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

}  // namespace testing_support
