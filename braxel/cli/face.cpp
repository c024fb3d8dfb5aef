// "-face": the edition probe, the picture lookup, the image packs of the game faces and of the
// large and small photos, the small-photo derivation and the built-in face palette.
#include "braxel/cli/face.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack.h"
#include "braxel/archive/update.h"
#include "braxel/cli/console/console.h"
#include "braxel/image/replace.h"
#include "braxel/image/shpi.h"

namespace {

struct Edition {
  const char* probe;  // below the base folder
  int year;
  const char* folder;
  const char* archive;
};

constexpr Edition kEditions[] = {
    {"required\\FACES.viv", 98, "required", "FACES.VIV"},
    {"gamedata\\FACES99.viv", 99, "gamedata", "FACES99.VIV"},
    {"gamedata\\FACES00.viv", 2000, "gamedata", "FACES00.VIV"},
    {"gamedata\\FACES01.viv", 2001, "gamedata", "FACES01.VIV"},
};

constexpr const char* kPictureExtensions[] = {".png", ".pcx", ".jpg", ".gif", ".bmp"};
constexpr const char* kPhotoFolder = "PHOTOS";
constexpr const char* kLargeArchive = "BPHOTO.VIV";
constexpr const char* kSmallArchive = "SPHOTO.VIV";

enum Kind { kGameFace = 0, kLarge = 1, kSmall = 2 };
constexpr int kMaskGameFace = 1;
constexpr int kMaskLarge = 2;
constexpr int kMaskSmall = 4;
constexpr int kMaxNumberChars = 4;

// A pixel whose components are all below this is dark (the outline around a face).
constexpr int kDark = 15;
// The top is the first row holding a component of at least this.
constexpr int kBright = 16;
constexpr double kSampleStep = 0.2;

std::string format_number(const char* format, long n) {
  char text[64];
  std::snprintf(text, sizeof text, format, n);
  return text;
}

std::string pack_name(int year, int kind, long n) {
  if (kind == kGameFace) return format_number("FAC%05.5ld.FSH", n);
  if (year != 98) return format_number("%04.4ld.fsh", n);
  const char* prefix = kind == kLarge ? "L" : "S";
  return prefix + format_number(n < 1000 ? "%03.3ld.FSH" : "%04.4ld.FSH", n);
}

std::string entry_name(int year, int kind, long n) {
  if (kind == kGameFace) return year == 98 ? "face" : "FAC1";
  if (year != 98) return format_number("%04.4ld", n);
  if (n >= 1000) return format_number("%04.4ld", n);
  return format_number(kind == kLarge ? "l%03.3ld" : "s%03.3ld", n);
}

// The first existing picture of a base name, trying the extensions in order; empty if none.
std::string find_picture(const std::string& base) {
  for (const char* ext : kPictureExtensions)
    if (console.exists((base + ext).c_str())) return base + ext;
  return {};
}

// The built-in face palette, a palette block of format 24: a grey ramp and seven ramps of skin
// and hair tones from dark to light.
std::vector<std::uint8_t> face_palette_block() {
  struct Ramp {
    std::uint8_t dark[3], light[3];
  };
  static constexpr Ramp kRamps[7] = {
      {{56, 40, 16}, {145, 113, 89}},    // dark skin
      {{70, 45, 25}, {190, 150, 120}},   // brown skin
      {{90, 60, 40}, {220, 180, 150}},   // light brown skin
      {{40, 28, 20}, {120, 90, 70}},     // dark hair
      {{100, 70, 30}, {230, 200, 120}},  // fair hair
      {{60, 30, 20}, {200, 120, 80}},    // red hair
      {{120, 90, 70}, {250, 226, 210}},  // pale skin
  };
  std::vector<std::uint8_t> block = {0x24, 0, 0, 0, 0, 1, 1, 0};  // 256 colours, height 1
  block.resize(kShpiBlockHeaderSize, 0);
  for (int i = 0; i < 32; ++i)
    for (int c = 0; c < 3; ++c) block.push_back(static_cast<std::uint8_t>(i * 255 / 31));
  for (const Ramp& r : kRamps)
    for (int i = 0; i < 32; ++i)
      for (int c = 0; c < 3; ++c)
        block.push_back(static_cast<std::uint8_t>(r.dark[c] + (r.light[c] - r.dark[c]) * i / 31));
  return block;
}

// The colour of a pixel of a decoded picture, indexed or true colour.
const std::uint8_t* pixel(const ShapeImage& p, int x, int y) {
  const std::size_t at = static_cast<std::size_t>(y) * p.width + x;
  return p.rgb != nullptr ? p.rgb + 3 * at : p.palette[p.index[at]];
}

bool dark(const ShapeImage& p, int x, int y) {
  const std::uint8_t* c = pixel(p, x, y);
  return c[0] < kDark && c[1] < kDark && c[2] < kDark;
}

// The size of the first picture of the template small-photo pack, for the editions that do not
// say which size they expect.
bool template_photo_size(const std::string& template_path, int* width, int* height) {
  PackEntry* dir = pack_open(template_path.c_str(), kScanFileOrder);
  if (dir == nullptr) return false;
  bool found = false;
  for (PackEntry* e = dir + 1; e->name[0] != '\0' && !found; ++e) {
    if ((e->kind & kKindImage) == 0 || e->width <= 0 || e->height <= 0) continue;
    *width = e->width;
    *height = e->height;
    found = true;
  }
  pack_release(dir);
  return found;
}

void create_or_fail(const std::string& template_path, const std::string& output, const std::string& picture,
                    const std::string& name, const char* model, int flags, const ExternalPalette& palette) {
  std::vector<std::string> words = {template_path, picture, name};
  if (model != nullptr) words.push_back(model);
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  if (create_pack(args.data(), static_cast<int>(args.size()), "", flags, output.c_str(), palette) != kExitOk)
    console.fatal("createshpi failed");
}

// A pack file's bytes as its entries see them (decompressed), and whether it was compressed.
std::vector<std::uint8_t> read_pack_file(const std::string& path, bool* compressed) {
  PackEntry* root = pack_root(path.c_str());
  std::int64_t size = 0;
  std::uint8_t* data = root != nullptr ? pack_read_whole(root, &size) : nullptr;
  if (data == nullptr) console.fatal("createshpi failed");
  std::vector<std::uint8_t> bytes(data, data + size);
  *compressed = root->compressed != 0;
  console.release(data);
  pack_release(root);
  return bytes;
}

// Appends the blocks of the pack `extra` after those of the pack `path` and writes the result over
// `path`, compressed again when it was.
void append_blocks(const std::string& path, const std::string& extra) {
  bool compressed = false, unused = false;
  const std::vector<std::uint8_t> first = read_pack_file(path, &compressed);
  const std::vector<std::uint8_t> second = read_pack_file(extra, &unused);
  ShpiDirectory a, b;
  ShpiError error;
  if (shpi_scan(first.data(), first.size(), &a, &error) != ShpiStatus::kOk ||
      shpi_scan(second.data(), second.size(), &b, &error) != ShpiStatus::kOk)
    console.fatal("createshpi failed");
  std::vector<ShpiOutBlock> blocks;
  auto add = [&](const ShpiDirectory& d, const std::vector<std::uint8_t>& bytes, bool with_area) {
    for (const ShpiEntry& e : d.entries) {
      if (e.pseudo && !with_area) continue;
      ShpiOutBlock out;
      std::memcpy(out.name, e.name, std::min(std::strlen(e.name), sizeof out.name - 1));
      out.data = bytes.data() + e.offset;
      out.size = static_cast<std::size_t>(e.size);
      out.pseudo = e.pseudo;
      blocks.push_back(out);
    }
  };
  add(a, first, true);
  add(b, second, false);
  ImageBytes merged;
  if (shpi_write(a.identifier, blocks.data(), blocks.size(), &merged, &error) != ShpiStatus::kOk)
    console.fatal("createshpi failed");
  auto length = static_cast<std::int32_t>(merged.size);
  auto* data = static_cast<std::uint8_t*>(console.allocate(merged.size));
  std::memcpy(data, merged.data, merged.size);
  image_bytes_release(&merged);
  if (compressed) data = stream_compress(data, &length);
  const std::string temp = path + ".~braxel";
  ConsoleFile* out = console.open(temp.c_str(), 1);
  const bool written = out != nullptr && console.write(out, data, length) == length && console.flush(out);
  if (out != nullptr) console.close(out);
  console.release(data);
  if (!written || !console.replace(temp.c_str(), path.c_str())) {
    console.remove(temp.c_str());
    console.fatal("couldn't write '%s'", path.c_str());
  }
  console.remove(extra.c_str());
}

void update_or_fail(const std::string& folder, const char* archive, const std::vector<std::string>& packs) {
  std::string names;
  for (const std::string& p : packs) names += p + '\0';
  names += '\0';
  if (pack_update("", (folder + "\\" + archive).c_str(), names.c_str(), 0) != kExitOk)
    console.fatal("couldn't update '%s\\%s'", folder.c_str(), archive);
}

}  // namespace

