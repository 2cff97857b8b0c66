// The decoder against the packer's encoding kernel, in bytes per second of image, on the same
// images in one run: the flash-like benchmark image, erased flash, noise and long codes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>

#include "bit_writer.h"
#include "container.h"
#include "decoder.h"
#include "flash_image.h"
#include "histogram.h"
#include "huffman.h"
#include "passes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes& Flash() {
  static const Bytes image = bench::TFlashImage::Make(16 << 20);
  return image;
}

const Bytes& Erased() {
  static const Bytes image = [] {
    Bytes bytes(16 << 20, 0xFF);
    for (std::size_t i = 0; i < bytes.size(); i += 4096)
      bytes[i] = static_cast<std::uint8_t>(i >> 12);
    return bytes;
  }();
  return image;
}

const Bytes& Noise() {
  static const Bytes image = [] {
    Bytes bytes(16 << 20);
    std::mt19937 random(1);
    for (auto& byte : bytes)
      byte = static_cast<std::uint8_t>(random());
    return bytes;
  }();
  return image;
}

// Byte values 0 to 31 occurring 1, 2, 3, 5, ... times, shuffled: codes up to 32 bits.
const Bytes& Skewed() {
  static const Bytes image = [] {
    Bytes bytes;
    std::uint64_t previous = 1, current = 1;
    for (int value = 0; value < 32; ++value) {
      bytes.insert(bytes.end(), current, static_cast<std::uint8_t>(value));
      const std::uint64_t next = previous + current;
      previous = current;
      current = next;
    }
    std::shuffle(bytes.begin(), bytes.end(), std::mt19937(1));
    return bytes;
  }();
  return image;
}

class TDiscard final : public huff::TStream {
 public:
  std::size_t Read(std::span<std::uint8_t>) override { return 0; }
  void Write(std::span<const std::uint8_t> data) override { benchmark::DoNotOptimize(data.data()); }
  std::size_t ReadAt(std::uint64_t, std::span<std::uint8_t>) override { return 0; }
  void WriteAt(std::uint64_t, std::span<const std::uint8_t>) override {}
  void Rewind() override {}
  std::uint64_t Size() override { return 0; }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return Label; }
  std::string Label = "discard";
};

std::unique_ptr<huff::TCompressorState> CodesFor(const Bytes& image) {
  auto state = std::make_unique<huff::TCompressorState>();
  huff::InitNodes(*state);
  huff::THistogram counts{};
  huff::CountBytes(image, counts);
  for (int value = 0; value < 256; ++value)
    state->NodePool[value].Weight = static_cast<std::int32_t>(counts[value]);
  state->NodePool[huff::EndMarker].Weight = 1;
  huff::BuildTree(*state);
  huff::AssignCodes(*state);
  return state;
}

Bytes Pack(const Bytes& image) {
  auto state = std::make_unique<huff::TCompressorState>();
  huff::ResetState(*state, "ZRQ-705", "Sarnveld");
  state->Input = std::make_unique<huff::TMemoryStream>(image);
  auto output = std::make_unique<huff::TMemoryStream>();
  huff::TMemoryStream& written = *output;
  state->Output = std::move(output);
  huff::Compress(*state);
  return written.Contents();
}

// The whole decoder on one thread: header, checksum, table and data, from a container in
// memory read in blocks, to an image that is thrown away block by block.
void Decode(benchmark::State& run, const Bytes& image) {
  huff::TMemoryStream in(Pack(image));
  TDiscard out;
  for (auto _ : run) {
    in.Rewind();
    benchmark::DoNotOptimize(huff::DecodeContainer(in, &out).ImageSize);
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * image.size()));
}

// The packer's coding kernel as micro_bench measures it: codes and checksum, chunk by chunk.
void EncodeKernel(benchmark::State& run, const Bytes& image) {
  const auto state = CodesFor(image);
  const huff::TFastCodeTable table = huff::FastCodes(state->CodeTable);
  Bytes out(static_cast<std::size_t>(huff::ChunkSize) * 4 + 16);
  for (auto _ : run) {
    huff::TBitAccumulator acc;
    bool missing = false;
    for (std::size_t at = 0; at < image.size(); at += huff::ChunkSize) {
      const std::size_t size = std::min<std::size_t>(huff::ChunkSize, image.size() - at);
      std::uint8_t* end =
          huff::EncodeBytes(table, std::span(image.data() + at, size), out.data(), acc, missing);
      benchmark::DoNotOptimize(huff::SumBytes(std::span(out.data(), end)));
    }
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * image.size()));
}

BENCHMARK_CAPTURE(Decode, Flash, Flash());
BENCHMARK_CAPTURE(EncodeKernel, Flash, Flash());
BENCHMARK_CAPTURE(Decode, Erased, Erased());
BENCHMARK_CAPTURE(EncodeKernel, Erased, Erased());
BENCHMARK_CAPTURE(Decode, Noise, Noise());
BENCHMARK_CAPTURE(EncodeKernel, Noise, Noise());
BENCHMARK_CAPTURE(Decode, LongCodes, Skewed());
BENCHMARK_CAPTURE(EncodeKernel, LongCodes, Skewed());

}  // namespace

BENCHMARK_MAIN();
