// RIFF/WAVE reader and writer. The format body must follow the RIFF header directly (offset 20);
// the "data" chunk is found by walking the chunks, so text inside other chunks never counts.
#include "quillon/formats/wave.h"

#include <cstring>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"

namespace {

constexpr int kHeaderSize = 20;      // "RIFF", size, "WAVE", "fmt ", body size
constexpr int kFormatBodySize = 16;  // tag, channels, rate, bytes per second, align, bits
constexpr int kChunkHeaderSize = 8;  // id and little-endian size
constexpr uint32_t kFormatPcm = 1;

struct FormatBody {
  uint32_t tag;
  uint32_t channels;
  uint32_t rate;
  uint32_t bits;
};

FormatBody parsebody(const uint8_t* b) {
  return {ggetle(b, 2), ggetle(b + 2, 2), ggetle(b + 4, 4), ggetle(b + 14, 2)};
}

bool readheader(gfile* file, uint8_t header[kHeaderSize + kFormatBodySize]) {
  return gseek(file, 0) &&
         gread(file, header, kHeaderSize + kFormatBodySize) == kHeaderSize + kFormatBodySize;
}

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

// The data chunk's size, with the file positioned at its first sample byte; -1 after reporting.
int64_t finddata(gfile* file) {
  if (wave_findchunk(file, "data") < 0) {
    AUREX_seterror("Coudn't find data chunk.");
    return -1;
  }
  uint8_t chunk[kChunkHeaderSize];
  if (gread(file, chunk, kChunkHeaderSize) != kChunkHeaderSize) {
    AUREX_seterror("Couldn't read from file.");
    return -1;
  }
  return ggetle(chunk + 4, 4);
}

}  // namespace

int32_t wave_findchunk(gfile* file, const char id[4]) {
  const int64_t size = gsize(file);
  int64_t at = 12;
  uint8_t chunk[kChunkHeaderSize];
  while (at + kChunkHeaderSize <= size) {
    if (!gseek(file, static_cast<int32_t>(at)) || gread(file, chunk, kChunkHeaderSize) != kChunkHeaderSize)
      break;
    if (std::memcmp(chunk, id, 4) == 0) {
      gseek(file, static_cast<int32_t>(at));
      return static_cast<int32_t>(at);
    }
    const int64_t body = ggetle(chunk + 4, 4);
    at += kChunkHeaderSize + body + (body & 1);
  }
  return -1;
}

SABOUT* wave_about() {
  auto* a = static_cast<SABOUT*>(galloc(sizeof(SABOUT)));
  if (!a) {
    AUREX_seterror("Couldn't allocate memory for SABOUT structure.");
    return nullptr;
  }
  std::memset(a, 0, sizeof *a);
  for (auto* list : {a->importcodesA, a->importcodesB, a->exportcodesA, a->exportcodesB}) list[0] = -1;
  const int8_t reps[] = {SREP_S16L_INT, SREP_U8_INT, -1};
  std::memcpy(a->importreps, reps, sizeof reps);
  std::memcpy(a->exportreps, reps, sizeof reps);
  a->elementlimit = 1;
  a->timbrelimit = 1;
  a->formatcode = 2;
  a->caps = SABOUT_CANREAD | SABOUT_CANWRITE;
  std::strcpy(a->shortname, "wave");
  std::strcpy(a->longname, "Microsoft Wave");
  return a;
}

int wave_identify(gfile* file) {
  uint8_t h[kHeaderSize + kFormatBodySize];
  if (!readheader(file, h)) return 0;
  if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0) return 0;
  return ggetle(h + kHeaderSize, 2) == kFormatPcm ? 100 : 0;
}

