// AIFF/AIFC reader and writer. Every chunk is found by walking the FORM's chunks; every size the
// file states is checked against the file before it is used.
#include "quillon/formats/aiff.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"
#include "quillon/soundcore/widepcm.h"

namespace {

// ---- on-disk facts ------------------------------------------------------------------------

constexpr int kChunkHeader = 8;    // id and big-endian size
constexpr int kCommBody = 18;      // channels, frames, bits, 80-bit rate
constexpr int kAifcCommBody = 38;  // + compression type and the 16-byte name we write
constexpr int kInstBody = 20;      // notes, velocities, gain, sustain and release loops
constexpr int kMarkBody = 34;      // two markers of 8-character names
constexpr int kSsndPrefix = 8;     // offset and block size before the samples
constexpr int kIdentifyMinSize = 50;
constexpr int kPlayForward = 1;                // sustain loop play mode that makes a loop
constexpr char kDviName[] = "DVI 4:1 ADPCM ";  // 14 characters, written as a counted string

// AIFC compression types read; anything else is refused.
enum class Coding { Pcm, PcmLittle, Float, Dvi };
struct CompressionType {
  char id[5];
  Coding coding;
};
constexpr CompressionType kCompressions[] = {{"NONE", Coding::Pcm},       {"twos", Coding::Pcm},
                                             {"sowt", Coding::PcmLittle}, {"fl32", Coding::Float},
                                             {"FL32", Coding::Float},     {"ADP4", Coding::Dvi}};

constexpr const char* kMsgRead = "Couldn't read from file.";
constexpr const char* kMsgCorrupt = "Corrupt AIFF file.";

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

const CompressionType* findcompression(const uint8_t* id) {
  for (const CompressionType& c : kCompressions)
    if (std::memcmp(c.id, id, 4) == 0) return &c;
  return nullptr;
}

// The integer part of an 80-bit extended value; -1 for negative values and for values that do not
// fit in 31 bits (no sample rate does).
int64_t extendedrate(const uint8_t* p) {
  const int exponent = static_cast<int>(ggetbe(p, 2) & 0x7FFF) - 16383;
  if ((p[0] & 0x80) || exponent < 0 || exponent > 30) return -1;
  return ggetbe(p + 2, 4) >> (31 - exponent);
}

void putextended(uint8_t* p, int32_t rate) {
  std::memset(p, 0, 10);
  if (rate <= 0) return;
  int k = 31;
  while (!(static_cast<uint32_t>(rate) >> k)) --k;
  gputbe(p, static_cast<uint32_t>(16383 + k), 2);
  gputbe(p + 2, static_cast<uint32_t>(rate) << (31 - k), 4);
}

// ---- reading ------------------------------------------------------------------------------

struct Comm {
  bool found = false;
  int channels = 0;
  uint32_t frames = 0;
  int bits = 0;
  int64_t rate = 0;
  Coding coding = Coding::Pcm;
};

// What a walk of the FORM found.
struct Scan {
  Scan(gfile* file, int64_t at) : f(file), base(at), filesize(gsize(file)) {}
  gfile* f;
  int64_t base;
  int64_t filesize;
  bool aifc = false;
  Comm comm;
  int64_t ssnd = -1;  // file offset of the SSND body
  int64_t ssndsize = 0;
  int sustainmode = 0, beginid = -1, endid = -1;
  std::vector<uint8_t> marks;

