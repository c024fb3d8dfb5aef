// Archive update: the "-p", "-p1" and "-d" commands and the rewrite of BIGF, C0FB and FST
// archives. The new archive is written completely under a temporary name and then renamed over
// the old one in one step, so a failure or a kill at any point leaves one of the two whole; the
// new archive and its folder are flushed around that rename, so a power loss does too.
#include "braxel/archive/update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack_formats.h"
#include "braxel/cli/console/console.h"

int pack_archive_type = kArchiveBigf;

namespace {

// On-disk facts of the written layouts.
constexpr std::int64_t kBigfHeader = 16;
constexpr std::int64_t kBigfEntryFixed = 9;  // offset, size, terminating zero
constexpr std::int64_t kC0fbHeader = 6;
constexpr std::int64_t kC0fbEntryFixed = 7;  // 24-bit offset, 24-bit size, terminating zero
constexpr std::int64_t kC0fbMaxField = 0xFFFFFF;
constexpr std::int64_t kFstEntry = 68;
constexpr int kFstName = 64;
// Archives stay readable: entry offsets and sizes are signed 32-bit numbers in the directory.
constexpr std::int64_t kMaxArchive = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kCopyBlock = std::int64_t{1} << 20;
constexpr int kSpareSlots = 10;

std::int64_t round4(std::int64_t n) {
  return (n + 3) & ~std::int64_t{3};
}

// Buffered writer of the new archive; any short write ends the run.
class ArchiveWriter {
 public:
  ArchiveWriter(ConsoleFile* file, const std::string& temp) : file_(file), temp_(temp) {
    buf_.reserve(kFlushAt);
  }

  void bytes(const void* data, std::int64_t n) {
    if (n >= kFlushAt) {
      flush();
      put(data, n);
      return;
    }
    const auto* p = static_cast<const std::uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + n);
    if (static_cast<std::int64_t>(buf_.size()) >= kFlushAt) flush();
  }
  void zeros(std::int64_t n) {
    static const std::uint8_t kZero[4] = {};
    while (n > 0) {
      bytes(kZero, std::min<std::int64_t>(n, 4));
      n -= 4;
    }
  }
  void be(std::uint32_t v, int width) {
    std::uint8_t b[4];
    for (int i = 0; i < width; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
    bytes(b, width);
  }
  void le32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    bytes(b, 4);
  }
  void flush() {
    if (!buf_.empty()) put(buf_.data(), static_cast<std::int64_t>(buf_.size()));
    buf_.clear();
  }
  // The data on disk before the rename, so that a power loss cannot leave a short archive.
  void sync() {
    if (!console.flush(file_)) fail();
  }

 private:
  static constexpr std::int64_t kFlushAt = 256 * 1024;
  void put(const void* data, std::int64_t n) {
    if (console.write(file_, data, n) != n) fail();
  }
  [[noreturn]] void fail() {
    console.close(file_);
    console.remove(temp_.c_str());
    console.fatal("write error while writing to packfile (disk full?)\n");
  }
  ConsoleFile* file_;
  std::string temp_;
  std::vector<std::uint8_t> buf_;
};

std::vector<PackSlot*> kept_slots(PackSlot* table) {
  std::vector<PackSlot*> kept;
  for (PackSlot* s = table; s->name[0] != '\0'; ++s)
    if (!s->deleted) kept.push_back(s);
  return kept;
}

// Writes one slot's data: new data from memory, old data copied as stored from the archive.
void write_slot(ArchiveWriter& w, const PackSlot* s, PackEntry* archive, std::vector<std::uint8_t>& block,
                const char* read_error) {
  if (s->offset < 0) {
    w.bytes(s->data, s->size);
    return;
  }
  pack_seek(archive, s->offset, 0);
  std::int64_t left = s->size;
  while (left > 0) {
    const std::int64_t n = std::min(left, static_cast<std::int64_t>(block.size()));
    if (pack_read(archive, block.data(), n) != n) console.fatal("%s", read_error);
    w.bytes(block.data(), n);
    left -= n;
  }
}

void too_large(const char* path, const char* layout) {
  console.fatal("'%s' would be too large for a %s archive", path, layout);
}

// The directory entries of BIGF and C0FB (big-endian offset and size of `field` bytes each, then
// the zero-terminated name), the padding up to `header`, then every entry's data padded to 4.
void write_directory_and_data(ArchiveWriter& w, const std::vector<PackSlot*>& kept, PackEntry* archive,
                              std::int64_t header, std::int64_t written, std::int64_t fixed, int field) {
  std::int64_t at = header;
  for (const PackSlot* s : kept) {
    const auto len = static_cast<std::int64_t>(std::strlen(s->name));
    w.be(static_cast<std::uint32_t>(at), field);
    w.be(s->size, field);
    w.bytes(s->name, len + 1);
    written += fixed + len;
    at += round4(s->size);
  }
  w.zeros(header - written);
  console.print("writing data\n");
  std::vector<std::uint8_t> block(static_cast<std::size_t>(kCopyBlock));
  for (const PackSlot* s : kept) {
    write_slot(w, s, archive, block, "read error while reading from packfile\n");
    w.zeros(round4(s->size) - s->size);
  }
}

