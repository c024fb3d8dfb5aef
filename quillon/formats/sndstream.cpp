// SND stream reader and writer. Chunks are built whole in memory before they are written, so
// the size field, the channel offset table and the CRC are filled in without reading the file
// back; only the count chunk is rewritten once the number of data chunks is known.
#include "quillon/formats/sndstream.h"

#include "quillon/formats/patchtags.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/samples.h"

namespace {

// ---- on-disk facts ------------------------------------------------------------------------

constexpr char kHeaderId[] = "SCHl";
constexpr char kCountId[] = "SCCl";
constexpr char kDataId[] = "SCDl";
constexpr char kEndId[] = "SCEl";
constexpr int kIdentifyMinSize = 50;
constexpr uint16_t kCrcInit = 0xFBEA;

constexpr int32_t kScalingTableSize = SINFO_PARAMBLOCKSIZE;
constexpr int kMaxEnvelopePoints = 8;
constexpr uint8_t kLengthEscape = 0xFF;  // a 4-byte big-endian length follows

constexpr int32_t kDefaultAngles[4][4] = {
    {0, 0, 0, 0}, {57344, 8192, 0, 0}, {54613, 10922, 32768, 0}, {57344, 8192, 40960, 24576}};

constexpr const char* kMsgRead = "Couldn't read from file.";
constexpr const char* kMsgCorrupt = "Corrupt SND stream file.";

bool fail(const char* message) {
  AUREX_seterror(message);
  return false;
}

int headerbytes(const SNDSTREAM_VARIANT& v) {
  return v.crc ? 12 : 8;
}

// ---- CRC ----------------------------------------------------------------------------------

struct CrcTable {
  uint16_t t[256];
  constexpr CrcTable() : t() {
    for (int i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i);
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
      t[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

uint16_t crc16(const uint8_t* p, size_t n) {
  uint16_t crc = kCrcInit;
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kCrc.t[(crc ^ p[i]) & 0xFF]);
  return crc;
}

// ---- writing ------------------------------------------------------------------------------

struct ChunkBuilder {
  std::vector<uint8_t> b;
  int32_t filebase = 0;  // file offset of b[0]

  int64_t filepos() const { return filebase + static_cast<int64_t>(b.size()); }
  void byte(uint8_t x) { b.push_back(x); }
  void bytes(const void* p, size_t n) {
    if (n == 0) return;
    const auto* s = static_cast<const uint8_t*>(p);
    const size_t at = b.size();
    b.resize(at + n);  // resize + copy rather than insert: GCC 12 misreads insert into an empty vector at -O3
    std::memcpy(b.data() + at, s, n);
  }
  void be(uint32_t x, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(x >> (8 * i)));
  }
  void word(uint32_t x, bool bigendian) {
    uint8_t t[4];
    (bigendian ? gputbe : gputle)(t, x, 4);
    bytes(t, 4);
  }
  void begin(const SNDSTREAM_VARIANT& v, const char* id) {
    b.clear();
    bytes(id, 4);
    for (int i = headerbytes(v) - 4; i > 0; --i) byte(0);
  }
  void padto4() {
    while (b.size() % 4) byte(0);
  }
  // Fills in the size and, in the CRC variants, the CRC over the chunk with a zero CRC field.
  void finish(const SNDSTREAM_VARIANT& v) {
    gputle(&b[4], static_cast<uint32_t>(b.size()), 4);
    if (v.crc) {
      gputle(&b[8], 0, 4);
      gputle(&b[8], crc16(b.data(), b.size()), 2);
    }
  }

  // A value tag, left out when it equals the tag's default.
  void tag(uint8_t t, int32_t value, int32_t def) {
    if (value == def) return;
    int n;
    if (value == 0) {
      n = 0;
    } else if (value >= -128 && value <= 127) {
      n = 1;
    } else if (value >= -32768 && value <= 32767) {
      n = 2;
    } else if (value >= -8388608 && value <= 0x7FFF00) {
      n = 3;
    } else {
      n = 4;
    }
    byte(t);
    byte(static_cast<uint8_t>(n));
    be(static_cast<uint32_t>(value), n);
  }
  void datablock(uint8_t t, const void* data, int32_t size) {
    byte(t);
    if (size < kLengthEscape) {
      byte(static_cast<uint8_t>(size));
    } else {
      byte(kLengthEscape);
      be(static_cast<uint32_t>(size), 4);
    }
    bytes(data, static_cast<size_t>(size));
  }
};

int32_t roundup28(int32_t n) {
  return static_cast<int32_t>((int64_t{n} + 27) / 28 * 28);
}

bool buildheader(const SNDSTREAM_VARIANT& v, const STIMBRE& t, int rep, float streamrate, ChunkBuilder& c) {
  const int p = v.platform;
  if (p != 0 && p != 1 && p != 3 && p != 5) return fail("Unsupported stream platform in writeheaderchunk.");
  c.begin(v, kHeaderId);
  c.bytes("PT", 2);
  c.byte(static_cast<uint8_t>(p));
  c.byte(0);

  for (int s = 0; s < 4; ++s) {
    if (!t.userdata[s] || t.userdatasize[s] <= 0) continue;
    // The data bytes of the block start on a multiple of 4.
    const int taglen = t.userdatasize[s] < kLengthEscape ? 2 : 6;
    while ((c.filepos() + taglen) % 4 != 0) c.byte(kTagPad);
    c.datablock(kTagUserData, t.userdata[s], t.userdatasize[s]);
  }

  c.tag(0x06, 101, 0);
  if (p != 5) {
    c.tag(0x07, t.rootnote, 60);
    c.tag(0x0A, t.instG, 0);
    c.tag(0x0C, t.pan, 64);
    c.tag(0x0D, t.instA, 0);
    c.tag(0x0E, t.volume, 127);
    c.tag(0x0F, t.instD, 0);
    c.tag(0x10, t.detune, 0);
    c.tag(0x11, t.finetune, 0);
  }
  c.tag(0x13, t.reverb, 0);
  c.tag(kTagChannelsGeneral, t.numchannels, 1);
  if (v.writeflags & SNDSTREAM_FLAG_TAG00) c.tag(kTagFlags, 2, 0);
  c.tag(kTagStreamRate, static_cast<int32_t>(streamrate + 0.5f), 15);
  c.byte(kTagPlatformSection);

  const int32_t playbits = t.spatialization | t.playlocflag | t.playloc;
  if (p == 1) {
    c.tag(kTagSamples, roundup28(t.numsamples), 0);
    c.tag(kTagChannels, t.numchannels, 1);
    c.tag(kTagRate, t.samplerate, 22050);
    c.tag(kTagPlayLoc, t.spatialization, 8);
    while (c.filepos() % 4 != 2) c.byte(kTagPad);
    c.byte(kTagPsxReserved);
    c.byte(4);
    c.be(0, 4);
  } else {
    const bool ps2 = p == 5;
    c.tag(kTagRevision, ps2 ? 2 : 1, 0);
    c.tag(kTagSamples, ps2 && rep == SREP_VAG_BLK ? roundup28(t.numsamples) : t.numsamples, 0);
    c.tag(kTagChannels, t.numchannels, 1);
    c.tag(kTagRate, t.samplerate, 22050);
    c.tag(kTagRep, rep, ps2 ? 5 : 10);
    if (ps2) {
      c.tag(kTagPlayLoc, t.spatialization | t.playlocflag | 4, 8);
    } else {
      c.tag(kTagPlayLoc, playbits, 0);
    }
    int32_t angles[4];
    std::memcpy(angles, t.trackangle, sizeof angles);
    if (angles[0] == -1) std::memcpy(angles, kDefaultAngles[t.numchannels - 1], sizeof angles);
    for (int ch = 0; ch < t.numchannels; ++ch) {
      if (t.sidedata[ch] && t.sidedatasize > 0) {
        c.datablock(static_cast<uint8_t>(kTagSideData + ch), t.sidedata[ch], t.sidedatasize);
      }
      c.tag(static_cast<uint8_t>(kTagAngle + ch), angles[ch] - kDefaultAngles[t.numchannels - 1][ch], 0);
    }
  }
  c.byte(kTagEnd);
  c.padto4();
  c.finish(v);
  return true;
}

int granularity(int rep) {
  switch (rep) {
    case SREP_PL_BLK:
      return 432;
    case SREP_VAG_BLK:
    case SREP_QVXA_BLK:
      return 28;
    case SREP_LAYER1:
      return 384;
    case SREP_LAYER2:
      return 1152;
    default:
      return 1;
  }
}

bool writechunk(gfile* f, const ChunkBuilder& c) {
  const int32_t n = static_cast<int32_t>(c.b.size());
  return gwrite(f, c.b.data(), n) == n || fail("Couldn't write to file stream.");
}

bool writestream(const SNDSTREAM_VARIANT& v, gfile* f, const SINFO* info, AUREX_COMPSTATE** states) {
  const STIMBRE& src = info->timbres[0];
  if (src.loopend >= 1) return fail("SND streams cannot contain loop points.");
  if (src.numchannels < 1 || src.numchannels > v.maxchannels) {
    return fail("Unsupported number of channels for SND stream.");
  }
  // A private flat copy: the exporter reads the caller's buffers, but nothing of the caller's
  // record changes.
  STIMBRE t = src;
  const int rep = v.forcedrep != SREP_NONE ? v.forcedrep : t.samplerep;
  t.samplerep = static_cast<int8_t>(rep);
  const float streamrate = info->streamrate > 0.0f ? info->streamrate : 15.0f;
  if (t.numsamples < 0 || (t.numsamples > 0 && t.samplerate <= 0)) {
    return fail("Unsupported sample rate for SND stream.");
  }
  const int channels = t.numchannels;

  ChunkBuilder c;
  c.filebase = gtell(f);
  if (!buildheader(v, t, rep, streamrate, c) || !writechunk(f, c)) return false;

  ChunkBuilder count;
  count.filebase = gtell(f);
  count.begin(v, kCountId);
  count.word(0, v.bigendian);
  count.finish(v);
  if (!writechunk(f, count)) return false;

  const int g = granularity(rep);
  const bool offsettable = rep != SREP_VAG_BLK;
  int64_t assigned = 0;
  int32_t written = 0;
  uint32_t chunks = 0;
  std::vector<uint8_t> data;
  for (int64_t k = 1; written < t.numsamples; ++k) {
    int64_t target =
        static_cast<int64_t>(std::trunc(static_cast<double>(k) * t.samplerate / streamrate)) - assigned;
    if (target <= 0) continue;  // a rate below the chunk rate leaves some periods empty
    target = (target + g - 1) / g * g;
    assigned += target;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(target, t.numsamples - written));

    c.filebase = gtell(f);
    c.begin(v, kDataId);
    c.word(static_cast<uint32_t>(rep == SREP_VAG_BLK ? roundup28(n) : n), v.bigendian);
    const size_t tablepos = c.b.size();
    if (offsettable) c.b.resize(c.b.size() + 4 * channels);
    const int32_t estimate = AUREX_estimatesize(n, rep, channels);
    if (estimate <= 0) return false;
    // Room for the frames plus each channel's prefix and pad byte.
    data.resize(static_cast<size_t>(estimate) + 8 * channels);
    int32_t offsets[4] = {};
    const int32_t bytes = isexportsamplesto(data.data(), static_cast<int32_t>(data.size()), written, n,
                                            v.writeflags | AUREX_EXPORT_STREAM, states, offsets, &t);
    if (bytes < 0) return false;
    c.bytes(data.data(), static_cast<size_t>(bytes));
    if (offsettable) {
      for (int ch = 0; ch < channels; ++ch) {
        (v.bigendian ? gputbe : gputle)(&c.b[tablepos + 4 * ch], static_cast<uint32_t>(offsets[ch]), 4);
      }
    }
    c.padto4();
    c.finish(v);
    if (!writechunk(f, c)) return false;
    written += n;
    ++chunks;
  }

