// Shared operations of the console and bank format modules.
#include "quillon/formats/consolecommon.h"

#include <cstring>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"

SABOUT* console_about(const CONSOLE_ABOUT& c) {
  SABOUT* a = AUREX_newabout();
  if (!a) return nullptr;
  if (c.platform >= 0) {
    a->importcodesA[0] = a->exportcodesA[0] = static_cast<int8_t>(c.platform);
    a->importcodesA[1] = a->exportcodesA[1] = -1;
  }
  std::memset(a->importreps, -1, sizeof a->importreps);
  std::memset(a->exportreps, -1, sizeof a->exportreps);
  int i = 0;
  for (int8_t r : c.importreps) a->importreps[i++] = r;
  i = 0;
  for (int8_t r : c.exportreps) a->exportreps[i++] = r;
  a->elementlimit = c.elementlimit;
  a->timbrelimit = 1;
  a->formatcode = c.formatcode;
  a->caps = (c.importreps.size() ? SABOUT_CANREAD : 0u) | (c.exportreps.size() ? SABOUT_CANWRITE : 0u);
  std::strncpy(a->shortname, c.shortname, sizeof a->shortname - 1);
  std::strncpy(a->longname, c.longname, sizeof a->longname - 1);
  return a;
}

int console_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int console_close(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

bool console_rateok(int64_t rate) {
  if (sinfo_rateinrange(rate)) return true;
  AUREX_seterrorf("The file's sample rate of %lld Hz is outside %lld..%lld Hz.", static_cast<long long>(rate),
                  static_cast<long long>(SINFO_MINRATE), static_cast<long long>(SINFO_MAXRATE));
  return false;
}

bool console_readat(gfile* f, int64_t pos, void* dst, int64_t n) {
  if (pos < 0 || n < 0 || pos + n > gsize(f) || gseek(f, static_cast<int32_t>(pos)) != 1) return false;
  return gread(f, dst, static_cast<int32_t>(n)) == n;
}

int console_importtimbre(gfile* f, STIMBRE& t, const int32_t* positions) {
  for (auto*& s : t.samples) {
    if (s) gfree(s);
    s = nullptr;
  }
  if (t.numsamples == 0) return 1;
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  int ok = AUREX_allocsamples(&t) == 0;
  if (ok)
    ok = isimportsamples(f, positions, 0, 0, t.numsamples, t.numchannels, t.samplerep, states, t.samples);
  AUREX_freecompstates(states);
  return ok;
}
