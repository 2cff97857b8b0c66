// The packer's parts, each in bytes per second of input, and beside each fast part the
// straightforward one it is held against; and the decoder beside the coder.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>

#include "container/bit_writer.h"
#include "container/container.h"
#include "flash_image.h"
#include "huffman/huffman.h"
#include "pack/fast_coder.h"
#include "pack/histogram.h"
#include "pack/pack.h"
#include "sarnveld.h"
#include "unpack/decoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes& Flash() {
  static const Bytes image = bench::TFlashImage::Make(16 << 20);
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

// Discards what it is given: the benchmarks measure the writers, not a file.
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

// The codes the packer would give the image.
std::unique_ptr<huff::TCoder> CodesFor(const Bytes& image) {
  auto coder = std::make_unique<huff::TCoder>();
  huff::InitNodes(*coder);
  huff::THistogram counts{};
  huff::CountBytes(image, counts);
  for (int value = 0; value < 256; ++value)
    coder->NodePool[value].Weight = static_cast<std::int32_t>(counts[value]);
  coder->NodePool[huff::EndMarker].Weight = 1;
  huff::BuildTree(*coder);
  huff::AssignCodes(*coder);
  return coder;
}

// Erased flash: one long run of 0xFF.
const Bytes& Erased() {
  static const Bytes image(16 << 20, 0xFF);
  return image;
}

void Count(benchmark::State& run, void (*count)(std::span<const std::uint8_t>, huff::THistogram&),
           const Bytes& image) {
  for (auto _ : run) {
    huff::THistogram counts{};
    // In chunks, as the packer reads them.
    for (std::size_t at = 0; at < image.size(); at += huff::ChunkSize)
      count(std::span(image.data() + at, std::min<std::size_t>(huff::ChunkSize, image.size() - at)),
            counts);
    benchmark::DoNotOptimize(counts.data());
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * image.size()));
}
BENCHMARK_CAPTURE(Count, FourHistogramsFlash, &huff::CountBytes, Flash());
BENCHMARK_CAPTURE(Count, OneByOneFlash, &huff::CountBytesOneByOne, Flash());
BENCHMARK_CAPTURE(Count, FourHistogramsErased, &huff::CountBytes, Erased());
BENCHMARK_CAPTURE(Count, OneByOneErased, &huff::CountBytesOneByOne, Erased());

// Tree and codes are built once per run, whatever the input's size: their cost per byte is
// that of one 16 MiB image.
void TreeAndCodes(benchmark::State& run) {
  auto coder = CodesFor(Flash());
  std::array<std::int32_t, 257> weights{};
  for (int symbol = 0; symbol < 257; ++symbol)
    weights[symbol] = coder->NodePool[symbol].Weight;
  for (auto _ : run) {
    huff::InitNodes(*coder);
    for (int symbol = 0; symbol < 257; ++symbol)
      coder->NodePool[symbol].Weight = weights[symbol];
    huff::BuildTree(*coder);
    huff::AssignCodes(*coder);
    benchmark::DoNotOptimize(coder->CodeTable.data());
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * Flash().size()));
}
BENCHMARK(TreeAndCodes);

// With pairs: through the pair table where the codes allow one.
void EncodeFast(benchmark::State& run, const Bytes& image, bool pairs) {
  const huff::TFastCodeTable table = huff::FastCodes(CodesFor(image)->CodeTable, pairs);
  // Output of one chunk at a time, as the packer writes it.
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
  run.SetLabel("longest code " + std::to_string(table.MaxLength) + " bits" +
               (table.Pairs.empty() ? "" : ", pairs"));
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * image.size()));
}

void EncodeWriteBit(benchmark::State& run, const Bytes& image) {
  const auto coder = CodesFor(image);
  for (auto _ : run) {
    TDiscard discard;
    huff::TBitWriter writer(discard);
    for (const std::uint8_t byte : image)
      huff::WriteCode(writer, coder->CodeTable[byte]);
    writer.FlushBits();
    benchmark::DoNotOptimize(writer.GetChecksum());
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * image.size()));
}

