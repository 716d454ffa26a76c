// base64_decode of 4 MiB of text against a straightforward table decoder (a 256-entry
// table built per call, one group of four characters at a time, no validation), measured
// in the same run. Prints the ratio of the two median CPU times (the machine is shared, so
// CPU time is steadier than wall time); at most 1.0 means no slower.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "Base64.h"

namespace {

const std::string& text() {
  static const std::string t = [] {
    std::string bytes(3u << 20, '\0');
    std::mt19937 rng(1);
    for (auto& c : bytes) c = static_cast<char>(rng());
    unsigned long n = 0;
    char* e = base64_encode(bytes.data(), bytes.size(), &n);
    std::string s(e, n);
    std::free(e);
    return s;
  }();
  return t;
}

char* tableDecode(const char* in, unsigned long length, unsigned long* outLength) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (length % 4 != 0) return nullptr;
  unsigned long n = length / 4 * 3;
  if (length && in[length - 1] == '=') n--;
  if (length > 1 && in[length - 2] == '=') n--;
  *outLength = n;
  auto* out = static_cast<unsigned char*>(std::malloc(n + 1));
  if (!out) return nullptr;
  auto* table = static_cast<unsigned char*>(std::calloc(256, 1));
  for (int i = 0; i < 64; i++) table[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
  for (unsigned long i = 0, j = 0; i < length;) {
    unsigned a = in[i] == '=' ? 0 : table[static_cast<unsigned char>(in[i])]; i++;
    unsigned b = in[i] == '=' ? 0 : table[static_cast<unsigned char>(in[i])]; i++;
    unsigned c = in[i] == '=' ? 0 : table[static_cast<unsigned char>(in[i])]; i++;
    unsigned d = in[i] == '=' ? 0 : table[static_cast<unsigned char>(in[i])]; i++;
    unsigned v = (a << 18) + (b << 12) + (c << 6) + d;
    if (j < n) out[j++] = static_cast<unsigned char>(v >> 16);
    if (j < n) out[j++] = static_cast<unsigned char>(v >> 8);
    if (j < n) out[j++] = static_cast<unsigned char>(v);
  }
  out[n] = 0;
  std::free(table);
  return reinterpret_cast<char*>(out);
}

template <char* (*Decode)(const char*, unsigned long, unsigned long*)>
void run(benchmark::State& state) {
  const std::string& t = text();
  for (auto _ : state) {
    unsigned long n = 0;
    char* out = Decode(t.data(), t.size(), &n);
    if (!out) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}

void BM_Base64Decode(benchmark::State& s) { run<base64_decode>(s); }
void BM_TableDecoderBaseline(benchmark::State& s) { run<tableDecode>(s); }
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond)->Repetitions(9);
BENCHMARK(BM_TableDecoderBaseline)->Unit(benchmark::kMillisecond)->Repetitions(9);

// Console output as usual, plus the median CPU time per benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> median;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        median[r.run_name.function_name] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ours = reporter.median.find("BM_Base64Decode");
  auto base = reporter.median.find("BM_TableDecoderBaseline");
  if (ours != reporter.median.end() && base != reporter.median.end() && base->second > 0)
    std::printf("base64_decode / table decoder (4 MiB text, median CPU time): %.3f\n",
                ours->second / base->second);
  benchmark::Shutdown();
  return 0;
}
