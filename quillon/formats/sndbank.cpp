// SND patch and bank reader and writer. A bank is built whole in memory: a first pass lays out
// the elements (their size does not depend on the table distances and sample offsets, which are
// fixed 4-byte values), the tables and the sample area; a second pass fills in the final values.
// Identical scaling tables, envelopes and sample blocks are found by hash and confirmed byte for
// byte, so a bank of hundreds of sounds is not quadratic in its size.
#include "quillon/formats/sndbank.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "quillon/codecs/n64.h"
#include "quillon/codecs/vag.h"
#include "quillon/formats/consolecommon.h"
#include "quillon/formats/patchtags.h"
#include "quillon/formats/sndstream.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/samples.h"

namespace {

// ---- on-disk facts ------------------------------------------------------------------------

constexpr char kMagicLittle[] = "BNKl";
constexpr char kMagicBig[] = "BNKb";
constexpr int kVersion2 = 2;
constexpr int kVersion4 = 4;
constexpr int kHeaderV2 = 12;
constexpr int kHeaderV4 = 20;
constexpr int kTableBytes = SINFO_PARAMBLOCKSIZE;
constexpr int kMaxTables = 512;
constexpr int kMaxBlocks = 4096;
constexpr int kMaxEnvelopePoints = 8;
constexpr int kAreaAlign = 16;

constexpr uint8_t kReservedTags[4] = {0x8A, 0x8B, 0x96, 0x97};
constexpr uint8_t kLengthEscape = 0xFF;

// Play location values (bits 2..4 of tag 0x8C).
constexpr int16_t kPlayMainMemory = 4;
constexpr int16_t kPlaySoundMemory = 8;
constexpr int16_t kForcedRender = 0x40 | 0x80;  // spatialization bits: Dolby or DS3D

constexpr int32_t kDefaultAngles[4][4] = {
    {0, 0, 0, 0}, {57344, 8192, 0, 0}, {54613, 10922, 32768, 0}, {57344, 8192, 40960, 24576}};

constexpr const char* kMsgEmpty = "Can't read empty bank element.";
constexpr const char* kMsgCorrupt = "Corrupt SND bank file.";
constexpr const char* kMsgOutside = "Sample data of the bank element lies outside the file.";
constexpr const char* kMsgWrite = "File error writing to bank.";

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

int defaultrep(int platform) {
  switch (platform) {
    case 1:
    case 5:
      return SREP_VAG_BLK;
    case 2:
      return SREP_N64_BLK;
    default:
      return SREP_QVXA_BLK;
  }
}

int defaultplayloc(int platform) {
  return platform == 1 || platform == 5 ? 8 : 0;
}

uint32_t get32(const uint8_t* p, bool big) {
  return big ? ggetbe(p, 4) : ggetle(p, 4);
}
void put32(uint8_t* p, uint32_t v, bool big) {
  (big ? gputbe : gputle)(p, v, 4);
}

uint64_t hashbytes(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h ^ n;
}

// Byte blobs stored once each: a hash finds the candidates, a comparison confirms them.
struct BlobStore {
  std::vector<std::vector<uint8_t>> blobs;
  std::unordered_multimap<uint64_t, int> index;

