// "-makepatch": the patch-information file, the comparison of each listed archive with its base
// file, partial image packs for changed images, and the BIGF archives the patch is made of.
#include "braxel/cli/patch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack.h"
#include "braxel/cli/console/console.h"
#include "braxel/image/shpi.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A modified archive smaller than this is not compared.
constexpr std::int64_t kMinArchive = 100;
constexpr unsigned kFirstArchiveCounter = 0x1000;
constexpr const char* kMessageEntry = "#README.TXT";
constexpr int kBigfHeader = 16;
constexpr int kBigfEntryFixed = 9;  // offset, size, terminating zero
constexpr std::int64_t kCopyBlock = std::int64_t{1} << 20;

std::int64_t round4(std::int64_t n) {
  return (n + 3) & ~std::int64_t{3};
}

void put_be32(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One item of an archive being built: the name it is stored under and the temporary file that
// holds its data.
struct Item {
  std::string name;
  std::string temp;
};

void write_or_fail(ConsoleFile* out, const std::string& temp, const void* data, std::int64_t n,
                   const std::string& shown) {
  if (n > 0 && console.write(out, data, n) != n) {
    console.close(out);
    console.remove(temp.c_str());
    console.fatal("write error while writing '%s' (disk full?)", shown.c_str());
  }
}

// Writes data to a new temporary file.
void write_temp(const std::string& temp, const Bytes& data) {
  ConsoleFile* f = console.open(temp.c_str(), 1);
  if (f == nullptr) console.fatal("couldn't open '%s' for writing", temp.c_str());
  write_or_fail(f, temp, data.data(), static_cast<std::int64_t>(data.size()), temp);
  console.close(f);
}

// A BIGF archive of the items' temporary files (each deleted once copied) and, last, the message.
// Directory sizes are the files' sizes rounded up to 4, as the data is padded; the message is
// stored with its exact length. Written under a temporary name and renamed into place.
void build_patch_archive(const std::string& output, const std::vector<Item>& items,
                         const std::string* message) {
  std::vector<std::int64_t> sizes;
  for (const Item& item : items) {
    ConsoleFile* f = console.open(item.temp.c_str(), 0);
    if (f == nullptr) console.fatal("couldn't open temporary file '%s'", item.temp.c_str());
    sizes.push_back(round4(console.size(f)));
    console.close(f);
  }
  std::vector<std::string> names;
  for (const Item& item : items) names.push_back(item.name);
  if (message != nullptr) {
    names.push_back(kMessageEntry);
    sizes.push_back(static_cast<std::int64_t>(message->size()));
  }
  std::int64_t header = kBigfHeader;
  for (const std::string& n : names) header += kBigfEntryFixed + static_cast<std::int64_t>(n.size());
  header = round4(header);
  std::int64_t total = header;
  for (const std::int64_t s : sizes) total += s;
  if (total > INT32_MAX) console.fatal("'%s' would be too large for a BIGF archive", output.c_str());

  console.print("creating patch file '%s' (%ld entries)\n", output.c_str(), static_cast<long>(names.size()));
  const std::string temp = output + ".~braxel";
  ConsoleFile* out = console.open(temp.c_str(), 1);
  if (out == nullptr) console.fatal("couldn't open '%s' for writing", output.c_str());
  Bytes head = {'B', 'I', 'G', 'F'};
  put_be32(head, static_cast<std::uint32_t>(total));
  put_be32(head, static_cast<std::uint32_t>(names.size()));
  put_be32(head, static_cast<std::uint32_t>(header));
  std::int64_t at = header;
  for (std::size_t i = 0; i < names.size(); ++i) {
    put_be32(head, static_cast<std::uint32_t>(at));
    put_be32(head, static_cast<std::uint32_t>(sizes[i]));
    head.insert(head.end(), names[i].begin(), names[i].end());
    head.push_back(0);
    at += sizes[i];
  }
  head.resize(static_cast<std::size_t>(header), 0);
  write_or_fail(out, temp, head.data(), static_cast<std::int64_t>(head.size()), output);

  Bytes block(static_cast<std::size_t>(kCopyBlock));
  for (std::size_t i = 0; i < items.size(); ++i) {
    ConsoleFile* in = console.open(items[i].temp.c_str(), 0);
    if (in == nullptr) console.fatal("couldn't open temporary file '%s'", items[i].temp.c_str());
    std::int64_t copied = 0;
    for (;;) {
      const std::int64_t got = console.read(in, block.data(), kCopyBlock);
      if (got <= 0) break;
      write_or_fail(out, temp, block.data(), got, output);
      copied += got;
    }
    console.close(in);
    static const std::uint8_t kZero[4] = {};
    write_or_fail(out, temp, kZero, sizes[i] - copied, output);
    console.remove(items[i].temp.c_str());
  }
  if (message != nullptr)
    write_or_fail(out, temp, message->data(), static_cast<std::int64_t>(message->size()), output);
  const bool flushed = console.flush(out);
  console.close(out);
  if (!flushed || !console.replace(temp.c_str(), output.c_str())) {
    console.remove(temp.c_str());
    console.fatal("couldn't write '%s'", output.c_str());
  }
  console.print("patch file created successfully\n");
}

bool begins_with(const Bytes& data, const char* magic) {
  const std::size_t n = std::strlen(magic);
  return data.size() >= n && std::memcmp(data.data(), magic, n) == 0;
}

// The blocks of the modified image pack that the base pack lacks or holds otherwise, behind the
// modified pack's header with its size and count updated. False when either does not scan.
bool partial_image_pack(const Bytes& modified, const Bytes& base, Bytes* out) {
  ShpiDirectory mod_dir, base_dir;
  ShpiError error;
  if (shpi_scan(modified.data(), modified.size(), &mod_dir, &error) != ShpiStatus::kOk ||
      shpi_scan(base.data(), base.size(), &base_dir, &error) != ShpiStatus::kOk)
    return false;
  std::vector<const ShpiEntry*> changed;
  for (const ShpiEntry& e : mod_dir.entries) {
    if (e.pseudo) continue;
    const auto same = std::find_if(base_dir.entries.begin(), base_dir.entries.end(), [&](const ShpiEntry& b) {
      return !b.pseudo && pack_name_compare(b.name, e.name) == 0;
    });
    const bool equal = same != base_dir.entries.end() && same->size == e.size &&
                       std::memcmp(base.data() + same->offset, modified.data() + e.offset,
                                   static_cast<std::size_t>(e.size)) == 0;
    if (!equal) changed.push_back(&e);
  }
  out->assign(modified.begin(), modified.begin() + kShpiHeaderSize);
  std::int64_t at = kShpiHeaderSize + kShpiDirEntrySize * static_cast<std::int64_t>(changed.size());
  for (const ShpiEntry* e : changed) {
    std::uint8_t slot[kShpiDirEntrySize] = {};
    std::memcpy(slot, e->name, std::min<std::size_t>(std::strlen(e->name), 4));
    put_le32(slot + 4, static_cast<std::uint32_t>(at));
    out->insert(out->end(), slot, slot + kShpiDirEntrySize);
    at += e->size;
  }
  for (const ShpiEntry* e : changed)
    out->insert(out->end(), modified.begin() + e->offset, modified.begin() + e->offset + e->size);
  put_le32(out->data() + 4, static_cast<std::uint32_t>(out->size()));
  put_le32(out->data() + 8, static_cast<std::uint32_t>(changed.size()));
  return true;
}

Bytes read_entry(PackEntry* e, bool* ok) {
  std::int64_t size = 0;
  std::uint8_t* data = pack_read_whole(e, &size);
  *ok = data != nullptr;
  Bytes out;
  if (data != nullptr) out.assign(data, data + size);
  console.release(data);
  pack_close(e, 0);
  return out;
}

// The temporary file of an entry is named after the entry; a name that is no plain file name of
// this folder (a path, control characters) gives its temporary file a neutral name instead, since
// only the name stored in the archive needs to be the entry's.
std::string inner_temp_name(const char* entry, unsigned counter) {
  const bool plain = unpack_refusal(entry) == nullptr && std::strpbrk(entry, "/\\") == nullptr;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "#%.4x.tmp", counter & 0xFFFF);
  return std::string(plain ? entry : "entry") + suffix;
}

