// The library's parts in bytes per second, each fast part beside the straightforward one it is
// held against or without the mechanism it adds; and the whole library in a caller's process,
// beside liblz4, libzstd level 1 and libdeflate level 1, on flash-like images of 64 KiB to
// 64 MiB, with the ratios and the memory a caller's thread keeps printed at the end. Run it on
// one core (taskset -c 0) and on all.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "pack/bit_writer.h"
#include "pack/fast_coder.h"
#include "pack/histogram.h"
#include "sarnveld.h"
#include "support.h"
#include "unpack/decoder.h"
#include "unpack/lookup.h"

#ifdef SARNVELD_PEERS
#include <libdeflate.h>
#include <lz4.h>
#include <zstd.h>
#endif

namespace {

using testing_support::Bytes;

const Bytes& Flash() {
  static const Bytes image = testing_support::FlashImage(16 << 20);
  return image;
}

// Byte values 0 to 31 occurring 1, 2, 3, 5, ... times, shuffled: codes up to 32 bits.
const Bytes& Skewed() {
  static const Bytes image = [] {
    Bytes bytes = testing_support::FibonacciImage(32);
    std::shuffle(bytes.begin(), bytes.end(), std::mt19937(1));
    return bytes;
  }();
  return image;
}

const Bytes& Noise() {
  static const Bytes image = testing_support::RandomBytes(16 << 20, 1);
  return image;
}

// Text-like: words of a small vocabulary, of a few to a dozen letters, with spaces and lines.
const Bytes& Text() {
  static const Bytes image = [] {
    std::mt19937 random(1);
    std::vector<std::string> words(400);
    for (auto& word : words)
      for (std::size_t k = 0, size = 2 + random() % 10; k < size; ++k)
        word += static_cast<char>('a' + random() % 26 * (random() % 4 + 1) / 4 % 26);
    Bytes bytes;
    while (bytes.size() < (16u << 20)) {
      const std::string& word = words[random() % 40 == 0 ? random() % 400 : random() % 40];
      bytes.insert(bytes.end(), word.begin(), word.end());
      bytes.push_back(random() % 12 == 0 ? '\n' : ' ');
    }
    return bytes;
  }();
  return image;
}

// Erased flash: one long run of 0xFF.
const Bytes& Erased() {
  static const Bytes image(16 << 20, 0xFF);
  return image;
}

void Throughput(benchmark::State& run, std::size_t bytes) {
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations() * bytes));
}

// The codes the packer would give the image.
huff::TCodeTable CodesFor(const Bytes& image) {
  return huff::BuildCodes(huff::CountSymbols(image), "image");
}

// A byte at a time, as CountSymbols does.
void CountOneByOne(std::span<const std::uint8_t> bytes, huff::TByteCounts& counts) {
  for (const std::uint8_t byte : bytes)
    ++counts[byte];
}

void Count(benchmark::State& run, void (*count)(std::span<const std::uint8_t>, huff::TByteCounts&),
           const Bytes& image) {
  for (auto _ : run) {
    huff::TByteCounts counts{};
    // In chunks, as the packer reads files.
    for (std::size_t at = 0; at < image.size(); at += huff::ChunkSize)
      count(std::span(image.data() + at, std::min<std::size_t>(huff::ChunkSize, image.size() - at)),
            counts);
    benchmark::DoNotOptimize(counts.data());
  }
  Throughput(run, image.size());
}
BENCHMARK_CAPTURE(Count, FourHistogramsFlash, &huff::CountBytes, Flash());
BENCHMARK_CAPTURE(Count, OneByOneFlash, &CountOneByOne, Flash());
BENCHMARK_CAPTURE(Count, FourHistogramsErased, &huff::CountBytes, Erased());
BENCHMARK_CAPTURE(Count, OneByOneErased, &CountOneByOne, Erased());

// The checksum, which both directions take over every payload byte.
std::uint32_t SumPlain(std::span<const std::uint8_t> bytes) {
  return std::accumulate(bytes.begin(), bytes.end(), std::uint32_t{0});
}
void Sum(benchmark::State& run, std::uint32_t (*sum)(std::span<const std::uint8_t>)) {
  const Bytes container = testing_support::Pack(Flash());
  for (auto _ : run)
    benchmark::DoNotOptimize(sum(container));
  Throughput(run, container.size());
}
BENCHMARK_CAPTURE(Sum, SumBytes, &huff::SumBytes);
BENCHMARK_CAPTURE(Sum, Plain, &SumPlain);