  // The index of an equal blob, or of the new one; -1 when `limit` blobs are stored already.
  int add(const uint8_t* p, size_t n, int limit) {
    const uint64_t h = hashbytes(p, n);
    const auto range = index.equal_range(h);
    for (auto it = range.first; it != range.second; ++it) {
      const std::vector<uint8_t>& b = blobs[static_cast<size_t>(it->second)];
      if (b.size() == n && (n == 0 || std::memcmp(b.data(), p, n) == 0)) return it->second;
    }
    if (static_cast<int>(blobs.size()) >= limit) return -1;
    blobs.emplace_back(p, p + n);
    index.emplace(h, static_cast<int>(blobs.size()) - 1);
    return static_cast<int>(blobs.size()) - 1;
  }
  // Forgets every blob from the n-th on.
  void truncate(size_t n) {
    if (blobs.size() <= n) return;
    blobs.resize(n);
    std::erase_if(index, [n](const auto& entry) { return static_cast<size_t>(entry.second) >= n; });
  }
};

// ---- reading ------------------------------------------------------------------------------

struct BankHeader {
  int version;
  int32_t count;
  int64_t tablepos;  // file offset of the element offset table
};

int readbankheader(const SNDBANK_VARIANT& v, gfile* f, BankHeader& h, bool quiet) {
  uint8_t b[kHeaderV2];
  const auto bad = [quiet](const char* m) { return quiet ? 0 : fail(m); };
  if (!console_readat(f, 0, b, kHeaderV2)) return bad("Couldn't read from file.");
  if (std::memcmp(b, v.bigendian ? kMagicBig : kMagicLittle, 4) != 0) return bad(kMsgCorrupt);
  h.version = b[4];
  if (h.version != kVersion2 && h.version != kVersion4) return bad("Unsupported SND bank version.");
  h.count = static_cast<int32_t>(v.bigendian ? ggetbe(b + 6, 2) : ggetle(b + 6, 2));
  if (h.count < 1) return bad(kMsgCorrupt);
  if (h.count > SNDBANK_MAXELEMENTS) return bad("SND bank files can hold at most 512 elements.");
  h.tablepos = h.version == kVersion4 ? kHeaderV4 : kHeaderV2;
  if (h.tablepos + 4 * int64_t{h.count} > gsize(f)) return bad(kMsgCorrupt);
  return 1;
}

// File offset of element e's patch header, 0 for an empty element, -1 after reporting.
int64_t elementpos(const SNDBANK_VARIANT& v, gfile* f, const BankHeader& h, int e) {
  if (e < 0 || e >= h.count) return 0;
  uint8_t b[4];
  const int64_t entry = h.tablepos + 4 * int64_t{e};
  if (!console_readat(f, entry, b, 4)) return fail(kMsgCorrupt), -1;
  const uint32_t distance = get32(b, v.bigendian);
  if (distance == 0) return 0;
  const int64_t pos = entry + distance;
  if (pos + 4 > gsize(f)) return fail("Bank element offset lies outside the file."), -1;
  return pos;
}

bool ispatchat(const SNDBANK_VARIANT& v, gfile* f, int64_t pos) {
  uint8_t ph[3];
  return console_readat(f, pos, ph, 3) && ph[0] == 'P' && ph[1] == 'T' && ph[2] == v.platform;
}

// Bytes one channel's data takes (all channels for the interleaved representations), or -1
// when the representation has no fixed size.
int64_t databytes(int rep, int64_t n, int channels) {
  switch (rep) {
    case SREP_VAG_BLK:
      return (n + 27) / 28 * 16;
    case SREP_QVXA_BLK:
      return (n + 27) / 28 * 15;
    case SREP_S16L_BLK:
    case SREP_S16B_BLK:
      return 2 * n;
    case SREP_S8_BLK:
      return n;
    case SREP_S16L_INT:
    case SREP_S16B_INT:
      return 2 * n * channels;
    case SREP_S8_INT:
    case SREP_U8_INT:
      return n * channels;
    case SREP_QVXA_INT:
      return (n + 27) / 28 * 15 * channels;
    default:
      return -1;
  }
}

// Moves a VAG channel position past its zero lead-in frame.
int64_t pastleadin(gfile* f, int64_t pos) {
  uint8_t frame[VAG_FRAMEBYTES];
  return console_readat(f, pos, frame, VAG_FRAMEBYTES) && vag_iszeroframe(frame) ? pos + VAG_FRAMEBYTES : pos;
}

// Checks what the header says against the file and takes VAG loop points from the frame flags.
int checktimbre(gfile* f, STIMBRE& t, const int32_t offsets[4]) {
  if (!console_rateok(t.samplerate)) return 0;
  const int64_t size = gsize(f);
  const int64_t per = databytes(t.samplerep, t.numsamples, t.numchannels);
  const bool interleaved = t.samplerep == SREP_S16L_INT || t.samplerep == SREP_S16B_INT ||
                           t.samplerep == SREP_S8_INT || t.samplerep == SREP_U8_INT ||
                           t.samplerep == SREP_QVXA_INT;
  for (int c = 0; c < (interleaved ? 1 : t.numchannels); ++c) {
    int64_t pos = offsets[c];
    if (t.samplerep == SREP_VAG_BLK) pos = pastleadin(f, pos);
    const bool inside =
        per >= 0 ? pos > 0 && pos + per <= size : pos > 0 && pos < size && t.numsamples / 64 <= size;
    if (t.numsamples > 0 && !inside) return fail(kMsgOutside);
  }
  if (t.samplerep == SREP_VAG_BLK && t.numsamples > 0) {
    const int64_t pos = pastleadin(f, offsets[0]);
    std::vector<uint8_t> frames(static_cast<size_t>(per));
    if (!console_readat(f, pos, frames.data(), per)) return fail(kMsgOutside);
    int32_t ls, le;
    vag_findloop(frames.data(), static_cast<int32_t>(per / VAG_FRAMEBYTES), &ls, &le);
    if (ls >= 0 && le > ls) {
      t.loopstart = ls;
      t.loopend = std::min(le, t.numsamples - 1);
    } else {
      t.loopstart = t.loopend = -1;
    }
  }
  return 1;
}

// Parses the patch header at `pos` into a new SINFO; *out null after reporting.
int infoat(const SNDBANK_VARIANT& v, gfile* f, int64_t pos, SINFO** out, int32_t offsets[][4]) {
  *out = nullptr;
  if (!ispatchat(v, f, pos)) return fail(kMsgCorrupt);
  SINFO* info = AUREX_newsinfo();
  if (!info) return 0;
  bool ok = sndpatch_readheader(f, pos, v.bigendian, info, offsets);
  for (int i = 0; ok && i < info->numtimbres; ++i) ok = checktimbre(f, info->timbres[i], offsets[i]);
  if (!ok) {
    info->numtimbres = SINFO_MAXTIMBRES;  // release every table read so far
    AUREX_freesinfo(info);
    return 0;
  }
  *out = info;
  return 1;
}

int readat(const SNDBANK_VARIANT& v, gfile* f, int64_t pos, SINFO* info) {
  SINFO* fresh = nullptr;
  int32_t offsets[SINFO_MAXTIMBRES][4] = {};
  if (!infoat(v, f, pos, &fresh, offsets)) return 0;
  int ok = info->numtimbres == fresh->numtimbres;
  if (!ok) fail(kMsgCorrupt);
  for (int i = 0; ok && i < info->numtimbres; ++i) {
    STIMBRE& t = info->timbres[i];
    const STIMBRE& s = fresh->timbres[i];
    // The caller's record must still describe what the file holds.
    if (t.numchannels != s.numchannels || t.samplerep != s.samplerep || t.numsamples != s.numsamples) {
      ok = fail(kMsgCorrupt);
      break;
    }
    int32_t positions[4] = {};
    for (int c = 0; c < 4; ++c) {
      positions[c] = offsets[i][c];
      if (t.samplerep == SREP_VAG_BLK && c < t.numchannels)
        positions[c] = static_cast<int32_t>(pastleadin(f, offsets[i][c]));
    }
    ok = console_importtimbre(f, t, positions);
  }
  AUREX_freesinfo(fresh);
  return ok;
}

// ---- writing ------------------------------------------------------------------------------

// One timbre as the writer keeps it: its fields (no buffers), its user and side data, and the
// indexes of its shared tables and sample block.
struct Timbre {
  STIMBRE t;
  std::vector<uint8_t> userdata[4];
  std::vector<uint8_t> sidedata[4];
  int tables[4] = {-1, -1, -1, -1};
  int envelope = -1;
  int block = -1;
  int32_t channeloffsets[4] = {};
};

struct Slot {
  bool used = false;
  int16_t bankword = 0;
  std::vector<Timbre> timbres;
};

struct BankWriter {
  SNDBANK_VARIANT v;
  uint32_t carried = 0;  // the header's word at 16
  std::vector<Slot> slots = std::vector<Slot>(SNDBANK_MAXELEMENTS);
  BlobStore tables, envelopes, blocks;
};

// Where pass 1 put everything; empty during pass 1 (indexes stand in for distances).
struct Layout {
  std::vector<int64_t> tables, envelopes, blocks;
};

struct Out {
  std::vector<uint8_t> b;
  void byte(uint8_t x) { b.push_back(x); }
  void be(uint32_t x, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(x >> (8 * i)));
  }
  void bytes(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
  // A value tag, left out when it equals the tag's default.
  void tag(uint8_t t, int32_t value, int32_t def) {
    if (value == def) return;
    int n = 4;
    if (value == 0)
      n = 0;
    else if (value >= -128 && value <= 127)
      n = 1;
    else if (value >= -32768 && value <= 32767)
      n = 2;
    else if (value >= -8388608 && value <= 0x7FFF00)
      n = 3;
    byte(t);
    byte(static_cast<uint8_t>(n));
    be(static_cast<uint32_t>(value), n);
  }
  // A tag with a fixed 4-byte value; returns the value's position.
  size_t fixed(uint8_t t, uint32_t value) {
    byte(t);
    byte(4);
    const size_t at = b.size();
    be(value, 4);
    return at;
  }
  void block(uint8_t t, const std::vector<uint8_t>& data) {
    byte(t);
    if (data.size() < kLengthEscape) {
      byte(static_cast<uint8_t>(data.size()));
    } else {
      byte(kLengthEscape);
      be(static_cast<uint32_t>(data.size()), 4);
    }
    bytes(data);
  }
};

bool isdefaultenvelope(const STIMBRE& t) {
  return t.instH == 1 && t.envelope[0][0] == INT32_MAX && t.envelope[0][1] == 127;
}

// Element bytes at file offset `base`.
void writeelement(const BankWriter& w, const Slot& s, int64_t base, const Layout* l, Out& o) {
  const int p = w.v.platform;
  o.b.clear();
  o.byte('P');
  o.byte('T');
  o.byte(static_cast<uint8_t>(p));
  o.byte(0);
  o.tag(kTagBankWord, s.bankword, 0);
  const auto distance = [&](size_t valueat, int64_t target) {
    return static_cast<uint32_t>(target - (base + static_cast<int64_t>(valueat)));
  };
  for (size_t i = 0; i < s.timbres.size(); ++i) {
    const Timbre& tb = s.timbres[i];
    const STIMBRE& t = tb.t;
    for (const std::vector<uint8_t>& u : tb.userdata) {
      if (u.empty()) continue;
      const int taglen = u.size() < kLengthEscape ? 2 : 6;
      while ((base + static_cast<int64_t>(o.b.size()) + taglen) % 4 != 0) o.byte(kTagPad);
      o.block(kTagUserData, u);
    }
    o.tag(0x01, t.lowvelocity, 0);
    o.tag(0x02, t.highvelocity, 127);
    o.tag(0x03, t.lownote, 0);
    o.tag(0x04, t.highnote, 127);
    o.tag(0x06, t.instJ, 0);
    o.tag(0x07, t.rootnote, 60);
    o.tag(0x08, static_cast<int8_t>(t.instI), -1);
    o.tag(0x09, t.instH, 1);
    o.tag(0x1C, t.instE, 127);
    o.tag(0x0A, t.instG, 0);
    o.tag(0x0C, t.pan, 64);
    o.tag(0x0D, t.instA, 0);
    o.tag(0x25, t.instB, 1);
    o.tag(0x0E, t.volume, 127);
    o.tag(0x0F, t.instD, 0);
    o.tag(0x10, t.detune, 0);
    o.tag(0x11, t.finetune, 0);
    o.tag(0x13, t.reverb, 0);
    o.tag(0x0B, t.numchannels, 1);
    const auto tableref = [&](int k) {
      if (tb.tables[k] < 0) return;
      const size_t at = o.fixed(kScalingTableTags[k], static_cast<uint32_t>(tb.tables[k]));
      if (l) gputbe(&o.b[at], distance(at, l->tables[static_cast<size_t>(tb.tables[k])]), 4);
    };
    tableref(0);
    tableref(1);
    if (tb.envelope >= 0) {
      const size_t at = o.fixed(kTagEnvelope, static_cast<uint32_t>(tb.envelope));
      if (l) gputbe(&o.b[at], distance(at, l->envelopes[static_cast<size_t>(tb.envelope)]), 4);
    }
    tableref(2);
    o.tag(0x1E, t.bankbytes[0], 0);
    o.tag(0x1F, t.bankbytes[1], 0);
    tableref(3);
    o.tag(0x21, t.bankbytes[2], 0);
    o.tag(0x22, t.bankshort, 0);
    o.tag(0x23, t.bankbytes[3], 0);
    o.byte(kTagPlatformSection);

    o.tag(kTagRevision, p == 5 ? 2 : 1, 0);
    o.tag(kTagSamples, t.numsamples, 0);
    o.tag(kTagChannels, t.numchannels, 1);
    o.tag(kTagRep, t.samplerep, defaultrep(p));
    o.tag(kTagRate, t.samplerate, 22050);
    o.tag(kTagLoopStart, t.loopstart, -1);
    o.tag(kTagLoopEnd, t.loopend, -1);
    o.tag(kTagPlayLoc, t.spatialization | t.playlocflag | t.playloc, defaultplayloc(p));
    int32_t angles[4];
    std::memcpy(angles, t.trackangle, sizeof angles);
    const int ch = std::clamp<int>(t.numchannels, 1, 4);
    if (angles[0] == -1) std::memcpy(angles, kDefaultAngles[ch - 1], sizeof angles);
    for (int c = 0; c < t.numchannels; ++c) {
      const size_t at = o.fixed(kDataOffsetTags[c], static_cast<uint32_t>(tb.block));
      if (l)
        gputbe(&o.b[at],
               static_cast<uint32_t>(l->blocks[static_cast<size_t>(tb.block)] + tb.channeloffsets[c]), 4);
      o.fixed(kReservedTags[c], 0);
      if (!tb.sidedata[c].empty()) o.block(static_cast<uint8_t>(kTagSideData + c), tb.sidedata[c]);
      o.tag(static_cast<uint8_t>(kTagAngle + c), angles[c] - kDefaultAngles[ch - 1][c], 0);
    }
    o.byte(i + 1 < s.timbres.size() ? kTagNextTimbre : kTagEnd);
  }
  while (o.b.size() % 4) o.byte(0);
}

int32_t alignment(int rep) {
  return rep == SREP_VAG_BLK ? 28 : rep == SREP_N64_BLK ? 16 : 4;
}

// The N64 block: each channel's frames, with its codebook (and loop state) as the channel's side
// data, big-endian.
int encoden64(Timbre& tb, const STIMBRE& src, std::vector<uint8_t>& block) {
  const STIMBRE& t = tb.t;
  const int32_t bytes = n64_frames(t.numsamples) * N64_FRAMEBYTES;
  block.assign(static_cast<size_t>(bytes) * static_cast<size_t>(t.numchannels), 0);
  for (int c = 0; c < t.numchannels; ++c) {
    int16_t book[N64_BOOKVALUES];
    int16_t loop[N64_LOOPSTATEVALUES] = {};
    tb.channeloffsets[c] = c * bytes;
    n64_encode(src.samples[c], t.numsamples, t.loopend > 0 ? t.loopstart : -1,
               block.data() + static_cast<size_t>(c) * static_cast<size_t>(bytes), book, loop);
    std::vector<uint8_t>& side = tb.sidedata[c];
    side.resize(2 * N64_BOOKVALUES + (t.loopend > 0 ? 2 * N64_LOOPSTATEVALUES : 0));
    for (int i = 0; i < N64_BOOKVALUES; ++i)
      gputbe(&side[2 * static_cast<size_t>(i)], static_cast<uint16_t>(book[i]), 2);
    for (size_t i = 2 * N64_BOOKVALUES, k = 0; i < side.size(); i += 2, ++k)
      gputbe(&side[i], static_cast<uint16_t>(loop[k]), 2);
  }
  return 1;
}

int addtimbre(BankWriter& w, const STIMBRE& src, Timbre& tb) {
  STIMBRE& t = tb.t;
  t = src;
  for (int c = 0; c < 4; ++c) {
    t.samples[c] = nullptr;
    t.sidedata[c] = nullptr;
    t.codebook[c] = t.loopstate[c] = t.encoded[c] = nullptr;
    t.userdata[c] = nullptr;
    if (src.userdata[c] && src.userdatasize[c] > 0) {
      const auto* u = static_cast<const uint8_t*>(src.userdata[c]);
      tb.userdata[c].assign(u, u + src.userdatasize[c]);
    }
    if (c < src.numchannels && src.sidedata[c] && src.sidedatasize > 0) {
      const auto* sd = static_cast<const uint8_t*>(src.sidedata[c]);
      tb.sidedata[c].assign(sd, sd + src.sidedatasize);
    }
  }
  t.paramblock[0] = t.paramblock[1] = t.paramblock2[0] = t.paramblock2[1] = nullptr;
  if (t.numchannels < 1 || t.numchannels > STIMBRE_MAXCHANNELS || t.numsamples < 0)
    return fail("Unsupported number of channels for SND bank.");

  if (w.v.platform == 5) {
    if (t.playloc != kPlayMainMemory && t.playloc != kPlaySoundMemory) t.playloc = kPlaySoundMemory;
    if (t.playloc == kPlayMainMemory && t.samplerep == SREP_VAG_BLK)
      return fail("SND PS2 bank files with maincpu play location can't use VAG samplerep.");
    if (t.playloc == kPlaySoundMemory) t.samplerep = SREP_VAG_BLK;
  }

  const void* srctables[4] = {src.paramblock[0], src.paramblock[1], src.paramblock2[0], src.paramblock2[1]};
  for (int k = 0; k < 4; ++k) {
    if (!srctables[k]) continue;
    try {
      tb.tables[k] = w.tables.add(static_cast<const uint8_t*>(srctables[k]), kTableBytes, kMaxTables);
    } catch (const std::bad_alloc&) {
      return fail("Not enough memory available to store scaling table.");
    }
    if (tb.tables[k] < 0) return fail("Out of table pointer space in addtable.");
  }
  if (!isdefaultenvelope(t)) {
    if (t.instH < 1 || t.instH > kMaxEnvelopePoints) return fail("Envelope array to small for storage.");
    std::vector<uint8_t> env(static_cast<size_t>(t.instH) * 8);
    for (int i = 0; i < t.instH; ++i) {
      put32(&env[8 * static_cast<size_t>(i)], static_cast<uint32_t>(t.envelope[i][0]), w.v.bigendian);
      put32(&env[8 * static_cast<size_t>(i) + 4], static_cast<uint32_t>(t.envelope[i][1]), w.v.bigendian);
    }
    try {
      tb.envelope = w.envelopes.add(env.data(), env.size(), INT32_MAX);
    } catch (const std::bad_alloc&) {
      return fail("Not enough memory available to store envelope.");
    }
  }

  // Loop points on the codec's frame grid.
  const int32_t a = alignment(t.samplerep);
  if (t.loopend > 0 && t.loopstart >= 0) {
    t.loopstart = t.loopstart / a * a;
    t.loopend = std::min<int32_t>(t.numsamples - 1, (t.loopend + a) / a * a - 1);
  }
  std::vector<uint8_t> block;
  if (t.numsamples > 0) {
    if (t.samplerep == SREP_N64_BLK) {
      encoden64(tb, src, block);
    } else {
      STIMBRE e = src;
      e.samplerep = t.samplerep;
      e.loopstart = t.loopstart;
      e.loopend = t.loopend;
      AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES] = {};
      if (!AUREX_alloccompstates(states)) return 0;
      uint8_t* mem = nullptr;
      const int32_t n = ismemexportsamples(&mem, t.numsamples, 0, states, tb.channeloffsets, &e);
      AUREX_freecompstates(states);
      if (n <= 0) return 0;
      block.assign(mem, mem + n);
      gfree(mem);
    }
  }
  tb.block = w.blocks.add(block.data(), block.size(), kMaxBlocks);
  if (tb.block < 0) return fail("Out of sample block space in the bank writer.");
  return 1;
}

