// Feeds arbitrary files to the SND stream readers (identify, info and read of every readable
// stream module) through the buffered file layer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

namespace {

const std::string& tempPath() {
  static const std::string path = "/tmp/fuzz_sndstream_" + std::to_string(getpid()) + ".asf";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the module, so one corpus reaches every platform's rules.
  static const int kFormats[] = {9, 12, 16, 20};
  const int format = kFormats[data[0] % 4];
  FILE* out = std::fopen(tempPath().c_str(), "wb");
  if (!out) return 0;
  std::fwrite(data + 1, 1, size - 1, out);
  std::fclose(out);

  gfile* f = gopen(tempPath().c_str());
  if (!f) return 0;
  AUREX_formats[format].identify(f);
  SINSTANCE* inst = nullptr;
  if (AUREX_open(f, &inst, format) > 0) {
    SINFO* info = nullptr;
    if (AUREX_info(inst, &info, 0)) {
      AUREX_read(inst, info, 0);
      AUREX_freesinfo(info);
    }
    AUREX_close(inst);
  }
  gclose(f);
  return 0;
}
