// PNG reader (every colour type and bit depth, with the transparency chunk) and writer over libpng. libpng
// reports errors by calling our error function, which records the message and jumps back to the call that
// started the work; nothing ever ends the process. Buffers live in a context record so that the jump cannot
// lose them.
#include "braxel/image/png.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

// Deflate cannot expand data by much more than this factor, so a file claiming more pixels than
// it could hold is refused before any allocation.
constexpr std::uint64_t kMaxDeflateRatio = 1100;
constexpr png_alloc_size_t kMaxChunkBytes = 8u << 20;
// libpng allocates a chunk's claimed length before reading it; anything it asks for beyond this is
// refused, which it reports as an error. Our pixel buffers do not come from it.
constexpr png_alloc_size_t kMaxLibraryBlock = 32u << 20;

struct PngContext {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t pos = 0;
  ImageBytes* out = nullptr;
  ImageError* error = nullptr;
  ImageStatus status = ImageStatus::kCorrupt;
  std::uint8_t* pixels = nullptr;  // console blocks released however the work ends
  png_bytep* rows = nullptr;
};

void on_error(png_structp png, png_const_charp message) {
  auto* ctx = static_cast<PngContext*>(png_get_error_ptr(png));
  if (ctx->error && ctx->error->message[0] == 0)
    std::snprintf(ctx->error->message, sizeof ctx->error->message, "(PNG) %.150s", message);
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void on_read(png_structp png, png_bytep out, png_size_t count) {
  auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
  if (count > ctx->size - ctx->pos) png_error(png, "file truncated");
  std::memcpy(out, ctx->data + ctx->pos, count);
  ctx->pos += count;
}

void on_write(png_structp png, png_bytep data, png_size_t count) {
  image_bytes_append(static_cast<PngContext*>(png_get_io_ptr(png))->out, data, count);
}

void on_flush(png_structp) {}

png_voidp on_malloc(png_structp, png_alloc_size_t size) {
  return size <= kMaxLibraryBlock ? std::malloc(size) : nullptr;
}

void on_free(png_structp, png_voidp block) {
  std::free(block);
}

void release_buffers(PngContext* ctx) {
  console.release(ctx->pixels);
  console.release(ctx->rows);
  ctx->pixels = nullptr;
  ctx->rows = nullptr;
}

// Everything that may fail inside libpng, so that the jump back lands in png_read with the
// context in memory.
void read_picture(png_structp png, png_infop info, PngContext* ctx, ShapeImage* picture) {
  png_set_read_fn(png, ctx, on_read);
  png_set_user_limits(png, 32767, 32767);
  png_set_chunk_malloc_max(png, kMaxChunkBytes);
  png_read_info(png, info);
  const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  const int type = png_get_color_type(png, info);
  const int depth = png_get_bit_depth(png, info);
  const bool has_trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  const std::size_t pixels = check_dimensions(w, h, ctx->error, "PNG");
  if (pixels == 0) png_longjmp(png, 1);
  // Grey pictures become indexed over a palette of their grey levels, which keeps every level
  // exact where quantizing 256 levels to 255 colours could not. A 16-bit grey picture with a
  // transparent level becomes true colour instead: the level is 16 bits wide, so only libpng's
  // comparison of the full samples tells which pixels it marks.
  const bool grey_indexed = type == PNG_COLOR_TYPE_GRAY && (depth <= 8 || !has_trns);
  const bool indexed = type == PNG_COLOR_TYPE_PALETTE || grey_indexed;
  if (indexed) {
    png_set_packing(png);
  } else {
    if ((type & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
    if (has_trns) png_set_tRNS_to_alpha(png);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const std::size_t row_bytes = png_get_rowbytes(png, info);
  const std::size_t channels = indexed ? 1 : ((type & PNG_COLOR_MASK_ALPHA) || has_trns ? 4 : 3);
  const std::size_t sample_bytes = depth == 16 ? 2 : 1;
  if (row_bytes != channels * sample_bytes * w) png_error(png, "unexpected row layout");
  if (std::uint64_t{row_bytes + 1} * h > std::uint64_t{ctx->size} * kMaxDeflateRatio)
    png_error(png, "image data truncated");

  ctx->pixels = static_cast<std::uint8_t*>(console.allocate(row_bytes * h));
  ctx->rows = static_cast<png_bytep*>(console.allocate(sizeof(png_bytep) * h));
  for (png_uint_32 y = 0; y < h; ++y) ctx->rows[y] = ctx->pixels + y * row_bytes;
  png_read_image(png, ctx->rows);
  // 16-bit samples (big-endian) to 8 bits, in place: level v of 65535 becomes v / 257, the
  // highest 8-bit level not above it, as other readers do; libpng's shift and its rounding both
  // differ from that.
  if (sample_bytes == 2) {
    const std::size_t samples = row_bytes / 2 * h;
    for (std::size_t i = 0; i < samples; ++i)
      ctx->pixels[i] = static_cast<std::uint8_t>(((ctx->pixels[i * 2] << 8) | ctx->pixels[i * 2 + 1]) / 257);
  }

  reset_palette(picture);
  if (indexed) {
    if (grey_indexed) {
      const int levels = depth >= 8 ? 256 : 1 << depth;
      for (int i = 0; i < levels; ++i)
        picture->palette[i][0] = picture->palette[i][1] = picture->palette[i][2] =
            static_cast<std::uint8_t>(i * 255 / (levels - 1));
      png_color_16p transparent = nullptr;
      // A level beyond the bit depth marks no pixel.
      if (has_trns && png_get_tRNS(png, info, nullptr, nullptr, &transparent) && transparent &&
          transparent->gray < levels)
        picture->palette[transparent->gray][3] = 0;
    } else {
      png_colorp colours = nullptr;
      int count = 0;
      if (png_get_PLTE(png, info, &colours, &count) && colours)
        for (int i = 0; i < count && i < 256; ++i) {
          picture->palette[i][0] = colours[i].red;
          picture->palette[i][1] = colours[i].green;
          picture->palette[i][2] = colours[i].blue;
        }
      png_bytep alphas = nullptr;
      int alpha_count = 0;
      if (png_get_tRNS(png, info, &alphas, &alpha_count, nullptr) && alphas)
        for (int i = 0; i < alpha_count && i < 256; ++i) picture->palette[i][3] = alphas[i];
    }
    picture->width = static_cast<std::int16_t>(w);
    picture->height = static_cast<std::int16_t>(h);
    picture->index = ctx->pixels;
    ctx->pixels = nullptr;
    set_description(picture, grey_indexed ? "grey PNG" : "8 bit PNG");
    return;
  }
  allocate_truecolour(picture, static_cast<int>(w), static_cast<int>(h), channels == 4);
  const std::uint8_t* src = ctx->pixels;
  for (std::size_t i = 0; i < pixels; ++i, src += channels) {
    std::memcpy(picture->rgb + i * 3, src, 3);
    if (channels == 4) picture->alpha[i] = src[3];
  }
  set_description(picture, channels == 4 ? "32 bit PNG" : "24 bit PNG");
}

void write_picture(png_structp png, png_infop info, PngContext* ctx, const ShapeImage& picture) {
  png_set_write_fn(png, ctx, on_write, on_flush);
  const png_uint_32 w = static_cast<png_uint_32>(picture.width), h = static_cast<png_uint_32>(picture.height);
  const bool indexed = picture.index != nullptr;
  const bool alpha = !indexed && picture.alpha != nullptr;
  const int type = indexed ? PNG_COLOR_TYPE_PALETTE : (alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB);
  png_set_IHDR(png, info, w, h, 8, type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (indexed) {
    png_color colours[256];
    png_byte alphas[256];
    int last_transparent = -1;
    for (int i = 0; i < 256; ++i) {
      colours[i] = {picture.palette[i][0], picture.palette[i][1], picture.palette[i][2]};
      alphas[i] = picture.palette[i][3];
      if (alphas[i] != 255) last_transparent = i;
    }
    png_set_PLTE(png, info, colours, 256);
    // Palette alphas go into a transparency chunk so that transparent colours stay transparent.
    if (last_transparent >= 0) png_set_tRNS(png, info, alphas, last_transparent + 1, nullptr);
  }
  png_write_info(png, info);
  const std::size_t channels = indexed ? 1 : (alpha ? 4 : 3);
  ctx->pixels = static_cast<std::uint8_t*>(console.allocate(channels * w));
  for (png_uint_32 y = 0; y < h; ++y) {
    std::uint8_t* row = ctx->pixels;
    const std::size_t at = std::size_t{y} * w;
    if (indexed) {
      std::memcpy(row, picture.index + at, w);
    } else {
      for (png_uint_32 x = 0; x < w; ++x) {
        std::memcpy(row + x * channels, picture.rgb + (at + x) * 3, 3);
        if (alpha) row[x * channels + 3] = picture.alpha[at + x];
      }
    }
    png_write_row(png, row);
  }
  png_write_end(png, info);
}

}  // namespace

ImageStatus png_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  PngContext ctx;
  ctx.data = data;
  ctx.size = size;
  ctx.error = error;
  error->message[0] = 0;
  png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &ctx, on_error, on_warning, nullptr,
                                             on_malloc, on_free);
  if (png == nullptr) return fail(error, ImageStatus::kCorrupt, "(PNG) cannot start the decoder");
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return fail(error, ImageStatus::kCorrupt, "(PNG) cannot start the decoder");
  }
  ImageStatus status = ImageStatus::kOk;
  if (setjmp(png_jmpbuf(png))) {
    status = ctx.status;
    shape_image_release(picture);
  } else {
    read_picture(png, info, &ctx, picture);
  }
  release_buffers(&ctx);
  png_destroy_read_struct(&png, &info, nullptr);
  return status;
}

bool png_encode(const ShapeImage& picture, ImageBytes* out, ImageError* error) {
  if (picture.width <= 0 || picture.height <= 0 || (picture.index == nullptr && picture.rgb == nullptr)) {
    fail(error, ImageStatus::kCorrupt, "no picture to write");
    return false;
  }
  PngContext ctx;
  ctx.out = out;
  ctx.error = error;
  error->message[0] = 0;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, on_error, on_warning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  bool ok = info != nullptr;
  if (ok) {
    if (setjmp(png_jmpbuf(png))) {
      ok = false;
    } else {
      write_picture(png, info, &ctx, picture);
    }
  }
  release_buffers(&ctx);
  png_destroy_write_struct(&png, &info);
  return ok;
}
