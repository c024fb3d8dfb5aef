// Pack archives: scanning a container into a directory block, nested pack paths and the read
// cursors that hand out an entry's readable (decompressed) bytes. The per-layout directory
// readers are in pack_formats.cpp.
#include "braxel/archive/pack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack_formats.h"
#include "braxel/cli/console/console.h"

namespace {

ImagePackReader g_shpi_reader = nullptr;
ImagePackReader g_orip_reader = nullptr;

// Full paths of the files behind root records: the record's own field holds only 127 characters
// and the cursor chain reopens the file by name.
std::unordered_map<const PackEntry*, std::string>& root_paths() {
  static auto* paths = new std::unordered_map<const PackEntry*, std::string>();
  return *paths;
}

// Direct cursors of one chain share the outermost file; it closes with the last of them.
std::unordered_map<ConsoleFile*, int>& file_users() {
  static auto* users = new std::unordered_map<ConsoleFile*, int>();
  return *users;
}

void release_file(ConsoleFile* file) {
  auto& users = file_users();
  auto it = users.find(file);
  if (it == users.end() || --it->second == 0) {
    if (it != users.end()) users.erase(it);
    console.close(file);
  }
}

void copy_text(char* to, std::size_t capacity, const char* from) {
  std::snprintf(to, capacity, "%s", from);
}

PackEntry* new_block(std::size_t records) {
  if (records > std::numeric_limits<std::size_t>::max() / sizeof(PackEntry))
    console.fatal("directory of %zu entries does not fit in memory", records);
  return static_cast<PackEntry*>(console.allocate(records * sizeof(PackEntry)));
}

// Where a message names a record: the file path of a root, else its entry name.
const char* shown_name(const PackEntry* entry) {
  if (entry->parent == nullptr) {
    auto it = root_paths().find(entry);
    if (it != root_paths().end()) return it->second.c_str();
  }
  return entry->name;
}

int depth_of(const PackEntry* entry) {
  int depth = 0;
  for (const PackEntry* p = entry; p != nullptr; p = p->parent) ++depth;
  return depth;
}

// Decompresses the console block data (stored bytes) into cursor memory; releases data.
bool decompress_into(EntryCursor* cursor, PackEntry* entry, std::uint8_t* data, std::int32_t size) {
  DecodeStatus status = DecodeStatus::kOk;
  std::int32_t length = size;
  std::uint8_t* plain = stream_decompress(data, &length, 1, &status);
  if (plain == nullptr) {
    console.release(data);
    console.print("'%s': compressed data is corrupt (%s)\n", console_printable(shown_name(entry)).c_str(),
                  decode_status_text(status));
    return false;
  }
  cursor->memory = plain;
  cursor->size = length;
  entry->compressed = 1;
  return true;
}

// A compressed stream of at most kMaxStreamSize bytes never needs more input than this; a larger
// file that starts like one is read only up to here and then fails as corrupt.
constexpr std::int64_t kMaxStreamInput = 2 * kMaxStreamSize + 4096;

bool open_root_cursor(PackEntry* entry, EntryCursor* cursor) {
  const char* path = shown_name(entry);
  ConsoleFile* file = console.open(path, 0);
  if (file == nullptr) {
    console.print("couldn't open '%s' for reading\n", path);
    return false;
  }
  const std::int64_t size = console.size(file);
  std::uint8_t head[kStreamHeaderSize] = {};
  const std::int64_t got = console.read(file, head, kStreamHeaderSize);
  if (stream_is_compressed(head, got, nullptr)) {
    const std::int64_t take = std::min(size, kMaxStreamInput);
    auto* data = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(take)));
    console.seek(file, 0, kSeekFromStart);
    const std::int64_t read = console.read(file, data, take);
    console.close(file);
    if (read != take) {
      console.release(data);
      console.print("couldn't read '%s'\n", path);
      return false;
    }
    return decompress_into(cursor, entry, data, static_cast<std::int32_t>(take));
  }
  cursor->direct = 1;
  cursor->file = file;
  file_users()[file] = 1;
  cursor->base = 0;
  cursor->size = size;
  return true;
}

