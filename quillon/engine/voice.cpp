// Voices: allocation and stealing, handles, the volume, pitch and pan laws, the PCM queue that
// feeds a voice, and the control tick that runs fades and envelopes.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>

#include "quillon/engine/engine_internal.h"

namespace eng {
namespace {

std::array<uint8_t, 256> make_pitch_table() {
  std::array<uint8_t, 256> t{};
  for (int j = 0; j < 256; ++j) {
    const double v = std::floor(256.0 * (std::exp2((j + 1) / 256.0) - 1.0));
    t[j] = static_cast<uint8_t>(std::min(255.0, v));
  }
  return t;
}

const std::array<uint8_t, 256> pitch_table_data = make_pitch_table();

bool valid_master(int handle) {
  if (handle < 0 || !g.running) return false;
  const int i = handle & 0xFF;
  return i < g.nvoices && g.voices[i].state == 1 && g.voices[i].handle == handle;
}

int cents_of(const Voice& v) {
  return v.basepitch + v.bendrange * (v.bend - 64) / 64;
}

void release_queue(Voice& m) {
  for (; m.qhead != m.qtail; ++m.qhead) {
    const QueueEntry& q = m.queue[m.qhead % kQueue];
    if (q.done) q.done(q.user);
  }
}

// Gives back the buffers every channel of the sound has passed.
void retire_queue(Voice& m) {
  uint32_t oldest = m.qtail;
  for (int c = 0; c < m.nch; ++c) {
    const uint32_t s = g.voices[m.chan[c]].qseq;
    if (static_cast<int32_t>(s - oldest) < 0) oldest = s;
  }
  while (m.qhead != oldest) {
    const QueueEntry& q = m.queue[m.qhead++ % kQueue];
    if (q.done) q.done(q.user);
  }
}

}  // namespace

int voice_pull(int index, float* out, int frames) {
  Voice& v = g.voices[index];
  Voice& m = g.voices[v.master];
  if (m.source.pull) return m.source.pull(m.source.context, v.chindex, out, frames);
  int done = 0;
  while (done < frames) {
    if (v.qseq == m.qtail) {
      if (m.qended) break;
      // Starved: silence until the next buffer arrives.
      std::fill(out + done, out + frames, 0.0f);
      return frames;
    }
    const QueueEntry& q = m.queue[v.qseq % kQueue];
    const int n = std::min(frames - done, q.frames - v.qpos);
    const int16_t* s = q.pcm + static_cast<size_t>(v.qpos) * m.nch + v.chindex;
    for (int i = 0; i < n; ++i) out[done + i] = s[static_cast<size_t>(i) * m.nch];
    done += n;
    v.qpos += n;
    if (v.qpos >= q.frames) {
      ++v.qseq;
      v.qpos = 0;
      retire_queue(m);
    }
  }
  return done;
}

namespace {

// Picks the entries for a sound of n channels among [first, end): free entries by age first,
// then playing ones at priority 100 or less, lowest priority and oldest first.
int pick(int n, int first, int end, int* picked) {
  int found = 0;
  auto taken = [&](int i) { return std::find(picked, picked + found, i) != picked + found; };
  for (int pass = 0; pass < 2 && found < n; ++pass) {
    while (found < n) {
      int best = -1;
      for (int i = first; i < end; ++i) {
        const Voice& v = g.voices[i];
        if (taken(i)) continue;
        if (pass == 0 ? v.state != 0 : v.priority > 100) continue;
        if (best < 0) {
          best = i;
          continue;
        }
        const Voice& b = g.voices[best];
        const bool better = pass == 0
                                ? v.stamp < b.stamp
                                : v.priority < b.priority || (v.priority == b.priority && v.stamp < b.stamp);
        if (better) best = i;
      }
      if (best < 0) break;
      picked[found++] = best;
    }
  }
  return found;
}

}  // namespace

const uint8_t* pitch_table() {
  return pitch_table_data.data();
}

int pitch_ratio(int32_t cents) {
  // Eight octaves either way keep the ratio and its product with the table inside 32 bits; the
  // resampler's step is capped at four times anyway.
  cents = std::clamp(cents, -9600, 9600);
  int32_t ratio = 4096;
  while (cents >= 1200) {
    ratio *= 2;
    cents -= 1200;
  }
  while (cents <= -1200) {
    ratio /= 2;
    cents += 1200;
  }
  const int k = std::max((cents * 13981) >> 16, -255);
  if (k >= 0) return (ratio * (256 + pitch_table_data[k])) >> 8;
  return (ratio * (256 + pitch_table_data[256 + k])) >> 9;
}

int volume_law(int32_t envlevel, int32_t fadelevel, int volume, int master) {
  const int64_t e = std::max(envlevel >> 16, 0), f = std::max(fadelevel >> 16, 0);
  return static_cast<int>(e * f * volume * master / 2048383);
}

int pan_shape(int x) {
  return 2 * x - x * x / 127;
}

void pan_build(int channels, const uint16_t* speakers) {
  std::memset(g.pan, 0, sizeof g.pan);
  for (int p = 0; p < 256; ++p) {
    if (channels <= 1) {
      g.pan[p][0] = 127;
      continue;
    }
    const int32_t a = p * 256;
    // The neighbouring pair around a, across the wrap when a lies outside the first and last.
    int lo = channels - 1, hi = 0;
    int32_t slo = speakers[channels - 1] - 0x10000, shi = speakers[0];
    for (int j = 0; j + 1 < channels; ++j) {
      if (speakers[j] <= a && a <= speakers[j + 1]) {
        lo = j, hi = j + 1, slo = speakers[j], shi = speakers[j + 1];
        break;
      }
    }
    int32_t at = a;
    if (at < slo) at += 0x10000;
    if (at > shi) shi += 0x10000;
    // A caller's table that is not strictly ascending leaves no span: the nearer speaker takes it.
    const int32_t span = shi - slo;
    if (span <= 0) {
      g.pan[p][lo] = 127;
      continue;
    }
    auto share = [&](int32_t d) {
      return static_cast<uint8_t>(pan_shape(std::clamp(127 * d / span, 0, 127)));
    };
    g.pan[p][lo] = share(shi - at);
    g.pan[p][hi] = share(at - slo);
  }
}

void voices_setdirections(int outchannels) {
  static constexpr uint16_t dirs[4][4] = {
      {0, 0, 0, 0}, {0xC000, 0x4000, 0, 0}, {0xD555, 0x2AAA, 0x8000, 0}, {0xE000, 0x2000, 0xA000, 0x6000}};
  std::memcpy(g.defdir, dirs, sizeof dirs);
  if (outchannels != 2) g.defdir[1][0] = 0xE000, g.defdir[1][1] = 0x2000;
}

int voice_master(int handle) {
  return valid_master(handle) ? (handle & 0xFF) : AUDIO_EHANDLE;
}

void voice_update(int master) {
  Voice& m = g.voices[master];
  m.curvolume = static_cast<uint8_t>(volume_law(m.envlevel, m.fadelevel, m.volume, g.mastervolume));
  m.pitchratio = static_cast<uint32_t>(pitch_ratio(cents_of(m)));
  m.send = static_cast<uint8_t>(fx_sendvalue(m.sendwanted, m.reverbamount, g.fx.swlevel));
  const int64_t ratio = int64_t{m.ratemult} * m.pitchratio / 4096;
  const int64_t step = std::min<int64_t>(ratio * 16 * m.rate / g.rate, 0x40000);
  const float vol = m.curvolume * 0.007874016f;
  const float send = vol * (m.send * 0.007874016f) * 1.5f;
  for (int c = 0; c < m.nch; ++c) {
    const int e = m.chan[c];
    if (e >= g.nsw) continue;
    const int az =
        (g.defdir[m.nch - 1][c] + g.voices[e].offset + m.direction + m.pan * 256 - 0x4000) & 0xFFFF;
    g.voices[e].azimuth = static_cast<uint16_t>(az);
    float gains[kMaxOut] = {};
    for (int o = 0; o < g.channels; ++o) {
      gains[o] = vol * (g.pan[az >> 8][o] * 0.007874016f);
      if (std::fabs(gains[o]) < 0.005f) gains[o] = 0.0f;
    }
    mix_setgains(e, gains, send);
    mix_setstep(e, static_cast<int32_t>(step));
    mix_setfilters(e, m.lowpass, m.highpass);
  }
}

void voice_stopsound(int master, bool ended) {
  Voice& m = g.voices[master];
  const int handle = m.handle;
  release_queue(m);
  for (int c = 0; c < m.nch; ++c) {
    Voice& v = g.voices[m.chan[c]];
    v.state = 0;
    v.stamp = g.ticks;
    if (m.chan[c] < g.nsw) mix_unlink(m.chan[c]);
  }
  if (ended && g.endhook) g.endhook(handle);
}

}  // namespace eng