BENCHMARK_CAPTURE(EncodeFast, ShortCodes, Flash(), true);
BENCHMARK_CAPTURE(EncodeFast, ShortCodesNoPairs, Flash(), false);
BENCHMARK_CAPTURE(EncodeWriteBit, ShortCodes, Flash());
BENCHMARK_CAPTURE(EncodeFast, LongCodes, Skewed(), true);
BENCHMARK_CAPTURE(EncodeWriteBit, LongCodes, Skewed());
BENCHMARK_CAPTURE(EncodeFast, Erased, Erased(), true);
BENCHMARK_CAPTURE(EncodeFast, Noise, Noise(), true);

// Building the pair table: what a pack pays for it, against what it saves per byte above.
void PairTable(benchmark::State& run) {
  const auto coder = CodesFor(Flash());
  for (auto _ : run)
    benchmark::DoNotOptimize(huff::FastCodes(coder->CodeTable, true).Pairs.data());
}
BENCHMARK(PairTable);

Bytes Pack(const Bytes& image) {
  auto state = std::make_unique<huff::TCompressorState>();
  state->Input = std::make_unique<huff::TMemoryStream>(image);
  auto output = std::make_unique<huff::TMemoryStream>();
  huff::TMemoryStream& written = *output;
  state->Output = std::move(output);
  huff::Compress(*state);
  return written.Contents();
}

// The whole pack through the C interface, as an application packs one image after another in
// memory: per image, so that what a pack costs beyond its bytes shows for small ones.
void ApiPack(benchmark::State& run, std::size_t size) {
  const Bytes image(Flash().begin(), Flash().begin() + static_cast<std::ptrdiff_t>(size));
  for (auto _ : run) {
    void* container = nullptr;
    std::size_t containerSize = 0;
    if (sarnveld_pack(image.data(), image.size(), nullptr, nullptr, &container, &containerSize,
                      nullptr) != 0)
      run.SkipWithError("sarnveld_pack failed");
    sarnveld_free(container);
  }
  run.SetItemsProcessed(static_cast<std::int64_t>(run.iterations()));
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * size));
}
BENCHMARK_CAPTURE(ApiPack, OneByte, 1)->UseRealTime();
BENCHMARK_CAPTURE(ApiPack, 64KiB, 64 << 10)->UseRealTime();
BENCHMARK_CAPTURE(ApiPack, 1MiB, 1 << 20)->UseRealTime();
BENCHMARK_CAPTURE(ApiPack, 16MiB, 16 << 20)->UseRealTime();

// The whole decoder: header, checksum, table and data, from a container in memory read in
// blocks, to an image that is thrown away block by block; on one thread, and with a worker
// that decodes windows ahead. Beside the EncodeFast runs on the same images.
void Decode(benchmark::State& run, const Bytes& image, int threads) {
  huff::TMemoryStream in(Pack(image));
  TDiscard out;
  for (auto _ : run) {
    in.Rewind();
    benchmark::DoNotOptimize(huff::DecodeContainer(in, &out, {.Threads = threads}).ImageSize);
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * image.size()));
}
BENCHMARK_CAPTURE(Decode, ShortCodes, Flash(), 1)->UseRealTime();
BENCHMARK_CAPTURE(Decode, ShortCodesTwoThreads, Flash(), 2)->UseRealTime();
BENCHMARK_CAPTURE(Decode, LongCodes, Skewed(), 1)->UseRealTime();
BENCHMARK_CAPTURE(Decode, LongCodesTwoThreads, Skewed(), 2)->UseRealTime();
BENCHMARK_CAPTURE(Decode, Erased, Erased(), 1)->UseRealTime();
BENCHMARK_CAPTURE(Decode, ErasedTwoThreads, Erased(), 2)->UseRealTime();
BENCHMARK_CAPTURE(Decode, Noise, Noise(), 1)->UseRealTime();
BENCHMARK_CAPTURE(Decode, NoiseTwoThreads, Noise(), 2)->UseRealTime();

void ChecksumVector(benchmark::State& run) {
  for (auto _ : run)
    benchmark::DoNotOptimize(huff::SumBytes(Flash()));
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * Flash().size()));
}
BENCHMARK(ChecksumVector);

void ChecksumOneByOne(benchmark::State& run) {
  for (auto _ : run)
    benchmark::DoNotOptimize(huff::SumBytesOneByOne(Flash()));
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * Flash().size()));
}
BENCHMARK(ChecksumOneByOne);

}  // namespace

BENCHMARK_MAIN();
