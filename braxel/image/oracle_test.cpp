// The image codecs against an independent implementation of the standard formats: files our
// writers make must read back with the same pixels in ImageMagick, and files ImageMagick writes
// must give the same pixels in our readers (JPEG within decoding tolerance). Skipped when
// ImageMagick is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// libjpeg's header needs the standard I/O declarations first.
#include <jpeglib.h>

#include "braxel/image/extract.h"
#include "braxel/image/imagetest.h"
#include "braxel/image/replace.h"
#include "braxel/image/shpi.h"

using namespace imagetest;

namespace {

const bool kConsoleReady = (console_init(), true);

// The real binary: a "convert" earlier on the PATH may be a wrapper that changes some calls.
std::string imagemagick() {
  for (const char* path : {"/usr/bin/convert-im6.q16", "/usr/bin/convert"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

class Oracle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kConsoleReady);
    im_ = imagemagick();
    if (im_.empty()) GTEST_SKIP() << "ImageMagick not installed";
    char name[] = "/tmp/braximage_oracle_XXXXXX";
    dir_ = mkdtemp(name);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  bool run(const std::string& args) const {
    return std::system((im_ + " " + args + " 2>/dev/null").c_str()) == 0;
  }
  // ImageMagick's reading of a file as raw 8-bit RGB or RGBA.
  std::vector<std::uint8_t> pixels(const std::string& file, bool alpha) const {
    const std::string out = path("oracle.raw");
    if (!run("'" + file + "' -depth 8 " + (alpha ? "rgba:" : "rgb:") + "'" + out + "'")) return {};
    return read_file(out);
  }

  std::string im_;
  std::string dir_;
};

struct WriterCase {
  int format;
  bool indexed;
  bool alpha;
};

// Our writers' files read back in ImageMagick with exactly the pixels written.
TEST_F(Oracle, OurFilesReadBackInImageMagick) {
  const WriterCase cases[] = {{kImageBmp, true, false}, {kImageBmp, false, false}, {kImagePcx, true, false},
                              {kImageGif, true, false}, {kImagePng, true, false},  {kImagePng, false, false},
                              {kImagePng, false, true}};
  static const char* ext[] = {"bmp", "gif", "iff", "jpg", "pcx", "png", "pel"};
  for (auto [w, h] : {std::pair{37, 23}, {256, 300}}) {
    for (const WriterCase& c : cases) {
      Picture p;
      if (c.indexed)
        make_indexed(&p, w, h, w + c.format);
      else
        make_truecolour(&p, w, h, c.alpha, w + c.format);
      const std::string file = path(std::string("ours.") + ext[c.format]);
      write_file(file, encode(c.format, p.image));
      const auto got = pixels(file, c.alpha);
      const std::size_t channels = c.alpha ? 4 : 3;
      ASSERT_EQ(got.size(), p.pixels() * channels) << ext[c.format];
      for (std::size_t i = 0; i < p.pixels(); ++i) {
        ASSERT_EQ(0, std::memcmp(&got[i * channels], p.colour(i), 3)) << ext[c.format] << " pixel " << i;
        if (c.alpha) {
          ASSERT_EQ(got[i * 4 + 3], p.image.alpha[i]) << ext[c.format] << " pixel " << i;
        }
      }
    }
  }
}

struct ReaderCase {
  const char* name;
  const char* output;  // ImageMagick's output options and file name
  bool alpha;
  int tolerance;  // per component, for lossy files
};

// ImageMagick's files of each kind decode in our readers to the pixels it was given.
TEST_F(Oracle, ImageMagickFilesReadInOurReaders) {
  const int w = 37, h = 23;
  // At most 120 colours, so that the indexed kinds hold the picture exactly.
  std::vector<std::uint8_t> rgba(w * h * 4);
  for (int i = 0; i < w * h; ++i) {
    const int x = i % w, y = i / w;
    rgba[i * 4] = static_cast<std::uint8_t>((x / 4) * 25);
    rgba[i * 4 + 1] = static_cast<std::uint8_t>((y / 2) * 20);
    rgba[i * 4 + 2] = static_cast<std::uint8_t>(((x + y) & 1) * 200);
    rgba[i * 4 + 3] = static_cast<std::uint8_t>(x < 5 ? 0 : 255);
  }
  std::vector<std::uint8_t> rgb;
  for (int i = 0; i < w * h; ++i) rgb.insert(rgb.end(), &rgba[i * 4], &rgba[i * 4 + 3]);
  write_file(path("src.rgb"), rgb);
  write_file(path("src.rgba"), rgba);

  const ReaderCase cases[] = {
      {"bmp24_v3", "-type truecolor BMP3:out.bmp", false, 0},
      {"bmp8_v3", "-type palette -compress none BMP3:out.bmp", false, 0},
      {"bmp24_v5", "-type truecolor BMP:out.bmp", false, 0},
      {"bmp24_core", "-type truecolor BMP2:out.bmp", false, 0},
      {"bmp8_core", "-type palette BMP2:out.bmp", false, 0},
      {"pcx8", "-type palette out.pcx", false, 0},
      {"gif", "out.gif", false, 0},
      {"gif_interlaced", "-interlace GIF out.gif", false, 0},
      {"png24", "PNG24:out.png", false, 0},
      {"png8", "PNG8:out.png", false, 0},
      {"png24_interlaced", "-interlace PNG PNG24:out.png", false, 0},
      {"png32", "PNG32:out.png", true, 0},
      {"png16bit", "-depth 16 PNG48:out.png", false, 0},
      {"jpeg", "-quality 95 out.jpg", false, -1},
      {"jpeg_progressive", "-quality 90 -interlace JPEG out.jpg", false, -1},
      {"jpeg_grey", "-colorspace Gray out.jpg", false, -1},
  };
  for (const ReaderCase& c : cases) {
    std::string args = std::string("-size 37x23 -depth 8 ") +
                       (c.alpha ? "rgba:'" + path("src.rgba") : "rgb:'" + path("src.rgb")) + "' ";
    std::string output = c.output;
    const std::size_t space = output.rfind(' ');
    const std::string options = space == std::string::npos ? "" : output.substr(0, space + 1);
    std::string target = space == std::string::npos ? output : output.substr(space + 1);
    const std::size_t colon = target.find(':');
    const std::string file = path(colon == std::string::npos ? target : target.substr(colon + 1));
    target = (colon == std::string::npos ? "" : target.substr(0, colon + 1)) + "'" + file + "'";
    ASSERT_TRUE(run(args + options + target)) << c.name;
    Picture p;
    std::string message;
    ASSERT_EQ(decode(read_file(file), &p, &message), ImageStatus::kOk) << c.name << ": " << message;
    ASSERT_EQ(p.image.width, w);
    ASSERT_EQ(p.image.height, h);
    // Lossy files are compared with ImageMagick's own decoding of the same file.
    const std::vector<std::uint8_t> want = c.tolerance < 0 ? pixels(file, false) : rgb;
    ASSERT_EQ(want.size(), rgb.size()) << c.name;
    const int tolerance = c.tolerance < 0 ? 3 : c.tolerance;
    for (int i = 0; i < w * h; ++i) {
      for (int k = 0; k < 3; ++k)
        ASSERT_LE(std::abs(p.colour(i)[k] - want[i * 3 + k]), tolerance)
            << c.name << " pixel " << i << " component " << k;
      if (c.alpha) {
        ASSERT_NE(p.image.alpha, nullptr) << c.name;
        ASSERT_EQ(p.image.alpha[i], rgba[i * 4 + 3]) << c.name << " pixel " << i;
      }
    }
  }
}

// ---- pictures as image editors write them --------------------------------------------------------

using Bytes = std::vector<std::uint8_t>;
constexpr int kW = 37, kH = 23;

std::uint32_t le(const Bytes& f, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t{f[at + i]} << (8 * i);
  return v;
}
void set_le(Bytes* f, std::size_t at, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) (*f)[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Edits of uncompressed BMP files into the variants ImageMagick does not write.
struct BmpLayout {
  std::size_t offset, stride;
  int w, h, bits;
};
BmpLayout bmp_layout(const Bytes& f) {
  const int bits = static_cast<int>(le(f, 28, 2));
  const int w = static_cast<int>(le(f, 18, 4));
  return {le(f, 10, 4), ((static_cast<std::size_t>(w) * bits + 31) / 32) * 4, w,
          static_cast<int>(le(f, 22, 4)), bits};
}

void bmp_top_down(Bytes* f) {
  const BmpLayout b = bmp_layout(*f);
  Bytes rows(f->begin() + b.offset, f->begin() + b.offset + b.stride * b.h);
  for (int y = 0; y < b.h; ++y)
    std::memcpy(f->data() + b.offset + y * b.stride, rows.data() + (b.h - 1 - y) * b.stride, b.stride);
  set_le(f, 22, static_cast<std::uint32_t>(-b.h), 4);
}

// The 124-byte header cut to the 108 bytes of its previous version.
void bmp_v5_to_v4(Bytes* f) {
  f->erase(f->begin() + 14 + 108, f->begin() + 14 + 124);
  set_le(f, 14, 108, 4);
  set_le(f, 10, le(*f, 10, 4) - 16, 4);
  set_le(f, 2, static_cast<std::uint32_t>(f->size()), 4);
}

// A 32-bit picture that leaves the fourth byte of every pixel 0 (no alpha).
void bmp_clear_fourth_bytes(Bytes* f) {
  for (std::size_t i = bmp_layout(*f).offset + 3; i < f->size(); i += 4) (*f)[i] = 0;
}

// The 4-bit picture in RLE4: runs of three or more, literals of three or more, and runs of one or
// two pixels (two different indices in one run) for what is left.
void bmp_rle4(Bytes* f) {
  const BmpLayout b = bmp_layout(*f);
  Bytes coded;
  for (int y = 0; y < b.h; ++y) {
    std::vector<std::uint8_t> p(b.w);
    for (int x = 0; x < b.w; ++x) p[x] = ((*f)[b.offset + y * b.stride + x / 2] >> (x & 1 ? 0 : 4)) & 15;
    for (int x = 0; x < b.w;) {
      int run = 1;
      while (x + run < b.w && run < 255 && p[x + run] == p[x]) ++run;
      if (run >= 3) {
        coded.insert(coded.end(), {std::uint8_t(run), std::uint8_t(p[x] << 4 | p[x])});
        x += run;
        continue;
      }
      int n = 0;
      while (x + n < b.w && n < 254 &&
             !(x + n + 2 < b.w && p[x + n] == p[x + n + 1] && p[x + n] == p[x + n + 2]))
        ++n;
      if (n < 3) {
        const int two = std::min(2, b.w - x);
        coded.insert(coded.end(), {std::uint8_t(two), std::uint8_t(p[x] << 4 | (two == 2 ? p[x + 1] : 0))});
        x += two;
        continue;
      }
      coded.insert(coded.end(), {0, std::uint8_t(n)});
      Bytes literal((n + 1) / 2 + ((n + 1) / 2 & 1), 0);
      for (int i = 0; i < n; ++i) literal[i / 2] |= static_cast<std::uint8_t>(p[x + i] << (i & 1 ? 0 : 4));
      coded.insert(coded.end(), literal.begin(), literal.end());
      x += n;
    }
    coded.insert(coded.end(), {0, 0});
  }
  coded.insert(coded.end(), {0, 1});
  f->resize(b.offset);
  f->insert(f->end(), coded.begin(), coded.end());
  set_le(f, 30, 2, 4);
  set_le(f, 34, static_cast<std::uint32_t>(coded.size()), 4);
  set_le(f, 2, static_cast<std::uint32_t>(f->size()), 4);
}

// Uncompressed PCX files of up to 16 colours with the palette in the header.
Bytes pcx_16_colours(int bits, int planes) {
  const int bytes_per_line = (kW * bits + 15) / 16 * 2;
  Bytes f(128, 0);
  f[0] = 0x0A, f[1] = 5, f[3] = static_cast<std::uint8_t>(bits);
  set_le(&f, 8, kW - 1, 2);
  set_le(&f, 10, kH - 1, 2);
  for (int i = 0; i < 48; ++i) f[16 + i] = static_cast<std::uint8_t>(i * 83 + 17);
  f[65] = static_cast<std::uint8_t>(planes);
  set_le(&f, 66, static_cast<std::uint32_t>(bytes_per_line), 2);
  for (int y = 0; y < kH; ++y) {
    Bytes line(static_cast<std::size_t>(bytes_per_line) * planes, 0);
    for (int x = 0; x < kW; ++x) {
      const int v = (x / 3 + y * 5) & ((1 << (bits * planes)) - 1);
      if (bits == 4)
        line[x / 2] |= static_cast<std::uint8_t>(v << (x & 1 ? 0 : 4));
      else
        for (int p = 0; p < planes; ++p)
          if ((v >> p) & 1) line[p * bytes_per_line + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    f.insert(f.end(), line.begin(), line.end());
  }
  return f;
}
Bytes pcx_ega() {
  return pcx_16_colours(1, 4);
}
Bytes pcx_nibbles() {
  return pcx_16_colours(4, 1);
}

// CMYK JPEG files as libjpeg writes them: inverted CMYK or YCCK behind an Adobe marker, or plain
// CMYK without one. All hold the same colours.
Bytes cmyk_jpeg(J_COLOR_SPACE space, bool adobe) {
  jpeg_compress_struct c{};
  jpeg_error_mgr errors{};
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = kW;
  c.image_height = kH;
  c.input_components = 4;
  c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, space);
  c.write_Adobe_marker = adobe;
  jpeg_set_quality(&c, 95, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> row(kW * 4);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const std::uint8_t ink[4] = {std::uint8_t(x * 7), std::uint8_t(y * 11), std::uint8_t(255 - x * 5),
                                   std::uint8_t(128 + y * 5)};
      for (int k = 0; k < 4; ++k) row[x * 4 + k] = adobe ? 255 - ink[k] : ink[k];
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  jpeg_destroy_compress(&c);
  return out;
}
Bytes jpeg_ycck() {
  return cmyk_jpeg(JCS_YCCK, true);
}
Bytes jpeg_inverted_cmyk() {
  return cmyk_jpeg(JCS_CMYK, true);
}
Bytes jpeg_plain_cmyk() {
  return cmyk_jpeg(JCS_CMYK, false);
}

enum class Source { kRgb, kRgba, kGradient };

struct Variant {
  const char* name;
  Source source;
  const char* options;             // ImageMagick's options before the output
  const char* output;              // ImageMagick's output: optional coder prefix and file name
  void (*edit)(Bytes*) = nullptr;  // turns ImageMagick's file into a variant it does not write
  Bytes (*make)() = nullptr;       // or makes the file without ImageMagick
  bool lossy = false;
  // The variant whose file ImageMagick reads as the expected picture, where its reading of this
  // one is wrong (null: this one's file).
  const char* same_as = nullptr;
};

const char* const kTransparentBlack = "-fill black -draw 'rectangle 0,0 4,22' -transparent black ";

// Every variant the readers take from editors. Where ImageMagick cannot write a variant, an edit
// of one of its files or a file made here stands in, and ImageMagick is the reader to agree with.
// Where ImageMagick misreads a variant, the same picture in another variant is the reference:
// the 16-bit file with a 40-byte header that ImageMagick writes without the masks it announces,
// and CMYK without an Adobe marker, which it inverts as if the marker were there. (It also
// shifts 1- and 4-bit mask fields without widening them, so an opaque 1-bit alpha reads as 128;
// those cases are checked exactly in the reader tests instead.)
const Variant kVariants[] = {
    {"png_grey1", Source::kGradient, "-type bilevel ", "PNG:out.png"},
    {"png_grey2", Source::kGradient, "-type grayscale -depth 2 ", "PNG:out.png"},
    {"png_grey4", Source::kGradient, "-type grayscale -depth 4 ", "PNG:out.png"},
    {"png_grey8", Source::kGradient, "-type grayscale -depth 8 ", "PNG:out.png"},
    {"png_grey16", Source::kGradient, "-type grayscale -depth 16 ", "PNG:out.png"},
    {"png_grey_alpha8", Source::kRgba, "-type grayscalealpha -depth 8 ", "PNG:out.png"},
    {"png_grey_alpha16", Source::kRgba, "-type grayscalealpha -depth 16 ", "PNG:out.png"},
    {"png_grey4_trns", Source::kGradient, "-depth 8 -define png:bit-depth=4 -define png:color-type=0 ",
     "PNG:out.png"},
    {"png_grey8_trns", Source::kGradient, "-depth 8 -define png:color-type=0 ", "PNG:out.png"},
    {"png_grey16_trns", Source::kGradient, "-depth 16 -define png:color-type=0 ", "PNG:out.png"},
    {"png_rgb8_trns", Source::kRgb, "-depth 8 -define png:color-type=2 ", "PNG:out.png"},
    {"png_rgb16_trns", Source::kRgb, "-depth 16 -define png:color-type=2 ", "PNG:out.png"},
    {"bmp1", Source::kRgb, "-type bilevel ", "BMP3:out.bmp"},
    {"bmp4", Source::kRgb, "-colors 16 -type palette -compress none ", "BMP3:out.bmp"},
    {"bmp4_v5", Source::kRgb, "-colors 16 -type palette -compress none ", "BMP:out.bmp"},
    {"bmp4_rle4", Source::kRgb, "-colors 16 -type palette -compress none ", "BMP3:out.bmp", bmp_rle4},
    {"bmp8_rle8", Source::kRgb, "-type palette -compress RLE ", "BMP3:out.bmp"},
    {"bmp8_top_down", Source::kRgb, "-type palette -compress none ", "BMP3:out.bmp", bmp_top_down},
    {"bmp16_555", Source::kRgb, "-define bmp:subtype=RGB555 ", "BMP3:out.bmp", nullptr, nullptr, false,
     "bmp16_555_v5"},
    {"bmp16_555_v5", Source::kRgb, "-define bmp:subtype=RGB555 ", "BMP:out.bmp"},
    {"bmp16_565_v5", Source::kRgb, "-define bmp:subtype=RGB565 ", "BMP:out.bmp"},
    {"bmp24_top_down", Source::kRgb, "-type truecolor ", "BMP3:out.bmp", bmp_top_down},
    {"bmp32_alpha", Source::kRgba, "-define bmp3:alpha=true ", "BMP3:out.bmp"},
    {"bmp32_no_alpha", Source::kRgba, "-define bmp3:alpha=true ", "BMP3:out.bmp", bmp_clear_fourth_bytes},
    {"bmp32_alpha_v5", Source::kRgba, "", "BMP:out.bmp"},
    {"bmp32_alpha_v4", Source::kRgba, "", "BMP:out.bmp", bmp_v5_to_v4},
    {"bmp32_alpha_v5_top_down", Source::kRgba, "", "BMP:out.bmp", bmp_top_down},
    {"pcx24", Source::kRgb, "-type truecolor ", "out.pcx"},
    {"pcx32", Source::kRgba, "", "out.pcx"},
    {"pcx_ega", Source::kRgb, "", "out.pcx", nullptr, pcx_ega},
    {"pcx_nibbles", Source::kRgb, "", "out.pcx", nullptr, pcx_nibbles},
    {"jpeg_cmyk", Source::kRgb, "-colorspace CMYK -quality 95 ", "out.jpg", nullptr, nullptr, true},
    {"jpeg_ycck", Source::kRgb, "", "out.jpg", nullptr, jpeg_ycck, true},
    {"jpeg_inverted_cmyk", Source::kRgb, "", "out.jpg", nullptr, jpeg_inverted_cmyk, true},
    {"jpeg_plain_cmyk", Source::kRgb, "", "out.jpg", nullptr, jpeg_plain_cmyk, true, "jpeg_inverted_cmyk"},
};

// The variants' files are made once for the tests of the suite.
class EditorFiles : public Oracle {
 protected:
  void SetUp() override {
    Oracle::SetUp();
    if (IsSkipped()) return;
    if (suite_dir_.empty()) {
      char name[] = "/tmp/braximage_editors_XXXXXX";
      suite_dir_ = mkdtemp(name);
      make_all();
    }
    ASSERT_EQ(want_.size(), std::size(kVariants));
  }
  static void TearDownTestSuite() {
    if (!suite_dir_.empty()) std::filesystem::remove_all(suite_dir_);
    suite_dir_.clear();
  }
  static std::string at(const std::string& name) { return suite_dir_ + "/" + name; }

  void make_sources() {
    // Colours in steps, so that palette kinds hold many of them exactly, and alphas of every
    // kind: transparent, half and opaque.
    Bytes rgb, rgba;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const std::uint8_t c[4] = {std::uint8_t(x * 7), std::uint8_t(y * 11), std::uint8_t((x + y) * 5),
                                   std::uint8_t(x < 5 ? 0 : (x < 9 ? 128 : 255 - y))};
        rgb.insert(rgb.end(), c, c + 3);
        rgba.insert(rgba.end(), c, c + 4);
      }
    write_file(at("src.rgb"), rgb);
    write_file(at("src.rgba"), rgba);
  }

  // Writes the variant's file and gives its path.
  std::string make(const Variant& v) {
    const std::string output = v.output;
    const std::size_t colon = output.find(':');
    const std::string file = at(v.name + std::string(".") + output.substr(output.rfind('.') + 1));
    if (v.make) {
      write_file(file, v.make());
      return file;
    }
    std::string input;
    switch (v.source) {
      case Source::kRgb:
        input = "-size 37x23 -depth 8 rgb:'" + at("src.rgb") + "' -alpha off ";
        break;
      case Source::kRgba:
        input = "-size 37x23 -depth 8 rgba:'" + at("src.rgba") + "' ";
        break;
      case Source::kGradient:
        input = "-size 37x23 gradient:black-white ";
        break;
    }
    // The transparency chunk comes from one fully transparent colour.
    if (std::string(v.name).ends_with("_trns")) input += kTransparentBlack;
    const std::string prefix = colon == std::string::npos ? "" : output.substr(0, colon + 1);
    if (!run(input + v.options + prefix + "'" + file + "'")) return "";
    if (v.edit) {
      Bytes bytes = read_file(file);
      v.edit(&bytes);
      write_file(file, bytes);
    }
    return file;
  }

  // ImageMagick's readings of the files as 8-bit RGBA, in one run.
  std::vector<Bytes> readings(const std::vector<std::string>& files) {
    std::string args;
    for (const std::string& f : files) args += "'" + f + "' ";
    std::vector<Bytes> out;
    if (!run(args + "-depth 8 +adjoin rgba:'" + at("reading-%d.raw") + "'")) return out;
    for (std::size_t i = 0; i < files.size(); ++i)
      out.push_back(read_file(at("reading-" + std::to_string(i) + ".raw")));
    return out;
  }

  // Makes every variant's file and ImageMagick's reading of its reference file.
  void make_all() {
    make_sources();
    std::vector<std::string> references;
    for (const Variant& v : kVariants) {
      files_.push_back(make(v));
      ASSERT_FALSE(files_.back().empty()) << v.name;
    }
    for (const Variant& v : kVariants) {
      std::size_t r = 0;
      const char* reference = v.same_as ? v.same_as : v.name;
      while (r < std::size(kVariants) && std::string(kVariants[r].name) != reference) ++r;
      ASSERT_LT(r, std::size(kVariants)) << reference;
      references.push_back(files_[r]);
    }
    want_ = readings(references);
    ASSERT_EQ(want_.size(), files_.size());
  }

  // Compares a picture with ImageMagick's reading of variant i: exact, or within 3 for lossy
  // files. Colours of fully transparent pixels are not compared: they are not part of the picture.
  void expect_same(const ShapeImage& image, std::size_t i, bool with_alpha, const std::string& how) {
    const Variant& v = kVariants[i];
    const Bytes& want = want_[i];
    ASSERT_EQ(want.size(), std::size_t{kW} * kH * 4) << v.name;
    ASSERT_EQ(image.width, kW) << v.name << how;
    ASSERT_EQ(image.height, kH) << v.name << how;
    const int tolerance = v.lossy ? 3 : 0;
    for (int p = 0; p < kW * kH; ++p) {
      const std::uint8_t* got = image.index ? image.palette[image.index[p]] : image.rgb + p * 3;
      const int alpha = image.index ? image.palette[image.index[p]][3] : image.alpha ? image.alpha[p] : 255;
      if (with_alpha) {
        ASSERT_EQ(alpha, want[p * 4 + 3]) << v.name << how << " pixel " << p;
      }
      if (want[p * 4 + 3] == 0) continue;
      for (int k = 0; k < 3; ++k)
        ASSERT_LE(std::abs(got[k] - want[p * 4 + k]), tolerance)
            << v.name << how << " pixel " << p << " component " << k;
    }
  }

  static inline std::string suite_dir_;
  static inline std::vector<std::string> files_;
  static inline std::vector<Bytes> want_;
};

TEST_F(EditorFiles, ReadersGiveImageMagicksPixels) {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    Picture p;
    std::string message;
    ASSERT_EQ(decode(read_file(files_[i]), &p, &message), ImageStatus::kOk)
        << kVariants[i].name << ": " << message;
    expect_same(p.image, i, true, "");
  }
}

// A template pack: "img1", a 32-bit image (which keeps true colour and alpha exactly), and
// "pal8", an 8-bit image with its own palette block.
Bytes template_pack() {
  const std::uint8_t header[16] = {};
  ImageBytes img, pal, palette, pack;
  const Bytes pixels(std::size_t{kW} * kH * 4, 0), colours(768, 0);
  shpi_build_block(header, 0x24, 256, 1, colours.data(), colours.size(), nullptr, 0, &palette);
  shpi_build_block(header, 0x7D, kW, kH, pixels.data(), pixels.size(), nullptr, 0, &img);
  shpi_build_block(header, 0x7B, kW, kH, pixels.data(), std::size_t{kW} * kH, palette.data, palette.size,
                   &pal);
  ShpiOutBlock blocks[2];
  std::strcpy(blocks[0].name, "img1");
  blocks[0].data = img.data, blocks[0].size = img.size;
  std::strcpy(blocks[1].name, "pal8");
  blocks[1].data = pal.data, blocks[1].size = pal.size;
  ShpiError error;
  EXPECT_EQ(shpi_write("GIMX", blocks, 2, &pack, &error), ShpiStatus::kOk) << error.message;
  Bytes out(pack.data, pack.data + pack.size);
  for (ImageBytes* b : {&img, &pal, &palette, &pack}) image_bytes_release(b);
  return out;
}

// Every variant goes through "-c", "-r" and "-rp" into an image pack with ImageMagick's pixels:
// into the 32-bit entry as they are, and (with "-rp") the indexed ones into the 8-bit entry with
// their own palette. Each item is added under its own name in its model entry's place.
TEST_F(EditorFiles, PacksTakeImageMagicksPixels) {
  // The command runs in a forked copy of this process, so that it sees the files made here and
  // its fatal errors cannot end the test program.
  GTEST_FLAG_SET(death_test_style, "fast");
  std::vector<bool> indexed;
  for (const std::string& file : files_) {
    Picture p;
    indexed.push_back(decode(read_file(file), &p) == ImageStatus::kOk && p.image.index != nullptr);
  }
  ASSERT_GT(std::count(indexed.begin(), indexed.end(), true), 8);
  struct Command {
    const char* word;
    const char* model;
    bool only_indexed;
  } commands[] = {{"-c", "img1", false}, {"-r", "img1", false}, {"-rp", "pal8", true}};
  for (const Command& c : commands) {
    const std::string word = c.word;
    write_file(path("t.fsh"), template_pack());
    std::vector<std::string> args{"t.fsh"};
    if (word == "-c") args.push_back("new.fsh");
    std::vector<std::size_t> items;
    for (std::size_t i = 0; i < files_.size(); ++i) {
      if (c.only_indexed && !indexed[i]) continue;
      items.push_back(i);
      args.insert(args.end(), {files_[i], "v" + std::to_string(i), c.model});
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    const int count = static_cast<int>(argv.size());
    EXPECT_EXIT(
        {
          if (chdir(dir_.c_str()) != 0) std::exit(9);
          image_pack_install();
          const ExternalPalette none;
          std::exit(word == "-c"
                        ? create_pack(argv.data(), count, "", kCreateTransparency, nullptr, none)
                        : replace_in_pack(argv.data(), count, word == "-rp", kCreateTransparency, none));
        },
        ::testing::ExitedWithCode(0), "")
        << c.word;
    const Bytes pack = read_file(path(word == "-c" ? "new.fsh" : "t.fsh"));
    ShpiDirectory directory;
    ShpiError error;
    ASSERT_EQ(shpi_scan(pack.data(), pack.size(), &directory, &error), ShpiStatus::kOk) << c.word;
    for (std::size_t i : items) {
      const std::string name = "v" + std::to_string(i);
      std::size_t e = 0;
      while (e < directory.entries.size() && name != directory.entries[e].name) ++e;
      ASSERT_LT(e, directory.entries.size()) << c.word << " " << kVariants[i].name;
      Picture p;
      shpi_forget_palette();
      ASSERT_EQ(shpi_decode_entry(pack.data(), pack.size(), directory, e, &p.image, &error), ShpiStatus::kOk)
          << c.word << " " << kVariants[i].name << ": " << error.message;
      // An 8-bit entry's palette block holds no alphas.
      expect_same(p.image, i, !c.only_indexed, std::string(" through ") + c.word);
    }
  }
}

}  // namespace