  bool readat(int64_t at, void* dst, int64_t n) {
    return at >= 0 && n >= 0 && at + n <= filesize && gseek(f, static_cast<int32_t>(at)) &&
           gread(f, dst, static_cast<int32_t>(n)) == n;
  }
};

bool parsecomm(Scan& s, int64_t at, int64_t size) {
  uint8_t b[kCommBody + 4];
  const int want = s.aifc ? kCommBody + 4 : kCommBody;
  if (size < want || !s.readat(at, b, want)) return fail(kMsgCorrupt);
  Comm& c = s.comm;
  c.found = true;
  c.channels = static_cast<int>(ggetbe(b, 2));
  c.frames = ggetbe(b + 2, 4);
  c.bits = static_cast<int>(ggetbe(b + 6, 2));
  c.rate = extendedrate(b + 8);
  if (s.aifc) {
    const CompressionType* type = findcompression(b + kCommBody);
    if (!type) return fail("Unsupported AIFC compression type.");
    c.coding = type->coding;
  }
  return true;
}

// Walks the chunks of the FORM at s.base. With `info`, also takes in the user data, the sustain
// loop and the markers; otherwise stops at SSND.
bool walk(Scan& s, SINFO* info) {
  uint8_t h[12];
  if (!s.readat(s.base, h, 12)) return fail(kMsgRead);
  if (std::memcmp(h, "FORM", 4) != 0) return fail("Not an AIFF or AIFC file.");
  s.aifc = std::memcmp(h + 8, "AIFC", 4) == 0;
  if (!s.aifc && std::memcmp(h + 8, "AIFF", 4) != 0) return fail("Not an AIFF or AIFC file.");
  const int64_t formsize = ggetbe(h + 4, 4);
  for (int64_t consumed = 4; consumed < formsize;) {
    const int64_t at = s.base + kChunkHeader + consumed;
    uint8_t ch[kChunkHeader];
    if (!s.readat(at, ch, kChunkHeader)) break;  // a FORM size past the end: the chunks stop here
    const int64_t size = ggetbe(ch + 4, 4);
    const int64_t body = at + kChunkHeader;
    const bool inside = body + size <= s.filesize;
    if (std::memcmp(ch, "COMM", 4) == 0) {
      if (!inside) return fail(kMsgCorrupt);
      if (!parsecomm(s, body, size)) return false;
      if (!info && s.ssnd >= 0) return true;
    } else if (std::memcmp(ch, "SSND", 4) == 0) {
      if (!inside || size < kSsndPrefix) return fail(kMsgCorrupt);
      s.ssnd = body;
      s.ssndsize = size;
      if (!info && s.comm.found) return true;
    } else if (info && std::memcmp(ch, "APPL", 4) == 0) {
      if (!inside) return fail(kMsgCorrupt);
      if (size >= 4) {
        auto* data = static_cast<uint8_t*>(galloc(static_cast<int32_t>(size)));
        if (!data) return fail("Couldn't allocate memory for an application (user) chunk.");
        const bool ok = s.readat(body, data, size);
        if (ok && std::memcmp(data, "User", 4) == 0)
          AUREX_adduserdata(&info->timbres[0], static_cast<int32_t>(size), data);
        gfree(data);
        if (!ok) return fail(kMsgRead);
      }
    } else if (info && std::memcmp(ch, "INST", 4) == 0) {
      uint8_t b[kInstBody];
      if (size < kInstBody || !s.readat(body, b, kInstBody)) return fail(kMsgCorrupt);
      s.sustainmode = static_cast<int>(ggetbe(b + 8, 2));
      s.beginid = static_cast<int>(ggetbe(b + 10, 2));
      s.endid = static_cast<int>(ggetbe(b + 12, 2));
    } else if (info && std::memcmp(ch, "MARK", 4) == 0) {
      if (!inside) return fail(kMsgCorrupt);
      s.marks.resize(static_cast<size_t>(size));
      if (!s.readat(body, s.marks.data(), size)) return fail(kMsgRead);
    } else if (size == 0) {
      return fail("AIFF file had a chunk of size zero.  Aborting.");
    }
    consumed += kChunkHeader + size + (size & 1);
  }
  return true;
}

// The positions of the sustain loop's two markers, when the loop plays forward and both exist.
bool findloop(const Scan& s, int64_t& begin, int64_t& end) {
  if (s.marks.size() < 2 || s.sustainmode != kPlayForward) return false;
  const uint8_t* p = s.marks.data();
  const size_t size = s.marks.size();
  const size_t count = ggetbe(p, 2);
  bool hasbegin = false, hasend = false;
  size_t at = 2;
  for (size_t i = 0; i < count && at + 7 <= size; ++i) {
    const int id = static_cast<int>(ggetbe(p + at, 2));
    const int64_t pos = ggetbe(p + at + 2, 4);
    if (id == s.beginid && !hasbegin) begin = pos, hasbegin = true;
    if (id == s.endid && !hasend) end = pos, hasend = true;
    const size_t name = p[at + 6];
    at += 7 + name + (name % 2 == 0);  // each counted name takes an even number of bytes
  }
  return hasbegin && hasend;
}

// The representation the reader delivers, and how the file stores it.
struct Storage {
  int rep;
  bool engine;  // read by the sample engine as `rep`; otherwise converted as it is read
  WIDEPCM_LAYOUT layout;
};

bool storage(const Comm& c, Storage& out) {
  if (c.coding == Coding::Dvi) {
    out = {SREP_DVI_INT, true, {}};
    return true;
  }
  if (c.bits < 8 || c.bits > 32 || (c.coding == Coding::Float && c.bits != 32))
    return fail("Unsupported bitspersample in AIFF importer.");
  const int width = (c.bits + 7) / 8;
  const bool little = c.coding == Coding::PcmLittle;
  out.layout = {width, c.coding == Coding::Float, !little, false, c.channels};
  out.engine = c.coding != Coding::Float && width <= 2;
  // Narrower samples sit in the top bits of their container, so a 12-bit file reads as 16 bits.
  out.rep = width == 1 ? SREP_S8_INT : little ? SREP_S16L_INT : SREP_S16B_INT;
  return true;
}

int64_t databytes(int rep, int64_t frames, int channels) {
  switch (rep) {
    case SREP_DVI_INT:
      return (frames * channels + 1) / 2;
    case SREP_S8_INT:
      return frames * channels;
    default:
      return frames * channels * 2;
  }
}

}  // namespace