using namespace eng;

int AUDIO_voicealloc(int channels, int32_t rate, int priority) {
  if (channels > kMaxSoundChannels) return AUDIO_ECHANNELS;
  if (channels < 1 || rate <= 0 || rate > 0x7FFFFF) return AUDIO_ERR;
  AUDIO_lock();
  if (!g.running) {
    AUDIO_unlock();
    return AUDIO_ENOTRUNNING;
  }
  int picked[kMaxSoundChannels];
  if (pick(channels, 0, g.nsw, picked) < channels) {
    AUDIO_unlock();
    return AUDIO_ENOFREE;
  }
  std::sort(picked, picked + channels);
  g.serial += 256;
  if (g.serial < 0) g.serial = 0;
  const int handle = g.serial | picked[0];
  for (int c = 0; c < channels; ++c) {
    Voice& v = g.voices[picked[c]];
    if (v.state != 0) voice_stopsound(v.master, false);
  }
  const int first = picked[0];
  for (int c = 0; c < channels; ++c) {
    Voice& v = g.voices[picked[c]];
    v = Voice{};
    v.handle = c == 0 ? handle : -1;
    v.state = 1;
    v.stamp = g.ticks;
    v.priority = static_cast<uint8_t>(std::clamp(priority, 0, 101));
    v.master = static_cast<uint16_t>(first);
    v.chindex = static_cast<uint8_t>(c);
  }
  Voice& m = g.voices[first];
  m.nch = static_cast<uint8_t>(channels);
  std::copy(picked, picked + channels, m.chan);
  m.rate = rate;
  m.volume = 127;
  m.pan = 64;
  m.bend = 64;
  m.bendrange = 200;
  m.ratemult = 4096;
  m.fadelevel = m.fadetarget = 127 << 16;
  m.envlevel = 127 << 16;
  for (int c = 0; c < channels; ++c) mix_start(picked[c]);
  voice_update(first);
  AUDIO_unlock();
  return handle;
}

