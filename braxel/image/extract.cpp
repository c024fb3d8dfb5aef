// Image packs inside the archive layer and the image extract commands.
#include "braxel/image/extract.h"

#include <cstring>
#include <string>
#include <unordered_set>

#include "braxel/cli/console/console.h"
#include "braxel/image/imagefile.h"
#include "braxel/image/shpi.h"

namespace {

void copy_text(char* to, std::size_t capacity, const char* from) {
  std::size_t n = std::strlen(from);
  if (n >= capacity) n = capacity - 1;
  std::memcpy(to, from, n);
  to[n] = '\0';
}

using Scanner = ShpiStatus (*)(const std::uint8_t*, std::size_t, ShpiDirectory*, ShpiError*);

int read_with(Scanner scan, PackEntry* container, std::vector<PackEntry>& out) {
  std::int64_t size = 0;
  std::uint8_t* data = pack_read_whole(container, &size);
  if (data == nullptr) return 0;
  ShpiDirectory directory;
  ShpiError error;
  const ShpiStatus status = scan(data, static_cast<std::size_t>(size), &directory, &error);
  console.release(data);
  if (status != ShpiStatus::kOk) {
    if (error.message[0] != '\0')
      console.print("'%s': %s\n", console_printable(container->name).c_str(), error.message);
    return 0;
  }
  for (const ShpiEntry& e : directory.entries) {
    PackEntry p{};
    copy_text(p.name, sizeof p.name, e.name);
    // The area between the directory and the first block is plain data, whatever the pack.
    copy_text(p.type, sizeof p.type, e.pseudo ? "----" : e.type);
    p.kind = e.pseudo ? 0 : e.kind;
    p.palette_kind = e.pseudo ? 0 : e.palette_kind;
    p.offset = e.offset;
    p.size = e.size;
    p.width = e.pseudo ? -1 : e.width;
    p.height = e.pseudo ? -1 : e.height;
    out.push_back(p);
  }
  return 1;
}

// The pack an image entry sits in, read whole and scanned once for all its entries.
struct LoadedPack {
  PackEntry* container = nullptr;
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  ShpiDirectory directory;

  ~LoadedPack() { console.release(data); }

  bool load(PackEntry* c) {
    if (c == container) return data != nullptr;
    console.release(data);
    data = nullptr;
    container = c;
    directory = ShpiDirectory{};
    std::int64_t n = 0;
    data = pack_read_whole(c, &n);
    if (data == nullptr) return false;
    size = static_cast<std::size_t>(n);
    ShpiError error;
    if (shpi_scan(data, size, &directory, &error) != ShpiStatus::kOk) {
      console.release(data);
      data = nullptr;
      return false;
    }
    return true;
  }

  // The scanned entry a directory record stands for (names repeat only in damaged packs, so the
  // offset decides).
  int index_of(const PackEntry* e) const {
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
      const ShpiEntry& s = directory.entries[i];
      if (!s.pseudo && s.offset == e->offset && std::strcmp(s.name, e->name) == 0) return static_cast<int>(i);
    }
    return -1;
  }
};

// The extension the image writer gives a file of this format.
const char* extension_of(int image_format) {
  switch (image_format) {
    case kImageBmp:
      return ".bmp";
    case kImagePcx:
      return ".pcx";
    case kImageGif:
      return ".gif";
    default:
      return ".png";
  }
}

bool in_name_list(const char* names, const char* name) {
  for (const char* n = names; *n != '\0'; n += std::strlen(n) + 1)
    if (pack_name_compare(n, name) == 0) return true;
  return false;
}

}  // namespace

int shpi_pack_reader(PackEntry* container, std::vector<PackEntry>& out) {
  return read_with(shpi_scan, container, out);
}

int orip_pack_reader(PackEntry* container, std::vector<PackEntry>& out) {
  return read_with(orip_scan, container, out);
}

void image_pack_install() {
  pack_set_image_readers(shpi_pack_reader, orip_pack_reader);
}

int image_extract(const char* path, const char* names, int image_format) {
  PackEntry* dir = pack_open(path, 0);
  if (dir == nullptr) {
    console.print("Couldn't load directory '%s'\n", path);
    return kExitFailure;
  }
  const bool every = names == nullptr || names[0] == '\0';
  int status = kExitOk;
  LoadedPack pack;
  std::unordered_set<std::string> written;
  for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) {
    if (!every && !in_name_list(names, e->name)) continue;
    const std::int64_t size = pack_readable_size(e);
    if (size < 0) {
      status = kExitFailure;
      continue;
    }
    pack_close(e, 0);
    if ((e->kind & kKindImage) == 0) {
      console.print("%8lld %s\n", static_cast<long long>(size), console_printable(e->name).c_str());
      console.print("Not an image file!\n");
      continue;
    }
    console.print("%8lld %s %d*%d (%s)\n", static_cast<long long>(size), console_printable(e->name).c_str(),
                  e->width, e->height, console_printable(e->type).c_str());
    // The file is named after the entry: the same rules as unpacking keep it below this folder.
    const char* why = nullptr;
    const std::string target = unpack_target(e->name, extension_of(image_format), written, &why);
    if (target.empty()) {
      console.print("'%s' not extracted: %s\n", console_printable(e->name).c_str(), why);
      status = kExitFailure;
      continue;
    }
    const int index = (e->kind & kKindOrip) == 0 && pack.load(e->parent) ? pack.index_of(e) : -1;
    ShapeImage picture;
    ShpiError error;
    if (index < 0 || shpi_decode_entry(pack.data, pack.size, pack.directory, static_cast<std::size_t>(index),
                                       &picture, &error) != ShpiStatus::kOk) {
      const std::string shown = console_printable(e->name);
      if (index >= 0 && error.message[0] != '\0') console.print("'%s': %s\n", shown.c_str(), error.message);
      console.fatal("'%s' is corrupt or not an image or has unknown format", shown.c_str());
    }
    image_write_file(image_format, target.c_str(), picture);
    shape_image_release(&picture);
  }
  pack_release(dir);
  return status;
}
