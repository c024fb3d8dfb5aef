#include "quillon/app/playheader.h"

#include <algorithm>
#include <string_view>

namespace {

uint32_t le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr uint32_t kMaxHeaderChunk = 0x10000;

enum class Walk { Visited, End, Broken };

// Calls `visit` (chunk header, start, size) for each chunk from the start of the file, with the
// file just past the chunk header, until a visit gives true (Visited) or the chunks end: exactly
// at the end of the file (End), or at a chunk cut short or a size that leads nowhere (Broken).
template <typename Visit>
Walk walk(std::istream& in, Visit visit) {
  in.clear();
  std::streamoff at = 0;
  unsigned char head[8];
  while (in.seekg(at)) {
    if (!in.read(reinterpret_cast<char*>(head), 8)) return in.gcount() == 0 ? Walk::End : Walk::Broken;
    const uint32_t size = le32(head + 4);
    if (visit(head, at, size)) return Walk::Visited;
    if (size < 8) return Walk::Broken;
    at += size;
  }
  return Walk::Broken;
}

}  // namespace

bool stream_findheader(std::istream& in, STREAMHEADERCHUNK* h) {
  return walk(in, [&](const unsigned char* head, std::streamoff at, uint32_t size) {
           if (std::string_view(reinterpret_cast<const char*>(head), 4) != "SCHl") return false;
           // A size beyond any header is read as far as it goes, for the parser to refuse.
           h->bytes.assign(head, head + 8);
           h->bytes.resize(std::min(size, kMaxHeaderChunk));
           if (h->bytes.size() > 8 &&
               !in.read(reinterpret_cast<char*>(h->bytes.data() + 8), h->bytes.size() - 8))
             h->bytes.resize(8 + static_cast<size_t>(in.gcount()));
           h->offset = at;
           h->size = size;
           return true;
         }) == Walk::Visited;
}

bool stream_playsnothing(std::istream& in) {
  return walk(in, [&](const unsigned char* head, std::streamoff, uint32_t size) {
           unsigned char count[4];
           return std::string_view(reinterpret_cast<const char*>(head), 4) == "SCDl" &&
                  (size < 12 || !in.read(reinterpret_cast<char*>(count), 4) ||
                   (count[0] | count[1] | count[2] | count[3]) != 0);
         }) == Walk::End;
}

bool stream_setreverb(std::vector<unsigned char>& chunk, int reverb) {
  constexpr uint8_t kReverbTag = 0x13, kPad = 0xFC, kEnd = 0xFF;
  size_t p = 8 + 4;
  if (chunk.size() < p || chunk[8] != 'P' || chunk[9] != 'T') return false;
  if (chunk[11] & 2) p += 4;
  const size_t tags = p;
  while (p < chunk.size() && chunk[p] != kEnd) {
    const uint8_t tag = chunk[p++];
    if (tag >= kPad) continue;
    if (p >= chunk.size()) return false;
    size_t n = chunk[p++];
    if (n == 0xFF) {
      if (p + 4 > chunk.size()) return false;
      n = static_cast<size_t>(chunk[p]) << 24 | chunk[p + 1] << 16 | chunk[p + 2] << 8 | chunk[p + 3];
      p += 4;
    }
    if (n > chunk.size() - p) return false;
    // A value of 1 to 4 bytes is the amount (a longer one is a data block, which readers skip).
    if (tag == kReverbTag && n > 0 && n <= 4) {
      std::fill_n(chunk.begin() + static_cast<std::ptrdiff_t>(p), n - 1, 0);
      chunk[p + n - 1] = static_cast<unsigned char>(reverb);
      return true;
    }
    p += n;
  }
  if (p >= chunk.size()) return false;
  const unsigned char insert[4] = {kReverbTag, 1, static_cast<unsigned char>(reverb), kPad};
  chunk.insert(chunk.begin() + static_cast<std::ptrdiff_t>(tags), insert, insert + 4);
  const uint32_t size = le32(&chunk[4]) + 4;
  for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<unsigned char>(size >> (8 * i));
  return true;
}
