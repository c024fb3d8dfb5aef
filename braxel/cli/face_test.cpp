// Tests of "-face" on game folders laid out as the editions lay them out, built here from small
// archives and image packs, with the results read back through braxel's own readers.
#include "braxel/cli/face.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "braxel/archive/pack.h"
#include "braxel/archive/pack_fixtures.h"
#include "braxel/cli/braxel_run.h"
#include "braxel/cli/console/console.h"
#include "braxel/cli/shpi_fixtures.h"
#include "braxel/image/shpi.h"

namespace {

using namespace pack_fixtures;
using namespace shpi_fixtures;
namespace fs = std::filesystem;

std::vector<Colour> grey_ramp() {
  std::vector<Colour> colours(256);
  for (int i = 0; i < 256; ++i) colours[i] = {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)};
  return colours;
}

Bytes one_image_pack(const char* name, int width, int height) {
  const Bytes pixels(static_cast<std::size_t>(width) * height, 7);
  return shpi_pack("GIMX", {{name, image_block(0x7B, width, height, pixels, palette_block(grey_ramp()))}});
}

// A PNG of one colour.
Bytes flat_png(int width, int height, Colour colour) {
  ShapeImage picture;
  picture.width = static_cast<std::int16_t>(width);
  picture.height = static_cast<std::int16_t>(height);
  picture.rgb = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(width) * height * 3));
  for (int i = 0; i < width * height; ++i) std::copy(colour.begin(), colour.end(), picture.rgb + 3 * i);
  ImageBytes png;
  ImageError error;
  EXPECT_TRUE(png_encode(picture, &png, &error)) << error.message;
  Bytes out(png.data, png.data + png.size);
  image_bytes_release(&png);
  shape_image_release(&picture);
  return out;
}

class FaceTest : public BraxelRunTest {
 protected:
  void SetUp() override {
    BraxelRunTest::SetUp();
    console_init();
  }
  // A game folder of edition 99 or 2000 with face 1 in every archive.
  void game(const char* faces) {
    fs::create_directories(dir_ / "game/gamedata");
    fs::create_directories(dir_ / "game/PHOTOS");
    write_bytes(std::string("game/gamedata/") + faces,
                bigf({{"FAC00001.FSH", one_image_pack("FAC1", 8, 8)}}));
    write_bytes("game/PHOTOS/BPHOTO.VIV", bigf({{"0001.fsh", one_image_pack("0001", 60, 80)}}));
    write_bytes("game/PHOTOS/SPHOTO.VIV", bigf({{"0001.fsh", one_image_pack("0001", 36, 43)}}));
  }
  // The same for edition 98, in its own names.
  void game98() {
    fs::create_directories(dir_ / "game/required");
    fs::create_directories(dir_ / "game/PHOTOS");
    write_bytes("game/required/FACES.VIV", bigf({{"FAC00001.FSH", one_image_pack("face", 8, 8)}}));
    write_bytes("game/PHOTOS/BPHOTO.VIV", bigf({{"L001.FSH", one_image_pack("l001", 60, 80)}}));
    write_bytes("game/PHOTOS/SPHOTO.VIV", bigf({{"S001.FSH", one_image_pack("s001", 52, 74)}}));
  }
  // The images of an image pack inside an archive: "name widthxheight" each.
  std::vector<std::string> images_in(const std::string& archive, const char* pack) {
    testing::internal::CaptureStdout();
    PackEntry* dir = pack_open((dir_ / archive).string().c_str(), 0);
    testing::internal::GetCapturedStdout();
    std::vector<std::string> names;
    PackEntry* e = dir == nullptr ? nullptr : pack_find(dir, pack);
    std::int64_t size = 0;
    std::uint8_t* data = e == nullptr ? nullptr : pack_read_whole(e, &size);
    ShpiDirectory images;
    ShpiError error;
    if (data != nullptr &&
        shpi_scan(data, static_cast<std::size_t>(size), &images, &error) == ShpiStatus::kOk)
      for (const ShpiEntry& i : images.entries)
        names.push_back(std::string(i.name) + " " + std::to_string(i.width) + "x" + std::to_string(i.height));
    console.release(data);
    pack_release(dir);
    return names;
  }
};

