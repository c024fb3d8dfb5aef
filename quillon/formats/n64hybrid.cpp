// N64/AIFF hybrid reader. The AIFF module reads whole files, so each "NATb" chunk is copied to a
// temporary file of its own and read through the format table's AIFF row; the timbres of the
// chunks, in file order, make up element 0.
#include "quillon/formats/n64hybrid.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quillon/formats/consolecommon.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

constexpr char kHeaderId[] = "N64b";
constexpr char kAiffId[] = "NATb";
constexpr int kChunkHeaderBytes = 8;  // id and big-endian size
constexpr int64_t kIdentifyMinSize = 300;
constexpr int kAiffFormat = 0;

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
    if (body + n > size)
      return natb ? fail(kMsgTruncated) : true;  // a cut trailing chunk of another kind is skipped
    if (natb && static_cast<int>(out.size()) < SINFO_MAXTIMBRES) out.push_back({body, n});
    at = body + n + (n & 1);
  }
  return out.empty() ? fail(kMsgNoSound) : true;
}

// One NATb chunk as a file of its own, removed with the object.
class ChunkFile {
 public:
  ChunkFile(gfile* src, const Chunk& c) {
    static std::atomic<int> serial{0};
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/quillon-natb-" + std::to_string(getpid()) + "-" +
            std::to_string(serial++) + ".aif";
    std::vector<uint8_t> body(static_cast<size_t>(c.size));
    gfile* out = console_readat(src, c.body, body.data(), c.size) ? gwopen(path_.c_str()) : nullptr;
    if (!out) return;
    const bool ok = gwrite(out, body.data(), static_cast<int32_t>(c.size)) == c.size;
    gclose(out);
    if (ok) file_ = gopen(path_.c_str());
  }
  ~ChunkFile() {
    if (file_) gclose(file_);
    std::remove(path_.c_str());
  }
  ChunkFile(const ChunkFile&) = delete;
  ChunkFile& operator=(const ChunkFile&) = delete;
  gfile* file() const { return file_; }

 private:
  std::string path_;
  gfile* file_ = nullptr;
};

// Runs `step` on the AIFF module's instance over chunk c.
template <typename Step>
int withaiff(gfile* f, const Chunk& c, Step step) {
  ChunkFile chunk(f, c);
  if (!chunk.file()) return fail("Couldn't copy a NATb chunk of an N64/AIFF hybrid file.");
  SINSTANCE* inst = nullptr;
  if (AUREX_open(chunk.file(), &inst, kAiffFormat) < 1) return 0;
  const int ok = step(inst);
  AUREX_close(inst);
  return ok;
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
    const int ok = withaiff(inst->file, chunks[k], [&](SINSTANCE* aiff) {
      SINFO* one = nullptr;
      if (!AUREX_info(aiff, &one, 0)) return 0;
      // The chunk's sound moves into timbre k; its buffers go with it.
      info->timbres[k] = one->timbres[0];
      AUREX_initsound(&one->timbres[0]);
      AUREX_freesinfo(one);
      return 1;
    });
    if (!ok) {
      AUREX_freesinfo(info);
      return 0;
    }
  }
  *out = info;
  return 1;
}

int n64hybrid_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("An attempt to read from an element other than 0 was made.");
  std::vector<Chunk> chunks;
  if (!natbchunks(inst->file, chunks)) return 0;
  if (info->numtimbres != chunks.size()) return fail("Corrupt N64/AIFF hybrid file.");
  for (size_t k = 0; k < chunks.size(); ++k) {
    const int ok = withaiff(inst->file, chunks[k], [&](SINSTANCE* aiff) {
      SINFO* one = AUREX_newsinfo();
      if (!one) return 0;
      one->timbres[0] = info->timbres[k];
      const int r = AUREX_read(aiff, one, 0);
      info->timbres[k] = one->timbres[0];
      AUREX_initsound(&one->timbres[0]);
      AUREX_freesinfo(one);
      return r;
    });
    if (!ok) return 0;
  }
  return 1;
}
