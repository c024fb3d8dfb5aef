// Octree quantizer on 5-bit colour components and weighted palette matching with a lazily
// filled cell cache.
#include "braxel/image/quantize.h"

#include <cstring>

#include "braxel/cli/console/console.h"

namespace {

constexpr int kLevels = 6;  // root (level 0) down to the 32768 leaves (level 5)
constexpr int kLeafLevel = 5;
constexpr int kLeaves = 32768;  // one leaf per bin of the 32 x 32 x 32 cube
constexpr int kBinCentre = 4;   // 5-bit value v stands for v * 8 + 4

// Sums are 64-bit: a picture of up to 32767 x 32767 pixels times a component of 252 does not fit
// in 32 bits.
struct ColourNode {
  std::uint64_t red;
  std::uint64_t green;
  std::uint64_t blue;
  std::uint32_t count;   // pixels assigned to this node as a palette colour; 0: not a colour
  std::uint32_t weight;  // pixels in the whole subtree
  std::uint8_t children;
  std::uint8_t index;
};

struct HeapEntry {
  std::uint8_t level;
  std::uint32_t node;
};

// Per 8-bit component value, its top five bits spread to the leaf index positions of that
// component (red at 14, 11, 8, 5, 2; green one below; blue two below).
struct Tables {
  std::uint16_t red[256];
  std::uint16_t green[256];
  std::uint16_t blue[256];
  std::int32_t square_storage[511];
  const std::int32_t* square;  // square[d] for d in -255..255

