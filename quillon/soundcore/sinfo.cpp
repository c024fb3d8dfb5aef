// The SINFO record family: defaults, deep copy, release, and the process-wide last error.
#include "quillon/soundcore/sinfo.h"

#include <strings.h>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "quillon/runtime/gmem.h"

namespace {

char g_lasterror[256] = "No Error";

struct RepName {
  const char* name;
  const char* shortname;
};

constexpr RepName kRepNames[SREP_COUNT] = {
    {"Signed 16-Bit Little-Endian Interleaved", "s16l_int"},
    {"Signed 16-Bit Big-Endian Interleaved", "s16b_int"},
    {"Signed 8-Bit Interleaved", "s8_int"},
    {"QV-XA Interleaved (3.7:1)", "qvxa_int"},
    {"Parlet Block (10:1)", "pl_blk"},
    {"Sony VAG Block (3.5:1)", "vag_blk"},
    {"N64 Block (3.5:1)", "n64_blk"},
    {"Signed 16-Bit Big-Endian Block", "s16b_blk"},
    {"Signed 16-Bit Little-Endian Block", "s16l_blk"},
    {"Signed 8-Bit Block", "s8_blk"},
    {"QV-XA Block (3.7:1)", "qvxa_blk"},
    {"Unsigned 8-Bit Interleaved", "u8_int"},
    {"CD-XA Interleaved (3.5:1)", "cdxa"},
    {"DVI Interleaved (4:1)", "dvi_int"},
    {"MPEG Layer 1", "layer1"},
    {"MPEG Layer 2", "layer2"},
    {"MPEG Layer 3", "layer3"},
    {"Ogg Vorbis", "ogg"},
};

constexpr int32_t kTrackAngles[4][4] = {
    {0},
    {57344, 8192},
    {54613, 10922, 32768},
    {57344, 8192, 40960, 24576},
};

// An owned copy of `size` bytes of `src` into `*dst` (null when there is nothing to copy).
bool dupblock(void** dst, const void* src, int32_t size) {
  *dst = nullptr;
  if (!src || size <= 0) return true;
  *dst = galloc(size);
  if (!*dst) return false;
  std::memcpy(*dst, src, static_cast<size_t>(size));
  return true;
}

void releaseblock(void*& p) {
  if (p) gfree(p);
  p = nullptr;
}

// Calls fn(field of t, same field of src, size of src's block) for every buffer a timbre owns.
template <typename Fn>
void forowned(STIMBRE& t, const STIMBRE& src, Fn fn) {
  for (int i = 0; i < 4; ++i) fn(t.userdata[i], src.userdata[i], src.userdatasize[i]);
  for (int i = 0; i < 2; ++i) fn(t.paramblock[i], src.paramblock[i], SINFO_PARAMBLOCKSIZE);
  for (int i = 0; i < 2; ++i) fn(t.paramblock2[i], src.paramblock2[i], SINFO_PARAMBLOCKSIZE);
  const int channels = src.numchannels < 0 ? 0 : src.numchannels > 4 ? 4 : src.numchannels;
  for (int c = 0; c < channels; ++c) {
    const int64_t samplebytes = src.numsamples > 0 ? int64_t{src.numsamples} * 2 : 0;
    fn(reinterpret_cast<void*&>(t.samples[c]), src.samples[c],
       static_cast<int32_t>(std::min<int64_t>(samplebytes, INT32_MAX)));
    fn(t.sidedata[c], src.sidedata[c], src.sidedatasize);
    fn(t.encoded[c], src.encoded[c], src.encodedsize[c]);
    fn(t.codebook[c], src.codebook[c], src.codebooksize[c]);
    fn(t.loopstate[c], src.loopstate[c], src.loopstatesize[c]);
  }
}

int usedtimbres(const SINFO* info) {
  return info->numtimbres > SINFO_MAXTIMBRES ? SINFO_MAXTIMBRES : info->numtimbres;
}

}  // namespace

void AUREX_initsound(STIMBRE* t) {
  std::memset(t, 0, sizeof *t);
  t->envelope[0][0] = 2147483647;
  t->envelope[0][1] = 127;
  t->dataoffset = -1;
  for (auto& a : t->trackangle) a = -1;
  t->highvelocity = 127;
  t->highnote = 127;
  t->pan = 64;
  t->instB = 1;
  t->volume = 127;
  t->instE = 127;
  t->rootnote = 60;
  t->instF = 64;
  t->instH = 1;
  t->instI = 255;
  t->samplerep = SREP_NONE;
  t->looptruncate = 1;
  t->bitrate = 128000;
  t->loopstart = -1;
  t->loopend = -1;
}

void AUREX_initsinfo(SINFO* info) {
  std::memset(info, 0, sizeof *info);
  for (auto& t : info->timbres) AUREX_initsound(&t);
  info->reserved = -1;
  info->streamrate = 15.0f;
  info->numtimbres = 1;
}

