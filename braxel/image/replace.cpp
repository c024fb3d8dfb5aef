// The image replacement flow: items from the command line, blocks built on template blocks,
// and the new pack written whole (and, for "-r", put back into its archive).
#include "braxel/image/replace.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack.h"
#include "braxel/archive/update.h"
#include "braxel/cli/console/console.h"
#include "braxel/image/quantize.h"
#include "braxel/image/shpi.h"

namespace {

// Copied names are printed on lines of this many columns.
constexpr int kCopyColumns = 74;
// Bytes of a palette block read when comparing palettes: 16 header bytes and 256 entries of 4.
constexpr std::size_t kPaletteBudget = 1040;

constexpr const char* kImageExtensions[] = {"jpeg", "png", "pcx", "bmp", "gif", "jpg", "iff", "lbm"};

bool is_image_name(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr || std::strpbrk(dot, "/\\") != nullptr) return false;
  for (const char* ext : kImageExtensions)
    if (::strcasecmp(dot + 1, ext) == 0) return true;
  return false;
}

// SHPI names have 4 characters.
void set_name(char (&to)[5], const char* from) {
  std::size_t n = std::strlen(from);
  if (n > 4) n = 4;
  std::memcpy(to, from, n);
  to[n] = '\0';
}

std::uint16_t le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// The template pack: its bytes, kept whole, and its entries in file order.
struct TemplatePack {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool compressed = false;
  ShpiDirectory directory;

  ~TemplatePack() { console.release(data); }

  // The entry of that name (letter case ignored), the "----" area left out; -1 when none.
  int find(const char* name) const {
    for (std::size_t i = 0; i < directory.entries.size(); ++i)
      if (!directory.entries[i].pseudo && pack_name_compare(directory.entries[i].name, name) == 0)
        return static_cast<int>(i);
    return -1;
  }
};

void load_template(const std::string& path, TemplatePack* pack) {
  PackEntry* dir = pack_open(path.c_str(), kScanFileOrder);
  if (dir == nullptr) console.fatal("couldn't scan original pack file '%s'", path.c_str());
  PackEntry* container = dir[0].parent;
  std::int64_t size = 0;
  pack->data = pack_read_whole(container, &size);
  pack->compressed = container->compressed != 0;
  pack_release(dir);
  if (pack->data == nullptr) console.fatal("couldn't read original pack file '%s'", path.c_str());
  pack->size = static_cast<std::size_t>(size);
  ShpiError error;
  if (!shpi_identify(pack->data, pack->size) ||
      shpi_scan(pack->data, pack->size, &pack->directory, &error) != ShpiStatus::kOk)
    console.fatal("'%s' is not an SHPI pack file", path.c_str());
}

void read_data_file(ReplaceItem* item) {
  ConsoleFile* file = console.open(item->path, 0);
  if (file == nullptr) console.fatal("couldn't open %s '%s'\n", "data", item->path);
  const std::int64_t size = console.size(file);
  if (size < 0 || size > 0x7FFFFFFF) {
    console.close(file);
    console.fatal("couldn't open %s '%s'\n", "data", item->path);
  }
  item->data = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(size) + 1));
  const std::int64_t got = console.read(file, item->data, size);
  console.close(file);
  if (got != size) console.fatal("couldn't open %s '%s'\n", "data", item->path);
  item->size = static_cast<std::int32_t>(size);
}

// Reads the operands in groups of file, new name and (when the new name is not in the pack)
// template name. Gives the number of items.
int read_items(char* const* ops, int count, const TemplatePack& pack, std::vector<ReplaceItem>& items) {
  console.print("reading data/image files..\n");
  int n = 0;
  int i = 0;
  while (i + 1 < count) {
    // The last item stays empty.
    if (n == kReplaceItems - 1)
      console.fatal("too many images and data files: at most %d fit into one run", kReplaceItems - 1);
    ReplaceItem& item = items[static_cast<std::size_t>(n)];
    const char* file = ops[i];
    const char* name = ops[i + 1];
    if (std::strlen(name) > kReplaceNameChars) console.fatal("SHPI-name '%s' too long (>4)", name);
    item.path = file;
    std::snprintf(item.new_name, sizeof item.new_name, "%s", name);
    if (is_image_name(file)) {
      image_load_file(file, &item.picture);
      item.width = item.picture.width;
      item.height = item.picture.height;
      item.kind = 1;
      item.size = static_cast<std::int32_t>(item.width) * item.height;
    } else {
      item.is_data = 1;
      read_data_file(&item);
    }
    if (pack.find(name) >= 0) {
      std::snprintf(item.template_name, sizeof item.template_name, "%s", name);
      i += 2;
    } else {
      if (i + 2 >= count) console.fatal("expected original SHPI-name because '%s' not found", name);
      const char* model = ops[i + 2];
      if (std::strlen(model) > kReplaceNameChars)
        console.fatal("original SHPI name too long ('%s')\n", model);
      if (pack.find(model) < 0) console.fatal("original SHPI name '%s' not in pack file\n", model);
      std::snprintf(item.template_name, sizeof item.template_name, "%s", model);
      i += 3;
    }
    if (item.is_data)
      console.print("Data:'%s' Size:%ld SHPI:'%s' OSHPI:'%s'\n", file, static_cast<long>(item.size),
                    item.new_name, item.template_name);
    else
      console.print("Image:'%s' Size:%ld W:%ld H:%ld BPP:%ld SHPI:'%s' OSHPI:'%s'\n", file,
                    static_cast<long>(item.size), static_cast<long>(item.width),
                    static_cast<long>(item.height), 8L, item.new_name, item.template_name);
    ++n;
  }
  if (n == 0) console.fatal("no datafiles or images found");
  return n;
}

