#include "support.h"

#include "pack/bit_writer.h"
#include "pack/histogram.h"
#include "sarnveld_decode.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
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

// xorshift64* drives it: small, and the same everywhere.
Bytes FlashImage(std::size_t size) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next = [&state] {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  };
  // Instruction halfwords: a small vocabulary of a few opcodes (the high bytes).
  std::array<std::uint16_t, 96> vocabulary;
  for (auto& word : vocabulary) {
    const std::uint64_t r = next();
    word = static_cast<std::uint16_t>(((0x40 + (r >> 8) % 24 * 8) << 8) | (r & 0xFF));
  }
  Bytes image(size);
  for (std::size_t at = 0, start = 0; at < size; start = at) {
    const std::size_t end = std::min<std::uint64_t>(size, at + 4096 + next() % (252 * 1024));
    const auto share = next() % 100;  // 40 % of the regions are erased, 45 % code, 15 % noise
    for (std::uint16_t word = 0; at < end; ++at) {
      const bool low = (at - start) % 2 == 0;  // a halfword's first byte
      if (share >= 40 && share < 85 && low) {
        const std::uint64_t r = next();
        word = r % 8 < 7 ? vocabulary[(r >> 8) % (1 + (r >> 16) % vocabulary.size())]
                         : static_cast<std::uint16_t>(r >> 32);
      }
      image[at] = static_cast<std::uint8_t>(share < 40    ? 0xFF
                                            : share >= 85 ? next() >> 56
                                                          : word >> (low ? 0 : 8));
    }
  }
  return image;
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);  // at the end: tellg is the size
  Bytes bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
  if (!in.seekg(0).read(reinterpret_cast<char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("cannot read " + path);
  return bytes;
}

void WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("cannot write " + path);
}

// The programs' default names.
static huff::TCompressorState StateOf(const Bytes& input, huff::TParallelism parallelism = {}) {
  return {.Header = huff::NamedHeader("ZRQ-705", "Sarnveld"),
          .Input = {.Memory = input, .Name = "memory"},
          .Parallelism = parallelism};
}

Bytes Pack(const Bytes& input, huff::TParallelism parallelism) {
  huff::TCompressorState state = StateOf(input, parallelism);
  Bytes container(huff::PrepareContainer(state));
  state.Output = {.Memory = container};
  huff::EncodeSegments(state);
  return container;
}

Bytes PackBitByBit(const Bytes& input) {
  huff::TCompressorState state = StateOf(input);
  return huff::CompressBitByBit(state);
}

