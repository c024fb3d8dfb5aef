// Sound filters over the 16-bit channel buffers of a timbre. Fades, volume and invert work in
// place; the filters that change the length build every channel's new buffer first and swap
// them in only when all exist, so a failed allocation leaves the timbre whole.
#include "quillon/soundcore/filters.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <utility>

#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/resample.h"

namespace {

constexpr int32_t kVagBlock = 28;  // frames per block of the block ADPCM codecs

int channels(const STIMBRE& t) {
  return std::clamp<int>(t.numchannels, 0, STIMBRE_MAXCHANNELS);
}
int32_t frames(const STIMBRE& t) {
  return std::max<int32_t>(t.numsamples, 0);
}
bool loopset(const STIMBRE& t) {
  return t.loopend > 0;
}
bool heldencoded(const STIMBRE& t) {
  return t.encoded[0] != nullptr;
}

int16_t clamp16(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

template <typename T>
void release(T*& p) {
  if (p) gfree(p);
  p = nullptr;
}

// Releases everything channel c owns and clears its slots.
void releasechannel(STIMBRE& t, int c) {
  release(t.samples[c]);
  release(t.sidedata[c]);
  release(t.encoded[c]);
  release(t.codebook[c]);
  release(t.loopstate[c]);
  t.encodedsize[c] = t.codebooksize[c] = t.loopstatesize[c] = 0;
}

// Moves everything channel `from` of `src` owns into the empty channel `to` of `dst`.
void movechannel(STIMBRE& src, int from, STIMBRE& dst, int to) {
  dst.samples[to] = std::exchange(src.samples[from], nullptr);
  dst.sidedata[to] = std::exchange(src.sidedata[from], nullptr);
  dst.encoded[to] = std::exchange(src.encoded[from], nullptr);
  dst.encodedsize[to] = std::exchange(src.encodedsize[from], 0);
  dst.codebook[to] = std::exchange(src.codebook[from], nullptr);
  dst.codebooksize[to] = std::exchange(src.codebooksize[from], 0);
  dst.loopstate[to] = std::exchange(src.loopstate[from], nullptr);
  dst.loopstatesize[to] = std::exchange(src.loopstatesize[from], 0);
  dst.predictororder[to] = src.predictororder[from];
  dst.numpredictors[to] = src.numpredictors[from];
}

// New channel buffers of one length: either all of them replace the timbre's buffers, or the
// ones made are released when this goes out of scope.
class ChannelBuffers {
 public:
  ChannelBuffers() = default;
  ChannelBuffers(const ChannelBuffers&) = delete;
  ChannelBuffers& operator=(const ChannelBuffers&) = delete;
  ~ChannelBuffers() {
    for (int16_t*& p : bufs_) release(p);
  }

  // Zero-filled buffers of `length` frames for `count` channels (none for length 0).
  bool allocate(int count, int64_t length) {
    if (length < 0 || length > INT32_MAX / 2) return false;
    for (int c = 0; c < count && length > 0; ++c) {
      bufs_[c] = static_cast<int16_t*>(galloc(static_cast<int32_t>(length * 2)));
      if (!bufs_[c]) return false;
    }
    return true;
  }
  int16_t* operator[](int c) const { return bufs_[c]; }

  void install(STIMBRE& t, int count) {
    for (int c = 0; c < count; ++c) {
      release(t.samples[c]);
      t.samples[c] = std::exchange(bufs_[c], nullptr);
    }
  }

 private:
  std::array<int16_t*, STIMBRE_MAXCHANNELS> bufs_{};
};

// Frames [start, start + length) of every channel into new buffers, which then replace the old.
bool cutchannels(STIMBRE& t, int64_t start, int64_t length, const char* nomemory) {
  const int count = channels(t);
  ChannelBuffers nb;
  if (!nb.allocate(count, length)) {
    AUREX_seterror(nomemory);
    return false;
  }
  const int64_t from = std::max<int64_t>(start, 0);
  const int64_t to = std::min<int64_t>(start + length, frames(t));
  for (int c = 0; c < count; ++c)
    if (t.samples[c] && from < to)
      std::memcpy(nb[c] + (from - start), t.samples[c] + from,
                  static_cast<size_t>(to - from) * sizeof(int16_t));
  nb.install(t, count);
  return true;
}

// Ramp length: trunc(rate x ms / 1000) frames, at most the whole sound.
int32_t fadelength(const STIMBRE& t, int32_t ms) {
  const double n = static_cast<double>(t.samplerate) * ms * 0.001;
  if (!(n > 0)) return 0;
  return n >= frames(t) ? frames(t) : static_cast<int32_t>(n);
}

template <typename Fn>
int eachtimbre(SINFO* info, Fn fn) {
  if (!info) return 0;
  const int count = std::min<int>(info->numtimbres, SINFO_MAXTIMBRES);
  for (int i = 0; i < count; ++i)
    if (!fn(&info->timbres[i])) return 0;
  return 1;
}

bool dupblock(void*& dst, const void* src, int32_t size) {
  dst = nullptr;
  if (!src || size <= 0) return true;
  dst = galloc(size);
  if (!dst) return false;
  std::memcpy(dst, src, static_cast<size_t>(size));
  return true;
}

}  // namespace

int AUREX_filterfadeinsound(STIMBRE* t, int32_t ms) {
  if (!t) return 0;
  const int32_t n = fadelength(*t, ms);
  for (int c = 0; c < channels(*t); ++c) {
    int16_t* s = t->samples[c];
    if (!s) continue;
    // 64-bit products: a long ramp times a loud sample does not fit in 32 bits.
    for (int32_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>(int64_t{s[i]} * i / n);
  }
  return 1;
}

int AUREX_filterfadeoutsound(STIMBRE* t, int32_t ms) {
  if (!t) return 0;
  const int32_t n = fadelength(*t, ms);
  const int32_t base = frames(*t) - n;
  for (int c = 0; c < channels(*t); ++c) {
    int16_t* s = t->samples[c] ? t->samples[c] + base : nullptr;
    if (!s) continue;
    for (int32_t k = 0; k < n; ++k) s[k] = static_cast<int16_t>(int64_t{s[k]} * (n - 1 - k) / n);
  }
  return 1;
}

int AUREX_filterclipsound(STIMBRE* t, int32_t start, int32_t length) {
  if (!t) return 0;
  if (heldencoded(*t)) return 1;
  if (length <= 0) return 0;
  if (!cutchannels(*t, start, length, "Couldn't allocate memory to clip sample section.")) return 0;
  t->numsamples = length;
  if (loopset(*t)) {
    const int64_t loopstart = int64_t{t->loopstart} - start;
    const int64_t loopend = int64_t{t->loopend} - start;
    const bool outside = loopend >= length || loopstart < 0;
    t->loopstart = outside ? -1 : static_cast<int32_t>(loopstart);
    t->loopend = outside ? -1 : static_cast<int32_t>(loopend);
  }
  return 1;
}

int AUREX_filteralignloopsound(STIMBRE* t) {
  if (!t) return 0;
  if (!loopset(*t) || t->loopstart < 0) return 1;
  const int32_t r = t->loopstart % kVagBlock;
  if (r == 0) return 1;
  const int64_t d = int64_t{t->numsamples} - r;
  const int64_t length =
      (d + kVagBlock) % kVagBlock == 0 ? d + kVagBlock : (d + 2 * kVagBlock) / kVagBlock * kVagBlock;
  if (length > INT32_MAX) {
    AUREX_seterror("Couldn't allocate memory to clip sample section.");
    return 0;
  }
  return AUREX_filterclipsound(t, r - kVagBlock, static_cast<int32_t>(length));
}

int AUREX_filtertrimsilentblocks(STIMBRE* t) {
  if (!t || t->samplerep != SREP_VAG_BLK) return 0;
  const int32_t n = frames(*t);
  const auto silent = [t, n](int32_t from) {
    if (n < kVagBlock) return false;
    for (int c = 0; c < channels(*t); ++c) {
      const int16_t* s = t->samples[c];
      if (s && std::any_of(s + from, s + from + kVagBlock, [](int16_t v) { return v != 0; })) return false;
    }
    return true;
  };
  const int32_t head = silent(0) ? kVagBlock : 0;
  const int32_t tail = !loopset(*t) && silent(n - kVagBlock) ? kVagBlock : 0;
  return AUREX_filterclipsound(t, head, n - tail - head);
}

int AUREX_filtertruncateloopendsound(STIMBRE* t, int32_t blocksize) {
  if (!t) return 0;
  const int64_t m = std::max<int32_t>(blocksize, 0);
  if (!t->looptruncate || heldencoded(*t) || !loopset(*t)) return 1;
  if (int64_t{t->loopend} + 1 + m >= t->numsamples) return 1;
  int64_t length = int64_t{t->loopend} + 1;
  if (m > 0) length = (length + m - 1) / m * m;
  if (!cutchannels(*t, 0, length, "Couldn't allocate memory to truncate loop end.")) return 0;
  t->numsamples = static_cast<int32_t>(length);
  return 1;
}

int AUREX_filtertruncateloopsectionsinfo(SINFO* info) {
  return eachtimbre(info, [](STIMBRE* t) {
    // A loop that does not lie inside the sound has nothing to keep: the timbre stays as it is.
    if (!t->looptruncate || heldencoded(*t) || !loopset(*t) || t->loopstart < 0 ||
        t->loopstart > t->loopend || t->loopend >= t->numsamples)
      return true;
    const int32_t length = t->loopend - t->loopstart + 1;
    if (!cutchannels(*t, t->loopstart, length, "Couldn't allocate memory to truncate loop section."))
      return false;
    t->numsamples = length;
    t->loopend -= t->loopstart;
    t->loopstart = 0;
    return true;
  });
}

int AUREX_filterresamplesound(STIMBRE* t, int32_t rate) {
  if (!t) return 0;
  if (rate == t->samplerate) return 1;
  if (rate <= 0 || t->samplerate <= 0) {
    AUREX_seterror("Can't re-sample to or from a sample rate of 0 or less.");
    return 0;
  }
  const double f = static_cast<double>(rate) / t->samplerate;
  const int32_t oldlength = frames(*t);
  const double length = f * oldlength;
  const int count = channels(*t);
  ChannelBuffers nb;
  if (length > INT32_MAX / 2 || !nb.allocate(count, static_cast<int64_t>(length))) {
    AUREX_seterror("Couldn't allocate memory needed for re-sampling.");
    return 0;
  }
  const auto n = static_cast<int32_t>(length);
  for (int c = 0; c < count; ++c)
    if (t->samples[c] && n > 0 && AUREX_resample(f, t->samples[c], oldlength, nb[c], n, 0) == 0) return 0;
  nb.install(*t, count);
  if (loopset(*t)) {
    t->loopstart = static_cast<int32_t>(f * t->loopstart);
    t->loopend = static_cast<int32_t>(f * t->loopend);
    // Truncation can land a loop that ends on the last frame one past the new end.
    if (t->loopend >= n) {
      t->loopend = n - 1;
      t->loopstart = std::min(t->loopstart, t->loopend);
    }
  }
  t->numsamples = n;
  t->samplerate = rate;
  return 1;
}

int AUREX_filterdownsampletofitsound(STIMBRE* t, int32_t maxframes) {
  if (!t) return 0;
  if (heldencoded(*t) || t->numsamples < maxframes || t->numsamples <= 0) return 1;
  const double rate = static_cast<double>(maxframes) / t->numsamples * t->samplerate;
  if (!AUREX_filterresamplesound(t, rate > 0 ? static_cast<int32_t>(rate) : 0)) return 0;
  if (t->numsamples > maxframes) {
    AUREX_seterror("AUREX_filterdownsampletofitsinfo failed to down-sample enough.\n");
    return 0;
  }
  return 1;
}

int AUREX_filtermixdownsound(STIMBRE* t) {
  if (!t) return 0;
  const int count = channels(*t);
  if (count == 0 || !t->samples[0]) return 1;
  int16_t* out = t->samples[0];
  for (int32_t i = 0; i < frames(*t) && count > 1; ++i) {
    int32_t sum = 0;
    for (int c = 0; c < count; ++c) sum += t->samples[c] ? t->samples[c][i] : 0;
    out[i] = clamp16(sum / count);
  }
  for (int c = 1; c < count; ++c) releasechannel(*t, c);
  t->numchannels = 1;
  return 1;
}

int AUREX_filterkeeptracksound(STIMBRE* t, int32_t track) {
  if (!t) return 0;
  const int count = channels(*t);
  if (track < 0 || track >= count) return 1;
  for (int c = 0; c < count; ++c)
    if (c != track) releasechannel(*t, c);
  if (track != 0) movechannel(*t, track, *t, 0);
  t->numchannels = 1;
  return 1;
}

int AUREX_filtervolumesound(STIMBRE* t, int32_t percent) {
  if (!t) return 0;
  for (int c = 0; c < channels(*t); ++c) {
    int16_t* s = t->samples[c];
    if (!s) continue;
    for (int32_t i = 0; i < frames(*t); ++i) s[i] = clamp16(int64_t{s[i]} * percent / 100);
  }
  return 1;
}

int AUREX_filterinverttracksound(STIMBRE* t, int32_t track) {
  if (!t) return 0;
  if (track < 0 || track >= channels(*t)) {
    AUREX_seterror("Track to invert is out of range.");
    return 0;
  }
  int16_t* s = t->samples[track];
  if (!s) {
    AUREX_seterror("Track to invert is not available.");
    return 0;
  }
  for (int32_t i = 0; i < frames(*t); ++i) s[i] = static_cast<int16_t>(~s[i]);
  return 1;
}

int AUREX_filterreplicate1tracksound(STIMBRE* t, int32_t track) {
  if (!t) return 0;
  const int count = channels(*t);
  if (count >= STIMBRE_MAXCHANNELS) {
    AUREX_seterror("Can't replicate track, all tracks already taken.");
    return 0;
  }
  if (track < 0 || track >= count) {
    AUREX_seterror("Track out or range in AUREX_filterreplicate1tracksound.");
    return 0;
  }
  void* copy = nullptr;
  if (frames(*t) > INT32_MAX / 2 || !dupblock(copy, t->samples[track], frames(*t) * 2)) {
    AUREX_seterror("Couldn't allocate memory for audio samples.");
    return 0;
  }
  t->samples[count] = static_cast<int16_t*>(copy);
  t->numchannels = static_cast<int8_t>(count + 1);
  return 1;
}

SINFO* AUREX_filtersplitsinfo(SINFO* info) {
  if (!info) return nullptr;
  if (info->numtimbres != 1) {
    AUREX_seterror("Can't split a multi-timbral source.");
    return nullptr;
  }
  STIMBRE& src = info->timbres[0];
  if (src.numchannels <= 1) {
    AUREX_seterror("Can't split a sample with 1 channel or less.");
    return nullptr;
  }
  auto* out = static_cast<SINFO*>(galloc(sizeof(SINFO)));
  if (!out) {
    AUREX_seterror("Couldn't allocate an SINFO structure.");
    return nullptr;
  }
  std::memcpy(out, info, sizeof(SINFO));
  STIMBRE& dst = out->timbres[0];
  for (int c = 0; c < STIMBRE_MAXCHANNELS; ++c) {
    dst.samples[c] = nullptr;
    dst.sidedata[c] = dst.encoded[c] = dst.codebook[c] = dst.loopstate[c] = nullptr;
    dst.encodedsize[c] = dst.codebooksize[c] = dst.loopstatesize[c] = 0;
  }
  // The new record gets copies of the blocks a flat copy would share, so that each record can
  // be released with AUREX_freesinfo on its own.
  bool ok = true;
  for (int i = 0; i < 4; ++i) ok = dupblock(dst.userdata[i], src.userdata[i], src.userdatasize[i]) && ok;
  for (int i = 0; i < 2; ++i) ok = dupblock(dst.paramblock[i], src.paramblock[i], SINFO_PARAMBLOCKSIZE) && ok;
  for (int i = 0; i < 2; ++i)
    ok = dupblock(dst.paramblock2[i], src.paramblock2[i], SINFO_PARAMBLOCKSIZE) && ok;
  if (!ok) {
    AUREX_freesinfo(out);
    AUREX_seterror("Couldn't allocate an SINFO structure.");
    return nullptr;
  }
  const int last = channels(src) - 1;
  movechannel(src, last, dst, 0);
  dst.numchannels = 1;
  src.numchannels = static_cast<int8_t>(last);
  return out;
}

int AUREX_filterfadeinsinfo(SINFO* info, int32_t ms) {
  return eachtimbre(info, [ms](STIMBRE* t) { return AUREX_filterfadeinsound(t, ms); });
}
int AUREX_filterfadeoutsinfo(SINFO* info, int32_t ms) {
  return eachtimbre(info, [ms](STIMBRE* t) { return AUREX_filterfadeoutsound(t, ms); });
}
int AUREX_filterclipsinfo(SINFO* info, int32_t start, int32_t length) {
  return eachtimbre(info, [=](STIMBRE* t) { return AUREX_filterclipsound(t, start, length); });
}
int AUREX_filteralignloopsinfo(SINFO* info) {
  return eachtimbre(info, AUREX_filteralignloopsound);
}
int AUREX_filtertruncateloopendsinfo(SINFO* info, int32_t blocksize) {
  return eachtimbre(info, [blocksize](STIMBRE* t) { return AUREX_filtertruncateloopendsound(t, blocksize); });
}
int AUREX_filterresamplesinfo(SINFO* info, int32_t rate) {
  return eachtimbre(info, [rate](STIMBRE* t) { return AUREX_filterresamplesound(t, rate); });
}
int AUREX_filterdownsampletofitsinfo(SINFO* info, int32_t maxframes) {
  return eachtimbre(info, [maxframes](STIMBRE* t) { return AUREX_filterdownsampletofitsound(t, maxframes); });
}
int AUREX_filtermixdownsinfo(SINFO* info) {
  return eachtimbre(info, AUREX_filtermixdownsound);
}
int AUREX_filterkeeptracksinfo(SINFO* info, int32_t track) {
  return eachtimbre(info, [track](STIMBRE* t) { return AUREX_filterkeeptracksound(t, track); });
}
int AUREX_filtervolumesinfo(SINFO* info, int32_t percent) {
  return eachtimbre(info, [percent](STIMBRE* t) { return AUREX_filtervolumesound(t, percent); });
}
