// MPEG audio reader and writer. A file is taken to be MPEG audio from the first offset where seven
// frames chain header to header; everything before it (tags, junk) is skipped, and the walk ends
// at the first byte that does not start a whole acceptable frame (a trailing tag, a cut frame).
#include "quillon/formats/mpeg.h"

#include <algorithm>
#include <cstring>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"

namespace {

constexpr int kIdentifyScore = 75;
constexpr int kChainFrames = 7;   // frames in a row that make a stream
constexpr int kHeaderBytes = 4;   // big-endian frame header word
constexpr int kScanBytes = 8192;  // identify reads the file in pieces of this size
constexpr int kFormatCode = 2;

// Instance words: where the stream starts once info has found it.
enum : int { kPrivStart = 0, kPrivFound = 1 };

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

// True when kChainFrames whole acceptable frames follow one another from `at`.
bool chains(gfile* file, int64_t at, int64_t size) {
  uint8_t head[kHeaderBytes];
  for (int k = 0; k < kChainFrames; ++k) {
    if (at + kHeaderBytes > size || gseek(file, static_cast<int32_t>(at)) != 1 ||
        gread(file, head, kHeaderBytes) != kHeaderBytes)
      return false;
    const int32_t length = mpeg_framelength(ggetbe(head, 4), nullptr);
    if (length == 0 || at + kHeaderBytes + length > size) return false;
    at += kHeaderBytes + length;
  }
  return true;
}

// Where the stream starts: found by info, else searched again.
int32_t streamstart(SINSTANCE* inst) {
  if (inst->priv[kPrivFound]) return static_cast<int32_t>(inst->priv[kPrivStart]);
  return mpeg_findstream(inst->file);
}

}  // namespace

int32_t mpeg_findstream(gfile* file) {
  const int64_t size = gsize(file);
  // The piece overlaps the next by a header less one byte, so no header is split.
  uint8_t buf[kScanBytes + kHeaderBytes - 1];
  for (int64_t base = 0; base + kHeaderBytes <= size; base += kScanBytes) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(sizeof buf, size - base));
    if (gseek(file, static_cast<int32_t>(base)) != 1 || gread(file, buf, n) != n) return -1;
    const int32_t last = std::min(kScanBytes, n - (kHeaderBytes - 1));
    for (int32_t i = 0; i < last; ++i) {
      // The byte pair test keeps the chain walk for places that can hold a header.
      if (buf[i] != 0xFF || (buf[i + 1] & 0xF0) != 0xF0) continue;
      if (mpeg_framelength(ggetbe(buf + i, 4), nullptr) == 0) continue;
      if (chains(file, base + i, size)) return static_cast<int32_t>(base + i);
    }
  }
  return -1;
}

SABOUT* mpeg_about() {
  SABOUT* a = AUREX_newabout();
  if (!a) return nullptr;
  const int8_t importreps[] = {SREP_LAYER1, SREP_LAYER2, SREP_LAYER3, -1};
  const int8_t exportreps[] = {SREP_LAYER1, SREP_LAYER2, -1};
  std::memcpy(a->importreps, importreps, sizeof importreps);
  std::memcpy(a->exportreps, exportreps, sizeof exportreps);
  a->elementlimit = 1;
  a->timbrelimit = 1;
  a->formatcode = kFormatCode;
  a->caps = SABOUT_CANREAD | SABOUT_CANWRITE;
  std::strcpy(a->shortname, "mpeg");
  std::strcpy(a->longname, "MPEG");
  return a;
}

int mpeg_identify(gfile* file) {
  return mpeg_findstream(file) >= 0 ? kIdentifyScore : 0;
}

int mpeg_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int mpeg_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from an element other than 0 was made.");
  const int32_t start = mpeg_findstream(inst->file);
  if (start < 0) return fail("Couldn't find MPEG audio frames in the file.");
  const MPEG_WALK walk = mpeg_walk(inst->file, start, 0);
  if (walk.frames == 0) return fail("Couldn't find MPEG audio frames in the file.");
  if (walk.samples > INT32_MAX) return fail("The MPEG audio stream is too long.");
  if (!sinfo_rateinrange(walk.last.samplerate)) return fail("Unsupported sample rate in MPEG importer.");
  SINFO* info = static_cast<SINFO*>(galloc(sizeof(SINFO)));
  if (!info) return fail("Couldn't allocate memory for an SINFO structure.");
  AUREX_initsinfo(info);
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>(walk.last.channels);
  t.samplerate = walk.last.samplerate;
  t.numsamples = static_cast<int32_t>(walk.samples);
  t.samplerep = static_cast<int8_t>(SREP_LAYER1 + walk.last.layer - 1);
  inst->priv[kPrivStart] = start;
  inst->priv[kPrivFound] = 1;
  *out = info;
  return 1;
}

int mpeg_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("MPEG files can only contain element 0.");
  STIMBRE& t = info->timbres[0];
  if (t.samplerep != SREP_LAYER1 && t.samplerep != SREP_LAYER2 && t.samplerep != SREP_LAYER3)
    return fail("Unsupported sample import format.");
  if (t.numchannels < 1 || t.numchannels > STIMBRE_MAXCHANNELS || t.numsamples < 0)
    return fail("Unsupported sample import format.");
  const int32_t start = streamstart(inst);
  // The sample count is only a claim of the caller's record: the buffers are made for no more
  // samples than the frames in the file hold.
  if (start < 0 || mpeg_walk(inst->file, start, t.numsamples).samples < t.numsamples)
    return fail("Couldn't read MPEG samples.");
  if (t.numsamples == 0) return 1;
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  if (AUREX_allocsamples(&t) != 0) {
    AUREX_freecompstates(states);
    return 0;
  }
  const int32_t positions[STIMBRE_MAXCHANNELS] = {start};
  // Position 0 means "from here", so the file must stand at the start as well.
  int result = gseek(inst->file, start) == 1;
  if (!result)
    AUREX_seterror("Couldn't read MPEG samples.");
  else
    result = isimportsamples(inst->file, positions, 0, 0, t.numsamples, t.numchannels, t.samplerep, states,
                             t.samples);
  AUREX_freecompstates(states);
  return result;
}

int mpeg_close(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

int mpeg_create(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  if (*out) (*out)->numelements = 0;
  return *out ? 1 : 0;
}

int mpeg_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("MPEG files can only contain element 0.");
  const STIMBRE& t = info->timbres[0];
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  int result = gseek(inst->file, 0) == 1;
  if (!result)
    AUREX_seterror("Couldn't write to file stream.");
  else
    result = isexportsamples(inst->file, nullptr, 0, t.numsamples, 0, states, nullptr, &t);
  AUREX_freecompstates(states);
  return result;
}

int mpeg_wclose(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}
