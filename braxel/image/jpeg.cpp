// JPEG reader over libjpeg (grey, YCbCr and RGB, and CMYK and YCCK converted to RGB). The library's error
// manager is replaced by one that records the message and jumps back instead of ending the process; a
// progress monitor and a warning count stop files that would keep the decoder busy without end.
#include "braxel/image/jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

// libjpeg's header needs the standard I/O declarations first.
#include <jpeglib.h>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr int kMaxScans = 1000;      // far above any real progressive file
constexpr long kMaxWarnings = 1000;  // corrupt data makes one warning per damaged segment
constexpr long kMaxMemory = 512L << 20;

struct JpegContext {
  jpeg_error_mgr manager;  // first, so that the library's pointer is also ours
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  ImageError* error;
  std::uint8_t* row = nullptr;
};

[[noreturn]] void on_error_exit(j_common_ptr cinfo) {
  auto* ctx = reinterpret_cast<JpegContext*>(cinfo->err);
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  if (ctx->error->message[0] == 0)
    std::snprintf(ctx->error->message, sizeof ctx->error->message, "(JPEG) %.150s", text);
  std::longjmp(ctx->jump, 1);
}

void on_message(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  if (++cinfo->err->num_warnings > kMaxWarnings) {
    auto* ctx = reinterpret_cast<JpegContext*>(cinfo->err);
    std::snprintf(ctx->error->message, sizeof ctx->error->message, "(JPEG) too many errors in the data");
    std::longjmp(ctx->jump, 1);
  }
}

void on_progress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxScans) {
    auto* ctx = reinterpret_cast<JpegContext*>(cinfo->err);
    std::snprintf(ctx->error->message, sizeof ctx->error->message, "(JPEG) too many scans");
    std::longjmp(ctx->jump, 1);
  }
}

void read_picture(jpeg_decompress_struct* cinfo, JpegContext* ctx, const std::uint8_t* data, std::size_t size,
                  ShapeImage* picture) {
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(cinfo, TRUE);
  const std::size_t pixels = check_dimensions(cinfo->image_width, cinfo->image_height, ctx->error, "JPEG");
  if (pixels == 0) std::longjmp(ctx->jump, 1);
  // libjpeg turns YCCK into CMYK but not CMYK into RGB; that step is ours.
  const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
  cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_start_decompress(cinfo);
  if (cinfo->output_components != (cmyk ? 4 : 3)) {
    std::snprintf(ctx->error->message, sizeof ctx->error->message, "(JPEG) cannot convert to RGB");
    std::longjmp(ctx->jump, 1);
  }
  const int w = static_cast<int>(cinfo->output_width), h = static_cast<int>(cinfo->output_height);
  allocate_truecolour(picture, w, h, false);
  if (cmyk) ctx->row = static_cast<std::uint8_t*>(console.allocate(std::size_t{4} * w));
  // Files with an Adobe marker store CMYK inverted (0 is full ink), which is how editors write it.
  const bool inverted = cinfo->saw_Adobe_marker;
  while (cinfo->output_scanline < cinfo->output_height) {
    std::uint8_t* rgb = picture->rgb + std::size_t{cinfo->output_scanline} * w * 3;
    JSAMPROW row = cmyk ? ctx->row : rgb;
    jpeg_read_scanlines(cinfo, &row, 1);
    if (!cmyk) continue;
    for (int x = 0; x < w; ++x) {
      const std::uint8_t* ink = ctx->row + x * 4;
      const unsigned k = inverted ? ink[3] : 255u - ink[3];
      for (int c = 0; c < 3; ++c) {
        const unsigned paper = inverted ? ink[c] : 255u - ink[c];
        rgb[x * 3 + c] = static_cast<std::uint8_t>((paper * k + 127) / 255);
      }
    }
  }
  jpeg_finish_decompress(cinfo);
  set_description(picture, cmyk ? "CMYK JPEG" : "JPEG");
}

}  // namespace

ImageStatus jpeg_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  JpegContext ctx{};
  ctx.error = error;
  error->message[0] = 0;
  jpeg_decompress_struct cinfo{};
  cinfo.err = jpeg_std_error(&ctx.manager);
  ctx.manager.error_exit = on_error_exit;
  ctx.manager.emit_message = on_message;
  ctx.progress.progress_monitor = on_progress;
  if (setjmp(ctx.jump)) {
    jpeg_destroy_decompress(&cinfo);
    console.release(ctx.row);
    shape_image_release(picture);
    if (error->message[0] == 0) std::snprintf(error->message, sizeof error->message, "(JPEG) corrupt data");
    return ImageStatus::kCorrupt;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.progress = &ctx.progress;
  cinfo.mem->max_memory_to_use = kMaxMemory;
  read_picture(&cinfo, &ctx, data, size, picture);
  jpeg_destroy_decompress(&cinfo);
  console.release(ctx.row);
  return ImageStatus::kOk;
}