bool derive_small_photo(const ShapeImage& large, int width, int height, ShapeImage* small) {
  const int w = large.width, h = large.height;
  if (w <= 0 || h <= 0 || width <= 0 || height <= 0) return false;
  const int upper = 2 * h / 3;
  int left = w / 2, right = w / 2, top = -1;
  for (int y = 0; y < upper; ++y) {
    for (int x = w / 2; x >= 0; --x)
      if (dark(large, x, y)) {
        left = std::min(left, x);
        break;
      }
    for (int x = w / 2; x < w; ++x)
      if (dark(large, x, y)) {
        right = std::max(right, x);
        break;
      }
    if (top < 0)
      for (int x = 0; x < w; ++x) {
        const std::uint8_t* c = pixel(large, x, y);
        if (c[0] >= kBright || c[1] >= kBright || c[2] >= kBright) {
          top = y;
          break;
        }
      }
  }
  // A picture with nothing bright in its upper part has no face to find.
  if (top < 0) return false;
  left = std::max(0, left - 10);
  right = std::min(w, right + 10);
  top = std::max(0, top - 5);
  int bottom = h;
  for (int y = h - 1; y >= upper; --y)
    if (dark(large, 0, y) || dark(large, w - 1, y)) {
      bottom = std::min(h, y + 4);
      break;
    }
  // Widen the box (or, once it is as wide as the picture, shorten it) until it is wider than the
  // target's aspect.
  while (static_cast<double>(width) / height >= static_cast<double>(right - left) / (bottom - top)) {
    if (left == 0 && right == w) {
      ++top;
      bottom -= 2;
      if (bottom <= top) return false;
    } else {
      left = std::max(0, left - 1);
      right = std::min(w, right + 1);
    }
  }
  const double scale = static_cast<double>(right - left) / width;  // source pixels per target pixel
  const int rows = std::min(height, static_cast<int>((bottom - top) / scale));
  const std::size_t bytes = static_cast<std::size_t>(width) * height * 3;
  *small = ShapeImage{};
  small->width = static_cast<std::int16_t>(width);
  small->height = static_cast<std::int16_t>(height);
  small->rgb = static_cast<std::uint8_t*>(console.allocate(bytes));  // zero: the black rows on top
  for (int y = 0; y < rows; ++y) {
    std::uint8_t* out = small->rgb + 3 * (static_cast<std::size_t>(height - rows + y) * width);
    for (int x = 0; x < width; ++x, out += 3) {
      double sum[3] = {};
      int samples = 0;
      for (double sy = top + y * scale; sy < top + (y + 1) * scale; sy += kSampleStep)
        for (double sx = left + x * scale; sx < left + (x + 1) * scale; sx += kSampleStep) {
          const std::uint8_t* c = pixel(large, std::min(static_cast<int>(sx), right - 1),
                                        std::min(static_cast<int>(sy), bottom - 1));
          for (int k = 0; k < 3; ++k) sum[k] += c[k];
          ++samples;
        }
      for (int k = 0; k < 3 && samples > 0; ++k) out[k] = static_cast<std::uint8_t>(sum[k] / samples + 0.5);
    }
  }
  return true;
}