struct BuildContext {
  const TemplatePack* pack;
  int flags;
  const ExternalPalette* external;
};

// Builds the block of an image item modelled on template entry `model`.
void build_image_block(const BuildContext& context, int model, ReplaceItem& item, ImageBytes* out) {
  const TemplatePack& pack = *context.pack;
  const ShpiEntry& entry = pack.directory.entries[static_cast<std::size_t>(model)];
  const std::uint8_t* block = pack.data + entry.offset;
  const std::size_t block_size = static_cast<std::size_t>(entry.size);
  if (block_size < kShpiBlockHeaderSize || shpi_lookup_format(block[0]) == nullptr)
    console.fatal("original '%s' is not an image of a known format", entry.name);
  const ShpiPixelFormat* format = shpi_lookup_format(block[0]);
  const int code = block[0] & 0x7F;

  std::int32_t attachment = shpi_attachment_offset(block);
  if (attachment != 0 &&
      (attachment < kShpiBlockHeaderSize || static_cast<std::size_t>(attachment) >= block_size)) {
    console.print("WARNING: corrupt palette offset (%d > %d)\n", static_cast<int>(attachment),
                  static_cast<int>(block_size));
    attachment = 0;
  }
  const int old_width = le16(block + 4);
  const int old_height = le16(block + 6);
  if (old_width != item.width || old_height != item.height)
    console.print("WARNING: size mismatch (orig %dx%d, new %dx%d)\n", old_width, old_height, item.width,
                  item.height);

  // The attachment goes into the new block as a copy; an own palette is rewritten in that copy.
  std::vector<std::uint8_t> attached;
  if (attachment > 0) attached.assign(block + attachment, block + block_size);
  ShapeImage& picture = item.picture;

  if (format->palettised) {
    std::uint8_t target[256][4] = {};
    bool have_target = false;
    const bool own_block = !attached.empty() && attached[0] != 0x7C;
    if (own_block) {
      have_target = shpi_decode_palette(attached.data(), std::min(attached.size(), kPaletteBudget), target,
                                        nullptr, nullptr) > 0;
    } else {
      // The pack's palette serves as a working copy: the palette entry itself is not changed.
      ShapeImage found;
      if (shpi_find_palette(pack.data, pack.size, pack.directory, static_cast<std::size_t>(model), &found)) {
        std::memcpy(target, found.palette, sizeof target);
        have_target = true;
      } else {
        console.print("WARNING: no palette in pack file\n");
      }
      shape_image_release(&found);
      if (context.external->data != nullptr) {
        console.print("using supplied external palette file\n");
        std::uint8_t external[256][4] = {};
        if (shpi_decode_palette(context.external->data, static_cast<std::size_t>(context.external->size),
                                external, nullptr, nullptr) > 0) {
          std::memcpy(target, external, sizeof target);
          have_target = true;
        } else {
          console.print("WARNING: the external palette file holds no palette block\n");
        }
      }
    }

    if (have_target) {
      const bool transparency = (context.flags & kCreateTransparency) != 0;
      const std::size_t pixels = static_cast<std::size_t>(item.width) * static_cast<std::size_t>(item.height);
      const int transparent = shpi_transparent_index(picture.index, item.width, item.height);
      if ((context.flags & kCreateOwnPalette) == 0) {
        bool differs = false;
        for (int c = 0; c < 256 && !differs; ++c)
          differs = std::memcmp(picture.palette[c], target[c], 3) != 0;
        if (differs) {
          console.print("palettes are different, remapping...\n");
          std::uint8_t map[256];
          PaletteMatcher matcher;
          match_prepare(&matcher, &target[0][0], 256, 0);
          for (int c = 0; c < 256; ++c)
            map[c] = static_cast<std::uint8_t>(
                match_colour(&matcher, picture.palette[c][0], picture.palette[c][1], picture.palette[c][2]));
          match_end(&matcher);
          for (std::size_t p = 0; p < pixels; ++p)
            picture.index[p] = transparency && picture.index[p] == transparent ? 0 : map[picture.index[p]];
        }
        for (int c = 0; c < 256; ++c)
          if (!transparency || (c != 0 && target[c][3] != 0)) target[c][3] = 255;
        if (own_block) shpi_encode_palette(attached.data(), attached.size(), target);
      } else {
        console.print("creating new palette\n");
        if (transparency && transparent != 0) {
          const auto t = static_cast<std::uint8_t>(transparent);
          for (std::size_t p = 0; p < pixels; ++p) {
            if (picture.index[p] == t)
              picture.index[p] = 0;
            else if (picture.index[p] == 0)
              picture.index[p] = t;
          }
          std::uint8_t swap[4];
          std::memcpy(swap, picture.palette[0], 4);
          std::memcpy(picture.palette[0], picture.palette[t], 4);
          std::memcpy(picture.palette[t], swap, 4);
        }
        if (own_block) shpi_encode_palette(attached.data(), attached.size(), picture.palette);
      }
    }
  }

  ImageBytes pixels;
  ShpiError error;
  if (shpi_encode_pixels(code, picture, &pixels, &error) != ShpiStatus::kOk) {
    image_bytes_release(&pixels);
    console.fatal("couldn't encode '%s': %s", item.path, error.message);
  }
  shpi_build_block(block, code, item.width, item.height, pixels.data, pixels.size,
                   attached.empty() ? nullptr : attached.data(), attached.size(), out);
  image_bytes_release(&pixels);
}

