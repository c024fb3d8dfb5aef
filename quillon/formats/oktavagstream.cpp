// OKTA VAG stream writer. The audio library it feeds reads whole 2048-byte sectors and needs at
// least one filler frame after the data, so a file already on a boundary gets a full sector more.
#include "quillon/formats/oktavagstream.h"

#include <cstring>

#include "quillon/codecs/vag.h"
#include "quillon/formats/consolecommon.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"

namespace {

constexpr int kHeaderBytes = 16;
constexpr int64_t kSectorBytes = 2048;

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

}  // namespace

SABOUT* oktavagstream_about() {
  return console_about({"oktavagstream", "OKTA VAG stream", -1, {}, {SREP_VAG_BLK}, 1, 1});
}

int oktavagstream_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("OKTA VAG stream files can only contain element 0.");
  STIMBRE t = info->timbres[0];
  if (t.numchannels != 1) return fail("OKTA VAG stream files can only be mono.");
  t.samplerep = SREP_VAG_BLK;
  const int64_t databytes = (int64_t{t.numsamples} + 27) / 28 * VAG_FRAMEBYTES;
  uint8_t h[kHeaderBytes] = {};
  gputle(h, static_cast<uint32_t>(databytes), 4);
  if (gwrite(inst->file, h, kHeaderBytes) != kHeaderBytes) return fail("Error writing VAG header.");
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  int ok = isexportsamples(inst->file, nullptr, 0, t.numsamples, AUREX_EXPORT_STREAM, states, nullptr, &t);
  AUREX_freecompstates(states);
  if (!ok) return 0;
  const int64_t filler = kSectorBytes - (kHeaderBytes + databytes) % kSectorBytes;
  uint8_t frame[VAG_FRAMEBYTES] = {0, VAG_FLAG_REPEAT};
  for (int64_t k = 0; ok && k < filler; k += VAG_FRAMEBYTES)
    ok = gwrite(inst->file, frame, VAG_FRAMEBYTES) == VAG_FRAMEBYTES;
  return ok ? 1 : fail("Couldn't write samples to file stream.");
}
