// Sony VAG file reader and writer. The header's data size counts whole data frames only; the
// zero lead-in frame and the end frame that one-shot sounds carry come on top of it.
#include "quillon/formats/vag.h"

#include <cstring>
#include <vector>

#include "quillon/codecs/vag.h"
#include "quillon/formats/consolecommon.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"

namespace {

constexpr int kHeaderBytes = 48;
constexpr char kMagic[] = "VAGp";
constexpr uint32_t kVersion = 2;
constexpr uint8_t kReserved[12] = {0xC6, 0x76, 0xFF, 0xFF, 0x58, 0xA2, 0x00, 0x34, 0x99, 0xDE, 0x00, 0x11};
constexpr char kName[] = "PSX.AIFF";

constexpr const char* kMsgHeader = "Problem reading VAG header from disk.";
constexpr const char* kMsgSamples = "Couldn't read VAG samples.";

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

struct Layout {
  int32_t rate;
  int64_t frames;     // data frames the header announces
  int64_t datastart;  // first data frame, after a zero lead-in when the file has one
};

// The header and where the data frames lie; 0 after reporting.
int layout(gfile* f, Layout& l) {
  uint8_t h[kHeaderBytes];
  if (!console_readat(f, 0, h, kHeaderBytes) || std::memcmp(h, kMagic, 4) != 0) return fail(kMsgHeader);
  const int64_t rate = ggetbe(h + 16, 4);
  if (!console_rateok(rate)) return 0;
  l.rate = static_cast<int32_t>(rate);
  l.frames = (int64_t{ggetbe(h + 12, 4)} + VAG_FRAMEBYTES - 1) / VAG_FRAMEBYTES;
  const int64_t available = (gsize(f) - kHeaderBytes) / VAG_FRAMEBYTES;
  // A data size beyond the file is a lie: refuse it before anything is allocated for it.
  if (l.frames > available) return fail(kMsgSamples);
  l.datastart = kHeaderBytes;
  uint8_t first[VAG_FRAMEBYTES];
  if (l.frames < available && console_readat(f, kHeaderBytes, first, VAG_FRAMEBYTES) &&
      vag_iszeroframe(first))
    l.datastart += VAG_FRAMEBYTES;
  return 1;
}

}  // namespace

SABOUT* vag_about() {
  return console_about({"vag", "Sony VAG", -1, {SREP_VAG_BLK}, {SREP_VAG_BLK}, 1, 1});
}

int vag_identify(gfile* file) {
  uint8_t h[4];
  return gsize(file) >= kHeaderBytes && console_readat(file, 0, h, 4) && std::memcmp(h, kMagic, 4) == 0 ? 100
                                                                                                        : 0;
}

int vag_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("VAG files can only contain element 0.");
  Layout l;
  if (!layout(inst->file, l)) return 0;
  std::vector<uint8_t> frames(static_cast<size_t>(l.frames) * VAG_FRAMEBYTES);
  if (!console_readat(inst->file, l.datastart, frames.data(), static_cast<int64_t>(frames.size())))
    return fail(kMsgSamples);
  SINFO* info = AUREX_newsinfo();
  if (!info) return 0;
  STIMBRE& t = info->timbres[0];
  t.numchannels = 1;
  t.samplerep = SREP_VAG_BLK;
  t.samplerate = l.rate;
  t.numsamples = static_cast<int32_t>(l.frames * XA_FRAMESAMPLES);
  vag_findloop(frames.data(), static_cast<int32_t>(l.frames), &t.loopstart, &t.loopend);
  if (t.loopstart < 0 || t.loopend <= t.loopstart) {
    t.loopstart = t.loopend = -1;
  } else if (t.loopend >= t.numsamples) {
    t.loopend = t.numsamples - 1;  // a loop ends inside the sound
  }
  *out = info;
  return 1;
}

int vag_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("VAG files can only contain element 0.");
  Layout l;
  if (!layout(inst->file, l)) return 0;
  STIMBRE& t = info->timbres[0];
  if (t.numchannels != 1 || t.samplerep != SREP_VAG_BLK || t.numsamples < 0 ||
      t.numsamples > l.frames * XA_FRAMESAMPLES)
    return fail(kMsgSamples);
  const int32_t positions[STIMBRE_MAXCHANNELS] = {static_cast<int32_t>(l.datastart)};
  return console_importtimbre(inst->file, t, positions);
}

int vag_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("VAG files can only contain element 0.");
  STIMBRE t = info->timbres[0];
  if (t.numchannels != 1) return fail("VAG files can only be mono.");
  t.samplerep = SREP_VAG_BLK;
  uint8_t h[kHeaderBytes] = {};
  std::memcpy(h, kMagic, 4);
  gputbe(h + 4, kVersion, 4);
  // Whole frames: a last partial frame is data too.
  gputbe(h + 12, static_cast<uint32_t>((int64_t{t.numsamples} + 27) / 28 * VAG_FRAMEBYTES), 4);
  gputbe(h + 16, static_cast<uint32_t>(t.samplerate), 4);
  std::memcpy(h + 20, kReserved, sizeof kReserved);
  std::memcpy(h + 32, kName, sizeof kName - 1);
  if (gwrite(inst->file, h, kHeaderBytes) != kHeaderBytes) return fail("Error writing VAG header.");
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  const int ok = isexportsamples(inst->file, nullptr, 0, t.numsamples, 0, states, nullptr, &t);
  AUREX_freecompstates(states);
  return ok;
}