// Prints copied names on wrapped lines.
struct CopyLine {
  bool open = false;
  int column = 0;

  void add(const char* name) {
    const int width = static_cast<int>(std::strlen(name)) + 1;
    if (!open) {
      console.print("copying ");
      column = 8;
      open = true;
    } else if (column + width > kCopyColumns) {
      console.print("\n        ");
      column = 8;
    }
    console.print("%s ", name);
    column += width;
  }
  void close() {
    if (open) console.print("\n");
    open = false;
  }
};

// Writes bytes to name through a flushed temporary file renamed into place.
void write_whole(const char* name, const std::uint8_t* data, std::size_t size) {
  const std::string temp = std::string(name) + ".~braxel";
  ConsoleFile* out = console.open(temp.c_str(), 1);
  if (out == nullptr) console.fatal("couldn't open '%s' for writing\n", name);
  const bool ok =
      console.write(out, data, static_cast<std::int64_t>(size)) == static_cast<std::int64_t>(size) &&
      console.flush(out);
  console.close(out);
  if (!ok) {
    console.remove(temp.c_str());
    console.fatal("write error while writing '%s' (disk full?)", name);
  }
  if (!console.replace(temp.c_str(), name)) {
    console.remove(temp.c_str());
    console.fatal("couldn't open '%s' for writing\n", name);
  }
}

}  // namespace

