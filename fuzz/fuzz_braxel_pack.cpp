// The pack scanner on arbitrary bytes. The first byte picks the layout the rest is dressed as
// (its magic is put in front, or the file gets the name that the QPP rule asks for), so every
// directory reader is reached; MAS and FST are found by their size rules on the raw bytes.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_braxel_pack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_pack_init();
  if (size < 1) return 0;
  static const char* const kMagic[] = {"BIGF", "\xC0\xFB", "APUK", "", ""};
  const int layout = data[0] % 5;
  std::vector<std::uint8_t> file(kMagic[layout], kMagic[layout] + std::strlen(kMagic[layout]));
  file.insert(file.end(), data + 1, data + size);
  const std::string path = fuzz_pack_file(file.data(), file.size(), layout == 4 ? ".qpp" : ".viv");
  PackEntry* root = pack_root(path.c_str());
  if (root == nullptr) return 0;
  if (PackEntry* dir = pack_scan(root, (data[0] & 0x80) ? kScanFileOrder : 0)) fuzz_pack_read_all(dir);
  pack_release(root);
  return 0;
}
