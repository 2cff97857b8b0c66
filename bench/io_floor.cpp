// io_floor INPUT OUTPUT SIZE: the packer's reading and writing without its counting and
// coding. It reads INPUT twice, in the packer's segments and chunks on as many threads, and
// in the second pass writes SIZE bytes to OUTPUT in the packer's blocks, one writer at a
// time. What the packer takes beyond this is its own work.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "file/file.h"
#include "pack/pack.h"

namespace {

constexpr std::size_t WriteBlock = std::size_t{1} << 17;  // as the packer writes

void Pass(huff::TFile& input, huff::TFile* output, std::uint64_t outputSize,
          const std::vector<huff::TSegment>& segments, std::uint64_t inputSize) {
  std::atomic<std::size_t> next = 0;
  std::mutex writing;
  const auto work = [&] {
    std::vector<std::uint8_t> chunk(huff::ChunkSize), block(WriteBlock);
    for (std::size_t index; (index = next++) < segments.size();) {
      const huff::TSegment& segment = segments[index];
      // The segment's share of the output, placed as its input is.
      std::uint64_t at = segment.Begin * outputSize / inputSize;
      const std::uint64_t end = segment.End * outputSize / inputSize;
      for (std::uint64_t offset = segment.Begin; offset < segment.End;) {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(huff::ChunkSize, segment.End - offset));
        const std::size_t count = input.ReadAt(offset, std::span(chunk.data(), want));
        if (count == 0)
          throw std::runtime_error("the input shrank");
        offset += count;
        const std::uint64_t due = offset * outputSize / inputSize;
        while (output != nullptr &&
               (due - at >= WriteBlock || (offset == segment.End && at < end))) {
          const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(WriteBlock, end - at));
          const std::lock_guard turn(writing);
          output->WriteAt(at, std::span(block.data(), size));
          at += size;
        }
      }
    }
  };
  std::mutex failing;
  std::exception_ptr failure;
  const auto guarded = [&] {
    try {
      work();
    } catch (...) {
      const std::lock_guard lock(failing);
      failure = std::current_exception();
      next = segments.size();  // the others stop at their next segment
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < huff::ThreadCount({}, true); ++i)
    threads.emplace_back(guarded);
  guarded();
  for (std::thread& thread : threads)
    thread.join();
  if (failure)
    std::rethrow_exception(failure);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: io_floor INPUT OUTPUT SIZE\n");
    return 2;
  }
  try {
    const auto input = huff::TFile::OpenForReading(argv[1]);
    const std::uint64_t inputSize = std::max<std::uint64_t>(input->Size(), 1);
    const std::uint64_t outputSize = std::strtoull(argv[3], nullptr, 10);
    const std::vector<huff::TSegment> segments = huff::PlanSegments(
        inputSize, huff::ThreadCount({}, true), huff::TParallelism{}.MinSegmentSize);
    Pass(*input, nullptr, 0, segments, inputSize);
    const auto output = huff::TFile::CreateForWriting(argv[2], input.get());
    Pass(*input, output.get(), outputSize, segments, inputSize);
    output->Close();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "io_floor: %s\n", error.what());
    return 1;
  }
  return 0;
}