int face_command(const char* base, char* const* numbers, int count, int transparency) {
  std::string root = base;
  if (root.size() > 1 && root.back() != '\\' && root.back() != '/') root += '\\';
  const Edition* edition = nullptr;
  for (const Edition& e : kEditions)
    if (edition == nullptr && console.exists((root + e.probe).c_str())) edition = &e;
  if (edition == nullptr) console.fatal("can't find face files, wrong directory?");
  const int year = edition->year;

  struct Face {
    long n;
    std::string picture[3];
  };
  std::vector<Face> faces;
  int mask = 0;
  for (int i = 0; i < count; ++i) {
    const char* word = numbers[i];
    if (std::strlen(word) > kMaxNumberChars) console.fatal("too long filename ('%s')\n", word);
    if (word[0] == '\0' || std::strspn(word, "0123456789") != std::strlen(word))
      console.fatal("'%s' is not a face number", word);
    Face face{std::strtol(word, nullptr, 10), {}};
    static const char* const kPrefixes[] = {"G%04.4ld", "L%04.4ld", "S%04.4ld"};
    std::string tried[3];
    for (int kind = 0; kind < 3; ++kind) {
      tried[kind] = format_number(kPrefixes[kind], face.n);
      face.picture[kind] = find_picture(tried[kind]);
    }
    if (!face.picture[kLarge].empty())
      mask |= kMaskLarge;
    else
      console.print("WARNING: couldn't open large face (%s)\n", tried[kLarge].c_str());
    if (!face.picture[kSmall].empty() || (mask & kMaskLarge) != 0)
      mask |= kMaskSmall;
    else
      console.print("WARNING: couldn't open small face (%s)\n", tried[kSmall].c_str());
    if (!face.picture[kGameFace].empty())
      mask |= kMaskGameFace;
    else
      console.print("WARNING: couldn't open game face (%s)\n", tried[kGameFace].c_str());
    faces.push_back(face);
  }
  if (year >= 2000) mask &= ~kMaskGameFace;
  if (mask == 0) {
    console.print("no files found, exiting..\n");
    return kExitOk;
  }

  if ((mask & kMaskGameFace) != 0) {
    console.print("updating game faces... (%s\\%s)\n", edition->folder, edition->archive);
    const std::string archive = root + edition->folder + "\\" + edition->archive;
    const std::vector<std::uint8_t> palette = face_palette_block();
    std::vector<std::string> packs;
    for (const Face& f : faces) {
      if (f.picture[kGameFace].empty()) continue;
      const std::string output = pack_name(year, kGameFace, f.n);
      create_or_fail(archive + "\\FAC00001.FSH", output, f.picture[kGameFace],
                     entry_name(year, kGameFace, f.n), nullptr, transparency, ExternalPalette{});
      // Edition 99 keeps a second picture of the face, in the built-in palette, after the first:
      // made from the first pack as its model, then appended to it.
      if (year == 99) {
        const std::string second = output + ".FAC8";
        create_or_fail(output, second, f.picture[kGameFace], "FAC8", "FAC1", transparency,
                       ExternalPalette{palette.data(), static_cast<int>(palette.size())});
        append_blocks(output, second);
      }
      packs.push_back(output);
    }
    update_or_fail(root + edition->folder, edition->archive, packs);
    console.print("\n");
  }

  const std::string photos = root + kPhotoFolder;
  for (const int kind : {kLarge, kSmall}) {
    if ((mask & (kind == kLarge ? kMaskLarge : kMaskSmall)) == 0) continue;
    const char* archive = kind == kLarge ? kLargeArchive : kSmallArchive;
    console.print("updating %s faces... (%s\\%s)\n", kind == kLarge ? "large" : "small", kPhotoFolder,
                  archive);
    const std::string template_path = photos + "\\" + archive + "\\" + pack_name(year, kind, 1);
    std::vector<std::string> packs;
    for (const Face& f : faces) {
      std::string picture = f.picture[kind];
      if (picture.empty() && kind == kSmall && !f.picture[kLarge].empty()) {
        int width = year == 98 ? 52 : 36, height = year == 98 ? 74 : 43;
        if (year >= 2000 && !template_photo_size(template_path, &width, &height))
          console.fatal("couldn't read the small photo size of '%s'", template_path.c_str());
        ShapeImage large;
        ImageError error;
        std::vector<std::uint8_t> bytes;
        ConsoleFile* in = console.open(f.picture[kLarge].c_str(), 0);
        if (in == nullptr) console.fatal("couldn't read '%s'", f.picture[kLarge].c_str());
        bytes.resize(static_cast<std::size_t>(console.size(in)));
        const bool read = console.read(in, bytes.data(), static_cast<std::int64_t>(bytes.size())) ==
                          static_cast<std::int64_t>(bytes.size());
        console.close(in);
        if (!read) console.fatal("couldn't read '%s'", f.picture[kLarge].c_str());
        if (image_decode(bytes.data(), bytes.size(), &large, &error) != ImageStatus::kOk)
          console.fatal("'%s' is not an image file", f.picture[kLarge].c_str());
        ShapeImage small;
        const bool made = derive_small_photo(large, width, height, &small);
        shape_image_release(&large);
        if (!made) console.fatal("original picture size totally incorrect");
        char written[256] = {};
        image_write_file(kImagePng, format_number("S%04.4ld", f.n).c_str(), small, written, sizeof written);
        shape_image_release(&small);
        picture = written;
      }
      if (picture.empty()) continue;
      const std::string output = pack_name(year, kind, f.n);
      // The new pack is face 1's with this face's picture in place of face 1's.
      const std::string name = entry_name(year, kind, f.n), model = entry_name(year, kind, 1);
      create_or_fail(template_path, output, picture, name, name == model ? nullptr : model.c_str(),
                     kCreateOwnPalette | transparency, ExternalPalette{});
      packs.push_back(output);
    }
    update_or_fail(photos, archive, packs);
    console.print("\n");
  }
  return kExitOk;
}
