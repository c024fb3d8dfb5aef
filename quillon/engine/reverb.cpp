// The arena reverb on effect slot 0: up to 11 damped all-pass delay sections in three groups,
// fed by a send from every voice and added to every output channel; and the room codes of a
// device's listener reverb.
#include <algorithm>
#include <cstring>

#include "quillon/engine/engine_internal.h"

// The parameter block the preview uses: counts 3, 2, 2, damping scale 232, then per filter the
// delay in milliseconds (big-endian), the gain and the damping.
const uint8_t AUDIO_reverbfile[36] = {
    'F', 'X', 0,    0,    3,   2,  2,    232,  0x01, 0x1C, 108,  106,  0x00, 0xF2, 112,  98,   0x00, 0xD4,
    107, 102, 0x00, 0xC2, 111, 75, 0x00, 0x90, 101,  87,   0x00, 0xFA, 110,  74,   0x00, 0xA7, 99,   86,
};

namespace eng {
namespace {

constexpr int kHeader = 8;
constexpr int kFilterBytes = 4;

// The engine's own block: four sections in group 0.
constexpr uint8_t kBuiltin[24] = {
    'F', 'X', 0, 0, 4, 0, 0, 250, 0, 100, 64, 0, 0, 70, 64, 95, 0, 49, 76, 0, 0, 34, 76, 95,
};

// The counts of a block, or false when it is not one the engine can build: more than 11
// filters in all, or fewer bytes than the counts say.
bool block_counts(const uint8_t* b, size_t size, int counts[3]) {
  if (!b || size < kHeader) return false;
  for (int k = 0; k < 3; ++k) counts[k] = b[4 + k];
  const int total = counts[0] + counts[1] + counts[2];
  return total <= kFilters && size >= static_cast<size_t>(kHeader + kFilterBytes * total);
}

const uint8_t* chosen_block(size_t* size) {
  if (g.fx.mode == 1) {
    *size = g.fx.size;
    return static_cast<const uint8_t*>(g.fx.block);
  }
  *size = sizeof kBuiltin;
  return kBuiltin;
}

void filter_run(RevFilter& f, const float* in, float* out, int m) {
  for (int i = 0; i < m;) {
    if (f.pos == 0) f.pos = f.len;
    const int piece = std::min(m - i, f.pos);
    float* line = f.line;
    int p = f.pos;
    float state = f.state;
    for (int j = i; j < i + piece; ++j) {
      --p;
      const float x = in[j];
      const float y = f.mg * x + line[p];
      out[j] = y;
      const float w = x + f.g * y;
      state = f.a * state + f.b * w;
      line[p] = state;
    }
    f.state = state;
    f.pos -= piece;
    i += piece;
  }
}

void run_group(int first, int count, float* in, float* out, int m) {
  for (int k = 0; k < count; ++k) filter_run(g.rev.f[first + k], k == 0 ? in : out, out, m);
}

void release_lines() {
  for (RevFilter& f : g.rev.f) {
    if (f.line) AUDIO_free(f.line);
    f = RevFilter{};
  }
  for (float*& b : g.rev.buf) {
    if (b) AUDIO_free(b);
    b = nullptr;
  }
}

void update_sends() {
  if (!g.running) return;
  for (int i = 0; i < g.nvoices; ++i)
    if (g.voices[i].state == 1 && g.voices[i].handle >= 0) voice_update(i);
}

}  // namespace

uint32_t prime_atleast(uint32_t n) {
  for (;; ++n) {
    if (n < 2) continue;
    bool prime = true;
    for (uint32_t d = 2; d * d <= n; ++d)
      if (n % d == 0) {
        prime = false;
        break;
      }
    if (prime) return n;
  }
}

int fx_sendvalue(int wanted, int amount, int level) {
  return wanted * amount * level / 16129;
}

void fx_off() {
  g.rev.on = false;
  release_lines();
  g.rev.idle = kIdleBlocks;
}

int fx_apply() {
  fx_off();
  if (g.fx.mode == 0) return AUDIO_OK;
  size_t size = 0;
  const uint8_t* b = chosen_block(&size);
  int counts[3];
  if (!block_counts(b, size, counts)) return AUDIO_ERR;
  const float s = (b[7] + 100) / 350.0f;
  const int total = counts[0] + counts[1] + counts[2];
  for (int k = 0; k < total; ++k) {
    const uint8_t* p = b + kHeader + kFilterBytes * k;
    const auto ms = static_cast<int16_t>((p[0] << 8) | p[1]);
    const float gain = static_cast<int8_t>(p[2]) / 127.0f;
    const float e = static_cast<int8_t>(p[3]) / 127.0f;
    const auto d = static_cast<float>(ms * 0.001);
    const auto samples = static_cast<int64_t>(static_cast<float>(g.rate) * d);
    const auto n = static_cast<int32_t>(prime_atleast(static_cast<uint32_t>(std::max<int64_t>(2, samples))));
    RevFilter& f = g.rev.f[k];
    f.line = static_cast<float*>(AUDIO_alloc(n * static_cast<int32_t>(sizeof(float))));
    if (!f.line) {
      release_lines();
      return AUDIO_ERR;
    }
    f.len = n;
    f.pos = 0;
    f.g = gain;
    f.mg = -gain;
    f.state = 0;
    f.a = s * e;
    f.b = s * (1 - e);
  }
  for (float*& buf : g.rev.buf) {
    if (!(buf = static_cast<float*>(AUDIO_alloc(kBlock * sizeof(float))))) {
      release_lines();
      return AUDIO_ERR;
    }
  }
  std::copy(counts, counts + 3, g.rev.counts);
  g.rev.idle = kIdleBlocks;  // the reset hook: idle until the first send
  g.rev.processed = 0;
  g.rev.on = true;
  return AUDIO_OK;
}

void rev_send(const float* in, float from, float to, int ramp, int frames, int offset) {
  float* a = g.rev.buf[0] + offset;
  if (ramp > 0) {
    const float step = (to - from) / static_cast<float>(ramp);
    for (int i = 0; i < ramp; ++i) a[i] += in[i] * (from + step * static_cast<float>(i + 1));
  }
  for (int i = ramp; i < frames; ++i) a[i] += in[i] * to;
  g.rev.idle = 0;
}

void rev_process(int m) {
  Reverb& r = g.rev;
  if (r.idle >= kIdleBlocks || ++r.idle >= kIdleBlocks) {
    r.idle = kIdleBlocks;
    return;
  }
  ++r.processed;
  float *a = r.buf[0], *b = r.buf[1], *c = r.buf[2];
  run_group(0, r.counts[0], a, a, m);
  run_group(r.counts[0], r.counts[1], a, b, m);
  run_group(r.counts[0] + r.counts[1], r.counts[2], a, c, m);
  for (int o = 0; o < g.channels; ++o) {
    // Both later groups: even channels take group 1, odd channels group 2. Only one of them:
    // every channel takes it. Neither: every channel takes group 0.
    const float* src = a;
    if (r.counts[1] > 0 && r.counts[2] > 0)
      src = o % 2 == 0 ? b : c;
    else if (r.counts[1] > 0)
      src = b;
    else if (r.counts[2] > 0)
      src = c;
    g.routines->muladd(g.out[o], src, 1.0f, m);
  }
  std::fill(a, a + m, 0.0f);
}

int room_environment(int code, float* volume) {
  static constexpr int16_t rooms[][2] = {
      {2, 1},   {3, 11},  {5, 4},  {10, 2},  {13, 19}, {15, 15}, {17, 17}, {20, 16}, {23, 20},
      {25, 12}, {27, 14}, {30, 0}, {32, 5},  {33, 3},  {34, 18}, {35, 21}, {36, 8},  {37, 13},
      {38, 6},  {40, 7},  {50, 9}, {55, 10}, {60, 22}, {70, 24}, {73, 23}, {76, 25},
  };
  *volume = code == 0 || code == 1 ? 0.0f : 1.0f;
  if (code == 0 || code == 1) return 1;
  if (code >= 100 && code <= 120) return 10;
  for (const auto& r : rooms)
    if (r[0] == code) return r[1];
  return 9;
}

}  // namespace eng