void FixHeader(Bytes& container) {
  const auto sum = std::accumulate(container.begin() + huff::HeaderSize, container.end(), 0u);
  const auto size = static_cast<std::uint32_t>(container.size() - huff::HeaderSize);
  for (int i = 0; i < 4; ++i) {
    container[32 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    container[36 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  }
}

Bytes Container(const Bytes& payload) {
  Bytes container(huff::HeaderSize + payload.size(), 0);
  std::copy_n("ZRQ-705", 7, container.begin());
  std::copy_n("Sarnveld", 8, container.begin() + 16);
  std::copy(payload.begin(), payload.end(), container.begin() + huff::HeaderSize);
  FixHeader(container);
  return container;
}

Bytes Container(std::string_view bits) {
  Bytes payload;
  huff::TBitWriter writer(payload);
  for (const char c : bits)
    if (c != ' ')
      writer.WriteBit(c == '1');
  writer.FlushBits();
  return Container(payload);
}

std::string Table(const std::map<int, std::string>& codes) {
  std::string bits = "1";
  for (int value = 0; value < 256; ++value)
    bits += codes.count(value) != 0 ? '1' : '0';
  for (const auto& [symbol, code] : codes)
    bits += '0' + std::bitset<5>(code.size() - 1).to_string() + code;  // 0, length - 1, code
  return bits;
}

std::map<int, std::string> CodesOf(std::span<const std::uint8_t> image) {
  const huff::TCodeTable table = huff::BuildCodes(huff::CountSymbols(image), "image");
  std::map<int, std::string> codes;
  for (int symbol = 0; symbol < huff::SymbolCount; ++symbol)
    for (std::uint32_t i = table[symbol].Length; i > 0; --i)
      codes[symbol] += static_cast<char>('0' + (table[symbol].Bits >> (i - 1) & 1));
  return codes;
}

TDeviceOutcome DeviceDecode(const Bytes& container, std::span<const std::uint8_t> pieces,
                            std::size_t copyAfter, std::size_t stopAfter) {
  struct TSink : TDeviceOutcome {
    std::size_t Calls, StopAfter;
  } sink{{}, 0, stopAfter};
  const auto take = [](void* user, const std::uint8_t* bytes, std::size_t size) {
    auto& sink = *static_cast<TSink*>(user);
    if (size == 0 || size > SARNVELD_DECODE_OUT_BYTES)
      sink.Broken = "the sink was given an empty piece, or more than the reader gathers";
    if (sink.StopAfter != 0 && sink.Calls >= sink.StopAfter)
      sink.Broken = "the sink was called after it answered nonzero";
    sink.Image.insert(sink.Image.end(), bytes, bytes + size);
    return static_cast<int>(++sink.Calls == sink.StopAfter);
  };
  sarnveld_decoder states[2];
  sarnveld_decoder* decoder = &states[0];
  sarnveld_decoder_init(decoder, take, &sink);
  int error = SARNVELD_DECODE_OK;
  if (std::all_of(pieces.begin(), pieces.end(), [](std::uint8_t size) { return size == 0; }))
    pieces = {};  // only empty pieces would never end
  for (std::size_t piece = 0, at = 0; at < container.size() || piece == 0; ++piece) {
    const std::size_t size = std::min<std::size_t>(
        pieces.empty() ? container.size() : pieces[piece % pieces.size()], container.size() - at);
    const int status = sarnveld_decoder_feed(decoder, container.data() + at, size);
    at += size;
    if (error != SARNVELD_DECODE_OK && status != error)
      sink.Broken = "a call after an error returned another status";
    if (status != SARNVELD_DECODE_OK)
      error = status;
    // The header stays as it came: a tree node past the last would lie on its names.
    const sarnveld_header* header = sarnveld_decoder_header(decoder);
    if ((header != nullptr) != (at >= huff::HeaderSize) ||
        (header != nullptr && std::memcmp(header, container.data(), 32) != 0))
      sink.Broken = "the header came before its 40 bytes, not with them, or not as they are";
    if (piece == copyAfter) {
      // Plain data: a copy goes on; the spoilt original shows anything pointing back into it.
      std::memcpy(&states[1], &states[0], sizeof states[1]);
      std::memset(&states[0], 0xA5, sizeof states[0]);
      decoder = &states[1];
    }
  }
  sink.Status = sarnveld_decoder_finish(decoder);
  if (error != SARNVELD_DECODE_OK && sink.Status != error)
    sink.Broken = "finish after an error returned another status";
  return std::move(static_cast<TDeviceOutcome&>(sink));
}

TTempDir::TTempDir() {
  std::random_device random;
  do
    Path = (std::filesystem::temp_directory_path() / ("sarnveld-test-" + std::to_string(random())))
               .string();
  while (!std::filesystem::create_directory(Path));
}

#ifdef _WIN32
// Where the test started: a program path without a drive (such as the Unix-style paths that
// CMake hands to a test run under wine) names that drive, even after a test changes the
// working directory to another.
static const std::filesystem::path StartDirectory = std::filesystem::current_path();
#endif

// A word of the child's command line. The Windows programs split theirs by their own rules:
// double quotes group text and are dropped, backslashes are ordinary, so a word with a double
// quote inside cannot be passed, nor one with cmd's own characters. For sh: in single quotes,
// each quote inside as '\''.
static std::string Quoted(const std::string& word) {
#ifdef _WIN32
  if (word.find_first_of("\"%&<>^|") != std::string::npos)
    throw std::invalid_argument("cmd cannot pass " + word);
  const auto blank = [](unsigned char c) { return c <= ' '; };
  return word.empty() || std::ranges::any_of(word, blank) ? '"' + word + '"' : word;
#else
  std::string quoted = "'";
  for (const char c : word)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
#endif
}

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const TRunOptions& options) {
  TTempDir scratch;
  const bool append = !options.AppendTo.empty();
  const std::string output = append ? options.AppendTo : scratch / "stdout";
  TRunResult result;
#ifdef _WIN32
  // cmd.exe runs the line: it takes off the outer quotes and redirects the standard handles.
  std::string command = '"' + Quoted((StartDirectory / program).string());
#else
  // Every signal takes its default course, as from a shell (an entry may ask for nohup's);
  // a checker such as valgrind writes files of its own first, past any limit: for it SIGXFSZ
  // is ignored. The wrapper's words are split by sh.
  const char* const wrapper = std::getenv("SARNVELD_TEST_WRAPPER");
  const bool wrapped = wrapper != nullptr && *wrapper;
  std::string command = "exec";
  if (options.FileSizeLimit >= 0)
    command += " prlimit --fsize=" + std::to_string(options.FileSizeLimit);
  command += " env --default-signal" + std::string(wrapped ? " --ignore-signal=XFSZ" : "");
  for (const std::string& entry : options.Environment)
    command += ' ' + Quoted(entry);
  command += ' ' + (wrapped ? std::string(wrapper) + ' ' : "") + Quoted(program);
#endif
  for (const std::string& argument : arguments)
    command += ' ' + Quoted(argument);
  command += " <" + NullDevice + (append ? " >>" : " >") + Quoted(output);
#ifdef _WIN32
  // Under wine a start has failed once in a while, with tests running side by side (cmd then
  // gives 9009, or does not start: -1); the cause is not known, and a second try gets through.
  int status = -1;
  for (int attempt = 0; attempt < 3 && (status == 9009 || status == -1); ++attempt)
    status = std::system((command + '"').c_str());
  result.ExitCode = status;
#else
  const int status = std::system(command.c_str());
  result = {
      WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0, {}};
#endif
  if (status == -1)
    throw std::runtime_error("cannot start " + program);
  if (!append) {
    const Bytes bytes = ReadWholeFile(output);
    result.Output.assign(bytes.begin(), bytes.end());
  }
  return result;
}

}  // namespace testing_support