void write_bigf(ArchiveWriter& w, const char* path, const std::vector<PackSlot*>& kept, PackEntry* archive) {
  console.print("creating header\n");
  std::int64_t header = kBigfHeader;
  for (const PackSlot* s : kept) header += kBigfEntryFixed + static_cast<std::int64_t>(std::strlen(s->name));
  header = round4(header);
  std::int64_t total = header;
  for (const PackSlot* s : kept) total += round4(s->size);
  if (total > kMaxArchive) too_large(path, "BIGF");
  w.bytes("BIGF", 4);
  w.be(static_cast<std::uint32_t>(total), 4);
  w.be(static_cast<std::uint32_t>(kept.size()), 4);
  w.be(static_cast<std::uint32_t>(header), 4);
  write_directory_and_data(w, kept, archive, header, kBigfHeader, kBigfEntryFixed, 4);
}

void write_c0fb(ArchiveWriter& w, const char* path, const std::vector<PackSlot*>& kept, PackEntry* archive) {
  console.print("creating header\n");
  std::int64_t header = kC0fbHeader;
  for (const PackSlot* s : kept) header += kC0fbEntryFixed + static_cast<std::int64_t>(std::strlen(s->name));
  header = round4(header);
  // Every offset and size must fit its 24-bit field, the header size and count their 16 bits.
  if (header - 4 > 0xFFFF || kept.size() > 0xFFFF) too_large(path, "C0FB");
  std::int64_t at = header;
  for (const PackSlot* s : kept) {
    if (at > kC0fbMaxField || s->size > kC0fbMaxField) too_large(path, "C0FB");
    at += round4(s->size);
  }
  w.bytes("\xC0\xFB", 2);
  w.be(static_cast<std::uint32_t>(header - 4), 2);
  w.be(static_cast<std::uint32_t>(kept.size()), 2);
  write_directory_and_data(w, kept, archive, header, kC0fbHeader, kC0fbEntryFixed, 3);
}

void write_fst(ArchiveWriter& w, const char* path, const std::vector<PackSlot*>& kept, PackEntry* archive) {
  console.print("creating header\n");
  const auto records = static_cast<std::int64_t>(kept.size()) + 1;
  std::int64_t at = 4 + kFstEntry * records;
  for (const PackSlot* s : kept) at += s->size;
  if (at > kMaxArchive) too_large(path, "FST");
  w.le32(static_cast<std::uint32_t>(records));
  at = 4 + kFstEntry * records;
  for (const PackSlot* s : kept) {
    char name[kFstName] = {};
    std::memcpy(name, s->name, std::min<std::size_t>(std::strlen(s->name), kFstName - 1));
    w.le32(static_cast<std::uint32_t>(at));
    w.bytes(name, kFstName);
    at += s->size;
  }
  const char closing[kFstName] = {};
  w.le32(static_cast<std::uint32_t>(at));
  w.bytes(closing, kFstName);
  console.print("writing data");
  std::vector<std::uint8_t> block(static_cast<std::size_t>(kCopyBlock));
  for (const PackSlot* s : kept) {
    write_slot(w, s, archive, block, "\nread error while reading from packfile\n");
    console.print(".");
  }
  console.print("\n");
}

std::string join_base(const char* base, const char* archive) {
  std::string path = base == nullptr ? std::string() : std::string(base);
  if (!path.empty() && path.back() != '\\' && path.back() != ':' && path.back() != '/') path += '\\';
  return path + archive;
}

void check_opens(const std::string& path) {
  ConsoleFile* f = console.open(path.c_str(), 0);
  if (f == nullptr) console.fatal("couldn't open packfile '%s'\n", path.c_str());
  console.close(f);
}

const char* entry_name_of(const char* file) {
  const char* name = file;
  for (const char* c = file; *c != '\0'; ++c)
    if (*c == '/' || *c == '\\' || *c == ':') name = c + 1;
  return name;
}

