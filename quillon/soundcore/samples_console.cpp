// Console ADPCM glue of the sample engine: file runs in and out of the CD-XA, VAG and N64 codecs.
#include "quillon/soundcore/samples_console.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "quillon/codecs/cdxa.h"
#include "quillon/codecs/n64.h"
#include "quillon/codecs/vag.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

constexpr const char* kMsgXa = "Couldn't read XA samples.";
constexpr const char* kMsgXaMemory = "Couldn't allocate memory for XA decompression.";
constexpr const char* kMsgVag = "Couldn't read VAG samples.";
constexpr const char* kMsgWinding = "Couldn't allocate memory XA winding.";
constexpr const char* kMsgCdxaWrite = "Couldn't write CD-XA samples to file stream.";
constexpr int32_t kVagRunFrames = 64;

bool fail(const char* message) {
  AUREX_seterror(message);
  return false;
}

bool seekto(gfile* f, int32_t pos) {
  return pos == 0 || gseek(f, pos) == 1;
}

int32_t percent(int64_t num, int64_t den) {
  return den > 0 ? static_cast<int32_t>(num * 100 / den) : 100;
}

}  // namespace

bool aurex_importcdxa(gfile* f, int32_t pos, int32_t first, int32_t count, int channels,
                      AUREX_COMPSTATE** states, int16_t** buffers) {
  if (!seekto(f, pos)) return fail(kMsgXa);
  const bool stereo = channels == 2;
  const int32_t per = cdxa_sectorsamples(channels);
  auto* sector = static_cast<uint8_t*>(galloc(CDXA_SECTORBYTES + 2 * CDXA_SECTORSAMPLES * 2));
  if (!sector) return fail(kMsgXaMemory);
  auto* left = reinterpret_cast<int16_t*>(sector + CDXA_SECTORBYTES);
  int16_t* right = left + CDXA_SECTORSAMPLES;
  int16_t history[4] = {};
  for (int c = 0; c < channels; ++c) {
    if (states && states[c]) {
      history[2 * c] = states[c]->xaprev1;
      history[2 * c + 1] = states[c]->xaprev2;
    }
  }
  bool ok = true;
  for (int32_t done = 0; ok && done < count; done += per) {
    if (gread(f, sector, CDXA_SECTORBYTES) != CDXA_SECTORBYTES) {
      ok = fail(kMsgXa);
      break;
    }
    cdxa_decodesector(sector, stereo, history, left, right);
    const int32_t n = std::min(per, count - done);
    std::memcpy(buffers[0] + first + done, left, static_cast<size_t>(n) * 2);
    if (stereo) std::memcpy(buffers[1] + first + done, right, static_cast<size_t>(n) * 2);
    AUREX_progress(percent(done + n, count));
  }
  for (int c = 0; c < channels; ++c) {
    if (states && states[c]) {
      states[c]->xaprev1 = history[2 * c];
      states[c]->xaprev2 = history[2 * c + 1];
    }
  }
  gfree(sector);
  return ok;
}

bool aurex_importvag(gfile* f, const int32_t* positions, int32_t first, int32_t count, int channels,
                     AUREX_COMPSTATE** states, int16_t** buffers) {
  uint8_t in[kVagRunFrames * VAG_FRAMEBYTES];
  int16_t out[kVagRunFrames * XA_FRAMESAMPLES];
  for (int c = 0; c < channels; ++c) {
    if (!seekto(f, positions[c])) return fail(kMsgVag);
    int16_t p1 = states && states[c] ? states[c]->xaprev1 : 0;
    int16_t p2 = states && states[c] ? states[c]->xaprev2 : 0;
    int16_t* dst = buffers[c] + first;
    for (int32_t remaining = count; remaining > 0;) {
      const int32_t n = std::min(remaining, kVagRunFrames * XA_FRAMESAMPLES);
      const int32_t frames = (n + XA_FRAMESAMPLES - 1) / XA_FRAMESAMPLES;
      if (gread(f, in, frames * VAG_FRAMEBYTES) != frames * VAG_FRAMEBYTES) return fail(kMsgVag);
      vag_decode(in, frames, out, &p1, &p2);
      std::memcpy(dst, out, static_cast<size_t>(n) * 2);
      dst += n;
      remaining -= n;
    }
    if (states && states[c]) {
      states[c]->xaprev1 = p1;
      states[c]->xaprev2 = p2;
    }
  }
  return true;
}