  c.begin(v, kEndId);
  c.finish(v);
  if (!writechunk(f, c)) return false;
  const int32_t end = gtell(f);

  (v.bigendian ? gputbe : gputle)(&count.b[count.b.size() - 4], chunks, 4);
  count.finish(v);
  if (gseek(f, count.filebase) != 1) return fail("Couldn't write to file stream.");
  const bool ok = writechunk(f, count);
  gseek(f, end);
  return ok;
}

// ---- reading ------------------------------------------------------------------------------

// Reads only what the file holds, so a short file fails without reading past its end.
struct Reader {
  gfile* f;
  int64_t size;

  bool seek(int64_t pos) { return pos >= 0 && pos <= size && gseek(f, static_cast<int32_t>(pos)) == 1; }
  int64_t tell() const { return gtell(f); }
  bool read(void* dst, int64_t n) {
    if (n < 0 || tell() + n > size) return false;
    return gread(f, dst, static_cast<int32_t>(n)) == n;
  }
  bool u8(uint8_t& x) { return read(&x, 1); }
};

// Position just after the header chunk's header, or -1.
int64_t findheader(const SNDSTREAM_VARIANT& v, Reader& r) {
  int64_t pos = 0, furthest = 0;
  const int hb = headerbytes(v);
  for (;;) {
    uint8_t h[12];
    if (!r.seek(pos) || !r.read(h, hb)) return -1;
    if (std::memcmp(h, kHeaderId, 4) == 0) return pos + hb;
    furthest = std::max(furthest, pos + hb);
    const int64_t next = pos + ggetle(h + 4, 4);
    if (next <= furthest) return -1;
    pos = next;
  }
}

constexpr int kTagCount = 256;

bool resettimbre(int platform, int32_t* tags) {
  for (int i = 0; i < 0x80; ++i) tags[i] = 0;
  tags[0x02] = tags[0x04] = tags[0x0E] = tags[0x1C] = 127;
  tags[0x07] = 60;
  tags[0x08] = -1;
  tags[0x09] = tags[0x0B] = tags[0x25] = 1;
  tags[0x0C] = 64;
  for (int i = 0x80; i < kTagCount; ++i) tags[i] = 0;
  tags[0x86] = tags[0x87] = -1;
  tags[0x82] = 1;
  tags[0x84] = 22050;
  switch (platform) {
    case 0:
    case 3:
      tags[0x81] = 16;
      tags[0xA0] = 10;
      break;
    case 1:
      tags[0x81] = 16;
      tags[0x83] = 6;
      tags[0x8C] = 8;
      tags[0xA0] = 5;
      break;
    case 2:
      tags[0x81] = 16;
      tags[0x83] = 5;
      tags[0xA0] = 6;
      break;
    case 5:
      tags[0x8C] = 8;
      tags[0xA0] = 5;
      tags[0xA1] = 1;
      break;
    default:
      return fail("Platform not supported in resettimbre.");
  }
  return true;
}

int pcmrep(int platform, int bits) {
  const bool b16 = bits == 16;
  if (bits != 16 && bits != 8) return SREP_NONE;
  switch (platform) {
    case 0:
      return b16 ? SREP_S16L_INT : SREP_S8_INT;
    case 3:
      return b16 ? SREP_S16B_BLK : SREP_S8_BLK;
    case 2:
      return b16 ? SREP_S16B_BLK : SREP_S8_BLK;
    default:
      return b16 ? SREP_S16L_BLK : SREP_S8_BLK;
  }
}

bool tagstotimbre(int platform, const int32_t* tags, STIMBRE& t) {
  t.numchannels = static_cast<int8_t>(tags[0x82]);
  t.samplerate = tags[0x84];
  t.numsamples = tags[0x85];
  t.loopstart = tags[0x86];
  t.loopend = tags[0x87];
  t.dataoffset = tags[0x88];
  const int32_t pl = tags[0x8C];
  t.playloc = static_cast<int16_t>(pl & 0x1C);
  t.playlocflag = static_cast<int16_t>(pl & 0x03);
  t.spatialization = static_cast<int16_t>(pl & 0xE0);
  t.lowvelocity = static_cast<int8_t>(tags[0x01]);
  t.highvelocity = static_cast<int8_t>(tags[0x02]);
  t.lownote = static_cast<int8_t>(tags[0x03]);
  t.highnote = static_cast<int8_t>(tags[0x04]);
  t.instJ = static_cast<int8_t>(tags[0x06]);
  t.rootnote = static_cast<int8_t>(tags[0x07]);
  t.instI = static_cast<uint8_t>(tags[0x08]);
  t.instH = static_cast<int8_t>(tags[0x09]);
  t.instG = static_cast<int8_t>(tags[0x0A]);
  t.pan = static_cast<int8_t>(tags[0x0C]);
  t.instA = static_cast<int8_t>(tags[0x0D]);
  t.volume = static_cast<int8_t>(tags[0x0E]);
  t.instD = static_cast<int8_t>(tags[0x0F]);
  t.detune = static_cast<int16_t>(tags[0x10]);
  t.finetune = static_cast<int16_t>(tags[0x11]);
  t.reverb = static_cast<int8_t>(tags[0x13]);
  t.instE = static_cast<int8_t>(tags[0x1C]);
  t.instB = static_cast<int8_t>(tags[0x25]);
  t.bankbytes[0] = static_cast<uint8_t>(tags[0x1E]);
  t.bankbytes[1] = static_cast<uint8_t>(tags[0x1F]);
  t.bankbytes[2] = static_cast<uint8_t>(tags[0x21]);
  t.bankshort = static_cast<int16_t>(tags[0x22]);
  t.bankbytes[3] = static_cast<uint8_t>(tags[0x23]);
  t.instC = static_cast<int8_t>(tags[0x80]);

  int rep;
  if (tags[0x80] != 0) {
    rep = tags[0xA0];
  } else {
    switch (tags[0x83]) {
      case 2:
        rep = SREP_DVI_INT;
        break;
      case 5:
        rep = SREP_N64_BLK;
        break;
      case 6:
        rep = SREP_VAG_BLK;
        break;
      case 7:
        rep = SREP_QVXA_INT;
        break;
      case 9:
        rep = SREP_PL_BLK;
        break;
      case 0:
        rep = pcmrep(platform, tags[0x81]);
        break;
      default:
        rep = SREP_NONE;
        break;
    }
  }
  if (rep < 0 || rep >= SREP_COUNT) return fail("Couldn't convert bits/compression to samplerep.");
  t.samplerep = static_cast<int8_t>(rep);
  // Counts that index buffers later must be sane before anyone trusts them.
  if (tags[0x82] < 1 || tags[0x82] > STIMBRE_MAXCHANNELS || t.numsamples < 0) return fail(kMsgCorrupt);
  // The rate tag is signed and unchecked by the writer that made the file.
  if (!sinfo_rateinrange(t.samplerate)) return fail("Unsupported sample rate in SND stream file.");
  return true;
}

// A scaling table or envelope that a tag points to, `distance` bytes from the tag's value.
bool readtableref(const SNDSTREAM_VARIANT& v, Reader& r, uint8_t tag, int64_t valuepos, int32_t distance,
                  int32_t pointcount, STIMBRE& t) {
  const int64_t back = r.tell();
  const int64_t target = valuepos + distance;
  if (tag == kTagEnvelope) {
    if (pointcount > kMaxEnvelopePoints) return fail("Envelope array to small for storage.");
    if (pointcount < 1) return true;
    if (!r.seek(target)) return fail("Couldn't seek to envelope offset.");
    uint8_t buf[kMaxEnvelopePoints * 8];
    if (!r.read(buf, pointcount * 8)) return fail("Couldn't read envelope.");
    for (int i = 0; i < pointcount; ++i) {
      for (int k = 0; k < 2; ++k) {
        const uint8_t* p = buf + 8 * i + 4 * k;
        t.envelope[i][k] = static_cast<int32_t>(v.bigendian ? ggetbe(p, 4) : ggetle(p, 4));
      }
    }
  } else {
    const int slot =
        static_cast<int>(std::find(kScalingTableTags, kScalingTableTags + 4, tag) - kScalingTableTags);
    void*& table = slot < 2 ? t.paramblock[slot] : t.paramblock2[slot - 2];
    if (table) return fail("Scaling table is already allocated.");
    if (!r.seek(target)) return fail("Couldn't seek to scaling table.");
    table = galloc(kScalingTableSize);
    if (!table) return fail("Couldn't allocate scaling table.");
    if (!r.read(table, kScalingTableSize)) return fail("Couldn't read scaling table.");
  }
  return r.seek(back) || fail(kMsgRead);
}

bool parseheader(const SNDSTREAM_VARIANT& v, Reader& r, int64_t start, SINFO* info,
                 int32_t (*dataoffsets)[4] = nullptr) {
  uint8_t ph[4];
  if (!r.seek(start) || !r.read(ph, 4)) return fail(kMsgRead);
  if (ph[3] & 2) {
    uint8_t skip[4];
    if (!r.read(skip, 4)) return fail(kMsgRead);
  }
  const int platform = ph[2];
  int32_t tags[kTagCount];
  if (!resettimbre(platform, tags)) return false;
  int timbre = 0;
  int32_t bankword = 0;
  for (;;) {
    uint8_t tag;
    if (!r.u8(tag)) return fail(kMsgRead);
    if (tag == kTagPad || tag == kTagPlatformSection) continue;
    if (tag == kTagNextTimbre || tag == kTagEnd) {
      if (!tagstotimbre(platform, tags, info->timbres[timbre])) return false;
      if (dataoffsets) {
        for (int c = 0; c < 4; ++c) dataoffsets[timbre][c] = tags[kDataOffsetTags[c]];
      }
      if (tag == kTagEnd) break;
      if (++timbre >= SINFO_MAXTIMBRES) return fail(kMsgCorrupt);
      resettimbre(platform, tags);
      continue;
    }
    uint8_t len8;
    if (!r.u8(len8)) return fail(kMsgRead);
    int64_t len = len8;
    if (len8 == kLengthEscape) {
      uint8_t l[4];
      if (!r.read(l, 4)) return fail(kMsgRead);
      len = ggetbe(l, 4);
    }
    const int64_t valuepos = r.tell();
    if (len > 4) {  // a data block: user data, side data; the stream reader does not keep them
      if (!r.seek(valuepos + len)) return fail(kMsgRead);
      continue;
    }
    uint8_t b[4] = {};
    if (!r.read(b, len)) return fail(kMsgRead);
    int32_t value = 0;
    if (len == 4) {
      value = static_cast<int32_t>(ggetbe(b, 4));
    } else if (len > 0) {
      const uint32_t u = ggetbe(b, static_cast<int>(len));
      const int bits = 8 * static_cast<int>(len);
      value = static_cast<int32_t>(u << (32 - bits)) >> (32 - bits);
    }
    const bool scaling = std::find(kScalingTableTags, kScalingTableTags + 4, tag) != kScalingTableTags + 4;
    if (scaling || tag == kTagEnvelope) {
      if (!readtableref(v, r, tag, valuepos, value, tags[0x09], info->timbres[timbre])) return false;
    } else if (tag == kTagBankWord) {
      bankword = value;
    } else {
      tags[tag] = value;
    }
  }
  info->numtimbres = static_cast<uint8_t>(timbre + 1);
  info->bankword = static_cast<int16_t>(bankword);
  return true;
}

// Bytes `n` frames of one channel take in a block representation, or -1 when unknown here.
int64_t blockbytes(int rep, int64_t n) {
  switch (rep) {
    case SREP_QVXA_BLK:
      return (n + 27) / 28 * 15;
    case SREP_VAG_BLK:
      return (n + 27) / 28 * 16;
    case SREP_S16L_BLK:
    case SREP_S16B_BLK:
      return 2 * n;
    case SREP_S8_BLK:
      return n;
    default:
      return -1;
  }
}

// Bytes `n` frames of all channels take in an interleaved representation, or -1.
int64_t interleavedbytes(int rep, int64_t n, int channels) {
  switch (rep) {
    case SREP_QVXA_INT:
      return (n + 27) / 28 * 15 * channels;
    case SREP_S16L_INT:
    case SREP_S16B_INT:
      return 2 * n * channels;
    case SREP_S8_INT:
    case SREP_U8_INT:
      return n * channels;
    default:
      return -1;
  }
}

bool isblock(int rep) {
  return rep == SREP_QVXA_BLK || rep == SREP_VAG_BLK || rep == SREP_S16L_BLK || rep == SREP_S16B_BLK ||
         rep == SREP_S8_BLK || rep == SREP_PL_BLK || rep == SREP_N64_BLK;
}

bool readdatachunk(const SNDSTREAM_VARIANT& v, Reader& r, int64_t body, int64_t end, STIMBRE& t,
                   int32_t& done, AUREX_COMPSTATE** states) {
  const int channels = t.numchannels, rep = t.samplerep, revision = t.instC;
  uint8_t w[4];
  if (!r.seek(body) || body + 4 > end || !r.read(w, 4)) return fail(kMsgCorrupt);
  int64_t frames = v.bigendian ? ggetbe(w, 4) : ggetle(w, 4);
  const int64_t chunksize = end - (body - headerbytes(v));
  if (rep == SREP_VAG_BLK && chunksize - frames == 16) frames = frames / channels / 16 * 28;  // a byte count
  int64_t pos[4] = {};
  int64_t datastart = body + 4;
  const bool table = revision != 0 && rep != SREP_VAG_BLK;
  if (table) {
    uint8_t tb[16];
    if (datastart + 4 * channels > end || !r.read(tb, 4 * channels)) return fail(kMsgCorrupt);
    datastart += 4 * channels;
    for (int c = 0; c < channels; ++c) {
      pos[c] = datastart + (v.bigendian ? ggetbe(tb + 4 * c, 4) : ggetle(tb + 4 * c, 4));
    }
  } else {
    pos[0] = datastart;
  }
  const int64_t n = std::min<int64_t>(frames, t.numsamples - done);
  if (n <= 0) return true;
  if (rep == SREP_QVXA_INT || rep == SREP_QVXA_BLK) {
    if (table) {
      for (int c = 0; c < channels; ++c) pos[c] += 4;  // the encoder history is not needed
    } else {
      pos[0] += 8;
    }
  } else if (rep == SREP_PL_BLK) {
    if (table) {
      for (int c = 0; c < channels; ++c) pos[c] += 1;
    } else {
      pos[0] += 1;
    }
  } else if (rep == SREP_VAG_BLK) {
    for (int c = 1; c < channels; ++c) pos[c] = pos[0] + c * blockbytes(rep, n);
  }

  // Every range read must lie inside this chunk.
  if (isblock(rep)) {
    const int64_t per = blockbytes(rep, n);
    if (per >= 0) {
      const int known = table || rep == SREP_VAG_BLK ? channels : 1;
      const int64_t span = table || rep == SREP_VAG_BLK ? per : per * channels;
      for (int c = 0; c < known; ++c) {
        if (pos[c] < body || pos[c] + span > end) return fail(kMsgCorrupt);
      }
    }
  } else {
    const int64_t span = interleavedbytes(rep, n, channels);
    if (span >= 0 && (pos[0] < body || pos[0] + span > end)) return fail(kMsgCorrupt);
  }
  int32_t positions[4] = {};
  const int known = isblock(rep) && (table || rep == SREP_VAG_BLK) ? channels : 1;
  for (int c = 0; c < known; ++c) {
    if (pos[c] <= 0 || pos[c] > INT32_MAX) return fail(kMsgCorrupt);
    positions[c] = static_cast<int32_t>(pos[c]);
  }
  if (!isimportsamples(r.f, positions, 0, done, static_cast<int32_t>(n), channels, rep, states, t.samples)) {
    return false;
  }
  done += static_cast<int32_t>(n);
  return true;
}

// The data chunks must deliver every sample the header declares: a damaged chunk id or a cut file
// is corrupt, not a sound that ends in silence.
bool readstream(const SNDSTREAM_VARIANT& v, Reader& r, STIMBRE& t, AUREX_COMPSTATE** states) {
  const int hb = headerbytes(v);
  int32_t done = 0;
  for (int64_t pos = 0;;) {
    uint8_t h[12];
    if (!r.seek(pos) || !r.read(h, hb)) return done == t.numsamples || fail(kMsgCorrupt);
    const int64_t size = ggetle(h + 4, 4);
    if (size < hb || pos + size > r.size) return fail(kMsgCorrupt);
    if (std::memcmp(h, kEndId, 4) == 0) return done == t.numsamples || fail(kMsgCorrupt);
    if (std::memcmp(h, kDataId, 4) == 0 && !readdatachunk(v, r, pos + hb, pos + size, t, done, states))
      return false;
    pos += size;
  }
}

}  // namespace