// Loads a file into a slot as new data, compressed when asked and not compressed already.
void load_file(PackSlot* slot, const char* file) {
  ConsoleFile* f = console.open(file, 0);
  if (f == nullptr) console.fatal("couldn't open '%s' for reading\n", file);
  const std::int64_t size = console.size(f);
  if (size > kMaxArchive) console.fatal("file '%s' is too large", file);
  auto* data = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(size)));
  const std::int64_t got = console.read(f, data, size);
  console.close(f);
  if (got != size) console.fatal("read error ('%s')\n", file);
  auto length = static_cast<std::int32_t>(size);
  if (slot->compress && !stream_is_compressed(data, length, nullptr)) data = stream_compress(data, &length);
  console.release(slot->data);
  slot->data = data;
  slot->size = static_cast<std::uint32_t>(length);
  slot->offset = -1;
}

int slot_count(const PackSlot* table) {
  int n = 0;
  while (table[n].name[0] != '\0') ++n;
  return n;
}

PackSlot* find_slot(PackSlot* table, const char* name, bool skip_deleted) {
  for (PackSlot* s = table; s->name[0] != '\0'; ++s)
    if ((!skip_deleted || !s->deleted) && pack_name_compare(s->name, name) == 0) return s;
  return nullptr;
}

}  // namespace

void pack_temp_name(const char* path, char* out, int capacity) {
  const std::size_t n = std::strlen(path);
  if (n > 4 && path[n - 4] == '.')
    std::snprintf(out, static_cast<std::size_t>(capacity), "%.*stmp", static_cast<int>(n - 3), path);
  else
    std::snprintf(out, static_cast<std::size_t>(capacity), "%s.tmp", path);
  // An archive that already ends in ".tmp" must not be its own temporary file.
  if (pack_name_compare(out, path) == 0)
    std::snprintf(out, static_cast<std::size_t>(capacity), "%s.tmp", path);
}

PackSlot* read_pack_table(const char* path, int files_to_add, PackEntry** archive) {
  *archive = nullptr;
  PackEntry* root = pack_root(path);
  if (root == nullptr) {
    console.print("couldn't open packfile '%s'\n", path);
    return nullptr;
  }
  // The first bytes as the reader sees them, so a compressed archive shows its own magic.
  // Enough for the FST rule, which looks at the second record of a one-entry archive.
  std::uint8_t head[160] = {};
  const std::int64_t n = pack_open_cursor(root) ? pack_read(root, head, sizeof head) : 0;
  if (n >= 4 && std::memcmp(head, "SHPI", 4) == 0)
    console.fatal("'%s' is SHPI file, use -r/-rp to replace images", path);
  PackEntry* dir = pack_scan(root, kScanFileOrder);
  if (dir == nullptr) {
    console.print("couldn't scan packfile '%s'\n", path);
    pack_release(root);
    return nullptr;
  }
  if (n >= 2 && head[0] == 0xC0 && head[1] == 0xFB)
    pack_archive_type = kArchiveC0fb;
  else if (n >= 4 && std::memcmp(head, "BIGF", 4) == 0)
    pack_archive_type = kArchiveBigf;
  else if (fst_rule(head, n, root->cursor != nullptr ? root->cursor->size : 0))
    pack_archive_type = kArchiveFst;
  else
    console.fatal("'%s' is not supported packfile", path);

  const int count = pack_count(dir);
  const auto slots = static_cast<std::size_t>(count) + kSpareSlots + static_cast<std::size_t>(files_to_add);
  auto* table = static_cast<PackSlot*>(console.allocate(slots * sizeof(PackSlot)));
  for (int i = 0; i < count; ++i) {
    const PackEntry& e = dir[i + 1];
    std::snprintf(table[i].name, sizeof table[i].name, "%s", e.name);
    table[i].offset = e.offset;
    table[i].size = static_cast<std::uint32_t>(e.size);
  }
  *archive = root;
  return table;
}

void release_pack_table(PackSlot* table) {
  if (table == nullptr) return;
  for (PackSlot* s = table; s->name[0] != '\0'; ++s) console.release(s->data);
  console.release(table);
}