bool open_child_cursor(PackEntry* entry, EntryCursor* cursor) {
  PackEntry* parent = entry->parent;
  if (!pack_open_cursor(parent)) return false;
  const EntryCursor* outer = parent->cursor;
  // Scanning checked this already; a record changed by hand must not read outside its parent.
  if (entry->offset < 0 || entry->size < 0 ||
      static_cast<std::int64_t>(entry->offset) + entry->size > outer->size) {
    console.print("'%s' lies outside its pack\n", entry->name);
    return false;
  }
  const auto stored = static_cast<std::size_t>(entry->size);
  if (outer->direct) {
    const std::int64_t base = outer->base + entry->offset;
    std::uint8_t head[kStreamHeaderSize] = {};
    console.seek(outer->file, base, kSeekFromStart);
    const std::int64_t got =
        console.read(outer->file, head, std::min<std::int64_t>(entry->size, kStreamHeaderSize));
    if (stream_is_compressed(head, got, nullptr)) {
      auto* data = static_cast<std::uint8_t*>(console.allocate(stored));
      console.seek(outer->file, base, kSeekFromStart);
      if (console.read(outer->file, data, entry->size) != entry->size) {
        console.release(data);
        console.print("couldn't read '%s'\n", entry->name);
        return false;
      }
      return decompress_into(cursor, entry, data, entry->size);
    }
    cursor->direct = 1;
    cursor->file = outer->file;
    ++file_users()[outer->file];
    cursor->base = base;
    cursor->size = entry->size;
    return true;
  }
  auto* data = static_cast<std::uint8_t*>(console.allocate(stored));
  std::memcpy(data, outer->memory + entry->offset, stored);
  if (stream_is_compressed(data, entry->size, nullptr))
    return decompress_into(cursor, entry, data, entry->size);
  cursor->memory = data;
  cursor->size = entry->size;
  return true;
}

void release_tree(PackEntry* block) {
  for (PackEntry* r = block;; ++r) {
    if (r != block && r->name[0] == '\0') break;
    if (r->first_child != nullptr) release_tree(r->first_child);
    r->first_child = nullptr;
    pack_close(r, 0);
  }
  if (block->parent == nullptr) root_paths().erase(block);
  console.release(block);
}

bool name_is_qpp(const char* name) {
  const std::size_t n = std::strlen(name);
  if (n <= 4) return false;
  return pack_name_compare(name + n - 4, ".qpp") == 0 || pack_name_compare(name + n - 4, ".ppv") == 0;
}

}  // namespace

void pack_set_image_readers(ImagePackReader shpi, ImagePackReader orip) {
  g_shpi_reader = shpi;
  g_orip_reader = orip;
}

int pack_name_compare(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int x = static_cast<unsigned char>(*a);
    int y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y || x == 0) return x - y;
  }
}

PackEntry* pack_root(const char* path) {
  ConsoleFile* file = console.open(path, 0);
  if (file == nullptr) return nullptr;
  const std::int64_t size = console.size(file);
  console.close(file);
  if (size > std::numeric_limits<std::int32_t>::max()) {
    console.print("'%s' is too large for a pack (%lld bytes)\n", path, static_cast<long long>(size));
    return nullptr;
  }
  PackEntry* block = new_block(2);
  copy_text(block->container, sizeof block->container, path);
  copy_text(block->name, sizeof block->name, path);
  copy_text(block->type, sizeof block->type, "----");
  block->alloc_kind = 1;
  block->home = block;
  block->size = static_cast<std::int32_t>(size);
  block->width = block->height = -1;
  root_paths()[block] = path;
  return block;
}

