// Test oracle for the LZ77 compressor; see lz77_reference.h.
#include "braxel/archive/lz77_reference.h"

#include <algorithm>
#include <memory>

namespace {

struct RefBlock {
  RefBlock* newer = nullptr;
  RefBlock* older = nullptr;
  std::uint32_t start[32] = {};
  std::uint16_t run[32] = {};
  std::int16_t newest = -1;
};

struct RefCompressor {
  const std::vector<std::uint8_t>& d;
  std::int64_t n;
  std::vector<RefBlock*> slots;
  std::vector<std::unique_ptr<RefBlock>> owned;
  std::vector<RefBlock*> free_list;
  std::vector<std::uint8_t> out;

  explicit RefCompressor(const std::vector<std::uint8_t>& data)
      : d(data), n(static_cast<std::int64_t>(data.size())), slots(65536) {
    for (auto& s : slots) s = make();
  }
  RefBlock* make() {
    if (!free_list.empty()) {
      RefBlock* b = free_list.back();
      free_list.pop_back();
      *b = RefBlock{};
      return b;
    }
    owned.push_back(std::make_unique<RefBlock>());
    return owned.back().get();
  }
  std::uint8_t at(std::int64_t i) const { return i < n ? d[static_cast<std::size_t>(i)] : 0; }
  int slot(std::int64_t p) const { return at(p) | (at(p + 1) << 8); }

  void insert(std::int64_t p) {
    RefBlock*& head = slots[slot(p)];
    if (head->newest >= 0) {
      int e = head->newest;
      if (head->start[e] + 1 + head->run[e] == p && head->run[e] <= 65533) {
        head->run[e]++;
        return;
      }
    }
    if (head->newest == 31) {
      RefBlock* b = make();
      b->older = head;
      head->newer = b;
      head = b;
    }
    head->newest++;
    head->start[head->newest] = static_cast<std::uint32_t>(p);
    head->run[head->newest] = 0;
  }

  void put(std::uint8_t v) { out.push_back(v); }
  void lits(std::int64_t from, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) put(d[static_cast<std::size_t>(from + i)]);
  }

  void copy_command(std::int64_t lit_start, std::int64_t p_lits, std::int64_t dist, std::int64_t len) {
    std::int64_t pos = lit_start;
    while (p_lits > 112) {
      put(0xFB);
      lits(pos, 112);
      pos += 112;
      p_lits -= 112;
    }
    if (p_lits > 3) {
      put(static_cast<std::uint8_t>(0xE0 | ((p_lits >> 2) - 1)));
      lits(pos, p_lits & ~3);
      pos += p_lits & ~3;
      p_lits &= 3;
    }
    std::int64_t o = dist - 1;
    if (o < 1024 && len <= 10) {
      put(static_cast<std::uint8_t>(((o >> 8) << 5) | ((len - 3) << 2) | p_lits));
      put(static_cast<std::uint8_t>(o & 0xFF));
    } else if (o < 16384 && len <= 67) {
      put(static_cast<std::uint8_t>(0x80 | (len - 4)));
      put(static_cast<std::uint8_t>((p_lits << 6) | (o >> 8)));
      put(static_cast<std::uint8_t>(o & 0xFF));
    } else {
      put(static_cast<std::uint8_t>(0xC0 | ((o >> 16) << 4) | (((len - 5) >> 8) << 2) | p_lits));
      put(static_cast<std::uint8_t>((o >> 8) & 0xFF));
      put(static_cast<std::uint8_t>(o & 0xFF));
      put(static_cast<std::uint8_t>((len - 5) & 0xFF));
    }
    lits(pos, p_lits);
  }

  std::vector<std::uint8_t> run() {
    put(0x10);
    put(0xFB);
    put(static_cast<std::uint8_t>(n >> 16));
    put(static_cast<std::uint8_t>(n >> 8));
    put(static_cast<std::uint8_t>(n));
    std::int64_t lit = 0;
    if (n > 0) {
      insert(0);
      std::int64_t p = 1;
      do {
        std::int64_t limit = std::max<std::int64_t>(0, p - 131072);
        insert(p);
        std::int64_t best_l = 2;
        std::int64_t best = -1;
        RefBlock* head = slots[slot(p)];
        bool done = false;
        for (RefBlock* b = head; b != nullptr && !done; b = b->older) {
          for (int i = (b == head ? b->newest - 1 : b->newest); i >= 0 && !done; --i) {
            std::int64_t s = b->start[i];
            if (s < limit) {
              for (RefBlock* o = b->older; o != nullptr;) {
                RefBlock* next = o->older;
                free_list.push_back(o);
                o = next;
              }
              b->older = nullptr;
              done = true;
              break;
            }
            if (at(s + 2) == at(p + 2)) {
              std::int64_t l = 3;
              for (;;) {
                l = l + 1;
                if (l > 1028 || p + l > n - 1) {
                  best = s;
                  best_l = l;
                  done = true;
                  break;
                }
                if (at(p + l - 1) != at(s + l - 1)) break;
              }
              if (done) break;
              if (l > best_l) {
                best_l = l;
                best = s;
              }
            }
          }
        }
        std::int64_t len = best_l - 1;
        std::int64_t dist = p - best;
        bool accept = best >= 0 && ((len >= 3 && dist <= 1024) || (len >= 4 && dist <= 16384) ||
                                    (len >= 5 && dist <= 131072));
        if (accept) {
          copy_command(lit, p - lit, dist, len);
          for (std::int64_t q = p + 1; q <= p + len - 1; ++q) insert(q);
          p += len;
          lit = p;
        } else {
          p += 1;
        }
      } while (p < n - 3);
    }
    std::int64_t pending = n - lit;
    while (pending > 112) {
      put(0xFB);
      lits(lit, 112);
      lit += 112;
      pending -= 112;
    }
    if (pending >= 4) {
      put(static_cast<std::uint8_t>(0xE0 | ((pending / 4) - 1)));
      lits(lit, pending & ~3);
      lit += pending & ~3;
    }
    put(static_cast<std::uint8_t>(0xFC | (pending % 4)));
    lits(lit, pending % 4);
    return out;
  }
};

}  // namespace

std::vector<std::uint8_t> lz77_reference_compress(const std::vector<std::uint8_t>& data) {
  RefCompressor c(data);
  return c.run();
}