int64_t roundup(int64_t x, int64_t m) {
  return (x + m - 1) / m * m;
}

int wclosebank(BankWriter& w, gfile* f);

// The work buffers of wclosebank: every allocation failure that the steps above do not report
// themselves.
int wclosebankguarded(BankWriter& w, gfile* f) {
  try {
    return wclosebank(w, f);
  } catch (const std::bad_alloc&) {
    return fail("Couldn't allocate memory internal to wclosebank.");
  }
}

int wclosebank(BankWriter& w, gfile* f) {
  const int p = w.v.platform;
  if (p != 0 && p != 1 && p != 2 && p != 3 && p != 5) return fail("Unsupported bank platform in wclosebank.");
  int count = 0;
  for (int i = 0; i < SNDBANK_MAXELEMENTS; ++i)
    if (w.slots[static_cast<size_t>(i)].used) count = i + 1;
  if (count == 0) return fail("No patches in bank to write.");
  for (const Slot& s : w.slots) {
    for (const Timbre& tb : s.timbres) {
      if ((tb.t.spatialization & kForcedRender) && tb.t.numchannels > 1)
        return fail("Forced Dolby or DS3D render mode requires mono samples.");
    }
  }

  // Block order: PS2 banks put the blocks that play from main memory first, each at its first use.
  std::vector<int> order;
  std::vector<bool> placed, mainmemory;
  try {
    order.reserve(w.blocks.blobs.size());
    placed.assign(w.blocks.blobs.size(), false);
    mainmemory.assign(w.blocks.blobs.size(), false);
  } catch (const std::bad_alloc&) {
    return fail("Couldn't allocate memory internal to AUREXI_envordertracks.");
  }
  for (const Slot& s : w.slots)
    for (const Timbre& tb : s.timbres)
      if (tb.t.playloc == kPlayMainMemory) mainmemory[static_cast<size_t>(tb.block)] = true;
  for (int pass = 0; pass < (p == 5 ? 2 : 1); ++pass) {
    for (const Slot& s : w.slots) {
      for (const Timbre& tb : s.timbres) {
        const auto b = static_cast<size_t>(tb.block);
        if (p == 5 && pass == 0 && tb.t.playloc != kPlayMainMemory) continue;
        if (!placed[b]) {
          placed[b] = true;
          order.push_back(tb.block);
        }
      }
    }
  }

  const int64_t header = kHeaderV4 + 4 * int64_t{count};
  std::vector<int64_t> elements(static_cast<size_t>(count), 0);
  Out o;
  int64_t at = header;
  for (int i = 0; i < count; ++i) {  // pass 1: the sizes
    const Slot& s = w.slots[static_cast<size_t>(i)];
    if (!s.used) continue;
    elements[static_cast<size_t>(i)] = at;
    writeelement(w, s, at, nullptr, o);
    at += static_cast<int64_t>(o.b.size());
  }
  Layout l;
  for (const auto& t : w.tables.blobs) {
    l.tables.push_back(at);
    at += static_cast<int64_t>(t.size());
  }
  for (const auto& e : w.envelopes.blobs) {
    at = roundup(at, 4);
    l.envelopes.push_back(at);
    at += static_cast<int64_t>(e.size());
  }
  at = roundup(at, kAreaAlign);
  const int64_t dataarea = at;
  int64_t mainend = dataarea;
  l.blocks.assign(w.blocks.blobs.size(), 0);
  for (size_t k = 0; k < order.size(); ++k) {
    const int b = order[k];
    l.blocks[static_cast<size_t>(b)] = at;
    at += roundup(static_cast<int64_t>(w.blocks.blobs[static_cast<size_t>(b)].size()), kAreaAlign);
    if (p == 5 && mainmemory[static_cast<size_t>(b)]) mainend = at;
  }
  if (at > INT32_MAX) return fail("SND bank is too large.");

  std::vector<uint8_t> file(static_cast<size_t>(at), 0);
  std::memcpy(file.data(), w.v.bigendian ? kMagicBig : kMagicLittle, 4);
  file[4] = kVersion4;
  (w.v.bigendian ? gputbe : gputle)(&file[6], static_cast<uint32_t>(count), 2);
  const int64_t loaded = p == 5 ? mainend : dataarea;
  put32(&file[8], static_cast<uint32_t>(loaded), w.v.bigendian);
  put32(&file[12], static_cast<uint32_t>(at - loaded), w.v.bigendian);
  put32(&file[16], w.carried, w.v.bigendian);
  for (int i = 0; i < count; ++i) {  // pass 2: the final distances and offsets
    const int64_t pos = elements[static_cast<size_t>(i)];
    if (pos == 0) continue;
    const int64_t entry = kHeaderV4 + 4 * int64_t{i};
    put32(&file[static_cast<size_t>(entry)], static_cast<uint32_t>(pos - entry), w.v.bigendian);
    writeelement(w, w.slots[static_cast<size_t>(i)], pos, &l, o);
    std::memcpy(&file[static_cast<size_t>(pos)], o.b.data(), o.b.size());
  }
  for (size_t k = 0; k < w.tables.blobs.size(); ++k)
    std::memcpy(&file[static_cast<size_t>(l.tables[k])], w.tables.blobs[k].data(), kTableBytes);
  for (size_t k = 0; k < w.envelopes.blobs.size(); ++k)
    std::memcpy(&file[static_cast<size_t>(l.envelopes[k])], w.envelopes.blobs[k].data(),
                w.envelopes.blobs[k].size());
  for (size_t k = 0; k < w.blocks.blobs.size(); ++k) {
    const auto& b = w.blocks.blobs[k];
    if (!b.empty()) std::memcpy(&file[static_cast<size_t>(l.blocks[k])], b.data(), b.size());
  }
  const auto n = static_cast<int32_t>(file.size());
  return gwrite(f, file.data(), n) == n ? 1 : fail(kMsgWrite);
}