namespace {

// Runs f on the master of a valid handle under the engine lock.
template <typename F>
int with_voice(int handle, F f) {
  AUDIO_lock();
  const int m = voice_master(handle);
  const int rc = m < 0 ? m : f(g.voices[m], m);
  AUDIO_unlock();
  return rc;
}

}  // namespace

int AUDIO_voicequeue(int handle, const int16_t* pcm, int32_t frames, void (*done)(void*), void* user) {
  if (!pcm || frames <= 0) return AUDIO_ERR;
  return with_voice(handle, [&](Voice& m, int) {
    if (m.qtail - m.qhead >= static_cast<uint32_t>(kQueue)) return AUDIO_EQUEUEFULL;
    m.queue[m.qtail++ % kQueue] = QueueEntry{pcm, frames, done, user};
    return AUDIO_OK;
  });
}

int AUDIO_voiceendqueue(int handle) {
  return with_voice(handle, [](Voice& m, int) {
    m.qended = true;
    return AUDIO_OK;
  });
}

int AUDIO_voicesource(int handle, const AUDIOSOURCE* source) {
  if (!source || !source->pull) return AUDIO_ERR;
  return with_voice(handle, [&](Voice& m, int) {
    release_queue(m);
    m.source = *source;
    return AUDIO_OK;
  });
}

int AUDIO_voiceplay(int handle) {
  return with_voice(handle, [](Voice& m, int) {
    for (int c = 0; c < m.nch; ++c)
      if (m.chan[c] < g.nsw) g.mix[m.chan[c]].state = 2;
    return AUDIO_OK;
  });
}

int AUDIO_voicestop(int handle) {
  return with_voice(handle, [](Voice&, int m) {
    voice_stopsound(m, false);
    return AUDIO_OK;
  });
}

int eng::voice_setchanneloffset(int handle, int channel, uint16_t offset) {
  return with_voice(handle, [&](Voice& m, int i) {
    if (channel < 0 || channel >= m.nch) return AUDIO_ERR;
    g.voices[m.chan[channel]].offset = offset;
    voice_update(i);
    return AUDIO_OK;
  });
}

int AUDIO_voicestatus(int handle) {
  AUDIO_lock();
  const int rc = voice_master(handle) >= 0 ? 1 : 0;
  AUDIO_unlock();
  return rc;
}

