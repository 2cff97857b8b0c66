#include "support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
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
  // In blocks: byte by byte, an instrumented build takes a second for a few megabytes.
  Bytes bytes;
  std::vector<char> block(1 << 16);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
    bytes.insert(bytes.end(), block.begin(), block.begin() + in.gcount());
  return bytes;
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
  // Everything a call takes it gives back: a fuzz target's run that ends holding more than
  // it began with is run again to look for a leak.
  huff::TCompressorState state;
  huff::ResetState(state, "ZRQ-705", "Sarnveld");
  state.Plan.Parallelism = parallelism;
  state.Input = std::make_unique<huff::TMemoryStream>(input);
  auto output = std::make_unique<huff::TMemoryStream>();
  huff::TMemoryStream& written = *output;
  state.Output = std::move(output);
  compress(state);
  return written.Contents();
}

void FixHeader(Bytes& container) {
  std::uint32_t sum = 0;
  for (std::size_t i = huff::HeaderSize; i < container.size(); ++i)
    sum += container[i];
  const auto size = static_cast<std::uint32_t>(container.size() - huff::HeaderSize);
  for (int i = 0; i < 4; ++i) {
    container[32 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    container[36 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  }
}

Bytes Container(const Bytes& payload) {
  Bytes container(huff::HeaderSize, 0);
  std::copy_n("ZRQ-705", 7, container.begin());
  std::copy_n("Sarnveld", 8, container.begin() + 16);
  container.insert(container.end(), payload.begin(), payload.end());
  FixHeader(container);
  return container;
}

Bytes Container(std::string_view bits) {
  Bytes payload;
  std::size_t at = 0;
  for (const char c : bits) {
    if (c == ' ')
      continue;
    if (at % 8 == 0)
      payload.push_back(0);
    payload.back() |= static_cast<std::uint8_t>((c - '0') << (7 - at % 8));
    ++at;
  }
  return Container(payload);
}

std::string Entry(const std::string& code) {
  return "0" + std::bitset<5>(code.size() - 1).to_string() + code;
}

std::string Table(const std::map<int, std::string>& codes) {
  std::string bits = "1";
  for (int value = 0; value < 256; ++value)
    bits += codes.count(value) != 0 ? '1' : '0';
  for (const auto& [symbol, code] : codes)
    bits += Entry(code);
  return bits;
}

TTempDir::TTempDir() {
  std::random_device random;
  do
    Path = (std::filesystem::temp_directory_path() / ("sarnveld-test-" + std::to_string(random())))
               .string();
  while (!std::filesystem::create_directory(Path));
}

// Running programs, locks and devices: support_win32.cpp has them for Windows.
#ifndef _WIN32
TRunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const TRunOptions& options) {
  TTempDir scratch;
  const std::string outputPath =
      options.StdoutPath.empty() ? scratch / "stdout" : options.StdoutPath;
  // Before the program: prlimit for the file-size limit, env for the added entries, then the
  // wrapper's words.
  std::vector<std::string> words;
  if (options.FileSizeLimit >= 0)
    words = {"prlimit", "--fsize=" + std::to_string(options.FileSizeLimit)};
  if (!options.Environment.empty())
    words.push_back("env");
  words.insert(words.end(), options.Environment.begin(), options.Environment.end());
  const char* const wrapper = std::getenv("SARNVELD_TEST_WRAPPER");
  std::istringstream split(wrapper != nullptr ? wrapper : "");
  for (std::string word; split >> word;)
    words.push_back(word);
  const bool wrapped = wrapper != nullptr && wrapper[0] != '\0';
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);

  // A checker such as valgrind writes files of its own before the program starts: under one,
  // this process ignores SIGXFSZ, and so its children (the programs ignore it themselves).
  if (options.FileSizeLimit >= 0 && wrapped)
    ::signal(SIGXFSZ, SIG_IGN);
  posix_spawn_file_actions_t files;
  ::posix_spawn_file_actions_init(&files);
  ::posix_spawn_file_actions_addopen(
      &files, STDOUT_FILENO, outputPath.c_str(),
      O_WRONLY | O_CREAT | (options.AppendStdout ? O_APPEND : O_TRUNC), 0644);
  ::posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t child = 0;
  const int error = ::posix_spawnp(&child, argv[0], &files, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&files);
  if (error != 0)
    throw std::runtime_error("cannot start " + program);

  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR)
      throw std::runtime_error("cannot wait for " + program);
  TRunResult result;
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (options.StdoutPath.empty()) {
    const Bytes bytes = ReadWholeFile(outputPath);
    result.Output.assign(bytes.begin(), bytes.end());
  }
  return result;
}

bool IsCharDevice(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}
#endif

}  // namespace testing_support