// Copies one sound into a free slot.
int addslot(BankWriter& w, Slot& s, const SINFO* info) {
  Slot fresh;
  fresh.bankword = info->bankword;
  const int timbres = std::clamp<int>(info->numtimbres, 1, SINFO_MAXTIMBRES);
  fresh.timbres.resize(static_cast<size_t>(timbres));
  for (int i = 0; i < timbres; ++i)
    if (!addtimbre(w, info->timbres[i], fresh.timbres[static_cast<size_t>(i)])) return 0;
  fresh.used = true;
  s = std::move(fresh);
  return 1;
}

BankWriter* writerof(SINSTANCE* inst) {
  return reinterpret_cast<BankWriter*>(inst->priv[1]);
}

}  // namespace

SABOUT* sndbank_about(const SNDBANK_VARIANT& v, bool bank) {
  CONSOLE_ABOUT a{v.shortname, v.longname, v.platform, {}, {}, bank ? SNDBANK_MAXELEMENTS : 1, 4};
  SABOUT* s = console_about(a);
  if (!s) return nullptr;
  std::memcpy(s->importreps, v.importreps, sizeof s->importreps);
  std::memcpy(s->exportreps, v.exportreps, sizeof s->exportreps);
  s->caps = SABOUT_CANREAD | (v.exportreps[0] >= 0 ? SABOUT_CANWRITE : 0u);
  s->timbrelimit = SINFO_MAXTIMBRES;
  return s;
}