int pack_open_cursor(PackEntry* entry) {
  if (entry == nullptr) console.fatal("openlist() zero list");
  if (entry->cursor != nullptr) return 1;
  auto* cursor = static_cast<EntryCursor*>(console.allocate(sizeof(EntryCursor)));
  const bool ok =
      entry->parent == nullptr ? open_root_cursor(entry, cursor) : open_child_cursor(entry, cursor);
  if (!ok) {
    console.release(cursor);
    return 0;
  }
  entry->cursor = cursor;
  return 1;
}

std::int64_t pack_read(PackEntry* entry, void* buffer, std::int64_t count) {
  if (count < 0) console.fatal("lenght<0");
  if (!pack_open_cursor(entry)) return 0;
  EntryCursor* c = entry->cursor;
  if (c->pos > c->size) console.fatal("seek out of file size");
  count = std::min(count, c->size - c->pos);
  if (count == 0) return 0;
  std::int64_t got;
  if (c->direct) {
    console.seek(c->file, c->base + c->pos, kSeekFromStart);
    got = console.read(c->file, buffer, count);
  } else {
    std::memcpy(buffer, c->memory + c->pos, static_cast<std::size_t>(count));
    got = count;
  }
  c->pos += got;
  return got;
}

void pack_seek(PackEntry* entry, std::int64_t position, int mode) {
  if (mode == 0 && position < 0) console.fatal("seeklist SEEK_SET<0");
  if (mode != 0 && mode != 1) console.fatal("illegal seek mode");
  if (!pack_open_cursor(entry)) return;
  EntryCursor* c = entry->cursor;
  c->pos = mode == 0 ? position : std::max<std::int64_t>(0, c->pos + position);
}

std::int64_t pack_readable_size(PackEntry* entry) {
  if (!pack_open_cursor(entry)) return -1;
  return entry->cursor->size;
}

std::uint8_t* pack_read_whole(PackEntry* entry, std::int64_t* size) {
  const std::int64_t length = pack_readable_size(entry);
  if (length < 0) return nullptr;
  auto* data = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(length)));
  pack_seek(entry, 0, 0);
  if (pack_read(entry, data, length) != length) {
    console.release(data);
    console.print("couldn't read '%s'\n", shown_name(entry));
    return nullptr;
  }
  *size = length;
  return data;
}

void pack_close(PackEntry* entry, int whole_chain) {
  for (PackEntry* e = entry; e != nullptr; e = whole_chain ? e->parent : nullptr) {
    if (EntryCursor* c = e->cursor) {
      if (c->file != nullptr) release_file(c->file);
      console.release(c->memory);
      console.release(c);
      e->cursor = nullptr;
    }
  }
}