int AUDIO_voiceset(int handle, AUDIOVOICEPARAM param, int32_t value) {
  return with_voice(handle, [&](Voice& m, int i) {
    const auto byte = static_cast<uint8_t>(std::clamp(value, 0, 127));
    switch (param) {
      case AUDIO_VOLUME:
        m.volume = byte;
        break;
      case AUDIO_PAN:
        m.pan = byte;
        break;
      case AUDIO_BEND:
        m.bend = byte;
        break;
      case AUDIO_BENDRANGE:
        m.bendrange = static_cast<int16_t>(std::clamp(value, -9600, 9600));
        break;
      case AUDIO_BASEPITCH:
        m.basepitch = static_cast<int16_t>(std::clamp(value, -9600, 9600));
        break;
      case AUDIO_RATEMULT:
        m.ratemult = static_cast<uint16_t>(std::clamp(value, 0, 0xFFFF));
        break;
      case AUDIO_DIRECTION:
        m.direction = static_cast<uint16_t>(value & 0xFFFF);
        break;
      case AUDIO_SEND:
        m.sendwanted = byte;
        break;
      case AUDIO_REVERBAMOUNT:
        m.reverbamount = byte;
        break;
      case AUDIO_LOWPASS:
        m.lowpass = std::max(value, 0);
        break;
      case AUDIO_HIGHPASS:
        m.highpass = std::max(value, 0);
        break;
      default:
        return AUDIO_ERR;
    }
    voice_update(i);
    return AUDIO_OK;
  });
}

int AUDIO_voicefade(int handle, int32_t target, int32_t ticks) {
  return with_voice(handle, [&](Voice& m, int i) {
    m.fadetarget = std::clamp(target, -127, 127) * 65536;
    if (ticks <= 0) {
      m.fadelevel = m.fadetarget;
      m.fadestep = 0;
      if (m.fadetarget < 0) {
        voice_stopsound(i, true);
        return AUDIO_OK;
      }
    } else {
      // Rounded away from zero, so that the fade arrives on its last tick.
      const int64_t diff = int64_t{m.fadetarget} - m.fadelevel;
      const int64_t step = (diff + (diff >= 0 ? ticks - 1 : 1 - ticks)) / ticks;
      m.fadestep = static_cast<int32_t>(step != 0 ? step : 1);
    }
    voice_update(i);
    return AUDIO_OK;
  });
}

namespace {

// Enters segment m.envseg; false after the last one.
bool enter_segment(Voice& m) {
  if (m.envseg >= m.envcount) return false;
  const AUDIOENVSEG& s = m.env[m.envseg];
  if (s.ticks < 0) {
    m.envstep = 0;
    m.envleft = INT_MAX;
    return true;
  }
  // A segment of 0 ticks reaches its level on the next tick instead of dividing by zero.
  const int32_t ticks = std::max<int32_t>(s.ticks, 1);
  m.envstep = (std::clamp<int32_t>(s.level, 0, 127) * 65536 - m.envlevel) / ticks;
  m.envleft = ticks;
  return true;
}

}  // namespace

int AUDIO_voiceenvelope(int handle, const AUDIOENVSEG* segments, int count) {
  if (count < 0 || count > kMaxEnvSegs || (count > 0 && !segments)) return AUDIO_ERR;
  return with_voice(handle, [&](Voice& m, int) {
    std::copy(segments, segments + count, m.env);
    m.envcount = static_cast<int16_t>(count);
    m.envseg = 0;
    if (count == 0)
      m.envstep = 0, m.envleft = INT_MAX;
    else
      enter_segment(m);
    return AUDIO_OK;
  });
}

void AUDIO_tick() {
  ++g.ticks;
  for (auto* hook : g.tickhooks)
    if (hook) hook();
  for (int i = 0; i < g.nvoices; ++i) {
    Voice& m = g.voices[i];
    if (m.state != 1 || m.handle < 0) continue;
    bool changed = false;
    if (m.fadestep != 0) {
      m.fadelevel += m.fadestep;
      if ((m.fadestep > 0) == (m.fadelevel >= m.fadetarget)) {
        m.fadelevel = m.fadetarget;
        m.fadestep = 0;
        if (m.fadetarget < 0) {
          voice_stopsound(i, true);
          continue;
        }
      }
      changed = true;
    }
    if (m.envcount > 0 && m.envleft != INT_MAX) {
      m.envlevel += m.envstep;
      changed |= m.envstep != 0;
      if (--m.envleft <= 0) {
        m.envlevel = std::clamp<int32_t>(m.env[m.envseg].level, 0, 127) * 65536;
        ++m.envseg;
        if (!enter_segment(m)) {
          voice_stopsound(i, true);
          continue;
        }
        changed = true;
      }
    }
    if (changed) voice_update(i);
  }
}

uint32_t AUDIO_tickcount() {
  AUDIO_lock();
  const uint32_t t = g.ticks;
  AUDIO_unlock();
  return t;
}