int sndpatch_identify(const SNDBANK_VARIANT& v, gfile* file) {
  return ispatchat(v, file, 0) ? 100 : 0;
}

int sndpatch_info(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from an element other than 0 was made.");
  int32_t offsets[SINFO_MAXTIMBRES][4] = {};
  return infoat(v, inst->file, 0, out, offsets);
}

int sndpatch_read(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("An attempt to read from an element other than 0 was made.");
  return readat(v, inst->file, 0, info);
}

int sndbank_identify(const SNDBANK_VARIANT& v, gfile* file) {
  BankHeader h;
  if (!readbankheader(v, file, h, true)) return 0;
  for (int e = 0; e < h.count; ++e) {
    uint8_t b[4];
    if (!console_readat(file, h.tablepos + 4 * e, b, 4)) return 0;
    const uint32_t d = get32(b, v.bigendian);
    if (d != 0) return ispatchat(v, file, h.tablepos + 4 * e + d) ? 100 : 0;
  }
  return 0;
}

int sndbank_open(const SNDBANK_VARIANT& v, SINSTANCE** out, gfile* file) {
  *out = nullptr;
  BankHeader h;
  if (!readbankheader(v, file, h, false)) return 0;
  *out = AUREX_newinstance(file);
  if (!*out) return 0;
  (*out)->numelements = h.count;
  return h.count;
}

