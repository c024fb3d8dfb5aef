// The patch-information file of "-makepatch" on arbitrary text: the message and the archive list
// come only from the text's own lines, and a file without both marker lines is refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "braxel/cli/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  PatchInfo info;
  if (!parse_patch_info(text, &info)) return 0;
  if (info.message.size() > size) std::abort();
  for (const std::string& name : info.archives)
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos || name[0] == ';' || name[0] == '#')
      std::abort();
  return 0;
}
