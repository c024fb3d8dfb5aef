// The Ogg Vorbis module over the codec's probe, scan, decoder and encoder. Info finds the facts
// itself rather than through state left behind by identify, so a file opened by its format
// number reads the same as an identified one.
#include "quillon/formats/oggvorbis.h"

#include <cstring>

#include "quillon/codecs/oggvorbis.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"

namespace {

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

}  // namespace

SABOUT* oggvorbis_about() {
  SABOUT* a = AUREX_newabout();
  if (!a) return nullptr;
  const int8_t reps[] = {SREP_OGG, -1};
  std::memcpy(a->importreps, reps, sizeof reps);
  std::memcpy(a->exportreps, reps, sizeof reps);
  a->elementlimit = 1;
  a->timbrelimit = 1;
  a->formatcode = 2;
  a->caps = SABOUT_CANREAD | SABOUT_CANWRITE;
  std::strcpy(a->shortname, "oggvorbis");
  std::strcpy(a->longname, "Ogg Vorbis");
  return a;
}

int oggvorbis_identify(gfile* file) {
  return oggvorbis_probe(file, nullptr) ? 100 : 0;
}

int oggvorbis_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int oggvorbis_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from a patch element other than 0 was made.");
  OGGVORBIS_FACTS facts{};
  const char* message = nullptr;
  if (!oggvorbis_scan(inst->file, &facts, &message)) return fail(message);
  if (facts.channels < 1) return fail("Unsupported number of channels in Ogg Vorbis importer.");
  if (!sinfo_rateinrange(facts.rate)) return fail("Unsupported sample rate in Ogg Vorbis importer.");
  if (facts.samples > INT32_MAX) return fail("The Ogg Vorbis bitstream is too long.");
  SINFO* info = AUREX_newsinfo();
  if (!info) return fail("Couldn't allocate memory for an SINFO structure.");
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>(facts.channels);
  t.samplerate = facts.rate;
  t.numsamples = static_cast<int32_t>(facts.samples);
  t.samplerep = SREP_OGG;
  *out = info;
  return 1;
}

int oggvorbis_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("An attempt to read from a patch element other than 0 was made.");
  STIMBRE& t = info->timbres[0];
  if (t.numsamples > 0 && AUREX_allocsamples(&t) != 0) return 0;
  const int32_t positions[STIMBRE_MAXCHANNELS] = {};
  return isimportsamples(inst->file, positions, 0, 0, t.numsamples, t.numchannels, SREP_OGG, nullptr,
                         t.samples);
}

int oggvorbis_close(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

int oggvorbis_create(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int oggvorbis_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("Ogg Vorbis files can only contain element 0.");
  STIMBRE t = info->timbres[0];  // a flat copy: the caller's record stays as it was
  if (t.samplerate != OGGVORBIS_WRITERATE)
    return fail(
        "Cannot convert audio data with this samplerate to ogg vorbis format.  Please re-sample input data "
        "to "
        "44.1kHz");
  t.samplerep = SREP_OGG;
  return isexportsamples(inst->file, nullptr, 0, t.numsamples, 0, nullptr, nullptr, &t);
}

int oggvorbis_wclose(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}
