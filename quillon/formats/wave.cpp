// RIFF/WAVE reader and writer. The reader walks the chunks for both "fmt " and "data" (recorders put
// "JUNK" or "bext" first), so text inside other chunks never counts. Besides the 8-bit and 16-bit
// PCM the writer makes, it reads what editors export: 24/32-bit PCM, 32/64-bit float and
// WAVE_FORMAT_EXTENSIBLE, converted to 16 bits as they are read.
#include "quillon/formats/wave.h"

#include <algorithm>
#include <cstring>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"
#include "quillon/soundcore/widepcm.h"

namespace {

constexpr int kHeaderSize = 20;      // "RIFF", size, "WAVE", "fmt ", body size
constexpr int kFormatBodySize = 16;  // tag, channels, rate, bytes per second, align, bits
constexpr int kExtensibleBodySize = 40;
constexpr int kChunkHeaderSize = 8;  // id and little-endian size
constexpr uint32_t kFormatPcm = 1;
constexpr uint32_t kFormatFloat = 3;
constexpr uint32_t kFormatExtensible = 0xFFFE;
// The sub-format GUID of an extensible body is a format tag followed by these 14 bytes.
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr int kGuidOffset = 24;

constexpr const char* kMsgRead = "Couldn't read from file.";
constexpr const char* kMsgTag = "Unrecognized wave format tag.";

struct Format {
  uint32_t tag;       // kFormatPcm or kFormatFloat, the extensible sub-format resolved
  uint32_t channels;  // in the file
  uint32_t keep;      // read into the timbre: extensible files give up channels past the limit
  uint32_t rate;
  uint32_t bits;  // container bits per sample
  bool extensible;

  uint32_t width() const { return bits / 8; }
  uint32_t framebytes() const { return channels * width(); }
  // What the sample engine reads itself; everything else is converted as it is read.
  bool engine() const { return tag == kFormatPcm && (bits == 8 || bits == 16) && keep == channels; }
  WIDEPCM_LAYOUT layout() const {
    return {static_cast<int>(width()), tag == kFormatFloat, false, true, static_cast<int>(channels)};
  }
};

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

// The format body, found by walking the chunks; null, or the message of what is wrong with it.
const char* readformat(gfile* file, Format& f) {
  uint8_t riff[12];
  if (!gseek(file, 0) || gread(file, riff, 12) != 12) return kMsgRead;
  if (wave_findchunk(file, "fmt ") < 0) return kMsgRead;
  uint8_t head[kChunkHeaderSize];
  if (gread(file, head, kChunkHeaderSize) != kChunkHeaderSize) return kMsgRead;
  const int64_t declared = ggetle(head + 4, 4);
  const int64_t size = std::min<int64_t>({declared, kExtensibleBodySize, gsize(file) - gtell(file)});
  uint8_t body[kExtensibleBodySize] = {};
  if (size < kFormatBodySize || gread(file, body, static_cast<int32_t>(size)) != size) return kMsgRead;
  f = {ggetle(body, 2), ggetle(body + 2, 2), 0, ggetle(body + 4, 4), ggetle(body + 14, 2), false};
  if (f.tag == kFormatExtensible) {
    if (size < kExtensibleBodySize || std::memcmp(body + kGuidOffset + 2, kGuidTail, sizeof kGuidTail) != 0)
      return kMsgTag;
    f.tag = ggetle(body + kGuidOffset, 2);
    f.extensible = true;
  }
  if (f.tag != kFormatPcm && f.tag != kFormatFloat) return kMsgTag;
  f.keep = f.extensible ? std::min<uint32_t>(f.channels, STIMBRE_MAXCHANNELS) : f.channels;
  return nullptr;
}

// What this module cannot read of a format body it understands; null when it can read it all.
const char* unsupported(const Format& f) {
  if (f.keep < 1 || f.keep > STIMBRE_MAXCHANNELS) return "Unsupported number of channels in Wave importer.";
  const bool known = f.tag == kFormatPcm ? (f.bits == 8 || f.bits == 16 || f.bits == 24 || f.bits == 32)
                                         : (f.bits == 32 || f.bits == 64);
  if (!known) return "Unsupported bits per sample in Wave importer.";
  if (!sinfo_rateinrange(f.rate)) return "Unsupported sample rate in Wave importer.";
  return nullptr;
}

// The data chunk's size, with the file positioned at its first sample byte; -1 after reporting.
int64_t finddata(gfile* file) {
  if (wave_findchunk(file, "data") < 0) {
    AUREX_seterror("Coudn't find data chunk.");
    return -1;
  }
  uint8_t chunk[kChunkHeaderSize];
  if (gread(file, chunk, kChunkHeaderSize) != kChunkHeaderSize) {
    AUREX_seterror(kMsgRead);
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
  SABOUT* a = AUREX_newabout();
  if (!a) return nullptr;
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
  uint8_t riff[12];
  if (!gseek(file, 0) || gread(file, riff, 12) != 12) return 0;
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) return 0;
  Format f;
  return readformat(file, f) ? 0 : 100;
}

int wave_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int wave_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from an element other than 0 was made.");
  Format f;
  if (const char* message = readformat(inst->file, f)) return fail(message);
  const int64_t datasize = finddata(inst->file);
  if (datasize < 0) return 0;
  if (const char* message = unsupported(f)) return fail(message);
  SINFO* info = static_cast<SINFO*>(galloc(sizeof(SINFO)));
  if (!info) return fail("Couldn't allocate memory for an SINFO structure.");
  AUREX_initsinfo(info);
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>(f.keep);
  t.samplerate = static_cast<int32_t>(f.rate);
  const int64_t frames = datasize / f.framebytes();
  t.numsamples = static_cast<int32_t>(std::min<int64_t>(frames, INT32_MAX));
  // Everything but 8-bit PCM arrives as 16 bits.
  t.samplerep = f.tag == kFormatPcm && f.bits == 8 ? SREP_U8_INT : SREP_S16L_INT;
  *out = info;
  return 1;
}

int wave_read(SINSTANCE* inst, SINFO* info, int) {
  STIMBRE& t = info->timbres[0];
  Format f;
  if (const char* message = readformat(inst->file, f)) return fail(message);
  if (const char* message = unsupported(f)) return fail(message);
  if (finddata(inst->file) < 0) return 0;
  // The header's sizes are only claims: never allocate for more frames than the file holds.
  const int64_t available = gsize(inst->file) - gtell(inst->file);
  const int width = f.engine() ? (t.samplerep == SREP_S16L_INT ? 2 : 1) : static_cast<int>(f.width());
  const int64_t channels = f.engine() ? t.numchannels : f.channels;
  if (t.numchannels != static_cast<int>(f.keep) ||
      static_cast<int64_t>(t.numsamples) * channels * width > available)
    return fail(width == 1   ? "Couldn't read 8-bit samples from file."
                : width == 2 ? "Couldn't read 16-bit samples from file."
                             : "Couldn't read samples from file.");
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  if (t.numsamples > 0 && AUREX_allocsamples(&t) != 0) {
    AUREX_freecompstates(states);
    return 0;
  }
  const int32_t positions[STIMBRE_MAXCHANNELS] = {};
  int result = 1;
  if (!f.engine())
    result = widepcm_read(inst->file, f.layout(), t);
  else if (t.numsamples > 0)
    result = isimportsamples(inst->file, positions, 0, 0, t.numsamples, t.numchannels, t.samplerep, states,
                             t.samples);
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