class PatchMaker {
 public:
  // Compares one listed archive with its base file; gives the number of items collected into
  // the difference archive written as `temp`, 0 when nothing differs or the archive is skipped.
  long compare(const std::string& name, const std::string& modified, const std::string& base,
               const std::string& temp) {
    console.print("scanning original file '%s'\n", modified.c_str());
    ConsoleFile* f = console.open(modified.c_str(), 0);
    if (f == nullptr) return skip("Couldn't open '%s'\n", modified);
    std::uint8_t head[4] = {};
    const std::int64_t size = console.size(f);
    const std::int64_t got = console.read(f, head, 4);
    console.close(f);
    if (size < kMinArchive) return skip("too small, ignored\n", modified);
    const bool known = (got >= 4 && std::memcmp(head, "BIGF", 4) == 0) ||
                       (got >= 2 && head[1] == 0xFB && (head[0] == 0xC0 || head[0] == kStreamLz77));
    if (!known) return skip("not BIGF or C0FB pack file or compressed file, ignored\n", modified);

    PackEntry* mod_root = pack_root(modified.c_str());
    PackEntry* base_root = pack_root(base.c_str());
    const long count = mod_root == nullptr || base_root == nullptr
                           ? skip("Couldn't load '%s'\n", mod_root == nullptr ? modified : base)
                           : compare_roots(name, mod_root, base_root, temp);
    pack_release(mod_root);
    pack_release(base_root);
    return count;
  }

