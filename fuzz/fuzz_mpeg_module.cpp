// The MPEG format module on whole files: identify, then info and read of element 0, which walk the
// frames and decode them through the sample import engine.
#include "fuzz/memfile.h"
#include "quillon/formats/mpeg.h"
#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemFile file;
  gfile* f = gopen(file.set(data, size));
  if (!f) return 0;
  mpeg_identify(f);
  SINSTANCE* inst = nullptr;
  if (AUREX_open(f, &inst, AUREX_FORMAT_MPEG) == 1) {
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
