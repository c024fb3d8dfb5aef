// The output driver: probes the device once, opens one looping buffer of 0.4 s, and runs a
// thread that every service period fills the buffer up to a target running ahead of the
// device's write cursor by an adaptive lead. Also the latency query and the capture path.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "quillon/engine/engine_internal.h"

namespace eng {

Output out;

namespace {

constexpr uint32_t kAlign = ~uint32_t{15};
constexpr int kStallPasses = 100;
constexpr int kAdaptAfter = 3000;

uint32_t frame_bytes(const Output& o) {
  return 2u * static_cast<uint32_t>(o.channels);
}

void output_thread() {
  while (out.keepgoing.load()) {
    if (auto* pre = g.prehook.load()) pre();
    AUDIO_lock();
    out_service(out, mix_render);
    AUDIO_unlock();
    if (auto* post = g.posthook.load()) post();
    sys_sleepms(g.active.period);
  }
  out.running.store(false);
}

void at_exit() {
  AUDIO_shutdown();
}

struct Capture {
  std::mutex guard;
  const AudioDevOps* ops = nullptr;
  AudioDevCapture* dev = nullptr;
  uint32_t framebytes = 0, block = 0, frames = 0;
  uint32_t readpos = 0, lastpos = 0, waiting = 0;
} capture;

}  // namespace

int hw_attenuation(int volume) {
  static constexpr int16_t low[] = {-10000, -4200, -3700, -3300, -3000};
  volume = std::clamp(volume, 0, 127);
  if (volume < 5) return low[volume];
  if (volume == 64) return -601;
  return static_cast<int>(std::lround(2000.0 * std::log10(volume / 127.0)));
}

void out_reset(Output& o, int rate, int channels, bool emulated) {
  o.rate = rate;
  o.channels = channels;
  o.len = static_cast<uint32_t>(rate) * 400 / 1000 & kAlign;
  o.maxlead = static_cast<int32_t>(o.len * 8 / 10 & kAlign);
  o.lead = static_cast<int32_t>(static_cast<uint32_t>(rate / 50) & kAlign);
  o.cursortotal = o.lead;
  o.writtentotal = 0;
  o.writtenend = o.lastcursor = 0;
  o.smallest = static_cast<int32_t>(o.len);
  o.passes = o.stalls = 0;
  o.emulated = emulated;
}

void out_adapt(Output& o) {
  if (o.writtentotal > 0x11000000) {
    o.writtentotal -= 0x10000000;
    o.cursortotal -= 0x10000000;
  }
  int32_t margin = o.writtentotal - o.cursortotal;
  if (margin >= static_cast<int32_t>(o.len)) {
    o.writtentotal -= static_cast<int32_t>(o.len);
    margin -= static_cast<int32_t>(o.len);
  }
  if (margin >= 0) {
    ++o.passes;
    o.smallest = std::min(o.smallest, margin);
    if (o.passes >= kAdaptAfter && o.passes % 10 == 0) {
      if (o.smallest > 16) o.lead = (o.lead - 16) & static_cast<int32_t>(kAlign);
      o.smallest = static_cast<int32_t>(o.len);
    }
  } else if (o.writtentotal > 0) {
    o.lead = std::min(o.maxlead, (o.lead - margin + 15) & static_cast<int32_t>(kAlign));
    o.passes = 0;
  }
}

void out_service(Output& o, FillFn fill) {
  const uint32_t status = o.ops->status(o.buf);
  if ((status & kAudioDevLost) || o.stalls > kStallPasses) {
    o.ops->restore(o.buf);
    o.stalls = 0;
    return;
  }
  if (!(status & kAudioDevPlaying)) {
    o.ops->play(o.buf);
    return;
  }
  uint32_t play = 0, write = 0;
  o.ops->cursors(o.buf, &play, &write);
  const uint32_t cursor = (write / frame_bytes(o) & kAlign) % o.len;
  o.cursortotal += static_cast<int32_t>((cursor + o.len - o.lastcursor) % o.len);
  o.stalls = cursor == o.lastcursor ? o.stalls + 1 : 0;
  o.lastcursor = cursor;

  uint32_t target = 0, region = 0;
  for (;;) {
    target = ((cursor + static_cast<uint32_t>(o.lead)) & kAlign) % o.len;
    region = (target + o.len - o.writtenend) % o.len;
    if (region < o.len - 16) break;
    // The target sits just behind what is written: a longer lead moves it past. At the largest
    // lead nothing is written this pass rather than overwriting what the device still has to play.
    if (o.lead + 16 > o.maxlead) {
      target = o.writtenend;
      region = 0;
      break;
    }
    o.lead += 16;
  }
  if (!o.emulated) out_adapt(o);

  const uint32_t first = std::min(region, o.len - o.writtenend);
  const uint32_t pieces[2][2] = {{o.writtenend, first}, {0, region - first}};
  for (const auto& piece : pieces) {
    if (piece[1] == 0) continue;
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    if (o.ops->lock(o.buf, piece[0] * frame_bytes(o), piece[1] * frame_bytes(o), &p1, &n1, &p2, &n2) != 0)
      return;
    fill(static_cast<int16_t*>(p1), static_cast<int>(n1 / frame_bytes(o)));
    if (p2) fill(static_cast<int16_t*>(p2), static_cast<int>(n2 / frame_bytes(o)));
    o.ops->unlock(o.buf);
    o.writtentotal += static_cast<int32_t>(piece[1]);
  }
  o.writtenend = target;
}

}  // namespace eng

using namespace eng;