using namespace eng;

int AUDIO_setfx(int flags, int level, int mode, const void* block, size_t size, int32_t hwdecay,
                int32_t hwdamping) {
  if ((flags & 0x1F) != 0) return AUDIO_EUNAVAILABLE;
  if ((flags & 0xE0) == 0) flags |= 0xE0;
  int counts[3];
  const bool refused =
      (flags & 0x20) && mode == 1 && !block_counts(static_cast<const uint8_t*>(block), size, counts);
  AUDIO_lock();
  if (refused) {
    g.fx.mode = 0;
    fx_off();
    update_sends();
    AUDIO_unlock();
    return AUDIO_ERR;
  }
  level = std::clamp(level, 0, 127);
  if (flags & 0x20) g.fx.swlevel = level;
  if (flags & 0x80) g.fx.hwlevel = level;
  if (hwdecay != -1) g.fx.hwdecay = hwdecay;
  if (hwdamping != -1) g.fx.hwdamping = hwdamping;
  int rc = AUDIO_OK;
  if (flags & 0x20) {
    g.fx.mode = mode;
    g.fx.block = block;
    g.fx.size = size;
    if (g.running) {
      rc = fx_apply();
      if (rc != AUDIO_OK) g.fx.mode = 0;
    }
  }
  update_sends();
  AUDIO_unlock();
  return rc;
}

int AUDIO_setfxlevel(int flags, int level) {
  if ((flags & 0xE0) == 0) flags |= 0xE0;
  AUDIO_lock();
  level = std::clamp(level, 0, 127);
  if (flags & 0x20) g.fx.swlevel = level;
  if (flags & 0x80) g.fx.hwlevel = level;
  update_sends();
  AUDIO_unlock();
  return AUDIO_OK;
}