PackEntry* pack_scan(PackEntry* container, int flags) {
  if (depth_of(container) > kMaxPackDepth) {
    console.print("'%s': packs nested deeper than %d levels\n", container->name, kMaxPackDepth);
    return nullptr;
  }
  if (!pack_open_cursor(container)) return nullptr;
  // Scanning again replaces the earlier block.
  if (container->first_child != nullptr) {
    release_tree(container->first_child);
    container->first_child = nullptr;
  }
  const std::int64_t readable = container->cursor->size;
  std::uint8_t head[kPackProbeBytes] = {};
  pack_seek(container, 0, 0);
  const std::int64_t n = pack_read(container, head, kPackProbeBytes);
  const PackSource source{container, readable, shown_name(container)};

  std::vector<PackEntry> entries;
  bool ok = false;
  bool keep_order = (flags & kScanFileOrder) != 0;
  auto starts = [&](const char* magic) {
    const std::size_t len = std::strlen(magic);
    return n >= static_cast<std::int64_t>(len) && std::memcmp(head, magic, len) == 0;
  };
  if (starts("BIGF")) {
    ok = read_bigf(source, entries);
  } else if (starts("SHP")) {
    if (g_shpi_reader != nullptr)
      ok = g_shpi_reader(container, entries) != 0;
    else
      console.print("'%s' is an image pack; image packs cannot be read in this version\n", source.shown);
  } else if (starts("ORIP")) {
    keep_order = true;
    if (g_orip_reader != nullptr)
      ok = g_orip_reader(container, entries) != 0;
    else
      console.print("'%s' is an ORIP record; ORIP records cannot be read in this version\n", source.shown);
  } else if (n >= 2 && head[0] == 0xC0 && head[1] == 0xFB) {
    ok = read_c0fb(source, entries);
  } else if (starts("SCH") || starts("BNK")) {
    ok = false;
  } else if (starts("APUK")) {
    ok = read_apuk(source, entries);
  } else if (n >= 8 && mas_rule(head, readable)) {
    ok = read_mas(source, entries);
  } else if (fst_rule(head, n, readable)) {
    ok = read_fst(source, entries);
  } else if (name_is_qpp(source.shown)) {
    ok = read_qpp(source, entries);
  }
  pack_seek(container, 0, 0);
  if (!ok) return nullptr;

  if (!keep_order)
    std::stable_sort(entries.begin(), entries.end(), [](const PackEntry& a, const PackEntry& b) {
      return pack_name_compare(a.name, b.name) < 0;
    });

  PackEntry* block = new_block(entries.size() + 2);
  PackEntry& self = block[0];
  copy_text(self.container, sizeof self.container, container->container);
  copy_text(self.name, sizeof self.name, container->name);
  copy_text(self.type, sizeof self.type, container->type);
  self.alloc_kind = 1;
  self.parent = container;
  self.home = block;
  self.size =
      static_cast<std::int32_t>(std::min<std::int64_t>(readable, std::numeric_limits<std::int32_t>::max()));
  self.width = self.height = -1;

  // Entries name the path of the pack they sit in.
  std::string where = container->parent == nullptr
                          ? std::string(source.shown)
                          : std::string(container->container) + "\\" + container->name;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PackEntry& e = block[i + 1];
    e = entries[i];
    copy_text(e.container, sizeof e.container, where.c_str());
    if (e.type[0] == '\0') copy_text(e.type, sizeof e.type, "----");
    e.alloc_kind = 0;
    e.parent = container;
    e.first_child = nullptr;
    e.cursor = nullptr;
    e.home = block;
  }
  container->first_child = block;
  return block;
}

int pack_count(const PackEntry* dir) {
  int n = 0;
  while (dir[n + 1].name[0] != '\0') ++n;
  return n;
}

PackEntry* pack_find(PackEntry* dir, const char* name) {
  for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e)
    if (pack_name_compare(e->name, name) == 0) return e;
  return nullptr;
}

void pack_release(PackEntry* dir) {
  if (dir == nullptr) return;
  PackEntry* top = dir;
  while (top->parent != nullptr) top = top->parent->home;
  release_tree(top);
}

PackEntry* pack_open(const char* path, int flags) {
  std::string file = path;
  std::vector<std::string> components;  // innermost last
  PackEntry* root;
  while ((root = pack_root(file.c_str())) == nullptr) {
    const std::size_t cut = file.find_last_of("\\/");
    if (cut == std::string::npos) console.fatal("couldn't open pack file '%s'\n", path);
    if (cut + 1 < file.size()) components.insert(components.begin(), file.substr(cut + 1));
    file.resize(cut);
  }
  console.print("pack file '%s' opened\n", file.c_str());
  PackEntry* dir = pack_scan(root, flags);
  if (dir == nullptr) {
    console.print("couldn't scan packfile '%s'\n", file.c_str());
    pack_release(root);
    return nullptr;
  }
  std::string where = file;
  for (const std::string& name : components) {
    PackEntry* entry = pack_find(dir, name.c_str());
    if (entry == nullptr) {
      console.print("couldn't find '%s' inside '%s'\n", name.c_str(), where.c_str());
      pack_release(dir);
      return nullptr;
    }
    PackEntry* inner = pack_scan(entry, flags);
    pack_close(entry, 1);
    if (inner == nullptr) {
      console.print("couldn't scan directory '%s'\n", name.c_str());
      pack_release(dir);
      return nullptr;
    }
    dir = inner;
    where += "\\" + name;
  }
  return dir;
}