uint16_t sndstream_crc16(const uint8_t* data, size_t size) {
  return crc16(data, size);
}

int sndpatch_readheader(gfile* file, int64_t start, bool bigendian, SINFO* info, int32_t (*dataoffsets)[4]) {
  SNDSTREAM_VARIANT v{};
  v.bigendian = bigendian;
  Reader r{file, gsize(file)};
  return parseheader(v, r, start, info, dataoffsets) ? 1 : 0;
}

SABOUT* sndstream_about(const SNDSTREAM_VARIANT& v) {
  SABOUT* a = AUREX_newabout();
  if (!a) return nullptr;
  a->importcodesA[0] = static_cast<int8_t>(v.platform);
  a->importcodesA[1] = -1;
  a->importcodesB[0] = -1;
  a->exportcodesA[0] = static_cast<int8_t>(v.platform);
  a->exportcodesA[1] = -1;
  a->exportcodesB[0] = -1;
  std::memcpy(a->importreps, v.importreps, sizeof a->importreps);
  std::memcpy(a->exportreps, v.exportreps, sizeof a->exportreps);
  a->elementlimit = 1;
  a->timbrelimit = 1;
  a->formatcode = 4;
  a->caps = (v.canread ? SABOUT_CANREAD : 0u) | SABOUT_CANWRITE;
  std::strncpy(a->shortname, v.shortname, sizeof a->shortname - 1);
  std::strncpy(a->longname, v.longname, sizeof a->longname - 1);
  return a;
}