int sndbank_info(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  BankHeader h;
  if (!readbankheader(v, inst->file, h, false)) return 0;
  const int64_t pos = elementpos(v, inst->file, h, element);
  if (pos < 0) return 0;
  if (pos == 0) return fail(kMsgEmpty);
  int32_t offsets[SINFO_MAXTIMBRES][4] = {};
  return infoat(v, inst->file, pos, out, offsets);
}

int sndbank_read(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO* info, int element) {
  BankHeader h;
  if (!readbankheader(v, inst->file, h, false)) return 0;
  const int64_t pos = elementpos(v, inst->file, h, element);
  if (pos < 0) return 0;
  if (pos == 0) return fail(kMsgEmpty);
  return readat(v, inst->file, pos, info);
}

int sndbank_close(SINSTANCE* inst) {
  return AUREX_freeinstance(inst);
}

int sndbank_create(const SNDBANK_VARIANT& v, SINSTANCE** out, gfile* file) {
  *out = nullptr;
  BankWriter* w = nullptr;
  try {
    w = new BankWriter;
  } catch (const std::bad_alloc&) {
    return fail("Couldn't allocate internal memory needed for bank writer.");
  }
  w->v = v;
  *out = AUREX_newinstance(file);
  if (!*out) {
    delete w;
    return fail("Couldn't allocate memory needed for SINSTANCE structure.");
  }
  (*out)->numelements = 0;
  (*out)->priv[1] = reinterpret_cast<intptr_t>(w);
  return 1;
}