SINFO* AUREX_newsinfo() {
  auto* info = static_cast<SINFO*>(galloc(sizeof(SINFO)));
  if (!info) {
    AUREX_seterror("Couldn't allocate memory for SINFO structure.");
    return nullptr;
  }
  AUREX_initsinfo(info);
  return info;
}

SINSTANCE* AUREX_newinstance(gfile* file) {
  auto* inst = static_cast<SINSTANCE*>(galloc(sizeof(SINSTANCE)));
  if (!inst) {
    AUREX_seterror("Couldn't allocate memory for a SINSTANCE structure.");
    return nullptr;
  }
  std::memset(inst, 0, sizeof *inst);
  inst->file = file;
  inst->numelements = 1;
  return inst;
}

SABOUT* AUREX_newabout() {
  auto* a = static_cast<SABOUT*>(galloc(sizeof(SABOUT)));
  if (!a) {
    AUREX_seterror("Couldn't allocate memory for SABOUT structure.");
    return nullptr;
  }
  std::memset(a, 0, sizeof *a);
  for (auto* list : {a->importcodesA, a->importcodesB, a->exportcodesA, a->exportcodesB}) list[0] = -1;
  return a;
}

int AUREX_freeinstance(SINSTANCE* inst) {
  if (!gfree(inst)) {
    AUREX_seterror("Problem freeing SINSTANCE structure.");
    return 0;
  }
  return 1;
}

int AUREX_copysinfo(SINFO* dst, const SINFO* src) {
  std::memcpy(dst, src, sizeof *dst);
  // Detach every pointer first, so that after a failure dst owns only the copies it made.
  const int timbres = usedtimbres(dst);
  for (int i = 0; i < timbres; ++i)
    forowned(dst->timbres[i], src->timbres[i], [](void*& p, const void*, int32_t) { p = nullptr; });
  bool ok = true;
  for (int i = 0; i < timbres && ok; ++i)
    forowned(dst->timbres[i], src->timbres[i], [&ok](void*& p, const void* from, int32_t size) {
      if (ok) ok = dupblock(&p, from, size);
    });
  if (!ok) {
    AUREX_seterror("Couldn't allocate memory for copysinfo.\n");
    return 0;
  }
  return 1;
}

int AUREX_freesinfo(SINFO* info) {
  if (!info) return 0;
  for (int i = 0; i < usedtimbres(info); ++i)
    forowned(info->timbres[i], info->timbres[i], [](void*& p, const void*, int32_t) { releaseblock(p); });
  gfree(info);
  return 1;
}

int AUREX_allocsamples(STIMBRE* t) {
  const int channels = t->numchannels < 0 ? 0 : t->numchannels > 4 ? 4 : t->numchannels;
  for (int c = 0; c < channels; ++c) {
    const int64_t bytes = static_cast<int64_t>(t->numsamples) * 2;
    t->samples[c] = bytes > 0 && bytes <= INT32_MAX
                        ? static_cast<int16_t*>(galloc(static_cast<int32_t>(bytes)))
                        : nullptr;
    if (!t->samples[c]) {
      for (int k = 0; k <= c; ++k) releaseblock(reinterpret_cast<void*&>(t->samples[k]));
      AUREX_seterror("Couldn't allocate memory for audio samples.");
      return -1;
    }
  }
  return 0;
}

int AUREX_adduserdata(STIMBRE* t, int32_t size, const void* data) {
  int slot = -1;
  for (int i = 0; i < 4; ++i)
    if (!t->userdata[i]) slot = i;
  if (slot < 0) {
    AUREX_seterror("Couldn't find a free slot to add user data.");
    return 0;
  }
  if (!dupblock(&t->userdata[slot], data, size) || !t->userdata[slot]) {
    AUREX_seterror("Couldn't allocate mem to copy user data chunk.");
    return 0;
  }
  t->userdatasize[slot] = size;
  return 1;
}

void AUREX_defaulttrackangles(STIMBRE* t) {
  if (t->trackangle[0] != -1 || t->numchannels < 1 || t->numchannels > 4) return;
  for (int c = 0; c < t->numchannels; ++c) t->trackangle[c] = kTrackAngles[t->numchannels - 1][c];
}

const char* AUREX_samplerepname(int rep) {
  return rep >= 0 && rep < SREP_COUNT ? kRepNames[rep].name : "Unknown";
}

const char* AUREX_samplerepshortname(int rep) {
  return rep >= 0 && rep < SREP_COUNT ? kRepNames[rep].shortname : "Unknown";
}

int AUREX_samplerepbyname(const char* name) {
  for (int rep = 0; rep < SREP_COUNT; ++rep)
    if (strcasecmp(name, kRepNames[rep].shortname) == 0) return rep;
  return SREP_NONE;
}

const char* AUREX_lasterror() {
  return g_lasterror;
}

void AUREX_seterror(const char* message) {
  std::snprintf(g_lasterror, sizeof g_lasterror, "%s", message);
}

void AUREX_seterrorf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_lasterror, sizeof g_lasterror, format, args);
  va_end(args);
}