int aiff_infoat(gfile* file, int32_t base, SINFO** out) {
  *out = nullptr;
  SINFO* info = AUREX_newsinfo();
  if (!info) return fail("Couldn't allocate memory for an SINFO structure.");
  Scan s(file, base);
  Storage st{};
  int64_t begin = 0, end = 0;
  const char* message = nullptr;
  if (!walk(s, info)) {
    message = "";
  } else if (!s.comm.found) {
    message = "Couldn't find the COMM chunk.";
  } else if (!storage(s.comm, st)) {
    message = "";
  } else if (s.comm.channels < 1 || s.comm.channels > STIMBRE_MAXCHANNELS) {
    message = "Unsupported number of channels in AIFF importer.";
  } else if (!sinfo_rateinrange(s.comm.rate)) {
    message = "Unsupported sample rate in AIFF importer.";
  } else if (s.comm.frames > INT32_MAX) {
    message = kMsgCorrupt;
  } else if (findloop(s, begin, end) && (begin < 0 || end <= begin || end > s.comm.frames)) {
    message = "AIFF loop marker lies outside the sound.";
  }
  if (message) {
    if (*message) AUREX_seterror(message);
    AUREX_freesinfo(info);
    return 0;
  }
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>(s.comm.channels);
  t.numsamples = static_cast<int32_t>(s.comm.frames);
  t.samplerate = static_cast<int32_t>(s.comm.rate);
  t.samplerep = static_cast<int8_t>(st.rep);
  if (findloop(s, begin, end)) {
    t.loopstart = static_cast<int32_t>(begin);
    t.loopend = static_cast<int32_t>(end - 1);
  }
  *out = info;
  return 1;
}

