// Quantizing a 1024 x 1024 true-colour picture (the standard benchmark picture
// $PERF_DIR/in/image.png, default /tmp/perf/in) to 255 colours, with and without dithering, and
// the whole path of a PNG file through reading and finishing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "braxel/cli/console/console.h"
#include "braxel/image/imagefile.h"
#include "braxel/image/quantize.h"

namespace {

std::string input_path() {
  const char* dir = std::getenv("PERF_DIR");
  return std::string(dir ? dir : "/tmp/perf") + "/in/image.png";
}

const std::vector<std::uint8_t>& png_bytes() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::ifstream in(input_path(), std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), {});
  }();
  return bytes;
}

// The decoded picture, read once.
const ShapeImage* picture() {
  static ShapeImage image;
  static bool loaded = false;
  if (!loaded) {
    console_init();
    ImageError error;
    if (png_bytes().empty() ||
        image_decode(png_bytes().data(), png_bytes().size(), &image, &error) != ImageStatus::kOk)
      return nullptr;
    loaded = true;
  }
  return &image;
}

void quantize_picture(benchmark::State& state, bool dither) {
  const ShapeImage* image = picture();
  if (image == nullptr || image->rgb == nullptr) {
    state.SkipWithError("no true-colour input: run shared/bench/make-inputs.sh");
    return;
  }
  std::vector<std::uint8_t> index(static_cast<std::size_t>(image->width) * image->height);
  QuantPalette palette;
  for (auto _ : state) {
    if (!quantize(image->rgb, index.data(), image->width, image->height, 255, dither, &palette))
      state.SkipWithError("quantize failed");
    benchmark::DoNotOptimize(index.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(index.size()));
}

void BM_QuantizeDither(benchmark::State& state) {
  quantize_picture(state, true);
}
void BM_QuantizePlain(benchmark::State& state) {
  quantize_picture(state, false);
}

// Reading the PNG file and finishing it, as an image operand of the pack builder is prepared.
void BM_PngReadAndFinish(benchmark::State& state) {
  if (picture() == nullptr) {
    state.SkipWithError("no input: run shared/bench/make-inputs.sh");
    return;
  }
  for (auto _ : state) {
    ShapeImage image;
    ImageError error;
    image_decode(png_bytes().data(), png_bytes().size(), &image, &error);
    image_finish(&image);
    benchmark::DoNotOptimize(image.index);
    shape_image_release(&image);
  }
}

}  // namespace

BENCHMARK(BM_QuantizeDither)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuantizePlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngReadAndFinish)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
