// Image file kinds, the decode dispatch, finishing of decoded pictures and the file-level helpers
// that read and write image files through the console services.
#include "braxel/image/imagefile.h"

#include <strings.h>

#include <cstring>

#include "braxel/image/imageio.h"
#include "braxel/image/quantize.h"

namespace {

constexpr std::uint8_t kPngMagic[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A};
constexpr int kQuantColours = 255;  // index 0 stays free for transparency

// Large enough for any real picture (8192 x 8192), small enough that a hostile header cannot
// make the program allocate gigabytes.
std::size_t g_pixel_limit = std::size_t{1} << 26;

}  // namespace

namespace imageio {

ImageStatus fail(ImageError* error, ImageStatus status, const char* format, ...) {
  if (error != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(error->message, sizeof error->message, format, args);
    va_end(args);
  }
  return status;
}

std::size_t check_dimensions(std::uint64_t width, std::uint64_t height, ImageError* error, const char* kind) {
  if (width == 0 || height == 0) {
    fail(error, ImageStatus::kUnsupported, "%s image has no pixels (%llux%llu)", kind,
         static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
    return 0;
  }
  if (width > 32767 || height > 32767 || width * height > g_pixel_limit) {
    fail(error, ImageStatus::kCorrupt, "%s image too large (%llux%llu)", kind,
         static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
    return 0;
  }
  return static_cast<std::size_t>(width * height);
}

void allocate_indexed(ShapeImage* picture, int width, int height) {
  picture->width = static_cast<std::int16_t>(width);
  picture->height = static_cast<std::int16_t>(height);
  picture->index = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(width) * height));
}

void allocate_truecolour(ShapeImage* picture, int width, int height, bool alpha) {
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  picture->width = static_cast<std::int16_t>(width);
  picture->height = static_cast<std::int16_t>(height);
  picture->rgb = static_cast<std::uint8_t*>(console.allocate(pixels * 3));
  if (alpha) picture->alpha = static_cast<std::uint8_t*>(console.allocate(pixels));
}

void reset_palette(ShapeImage* picture) {
  for (auto& entry : picture->palette) {
    entry[0] = entry[1] = entry[2] = 0;
    entry[3] = 255;
  }
}

void set_description(ShapeImage* picture, const char* text) {
  std::snprintf(picture->description, sizeof picture->description, "%s", text);
  std::snprintf(picture->format, sizeof picture->format, "----");
}

}  // namespace imageio

using namespace imageio;

std::size_t image_pixel_limit() {
  return g_pixel_limit;
}
void image_set_pixel_limit(std::size_t pixels) {
  g_pixel_limit = pixels;
}

void shape_image_release(ShapeImage* picture) {
  console.release(picture->rgb);
  console.release(picture->index);
  console.release(picture->alpha);
  picture->rgb = picture->index = picture->alpha = nullptr;
}

int image_identify(const std::uint8_t* data, std::size_t size) {
  auto starts = [&](const void* magic, std::size_t n, std::size_t at = 0) {
    return size >= at + n && std::memcmp(data + at, magic, n) == 0;
  };
  if (starts(kPngMagic, sizeof kPngMagic)) return kImagePng;
  if (starts("BM", 2)) return kImageBmp;
  if (starts("\x0A\x05", 2)) return kImagePcx;
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return kImageGif;
  if (starts("\xFF\xD8", 2)) return kImageJpeg;
  if (starts("FORM", 4) && starts("ILBM", 4, 8)) return kImageIlbm;
  if (starts("PL", 2)) return kImagePel;
  return -1;
}

ImageStatus image_decode(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  ImageStatus status;
  switch (image_identify(data, size)) {
    case kImageBmp:
      status = bmp_read(data, size, picture, error);
      break;
    case kImagePcx:
      status = pcx_read(data, size, picture, error);
      break;
    case kImageGif:
      status = gif_read(data, size, picture, error);
      break;
    case kImageIlbm:
      status = ilbm_read(data, size, picture, error);
      break;
    case kImagePel:
      status = pel_read(data, size, picture, error);
      break;
    case kImagePng:
      status = png_read(data, size, picture, error);
      break;
    case kImageJpeg:
      status = jpeg_read(data, size, picture, error);
      break;
    default:
      return fail(error, ImageStatus::kNotImage, "not a known image file");
  }
  if (status != ImageStatus::kOk) shape_image_release(picture);
  return status;
}

bool image_finish(ShapeImage* picture) {
  const std::size_t pixels = static_cast<std::size_t>(picture->width) * picture->height;
  if (picture->index == nullptr) {
    if (picture->rgb == nullptr || pixels == 0) return false;
    if (picture->alpha == nullptr) {
      picture->alpha = static_cast<std::uint8_t*>(console.allocate(pixels));
      std::memset(picture->alpha, 255, pixels);
    }
    Block index(pixels);
    QuantPalette quant;
    if (!quantize(picture->rgb, index.get(), picture->width, picture->height, kQuantColours, true, &quant))
      return false;
    std::uint8_t* p = index.get();
    for (std::size_t i = 0; i < pixels; ++i) ++p[i];
    picture->palette[0][0] = picture->palette[0][1] = picture->palette[0][2] = picture->palette[0][3] = 0;
    for (int i = 1; i < 256; ++i) {
      picture->palette[i][0] = quant.red[i - 1];
      picture->palette[i][1] = quant.green[i - 1];
      picture->palette[i][2] = quant.blue[i - 1];
      picture->palette[i][3] = 255;
    }
    picture->index = index.take();
    return true;
  }
  if (picture->rgb == nullptr) picture->rgb = static_cast<std::uint8_t*>(console.allocate(pixels * 3));
  bool any_alpha = false;
  for (const auto& entry : picture->palette) any_alpha |= entry[3] != 255;
  if (picture->alpha == nullptr) picture->alpha = static_cast<std::uint8_t*>(console.allocate(pixels));
  for (std::size_t i = 0; i < pixels; ++i) {
    const std::uint8_t* c = picture->palette[picture->index[i]];
    picture->rgb[i * 3] = c[0];
    picture->rgb[i * 3 + 1] = c[1];
    picture->rgb[i * 3 + 2] = c[2];
    picture->alpha[i] = any_alpha ? c[3] : 255;
  }
  return true;
}