  Tables() {
    for (int v = 0; v < 256; ++v) {
      const int c = v >> 3;
      std::uint16_t spread = 0;
      for (int bit = 0; bit < 5; ++bit)
        if (c & (1 << bit)) spread = static_cast<std::uint16_t>(spread | (1u << (bit * 3 + 2)));
      red[v] = spread;
      green[v] = static_cast<std::uint16_t>(spread >> 1);
      blue[v] = static_cast<std::uint16_t>(spread >> 2);
    }
    for (int d = -255; d <= 255; ++d) square_storage[d + 255] = d * d;
    square = square_storage + 255;
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// The 5-bit components of a leaf index.
inline int leaf_red(int leaf) {
  int v = 0;
  for (int bit = 4; bit >= 0; --bit) v = (v << 1) | ((leaf >> (bit * 3 + 2)) & 1);
  return v;
}
inline int leaf_green(int leaf) {
  return leaf_red(leaf << 1);
}
inline int leaf_blue(int leaf) {
  return leaf_red(leaf << 2);
}

class Octree {
 public:
  bool allocate() {
    int nodes = 1;
    for (int level = 0; level < kLevels; ++level, nodes *= 8) {
      level_[level] = static_cast<ColourNode*>(console.allocate(sizeof(ColourNode) * nodes));
      if (level_[level] == nullptr) return false;
    }
    heap_ = static_cast<HeapEntry*>(console.allocate(sizeof(HeapEntry) * (kLeaves + 1)));
    leaf_index_ = static_cast<std::uint8_t*>(console.allocate(kLeaves));
    return heap_ != nullptr && leaf_index_ != nullptr;
  }
  ~Octree() {
    for (ColourNode* level : level_) console.release(level);
    console.release(heap_);
    console.release(leaf_index_);
  }

  void histogram(const std::uint8_t* rgb, std::size_t pixels) {
    const Tables& t = tables();
    ColourNode* leaves = level_[kLeafLevel];
    for (std::size_t i = 0; i < pixels; ++i, rgb += 3)
      ++leaves[t.red[rgb[0]] | t.green[rgb[1]] | t.blue[rgb[2]]].count;
  }

  void build_heap() {
    ColourNode* leaves = level_[kLeafLevel];
    size_ = 0;
    for (int leaf = 0; leaf < kLeaves; ++leaf) {
      ColourNode& n = leaves[leaf];
      if (n.count == 0) continue;
      heap_[++size_] = {kLeafLevel, static_cast<std::uint32_t>(leaf)};
      n.weight = n.count;
      n.red = std::uint64_t{n.count} * (leaf_red(leaf) * 8 + kBinCentre);
      n.green = std::uint64_t{n.count} * (leaf_green(leaf) * 8 + kBinCentre);
      n.blue = std::uint64_t{n.count} * (leaf_blue(leaf) * 8 + kBinCentre);
      std::uint32_t index = static_cast<std::uint32_t>(leaf);
      for (int level = kLeafLevel - 1; level >= 0; --level) {
        const int slot = index & 7;
        index >>= 3;
        ColourNode& parent = level_[level][index];
        parent.weight += n.count;
        parent.children = static_cast<std::uint8_t>(parent.children | (1u << slot));
      }
    }
    for (int i = size_; i >= 1; --i) sift_down(i);
  }

  void reduce(int colours) {
    while (size_ > colours) {
      const HeapEntry top = heap_[1];
      if (top.level == 0) break;  // the root alone is left; nothing to merge into
      ColourNode& node = at(top);
      const HeapEntry up{static_cast<std::uint8_t>(top.level - 1), top.node >> 3};
      ColourNode& parent = at(up);
      if (parent.count == 0) {
        heap_[1] = up;
      } else {
        heap_[1] = heap_[size_--];
      }
      parent.count += node.count;
      parent.red += node.red;
      parent.green += node.green;
      parent.blue += node.blue;
      parent.children = static_cast<std::uint8_t>(parent.children & ~(1u << (top.node & 7)));
      sift_down(1);
    }
  }

  // Gives palette indices in slot order 7..0 before the node itself.
  void assign(int level, std::uint32_t node, QuantPalette* palette) {
    ColourNode& n = level_[level][node];
    if (level < kLeafLevel)
      for (int slot = 7; slot >= 0; --slot)
        if (n.children & (1u << slot)) assign(level + 1, (node << 3) | slot, palette);
    if (n.count == 0 || used_ >= 256) return;
    n.index = static_cast<std::uint8_t>(used_);
    palette->red[used_] = static_cast<std::uint8_t>((n.red + n.count / 2) / n.count);
    palette->green[used_] = static_cast<std::uint8_t>((n.green + n.count / 2) / n.count);
    palette->blue[used_] = static_cast<std::uint8_t>((n.blue + n.count / 2) / n.count);
    ++used_;
  }
  int used() const { return used_; }

  void map_plain(const std::uint8_t* rgb, std::uint8_t* out, std::size_t pixels, const QuantPalette& pal) {
    const ColourNode* leaves = level_[kLeafLevel];
    for (int leaf = 0; leaf < kLeaves; ++leaf) {
      if (leaves[leaf].weight == 0) continue;
      int level = 0;
      std::uint32_t node = 0;
      while (level < kLeafLevel) {
        const int slot = (leaf >> (3 * (kLeafLevel - 1 - level))) & 7;
        if (!(level_[level][node].children & (1u << slot))) break;
        node = (node << 3) | slot;
        ++level;
      }
      best_ = 0x7fffffff;
      best_index_ = 0;
      target_[0] = leaf_red(leaf) * 8 + kBinCentre;
      target_[1] = leaf_green(leaf) * 8 + kBinCentre;
      target_[2] = leaf_blue(leaf) * 8 + kBinCentre;
      nearest_in_subtree(level, node, pal);
      leaf_index_[leaf] = static_cast<std::uint8_t>(best_index_);
    }
    const Tables& t = tables();
    for (std::size_t i = 0; i < pixels; ++i, rgb += 3)
      out[i] = leaf_index_[t.red[rgb[0]] | t.green[rgb[1]] | t.blue[rgb[2]]];
  }

 private:
  ColourNode& at(HeapEntry e) { return level_[e.level][e.node]; }

  void sift_down(int i) {
    const HeapEntry moving = heap_[i];
    const std::uint32_t weight = at(moving).weight;
    for (;;) {
      int child = i * 2;
      if (child > size_) break;
      if (child < size_ && at(heap_[child + 1]).weight < at(heap_[child]).weight) ++child;
      if (weight <= at(heap_[child]).weight) break;
      heap_[i] = heap_[child];
      i = child;
    }
    heap_[i] = moving;
  }

  void nearest_in_subtree(int level, std::uint32_t node, const QuantPalette& pal) {
    const ColourNode& n = level_[level][node];
    if (level < kLeafLevel)
      for (int slot = 7; slot >= 0; --slot)
        if (n.children & (1u << slot)) nearest_in_subtree(level + 1, (node << 3) | slot, pal);
    if (n.count == 0) return;
    const std::int32_t* sq = tables().square;
    const int i = n.index;
    const std::int32_t d =
        sq[pal.red[i] - target_[0]] + sq[pal.green[i] - target_[1]] + sq[pal.blue[i] - target_[2]];
    if (d < best_) {
      best_ = d;
      best_index_ = i;
    }
  }

  ColourNode* level_[kLevels] = {};
  HeapEntry* heap_ = nullptr;
  std::uint8_t* leaf_index_ = nullptr;
  int size_ = 0;
  int used_ = 0;
  std::int32_t best_ = 0;
  int best_index_ = 0;
  int target_[3] = {};
};

inline std::uint8_t clamp_byte(int v) {
  return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Error diffusion to the right: each pixel gets half of the previous pixel's error; the cache maps
// 5-bit bins to the palette colour nearest to the bin centre.
bool map_dithered(const std::uint8_t* rgb, std::uint8_t* out, int width, int height, const QuantPalette& pal,
                  int used) {
  auto* cache = static_cast<std::uint16_t*>(console.allocate(sizeof(std::uint16_t) * kLeaves));
  if (cache == nullptr) return false;
  const std::int32_t* sq = tables().square;
  for (int y = 0; y < height; ++y) {
    int er = 0, eg = 0, eb = 0;
    for (int x = 0; x < width; ++x, rgb += 3, ++out) {
      const int r = clamp_byte(rgb[0] + (er >> 1));
      const int g = clamp_byte(rgb[1] + (eg >> 1));
      const int b = clamp_byte(rgb[2] + (eb >> 1));
      const int key = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
      int index = cache[key] - 1;
      if (index < 0) {
        const int cr = (r >> 3) * 8 + kBinCentre, cg = (g >> 3) * 8 + kBinCentre,
                  cb = (b >> 3) * 8 + kBinCentre;
        std::int32_t best = 200000;
        index = 0;
        for (int i = 0; i < used; ++i) {
          const std::int32_t d = sq[pal.red[i] - cr] + sq[pal.green[i] - cg] + sq[pal.blue[i] - cb];
          if (d < best) {
            best = d;
            index = i;
          }
        }
        cache[key] = static_cast<std::uint16_t>(index + 1);
      }
      *out = static_cast<std::uint8_t>(index);
      er = r - pal.red[index];
      eg = g - pal.green[index];
      eb = b - pal.blue[index];
    }
  }
  console.release(cache);
  return true;
}

}  // namespace

bool quantize(const std::uint8_t* rgb, std::uint8_t* indices, int width, int height, int colours, bool dither,
              QuantPalette* palette, int* used) {
  if (used) *used = 0;
  if (rgb == nullptr || indices == nullptr || palette == nullptr || width <= 0 || height <= 0 ||
      colours < 1 || colours > 256)
    return false;
  std::memset(palette, 0, sizeof *palette);
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  // Weights are 32-bit; larger pictures cannot be counted.
  if (pixels > 0xffffffffu) return false;
  Octree tree;
  if (!tree.allocate()) return false;
  tree.histogram(rgb, pixels);
  tree.build_heap();
  tree.reduce(colours);
  tree.assign(0, 0, palette);
  if (dither) {
    if (!map_dithered(rgb, indices, width, height, *palette, tree.used())) return false;
  } else {
    tree.map_plain(rgb, indices, pixels, *palette);
  }
  if (used) *used = tree.used();
  return true;
}

// ---- palette matching ----------------------------------------------------------------------

namespace {

constexpr int kCacheEntries = 32 * 64 * 32;
constexpr int kCellR = 4, kCellG = 8, kCellB = 4;  // cache entries per cell along each axis

inline std::int32_t weighted(int dr, int dg, int db) {
  return 4 * dr * dr + 9 * dg * dg + db * db;
}

// Smallest and largest weighted distance from a colour to any point of the box [lo, hi].
inline int axis_min(int v, int lo, int hi) {
  return v < lo ? lo - v : (v > hi ? v - hi : 0);
}
inline int axis_max(int v, int lo, int hi) {
  return v - lo > hi - v ? v - lo : hi - v;
}

inline int cache_key(int rbin, int gbin, int bbin) {
  return (rbin << 11) | (gbin << 5) | bbin;
}

void fill_cell(PaletteMatcher* m, int rbin, int gbin, int bbin) {
  const int r0 = rbin & ~(kCellR - 1), g0 = gbin & ~(kCellG - 1), b0 = bbin & ~(kCellB - 1);
  // Centres of the cell's entries span these boxes.
  const int rlo = r0 * 8 + 4, rhi = (r0 + kCellR - 1) * 8 + 4;
  const int glo = g0 * 4 + 2, ghi = (g0 + kCellG - 1) * 4 + 2;
  const int blo = b0 * 8 + 4, bhi = (b0 + kCellB - 1) * 8 + 4;

  // A colour can be nearest to some entry only when its nearest possible distance to the box
  // does not exceed the smallest farthest distance of any colour.
  std::int32_t dmin[256];
  std::int32_t limit = 0x7fffffff;
  for (int i = 0; i < m->count; ++i) {
    if (i == m->excluded) continue;
    const std::uint8_t* c = m->colours[i];
    dmin[i] = weighted(axis_min(c[0], rlo, rhi), axis_min(c[1], glo, ghi), axis_min(c[2], blo, bhi));
    const std::int32_t dmax =
        weighted(axis_max(c[0], rlo, rhi), axis_max(c[1], glo, ghi), axis_max(c[2], blo, bhi));
    if (dmax < limit) limit = dmax;
  }
  std::uint8_t candidates[256];
  int n = 0;
  for (int i = 0; i < m->count; ++i)
    if (i != m->excluded && dmin[i] <= limit) candidates[n++] = static_cast<std::uint8_t>(i);

  std::int32_t best[kCellR * kCellG * kCellB];
  std::uint8_t choice[kCellR * kCellG * kCellB];
  for (int e = 0; e < kCellR * kCellG * kCellB; ++e) {
    best[e] = 0x7fffffff;
    choice[e] = static_cast<std::uint8_t>(m->excluded < 0 ? 0 : m->excluded);
  }
  // Distances change by a fixed second difference from one entry to the next along each axis,
  // so they are stepped instead of recomputed.
  for (int k = 0; k < n; ++k) {
    const int i = candidates[k];
    const std::uint8_t* c = m->colours[i];
    const int dr0 = rlo - c[0], dg0 = glo - c[1], db0 = blo - c[2];
    int e = 0;
    std::int32_t dist_r = 4 * dr0 * dr0, step_r = 4 * (2 * 8 * dr0 + 64);
    for (int ri = 0; ri < kCellR; ++ri) {
      std::int32_t dist_g = dist_r + 9 * dg0 * dg0, step_g = 9 * (2 * 4 * dg0 + 16);
      for (int gi = 0; gi < kCellG; ++gi) {
        std::int32_t dist = dist_g + db0 * db0, step_b = 2 * 8 * db0 + 64;
        for (int bi = 0; bi < kCellB; ++bi, ++e) {
          if (dist < best[e]) {
            best[e] = dist;
            choice[e] = static_cast<std::uint8_t>(i);
          }
          dist += step_b;
          step_b += 2 * 64;
        }
        dist_g += step_g;
        step_g += 9 * 2 * 16;
      }
      dist_r += step_r;
      step_r += 4 * 2 * 64;
    }
  }
  int e = 0;
  for (int ri = 0; ri < kCellR; ++ri)
    for (int gi = 0; gi < kCellG; ++gi)
      for (int bi = 0; bi < kCellB; ++bi, ++e)
        m->cache[cache_key(r0 + ri, g0 + gi, b0 + bi)] = static_cast<std::uint16_t>(choice[e] + 1);
}

}  // namespace

void match_prepare(PaletteMatcher* matcher, const std::uint8_t* palette, int count, int excluded) {
  match_end(matcher);
  if (count < 0) count = 0;
  if (count > 256) count = 256;
  matcher->count = count;
  matcher->excluded = excluded;
  for (int i = 0; i < count; ++i)
    for (int c = 0; c < 3; ++c) matcher->colours[i][c] = palette[i * 4 + c];
  matcher->cache = static_cast<std::uint16_t*>(console.allocate(sizeof(std::uint16_t) * kCacheEntries));
}

int match_colour(PaletteMatcher* matcher, int red, int green, int blue) {
  const int rbin = (red & 255) >> 3, gbin = (green & 255) >> 2, bbin = (blue & 255) >> 3;
  const int key = cache_key(rbin, gbin, bbin);
  if (matcher->cache[key] == 0) fill_cell(matcher, rbin, gbin, bbin);
  return matcher->cache[key] - 1;
}

void match_end(PaletteMatcher* matcher) {
  console.release(matcher->cache);
  matcher->cache = nullptr;
}
