// The read-only pack commands: "-list" shows every entry with its readable size and "-unpack"
// writes entries as files below the current folder.
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "braxel/archive/pack.h"
#include "braxel/cli/console/console.h"

namespace {

// Entries are copied in blocks of this size, so a large entry never sits in memory whole.
constexpr std::int64_t kCopyBlock = std::int64_t{1} << 20;

constexpr const char* kLeadsOutside = "the name leads outside the current folder";
constexpr const char* kThroughLink = "a symbolic link is in the way";

bool in_name_list(const char* names, const char* name) {
  for (const char* n = names; *n != '\0'; n += std::strlen(n) + 1)
    if (pack_name_compare(n, name) == 0) return true;
  return false;
}

void print_entry(const PackEntry* e, std::int64_t size) {
  if ((e->kind & kKindImage) == 0)
    console.print("%8lld %s\n", static_cast<long long>(size), console_printable(e->name).c_str());
  else
    console.print("%8lld %s %d*%d (%s)\n", static_cast<long long>(size), console_printable(e->name).c_str(),
                  e->width, e->height, console_printable(e->type).c_str());
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

const char* unpack_refusal(const char* name) {
  if (name[0] == '/' || name[0] == '\\' || std::strchr(name, ':') != nullptr) return kLeadsOutside;
  for (const char* c = name; *c != '\0'; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) return "the name holds control characters";
  std::string last;
  for (const char* c = name;; ++c) {
    if (*c == '/' || *c == '\\' || *c == '\0') {
      if (last == "..") return kLeadsOutside;
      if (*c == '\0') break;
      last.clear();
    } else {
      last.push_back(*c);
    }
  }
  if (last.empty() || last == ".") return "the name has no file name after its last separator";
  return nullptr;
}

std::string unpack_target(const char* name, const char* suffix, std::unordered_set<std::string>& seen,
                          const char** why) {
  *why = unpack_refusal(name);
  if (*why != nullptr) return {};
  std::vector<std::string> parts;
  std::string part;
  std::string key;  // the path in lower case: names that differ only in case are one file here
  for (const char* c = name;; ++c) {
    if (*c == '/' || *c == '\\' || *c == '\0') {
      if (!part.empty() && part != ".") {
        parts.push_back(part);
        key += '/' + part;
      }
      part.clear();
      if (*c == '\0') break;
    } else {
      part.push_back(*c);
    }
  }
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (seen.contains(key)) {
    *why = "an entry of the same name was written before";
    return {};
  }
  std::string target;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    target += parts[i];
    const bool file = i + 1 == parts.size();
    if (console.is_link(target.c_str()) || (file && console.is_link((target + suffix).c_str()))) {
      *why = kThroughLink;
      return {};
    }
    if (file) break;
    if (!console.make_folder(target.c_str())) console.fatal("couldn't create folder '%s'", target.c_str());
    target += '/';
  }
  seen.insert(key);
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
  std::unordered_set<std::string> written;
  for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) {
    if (!every && !in_name_list(names, e->name)) continue;
    const std::int64_t size = pack_readable_size(e);
    if (size < 0) {
      status = kExitFailure;
      continue;
    }
    print_entry(e, size);
    const char* why = nullptr;
    const std::string target = unpack_target(e->name, "", written, &why);
    if (target.empty()) {
      console.print("'%s' not unpacked: %s\n", console_printable(e->name).c_str(), why);
      status = kExitFailure;
      pack_close(e, 0);
      continue;
    }
    if (block.empty()) block.resize(static_cast<std::size_t>(kCopyBlock));
    write_entry(e, target, block);
    pack_close(e, 0);
  }
  pack_release(dir);
  return status;
}