bool image_quantized_copy(const ShapeImage& picture, ShapeImage* out) {
  const std::size_t pixels = static_cast<std::size_t>(picture.width) * picture.height;
  if (picture.rgb == nullptr || pixels == 0) return false;
  *out = ShapeImage{};
  allocate_truecolour(out, picture.width, picture.height, picture.alpha != nullptr);
  std::memcpy(out->rgb, picture.rgb, pixels * 3);
  if (picture.alpha) std::memcpy(out->alpha, picture.alpha, pixels);
  if (!image_finish(out)) {
    shape_image_release(out);
    return false;
  }
  return true;
}

void image_bytes_append(ImageBytes* bytes, const void* data, std::size_t count) {
  if (count == 0) return;
  if (bytes->size + count > bytes->capacity) {
    std::size_t capacity = bytes->capacity ? bytes->capacity : 4096;
    while (capacity < bytes->size + count) capacity *= 2;
    auto* grown = static_cast<std::uint8_t*>(console.allocate(capacity));
    if (bytes->size) std::memcpy(grown, bytes->data, bytes->size);
    console.release(bytes->data);
    bytes->data = grown;
    bytes->capacity = capacity;
  }
  std::memcpy(bytes->data + bytes->size, data, count);
  bytes->size += count;
}

void image_bytes_release(ImageBytes* bytes) {
  console.release(bytes->data);
  *bytes = ImageBytes{};
}

void image_load_file(const char* path, ShapeImage* picture) {
  ConsoleFile* file = console.open(path, 0);
  if (file == nullptr) console.fatal("couldn't open %s '%s'\n", "image", path);
  const std::int64_t size = console.size(file);
  if (size < 0) console.fatal("couldn't open %s '%s'\n", "image", path);
  Block data(static_cast<std::size_t>(size) + 1);
  const std::int64_t got = console.read(file, data.get(), size);
  console.close(file);
  if (got != size) console.fatal("couldn't open %s '%s'\n", "image", path);
  ImageError error;
  const ImageStatus status = image_decode(data.get(), static_cast<std::size_t>(size), picture, &error);
  if (status != ImageStatus::kOk) {
    if (error.pcx_unsupported) console.print("** unsupported PCX format! **\n");
    console.fatal("unsupported or corrupt image '%s' (%s)", path, error.message);
  }
  if (!image_finish(picture)) console.fatal("dl1quant failed");
}

namespace {

bool has_extension(const char* name, const char* ext) {
  const std::size_t n = std::strlen(name), e = std::strlen(ext);
  return n >= e && strcasecmp(name + n - e, ext) == 0;
}

}  // namespace

void image_write_file(int format, const char* base_name, const ShapeImage& picture, char* written,
                      std::size_t written_size) {
  const char* ext = nullptr;
  bool (*encode)(const ShapeImage&, ImageBytes*, ImageError*) = nullptr;
  switch (format) {
    case kImageBmp:
      ext = ".bmp", encode = bmp_encode;
      break;
    case kImagePcx:
      ext = ".pcx", encode = pcx_encode;
      break;
    case kImagePng:
      ext = ".png", encode = png_encode;
      break;
    case kImageGif:
      ext = ".gif", encode = gif_encode;
      break;
    case kImageJpeg:
      console.fatal("No JPEG write support");
    default:
      console.fatal("unknown format %d", format);
  }
  const std::size_t name_size = std::strlen(base_name) + 8;
  Block name(name_size), temp(name_size + 8);
  char* path = reinterpret_cast<char*>(name.get());
  if (format == kImageGif || !has_extension(base_name, ext))
    std::snprintf(path, name_size, "%s%s", base_name, ext);
  else
    std::snprintf(path, name_size, "%s", base_name);
  char* temp_path = reinterpret_cast<char*>(temp.get());
  std::snprintf(temp_path, name_size + 8, "%s.tmp", path);

  ImageBytes bytes;
  ImageError error;
  if (!encode(picture, &bytes, &error)) {
    image_bytes_release(&bytes);
    console.fatal("couldn't write '%s' (%s)", path, error.message);
  }
  ConsoleFile* file = console.open(temp_path, 1);
  if (file == nullptr) {
    image_bytes_release(&bytes);
    console.fatal("couldn't open '%s' for writing\n", temp_path);
  }
  const std::int64_t put = console.write(file, bytes.data, static_cast<std::int64_t>(bytes.size));
  console.close(file);
  const bool complete = put == static_cast<std::int64_t>(bytes.size);
  image_bytes_release(&bytes);
  if (!complete || !console.rename(temp_path, path)) {
    console.remove(temp_path);
    console.fatal("couldn't write '%s'", path);
  }
  if (written != nullptr && written_size > 0) std::snprintf(written, written_size, "%s", path);
}
