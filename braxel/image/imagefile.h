// Image files of braxel: the decoded picture record shared with the image pack code, detection of
// an image file's kind from its first bytes, the readers (BMP, GIF, IFF ILBM, JPEG, PCX, PNG, PEL)
// and writers (BMP, GIF, PCX, PNG), and the finishing step that makes every picture indexed.
//
// Readers work on a memory buffer and never end the program: they give a status and a message.
// Only the file-level helpers at the end (image_load_file, image_write_file) turn a failure into
// the console's fatal error. This keeps every reader directly usable by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>

// Image file format codes, shared with the command line.
enum ImageFormat : int {
  kImageBmp = 0,
  kImageGif = 1,
  kImageIlbm = 2,
  kImageJpeg = 3,
  kImagePcx = 4,
  kImagePng = 5,
  kImagePel = 6,
};

// A decoded picture. Planes are blocks of the console services and are owned by the record
// (release them with shape_image_release). An indexed picture has `index` and a palette; a
// true-colour picture has `rgb` only; `alpha` is present only when the source has alpha.
struct ShapeImage {
  std::uint8_t* rgb = nullptr;    // width * height * 3: red, green, blue
  std::uint8_t* index = nullptr;  // width * height indices, or null
  std::uint8_t* alpha = nullptr;  // width * height alphas, or null
  char description[33] = {};      // up to 32 characters, always terminated
  char format[5] = {};            // two hex digits of a block code, or "----"
  std::int16_t width = 0;
  std::int16_t height = 0;
  std::uint8_t palette[256][4] = {};  // red, green, blue, alpha
  std::uint8_t saved_palette[256][4] = {};
  std::uint16_t palette_code = 0;
};

void shape_image_release(ShapeImage* picture);

enum class ImageStatus {
  kOk,
  kNotImage,     // the first bytes match no known kind
  kUnsupported,  // a known kind in a variant this program does not read
  kCorrupt,      // damaged, truncated or implausible data
};

struct ImageError {
  char message[160] = {};
  // Set by the PCX reader for variants it does not read; the caller prints
  // "** unsupported PCX format! **\n" before its fatal error.
  bool pcx_unsupported = false;
};

// Largest width * height any reader accepts (beside the 32767 limit per side of the record).
// The fuzz targets lower it to keep each run small.
std::size_t image_pixel_limit();
void image_set_pixel_limit(std::size_t pixels);

// Kind of an image file from its first bytes: a format code, or -1 when it is not an image.
int image_identify(const std::uint8_t* data, std::size_t size);

// Decodes a whole image file held in memory into `picture` (which must be empty). On failure the
// picture stays empty and `error` says why.
ImageStatus image_decode(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);

// The readers behind image_decode; each expects data of its own kind.
ImageStatus bmp_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);
ImageStatus pcx_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);
ImageStatus gif_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);
ImageStatus ilbm_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);
ImageStatus pel_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);
ImageStatus png_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);
ImageStatus jpeg_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error);

// Makes a decoded picture indexed with a palette and gives it true-colour and alpha planes:
// true colour is quantized to 255 colours with dithering into indices 1..255, entry 0 being
// transparent black; an indexed picture gets its true-colour pixels from the palette. Gives
// false when quantizing failed (the callers end with "dl1quant failed").
bool image_finish(ShapeImage* picture);

// Copies the true-colour picture to an indexed copy as finishing does (indices 1..255, entry 0
// transparent black). `out` must be empty. Gives false when quantizing failed.
bool image_quantized_copy(const ShapeImage& picture, ShapeImage* out);

// A growable byte buffer on the console services' blocks.
struct ImageBytes {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
};
void image_bytes_append(ImageBytes* bytes, const void* data, std::size_t count);
void image_bytes_release(ImageBytes* bytes);

// Encoders: the whole file in memory. A true-colour picture given to the PCX and GIF encoders is
// quantized first. Give false with a message when the picture cannot be written.
bool bmp_encode(const ShapeImage& picture, ImageBytes* out, ImageError* error);
bool pcx_encode(const ShapeImage& picture, ImageBytes* out, ImageError* error);
bool gif_encode(const ShapeImage& picture, ImageBytes* out, ImageError* error);
bool png_encode(const ShapeImage& picture, ImageBytes* out, ImageError* error);

// Reads the file at `path` through the console services and decodes and finishes it. A file
// that cannot be read, is not an image or cannot be decoded ends the run with a fatal error
// ("unsupported or corrupt image '%s'", followed by the reason).
void image_load_file(const char* path, ShapeImage* picture);

// Writes `picture` as an image file of `format` named after `base_name` (".bmp", ".pcx" and
// ".png" are added unless present; GIF always appends ".gif"), through a temporary file renamed
// into place. JPEG is the fatal error "No JPEG write support"; other codes "unknown format %d".
// Gives the name written.
void image_write_file(int format, const char* base_name, const ShapeImage& picture, char* written = nullptr,
                      std::size_t written_size = 0);