// Only the large photo of face 123 on edition 99: its pack is made, and a small photo is derived
// from it, written as S0123.png and added as well.
TEST_F(FaceTest, LargePhotoOnlyMakesBothPhotoPacks) {
  game("FACES99.VIV");
  const Colour skin = {200, 160, 120};
  write_bytes("L0123.png", flat_png(60, 80, skin));
  const RunResult r = run({"-face", "game", "123"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("WARNING: couldn't open game face (G0123)\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("couldn't open small face"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("updating large faces... (PHOTOS\\BPHOTO.VIV)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("updating small faces... (PHOTOS\\SPHOTO.VIV)\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("updating game faces"), std::string::npos) << r.out;
  EXPECT_EQ(images_in("game/PHOTOS/BPHOTO.VIV", "0123.fsh"), std::vector<std::string>{"0123 60x80"});
  EXPECT_EQ(images_in("game/PHOTOS/SPHOTO.VIV", "0123.fsh"), std::vector<std::string>{"0123 36x43"});
  EXPECT_EQ(images_in("game/PHOTOS/SPHOTO.VIV", "0001.fsh"), std::vector<std::string>{"0001 36x43"});

  // The derived photo: the box grows to the full 60 columns and shrinks to 71 rows for the 36:43
  // aspect, which scales to 42 rows; one black row fills the top.
  const Bytes png = read_bytes("S0123.png");
  ShapeImage small;
  ImageError error;
  ASSERT_EQ(image_decode(png.data(), png.size(), &small, &error), ImageStatus::kOk) << error.message;
  ASSERT_EQ(small.width, 36);
  ASSERT_EQ(small.height, 43);
  ASSERT_NE(small.rgb, nullptr);
  for (int x = 0; x < 36; ++x) {
    EXPECT_EQ(Bytes(small.rgb + 3 * x, small.rgb + 3 * x + 3), (Bytes{0, 0, 0})) << x;
    const std::uint8_t* below = small.rgb + 3 * (36 + x);
    EXPECT_EQ(Bytes(below, below + 3), Bytes(skin.begin(), skin.end())) << x;
  }
  shape_image_release(&small);
}

// Every picture of face 42 given: the packs are named as each edition names them, and edition 99
// keeps a second game-face picture (in the built-in palette) after the first.
TEST_F(FaceTest, EachEditionNamesItsPacks) {
  for (const char* name : {"G0042.bmp", "L0042.png", "S0042.pcx"}) {
    ShapeImage p;
    p.width = 8, p.height = 8;
    p.rgb = static_cast<std::uint8_t*>(console.allocate(8 * 8 * 3));
    for (int i = 0; i < 64 * 3; ++i) p.rgb[i] = static_cast<std::uint8_t>(40 + i);
    image_write_file(name[0] == 'G'   ? kImageBmp
                     : name[0] == 'L' ? kImagePng
                                      : kImagePcx,
                     (dir_ / name).string().c_str(), p);
    shape_image_release(&p);
  }
  struct Case {
    int edition;
    const char* faces;
    std::vector<std::string> game_face;
    const char* large;
    const char* small;
    std::vector<std::string> photo_names;
  };
  const Case cases[] = {
      {98, "game/required/FACES.VIV", {"face 8x8"}, "L042.FSH", "S042.FSH", {"l042 8x8", "s042 8x8"}},
      {99,
       "game/gamedata/FACES99.VIV",
       {"FAC1 8x8", "FAC8 8x8"},
       "0042.fsh",
       "0042.fsh",
       {"0042 8x8", "0042 8x8"}},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "game");
    if (c.edition == 98)
      game98();
    else
      game("FACES99.VIV");
    const RunResult r = run({"-face", "game/", "42"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("updating game faces... ("), std::string::npos) << r.out;
    EXPECT_EQ(images_in(c.faces, "FAC00042.FSH"), c.game_face) << c.edition;
    EXPECT_EQ(images_in("game/PHOTOS/BPHOTO.VIV", c.large), std::vector<std::string>{c.photo_names[0]})
        << c.edition;
    EXPECT_EQ(images_in("game/PHOTOS/SPHOTO.VIV", c.small), std::vector<std::string>{c.photo_names[1]})
        << c.edition;
  }
}

// A game folder copied from a Windows installation: other letter case than the names braxel
// looks for, and the folder given with a backslash.
TEST_F(FaceTest, WindowsPathsInAnyLetterCase) {
  game("FACES99.VIV");
  fs::rename(dir_ / "game/PHOTOS", dir_ / "game/photos");
  fs::rename(dir_ / "game/photos/BPHOTO.VIV", dir_ / "game/photos/bphoto.viv");
  fs::rename(dir_ / "game/gamedata/FACES99.VIV", dir_ / "game/gamedata/Faces99.viv");
  write_bytes("G0123.png", flat_png(8, 8, {90, 60, 30}));
  write_bytes("L0123.png", flat_png(60, 80, {200, 160, 120}));
  const RunResult r = run({"-face", "game\\", "123"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(images_in("game/gamedata/Faces99.viv", "FAC00123.FSH"),
            (std::vector<std::string>{"FAC1 8x8", "FAC8 8x8"}));
  EXPECT_EQ(images_in("game/photos/bphoto.viv", "0123.fsh"), std::vector<std::string>{"0123 60x80"});
  EXPECT_EQ(images_in("game/photos/SPHOTO.VIV", "0123.fsh"), std::vector<std::string>{"0123 36x43"});
  EXPECT_FALSE(fs::exists(dir_ / "game/PHOTOS"));
}

// Pictures as image editors write them by default: a grey PNG and a run-length coded BMP.
TEST_F(FaceTest, TakesPicturesAsEditorsWriteThem) {
  if (std::system("command -v convert >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs ImageMagick";
  game("FACES99.VIV");
  const std::string make = "cd '" + dir_.string() +
                           "' && convert -size 60x80 xc:gray70 -define png:color-type=0 L0077.png"
                           " && convert -size 8x8 xc:red -type Palette -compress RLE BMP3:G0077.bmp";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const RunResult r = run({"-face", "game", "77"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(images_in("game/gamedata/FACES99.VIV", "FAC00077.FSH"),
            (std::vector<std::string>{"FAC1 8x8", "FAC8 8x8"}));
  EXPECT_EQ(images_in("game/PHOTOS/BPHOTO.VIV", "0077.fsh"), std::vector<std::string>{"0077 60x80"});
  EXPECT_EQ(images_in("game/PHOTOS/SPHOTO.VIV", "0077.fsh"), std::vector<std::string>{"0077 36x43"});
}

TEST_F(FaceTest, WrongInput) {
  struct Case {
    const char* faces;  // the edition's face archive, or null for no game folder
    std::vector<std::string> args;
    std::string expect;  // the end of the output
    int status;
  };
  const Case cases[] = {
      {"FACES99.VIV", {"-face", "game/", "12345"}, fatal_text("too long filename ('12345')\n"), 1},
      {"FACES99.VIV", {"-face", "game", "12a"}, fatal_text("'12a' is not a face number"), 1},
      {nullptr, {"-face", "game", "1"}, fatal_text("can't find face files, wrong directory?"), 1},
      // Edition 2000 passes over the game face without a word.
      {"FACES00.VIV",
       {"-face", "game", "7"},
       "WARNING: couldn't open large face (L0007)\nWARNING: couldn't open small face (S0007)\n"
       "no files found, exiting..\n",
       0},
      // All black: no face to crop for the small photo.
      {"FACES99.VIV", {"-face", "game", "8"}, fatal_text("original picture size totally incorrect"), 1},
      {"FACES99.VIV",
       {"-face", "game", "9"},
       fatal_text("unsupported or corrupt image 'L0009.png' (not a known image file)"),
       1},
      // No template: the photo archive lacks face 1.
      {"FACES01.VIV",
       {"-face", "game", "10"},
       "couldn't scan original pack file 'game\\PHOTOS\\BPHOTO.VIV\\0001.fsh'\n",
       1},
  };
  write_bytes("G0007.png", flat_png(8, 8, {1, 2, 3}));
  write_bytes("L0008.png", flat_png(60, 80, {0, 0, 0}));
  write_bytes("L0009.png", text("no picture in here"));
  write_bytes("L0010.png", flat_png(60, 80, {90, 90, 90}));
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "game");
    if (c.faces != nullptr) game(c.faces);
    if (c.args[2] == "10")
      write_bytes("game/PHOTOS/BPHOTO.VIV", bigf({{"0002.fsh", one_image_pack("0002", 8, 8)}}));
    const RunResult r = run(c.args);
    EXPECT_TRUE(r.out.ends_with(c.expect)) << c.args[2] << ":\n" << r.out;
    EXPECT_EQ(r.status, c.status) << c.args[2];
    if (c.faces != nullptr && std::string(c.faces) == "FACES00.VIV") {
      EXPECT_EQ(r.out, c.expect);
    }
  }
}

}  // namespace
