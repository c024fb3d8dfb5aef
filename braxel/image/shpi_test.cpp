// Tests of the SHPI pack layer: scanning, the "----" area, pixel and palette formats in both
// directions, the palette search, compressed pixel data, the block builder and bad input.
#include "braxel/image/shpi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/cli/console/console.h"

namespace {

const bool kConsoleReady = (console_init(), true);

using Bytes = std::vector<std::uint8_t>;

struct Picture {
  ShapeImage image;
  Picture() = default;
  Picture(const Picture&) = delete;
  ~Picture() { shape_image_release(&image); }
  std::size_t pixels() const { return static_cast<std::size_t>(image.width) * image.height; }
};

Bytes take(ImageBytes* bytes) {
  Bytes out(bytes->data, bytes->data + bytes->size);
  image_bytes_release(bytes);
  return out;
}

void put16(Bytes* b, std::size_t at, unsigned v) {
  (*b)[at] = static_cast<std::uint8_t>(v);
  (*b)[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// A block header with the given code, attachment offset and size.
Bytes header(int code, std::int32_t attachment, int width, int height) {
  Bytes h(16);
  h[0] = static_cast<std::uint8_t>(code);
  const std::uint32_t a = static_cast<std::uint32_t>(attachment) & 0xFFFFFF;
  h[1] = static_cast<std::uint8_t>(a), h[2] = static_cast<std::uint8_t>(a >> 8),
  h[3] = static_cast<std::uint8_t>(a >> 16);
  put16(&h, 4, static_cast<unsigned>(width));
  put16(&h, 6, static_cast<unsigned>(height));
  return h;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A palette block of `code` defining colours first .. first + count - 1 from raw entry bytes.
Bytes palette_block(int code, int count, const Bytes& entries, int first = 0) {
  Bytes b = header(code, 0, count, 0);
  put16(&b, 10, static_cast<unsigned>(first));
  return cat(b, entries);
}

// An RGB8 palette of `count` colours: colour i = (i, 2i, 255 - i) unless overridden.
Bytes rgb8_entries(int count) {
  Bytes e;
  for (int i = 0; i < count; ++i)
    e.insert(e.end(), {std::uint8_t(i), std::uint8_t(2 * i), std::uint8_t(255 - i)});
  return e;
}

struct Entry {
  const char* name;
  Bytes data;
  bool pseudo = false;
};

Bytes pack(const char* identifier, const std::vector<Entry>& entries) {
  std::vector<ShpiOutBlock> blocks(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::snprintf(blocks[i].name, sizeof blocks[i].name, "%s", entries[i].name);
    blocks[i].data = entries[i].data.data();
    blocks[i].size = entries[i].data.size();
    blocks[i].pseudo = entries[i].pseudo;
  }
  ImageBytes out;
  ShpiError error;
  EXPECT_EQ(shpi_write(identifier, blocks.data(), blocks.size(), &out, &error), ShpiStatus::kOk)
      << error.message;
  return take(&out);
}

ShpiDirectory scan(const Bytes& p) {
  ShpiDirectory d;
  ShpiError error;
  EXPECT_EQ(shpi_scan(p.data(), p.size(), &d, &error), ShpiStatus::kOk) << error.message;
  return d;
}

int find(const ShpiDirectory& d, const char* name) {
  for (std::size_t i = 0; i < d.entries.size(); ++i)
    if (std::strcmp(d.entries[i].name, name) == 0) return static_cast<int>(i);
  return -1;
}

// Decodes the named entry of a pack.
ShpiStatus decode(const Bytes& p, const char* name, Picture* picture, ShpiError* error = nullptr) {
  const ShpiDirectory d = scan(p);
  const int i = find(d, name);
  EXPECT_GE(i, 0) << name;
  ShpiError local;
  return shpi_decode_entry(p.data(), p.size(), d, static_cast<std::size_t>(i), &picture->image,
                           error ? error : &local);
}

class Shpi : public ::testing::Test {
 protected:
  void SetUp() override { shpi_forget_palette(); }
  void TearDown() override { shpi_forget_palette(); }
};

// --- Scanning ---------------------------------------------------------------------------------

TEST_F(Shpi, ScanSizesKindsAndPictureSizes) {
  // Directory order differs from block order: sizes come from the nearest following block.
  const Bytes img = cat(header(0x7B, 0, 4, 2), Bytes(8, 1));  // 24 bytes
  const Bytes tc = cat(header(0x7F, 0, 1, 1), Bytes(3, 9));   // 19 bytes, padded to 20
  const Bytes pal = palette_block(0x24, 2, rgb8_entries(2));  // 22 bytes, last: not padded
  const Bytes p = pack("GIMX", {{"abcd", img}, {"true", tc}, {"!pal", pal}});
  ShpiDirectory d = scan(p);
  EXPECT_STREQ(d.identifier, "GIMX");
  ASSERT_EQ(d.entries.size(), 3u);
  struct Want {
    const char* name;
    int size, width, height, kind, palette_kind;
  } want[] = {{"abcd", 24, 4, 2, kShpiKindImage, kShpiPalettised},
              {"true", 20, 1, 1, kShpiKindImage, kShpiTrueColour},
              {"!pal", 22, -1, -1, 0, 0}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(want[i].name);
    const ShpiEntry& e = d.entries[i];
    EXPECT_STREQ(e.name, want[i].name);
    EXPECT_STREQ(e.type, "GIMX");
    EXPECT_EQ(e.size, want[i].size);
    EXPECT_EQ(e.width, want[i].width);
    EXPECT_EQ(e.height, want[i].height);
    EXPECT_EQ(e.kind, want[i].kind);
    EXPECT_EQ(e.palette_kind, want[i].palette_kind);
  }
  EXPECT_EQ(d.entries[0].offset, 16 + 3 * 8);
  EXPECT_EQ(d.total_size, p.size());

  // Swapping two directory slots keeps every entry's size.
  Bytes swapped = p;
  std::swap_ranges(swapped.begin() + 16, swapped.begin() + 24, swapped.begin() + 24);
  d = scan(swapped);
  EXPECT_STREQ(d.entries[0].name, "true");
  EXPECT_EQ(d.entries[0].size, 20);
  EXPECT_EQ(d.entries[1].size, 24);
}

TEST_F(Shpi, ImageEntriesDependOnTheIdentifier) {
  const Bytes img = cat(header(0x7F, 0, 1, 1), Bytes(3));
  for (const char* id : {"GIMX", "FACE", "WRAP", "SPIT", "G335", "ABCD"}) {
    SCOPED_TRACE(id);
    const ShpiDirectory d = scan(pack(id, {{"img1", img}, {"!PAL", img}, {"!xyz", img}}));
    const bool images = std::strcmp(id, "ABCD") != 0;
    EXPECT_EQ(d.entries[0].kind, images ? kShpiKindImage : 0);
    EXPECT_EQ(d.entries[1].kind, 0);
    EXPECT_EQ(d.entries[2].kind, 0);
    EXPECT_STREQ(d.entries[0].type, id);
  }
}

TEST_F(Shpi, AreaBeforeTheFirstBlockIsADataEntryWrittenBackInPlace) {
  Bytes area(64);
  for (std::size_t i = 0; i < area.size(); ++i) area[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const Bytes img = cat(header(0x7F, 0, 2, 1), Bytes{1, 2, 3, 4, 5, 6});
  const Bytes p = pack("GIMX", {{"----", area, true}, {"img1", img}, {"img2", img}});
  EXPECT_EQ(p.size(), 16 + 2 * 8 + 64 + 24 + 22u);
  const ShpiDirectory d = scan(p);
  ASSERT_EQ(d.entries.size(), 3u);
  const ShpiEntry& e = d.entries[0];
  EXPECT_STREQ(e.name, "----");
  EXPECT_TRUE(e.pseudo);
  EXPECT_EQ(e.kind, 0);  // never an image entry, whatever the identifier
  EXPECT_EQ(e.palette_kind, 0);
  EXPECT_EQ(e.offset, 32);
  EXPECT_EQ(e.size, 64);
  EXPECT_EQ(Bytes(p.begin() + e.offset, p.begin() + e.offset + e.size), area);
  Picture picture;
  EXPECT_EQ(decode(p, "----", &picture), ShpiStatus::kUnsupported);

  // Writing the scanned entries back gives the same bytes.
  std::vector<Entry> again;
  for (const ShpiEntry& s : d.entries)
    again.push_back({s.name, Bytes(p.begin() + s.offset, p.begin() + s.offset + s.size), s.pseudo});
  EXPECT_EQ(pack(d.identifier, again), p);

  // Without a gap there is no such entry.
  EXPECT_EQ(scan(pack("GIMX", {{"img1", img}})).entries.size(), 1u);
}

TEST_F(Shpi, OripRecordListsItselfAndItsNames) {
  Bytes r(56 + 2 * 24 + 8);
  std::memcpy(r.data(), "ORIP", 4);
  put16(&r, 12, 104);
  std::memcpy(r.data() + 104, "record", 7);
  put16(&r, 48, 2);
  put16(&r, 52, 56);
  std::memcpy(r.data() + 56, "first name", 10);
  std::memcpy(r.data() + 80, "second", 6);
  ShpiDirectory d;
  ShpiError error;
  ASSERT_EQ(orip_scan(r.data(), r.size(), &d, &error), ShpiStatus::kOk) << error.message;
  ASSERT_EQ(d.entries.size(), 3u);
  EXPECT_STREQ(d.entries[0].name, "record");
  EXPECT_EQ(d.entries[0].kind, kShpiKindOrip);
  EXPECT_STREQ(d.entries[0].type, "ORIP");
  EXPECT_STREQ(d.entries[1].name, "first name");
  EXPECT_STREQ(d.entries[2].name, "second");
  EXPECT_EQ(d.entries[2].kind, 0);

  Bytes bad = r;
  put16(&bad, 48, 3);  // the table would run past the end
  EXPECT_EQ(orip_scan(bad.data(), bad.size(), &d, &error), ShpiStatus::kCorrupt);
  bad = r;
  put16(&bad, 12, 500);
  EXPECT_EQ(orip_scan(bad.data(), bad.size(), &d, &error), ShpiStatus::kCorrupt);
}

// --- Decoding ---------------------------------------------------------------------------------

struct TrueColourCase {
  int code;
  Bytes pixel;
  std::uint8_t r, g, b;
  int alpha;  // -1: no alpha plane
  const char* description;
};

TEST_F(Shpi, TrueColourPixels) {
  const TrueColourCase cases[] = {
      {0x7E, {0xFF, 0xFF}, 248, 248, 248, 255, "15b RGBA"},
      {0x7E, {0x1F, 0x00}, 0, 0, 248, 0, "15b RGBA"},
      {0x6D, {0x5A, 0xC3}, 0x30, 0x50, 0xA0, 0xC0, "16b RGBA"},
      {0x78, {0x40, 0xF8}, 248, 8, 0, -1, "15b RGB"},
      {0x7F, {1, 2, 3}, 3, 2, 1, -1, "24b RGB"},
      {0x7D, {1, 2, 3, 4}, 3, 2, 1, 4, "32b BGRA"},
  };
  for (const TrueColourCase& c : cases) {
    SCOPED_TRACE(c.code);
    Picture picture;
    const Bytes p = pack("GIMX", {{"img", cat(header(c.code, 0, 1, 1), c.pixel)}});
    ASSERT_EQ(decode(p, "img", &picture), ShpiStatus::kOk);
    EXPECT_EQ(picture.image.rgb[0], c.r);
    EXPECT_EQ(picture.image.rgb[1], c.g);
    EXPECT_EQ(picture.image.rgb[2], c.b);
    EXPECT_EQ(picture.image.index, nullptr);
    if (c.alpha < 0) {
      EXPECT_EQ(picture.image.alpha, nullptr);
    } else {
      ASSERT_NE(picture.image.alpha, nullptr);
      EXPECT_EQ(picture.image.alpha[0], c.alpha);
    }
    EXPECT_STREQ(picture.image.description, c.description);
    char format[5];
    std::snprintf(format, sizeof format, "%02X", c.code);
    EXPECT_STREQ(picture.image.format, format);
  }
}

TEST_F(Shpi, FourBitPixelsLowNibbleFirst) {
  // 3 x 2 pixels in exactly 3 bytes, with a palette after them in the pack.
  const Bytes img = cat(header(0x40, 0, 3, 2), Bytes{0x21, 0x43, 0x65});
  const Bytes p = pack("GIMX", {{"img", img}, {"!pal", palette_block(0x24, 8, rgb8_entries(8))}});
  Picture picture;
  ASSERT_EQ(decode(p, "img", &picture), ShpiStatus::kOk);
  ASSERT_EQ(picture.pixels(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(picture.image.index[i], i + 1);
    EXPECT_EQ(picture.image.rgb[i * 3 + 1], 2 * (i + 1));
  }
  EXPECT_STREQ(picture.image.description, "RGB8 24");
  EXPECT_EQ(picture.image.palette_code, 0x24);

  // One byte short is truncated data, not a read past the block.
  const Bytes short_img = cat(header(0x40, 0, 3, 2), Bytes{0x21, 0x43});
  Picture none;
  ShpiError error;
  EXPECT_EQ(decode(pack("GIMX", {{"img", short_img}}), "img", &none, &error), ShpiStatus::kCorrupt);
  EXPECT_NE(std::string(error.message).find("truncated"), std::string::npos) << error.message;
  EXPECT_EQ(none.image.index, nullptr);
}

TEST_F(Shpi, CompressedPixelData) {
  Bytes indices(64);
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<std::uint8_t>(i % 5);
  std::vector<std::uint8_t> stream;
  lz77_compress(indices.data(), static_cast<std::int64_t>(indices.size()), stream, false);
  ASSERT_EQ(stream[1], 0xFB);
  const Bytes img = cat(header(0xFB, 0, 8, 8), stream);
  const Bytes p = pack("GIMX", {{"img", img}, {"!pal", palette_block(0x24, 5, rgb8_entries(5))}});
  EXPECT_EQ(scan(p).entries[0].palette_kind, kShpiPalettised);
  Picture picture;
  ASSERT_EQ(decode(p, "img", &picture), ShpiStatus::kOk);
  EXPECT_STREQ(picture.image.format, "7B");
  EXPECT_EQ(Bytes(picture.image.index, picture.image.index + 64), indices);
  EXPECT_EQ(picture.image.rgb[4 * 3 + 2], 255 - 4);

  // The same bytes without bit 7 are read as they stand.
  const Bytes raw = cat(header(0x7B, 0, 2, 2), stream);
  Picture plain;
  ASSERT_EQ(decode(pack("GIMX", {{"img", raw}}), "img", &plain), ShpiStatus::kOk);
  EXPECT_EQ(plain.image.index[0], stream[0]);

  // A stream that does not hold enough pixels, and a damaged stream, are errors.
  Bytes small = img;
  small[18] = 0, small[19] = 0, small[20] = 10;  // declared size 10 < 64
  Picture bad;
  EXPECT_EQ(decode(pack("GIMX", {{"img", small}}), "img", &bad), ShpiStatus::kCorrupt);
  Bytes cut(img.begin(), img.begin() + 16 + 7);
  EXPECT_EQ(decode(pack("GIMX", {{"img", cut}}), "img", &bad), ShpiStatus::kCorrupt);
  EXPECT_EQ(bad.image.index, nullptr);
}

TEST_F(Shpi, WholeEntryStoredCompressed) {
  const Bytes img = cat(header(0x7F, 0, 2, 2), Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  std::vector<std::uint8_t> stream;
  lz77_compress(img.data(), static_cast<std::int64_t>(img.size()), stream, false);
  Picture picture;
  ASSERT_EQ(decode(pack("GIMX", {{"img", stream}}), "img", &picture), ShpiStatus::kOk);
  EXPECT_EQ(picture.image.rgb[9], 12);
}

struct Rgb8Case {
  std::uint8_t r, g, b;
  bool transparent;
};

TEST_F(Shpi, Rgb8PaletteLastColourGreenOrMagentaIsTransparent) {
  const Rgb8Case cases[] = {{255, 0, 255, true}, {0, 255, 0, true}, {255, 0, 254, false}, {0, 0, 0, false}};
  for (const Rgb8Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.r) << "," << int(c.g) << "," << int(c.b));
    shpi_forget_palette();
    Bytes entries = rgb8_entries(4);
    entries[9] = c.r, entries[10] = c.g, entries[11] = c.b;
    const Bytes pixels{0, 1, 2, 3, 3, 3, 1, 0};  // 4 x 2, attachment right after
    const Bytes img = cat(cat(header(0x7B, 24, 4, 2), pixels), palette_block(0x24, 4, entries));
    Picture picture;
    ASSERT_EQ(decode(pack("GIMX", {{"img", img}}), "img", &picture), ShpiStatus::kOk);
    EXPECT_EQ(picture.image.palette[3][3], c.transparent ? 0 : 255);
    EXPECT_EQ(picture.image.saved_palette[3][3], c.transparent ? 0 : 255);
    EXPECT_STREQ(picture.image.description, "RGB8 24");
    if (c.transparent) {
      ASSERT_NE(picture.image.alpha, nullptr);
      EXPECT_EQ(picture.image.alpha[3], 0);
      EXPECT_EQ(picture.image.alpha[0], 255);
    } else {
      EXPECT_EQ(picture.image.alpha, nullptr);
    }
  }
  // The rule belongs to format 24 only.
  shpi_forget_palette();
  const Bytes bgra{255, 0, 255, 255};
  const Bytes img = cat(cat(header(0x7B, 20, 2, 2), Bytes{0, 0, 0, 0}), palette_block(0x2A, 1, bgra));
  Picture picture;
  ASSERT_EQ(decode(pack("GIMX", {{"img", img}}), "img", &picture), ShpiStatus::kOk);
  EXPECT_EQ(picture.image.alpha, nullptr);
}

// --- Palette search ----------------------------------------------------------------------------

struct PickCase {
  const char* label;
  std::vector<std::pair<const char*, int>> entries;  // name, size; entry 0 is the image
  int want;
};

TEST_F(Shpi, PaletteSearchOrder) {
  const PickCase cases[] = {
      {"!pal first", {{"abcd", 100}, {"!bcd", 100}, {"!PAL", 5000}}, 2},
      {"! + own name", {{"abcd", 100}, {"!zzz", 100}, {"!bcd", 5000}}, 2},
      {"small ! entry", {{"abcd", 100}, {"palx", 100}, {"!zzz", 1400}}, 2},
      {"large ! entry skipped", {{"abcd", 100}, {"!zzz", 1401}, {"PALX", 9000}}, 2},
      {"pal prefix", {{"abcd", 100}, {"????", 10}, {"pal1", 9000}}, 2},
      {"????", {{"abcd", 100}, {"????", 1400}}, 1},
      {"large ???? skipped", {{"abcd", 100}, {"????", 1401}}, -1},
      {"not itself", {{"pal1", 100}}, -1},
      {"not the area", {{"abcd", 100}, {"----", 10}}, -1},
  };
  for (const PickCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<ShpiEntry> entries(c.entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::snprintf(entries[i].name, sizeof entries[i].name, "%s", c.entries[i].first);
      entries[i].size = c.entries[i].second;
      entries[i].pseudo = std::strcmp(c.entries[i].first, "----") == 0;
    }
    EXPECT_EQ(shpi_pick_palette(entries.data(), entries.size(), 0), c.want);
  }
}

TEST_F(Shpi, ImagesWithoutAttachmentFindThePackPalette) {
  const Bytes img = cat(header(0x41, 0, 2, 1), Bytes{1, 2});
  {
    Bytes other = rgb8_entries(4);
    other[3 * 2] = 77;
    const Bytes p = pack("GIMX", {{"abcd", img},
                                  {"!bcd", palette_block(0x24, 4, other)},
                                  {"!pal", palette_block(0x24, 4, rgb8_entries(4))}});
    Picture picture;
    ASSERT_EQ(decode(p, "abcd", &picture), ShpiStatus::kOk);
    EXPECT_EQ(picture.image.rgb[3], 2);  // from "!pal", not "!bcd"
  }
  shpi_forget_palette();
  {
    // A 1000-byte entry "!" + the image name's last three characters.
    Bytes entries = rgb8_entries(4);
    entries[3 * 2] = 77;
    Bytes block = palette_block(0x24, 4, entries);
    block.resize(1000);
    const Bytes p = pack("GIMX", {{"abcd", img}, {"!bcd", block}, {"!pan", Bytes(2000)}});
    ASSERT_EQ(scan(p).entries[1].size, 1000);
    Picture picture;
    ASSERT_EQ(decode(p, "abcd", &picture), ShpiStatus::kOk);
    EXPECT_EQ(picture.image.rgb[3], 77);
  }
}

TEST_F(Shpi, PictureAttachmentsSendTheSearchToThePack) {
  // An attached image block is not a palette: the pack's palette is used instead.
  const Bytes attached = cat(header(0x7B, 0, 1, 1), Bytes{0, 0, 0, 0});
  const Bytes img = cat(cat(header(0x7B, 20, 2, 2), Bytes{1, 1, 1, 1}), attached);
  const Bytes p = pack("GIMX", {{"img", img}, {"!pal", palette_block(0x24, 2, rgb8_entries(2))}});
  Picture picture;
  ASSERT_EQ(decode(p, "img", &picture), ShpiStatus::kOk);
  EXPECT_EQ(picture.image.rgb[2], 254);
  EXPECT_EQ(picture.image.palette_code, 0x24);
}

TEST_F(Shpi, AttachmentOutsideTheBlockFallsBackToTheSearch) {
  for (std::int32_t offset : {5000, 24, -16}) {
    SCOPED_TRACE(offset);
    shpi_forget_palette();
    const Bytes img = cat(header(0x7B, offset, 2, 2), Bytes{1, 1, 1, 1});  // 20 bytes
    const Bytes p = pack("GIMX", {{"img", img}, {"!pal", palette_block(0x24, 2, rgb8_entries(2))}});
    Picture picture;
    ShpiError error;
    ASSERT_EQ(decode(p, "img", &picture, &error), ShpiStatus::kOk);
    EXPECT_EQ(picture.image.rgb[2], 254);
    EXPECT_EQ(error.warning[0] != 0, offset > 0) << error.warning;
  }
}

TEST_F(Shpi, RememberedPaletteAndGreyRamp) {
  const Bytes img = cat(header(0x41, 0, 2, 1), Bytes{7, 200});
  Picture grey;
  ASSERT_EQ(decode(pack("GIMX", {{"img", img}}), "img", &grey), ShpiStatus::kOk);
  EXPECT_EQ(grey.image.rgb[3], 200);
  EXPECT_EQ(grey.image.rgb[5], 200);
  EXPECT_FALSE(shpi_remembered_palette(nullptr));

  Picture first;
  ASSERT_EQ(
      decode(pack("GIMX", {{"img", img}, {"!pal", palette_block(0x24, 8, rgb8_entries(8))}}), "img", &first),
      ShpiStatus::kOk);
  EXPECT_TRUE(shpi_remembered_palette(nullptr));

  // A later pack without a palette shows its images with the remembered one; a later palette
  // does not replace it.
  Picture later;
  ASSERT_EQ(decode(pack("GIMX", {{"img", img}}), "img", &later), ShpiStatus::kOk);
  EXPECT_EQ(later.image.rgb[1], 14);
  EXPECT_EQ(later.image.rgb[5], 200);  // colours the palette did not define keep the ramp
  Picture other;
  ASSERT_EQ(
      decode(pack("GIMX", {{"img", img}, {"!pal", palette_block(0x24, 8, Bytes(24, 9))}}), "img", &other),
      ShpiStatus::kOk);
  EXPECT_EQ(other.image.rgb[1], 9);
  std::uint8_t remembered[256][4];
  ASSERT_TRUE(shpi_remembered_palette(remembered));
  EXPECT_EQ(remembered[7][1], 14);
}

// --- Encoding ---------------------------------------------------------------------------------

struct PixelCase {
  int code;
  // Round-trip quantisation of one component and of alpha (-1: alpha not kept).
  int keep_bits;
  int alpha_bits;
  int green_bits;
};

TEST_F(Shpi, PixelFormatsRoundTrip) {
  const PixelCase cases[] = {{0x40, 4, -1, 4}, {0x41, 8, -1, 8}, {0x7B, 8, -1, 8},
                             {0x7C, 8, -1, 8}, {0x6D, 4, 4, 4},  {0x78, 5, -1, 5},
                             {0x7E, 5, 1, 5},  {0x7F, 8, -1, 8}, {0x7D, 8, 8, 8}};
  std::mt19937 rng(7);
  for (const PixelCase& c : cases) {
    SCOPED_TRACE(c.code);
    shpi_forget_palette();
    for (auto [w, h] : {std::pair{5, 3}, std::pair{1, 1}, std::pair{16, 4}}) {
      SCOPED_TRACE(testing::Message() << w << "x" << h);
      Picture source;
      ShapeImage& s = source.image;
      s.width = static_cast<std::int16_t>(w);
      s.height = static_cast<std::int16_t>(h);
      const std::size_t n = source.pixels();
      const bool indexed = shpi_lookup_format(c.code)->palettised;
      if (indexed) {
        s.index = static_cast<std::uint8_t*>(console.allocate(n));
        for (std::size_t i = 0; i < n; ++i)
          s.index[i] = static_cast<std::uint8_t>(rng() & ((1 << c.keep_bits) - 1));
      } else {
        s.rgb = static_cast<std::uint8_t*>(console.allocate(n * 3));
        s.alpha = static_cast<std::uint8_t*>(console.allocate(n));
        for (std::size_t i = 0; i < n * 3; ++i) s.rgb[i] = static_cast<std::uint8_t>(rng());
        for (std::size_t i = 0; i < n; ++i) s.alpha[i] = static_cast<std::uint8_t>(rng());
      }
      ImageBytes encoded;
      ShpiError error;
      ASSERT_EQ(shpi_encode_pixels(c.code, s, &encoded, &error), ShpiStatus::kOk) << error.message;
      const Bytes pixels = take(&encoded);
      ASSERT_EQ(pixels.size(), shpi_pixel_bytes(c.code, w, h));
      ImageBytes block;
      shpi_build_block(nullptr, c.code, w, h, pixels.data(), pixels.size(), nullptr, 0, &block);
      const Bytes p = pack("GIMX", {{"img", take(&block)}});
      Picture back;
      ASSERT_EQ(decode(p, "img", &back), ShpiStatus::kOk);
      ASSERT_EQ(back.image.width, w);
      ASSERT_EQ(back.image.height, h);
      if (indexed) {
        EXPECT_EQ(Bytes(back.image.index, back.image.index + n), Bytes(s.index, s.index + n));
        continue;
      }
      auto keep = [](int v, int bits) { return v >> (8 - bits) << (8 - bits); };
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(back.image.rgb[i * 3], keep(s.rgb[i * 3], c.keep_bits)) << i;
        ASSERT_EQ(back.image.rgb[i * 3 + 1], keep(s.rgb[i * 3 + 1], c.green_bits)) << i;
        ASSERT_EQ(back.image.rgb[i * 3 + 2], keep(s.rgb[i * 3 + 2], c.keep_bits)) << i;
        if (c.alpha_bits == 1) {
          ASSERT_EQ(back.image.alpha[i], s.alpha[i] != 0 ? 255 : 0);
        } else if (c.alpha_bits > 0) {
          ASSERT_EQ(back.image.alpha[i], keep(s.alpha[i], c.alpha_bits));
        } else {
          ASSERT_EQ(back.image.alpha, nullptr);
        }
      }
      // Decoded pictures encode back to the same bytes.
      ImageBytes again;
      ASSERT_EQ(shpi_encode_pixels(c.code, back.image, &again, &error), ShpiStatus::kOk);
      EXPECT_EQ(take(&again), pixels);
    }
  }
}

TEST_F(Shpi, EncodingNeedsTheRightPlane) {
  Picture truecolour;
  truecolour.image.width = truecolour.image.height = 1;
  truecolour.image.rgb = static_cast<std::uint8_t*>(console.allocate(3));
  ImageBytes out;
  ShpiError error;
  EXPECT_EQ(shpi_encode_pixels(0x41, truecolour.image, &out, &error), ShpiStatus::kCorrupt);
  EXPECT_EQ(shpi_encode_pixels(0x22, truecolour.image, &out, &error), ShpiStatus::kUnsupported);
  EXPECT_EQ(shpi_encode_pixels(0xFD, truecolour.image, &out, &error), ShpiStatus::kOk);  // bit 7 ignored
  EXPECT_EQ(take(&out).size(), 4u);
}

TEST_F(Shpi, BlockBuilderStatesTheOffsetWhereTheAttachmentIs) {
  // 3 x 3 pixels: 4-bit stores 5 bytes, 8-bit 9, 24-bit 27. Each stated offset must point at
  // the attached palette so that decoding finds it.
  for (int code : {0x40, 0x7B, 0x7F}) {
    SCOPED_TRACE(code);
    shpi_forget_palette();
    const std::size_t stored = shpi_pixel_bytes(code, 3, 3);
    const Bytes pixels(stored, code == 0x40 ? 0x11 : 0x01);  // every pixel index 1
    const Bytes palette = palette_block(0x24, 2, Bytes{10, 20, 30, 40, 50, 60});
    Bytes templ = header(0x80 | code, 0, 7, 7);
    for (int i = 8; i < 16; ++i) templ[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
    ImageBytes out;
    shpi_build_block(templ.data(), code, 3, 3, pixels.data(), pixels.size(), palette.data(), palette.size(),
                     &out);
    const Bytes block = take(&out);
    const std::int32_t offset = shpi_attachment_offset(block.data());
    EXPECT_EQ(offset, 16 + static_cast<std::int32_t>((stored + 3) / 4 * 4));
    EXPECT_EQ(offset % 4, 0);
    ASSERT_EQ(block.size(), static_cast<std::size_t>(offset) + palette.size());
    EXPECT_EQ(Bytes(block.begin() + offset, block.end()), palette);
    EXPECT_EQ(block[0], code);
    EXPECT_EQ(Bytes(block.begin() + 8, block.begin() + 16), Bytes(templ.begin() + 8, templ.end()));
    for (std::int32_t i = 16 + static_cast<std::int32_t>(stored); i < offset; ++i) EXPECT_EQ(block[i], 0);
    if (code == 0x7F) continue;
    Picture picture;
    ASSERT_EQ(decode(pack("GIMX", {{"img", block}}), "img", &picture), ShpiStatus::kOk);
    EXPECT_EQ(picture.image.palette[1][0], 40);
    EXPECT_EQ(picture.image.rgb[0], 40);
  }
}

struct PaletteCase {
  int code;
  int entry_size;
  int bits;  // precision kept per component
  bool alpha;
  const char* description;
};

TEST_F(Shpi, PaletteFormatsRoundTrip) {
  const PaletteCase cases[] = {
      {0x22, 3, 6, false, "RGB6 22"},  {0x40, 3, 6, false, "RGB6 40"},  {0xC0, 3, 6, false, "RGB6 C0"},
      {0x23, 2, 5, false, "RGB15 23"}, {0x2D, 2, 5, false, "RGB15 2D"}, {0x24, 3, 8, false, "RGB8 24"},
      {0x29, 2, 5, false, "BGR15 29"}, {0x2A, 4, 8, true, "BGRA 2A"},   {0x7C, 4, 8, true, "BGRA 7C"},
      {0x2E, 4, 5, true, "RGBA15 2E"}, {0x6F, 2, 5, false, "RGB15 6F"}, {0xFF, 4, 8, true, ""},
  };
  std::mt19937 rng(3);
  for (const PaletteCase& c : cases) {
    for (int first : {0, 16}) {
      SCOPED_TRACE(testing::Message() << c.description << " first " << first);
      const int count = c.code == 0xFF ? 256 : 20;
      if (c.code == 0xFF && first != 0) continue;
      Bytes block =
          palette_block(c.code, count, Bytes(static_cast<std::size_t>(count * c.entry_size)), first);
      std::uint8_t palette[256][4];
      for (auto& e : palette)
        for (auto& v : e) v = static_cast<std::uint8_t>(rng());
      ASSERT_EQ(shpi_encode_palette(block.data(), block.size(), palette), count);
      std::uint8_t back[256][4] = {};
      char description[33];
      std::uint16_t code = 0;
      ASSERT_EQ(shpi_decode_palette(block.data(), block.size(), back, description, &code),
                count * c.entry_size);
      EXPECT_EQ(code, c.code);
      EXPECT_STREQ(description, c.description);
      const int mask = 0xFF << (8 - c.bits) & 0xFF;
      for (int i = first; i < first + count; ++i) {
        for (int k = 0; k < 3; ++k) ASSERT_EQ(back[i][k], palette[i][k] & mask) << i << " " << k;
        ASSERT_EQ(back[i][3], c.alpha ? palette[i][3] : 255) << i;
      }
      // Colours outside the block's range stay as they were.
      if (first + count < 256) {
        EXPECT_EQ(back[first + count][0], 0);
      }
      if (first > 0) {
        EXPECT_EQ(back[0][0], 0);
      }
    }
  }
  // Code 29 keeps red in the top bits when written.
  Bytes block = palette_block(0x29, 1, Bytes(2));
  std::uint8_t red[256][4] = {{255, 0, 0, 255}};
  shpi_encode_palette(block.data(), block.size(), red);
  EXPECT_EQ(block[17], 0xF8);
  // Not a palette, or no room: nothing is written.
  Bytes image = header(0x7B, 0, 4, 0);
  EXPECT_EQ(shpi_encode_palette(image.data(), image.size(), red), 0);
  Bytes truncated = palette_block(0x24, 4, Bytes(5));
  EXPECT_EQ(shpi_encode_palette(truncated.data(), truncated.size(), red), 1);
  std::uint8_t any[256][4];
  EXPECT_EQ(shpi_decode_palette(truncated.data(), truncated.size(), any, nullptr, nullptr), 3);
}

struct BorderCase {
  int width, height;
  std::vector<std::uint8_t> index;
  int want;
};

TEST_F(Shpi, TransparentIndex) {
  const BorderCase cases[] = {
      {3, 3, {5, 5, 5, 5, 1, 5, 5, 5, 5}, 5},
      {3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 0},
      // Index 4 has 4 border counts, not more than (6 + 6) / 3; index 7 has 8.
      {3, 3, {7, 7, 7, 4, 0, 7, 4, 4, 7}, 7},
      // Both qualify: the lowest index.
      {4, 1, {9, 9, 3, 3}, 3},
  };
  for (const BorderCase& c : cases)
    EXPECT_EQ(shpi_transparent_index(c.index.data(), c.width, c.height), c.want);
  EXPECT_EQ(shpi_transparent_index(nullptr, 3, 3), 0);
}

// --- Bad input --------------------------------------------------------------------------------

struct BadPack {
  const char* label;
  Bytes bytes;
  ShpiStatus scan;    // status of the scan
  ShpiStatus decode;  // status of decoding entry 0 when the scan succeeds
};

Bytes raw_pack(std::uint32_t count, std::vector<std::uint32_t> offsets, const Bytes& body,
               const char* id = "GIMX") {
  Bytes b(16 + 8 * offsets.size());
  std::memcpy(b.data(), "SHPI", 4);
  const std::uint32_t total = static_cast<std::uint32_t>(b.size() + body.size());
  for (int k = 0; k < 4; ++k) b[4 + k] = static_cast<std::uint8_t>(total >> (8 * k));
  for (int k = 0; k < 4; ++k) b[8 + k] = static_cast<std::uint8_t>(count >> (8 * k));
  std::memcpy(b.data() + 12, id, 4);
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    std::memcpy(b.data() + 16 + i * 8, "ent0", 4);
    for (int k = 0; k < 4; ++k) b[16 + i * 8 + 4 + k] = static_cast<std::uint8_t>(offsets[i] >> (8 * k));
  }
  return cat(b, body);
}

TEST_F(Shpi, BadInputGivesErrors) {
  const BadPack cases[] = {
      {"not SHPI", Bytes{'B', 'I', 'G', 'F', 0, 0, 0, 0}, ShpiStatus::kNotShpi, ShpiStatus::kOk},
      {"short header", Bytes{'S', 'H', 'P', 'I', 0, 0}, ShpiStatus::kCorrupt, ShpiStatus::kOk},
      {"directory past the end", raw_pack(1000, {24}, Bytes(8)), ShpiStatus::kCorrupt, ShpiStatus::kOk},
      {"huge count", raw_pack(0xFFFFFFFF, {24}, Bytes(8)), ShpiStatus::kCorrupt, ShpiStatus::kOk},
      {"offset past the end", raw_pack(1, {4000}, Bytes(8)), ShpiStatus::kCorrupt, ShpiStatus::kOk},
      {"no pixel bytes", raw_pack(1, {24}, header(0x7B, 0, 1, 1)), ShpiStatus::kOk, ShpiStatus::kCorrupt},
      {"unknown format", raw_pack(1, {24}, cat(header(0x33, 0, 1, 1), Bytes(4))), ShpiStatus::kOk,
       ShpiStatus::kUnsupported},
      {"no pixels", raw_pack(1, {24}, cat(header(0x7B, 0, 0, 5), Bytes(4))), ShpiStatus::kOk,
       ShpiStatus::kCorrupt},
      {"65535 x 65535", raw_pack(1, {24}, cat(header(0x7D, 0, 65535, 65535), Bytes(64))), ShpiStatus::kOk,
       ShpiStatus::kCorrupt},
      {"8000 x 8000 of 4 bytes", raw_pack(1, {24}, cat(header(0x7D, 0, 8000, 8000), Bytes(64))),
       ShpiStatus::kOk, ShpiStatus::kCorrupt},
      {"pixels short", raw_pack(1, {24}, cat(header(0x7F, 0, 4, 4), Bytes(47))), ShpiStatus::kOk,
       ShpiStatus::kCorrupt},
      {"whole entry stream corrupt", raw_pack(1, {24}, Bytes{0x10, 0xFB, 0, 0, 40, 0xE0}), ShpiStatus::kOk,
       ShpiStatus::kCorrupt},
  };
  for (const BadPack& c : cases) {
    SCOPED_TRACE(c.label);
    ShpiDirectory d;
    ShpiError error;
    ASSERT_EQ(shpi_scan(c.bytes.data(), c.bytes.size(), &d, &error), c.scan);
    if (c.scan != ShpiStatus::kOk) {
      EXPECT_NE(error.message[0], 0);
      EXPECT_TRUE(d.entries.empty());
      continue;
    }
    Picture picture;
    EXPECT_EQ(
        shpi_decode_entry(c.bytes.data(), c.bytes.size(), d, d.entries.size() - 1, &picture.image, &error),
        c.decode);
    EXPECT_NE(error.message[0], 0);
    EXPECT_EQ(picture.image.rgb, nullptr);
    EXPECT_EQ(picture.image.index, nullptr);
  }
}

TEST_F(Shpi, SizeFieldIsNotTrustedBeyondTheBytes) {
  const Bytes img = cat(header(0x7F, 0, 1, 1), Bytes(3));
  Bytes p = pack("GIMX", {{"img", img}});
  p[4] = 0xFF, p[5] = 0xFF;  // claims more than is there
  EXPECT_EQ(scan(p).entries[0].size, 19);
  p[4] = 20, p[5] = 0;  // would cut the block off
  EXPECT_EQ(scan(p).entries[0].size, 19);
  p.push_back(0xEE);  // bytes after a correct size field are not part of the last block
  p[4] = 43;
  EXPECT_EQ(scan(p).entries[0].size, 19);
}

}  // namespace