int aiff_readat(gfile* file, int32_t base, SINFO* info) {
  STIMBRE& t = info->timbres[0];
  Scan s(file, base);
  Storage st{};
  if (!walk(s, nullptr)) return 0;
  if (!s.comm.found) return fail("Couldn't find the COMM chunk.");
  if (!storage(s.comm, st)) return 0;
  if (s.ssnd < 0) return fail("Couldn't find the SSND chunk.");
  if (t.numchannels < 1 || t.numchannels > s.comm.channels || t.numsamples < 0)
    return fail("Unsupported sample import format.");
  // The sample count is only a claim: never allocate for more than the SSND chunk holds.
  const int64_t need = st.engine ? databytes(st.rep, t.numsamples, t.numchannels)
                                 : int64_t{t.numsamples} * st.layout.width * st.layout.channels;
  if (need > s.ssndsize - kSsndPrefix) {
    return fail(st.rep == SREP_DVI_INT  ? "Couldn't read DVI samples."
                : st.rep == SREP_S8_INT ? "Couldn't read 8-bit samples from file."
                                        : "Couldn't read 16-bit samples from file.");
  }
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  int ok = t.numsamples == 0 || AUREX_allocsamples(&t) == 0;
  if (ok && t.numsamples > 0) {
    const int32_t positions[STIMBRE_MAXCHANNELS] = {static_cast<int32_t>(s.ssnd + kSsndPrefix)};
    if (st.engine)
      ok = isimportsamples(file, positions, 0, 0, t.numsamples, t.numchannels, st.rep, states, t.samples);
    else
      ok = gseek(file, positions[0]) && widepcm_read(file, st.layout, t);
  }
  AUREX_freecompstates(states);
  return ok;
}

SABOUT* aiff_about() {
  SABOUT* a = AUREX_newabout();
  if (!a) return nullptr;
  const int8_t importreps[] = {SREP_S16B_INT, SREP_S8_INT, SREP_DVI_INT, SREP_S16L_INT, -1};
  const int8_t exportreps[] = {SREP_S16B_INT, SREP_S8_INT, SREP_DVI_INT, -1};
  std::memcpy(a->importreps, importreps, sizeof importreps);
  std::memcpy(a->exportreps, exportreps, sizeof exportreps);
  a->elementlimit = 1;
  a->timbrelimit = 1;
  a->formatcode = 2;
  a->caps = 0x00422003;
  std::strcpy(a->shortname, "aiff");
  std::strcpy(a->longname, "Apple AIFF/AIFC");
  return a;
}

int aiff_identify(gfile* file) {
  Scan s(file, 0);
  uint8_t h[12];
  if (s.filesize < kIdentifyMinSize || !s.readat(0, h, 12) || std::memcmp(h, "FORM", 4) != 0) return 0;
  if (std::memcmp(h + 8, "AIFF", 4) == 0) return 100;
  if (std::memcmp(h + 8, "AIFC", 4) != 0) return 0;
  const int64_t formsize = ggetbe(h + 4, 4);
  for (int64_t consumed = 4; consumed < formsize;) {
    uint8_t ch[kChunkHeader + kCommBody + 4];
    const int64_t at = kChunkHeader + consumed;
    if (!s.readat(at, ch, kChunkHeader)) return 0;
    const int64_t size = ggetbe(ch + 4, 4);
    if (std::memcmp(ch, "COMM", 4) == 0) {
      if (!s.readat(at, ch, sizeof ch)) return 0;
      return findcompression(ch + kChunkHeader + kCommBody) ? 100 : 0;
    }
    consumed += kChunkHeader + size + (size & 1);
  }
  return 0;
}

int aiff_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int aiff_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from a patch element other than 0 was made.");
  return aiff_infoat(inst->file, 0, out);
}

int aiff_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("An attempt to read from a patch element other than 0 was made.");
  return aiff_readat(inst->file, 0, info);
}