int AUDIO_probe() {
  AudioDevCaps caps{};
  const int rc = audiodev_selected()->probe(&caps);
  if (rc != kAudioDevOk) return rc;
  AUDIOCONFIG& c = g.want;
  c.hw3dbuffers = static_cast<uint8_t>(std::clamp(caps.hw3dbuffers, 0, 255));
  c.hwreverb = caps.hwreverb ? 1 : 0;
  c.maxchannels = c.hw3dbuffers > 4 ? 4 : 2;
  if (c.hw3dbuffers > 0) {
    c.classcount = 3;
    c.classes[1] = 0x91;
    c.classes[2] = 0x92;
  }
  c.hwreverbwanted = c.hwreverb;
  g.probe.emulated = (caps.flags & kAudioDevEmulated) != 0;
  return AUDIO_OK;
}

int AUDIO_outstart() {
  AUDIO_lock();
  int rc = mix_setup(g.active.rate, g.active.channels);
  if (rc == AUDIO_OK && g.fx.mode != 0 && fx_apply() != AUDIO_OK) g.fx.mode = 0;
  out_reset(out, g.active.rate, g.active.channels, g.probe.emulated);
  out.ops = audiodev_selected();
  if (rc == AUDIO_OK) {
    const AudioDevFormat format{g.active.rate, g.active.channels, 16};
    rc = out.ops->open(format, out.len * frame_bytes(out), &out.buf);
  }
  if (rc == AUDIO_OK) {
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    if (out.ops->lock(out.buf, 0, out.len * frame_bytes(out), &p1, &n1, &p2, &n2) == 0) {
      std::fill_n(static_cast<uint8_t*>(p1), n1, 0);
      out.ops->unlock(out.buf);
    }
    rc = out.ops->play(out.buf);
  }
  if (rc == AUDIO_OK) {
    out.running.store(true);
    out.keepgoing.store(true);
    if (!sys_threadstart(output_thread)) {
      out.running.store(false);
      rc = AUDIO_ERR;
    }
  }
  if (rc != AUDIO_OK) {
    if (out.buf) out.ops->close(out.buf);
    out.buf = nullptr;
    fx_off();
    mix_release();
  } else {
    static bool registered = false;
    if (!registered) registered = std::atexit(at_exit) == 0;
  }
  AUDIO_unlock();
  return rc;
}

int AUDIO_outstop() {
  if (!out.buf) {
    AUDIO_lock();
    mix_release();
    AUDIO_unlock();
    return AUDIO_OK;
  }
  out.keepgoing.store(false);
  sys_threadjoin();
  AUDIO_lock();
  out.ops->stop(out.buf);
  out.ops->close(out.buf);
  out.buf = nullptr;
  mix_release();
  AUDIO_unlock();
  return AUDIO_OK;
}

int AUDIO_latency() {
  AUDIO_lock();
  int ms = 0;
  if (out.buf) {
    uint32_t play = 0, write = 0;
    out.ops->cursors(out.buf, &play, &write);
    const uint32_t frames = (out.writtenend + out.len - play / frame_bytes(out) % out.len) % out.len;
    ms = static_cast<int>(int64_t{frames} * 1000 / out.rate);
  }
  AUDIO_unlock();
  return ms;
}

int AUDIO_capturestart(int32_t blockframes, int bits, int32_t rate) {
  std::lock_guard lock(capture.guard);
  if (capture.dev) return AUDIO_EBUSY;
  if (blockframes <= 0 || (bits != 8 && bits != 16) || rate < 1000 || rate > 192000) return AUDIO_ERR;
  const int64_t blocks = int64_t{rate} * 300 / 1000 / blockframes;
  const int64_t frames = (blocks < 2 ? 3 : blocks + 1) * blockframes;
  capture.framebytes = static_cast<uint32_t>(bits / 8);
  if (frames * capture.framebytes > 0x1000000) return AUDIO_ERR;
  capture.ops = audiodev_selected();
  const AudioDevFormat format{rate, 1, bits};
  if (capture.ops->capopen(format, static_cast<uint32_t>(frames) * capture.framebytes, &capture.dev) != 0) {
    capture.dev = nullptr;
    return AUDIO_ERR;
  }
  capture.block = static_cast<uint32_t>(blockframes);
  capture.frames = static_cast<uint32_t>(frames);
  capture.readpos = capture.lastpos = capture.waiting = 0;
  return AUDIO_OK;
}

int AUDIO_captureread(void* dst) {
  std::lock_guard lock(capture.guard);
  if (!capture.dev || !dst) return AUDIO_ERR;
  const uint32_t pos = capture.ops->capcursor(capture.dev) / capture.framebytes;
  capture.waiting += (pos + capture.frames - capture.lastpos) % capture.frames;
  capture.lastpos = pos;
  // More than the buffer holds has been overwritten: keep the newest whole blocks.
  if (capture.waiting > capture.frames - capture.block) {
    capture.waiting = capture.frames - capture.block;
    capture.readpos = (pos + capture.block) % capture.frames;
  }
  if (capture.waiting < capture.block) return AUDIO_ERR;
  capture.ops->capread(capture.dev, capture.readpos * capture.framebytes, capture.block * capture.framebytes,
                       dst);
  capture.readpos = (capture.readpos + capture.block) % capture.frames;
  capture.waiting -= capture.block;
  return AUDIO_OK;
}

int AUDIO_capturestop() {
  std::lock_guard lock(capture.guard);
  if (capture.dev) capture.ops->capclose(capture.dev);
  capture.dev = nullptr;
  return AUDIO_OK;
}