void rebuild_pack(const char* path, PackSlot* table, PackEntry* archive) {
  char temp[4096];
  pack_temp_name(path, temp, sizeof temp);

  ConsoleFile* old = console.open(path, 0);
  if (old == nullptr) console.fatal("couldn't open '%s' for reading", path);
  std::uint8_t head[kStreamHeaderSize] = {};
  const std::int64_t got = console.read(old, head, kStreamHeaderSize);
  console.close(old);
  const bool was_compressed = stream_is_compressed(head, got, nullptr);

  ConsoleFile* out = console.open(temp, 1);
  if (out == nullptr) console.fatal("couldn't open '%s' for writing", temp);
  {
    ArchiveWriter w(out, temp);
    const std::vector<PackSlot*> kept = kept_slots(table);
    if (pack_archive_type == kArchiveBigf)
      write_bigf(w, path, kept, archive);
    else if (pack_archive_type == kArchiveC0fb)
      write_c0fb(w, path, kept, archive);
    else
      write_fst(w, path, kept, archive);
    w.flush();
    w.sync();
  }
  console.close(out);
  pack_close(archive, 1);

  if (!was_compressed) {
    // One rename replaces the archive: there is no moment without a whole archive on disk.
    if (!console.replace(temp, path)) console.fatal("couldn't rename '%s' -> '%s'", temp, path);
    return;
  }
  ConsoleFile* in = console.open(temp, 0);
  if (in == nullptr) console.fatal("couldn't open '%s' for reading", temp);
  const std::int64_t size = console.size(in);
  if (size > kMaxStreamSize)
    console.fatal("'%s' grew to %lld bytes, more than a compressed archive can hold", path,
                  static_cast<long long>(size));
  auto* data = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(size)));
  if (console.read(in, data, size) != size) console.fatal("couldn't read '%s'", temp);
  console.close(in);
  auto length = static_cast<std::int32_t>(size);
  data = stream_compress(data, &length);
  // The compressed archive goes to a second temporary file and is renamed over the original.
  const std::string packed = std::string(temp) + "2";
  ConsoleFile* z = console.open(packed.c_str(), 1);
  if (z == nullptr) console.fatal("couldn't open '%s' for writing", packed.c_str());
  if (console.write(z, data, length) != length || !console.flush(z)) {
    console.close(z);
    console.remove(packed.c_str());
    console.fatal("write error while writing to packfile (disk full?)\n");
  }
  console.close(z);
  console.release(data);
  if (!console.replace(packed.c_str(), path))
    console.fatal("couldn't rename '%s' -> '%s'", packed.c_str(), path);
  if (!console.remove(temp)) console.fatal("couldn't delete '%s'", temp);
}

int pack_update(const char* base, const char* archive, const char* names, int compress) {
  const std::string path = join_base(base, archive);
  check_opens(path);
  console.print("updating packfile '%s'\n", path.c_str());
  int files = 0;
  for (const char* f = names; *f != '\0'; f += std::strlen(f) + 1) {
    const char* name = entry_name_of(f);
    if (std::strlen(name) > static_cast<std::size_t>(kMaxAddedName))
      console.fatal("filename '%s' is too long\n", name);
    if (!console.exists(f)) console.fatal("couldn't open '%s' for reading\n", f);
    if (name[0] == '\0') console.fatal("'%s' names no file", f);
    ++files;
  }
  PackEntry* root = nullptr;
  PackSlot* table = read_pack_table(path.c_str(), files, &root);
  if (table == nullptr) return kExitFailure;
  const int total = slot_count(table);
  int replaced = 0;
  int added = 0;
  for (const char* f = names; *f != '\0'; f += std::strlen(f) + 1) {
    const char* name = entry_name_of(f);
    PackSlot* slot = find_slot(table, name, false);
    if (slot != nullptr) {
      slot->compress = static_cast<std::uint8_t>(compress);
      load_file(slot, f);
      console.print("replaced '%s'\n", console_printable(slot->name).c_str());
      ++replaced;
    } else {
      slot = table + slot_count(table);
      std::snprintf(slot->name, sizeof slot->name, "%s", name);
      slot->compress = static_cast<std::uint8_t>(compress);
      load_file(slot, f);
      console.print("added '%s'\n", slot->name);
      ++added;
    }
  }
  console.print("total %d, replaced %d, added %d\n", total, replaced, added);
  rebuild_pack(path.c_str(), table, root);
  console.print("packfile '%s' updated successfully\n", path.c_str());
  release_pack_table(table);
  pack_release(root);
  return kExitOk;
}

int pack_delete(const char* base, const char* archive, const char* names) {
  const std::string path = join_base(base, archive);
  check_opens(path);
  console.print("deletes files from packfile '%s'\n", path.c_str());
  PackEntry* root = nullptr;
  PackSlot* table = read_pack_table(path.c_str(), 0, &root);
  if (table == nullptr) return kExitFailure;
  int deleted = 0;
  for (const char* n = names; *n != '\0'; n += std::strlen(n) + 1) {
    PackSlot* slot = find_slot(table, n, true);
    if (slot == nullptr) {
      if (find_slot(table, n, false) != nullptr) continue;  // named twice: already deleted
      console.fatal("can't find '%s'", n);
    }
    slot->deleted = 1;
    ++deleted;
  }
  console.print("total %d, deleted %d\n", slot_count(table), deleted);
  rebuild_pack(path.c_str(), table, root);
  console.print("packfile '%s' updated successfully\n", path.c_str());
  release_pack_table(table);
  pack_release(root);
  return kExitOk;
}
