// The file API over the constant table of format modules: dispatch with the "not supported"
// messages, identification, the checks around every exporter, and the nearest representation.
#include "quillon/soundcore/aurex.h"

#include <bit>
#include <cstring>

#include "quillon/runtime/gmem.h"

namespace {

AUREX_PROGRESSFN g_progress = nullptr;

// The module of `format` when it has the operation `op`, else null after storing `message`.
template <typename Op>
const AUREX_FORMAT* module(aurex::FormatTable table, int format, Op AUREX_FORMAT::*op, const char* message) {
  if (format < 0 || static_cast<size_t>(format) >= table.size() || !(table[format].*op)) {
    AUREX_seterror(message);
    return nullptr;
  }
  return &table[format];
}

int formatof(const SINSTANCE* inst) {
  return inst ? inst->format : -1;
}

// Candidates in order of preference, per current representation.
using R = int8_t;
constexpr R s16l_int = SREP_S16L_INT, s16b_int = SREP_S16B_INT, s8_int = SREP_S8_INT,
            qvxa_int = SREP_QVXA_INT, pl_blk = SREP_PL_BLK, vag_blk = SREP_VAG_BLK, n64_blk = SREP_N64_BLK,
            s16b_blk = SREP_S16B_BLK, s16l_blk = SREP_S16L_BLK, s8_blk = SREP_S8_BLK,
            qvxa_blk = SREP_QVXA_BLK, u8_int = SREP_U8_INT, cdxa = SREP_CDXA, dvi_int = SREP_DVI_INT,
            layer1 = SREP_LAYER1, layer2 = SREP_LAYER2, layer3 = SREP_LAYER3, ogg = SREP_OGG;
constexpr R kPreference[SREP_COUNT][SREP_COUNT] = {
    /* s16l_int */ {s16l_int, s16b_int, s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, qvxa_int, qvxa_blk,
                    dvi_int, vag_blk, n64_blk, cdxa, layer1, layer2, layer3, ogg, pl_blk},
    /* s16b_int */
    {s16b_int, s16l_int, s16b_blk, s16l_blk, s8_int, s8_blk, u8_int, qvxa_int, qvxa_blk, dvi_int, vag_blk,
     n64_blk, cdxa, layer1, layer2, layer3, ogg, pl_blk},
    /* s8_int */
    {s8_int, s8_blk, u8_int, s16l_int, s16b_int, s16l_blk, s16b_blk, qvxa_int, qvxa_blk, dvi_int, vag_blk,
     n64_blk, cdxa, layer1, layer2, layer3, ogg, pl_blk},
    /* qvxa_int */
    {qvxa_int, qvxa_blk, cdxa, vag_blk, n64_blk, dvi_int, layer1, layer2, layer3, ogg, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* pl_blk */
    {pl_blk, ogg, layer3, layer2, layer1, dvi_int, qvxa_int, qvxa_blk, cdxa, vag_blk, n64_blk, s16l_int,
     s16b_int, s16l_blk, s16b_blk, s8_int, s8_blk, u8_int},
    /* vag_blk */
    {vag_blk, qvxa_int, qvxa_blk, cdxa, n64_blk, dvi_int, layer1, layer2, ogg, layer3, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* n64_blk */
    {n64_blk, vag_blk, qvxa_int, qvxa_blk, cdxa, dvi_int, layer1, layer2, ogg, layer3, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* s16b_blk */
    {s16b_blk, s16l_blk, s16b_int, s16l_int, s8_int, s8_blk, u8_int, qvxa_int, qvxa_blk, dvi_int, vag_blk,
     n64_blk, cdxa, layer1, layer2, ogg, layer3, pl_blk},
    /* s16l_blk */
    {s16l_blk, s16b_blk, s16l_int, s16b_int, s8_int, s8_blk, u8_int, qvxa_int, qvxa_blk, dvi_int, vag_blk,
     n64_blk, cdxa, layer1, layer2, ogg, layer3, pl_blk},
    /* s8_blk */
    {s8_blk, s8_int, u8_int, s16l_blk, s16b_blk, s16l_int, s16b_int, qvxa_blk, qvxa_int, vag_blk, n64_blk,
     cdxa, dvi_int, layer1, layer2, ogg, layer3, pl_blk},
    /* qvxa_blk */
    {qvxa_blk, qvxa_int, cdxa, vag_blk, n64_blk, dvi_int, s16l_blk, s16b_blk, s16l_int, s16b_int, s8_int,
     s8_blk, u8_int, layer1, layer2, ogg, layer3, pl_blk},
    /* u8_int */
    {u8_int, s8_int, s8_blk, s16l_int, s16b_int, s16l_blk, s16b_blk, qvxa_int, qvxa_blk, dvi_int, vag_blk,
     n64_blk, cdxa, layer1, layer2, ogg, layer3, pl_blk},
    /* cdxa */
    {cdxa, qvxa_int, qvxa_blk, vag_blk, n64_blk, dvi_int, layer1, layer2, ogg, layer3, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* dvi_int */
    {dvi_int, cdxa, qvxa_int, qvxa_blk, vag_blk, n64_blk, layer1, layer2, ogg, layer3, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* layer1 */
    {layer1, layer2, layer3, ogg, cdxa, qvxa_int, qvxa_blk, vag_blk, n64_blk, dvi_int, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* layer2 */
    {layer2, layer3, ogg, layer1, cdxa, qvxa_int, qvxa_blk, vag_blk, n64_blk, dvi_int, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* layer3 */
    {layer3, ogg, layer2, layer1, cdxa, qvxa_int, qvxa_blk, vag_blk, n64_blk, dvi_int, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
    /* ogg */
    {ogg, layer3, layer2, layer1, cdxa, qvxa_int, qvxa_blk, vag_blk, n64_blk, dvi_int, s16l_int, s16b_int,
     s16l_blk, s16b_blk, s8_int, s8_blk, u8_int, pl_blk},
};

bool inlist(const int8_t* list, int size, int value) {
  for (int i = 0; i < size && list[i] >= 0; ++i)
    if (list[i] == value) return true;
  return false;
}

}  // namespace

namespace aurex {

SABOUT* about(FormatTable table, int format) {
  const auto* m =
      module(table, format, &AUREX_FORMAT::about, "The file format passed to AUREX_about is not supported.");
  return m ? m->about() : nullptr;
}

int identify(FormatTable table, gfile* file) {
  int best = 0;
  int index = -1;
  for (size_t i = 0; i < table.size(); ++i) {
    if (!table[i].identify) continue;
    const int score = table[i].identify(file);
    if (score > best) {
      best = score;
      index = static_cast<int>(i);
    }
    if (score == 100) break;
  }
  return index;
}

int open(FormatTable table, gfile* file, SINSTANCE** out, int format) {
  const auto* m =
      module(table, format, &AUREX_FORMAT::open, "The file format passed to AUREX_open is not supported.");
  if (!m) return 0;
  const int result = m->open(out, file);
  if (result > 0 && *out) (*out)->format = format;
  return result;
}

int info(FormatTable table, SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  const auto* m = module(table, formatof(inst), &AUREX_FORMAT::info,
                         "The file format passed to AUREX_info is not supported.");
  return m ? m->info(inst, out, element) : 0;
}

int read(FormatTable table, SINSTANCE* inst, SINFO* sinfo, int element) {
  const auto* m = module(table, formatof(inst), &AUREX_FORMAT::read,
                         "The file format passed to AUREX_read is not supported.");
  if (!m) return 0;
  if (!sinfo) {
    AUREX_seterror("A NULL SINFO structure was passed to AUREX_read.");
    return 0;
  }
  return m->read(inst, sinfo, element);
}

int close(FormatTable table, SINSTANCE* inst) {
  const auto* m = module(table, formatof(inst), &AUREX_FORMAT::close,
                         "The file format passed to AUREX_close is not supported.");
  return m ? m->close(inst) : 0;
}

int create(FormatTable table, gfile* file, SINSTANCE** out, int format) {
  const auto* m = module(table, format, &AUREX_FORMAT::create,
                         "The file format passed to AUREX_create is not supported.");
  if (!m) return 0;
  const int result = m->create(out, file);
  if (result > 0 && *out) (*out)->format = format;
  return result;
}

int write(FormatTable table, SINSTANCE* inst, SINFO* sinfo, int element) {
  const int format = formatof(inst);
  const auto* m =
      module(table, format, &AUREX_FORMAT::write, "The file format passed to AUREX_write is not supported.");
  if (!m) return 0;
  const int timbres = sinfo->numtimbres > SINFO_MAXTIMBRES ? SINFO_MAXTIMBRES : sinfo->numtimbres;
  for (int i = 0; i < timbres; ++i) {
    if (!supportssamplerep(table, format, sinfo->timbres[i].samplerep)) {
      AUREX_seterror("This exporter does not support the sample representation specified.");
      return 0;
    }
  }
  for (int i = 0; i < timbres; ++i)
    if (!checkplayback(table, format, &sinfo->timbres[i])) return 0;
  auto* before = static_cast<SINFO*>(galloc(sizeof(SINFO)));
  if (!before) {
    AUREX_seterror("Couldn't allocate memory for testing SINFO.\n");
    return 0;
  }
  std::memcpy(before, sinfo, sizeof(SINFO));
  int result = m->write(inst, sinfo, element);
  if (std::memcmp(before, sinfo, sizeof(SINFO)) != 0) {
    AUREX_seterror("INTERNAL ERROR: Source SINFO was modified by exporter.");
    result = 0;
  }
  gfree(before);
  return result;
}

int wclose(FormatTable table, SINSTANCE* inst) {
  const auto* m = module(table, formatof(inst), &AUREX_FORMAT::wclose,
                         "The file format passed to AUREX_wclose is not supported.");
  return m ? m->wclose(inst) : 0;
}

int supportssamplerep(FormatTable table, int format, int samplerep) {
  SABOUT* a = about(table, format);
  if (!a) return 0;
  const bool found = samplerep >= 0 && inlist(a->exportreps, sizeof a->exportreps, samplerep);
  gfree(a);
  return found ? 1 : 0;
}

int checkplayback(FormatTable table, int format, const STIMBRE* t) {
  SABOUT* a = about(table, format);
  if (!a) return 0;
  const uint32_t cap = a->caps;
  const uint32_t sp = a->spatial;
  gfree(a);
  const auto bit = [](uint32_t v, int n) { return ((v >> n) & 1u) != 0; };

  if (std::popcount(cap & SABOUT_PLAYLOC_MASK) > 1) {
    const bool bad = (t->playloc == 8 && !bit(cap, 25)) || (t->playloc == 4 && !bit(cap, 26)) ||
                     (t->playloc == 16 && !bit(cap, 27));
    if (bad) {
      AUREX_seterror("The specified playloc is not supported by this exporter.");
      return 0;
    }
  }
  if (std::popcount(cap & SABOUT_PLAYLOCFLAG_MASK) > 1) {
    const bool bad = (t->playlocflag == 1 && !bit(cap, 29)) || (t->playlocflag == 2 && !bit(cap, 30)) ||
                     (t->playlocflag == 0 && !bit(cap, 28));
    if (bad) {
      AUREX_seterror("The specified playlocflag is not supported by this exporter.");
      return 0;
    }
  }
  if (std::popcount(sp & 7u) + (bit(cap, 31) ? 1 : 0) > 1) {
    const bool bad = (t->spatialization == 32 && !bit(sp, 0)) || (t->spatialization == 64 && !bit(sp, 1)) ||
                     (t->spatialization == 128 && !bit(sp, 2)) || (t->spatialization == 0 && !bit(cap, 31));
    if (bad) {
      AUREX_seterror("The specified spatialization is not supported by this exporter.");
      return 0;
    }
  }
  return 1;
}

int closestsamplerepsound(FormatTable table, STIMBRE* t, int format) {
  if (t->samplerep >= 0 && t->samplerep < SREP_COUNT) {
    SABOUT* a = about(table, format);
    if (a) {
      for (const R candidate : kPreference[t->samplerep]) {
        if (inlist(a->exportreps, sizeof a->exportreps, candidate)) {
          t->samplerep = candidate;
          gfree(a);
          return 1;
        }
      }
      gfree(a);
    }
  }
  AUREX_seterror("Couldn't find appropriate samplerep in AUREX_closestsamplerepsound.");
  return 0;
}

}  // namespace aurex

SABOUT* AUREX_about(int format) {
  return aurex::about(AUREX_formats, format);
}
int AUREX_identify(gfile* file) {
  return aurex::identify(AUREX_formats, file);
}
int AUREX_open(gfile* file, SINSTANCE** out, int format) {
  return aurex::open(AUREX_formats, file, out, format);
}
int AUREX_info(SINSTANCE* inst, SINFO** out, int element) {
  return aurex::info(AUREX_formats, inst, out, element);
}
int AUREX_read(SINSTANCE* inst, SINFO* info, int element) {
  return aurex::read(AUREX_formats, inst, info, element);
}
int AUREX_close(SINSTANCE* inst) {
  return aurex::close(AUREX_formats, inst);
}
int AUREX_create(gfile* file, SINSTANCE** out, int format) {
  return aurex::create(AUREX_formats, file, out, format);
}
int AUREX_write(SINSTANCE* inst, SINFO* info, int element) {
  return aurex::write(AUREX_formats, inst, info, element);
}
int AUREX_wclose(SINSTANCE* inst) {
  return aurex::wclose(AUREX_formats, inst);
}
int AUREX_supportssamplerep(int format, int samplerep) {
  return aurex::supportssamplerep(AUREX_formats, format, samplerep);
}
int AUREX_checkplayback(int format, const STIMBRE* timbre) {
  return aurex::checkplayback(AUREX_formats, format, timbre);
}
int AUREX_closestsamplerepsound(STIMBRE* timbre, int format) {
  return aurex::closestsamplerepsound(AUREX_formats, timbre, format);
}

void AUREX_setprogress(AUREX_PROGRESSFN fn) {
  g_progress = fn;
}

void AUREX_progress(int percent) {
  if (g_progress) g_progress(percent);
}