bool aurex_exportcdxa(const AUREX_BYTESINK& sink, int32_t first, int32_t count, AUREX_COMPSTATE** states,
                      const STIMBRE* t) {
  if (t->numchannels > 2) return fail("Unsupported sample format in isexportsamples.");
  const bool stereo = t->numchannels == 2;
  const uint8_t coding = cdxa_codingbyte(stereo, t->samplerate == 18900);
  auto* sector = static_cast<uint8_t*>(galloc(CDXA_SECTORBYTES));
  if (!sector) return fail(kMsgWinding);
  XA_ENCSTATE scratch[2] = {};
  XA_ENCSTATE* st[2];
  for (int c = 0; c < 2; ++c) st[c] = states && states[c] ? &states[c]->xa : &scratch[c];
  const int32_t per = cdxa_sectorsamples(t->numchannels);
  bool ok = true;
  for (int32_t done = 0; ok && done < count; done += per) {
    const int16_t* left = t->samples[0] + first + done;
    const int16_t* right = stereo ? t->samples[1] + first + done : nullptr;
    cdxa_encodesector(left, right, std::min(per, count - done), coding, st[0], st[1], sector);
    if (!sink.put(sink.context, sector, CDXA_SECTORBYTES)) ok = fail(kMsgCdxaWrite);
    AUREX_progress(percent(std::min(count, done + per), count));
  }
  gfree(sector);
  return ok;
}

bool aurex_exportvag(const AUREX_BYTESINK& sink, int32_t first, int32_t count, int flags,
                     AUREX_COMPSTATE** states, int32_t* offsets, const STIMBRE* t) {
  VAG_FORM form{(flags & AUREX_EXPORT_STREAM) != 0, -1, -1};
  // Loop points are sample positions of the whole sound; the export may start later.
  if (t->loopend > 0 && t->loopstart >= 0 && t->loopstart >= first && t->loopend - first <= count) {
    form.loopstart = t->loopstart - first;
    form.loopend = t->loopend - first;
  }
  const int64_t bytes = vag_encodedbytes(count, form);
  auto* buf = bytes <= INT32_MAX ? static_cast<uint8_t*>(galloc(static_cast<int32_t>(bytes))) : nullptr;
  if (!buf) return fail("Couldn't allocate memory for VAG compression.");
  bool ok = true;
  for (int c = 0; ok && c < t->numchannels; ++c) {
    if (offsets) offsets[c] = static_cast<int32_t>(c * bytes);
    XA_ENCSTATE scratch{};
    XA_ENCSTATE* st = states && states[c] ? &states[c]->xa : &scratch;
    const int32_t n = vag_encode(t->samples[c] + first, count, form, st, buf);
    ok = sink.put(sink.context, buf, n);
    AUREX_progress(percent(c + 1, t->numchannels));
  }
  gfree(buf);
  return ok;
}

bool aurex_exportn64(const AUREX_BYTESINK& sink, int32_t first, int32_t count, int32_t* offsets,
                     const STIMBRE* t) {
  const int32_t bytes = n64_frames(count) * N64_FRAMEBYTES;
  auto* buf = static_cast<uint8_t*>(galloc(bytes));
  if (!buf) return fail("Couldn't allocate memory for N64 compression.");
  bool ok = true;
  for (int c = 0; ok && c < t->numchannels; ++c) {
    if (offsets) offsets[c] = c * bytes;
    int16_t book[N64_BOOKVALUES];
    const int32_t loop = t->loopend > 0 && t->loopstart >= first ? t->loopstart - first : -1;
    n64_encode(t->samples[c] + first, count, loop, buf, book, nullptr);
    ok = sink.put(sink.context, buf, bytes);
    AUREX_progress(percent(c + 1, t->numchannels));
  }
  gfree(buf);
  return ok;
}
