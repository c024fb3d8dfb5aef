// End-to-end tests of the image commands (-l and -u on image packs, the extract family, -c, -r
// and -rp): they run the built braxel program on image packs, archives and image files built here
// and check its output, its exit status and the packs and pictures it writes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "braxel/archive/pack_fixtures.h"
#include "braxel/cli/braxel_run.h"
#include "braxel/cli/console/console.h"
#include "braxel/image/imagefile.h"
#include "braxel/image/shpi.h"

namespace {

using namespace pack_fixtures;
using Colour = std::array<std::uint8_t, 3>;

// An image block: header, pixels padded to 4, then the attachment (if any).
Bytes image_block(int code, int width, int height, const Bytes& pixels, const Bytes& attachment = {}) {
  Bytes b;
  b.push_back(static_cast<std::uint8_t>(code));
  put_le(b, attachment.empty() ? 0 : 16 + round4(pixels.size()), 3);
  put_le(b, static_cast<std::uint32_t>(width), 2);
  put_le(b, static_cast<std::uint32_t>(height), 2);
  b.resize(16, 0);
  b.insert(b.end(), pixels.begin(), pixels.end());
  if (!attachment.empty()) {
    b.resize(round4(b.size()), 0);
    b.insert(b.end(), attachment.begin(), attachment.end());
  }
  return b;
}

// A palette block of code 24 (8-bit red, green, blue) defining colours 0 .. n-1.
Bytes palette_block(const std::vector<Colour>& colours) {
  Bytes b{0x24};
  put_le(b, 0, 3);
  put_le(b, static_cast<std::uint32_t>(colours.size()), 2);
  put_le(b, 1, 2);
  b.resize(16, 0);
  for (const Colour& c : colours) b.insert(b.end(), c.begin(), c.end());
  return b;
}

// An image pack; `gap` bytes between the directory and the first block form the "----" area.
Bytes shpi_pack(const char* identifier, const Files& entries, std::size_t gap = 0) {
  Bytes b = text("SHPI");
  const std::size_t directory = 16 + 8 * entries.size();
  std::size_t total = directory + gap;
  for (std::size_t i = 0; i < entries.size(); ++i)
    total += i + 1 < entries.size() ? round4(entries[i].second.size()) : entries[i].second.size();
  put_le(b, total, 4);
  put_le(b, entries.size(), 4);
  put_name(b, identifier, 4);
  std::size_t at = directory + gap;
  for (const auto& e : entries) {
    put_name(b, e.first, 4);
    put_le(b, at, 4);
    at += round4(e.second.size());
  }
  for (std::size_t i = 0; i < gap; ++i) b.push_back(static_cast<std::uint8_t>(0xA0 + i));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    b.insert(b.end(), entries[i].second.begin(), entries[i].second.end());
    if (i + 1 < entries.size()) b.resize(round4(b.size()), 0);
  }
  return b;
}

// A grey ramp with the given colours placed at their indices.
std::vector<Colour> ramp_with(const std::vector<std::pair<int, Colour>>& placed) {
  std::vector<Colour> colours(256);
  for (int i = 0; i < 256; ++i) colours[i] = {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)};
  for (const auto& p : placed) colours[static_cast<std::size_t>(p.first)] = p.second;
  return colours;
}

const Colour kRed{250, 10, 10};
const Colour kGreen{10, 250, 10};
const Colour kBlue{10, 10, 250};
const Colour kYellow{250, 250, 10};
const Colour kBack{10, 200, 230};  // the background of the pictures with a border

class ImageTest : public BraxelRunTest {
 protected:
  void SetUp() override {
    BraxelRunTest::SetUp();
    console_init();
    shpi_forget_palette();
  }

  // Writes an indexed picture as an 8-bit BMP file.
  void write_bmp(const std::string& name, int width, int height, const std::vector<std::uint8_t>& index,
                 const std::vector<std::pair<int, Colour>>& palette) {
    ShapeImage picture;
    picture.width = static_cast<std::int16_t>(width);
    picture.height = static_cast<std::int16_t>(height);
    picture.index = static_cast<std::uint8_t*>(console.allocate(index.size()));
    std::memcpy(picture.index, index.data(), index.size());
    for (const auto& p : palette) {
      std::memcpy(picture.palette[p.first], p.second.data(), 3);
      picture.palette[p.first][3] = 255;
    }
    encode_to(name, picture, bmp_encode);
  }