// Tree and codes are built once per run, whatever the input's size: their cost per byte is
// that of one 16 MiB image.
void TreeAndCodes(benchmark::State& run) {
  huff::TByteCounts counts{};
  huff::CountBytes(Flash(), counts);
  for (auto _ : run)
    benchmark::DoNotOptimize(huff::BuildCodes(counts, "image").data());
  Throughput(run, Flash().size());
}
BENCHMARK(TreeAndCodes);

enum TCoderWay { Pairs, NoPairs, NoRuns };

// The fast coder, a chunk at a time as the packer codes; with the pair table where the codes
// allow one, without it, or without coding runs of one value whole.
void EncodeFast(benchmark::State& run, const Bytes& image, TCoderWay way) {
  huff::TFastCodeTable table = huff::FastCodes(CodesFor(image), way == Pairs);
  if (way == NoRuns)
    table.WordCodes.fill({});
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
  Throughput(run, image.size());
}

void EncodeWriteBit(benchmark::State& run, const Bytes& image) {
  const huff::TCodeTable codes = CodesFor(image);
  Bytes payload;
  for (auto _ : run) {
    payload.clear();
    huff::TBitWriter writer(payload);
    for (const std::uint8_t byte : image)
      huff::WriteCode(writer, codes[byte]);
    writer.FlushBits();
    benchmark::DoNotOptimize(payload.data());
  }
  Throughput(run, image.size());
}

BENCHMARK_CAPTURE(EncodeFast, ShortCodes, Flash(), Pairs);
BENCHMARK_CAPTURE(EncodeFast, ShortCodesNoPairs, Flash(), NoPairs);
BENCHMARK_CAPTURE(EncodeWriteBit, ShortCodes, Flash());
BENCHMARK_CAPTURE(EncodeFast, LongCodes, Skewed(), Pairs);
BENCHMARK_CAPTURE(EncodeWriteBit, LongCodes, Skewed());
BENCHMARK_CAPTURE(EncodeFast, Erased, Erased(), Pairs);
BENCHMARK_CAPTURE(EncodeFast, ErasedNoRuns, Erased(), NoRuns);
BENCHMARK_CAPTURE(EncodeFast, Noise, Noise(), Pairs);

// Building the pair table: what a pack pays for it, against what it saves per byte above.
void PairTable(benchmark::State& run) {
  const huff::TCodeTable codes = CodesFor(Flash());
  for (auto _ : run)
    benchmark::DoNotOptimize(huff::FastCodes(codes, true).Pairs.data());
}
BENCHMARK(PairTable);

// The decoder's look-up tables for a small image's codes, which every unpack of it builds.
void LookupTables(benchmark::State& run) {
  const auto size = static_cast<std::size_t>(run.range(0));
  const Bytes image = testing_support::FlashImage(size);
  const huff::TCodeTable codes = CodesFor(image);
  const std::size_t payload = testing_support::Pack(image).size() - huff::HeaderSize;
  huff::TLookupTables tables;
  for (auto _ : run) {
    tables.Build(codes, payload, true, true);
    benchmark::DoNotOptimize(tables.Fast().Packed);
  }
  Throughput(run, size);
}
BENCHMARK(LookupTables)->Arg(64 << 10)->Arg(1 << 20);

