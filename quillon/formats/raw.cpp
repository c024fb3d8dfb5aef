// Raw sample data. Nothing in the file says what it is, so identify never claims a file and the
// caller's description (representation, channels, rate) decides how it is read.
#include "quillon/formats/raw.h"

#include "quillon/formats/consolecommon.h"
#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/samples.h"

namespace {

constexpr int32_t kDefaultRate = 22050;

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

int widthof(int rep) {
  switch (rep) {
    case SREP_S16L_INT:
    case SREP_S16B_INT:
    case SREP_S16B_BLK:
    case SREP_S16L_BLK:
      return 2;
    case SREP_S8_INT:
    case SREP_S8_BLK:
    case SREP_U8_INT:
      return 1;
    default:
      return 0;
  }
}

}  // namespace

SABOUT* raw_about() {
  return console_about(
      {"raw",
       "RAW (no header)",
       -1,
       {SREP_S8_INT, SREP_S8_BLK, SREP_U8_INT, SREP_S16B_INT, SREP_S16B_BLK, SREP_S16L_INT, SREP_S16L_BLK},
       {SREP_S8_INT, SREP_S8_BLK, SREP_U8_INT, SREP_S16B_INT, SREP_S16B_BLK, SREP_S16L_INT, SREP_S16L_BLK,
        SREP_QVXA_BLK},
       1,
       1});
}

int raw_identify(gfile*) {
  return 0;
}

int raw_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from an element other than 0 was made.");
  SINFO* info = AUREX_newsinfo();
  if (!info) return 0;
  STIMBRE& t = info->timbres[0];
  t.numchannels = 1;
  t.samplerep = SREP_S16L_INT;
  t.samplerate = kDefaultRate;
  t.numsamples = gsize(inst->file) / 2;
  *out = info;
  return 1;
}

int raw_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("An attempt to read from an element other than 0 was made.");
  STIMBRE& t = info->timbres[0];
  const int width = widthof(t.samplerep);
  if (width == 0) return fail("Raw importer doesn't support this sample representation.");
  if (t.numchannels < 1 || t.numchannels > STIMBRE_MAXCHANNELS)
    return fail("Unsupported number of channels in Raw importer.");
  if (!console_rateok(t.samplerate)) return 0;
  t.numsamples = gsize(inst->file) / t.numchannels / width;
  int32_t positions[STIMBRE_MAXCHANNELS] = {};
  // Block data keeps each channel's run after the one before; position 0 would mean "here".
  const bool block =
      t.samplerep == SREP_S8_BLK || t.samplerep == SREP_S16B_BLK || t.samplerep == SREP_S16L_BLK;
  if (gseek(inst->file, 0) != 1) return fail("Couldn't read from file.");
  for (int c = 1; block && c < t.numchannels; ++c) positions[c] = c * t.numsamples * width;
  return console_importtimbre(inst->file, t, positions);
}

int raw_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("RAW files can only contain element 0.");
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  const STIMBRE& t = info->timbres[0];
  const int ok = isexportsamples(inst->file, nullptr, 0, t.numsamples, 0, states, nullptr, &t);
  AUREX_freecompstates(states);
  return ok;
}