int aiff_close(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

int aiff_create(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int aiff_write(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("AIFF/C files can only contain element 0.");
  const STIMBRE& t = info->timbres[0];
  const int rep = t.samplerep;
  if (rep != SREP_S16B_INT && rep != SREP_S8_INT && rep != SREP_DVI_INT)
    return fail("Unsupported samplerep in AIFF exporter.");
  if (rep == SREP_DVI_INT && t.numchannels > 2) return fail("DVI exporter cannot handle this numchannels.");
  if (t.numsamples < 0 || t.numchannels < 1) return fail("Unsupported samplerep in AIFF exporter.");
  const bool aifc = rep == SREP_DVI_INT;
  const bool loop = t.loopstart >= 0 && t.loopend > 0;
  const int64_t data = databytes(rep, t.numsamples, t.numchannels);
  const int64_t form = (aifc ? 94 : 74) + (loop ? kChunkHeader + kMarkBody : 0) + data + (data & 1);
  if (form > INT32_MAX) return fail("Couldn't write to file stream.");

  std::vector<uint8_t> h;
  const auto text = [&h](const char* s, size_t n) { h.insert(h.end(), s, s + n); };
  const auto chunk = [&h, &text](const char* id, uint32_t size) {
    text(id, 4);
    h.resize(h.size() + 4);
    gputbe(&h[h.size() - 4], size, 4);
  };
  const auto be = [&h](uint32_t v, int n) {
    h.resize(h.size() + n);
    gputbe(&h[h.size() - n], v, n);
  };
  chunk("FORM", static_cast<uint32_t>(form));
  text(aifc ? "AIFC" : "AIFF", 4);
  chunk("COMM", aifc ? kAifcCommBody : kCommBody);
  be(static_cast<uint32_t>(t.numchannels), 2);
  be(static_cast<uint32_t>(t.numsamples), 4);
  be(rep == SREP_S8_INT ? 8 : 16, 2);
  h.resize(h.size() + 10);
  putextended(&h[h.size() - 10], t.samplerate);
  if (aifc) {
    text("ADP4", 4);
    h.push_back(static_cast<uint8_t>(sizeof kDviName - 1));
    text(kDviName, sizeof kDviName - 1);
    h.push_back(0);
  }
  chunk("INST", kInstBody);
  for (int8_t b :
       {t.rootnote, static_cast<int8_t>(t.detune), t.lownote, t.highnote, t.lowvelocity, t.highvelocity})
    h.push_back(static_cast<uint8_t>(b));
  be(0, 2);  // gain
  for (uint32_t v : {loop ? 1u : 0u, loop ? 1u : 0u, loop ? 2u : 0u, 0u, 0u, 0u}) be(v, 2);
  if (loop) {
    chunk("MARK", kMarkBody);
    be(2, 2);
    const std::pair<uint32_t, const char*> marks[] = {{static_cast<uint32_t>(t.loopstart), "beg loop"},
                                                      {static_cast<uint32_t>(t.loopend) + 1, "end loop"}};
    for (uint16_t id = 1; const auto& [pos, name] : marks) {
      be(id++, 2);
      be(pos, 4);
      h.push_back(8);
      text(name, 8);
      h.push_back(0);
    }
  }
  chunk("SSND", static_cast<uint32_t>(data + kSsndPrefix));
  be(0, 4);
  be(0, 4);

  gfile* f = inst->file;
  if (!gseek(f, 0) || gwrite(f, h.data(), static_cast<int32_t>(h.size())) != static_cast<int32_t>(h.size()))
    return fail("Couldn't write to file stream.");
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  int result = isexportsamples(f, nullptr, 0, t.numsamples, 0, states, nullptr, &t);
  AUREX_freecompstates(states);
  const uint8_t pad = 0;
  if (result && (data & 1) && gwrite(f, &pad, 1) != 1) result = fail("Couldn't write to file stream.");
  return result;
}

int aiff_wclose(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}