// The whole decoder on a container in memory, the image thrown away: header, checksum, table
// and data; with every way of the fast decode, and without each of them; and the device reader, a
// bit at a time, for scale. On one thread, FlashWorker alone with its worker, so that the ways
// compare alike on any number of processors.
void Decode(benchmark::State& run, const Bytes& image, huff::TDecodeOptions options) {
  options.Threads = std::max(options.Threads, 1);
  const Bytes container = testing_support::Pack(image);
  for (auto _ : run)
    benchmark::DoNotOptimize(
        huff::DecodeContainer({.Memory = container, .Name = "memory"}, {}, options).ImageSize);
  Throughput(run, image.size());
}
BENCHMARK_CAPTURE(Decode, Flash, Flash(), {})->UseRealTime();
BENCHMARK_CAPTURE(Decode, FlashWorker, Flash(), {.Threads = 2})->UseRealTime();
BENCHMARK_CAPTURE(Decode, FlashNoLanes, Flash(), {.Lanes = false})->UseRealTime();
BENCHMARK_CAPTURE(Decode, LongCodes, Skewed(), {})->UseRealTime();
BENCHMARK_CAPTURE(Decode, Erased, Erased(), {})->UseRealTime();
BENCHMARK_CAPTURE(Decode, ErasedNoRuns, Erased(), {.Runs = false})->UseRealTime();
BENCHMARK_CAPTURE(Decode, Noise, Noise(), {})->UseRealTime();
BENCHMARK_CAPTURE(Decode, NoiseNoStride, Noise(), {.Stride = false})->UseRealTime();
BENCHMARK_CAPTURE(Decode, Text, Text(), {})->UseRealTime();
BENCHMARK_CAPTURE(Decode, TextNoLanes, Text(), {.Lanes = false})->UseRealTime();

void DecodeDevice(benchmark::State& run, const Bytes& image) {
  const Bytes container = testing_support::Pack(image);
  for (auto _ : run)
    benchmark::DoNotOptimize(testing_support::DeviceDecode(container).Status);
  Throughput(run, image.size());
}
BENCHMARK_CAPTURE(DecodeDevice, Flash, Flash())->UseRealTime();

// --- In a caller's process --------------------------------------------------------------

// Flash-like images as an application has them, one call after another. Results of ours come
// from malloc and are freed; the peers write into buffers made once, as their interfaces ask.
const std::size_t Sizes[] = {64 << 10, 1 << 20, 4 << 20, 64 << 20};

const Bytes& Image(std::size_t size) {
  static std::map<std::size_t, Bytes> images;
  Bytes& image = images[size];
  if (image.empty())
    image = testing_support::FlashImage(size);
  return image;
}

const Bytes& Container(std::size_t size) {
  static std::map<std::size_t, Bytes> containers;
  Bytes& container = containers[size];
  if (container.empty())
    container = testing_support::Pack(Image(size));
  return container;
}

void Fail(benchmark::State& run, const char* what) {
  run.SkipWithError(what);
}

// One call of the C face, its result freed: what it returned.
int PackOnce(const Bytes& image) {
  void* container = nullptr;
  std::size_t size = 0;
  const int status =
      sarnveld_pack(image.data(), image.size(), nullptr, nullptr, &container, &size, nullptr);
  sarnveld_free(container);
  return status;
}

int UnpackOnce(const Bytes& container) {
  void* image = nullptr;
  std::size_t size = 0;
  const int status =
      sarnveld_unpack(container.data(), container.size(), &image, &size, nullptr, nullptr);
  sarnveld_free(image);
  return status;
}

void OursPack(benchmark::State& run, std::size_t size) {
  const Bytes& image = Image(size);
  for (auto _ : run)
    if (PackOnce(image) != 0)
      Fail(run, "sarnveld_pack failed");
  Throughput(run, size);
}

void OursUnpack(benchmark::State& run, std::size_t size) {
  const Bytes& container = Container(size);
  for (auto _ : run)
    if (UnpackOnce(container) != 0)
      Fail(run, "sarnveld_unpack failed");
  Throughput(run, size);
}

void OursUnpackInto(benchmark::State& run, std::size_t size) {
  const Bytes& container = Container(size);
  Bytes image(size);
  for (auto _ : run) {
    std::size_t imageSize = 0;
    if (sarnveld_unpack_into(container.data(), container.size(), image.data(), image.size(),
                             &imageSize, nullptr, nullptr) != 0)
      Fail(run, "sarnveld_unpack_into failed");
  }
  Throughput(run, size);
}

#ifdef SARNVELD_PEERS
void Lz4Compress(benchmark::State& run, std::size_t size) {
  const Bytes& image = Image(size);
  Bytes out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(size))));
  for (auto _ : run)
    benchmark::DoNotOptimize(LZ4_compress_default(
        reinterpret_cast<const char*>(image.data()), reinterpret_cast<char*>(out.data()),
        static_cast<int>(size), static_cast<int>(out.size())));
  Throughput(run, size);
}