int sndbank_write(SINSTANCE* inst, SINFO* info, int element) {
  BankWriter* w = writerof(inst);
  if (!w) return fail("Couldn't allocate internal memory needed for bank/patch/stream writer.");
  if (element < 0 || element >= SNDBANK_MAXELEMENTS) {
    AUREX_seterrorf("Bank element %d is outside the valid range 0..%d.", element, SNDBANK_MAXELEMENTS - 1);
    return 0;
  }
  Slot& s = w->slots[static_cast<size_t>(element)];
  if (s.used) return fail("An attempt to write to the same sinfo index was made.");
  // A sound that cannot be stored leaves none of its tables or blocks in the bank.
  const size_t tables = w->tables.blobs.size(), envelopes = w->envelopes.blobs.size(),
               blocks = w->blocks.blobs.size();
  int ok;
  try {
    ok = addslot(*w, s, info);
  } catch (const std::bad_alloc&) {
    ok = fail("Couldn't allocate memory needed for AUREXI_envaddsinfo.");
  }
  if (!ok) {
    w->tables.truncate(tables);
    w->envelopes.truncate(envelopes);
    w->blocks.truncate(blocks);
    return 0;
  }
  ++inst->numelements;
  return 1;
}

int sndbank_wclose(SINSTANCE* inst) {
  BankWriter* w = writerof(inst);
  const int ok = w ? wclosebankguarded(*w, inst->file)
                   : fail("Couldn't allocate internal memory needed for bank/patch/stream writer.");
  delete w;
  inst->priv[1] = 0;
  AUREX_freeinstance(inst);
  return ok;
}