int sndstream_identify(const SNDSTREAM_VARIANT& v, gfile* file) {
  Reader r{file, gsize(file)};
  if (r.size < kIdentifyMinSize) return 0;
  const int64_t at = findheader(v, r);
  uint8_t ph[4];
  if (at < 0 || !r.seek(at) || !r.read(ph, 4)) return 0;
  return ph[0] == 'P' && ph[1] == 'T' && ph[2] == v.platform ? 100 : 0;
}

int sndstream_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int sndstream_close(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

int sndstream_create(SINSTANCE** out, gfile* file) {
  return sndstream_open(out, file);
}

int sndstream_wclose(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

int sndstream_info(const SNDSTREAM_VARIANT& v, SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) {
    AUREX_seterror("An attempt to get info from an element other than 0 was made.");
    return 0;
  }
  Reader r{inst->file, gsize(inst->file)};
  const int64_t start = findheader(v, r);
  if (start < 0) return fail(kMsgRead), 0;
  SINFO* info = AUREX_newsinfo();
  if (!info) return fail("Couldn't allocate memory for SINFO structure."), 0;
  if (!parseheader(v, r, start, info)) {
    info->numtimbres = SINFO_MAXTIMBRES;  // release every table read so far
    AUREX_freesinfo(info);
    return 0;
  }
  *out = info;
  return 1;
}

int sndstream_read(const SNDSTREAM_VARIANT& v, SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) {
    AUREX_seterror("An attempt to read from an element other than 0 was made.");
    return 0;
  }
  STIMBRE& t = info->timbres[0];
  Reader r{inst->file, gsize(inst->file)};
  if (t.numchannels < 1 || t.numchannels > STIMBRE_MAXCHANNELS || t.numsamples < 0)
    return fail(kMsgCorrupt), 0;
  // The sample count comes from the file: a count whose data cannot fit in the file is corrupt,
  // not a reason to allocate. Representations without a fixed size still pack no more than a
  // few dozen samples per byte.
  const int64_t needed = isblock(t.samplerep) ? blockbytes(t.samplerep, t.numsamples) * t.numchannels
                                              : interleavedbytes(t.samplerep, t.numsamples, t.numchannels);
  if (needed > r.size || (needed < 0 && t.numsamples / 64 > r.size)) return fail(kMsgCorrupt), 0;
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  for (int c = 0; c < STIMBRE_MAXCHANNELS; ++c) {
    if (t.samples[c]) gfree(t.samples[c]);
    t.samples[c] = nullptr;
  }
  bool ok = true;
  if (t.numsamples > 0) ok = AUREX_allocsamples(&t) == 0;
  if (ok) ok = readstream(v, r, t, states);
  AUREX_freecompstates(states);
  return ok ? 1 : 0;
}

int sndstream_write(const SNDSTREAM_VARIANT& v, SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) {
    AUREX_seterror(v.elementmessage);
    return 0;
  }
  AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
  if (!AUREX_alloccompstates(states)) return 0;
  for (auto* s : states) s->wholeprogress = 1;
  const bool ok = writestream(v, inst->file, info, states);
  AUREX_freecompstates(states);
  return ok ? 1 : 0;
}