  void encode_to(const std::string& name, ShapeImage& picture,
                 bool (*encode)(const ShapeImage&, ImageBytes*, ImageError*)) {
    ImageBytes bytes;
    ImageError error;
    ASSERT_TRUE(encode(picture, &bytes, &error)) << error.message;
    write_bytes(name, Bytes(bytes.data, bytes.data + bytes.size));
    image_bytes_release(&bytes);
    shape_image_release(&picture);
  }

  // Decodes an image file written by braxel.
  bool decode_file(const std::string& name, ShapeImage* picture) {
    const Bytes b = read_bytes(name);
    ImageError error;
    return image_decode(b.data(), b.size(), picture, &error) == ImageStatus::kOk;
  }

  // Entry `name` of the pack file `file`: decoded, plus its raw bytes.
  bool decode_entry(const std::string& file, const char* name, ShapeImage* picture, Bytes* raw = nullptr) {
    const Bytes pack = read_bytes(file);
    ShpiDirectory directory;
    ShpiError error;
    if (shpi_scan(pack.data(), pack.size(), &directory, &error) != ShpiStatus::kOk) return false;
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
      const ShpiEntry& e = directory.entries[i];
      if (std::strcmp(e.name, name) != 0) continue;
      if (raw) *raw = Bytes(pack.begin() + e.offset, pack.begin() + e.offset + e.size);
      shpi_forget_palette();
      return shpi_decode_entry(pack.data(), pack.size(), directory, i, picture, &error) == ShpiStatus::kOk;
    }
    return false;
  }

  std::vector<std::string> entry_names(const std::string& file) {
    const Bytes pack = read_bytes(file);
    ShpiDirectory directory;
    ShpiError error;
    std::vector<std::string> names;
    if (shpi_scan(pack.data(), pack.size(), &directory, &error) == ShpiStatus::kOk)
      for (const ShpiEntry& e : directory.entries) names.push_back(e.name);
    return names;
  }

  // A pack with one 4 x 4 8-bit image "img1" carrying its own palette block (template palette:
  // a grey ramp with red, green, blue and yellow at 10 to 13 and the background colour at 3),
  // and a data entry.
  Bytes template_pack() {
    palette_ = palette_block(ramp_with({{10, kRed}, {11, kGreen}, {12, kBlue}, {13, kYellow}, {3, kBack}}));
    return shpi_pack(
        "GIMX", {{"img1", image_block(0x7B, 4, 4, Bytes(16, 1), palette_)}, {"!dat", text("some data")}});
  }

  // A 4 x 4 BMP of diagonals in red, green, blue, yellow at BMP indices 1 to 4 (no colour fills a
  // third of the border, so none counts as background).
  void write_diagonal_bmp(const std::string& name) {
    std::vector<std::uint8_t> index(16);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        index[static_cast<std::size_t>(y * 4 + x)] = static_cast<std::uint8_t>(1 + (x + y) % 4);
    write_bmp(name, 4, 4, index, {{1, kRed}, {2, kGreen}, {3, kBlue}, {4, kYellow}});
  }

  Bytes palette_;
};

std::string list_line(long size, const std::string& name) {
  char line[128];
  std::snprintf(line, sizeof line, "%8ld %s\n", size, name.c_str());
  return line;
}