void Lz4Decompress(benchmark::State& run, std::size_t size) {
  const Bytes& image = Image(size);
  Bytes packed(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(size)))), out(size);
  packed.resize(static_cast<std::size_t>(LZ4_compress_default(
      reinterpret_cast<const char*>(image.data()), reinterpret_cast<char*>(packed.data()),
      static_cast<int>(size), static_cast<int>(packed.size()))));
  for (auto _ : run)
    if (LZ4_decompress_safe(reinterpret_cast<const char*>(packed.data()),
                            reinterpret_cast<char*>(out.data()), static_cast<int>(packed.size()),
                            static_cast<int>(size)) != static_cast<int>(size))
      Fail(run, "LZ4_decompress_safe failed");
  Throughput(run, size);
}

void ZstdCompress(benchmark::State& run, std::size_t size) {
  const Bytes& image = Image(size);
  Bytes out(ZSTD_compressBound(size));
  ZSTD_CCtx* context = ZSTD_createCCtx();
  for (auto _ : run)
    benchmark::DoNotOptimize(
        ZSTD_compressCCtx(context, out.data(), out.size(), image.data(), size, 1));
  ZSTD_freeCCtx(context);
  Throughput(run, size);
}

void ZstdDecompress(benchmark::State& run, std::size_t size) {
  const Bytes& image = Image(size);
  Bytes packed(ZSTD_compressBound(size)), out(size);
  packed.resize(ZSTD_compress(packed.data(), packed.size(), image.data(), size, 1));
  ZSTD_DCtx* context = ZSTD_createDCtx();
  for (auto _ : run)
    if (ZSTD_decompressDCtx(context, out.data(), size, packed.data(), packed.size()) != size)
      Fail(run, "ZSTD_decompressDCtx failed");
  ZSTD_freeDCtx(context);
  Throughput(run, size);
}

void DeflateCompress(benchmark::State& run, std::size_t size) {
  const Bytes& image = Image(size);
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(1);
  Bytes out(libdeflate_deflate_compress_bound(compressor, size));
  for (auto _ : run)
    benchmark::DoNotOptimize(
        libdeflate_deflate_compress(compressor, image.data(), size, out.data(), out.size()));
  libdeflate_free_compressor(compressor);
  Throughput(run, size);
}

void DeflateDecompress(benchmark::State& run, std::size_t size) {
  const Bytes& image = Image(size);
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(1);
  Bytes packed(libdeflate_deflate_compress_bound(compressor, size)), out(size);
  packed.resize(
      libdeflate_deflate_compress(compressor, image.data(), size, packed.data(), packed.size()));
  libdeflate_free_compressor(compressor);
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  for (auto _ : run)
    if (libdeflate_deflate_decompress(decompressor, packed.data(), packed.size(), out.data(), size,
                                      nullptr) != LIBDEFLATE_SUCCESS)
      Fail(run, "libdeflate_deflate_decompress failed");
  libdeflate_free_decompressor(decompressor);
  Throughput(run, size);
}
#endif

struct TInProcess {
  const char* Name;
  void (*Run)(benchmark::State&, std::size_t);
};
const TInProcess InProcess[] = {
    {"pack", OursPack},
    {"unpack", OursUnpack},
    {"unpack_into", OursUnpackInto},
#ifdef SARNVELD_PEERS
    {"lz4 compress", Lz4Compress},
    {"lz4 decompress", Lz4Decompress},
    {"zstd -1 compress", ZstdCompress},
    {"zstd decompress", ZstdDecompress},
    {"deflate -1 compress", DeflateCompress},
    {"deflate decompress", DeflateDecompress},
#endif
};

std::string RowName(const char* name, std::size_t size) {
  return std::string("InProcess/") + name + "/" + std::to_string(size >> 10) + "KiB";
}

// Keeps every benchmark's bytes per second, the median of its repetitions when it has them,
// to print the in-process table when all have run.
class TReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || run.counters.count("bytes_per_second") == 0 ||
          (run.run_type == Run::RT_Aggregate && !median))
        continue;
      if (median || Medians.count(run.run_name.str()) == 0)
        Speeds[run.run_name.str()] = run.counters.at("bytes_per_second");
      if (median)
        Medians.insert(run.run_name.str());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> Speeds;
  std::set<std::string> Medians;
};

