// The read-only pack commands: "-list" shows every entry with its readable size and "-unpack"
// writes entries as files below the current folder.
#include <cstring>
#include <string>
#include <vector>

#include "braxel/archive/pack.h"
#include "braxel/cli/console/console.h"

namespace {

// Entries are copied in blocks of this size, so a large entry never sits in memory whole.
constexpr std::int64_t kCopyBlock = std::int64_t{1} << 20;

bool in_name_list(const char* names, const char* name) {
  for (const char* n = names; *n != '\0'; n += std::strlen(n) + 1)
    if (pack_name_compare(n, name) == 0) return true;
  return false;
}

void print_entry(const PackEntry* e, std::int64_t size) {
  if ((e->kind & kKindImage) == 0)
    console.print("%8lld %s\n", static_cast<long long>(size), e->name);
  else
    console.print("%8lld %s %d*%d (%s)\n", static_cast<long long>(size), e->name, e->width, e->height,
                  e->type);
}

// Writes the entry's readable data to path under a temporary name and renames it into place.
void write_entry(PackEntry* e, const std::string& path, std::vector<std::uint8_t>& block) {
  const std::string temp = path + ".~braxel";
  ConsoleFile* out = console.create_exact(temp.c_str());
  if (out == nullptr) console.fatal("couldn't open '%s' for writing", path.c_str());
  pack_seek(e, 0, 0);
  for (;;) {
    const std::int64_t got = pack_read(e, block.data(), static_cast<std::int64_t>(block.size()));
    if (got <= 0) break;
    if (console.write(out, block.data(), got) != got) {
      console.close(out);
      console.remove(temp.c_str());
      console.fatal("write error while writing '%s' (disk full?)", path.c_str());
    }
  }
  console.close(out);
  if (!console.rename_exact(temp.c_str(), path.c_str())) {
    console.remove(temp.c_str());
    console.fatal("couldn't open '%s' for writing", path.c_str());
  }
}

}  // namespace

std::vector<std::string> unpack_components(const char* name) {
  std::vector<std::string> parts;
  if (name[0] == '/' || name[0] == '\\' || std::strchr(name, ':') != nullptr) return {};
  std::string part;
  for (const char* c = name;; ++c) {
    if (*c == '/' || *c == '\\' || *c == '\0') {
      if (part == "..") return {};
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
      if (*c == '\0') break;
    } else {
      part.push_back(*c);
    }
  }
  return parts;
}

std::string make_unpack_folders(const std::vector<std::string>& parts) {
  std::string target;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    target += parts[i];
    if (i + 1 == parts.size()) break;
    if (!console.make_folder(target.c_str())) console.fatal("couldn't create folder '%s'", target.c_str());
    target += '/';
  }
  return target;
}

int pack_list(const char* path) {
  PackEntry* dir = pack_open(path, 0);
  if (dir == nullptr) return kExitFailure;
  console.print("Directory '%s'\n", path);
  int status = kExitOk;
  for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) {
    // Opening the cursor decompresses a compressed entry, which gives its readable size.
    const std::int64_t size = pack_readable_size(e);
    if (size < 0) {
      status = kExitFailure;
      continue;
    }
    print_entry(e, size);
    pack_close(e, 0);
  }
  pack_release(dir);
  return status;
}

int pack_extract(const char* path, const char* names) {
  PackEntry* dir = pack_open(path, 0);
  if (dir == nullptr) {
    console.print("Couldn't load directory '%s'\n", path);
    return kExitFailure;
  }
  const bool every = names == nullptr || names[0] == '\0';
  int status = kExitOk;
  std::vector<std::uint8_t> block;
  for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) {
    if (!every && !in_name_list(names, e->name)) continue;
    const std::int64_t size = pack_readable_size(e);
    if (size < 0) {
      status = kExitFailure;
      continue;
    }
    print_entry(e, size);
    const std::vector<std::string> parts = unpack_components(e->name);
    if (parts.empty()) {
      console.print("'%s' not unpacked: the name leads outside the current folder\n", e->name);
      status = kExitFailure;
      pack_close(e, 0);
      continue;
    }
    const std::string target = make_unpack_folders(parts);
    if (block.empty()) block.resize(static_cast<std::size_t>(kCopyBlock));
    write_entry(e, target, block);
    pack_close(e, 0);
  }
  pack_release(dir);
  return status;
}
