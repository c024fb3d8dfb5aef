// CD-ROM XA audio files: the first sector's subheader tells channels and rate; the file is whole
// sectors and nothing else.
#include "quillon/formats/cdxa.h"

#include "quillon/codecs/cdxa.h"
#include "quillon/formats/consolecommon.h"
#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/samples.h"

namespace {

constexpr int32_t kRateLow = 18900;
constexpr int32_t kRateHigh = 37800;
constexpr uint8_t kCodingStereo = 1;
constexpr uint8_t kCodingLowRate = 4;

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

// The coding byte of a file that looks like CD-XA audio, or -1.
int codingof(gfile* f) {
  const int64_t size = gsize(f);
  uint8_t sub[4];
  if (size <= 0 || size % CDXA_SECTORBYTES != 0 || !console_readat(f, 0, sub, 4)) return -1;
  if (sub[0] != CDXA_FILENUMBER || sub[1] != sub[0] || sub[2] != CDXA_SUBMODE) return -1;
  return sub[3] == 0 || sub[3] == 1 || sub[3] == 4 || sub[3] == 5 ? sub[3] : -1;
}

}  // namespace

SABOUT* cdxa_about() {
  return console_about({"cdxa", "CD-ROM XA", -1, {SREP_CDXA}, {SREP_CDXA}, 1, 1});
}

int cdxa_identify(gfile* file) {
  return codingof(file) >= 0 ? 100 : 0;
}

int cdxa_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("A CD XA file can only contain element 0.");
  const int coding = codingof(inst->file);
  if (coding < 0) return fail("Couldn't read XA samples.");
  SINFO* info = AUREX_newsinfo();
  if (!info) return 0;
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>((coding & kCodingStereo) ? 2 : 1);
  t.samplerate = (coding & kCodingLowRate) ? kRateLow : kRateHigh;
  t.samplerep = SREP_CDXA;
  t.numsamples = static_cast<int32_t>(int64_t{gsize(inst->file)} / CDXA_SECTORBYTES * CDXA_SECTORSAMPLES /
                                      t.numchannels);
  *out = info;
  return 1;
}

int cdxa_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("A CD XA file can only contain element 0.");
  STIMBRE& t = info->timbres[0];
  const int64_t most = int64_t{gsize(inst->file)} / CDXA_SECTORBYTES * CDXA_SECTORSAMPLES;
  if (t.samplerep != SREP_CDXA || t.numchannels < 1 || t.numchannels > 2 || t.numsamples < 0 ||
      int64_t{t.numsamples} * t.numchannels > most)
    return fail("Couldn't read XA samples.");
  if (gseek(inst->file, 0) != 1) return fail("Couldn't read XA samples.");
  const int32_t positions[STIMBRE_MAXCHANNELS] = {};
  return console_importtimbre(inst->file, t, positions);
}

int cdxa_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("A CD XA file can only contain element 0.");
  STIMBRE t = info->timbres[0];
  if (t.samplerate != kRateLow && t.samplerate != kRateHigh)
    return fail("CD XA files must be sampled at 18900 or 37800 Hz.");
  if (t.numchannels < 1 || t.numchannels > 2) return fail("CD XA files can only be mono or stereo.");
  t.samplerep = SREP_CDXA;
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  const int ok = isexportsamples(inst->file, nullptr, 0, t.numsamples, 0, states, nullptr, &t);
  AUREX_freecompstates(states);
  return ok;
}