// What a caller's thread keeps from one call to the next: malloc's bytes in use after the call
// (its result freed) less those before, on a fresh thread whose kept buffers are freed when it
// ends. Unpacking keeps room for a small image; packing lets go of a kept buffer past 256 KiB.
void PrintKept() {
#ifdef __GLIBC__
  const auto inUse = [] {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
  };
  const testing_support::TTempDir dir;
  const std::string in = dir / "in", hex = dir / "hex", out = dir / "out";
  const Bytes& image = Image(Sizes[3]);
  const Bytes& container = Container(Sizes[3]);
  testing_support::WriteWholeFile(in, image);
  testing_support::WriteWholeFile(hex, container);
  const auto pack = [&] { return PackOnce(image); };
  const auto unpack = [&] { return UnpackOnce(container); };
  const auto packFile = [&] {
    return sarnveld_pack_file(in.c_str(), hex.c_str(), nullptr, nullptr, nullptr);
  };
  const auto unpackFile = [&] {
    return sarnveld_unpack_file(hex.c_str(), out.c_str(), nullptr, nullptr);
  };
  const struct {
    const char* Name;
    std::vector<std::function<int()>> Calls;
  } rows[] = {{"pack", {pack}},
              {"pack_file", {packFile}},
              {"unpack", {unpack}},
              {"unpack_file", {unpackFile}},
              {"unpack, then pack", {unpack, pack}}};
  std::printf("\nmemory a caller's thread keeps after its calls, %zu KiB images:\n",
              Sizes[3] >> 10);
  for (const auto& row : rows) {
    long long kept = 0;
    bool failed = false;
    std::thread([&] {
      const long long before = inUse();
      for (const auto& call : row.Calls)
        failed |= call() != 0;
      kept = inUse() - before;
    }).join();
    if (failed)
      std::printf("  %-18s failed\n", row.Name);
    else
      std::printf("  %-18s %6lld KiB\n", row.Name, kept >> 10);
  }
#endif
}

// False when no in-process row ran.
bool PrintInProcess(const std::map<std::string, double>& speeds) {
  const auto speed = [&](const char* name, std::size_t size) {
    for (const auto& [key, value] : speeds)
      if (key.starts_with(RowName(name, size)))
        return value / 1e6;
    return 0.0;
  };
  if (speed("pack", Sizes[0]) == 0)
    return false;
  std::printf("\nin one process, MB/s of image (ours / peer in brackets):\n");
  std::printf("| %-8s | %6s | %6s | %11s | %15s | %15s | %15s | %15s | %15s | %15s |\n", "image",
              "pack", "unpack", "unpack_into", "lz4 c", "lz4 d", "zstd -1 c", "zstd d",
              "deflate -1 c", "deflate d");
  for (const std::size_t size : Sizes) {
    const double pack = speed("pack", size), unpack = speed("unpack", size),
                 into = speed("unpack_into", size);
    std::printf("| %5zu KiB | %6.0f | %6.0f | %11.0f |", size >> 10, pack, unpack, into);
    const char* peers[] = {"lz4 compress",    "lz4 decompress",      "zstd -1 compress",
                           "zstd decompress", "deflate -1 compress", "deflate decompress"};
    for (int i = 0; i < 6; ++i) {
      const double peer = speed(peers[i], size);
      const double ours = i % 2 == 0 ? pack : unpack;
      if (peer > 0)
        std::printf(" %6.0f (%5.2fx) |", peer, ours / peer);
      else
        std::printf(" %15s |", "-");
    }
    std::printf("\n");
  }
  std::printf("targets: pack >= 1200 MB/s, unpack and unpack_into >= 1000 MB/s at every size\n");
  for (const std::size_t size : Sizes)
    std::printf("  %5zu KiB: pack %s, unpack %s, unpack_into %s\n", size >> 10,
                speed("pack", size) >= 1200 ? "met" : "MISSED",
                speed("unpack", size) >= 1000 ? "met" : "MISSED",
                speed("unpack_into", size) >= 1000 ? "met" : "MISSED");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (const TInProcess& row : InProcess)
    for (const std::size_t size : Sizes)
      benchmark::RegisterBenchmark(RowName(row.Name, size).c_str(), row.Run, size)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  TReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (PrintInProcess(reporter.Speeds))
    PrintKept();
  return 0;
}