TEST_F(ImageTest, ListShowsImageSizesAndTypesAndTheAreaAsData) {
  const Bytes img = image_block(0x7B, 5, 3, Bytes(15, 2));
  const Bytes pal = palette_block(ramp_with({}));
  write_bytes("p.fsh", shpi_pack("GIMX", {{"img1", img}, {"!pal", pal}}, 8));
  RunResult r = run({"-l", "p.fsh"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "pack file 'p.fsh' opened\nDirectory 'p.fsh'\n" +
                       list_line(static_cast<long>(pal.size()), "!pal") + list_line(8, "----") +
                       list_line(static_cast<long>(round4(img.size())), "img1 5*3 (GIMX)"));

  // Unpacking writes the area and every entry as data.
  r = run({"-u", "p.fsh"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_bytes("----"), Bytes({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
  EXPECT_EQ(read_bytes("!pal"), pal);

  // Extracting images skips the area and the palette as data.
  r = run({"-e", "p.fsh", "----", "!pal"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Not an image file!\n"), std::string::npos);
}

struct ExtractCase {
  const char* command;
  const char* palette_name;  // entry holding the palette
  const char* image_name;
  const char* file;  // written file
};

class ExtractFormats : public ImageTest, public ::testing::WithParamInterface<ExtractCase> {};

TEST_P(ExtractFormats, ImageIsWrittenWithThePalettePackSearchFinds) {
  const ExtractCase& c = GetParam();
  // Indices 0..5 in a row; the palette maps them to distinct colours.
  const std::vector<Colour> colours = {{0, 0, 0}, kRed, kGreen, kBlue, kYellow, kBack};
  const Bytes grey = palette_block(ramp_with({}));  // a decoy the search must not pick
  write_bytes("p.fsh", shpi_pack("GIMX", {{c.image_name, image_block(0x7B, 6, 1, Bytes{0, 1, 2, 3, 4, 5})},
                                          {"pal0", grey},
                                          {c.palette_name, palette_block(colours)}}));
  const RunResult r = run({c.command, "p.fsh", c.image_name});
  ASSERT_EQ(r.status, 0) << r.out;
  ShapeImage picture;
  ASSERT_TRUE(decode_file(c.file, &picture)) << r.out;
  ASSERT_EQ(picture.width, 6);
  ASSERT_EQ(picture.height, 1);
  for (int i = 0; i < 6; ++i) {
    const std::uint8_t* got = picture.index ? picture.palette[picture.index[i]] : picture.rgb + 3 * i;
    EXPECT_EQ(Colour({got[0], got[1], got[2]}), colours[static_cast<std::size_t>(i)]) << "pixel " << i;
  }
  shape_image_release(&picture);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractFormats,
                         ::testing::Values(ExtractCase{"-e", "!pal", "img1", "img1.png"},
                                           ExtractCase{"-e", "!xyz", "axyz", "axyz.png"},
                                           ExtractCase{"-extractpng", "!PAL", "img1", "img1.png"},
                                           ExtractCase{"-ebmp", "!pal", "img1", "img1.bmp"},
                                           ExtractCase{"-extractgif", "!pal", "img1", "img1.gif"},
                                           ExtractCase{"-epcx", "!xyz", "axyz", "axyz.pcx"}));

TEST_F(ImageTest, ExtractAsJpegIsFatal) {
  write_bytes("p.fsh", template_pack());
  const RunResult r = run({"-ejpg", "p.fsh"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(fatal_text("No JPEG write support")), std::string::npos) << r.out;
}

// A stream that ends before its declared size is corrupt wherever it is met, with the reason,
// never decoded with made-up zero bytes.
TEST_F(ImageTest, ShortStreamsAreCorruptWherever) {
  const Bytes stops_at_once = {0x10, 0xFB, 0, 0, 64, 0xFC};
  const Bytes pairs_end_at_once = {0x46, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0};
  const std::string why = "stream stops before the declared size";
  struct Case {
    std::vector<std::string> args;
    Bytes file;
    std::string expect;
  };
  const Case cases[] = {
      {{"-decompress", "in", "out"}, stops_at_once, fatal_text("file 'in' is corrupt (" + why + ")")},
      {{"-decompress", "in", "out"}, pairs_end_at_once, fatal_text("file 'in' is corrupt (" + why + ")")},
      {{"-l", "in"}, bigf({{"s.bin", stops_at_once}}), "'s.bin': compressed data is corrupt (" + why + ")\n"},
      {{"-u", "in"},
       bigf({{"s.bin", pairs_end_at_once}}),
       "'s.bin': compressed data is corrupt (" + why + ")\n"},
      {{"-l", "in"}, stops_at_once, "'in': compressed data is corrupt (" + why + ")\n"},
      {{"-ebmp", "in"},
       shpi_pack("GIMX", {{"img", image_block(0xFB, 8, 8, stops_at_once)}}),
       "'img': compressed pixel data does not decode: " + why + "\n"},
  };
  for (const Case& c : cases) {
    write_bytes("in", c.file);
    const RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0] << r.out;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.args[0] << r.out;
    EXPECT_EQ(files(), std::vector<std::string>{"in"}) << c.args[0];
  }
}

TEST_F(ImageTest, ExtractKeepsFilesBelowTheCurrentFolder) {
  const Bytes img = image_block(0x7B, 2, 1, Bytes{1, 2}, palette_block(ramp_with({})));
  write_bytes("p.fsh", shpi_pack("GIMX", {{"a/bc", img},
                                          {"/abc", img},
                                          {"../a", img},
                                          {"c:ab", img},
                                          {"good", img},
                                          {"..\\b", img},
                                          {"GOOD", img},
                                          {"ab/", img},
                                          {"e\x1b[m", img}}));
  const RunResult r = run({"-ebmp", "p.fsh"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(files(), (std::vector<std::string>{"a/bc.bmp", "good.bmp", "p.fsh"})) << r.out;
  for (const char* refused : {"/abc", "../a", "c:ab", "..\\b", "GOOD", "ab/", "e\\x1B[m"})
    EXPECT_NE(r.out.find("'" + std::string(refused) + "' not extracted"), std::string::npos) << refused;
}

TEST_F(ImageTest, ReplaceRemapsToThePackPaletteOrKeepsItsOwnWithRp) {
  for (const bool own : {false, true}) {
    SCOPED_TRACE(own ? "-rp" : "-r");
    write_bytes("p.fsh", template_pack());
    write_diagonal_bmp("new.bmp");
    const RunResult r = run({own ? "-rp" : "-r", "p.fsh", "new.bmp", "img1"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("replacing image 'img1' with 'new.bmp' (4x4)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(own ? "creating new palette\n" : "palettes are different, remapping...\n"),
              std::string::npos)
        << r.out;
    ShapeImage picture;
    Bytes raw;
    ASSERT_TRUE(decode_entry("p.fsh", "img1", &picture, &raw));
    const Bytes attached(raw.begin() + 32, raw.end());
    for (int i = 0; i < 16; ++i) {
      const int k = (i % 4 + i / 4) % 4;
      EXPECT_EQ(picture.index[i], own ? 1 + k : 10 + k) << "pixel " << i;
    }
    if (own) {
      EXPECT_EQ(Colour({attached[16 + 3], attached[16 + 4], attached[16 + 5]}), kRed);
      EXPECT_EQ(Colour({attached[16 + 12], attached[16 + 13], attached[16 + 14]}), kYellow);
    } else {
      EXPECT_EQ(attached, palette_);  // the pack's colours stay
    }
    EXPECT_EQ(entry_names("p.fsh"), (std::vector<std::string>{"img1", "!dat"}));
    shape_image_release(&picture);
  }
}

struct TransparencyCase {
  std::vector<std::string> extra;
  int border_index;
};

class ReplaceTransparency : public ImageTest, public ::testing::WithParamInterface<TransparencyCase> {};

TEST_P(ReplaceTransparency, BackgroundGoesToIndexZeroUnlessNotrans) {
  write_bytes("p.fsh", template_pack());
  // 6 x 6: a border of the background colour (BMP index 7) around red pixels.
  std::vector<std::uint8_t> index(36, 7);
  for (int y = 1; y < 5; ++y)
    for (int x = 1; x < 5; ++x) index[static_cast<std::size_t>(y * 6 + x)] = 1;
  write_bmp("new.bmp", 6, 6, index, {{1, kRed}, {7, kBack}});
  std::vector<std::string> args = {"-r", "p.fsh", "new.bmp", "img1"};
  args.insert(args.end(), GetParam().extra.begin(), GetParam().extra.end());
  const RunResult r = run(args);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("WARNING: size mismatch (orig 4x4, new 6x6)\n"), std::string::npos) << r.out;
  ShapeImage picture;
  ASSERT_TRUE(decode_entry("p.fsh", "img1", &picture));
  ASSERT_EQ(picture.width, 6);
  EXPECT_EQ(picture.index[0], GetParam().border_index);
  EXPECT_EQ(picture.index[35], GetParam().border_index);
  EXPECT_EQ(picture.index[7], 10);
  shape_image_release(&picture);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplaceTransparency,
                         ::testing::Values(TransparencyCase{{}, 0}, TransparencyCase{{"-notrans"}, 3}));

TEST_F(ImageTest, TrueColourPngIsQuantizedLeavingIndexZeroFree) {
  write_bytes("p.fsh", template_pack());
  ShapeImage picture;
  picture.width = 16;
  picture.height = 16;
  picture.rgb = static_cast<std::uint8_t*>(console.allocate(16 * 16 * 3));
  for (int i = 0; i < 256; ++i) {
    picture.rgb[i * 3] = static_cast<std::uint8_t>(i);
    picture.rgb[i * 3 + 1] = static_cast<std::uint8_t>(255 - i);
    picture.rgb[i * 3 + 2] = static_cast<std::uint8_t>((i * 37) & 255);
  }
  encode_to("new.png", picture, png_encode);
  const RunResult r = run({"-rp", "-notrans", "p.fsh", "new.png", "img1"});
  ASSERT_EQ(r.status, 0) << r.out;
  ShapeImage out;
  ASSERT_TRUE(decode_entry("p.fsh", "img1", &out));
  ASSERT_EQ(out.width, 16);
  for (int i = 0; i < 256; ++i) EXPECT_NE(out.index[i], 0) << "pixel " << i;
  shape_image_release(&out);
}

TEST_F(ImageTest, CreateAddsANewNameInPlaceOfItsModel) {
  const Bytes img = image_block(0x7B, 4, 4, Bytes(16, 1), palette_block(ramp_with({})));
  write_bytes("p.fsh", shpi_pack("FACE", {{"aaaa", img}, {"face", img}, {"zzzz", img}}));
  write_diagonal_bmp("new.bmp");
  const RunResult r = run({"-c", "p.fsh", "out.fsh", "new.bmp", "f002", "face"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Image:'new.bmp' Size:16 W:4 H:4 BPP:8 SHPI:'f002' OSHPI:'face'\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("copying aaaa \nadding 'f002' (4x4)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("copied 2, replaced 0 and added 1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("out.fsh successfully created\n"), std::string::npos) << r.out;
  EXPECT_EQ(entry_names("out.fsh"), (std::vector<std::string>{"aaaa", "f002", "zzzz"}));
  EXPECT_EQ(read_bytes("out.fsh").size() > 16, true);
}

TEST_F(ImageTest, CopiedNamesWrapAt74Columns) {
  Files entries;
  for (int i = 0; i < 30; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "d%03d", i);
    entries.push_back({name, text("data")});
  }
  write_bytes("p.fsh", shpi_pack("GIMX", entries));
  write_bytes("x.dat", text("new data"));
  const RunResult r = run({"-c", "p.fsh", "out.fsh", "x.dat", "d029"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::size_t from = r.out.find("copying ");
  const std::size_t to = r.out.find("replacing 'd029' with 'x.dat'\n");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const std::string block = r.out.substr(from, to - from);
  std::size_t lines = 0;
  for (std::size_t at = 0; at < block.size();) {
    const std::size_t end = block.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end - at, 74u) << block;
    if (lines > 0) {
      EXPECT_EQ(block.substr(at, 8), "        ");
    }
    ++lines;
    at = end + 1;
  }
  EXPECT_EQ(lines, 3u) << block;
  EXPECT_EQ(read_bytes("out.fsh").size(), read_bytes("p.fsh").size() + 4);
}

struct FatalCase {
  std::vector<std::string> args;
  std::string message;
};

class ReplaceErrors : public ImageTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(ReplaceErrors, StopBeforeAnythingIsWritten) {
  const Bytes pack = template_pack();
  write_bytes("p.fsh", pack);
  write_diagonal_bmp("new.bmp");
  write_bytes("bad.png", text("this is no picture at all"));
  const RunResult r = run(GetParam().args);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("-- " + GetParam().message), std::string::npos) << r.out;
  EXPECT_EQ(read_bytes("p.fsh"), pack);
  EXPECT_EQ(files(), (std::vector<std::string>{"bad.png", "new.bmp", "p.fsh"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceErrors,
    ::testing::Values(
        FatalCase{{"-r", "p.fsh", "new.bmp", "newn"},
                  "expected original SHPI-name because 'newn' not found\n"},
        FatalCase{{"-r", "p.fsh", "new.bmp", "toolong"}, "SHPI-name 'toolong' too long (>4)\n"},
        FatalCase{{"-r", "p.fsh", "new.bmp", "newn", "zzzz"}, "original SHPI name 'zzzz' not in pack file\n"},
        FatalCase{{"-r", "p.fsh", "new.bmp", "newn", "img12"}, "original SHPI name too long ('img12')\n"},
        FatalCase{{"-r", "p.fsh", "missing.bmp", "img1"}, "couldn't open image 'missing.bmp'\n"},
        FatalCase{{"-r", "p.fsh", "missing.dat", "!dat"}, "couldn't open data 'missing.dat'\n"},
        FatalCase{{"-r", "p.fsh", "bad.png", "img1"}, "unsupported or corrupt image 'bad.png'"},
        FatalCase{{"-c", "p.fsh", "out.fsh", "new.bmp", "!dat"}, "original '!dat' is not an image"}));

TEST_F(ImageTest, MoreItemsThanFitAreFatal) {
  write_bytes("p.fsh", template_pack());
  write_bytes("x.dat", text("x"));
  for (const int count : {255, 256}) {
    std::vector<std::string> args = {"-c", "p.fsh", "out.fsh"};
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "n%03d", i);
      args.insert(args.end(), {"x.dat", name, "!dat"});
    }
    const RunResult r = run(args);
    if (count == 255) {
      EXPECT_EQ(r.status, 0) << r.out.substr(r.out.size() > 400 ? r.out.size() - 400 : 0);
      EXPECT_EQ(entry_names("out.fsh").size(), 256u);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.out.find("too many images and data files"), std::string::npos);
    }
  }
}

TEST_F(ImageTest, ReplaceInsideAnArchiveUpdatesItInPlace) {
  const Bytes other = text("other entry data");
  write_bytes("game.big", bigf({{"other.dat", other}, {"pics.fsh", template_pack()}}));
  write_diagonal_bmp("new.bmp");
  const RunResult r = run({"-r", "game.big\\pics.fsh", "new.bmp", "img1"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("pics.fsh successfully created\n"), std::string::npos) << r.out;
  // Only the archive and the input are left: the new pack went into the archive.
  EXPECT_EQ(files(), (std::vector<std::string>{"game.big", "new.bmp"}));
  const RunResult u = run({"-u", "game.big"});
  ASSERT_EQ(u.status, 0) << u.out;
  EXPECT_EQ(read_bytes("other.dat"), other);
  ShapeImage picture;
  ASSERT_TRUE(decode_entry("pics.fsh", "img1", &picture));
  EXPECT_EQ(picture.index[0], 10);
  EXPECT_EQ(picture.index[1], 11);
  shape_image_release(&picture);
}

}  // namespace

namespace {

TEST_F(ImageTest, ReplaceInANestedArchiveLeavesThePackBesideIt) {
  const Bytes inner = bigf({{"pics.fsh", template_pack()}});
  const Bytes outer = bigf({{"inner.big", inner}});
  write_bytes("game.big", outer);
  write_diagonal_bmp("new.bmp");
  const RunResult r = run({"-r", "game.big\\inner.big\\pics.fsh", "new.bmp", "img1"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("is left in the current folder"), std::string::npos) << r.out;
  // The outer archive is not given a stray top-level copy; the new pack waits in the folder.
  EXPECT_EQ(read_bytes("game.big"), outer);
  EXPECT_EQ(files(), (std::vector<std::string>{"game.big", "new.bmp", "pics.fsh"}));
}

}  // namespace