int create_pack(char* const* args, int count, const char* base, int flags, const char* output,
                const ExternalPalette& palette) {
  std::string path = base;
  if (!path.empty() && path.back() != '\\' && path.back() != '/' && path.back() != ':') path += '\\';
  path += args[0];
  if (path.empty()) console.fatal("corrupt pack-file name\n");
  int first = 1;
  if (output == nullptr) {
    output = args[1];
    first = 2;
  }

  console.print("scanning original pack file\n");
  TemplatePack pack;
  load_template(path, &pack);

  std::vector<ReplaceItem> items(kReplaceItems);
  const int item_count = read_items(args + first, count - first, pack, items);

  console.print("creating new SHPI file '%s'\n", output);
  const BuildContext context{&pack, flags, &palette};
  std::vector<ImageBytes> built;
  built.reserve(static_cast<std::size_t>(item_count));
  std::vector<ShpiOutBlock> blocks;
  CopyLine line;
  int copied = 0;
  int replaced = 0;
  int added = 0;
  for (std::size_t e = 0; e < pack.directory.entries.size(); ++e) {
    const ShpiEntry& entry = pack.directory.entries[e];
    bool used = false;
    for (int i = 0; i < item_count && !entry.pseudo; ++i) {
      ReplaceItem& item = items[static_cast<std::size_t>(i)];
      if (pack_name_compare(item.template_name, entry.name) != 0) continue;
      line.close();
      ShpiOutBlock out;
      if (pack_name_compare(item.new_name, entry.name) == 0) {
        set_name(out.name, entry.name);
        if (item.is_data)
          console.print("replacing '%s' with '%s'\n", entry.name, item.path);
        else
          console.print("replacing image '%s' with '%s' (%ldx%ld)\n", entry.name, item.path,
                        static_cast<long>(item.width), static_cast<long>(item.height));
        ++replaced;
      } else {
        set_name(out.name, item.new_name);
        if (item.is_data)
          console.print("adding '%s'\n", item.new_name);
        else
          console.print("adding '%s' (%ldx%ld)\n", item.new_name, static_cast<long>(item.width),
                        static_cast<long>(item.height));
        ++added;
      }
      used = true;
      built.emplace_back();
      ImageBytes& bytes = built.back();
      if (item.is_data)
        image_bytes_append(&bytes, item.data, static_cast<std::size_t>(item.size));
      else
        build_image_block(context, static_cast<int>(e), item, &bytes);
      out.data = bytes.data;
      out.size = bytes.size;
      blocks.push_back(out);
    }
    if (used) continue;
    line.add(entry.name);
    ShpiOutBlock out;
    set_name(out.name, entry.name);
    out.data = pack.data + entry.offset;
    out.size = static_cast<std::size_t>(entry.size);
    out.pseudo = entry.pseudo;
    blocks.push_back(out);
    ++copied;
  }
  line.close();
  console.print("copied %d, replaced %d and added %d\n", copied, replaced, added);
  if (pack.compressed) flags |= kCreateCompress;
  console.print("original was %s\n", pack.compressed ? "compressed" : "not compressed");

  ImageBytes file;
  ShpiError error;
  if (shpi_write(pack.directory.identifier, blocks.data(), blocks.size(), &file, &error) != ShpiStatus::kOk)
    console.fatal("couldn't lay out '%s': %s", output, error.message);
  for (ImageBytes& bytes : built) image_bytes_release(&bytes);
  if ((flags & kCreateCompress) != 0) {
    if (file.size > 0x7FFFFFFF) console.fatal("'%s' is too large to compress", output);
    auto* copy = static_cast<std::uint8_t*>(console.allocate(file.size + 1));
    std::memcpy(copy, file.data, file.size);
    auto size = static_cast<std::int32_t>(file.size);
    std::uint8_t* packed = stream_compress(copy, &size);
    write_whole(output, packed, static_cast<std::size_t>(size));
    console.release(packed);
  } else {
    write_whole(output, file.data, file.size);
  }
  image_bytes_release(&file);
  for (int i = 0; i < item_count; ++i) {
    shape_image_release(&items[static_cast<std::size_t>(i)].picture);
    console.release(items[static_cast<std::size_t>(i)].data);
  }
  console.print("%s successfully created\n", output);
  return kExitOk;
}

int replace_in_pack(char* const* args, int count, int own_palette, int transparency,
                    const ExternalPalette& palette) {
  const std::string whole = args[0];
  const std::size_t cut = whole.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string() : whole.substr(0, cut);
  const std::string name = cut == std::string::npos ? whole : whole.substr(cut + 1);
  if (name.empty()) console.fatal("corrupt pack-file name\n");

  const int flags = (own_palette ? kCreateOwnPalette : 0) | (transparency & kCreateTransparency);
  // create_pack takes the template path from args[0] and the items after it.
  const int status = create_pack(args, count, "", flags, name.c_str(), palette);
  if (status != kExitOk || folder.empty()) return status;

  // The longest leading part of the folder that is a file is the archive the pack came from.
  std::string archive = folder;
  while (!archive.empty() && !console.exists(archive.c_str())) {
    const std::size_t at = archive.find_last_of("\\/");
    archive = at == std::string::npos ? std::string() : archive.substr(0, at);
  }
  if (archive.empty()) return kExitOk;
  if (archive != folder) {
    // Putting the pack into the outer archive would add it beside the nested archive it came
    // from instead of replacing it there.
    console.print("'%s' lies in a nested archive inside '%s': '%s' is left in the current folder\n",
                  whole.c_str(), archive.c_str(), name.c_str());
    return kExitFailure;
  }
  char* names = static_cast<char*>(console.allocate(name.size() + 2));
  std::memcpy(names, name.c_str(), name.size());
  const int updated = pack_update("", archive.c_str(), names, 0);
  console.release(names);
  if (updated == kExitOk) console.remove(name.c_str());
  return updated;
}
