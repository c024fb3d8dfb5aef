// braxel pack archives in process: scanning the directory of a BIGF of 20,000 entries (read,
// checked and sorted) and reading every entry through the cursors.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "braxel/archive/pack.h"
#include "braxel/archive/pack_fixtures.h"
#include "braxel/cli/console/console.h"

namespace {

const std::string& archive_path() {
  static const std::string path = [] {
    console_init();
    pack_fixtures::Files files;
    for (int i = 0; i < 20000; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "F%05d.dat", (i * 7919) % 20000);
      files.push_back({name, pack_fixtures::Bytes(100 + i % 1900, static_cast<std::uint8_t>(i))});
    }
    const pack_fixtures::Bytes data = pack_fixtures::bigf(files);
    const std::string p = "/tmp/braxel_archive_bench_" + std::to_string(::getpid()) + ".viv";
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return p;
  }();
  return path;
}

void BM_ScanBigf20000(benchmark::State& state) {
  const std::string& path = archive_path();
  for (auto _ : state) {
    PackEntry* root = pack_root(path.c_str());
    PackEntry* dir = pack_scan(root, 0);
    benchmark::DoNotOptimize(dir);
    pack_release(root);
  }
}
BENCHMARK(BM_ScanBigf20000)->Unit(benchmark::kMillisecond);

void BM_ReadEveryEntry20000(benchmark::State& state) {
  const std::string& path = archive_path();
  PackEntry* root = pack_root(path.c_str());
  PackEntry* dir = pack_scan(root, 0);
  static std::uint8_t buffer[4096];
  for (auto _ : state) {
    std::int64_t total = 0;
    for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) {
      total += pack_read(e, buffer, sizeof buffer);
      pack_close(e, 0);
    }
    benchmark::DoNotOptimize(total);
  }
  pack_release(root);
}
BENCHMARK(BM_ReadEveryEntry20000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(archive_path().c_str());
  return 0;
}
