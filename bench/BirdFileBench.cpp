// Loading a BIRD file with 1 MiB of content against zlib's own uncompress of the same
// stream, measured in the same run; the figure that matters is the ratio printed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"

namespace {

struct Fixture {
  std::string dir, path;
  std::vector<uint8_t> stream;  // the zlib stream inside the file
  size_t contentSize = 0;

  Fixture() {
    // Firmware-like code: 640 KiB of varied bytes, then 0xFF padding up to 1 MiB of content.
    // Content: count (4), the code block (5 + 4 + code), the identity (5 + 64), checksum (4).
    std::vector<uint8_t> code(1024 * 1024 - 86);
    uint32_t x = 12345;
    for (size_t i = 0; i < code.size(); ++i) {
      x = x * 1103515245u + 12345u;
      code[i] = i < 640 * 1024 ? static_cast<uint8_t>((x >> 16) & 0x3F) : 0xFF;
    }
    std::vector<birdwriter::Block> blocks = {birdwriter::CodeBlock(1, 0, code),
                                             birdwriter::IdentityBlock("1", "1.0.0", 1, "BENCH")};
    std::vector<uint8_t> content = birdwriter::EncodeBlocks(blocks);
    birdwriter::AppendChecksum(content);
    contentSize = content.size();
    std::vector<uint8_t> image = birdwriter::Wrap(content);
    stream.assign(image.begin() + 6, image.end());
    char tmpl[] = "/tmp/qwbench.XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    path = dir + "/bench.bird";
    std::string error;
    if (!birdwriter::WriteWhole(path, image, &error)) std::abort();
  }
  ~Fixture() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_BirdFileLoad(benchmark::State& state) {
  Fixture& fx = fixture();
  for (auto _ : state) {
    BirdFile f(fx.path.c_str());
    benchmark::DoNotOptimize(f.blocks.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fx.contentSize));
}

void BM_ZlibUncompress(benchmark::State& state) {
  Fixture& fx = fixture();
  std::vector<uint8_t> out(fx.contentSize);
  for (auto _ : state) {
    uLongf len = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &len, fx.stream.data(), static_cast<uLong>(fx.stream.size())) != Z_OK)
      state.SkipWithError("uncompress failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fx.contentSize));
}

BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BirdFileLoad)->Unit(benchmark::kMicrosecond);

// Prints the usual table and remembers each benchmark's CPU time per iteration (the
// machine is shared, so wall time is noisier).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> times;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        times[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto load = reporter.times.find("BM_BirdFileLoad");
  auto zlib = reporter.times.find("BM_ZlibUncompress");
  if (load != reporter.times.end() && zlib != reporter.times.end() && zlib->second > 0)
    std::printf("BIRD load / zlib uncompress: %.3f (content %zu bytes, stream %zu bytes)\n",
                load->second / zlib->second, fixture().contentSize, fixture().stream.size());
  benchmark::Shutdown();
  return 0;
}
