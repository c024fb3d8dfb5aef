// Nested open on a two-level path: the input is the outer archive; the path names its first
// entry and that entry's first entry, so that the opener descends two levels, then every entry
// of the innermost pack is read.
#include <string>

#include "fuzz/fuzz_braxel_pack.h"

namespace {

// Name of the first entry of the pack in entry, or empty.
std::string first_name(PackEntry* entry) {
  PackEntry* dir = pack_scan(entry, kScanFileOrder);
  if (dir == nullptr) return {};
  std::string name = dir[1].name;
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_pack_init();
  const std::string path = fuzz_pack_file(data, size, ".viv");
  PackEntry* root = pack_root(path.c_str());
  if (root == nullptr) return 0;
  std::string first = first_name(root);
  std::string second;
  if (!first.empty()) {
    if (PackEntry* e = pack_find(root->first_child, first.c_str())) second = first_name(e);
  }
  pack_release(root);
  if (first.empty() || second.empty()) return 0;
  if (PackEntry* dir = pack_open((path + "\\" + first + "\\" + second).c_str(), 0)) {
    fuzz_pack_read_all(dir);
    pack_release(dir);
  }
  return 0;
}