  bool failed() const { return failed_; }

 private:
  long skip(const char* format, const std::string& path) {
    console.print(format, path.c_str());
    failed_ = true;
    return 0;
  }

  long compare_roots(const std::string& name, PackEntry* mod_root, PackEntry* base_root,
                     const std::string& temp) {
    PackEntry* mod_dir = pack_scan(mod_root, 0);
    if (mod_dir == nullptr) return skip("Couldn't load directory '%s'\n", mod_root->name);
    PackEntry* base_dir = pack_scan(base_root, 0);
    if (base_dir == nullptr) return skip("Couldn't load directory '%s'\n", base_root->name);
    std::vector<Item> items;
    for (PackEntry* e = mod_dir + 1; e->name[0] != '\0'; ++e) {
      bool ok = false;
      const Bytes data = read_entry(e, &ok);
      if (!ok) return abandon(items);
      Bytes kept = data;
      if (PackEntry* b = pack_find(base_dir, e->name)) {
        const Bytes old = read_entry(b, &ok);
        if (!ok) return abandon(items);
        if (old == data) continue;
        if (begins_with(data, "SHP") && begins_with(old, "SHP")) {
          if (!partial_image_pack(data, old, &kept)) kept = data;
        } else if (begins_with(data, "SHP")) {
          console.fatal("SHPI-file mismatch %s and %s", e->name, b->name);
        }
      }
      Item item{e->name, inner_temp_name(e->name, inner_counter_++)};
      write_temp(item.temp, kept);
      console.print("'%s' size %ld added\n", (name + "\\" + e->name).c_str(), static_cast<long>(kept.size()));
      items.push_back(item);
    }
    if (!items.empty()) build_patch_archive(temp, items, nullptr);
    return static_cast<long>(items.size());
  }

  // A damaged entry (its reason already printed) skips the whole archive.
  long abandon(const std::vector<Item>& items) {
    for (const Item& item : items) console.remove(item.temp.c_str());
    failed_ = true;
    return 0;
  }

  unsigned inner_counter_ = 0;
  bool failed_ = false;
};

}  // namespace

bool parse_patch_info(const std::string& text, PatchInfo* info) {
  int markers = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
    const std::string line = text.substr(pos, end - pos);
    pos = text.find_first_not_of("\r\n", end);
    if (pos == std::string::npos) pos = text.size();
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (markers < 2 && pack_name_compare(line.c_str(), "!message") == 0) {
      ++markers;
      continue;
    }
    if (markers == 1) info->message += line;
    if (markers == 2) info->archives.push_back(line);
  }
  return markers == 2;
}

int make_patch(char* const* ops) {
  ConsoleFile* f = console.open(ops[0], 0);
  if (f == nullptr) console.fatal("couldn't open patch-infofile '%s'", ops[0]);
  std::string text(static_cast<std::size_t>(console.size(f)), '\0');
  text.resize(static_cast<std::size_t>(console.read(f, text.data(), static_cast<std::int64_t>(text.size()))));
  console.close(f);
  PatchInfo info;
  if (!parse_patch_info(text, &info)) console.fatal("patch-infofile syntax error");

  PatchMaker maker;
  std::vector<Item> archives;
  unsigned counter = kFirstArchiveCounter;
  for (const std::string& name : info.archives) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "#%.4X.tmp", counter++ & 0xFFFF);
    const std::string temp = name + suffix;
    const long count = maker.compare(name, ".\\" + name, std::string(ops[2]) + name, temp);
    if (count == 0) {
      console.print("no differences found\n");
    } else {
      console.print("%ld different files/images\n", count);
      archives.push_back({name, temp});
    }
  }
  if (!archives.empty()) build_patch_archive(ops[1], archives, &info.message);
  return maker.failed() ? kExitFailure : kExitOk;
}
