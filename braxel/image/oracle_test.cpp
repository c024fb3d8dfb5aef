// The image codecs against an independent implementation of the standard formats: files our
// writers make must read back with the same pixels in ImageMagick, and files ImageMagick writes
// must give the same pixels in our readers (JPEG within decoding tolerance). Skipped when
// ImageMagick is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "braxel/image/imagetest.h"

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

// The negative twin: a JPEG that cannot become RGB is refused with libjpeg's reason, and a BMP
// in run-length coding (not read by this program) is refused as unsupported.
TEST_F(Oracle, ImageMagickFilesOfUnreadVariantsAreRefused) {
  struct Case {
    const char* output;
    ImageStatus status;
  } cases[] = {{"-colorspace CMYK out.jpg", ImageStatus::kCorrupt},
               {"-colors 16 -type palette BMP3:out.bmp", ImageStatus::kUnsupported}};
  for (const Case& c : cases) {
    const std::string output = c.output;
    const std::size_t space = output.rfind(' ');
    std::string target = output.substr(space + 1);
    const std::size_t colon = target.find(':');
    const std::string file = path(colon == std::string::npos ? target : target.substr(colon + 1));
    const std::string prefix = colon == std::string::npos ? "" : target.substr(0, colon + 1);
    ASSERT_TRUE(run("-size 16x16 plasma:fractal " + output.substr(0, space + 1) + prefix + "'" + file + "'"));
    Picture p;
    std::string message;
    EXPECT_EQ(decode(read_file(file), &p, &message), c.status) << c.output << ": " << message;
    EXPECT_FALSE(message.empty());
  }
}

}  // namespace