int wave_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int wave_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from an element other than 0 was made.");
  uint8_t h[kHeaderSize + kFormatBodySize];
  if (!readheader(inst->file, h)) return fail("Couldn't read from file.");
  const FormatBody body = parsebody(h + kHeaderSize);
  if (body.tag != kFormatPcm) return fail("Unrecognized wave format tag.");
  const int64_t datasize = finddata(inst->file);
  if (datasize < 0) return 0;
  if (body.channels < 1 || body.channels > STIMBRE_MAXCHANNELS)
    return fail("Unsupported number of channels in Wave importer.");
  if (body.bits != 8 && body.bits != 16) return fail("Unsupported bits per sample in Wave importer.");
  if (!sinfo_rateinrange(body.rate)) return fail("Unsupported sample rate in Wave importer.");
  SINFO* info = static_cast<SINFO*>(galloc(sizeof(SINFO)));
  if (!info) return fail("Couldn't allocate memory for an SINFO structure.");
  AUREX_initsinfo(info);
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>(body.channels);
  t.samplerate = static_cast<int32_t>(body.rate);
  int64_t frames = datasize / body.channels;
  if (body.bits == 16) frames /= 2;
  t.numsamples = static_cast<int32_t>(frames > INT32_MAX ? INT32_MAX : frames);
  t.samplerep = body.bits == 8 ? SREP_U8_INT : SREP_S16L_INT;
  *out = info;
  return 1;
}

int wave_read(SINSTANCE* inst, SINFO* info, int) {
  STIMBRE& t = info->timbres[0];
  const int bytes = t.samplerep == SREP_S16L_INT ? 2 : 1;
  if (finddata(inst->file) < 0) return 0;
  // The header's sizes are only claims: never allocate for more frames than the file holds.
  const int64_t available = gsize(inst->file) - gtell(inst->file);
  if (static_cast<int64_t>(t.numsamples) * t.numchannels * bytes > available)
    return fail(bytes == 2 ? "Couldn't read 16-bit samples from file."
                           : "Couldn't read 8-bit samples from file.");
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  if (t.numsamples > 0 && AUREX_allocsamples(&t) != 0) {
    AUREX_freecompstates(states);
    return 0;
  }
  const int32_t positions[STIMBRE_MAXCHANNELS] = {};
  const int result = isimportsamples(inst->file, positions, 0, 0, t.numsamples, t.numchannels, t.samplerep,
                                     states, t.samples);
  AUREX_freecompstates(states);
  return result;
}

int wave_close(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

int wave_create(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  if (*out) (*out)->numelements = 0;
  return *out ? 1 : 0;
}

int wave_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("WAVE files can only contain element 0.");
  const STIMBRE& t = info->timbres[0];
  int bits;
  if (t.samplerep == SREP_S16L_INT)
    bits = 16;
  else if (t.samplerep == SREP_U8_INT)
    bits = 8;
  else
    return fail("Unsupported bits per sample in Wave exporter.");
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;

  gfile* f = inst->file;
  const uint32_t align = static_cast<uint32_t>(t.numchannels) * (bits / 8);
  uint8_t head[kHeaderSize + kFormatBodySize + kChunkHeaderSize] = {};
  uint8_t* body = head + kHeaderSize;
  gputle(body, kFormatPcm, 2);
  gputle(body + 2, static_cast<uint32_t>(t.numchannels), 2);
  gputle(body + 4, static_cast<uint32_t>(t.samplerate), 4);
  gputle(body + 8, align * static_cast<uint32_t>(t.samplerate), 4);
  gputle(body + 12, align, 2);
  gputle(body + 14, static_cast<uint32_t>(bits), 2);
  std::memcpy(body + kFormatBodySize, "data", 4);
  gputle(body + kFormatBodySize + 4, align * static_cast<uint32_t>(t.numsamples), 4);
  int result = gseek(f, 0) && gwrite(f, head, sizeof head) == static_cast<int32_t>(sizeof head);
  if (!result) {
    AUREX_seterror("Couldn't write to file stream.");
  } else {
    result = isexportsamples(f, nullptr, 0, t.numsamples, 0, states, nullptr, &t);
    if (result) {
      const int32_t size = gtell(f);
      std::memcpy(head, "RIFF", 4);
      gputle(head + 4, static_cast<uint32_t>(size - 8), 4);
      std::memcpy(head + 8, "WAVEfmt ", 8);
      gputle(head + 16, kFormatBodySize, 4);
      if (!gseek(f, 0) || gwrite(f, head, kHeaderSize) != kHeaderSize)
        result = fail("Couldn't write to file stream.");
      gseek(f, size);
    }
  }
  AUREX_freecompstates(states);
  return result;
}

int wave_wclose(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}
