// braxel image extraction in process: every image of a pack of 500 pictures of 128 x 128 8-bit
// pixels, each with its own palette block, decoded and encoded as PNG in memory. With
// "--make-pack PATH" it only writes the pack, for braxel_extract_compare.sh.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "braxel/archive/pack_fixtures.h"
#include "braxel/cli/console/console.h"
#include "braxel/image/imagefile.h"
#include "braxel/image/shpi.h"

namespace {

using pack_fixtures::Bytes;

constexpr int kImages = 500;
constexpr int kSide = 128;

Bytes make_pack() {
  std::mt19937 rng(4242);
  std::vector<Bytes> blocks;
  for (int n = 0; n < kImages; ++n) {
    Bytes b{0x7B};
    pack_fixtures::put_le(b, 16 + kSide * kSide, 3);
    pack_fixtures::put_le(b, kSide, 2);
    pack_fixtures::put_le(b, kSide, 2);
    b.resize(16, 0);
    // Smooth areas with some noise, as in the game's pictures.
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x)
        b.push_back(
            static_cast<std::uint8_t>((x / 8 + y / 8 * 16 + n) % 256 ^ (rng() % 8 == 0 ? rng() % 16 : 0)));
    b.push_back(0x24);
    pack_fixtures::put_le(b, 0, 3);
    pack_fixtures::put_le(b, 256, 2);
    pack_fixtures::put_le(b, 1, 2);
    b.resize(b.size() + 8, 0);
    for (int i = 0; i < 256 * 3; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
    blocks.push_back(std::move(b));
  }
  std::vector<ShpiOutBlock> out(kImages);
  for (int n = 0; n < kImages; ++n) {
    std::snprintf(out[n].name, sizeof out[n].name, "%03d", n);
    out[n].data = blocks[n].data();
    out[n].size = blocks[n].size();
  }
  ImageBytes file;
  ShpiError error;
  shpi_write("GIMX", out.data(), out.size(), &file, &error);
  Bytes pack(file.data, file.data + file.size);
  image_bytes_release(&file);
  return pack;
}

const Bytes& pack() {
  static const Bytes p = [] {
    console_init();
    return make_pack();
  }();
  return p;
}

void BM_ExtractPng500(benchmark::State& state) {
  const Bytes& p = pack();
  ShpiDirectory directory;
  ShpiError error;
  shpi_scan(p.data(), p.size(), &directory, &error);
  std::size_t written = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
      ShapeImage picture;
      if (shpi_decode_entry(p.data(), p.size(), directory, i, &picture, &error) != ShpiStatus::kOk) continue;
      ImageBytes png;
      ImageError image_error;
      png_encode(picture, &png, &image_error);
      written += png.size;
      image_bytes_release(&png);
      shape_image_release(&picture);
    }
  }
  state.counters["png_bytes_per_run"] =
      static_cast<double>(written) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(directory.entries.size()));
}
BENCHMARK(BM_ExtractPng500)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--make-pack") == 0) {
    const Bytes& p = pack();
    FILE* f = std::fopen(argv[2], "wb");
    if (f == nullptr) return 1;
    const bool ok = std::fwrite(p.data(), 1, p.size(), f) == p.size();
    return std::fclose(f) == 0 && ok ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
