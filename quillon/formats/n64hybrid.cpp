// N64/AIFF hybrid reader. Each "NATb" chunk holds an AIFF FORM that the AIFF module reads in
// place; the timbres of the chunks, in file order, make up element 0.
#include "quillon/formats/n64hybrid.h"

#include <cstring>
#include <vector>

#include "quillon/formats/aiff.h"
#include "quillon/formats/consolecommon.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

constexpr char kHeaderId[] = "N64b";
constexpr char kAiffId[] = "NATb";
constexpr int kChunkHeaderBytes = 8;  // id and big-endian size
constexpr int64_t kIdentifyMinSize = 300;

constexpr const char* kMsgTruncated = "Truncated NATb chunk in N64/AIFF hybrid file.";
constexpr const char* kMsgNoSound = "No NATb chunk in N64/AIFF hybrid file.";

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

struct Chunk {
  int64_t body;
  int64_t size;
};

// The NATb chunks after the header chunk; false after reporting.
bool natbchunks(gfile* f, std::vector<Chunk>& out) {
  const int64_t size = gsize(f);
  uint8_t h[kChunkHeaderBytes];
  if (!console_readat(f, 0, h, kChunkHeaderBytes) || std::memcmp(h, kHeaderId, 4) != 0)
    return fail("Not an N64/AIFF hybrid file.");
  for (int64_t at = kChunkHeaderBytes + int64_t{ggetbe(h + 4, 4)}; at + kChunkHeaderBytes <= size;) {
    if (!console_readat(f, at, h, kChunkHeaderBytes)) return fail("Couldn't read from file.");
    const int64_t body = at + kChunkHeaderBytes, n = ggetbe(h + 4, 4);
    const bool natb = std::memcmp(h, kAiffId, 4) == 0;
    if (body + n > size) {
      if (natb) return fail(kMsgTruncated);
      break;  // a cut trailing chunk of another kind holds no sound
    }
    if (natb && static_cast<int>(out.size()) < SINFO_MAXTIMBRES) out.push_back({body, n});
    at = body + n + (n & 1);
  }
  return out.empty() ? fail(kMsgNoSound) : true;
}

}  // namespace

SABOUT* n64hybrid_about() {
  return console_about({"n64hybrid", "ZOR N64/AIFF hybrid", -1, {SREP_S16B_INT, SREP_N64_BLK}, {}, 1, 2});
}

int n64hybrid_identify(gfile* file) {
  uint8_t h[kChunkHeaderBytes];
  if (gsize(file) < kIdentifyMinSize || !console_readat(file, 0, h, kChunkHeaderBytes)) return 0;
  return std::memcmp(h, kHeaderId, 4) == 0 && ggetbe(h + 4, 4) == 0 ? 100 : 0;
}

int n64hybrid_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from an element other than 0 was made.");
  std::vector<Chunk> chunks;
  if (!natbchunks(inst->file, chunks)) return 0;
  SINFO* info = AUREX_newsinfo();
  if (!info) return 0;
  info->numtimbres = static_cast<uint8_t>(chunks.size());
  for (size_t k = 0; k < chunks.size(); ++k) {
    SINFO* one = nullptr;
    if (!aiff_infoat(inst->file, static_cast<int32_t>(chunks[k].body), &one)) {
      AUREX_freesinfo(info);
      return 0;
    }
    // The chunk's sound moves into timbre k, its buffers with it.
    info->timbres[k] = one->timbres[0];
    AUREX_initsound(&one->timbres[0]);
    AUREX_freesinfo(one);
  }
  *out = info;
  return 1;
}

int n64hybrid_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("An attempt to read from an element other than 0 was made.");
  std::vector<Chunk> chunks;
  if (!natbchunks(inst->file, chunks)) return 0;
  if (info->numtimbres != chunks.size()) return fail("Corrupt N64/AIFF hybrid file.");
  SINFO* one = AUREX_newsinfo();
  if (!one) return 0;
  int ok = 1;
  for (size_t k = 0; ok && k < chunks.size(); ++k) {
    // The AIFF reader fills timbre 0 of a record of its own; the buffers move over.
    one->timbres[0] = info->timbres[k];
    ok = aiff_readat(inst->file, static_cast<int32_t>(chunks[k].body), one);
    info->timbres[k] = one->timbres[0];
    AUREX_initsound(&one->timbres[0]);
  }
  AUREX_freesinfo(one);
  return ok ? 1 : 0;
}
