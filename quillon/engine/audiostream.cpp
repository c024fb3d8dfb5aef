// The stream player. Everything a player owns lives in its caller's block, in this order: the
// player record, its items, the voice buffer queue with its entries, one decoding state per
// channel, and (unless the data stream is shared) the data stream with its ring. The service pass
// and the player operations run on the client's thread, the sources on the output thread; both
// hold the engine lock, which the data stream's own lock nests inside.
#include "quillon/engine/audiostream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "quillon/engine/audiostream_internal.h"
#include "quillon/engine/engine_internal.h"
#include "quillon/runtime/stream.h"

namespace astream {
namespace {

constexpr uint32_t fourcc(const char (&s)[5]) {
  return static_cast<uint8_t>(s[0]) | static_cast<uint8_t>(s[1]) << 8 | static_cast<uint8_t>(s[2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}
constexpr uint32_t kSCHl = fourcc("SCHl");
constexpr uint32_t kSCCl = fourcc("SCCl");
constexpr uint32_t kSCDl = fourcc("SCDl");
constexpr uint32_t kSCEl = fourcc("SCEl");

// Representations with a source.
enum Rep { kParlet = 4, kS16B = 7, kS16L = 8, kS8 = 9, kQvxa = 10 };

constexpr int kChunkBudget = 10;
constexpr int kMaxItems = 254;  // the data stream takes two requests more, at most 256
constexpr int kMaxBuffers = 4096;
constexpr int32_t kPrebufferCap = 4000000;
constexpr int kShutdownSlot = 1;
constexpr int kEndedKept = 8;  // how many abnormal endings a player remembers for the status
constexpr int kFrameSamples = 28;
constexpr int kFrameBytes = 15;
constexpr int kParletMinFrameBits = 136;  // 12 indices and four subframe headers

uint32_t get32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

struct Format {
  int32_t rate = 0;
  int channels = 0;
  int rep = 0;
  bool operator==(const Format&) const = default;
};

struct Item {
  uint32_t request;
  int32_t handle;
  int32_t datarate;
  int32_t rate;
  int64_t played, total, buffered;
  int32_t chunks, chunkcount;  // data chunks received; the count chunk's figure
  int32_t prebuffer;
  bool reached;   // data of it went to the voice queue
  bool complete;  // its end chunk came
  bool finished;  // played (or ended); kept only while its chunks still arrive
  bool skipping;  // its header cannot be played: its chunks are given back unread
};

struct Entry {
  int32_t count;
  uint8_t* chunk;
  int32_t item;
  const uint8_t* data[AUDIOSTREAM_MAXCHANNELS];
  const uint8_t* end[AUDIOSTREAM_MAXCHANNELS];
};

struct Queue {
  uint32_t capacity;
  uint32_t write;    // sequence number of the next entry
  uint32_t release;  // oldest entry not yet given back
  int channels, rep;
  int64_t queued, consumed;  // samples of channel 0
  Entry* entries;
  ChannelState* chan;
};

struct Ended {
  int32_t handle;
  int code;
};

struct Player {
  int index;
  STREAM* tap;
  bool ownstream;
  int32_t voice;
  bool playing;  // the voice was told to play
  int state;     // 0 idle, 1 voice playing, 2 a new header waits for the old sound to drain
  int32_t serial;
  int capacity, count, current;
  bool hascurrent;
  Format cur, next;
  AUDIOSTREAMHEADER curhdr, nexthdr;
  AUDIOSTREAMPARAMS params;
  Item* items;
  Queue queue;
  Ended ended[kEndedKept];
  int endedpos;
};

Player* players[AUDIOSTREAM_MAXPLAYERS];
int liveplayers;

template <typename T>
int32_t rounded(int64_t n) {
  return static_cast<int32_t>((n * static_cast<int64_t>(sizeof(T)) + 15) & ~int64_t{15});
}

int32_t datarate(const Format& f) {
  const int64_t rc = int64_t{f.rate} * f.channels;
  switch (f.rep) {
    case kParlet:
      return static_cast<int32_t>(rc * 51 / 256);
    case kS16L:
      return static_cast<int32_t>(rc * 2);
    case kS8:
      return static_cast<int32_t>(rc);
    case kQvxa:
      return static_cast<int32_t>(rc * 136 / 256);
    case 14:
      return f.channels * 12;
    case 15:
      return f.channels * 8;
    default:
      return 0;
  }
}

Item* find_item(Player& p, int32_t handle) {
  for (int i = 0; i < p.count; ++i)
    if (p.items[i].handle == handle && !p.items[i].finished) return &p.items[i];
  return nullptr;
}

void remember_end(Player& p, int32_t handle, int code) {
  p.ended[p.endedpos] = Ended{handle, code};
  p.endedpos = (p.endedpos + 1) % kEndedKept;
}

// Drops finished items whose chunks have all arrived; later items move up.
void compact(Player& p) {
  int w = 0;
  const int current = p.current;
  for (int i = 0; i < p.count; ++i) {
    if (p.items[i].finished && i < current) {
      --p.current;
      continue;
    }
    p.items[w++] = p.items[i];
  }
  p.count = w;
}

void finish(Player& p, Item& it, int code) {
  if (it.finished) return;
  it.finished = true;
  if (code != AUDIOSTREAM_OK) remember_end(p, it.handle, code);
}

// An item ends when it has played its total, or when all of its data has been played and no more
// can come (a total the data does not reach would otherwise hold it for ever).
void check_done(Player& p, Item& it) {
  if (it.finished) return;
  if (it.reached && (it.played >= it.total || (it.complete && it.buffered <= 0)))
    finish(p, it, AUDIOSTREAM_OK);
}

// ---- the voice buffer queue ----

uint32_t in_use(const Queue& q) {
  return q.write - q.release;
}

void give_back(Player& p, Entry& e) {
  STREAM_release(p.tap, e.chunk);
  e.chunk = nullptr;
}

// Gives back the entries that every channel has passed.
void retire(Player& p) {
  Queue& q = p.queue;
  uint32_t oldest = q.write;
  for (int c = 0; c < q.channels; ++c)
    if (static_cast<int32_t>(q.chan[c].seq - oldest) < 0) oldest = q.chan[c].seq;
  while (q.release != oldest) give_back(p, q.entries[q.release++ % q.capacity]);
}

// Samples of an entry consumed by channel 0 count as played for the entry's item.
void consumed(Player& p, const Entry& e, int n) {
  p.queue.consumed += n;
  Item* it = find_item(p, e.item);
  if (!it) return;
  it->played += n;
  it->buffered -= n;
  check_done(p, *it);
  compact(p);
}

// Gives every entry back and takes its samples off its item's buffered count.
void flush(Player& p) {
  Queue& q = p.queue;
  for (; q.release != q.write; ++q.release) {
    Entry& e = q.entries[q.release % q.capacity];
    give_back(p, e);
    if (Item* it = find_item(p, e.item)) {
      it->buffered = 0;
      check_done(p, *it);
    }
  }
  compact(p);
  q.queued = q.consumed = 0;
  for (int c = 0; c < AUDIOSTREAM_MAXCHANNELS; ++c) {
    q.chan[c].seq = q.write;
    q.chan[c].begun = false;
    q.chan[c].parlet.started = false;
  }
}

int pull(void* context, int channel, float* out, int frames) {
  Player& p = *static_cast<Player*>(context);
  Queue& q = p.queue;
  ChannelState& c = q.chan[channel];
  int done = 0;
  while (done < frames) {
    if (c.seq == q.write) {
      // Starved: silence until more data comes; the voice lives until the player stops it.
      std::fill(out + done, out + frames, 0.0f);
      break;
    }
    Entry& e = q.entries[c.seq % q.capacity];
    if (!c.begun) {
      source_begin(c, q.rep, e.data[channel], e.end[channel]);
      c.pos = 0;
      c.begun = true;
    }
    if (c.blockpos == c.blockfill) source_decode(c, q.rep, std::min(e.count - c.pos, kBlockMax));
    const int n = std::min(frames - done, c.blockfill - c.blockpos);
    std::copy(c.block + c.blockpos, c.block + c.blockpos + n, out + done);
    c.blockpos += n;
    c.pos += n;
    done += n;
    if (channel == 0) consumed(p, e, n);
    if (c.pos >= e.count) {
      ++c.seq;
      c.begun = false;
      c.blockpos = c.blockfill = 0;
      retire(p);
    }
  }
  return frames;
}

// ---- voices ----

// A voice starts once data waits for it: started earlier, it would resample silence first and
// the sound would begin at an arbitrary phase of the resampler.
void play_when_fed(Player& p) {
  if (p.voice >= 0 && !p.playing && in_use(p.queue) > 0) {
    AUDIO_voiceplay(p.voice);
    p.playing = true;
  }
}

void stop_voice(Player& p) {
  if (p.voice >= 0) AUDIO_voicestop(p.voice);
  p.voice = -1;
  p.playing = false;
  flush(p);
}

int start_voice(Player& p) {
  const AUDIOSTREAMHEADER& h = p.curhdr;
  const AUDIOSTREAMPARAMS& a = p.params;
  Queue& q = p.queue;
  q.channels = p.cur.channels;
  q.rep = p.cur.rep;
  const int v = AUDIO_voicealloc(p.cur.channels, p.cur.rate, h.priority);
  p.voice = v;
  if (v < 0) return v;
  AUDIO_voiceset(v, AUDIO_VOLUME, 127);
  if (p.cur.channels == 1) {
    AUDIO_voiceset(v, AUDIO_PAN, a.useazimuth ? 64 : a.pan);
    AUDIO_voiceset(v, AUDIO_DIRECTION, a.useazimuth ? a.azimuth : 0);
  } else {
    for (int c = 0; c < p.cur.channels; ++c) eng::voice_setchanneloffset(v, c, h.direction[c]);
  }
  AUDIO_voicefade(v, a.volume, 0);
  const AUDIOENVSEG hold{127, -1};
  AUDIO_voiceenvelope(v, &hold, 1);
  AUDIO_voiceset(v, AUDIO_BEND, a.pitchbend);
  AUDIO_voiceset(v, AUDIO_BENDRANGE, h.bendrange * 100);
  AUDIO_voiceset(v, AUDIO_RATEMULT, a.ratemult);
  AUDIO_voiceset(v, AUDIO_SEND, a.send);
  AUDIO_voiceset(v, AUDIO_REVERBAMOUNT, h.reverb);
  if (a.lowpass < eng::g.rate / 2) AUDIO_voiceset(v, AUDIO_LOWPASS, a.lowpass);
  if (a.highpass > 0) AUDIO_voiceset(v, AUDIO_HIGHPASS, a.highpass);
  const AUDIOSOURCE src{pull, &p};
  AUDIO_voicesource(v, &src);
  p.state = 1;
  play_when_fed(p);
  return v;
}

// ---- chunk dispatch ----

bool same_header(const AUDIOSTREAMHEADER& a, const AUDIOSTREAMHEADER& b) {
  return a.priority == b.priority && a.bendrange == b.bendrange && a.reverb == b.reverb &&
         a.revision == b.revision && a.playflags == b.playflags &&
         std::equal(std::begin(a.direction), std::end(a.direction), std::begin(b.direction));
}

// Returns true when the pass must end (a header was dispatched).
bool dispatch(Player& p, uint8_t* chunk) {
  const uint32_t id = get32(chunk);
  const int32_t size = static_cast<int32_t>(get32(chunk + 4));
  Item* it = p.current < p.count ? &p.items[p.current] : nullptr;
  if (id == kSCDl && it && !it->skipping) {
    ++it->chunks;
    const int ch = p.next.channels;
    const int64_t table = 12 + int64_t{4} * ch;
    if (size < table) {
      STREAM_release(p.tap, chunk);
      finish(p, *it, AUDIOSTREAM_ECORRUPT);
      it->skipping = true;
      return false;
    }
    const int32_t n = static_cast<int32_t>(get32(chunk + 8));
    if (n == 0) {
      STREAM_release(p.tap, chunk);
      return false;
    }
    if (n < 0 || n > source_maxsamples(p.next.rep, size - table, ch) || in_use(p.queue) >= p.queue.capacity) {
      STREAM_release(p.tap, chunk);
      finish(p, *it, AUDIOSTREAM_ECORRUPT);
      it->skipping = true;
      return false;
    }
    Queue& q = p.queue;
    const uint32_t seq = q.write;
    Entry& e = q.entries[seq % q.capacity];
    e = Entry{n, chunk, it->handle, {}, {}};
    uint8_t* body = chunk + table;
    uint8_t* chunkend = chunk + size;
    // Each channel's data runs to the next channel's start, or to the chunk's end; an offset
    // outside the chunk leaves that channel without data.
    uint32_t offs[AUDIOSTREAM_MAXCHANNELS];
    for (int c = 0; c < ch; ++c) offs[c] = get32(chunk + 12 + 4 * c);
    for (int c = 0; c < ch; ++c) {
      const int64_t avail = chunkend - body;
      const int64_t start = std::min<int64_t>(offs[c], avail);
      int64_t stop = avail;
      for (int d = 0; d < ch; ++d)
        if (offs[d] > offs[c] && offs[d] < stop) stop = offs[d];
      e.data[c] = body + start;
      e.end[c] = body + std::max(start, stop);
    }
    ++q.write;
    q.queued += n;
    it->buffered += n;
    it->reached = true;
    play_when_fed(p);
    return false;
  }
  if (id == kSCHl && it) {
    AUDIOSTREAMHEADER h;
    const int rc = AUDIOSTREAM_parseheader(chunk, static_cast<size_t>(size), &h);
    STREAM_release(p.tap, chunk);
    it->total = h.totalsamples;
    it->rate = h.rate;
    if (rc != 0 || !AUDIOSTREAM_hassource(h.rep)) {
      finish(p, *it, rc != 0 ? rc : AUDIOSTREAM_EUNSUPPORTED);
      it->skipping = true;
      return true;
    }
    it->skipping = false;
    p.next = Format{h.rate, h.channels, h.rep};
    p.nexthdr = h;
    it->datarate = datarate(p.next);
    if (p.hascurrent && p.next == p.cur && same_header(h, p.curhdr) && h.datablocks == 0) {
      if (p.state != 1) start_voice(p);
      return true;
    }
    if (p.hascurrent) {
      p.state = 2;
      return true;
    }
    p.cur = p.next;
    p.curhdr = h;
    p.hascurrent = true;
    if (p.state != 1) start_voice(p);
    return true;
  }
  if (it && id == kSCCl && size >= 12) it->chunkcount = static_cast<int32_t>(get32(chunk + 8));
  STREAM_release(p.tap, chunk);
  if (!it) return false;
  if (id == kSCDl) ++it->chunks;
  if (id == kSCEl) {
    it->complete = true;
    check_done(p, *it);
    ++p.current;
    compact(p);
  }
  return false;
}

// The data stream stopped before the end chunk of the item receiving data (an invalid chunk, or
// a file that ends early): that item and the ones queued behind it end as corrupt.
void end_inputs(Player& p) {
  for (int i = p.current; i < p.count; ++i) {
    Item& it = p.items[i];
    if (!it.finished) finish(p, it, AUDIOSTREAM_ECORRUPT);
  }
  if (p.ownstream) STREAM_kill(p.tap);
  p.current = p.count;
  compact(p);
}

// Chunks of a later request at the tap mean that the item receiving data has all of it: a file
// that ended before its end chunk ends its item as corrupt. False when no item is left to receive.
bool items_follow(Player& p) {
  const uint32_t id = STREAM_taprequestid(p.tap);
  while (id != 0 && p.current < p.count && p.items[p.current].request != id) {
    finish(p, p.items[p.current], AUDIOSTREAM_ECORRUPT);
    ++p.current;
    compact(p);
  }
  return p.current < p.count;
}

void service(Player& p) {
  Queue& q = p.queue;
  if (p.state == 2) {
    // A voice that could not start or was taken by another sound has nothing left to drain.
    if (q.queued > q.consumed && p.voice >= 0 && AUDIO_voicestatus(p.voice) == 1) return;
    stop_voice(p);
    p.cur = p.next;
    p.curhdr = p.nexthdr;
    start_voice(p);
  }
  // A voice that could not start is tried again; one taken by a sound of higher priority lost
  // its data, and another takes its place.
  if (p.state == 1 && p.voice < 0) start_voice(p);
  if (p.state == 1 && p.voice >= 0 && AUDIO_voicestatus(p.voice) == 0) {
    stop_voice(p);
    start_voice(p);
  }
  if (p.current >= p.count) return;
  Item& it = p.items[p.current];
  if (it.prebuffer < 0) return;
  if (it.datarate > 0 && it.prebuffer > 0) {
    const int64_t avail = std::min(STREAM_gettable(p.tap), kPrebufferCap);
    if (avail * 1000 / it.datarate < it.prebuffer && STREAM_state(p.tap) == STREAM_READING) return;
    it.prebuffer = 0;
  }
  int budget = p.state == 1 ? static_cast<int>(q.capacity - in_use(q)) - 1 : kChunkBudget;
  while (budget-- > 0) {
    if (p.ownstream && !items_follow(p)) return;
    auto* chunk = static_cast<uint8_t*>(STREAM_get(p.tap));
    if (!chunk) break;
    if (dispatch(p, chunk)) return;
  }
  if (STREAM_gettable(p.tap) == 0 && p.current < p.count &&
      (STREAM_invalidchunk(p.tap) || STREAM_isendofstream(p.tap)))
    end_inputs(p);
}

void reset(Player& p) {
  stop_voice(p);
  if (p.ownstream) STREAM_kill(p.tap);
  p.count = p.current = 0;
  p.state = 0;
  p.hascurrent = false;
  p.cur = p.next = Format{};
  p.curhdr = p.nexthdr = AUDIOSTREAMHEADER{};
}

void shutdown_all() {
  for (int i = 0; i < AUDIOSTREAM_MAXPLAYERS; ++i)
    if (players[i]) AUDIOSTREAM_destroy(i);
}

// Runs f on a player under the engine lock.
template <typename F>
int with_player(int index, F f) {
  AUDIO_lock();
  int rc;
  if (!AUDIO_isrunning())
    rc = AUDIOSTREAM_ENOTRUNNING;
  else if (index < 0 || index >= AUDIOSTREAM_MAXPLAYERS || !players[index])
    rc = AUDIOSTREAM_EHANDLE;
  else
    rc = f(*players[index]);
  AUDIO_unlock();
  return rc;
}

struct Layout {
  int32_t player, items, entries, chans, total, slack;
};

Layout layout(int items, int buffers) {
  Layout l;
  l.player = rounded<Player>(1);
  l.items = rounded<Item>(items);
  l.entries = rounded<Entry>(buffers);
  l.chans = rounded<ChannelState>(AUDIOSTREAM_MAXCHANNELS);
  l.total = l.player + l.items + l.entries + l.chans;
  l.slack = 16;  // for aligning the caller's block
  return l;
}

int create(const AUDIOSTREAMPARAMS* params, int items, int buffers, void* memory, int32_t size,
           STREAM* shared) {
  if (!params || !memory || items < 1 || items > kMaxItems || buffers < 2 || buffers > kMaxBuffers ||
      size < 0)
    return AUDIOSTREAM_ERR;
  const Layout l = layout(items, buffers);
  AUDIO_lock();
  if (!AUDIO_isrunning()) {
    AUDIO_unlock();
    return AUDIOSTREAM_ENOTRUNNING;
  }
  int slot = 0;
  while (slot < AUDIOSTREAM_MAXPLAYERS && players[slot]) ++slot;
  auto* base = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(memory) + 15) & ~uintptr_t{15});
  size -= static_cast<int32_t>(base - static_cast<uint8_t*>(memory));
  const size_t streamneed = STREAM_memsize(items + 2, 1, 1) + STREAM_MINRING;
  const bool fits = shared ? size >= l.total : size >= 0 && static_cast<size_t>(size) >= l.total + streamneed;
  if (slot == AUDIOSTREAM_MAXPLAYERS || !fits) {
    AUDIO_unlock();
    return slot == AUDIOSTREAM_MAXPLAYERS ? AUDIOSTREAM_ENOFREE : AUDIOSTREAM_ERR;
  }
  if (liveplayers == 0) {
    if (AUDIO_addstreamservice(AUDIOSTREAM_service) != AUDIO_OK) {
      AUDIO_unlock();
      return AUDIOSTREAM_ENOQUEUE;
    }
    AUDIO_setshutdownhook(kShutdownSlot, shutdown_all);
  }
  auto* p = new (base) Player{};
  p->items = new (base + l.player) Item[items]();
  p->queue.entries = new (base + l.player + l.items) Entry[buffers]();
  p->queue.chan = new (base + l.player + l.items + l.entries) ChannelState[AUDIOSTREAM_MAXCHANNELS]();
  p->queue.capacity = static_cast<uint32_t>(buffers);
  p->ownstream = !shared;
  p->tap = shared;
  if (!shared) {
    p->tap = STREAM_create(items + 2, 1, 1, base + l.total, static_cast<size_t>(size - l.total));
    if (p->tap) STREAM_setgreedylevel(p->tap, STREAM_buffersize(p->tap) / 3);
  }
  if (!p->tap) {
    if (liveplayers == 0) {
      AUDIO_removestreamservice(AUDIOSTREAM_service);
      AUDIO_setshutdownhook(kShutdownSlot, nullptr);
    }
    AUDIO_unlock();
    return AUDIOSTREAM_ERR;
  }
  p->index = slot;
  p->voice = -1;
  p->capacity = items;
  p->params = *params;
  players[slot] = p;
  ++liveplayers;
  reset(*p);
  AUDIO_unlock();
  return slot;
}

int queue_item(int player, int prebufferms, uint32_t (*request)(STREAM*, const void*, int32_t),
               const void* what, int32_t offset) {
  return with_player(player, [&](Player& p) {
    if (p.count >= p.capacity) return AUDIOSTREAM_EITEMS;
    const uint32_t id = request(p.tap, what, offset);
    if (id == 0) return AUDIOSTREAM_ERR;
    p.serial += 256;
    if (p.serial < 0) p.serial = 0;
    Item& it = p.items[p.count++];
    it = Item{};
    it.request = id;
    it.handle = p.serial | p.index;
    it.prebuffer = prebufferms;
    return static_cast<int>(it.handle);
  });
}

}  // namespace

void source_begin(ChannelState& c, int rep, const uint8_t* data, const uint8_t* end) {
  c.p = data;
  c.end = end;
  c.blockpos = c.blockfill = 0;
  if (rep == kQvxa) {
    // The chunk's two history samples, the most recent first, re-seed the decoder.
    if (end - data >= 4) {
      c.hist1 = static_cast<int16_t>(data[0] | data[1] << 8);
      c.hist2 = static_cast<int16_t>(data[2] | data[3] << 8);
      c.p += 4;
    } else {
      c.hist1 = c.hist2 = 0;
      c.p = end;
    }
  } else if (rep == kParlet) {
    parlet_source_begin(c);
  }
}

void source_decode(ChannelState& c, int rep, int want) {
  want = std::clamp(want, 0, kBlockMax);
  if (rep == kParlet) {
    parlet_source_decode(c, want);
    return;
  }
  if (rep == kQvxa) want = std::min(want, kFrameSamples);
  std::fill(c.block, c.block + want, 0.0f);
  c.blockfill = want;
  c.blockpos = 0;
  const int64_t left = c.end - c.p;
  switch (rep) {
    case kQvxa: {
      if (left < kFrameBytes) {
        c.p = c.end;
        return;
      }
      static constexpr float w1[4] = {0.0f, 0.9375f, 1.796875f, 1.53125f};
      static constexpr float w2[4] = {0.0f, 0.0f, -0.8125f, -0.859375f};
      const int filter = c.p[0] >> 4;
      // Filters above 3 are not written by any encoder: they predict nothing.
      const float k1 = filter < 4 ? w1[filter] : 0.0f, k2 = filter < 4 ? w2[filter] : 0.0f;
      const float scale = static_cast<float>(1 << 12) / static_cast<float>(1 << (c.p[0] & 15));
      float y1 = c.hist1, y2 = c.hist2;
      for (int i = 0; i < kFrameSamples; ++i) {
        const int nibble = i & 1 ? c.p[1 + i / 2] & 15 : c.p[1 + i / 2] >> 4;
        const float y = static_cast<float>(nibble >= 8 ? nibble - 16 : nibble) * scale + k1 * y1 + k2 * y2;
        y2 = y1, y1 = y;
        if (i < want) c.block[i] = y;
      }
      c.hist1 = y1, c.hist2 = y2;
      c.p += kFrameBytes;
      return;
    }
    case kS16L:
    case kS16B: {
      const int n = static_cast<int>(std::min<int64_t>(want, left / 2));
      for (int i = 0; i < n; ++i, c.p += 2)
        c.block[i] = static_cast<int16_t>(rep == kS16L ? c.p[0] | c.p[1] << 8 : c.p[0] << 8 | c.p[1]);
      return;
    }
    case kS8: {
      const int n = static_cast<int>(std::min<int64_t>(want, left));
      for (int i = 0; i < n; ++i) c.block[i] = static_cast<float>(static_cast<int8_t>(*c.p++) * 256);
      return;
    }
    default:
      return;
  }
}

int64_t source_maxsamples(int rep, int64_t bytes, int channels) {
  if (channels < 1 || bytes < 0) return 0;
  const int64_t per = bytes / channels;
  switch (rep) {
    case kQvxa:
      return per < 4 ? 0 : (per - 4) / kFrameBytes * kFrameSamples;
    case kS16L:
    case kS16B:
      return per / 2;
    case kS8:
      return per;
    case kParlet:
      return per < 1 ? 0 : ((per - 1) * 8 / kParletMinFrameBits + 1) * PARLET_FRAME;
    default:
      return 0;
  }
}

}  // namespace astream

using namespace astream;

int32_t AUDIOSTREAM_memsize(int items, int buffers) {
  if (items < 1 || items > kMaxItems || buffers < 2 || buffers > kMaxBuffers) return 0;
  const Layout l = layout(items, buffers);
  return l.total + l.slack + static_cast<int32_t>(STREAM_memsize(items + 1, 1, 1));
}

int AUDIOSTREAM_defaults(AUDIOSTREAMPARAMS* p) {
  if (!p) return AUDIOSTREAM_ERR;
  *p = AUDIOSTREAMPARAMS{127, 64, 127, 0, 64, 60, 127, 0, 0, 4096, 4096, 4096, 0, 0xFFFF, 0};
  return AUDIOSTREAM_OK;
}

int AUDIOSTREAM_create(const AUDIOSTREAMPARAMS* params, int items, int buffers, void* memory, int32_t size) {
  return create(params, items, buffers, memory, size, nullptr);
}

int AUDIOSTREAM_createshared(const AUDIOSTREAMPARAMS* params, int items, int buffers, void* memory,
                             int32_t size, STREAM* tap) {
  if (!tap) return AUDIOSTREAM_ERR;
  return create(params, items, buffers, memory, size, tap);
}

int AUDIOSTREAM_destroy(int player) {
  return with_player(player, [&](Player& p) {
    reset(p);
    if (--liveplayers == 0) {
      AUDIO_removestreamservice(AUDIOSTREAM_service);
      AUDIO_setshutdownhook(kShutdownSlot, nullptr);
    }
    if (p.ownstream) STREAM_destroy(p.tap);
    players[player] = nullptr;
    return AUDIOSTREAM_OK;
  });
}

int AUDIOSTREAM_playfile(int player, int prebufferms, const char* path, int32_t offset) {
  if (!path) return AUDIOSTREAM_ERR;
  return queue_item(
      player, prebufferms,
      [](STREAM* s, const void* what, int32_t off) {
        return STREAM_queuefile(s, static_cast<const char*>(what), off, kSCEl);
      },
      path, offset);
}

int AUDIOSTREAM_playmem(int player, int prebufferms, const void* image) {
  if (!image) return AUDIOSTREAM_ERR;
  return queue_item(
      player, prebufferms,
      [](STREAM* s, const void* what, int32_t) { return STREAM_queuemem(s, what, 0, kSCEl); }, image, 0);
}

int AUDIOSTREAM_playmemlength(int player, int prebufferms, const void* image, int32_t length) {
  if (!image || length <= 0) return AUDIOSTREAM_ERR;
  return queue_item(
      player, prebufferms,
      [](STREAM* s, const void* what, int32_t n) { return STREAM_queuemem(s, what, n, kSCEl); }, image,
      length);
}

int AUDIOSTREAM_stop(int player) {
  return with_player(player, [](Player& p) {
    reset(p);
    return AUDIOSTREAM_OK;
  });
}

int AUDIOSTREAM_setvolume(int player, int volume) {
  return with_player(player, [&](Player& p) {
    p.params.volume = static_cast<uint8_t>(std::clamp(volume, 0, 127));
    if (p.voice >= 0) AUDIO_voicefade(p.voice, p.params.volume, 0);
    return AUDIOSTREAM_OK;
  });
}

int AUDIOSTREAM_setgreedylevel(int player, int32_t bytes) {
  return with_player(player, [&](Player& p) {
    STREAM_setgreedylevel(p.tap, bytes);
    return AUDIOSTREAM_OK;
  });
}

int AUDIOSTREAM_status(int item, AUDIOSTREAMSTATUS* result) {
  if (!result) return AUDIOSTREAM_ERR;
  *result = AUDIOSTREAMSTATUS{};
  if (item < 0) return AUDIOSTREAM_EHANDLE;
  return with_player(item & 0xFF, [&](Player& p) {
    result->state = 3;
    const Item* it = find_item(p, item);
    if (!it) {
      for (const Ended& e : p.ended)
        if (e.handle == item) return e.code;
      return AUDIOSTREAM_OK;
    }
    if (!it->reached) {
      result->state = 0;
      return AUDIOSTREAM_OK;
    }
    const Item* playing = nullptr;
    for (int i = 0; i < p.count && !playing; ++i)
      if (!p.items[i].finished) playing = &p.items[i];
    result->state = it == playing ? 2 : 1;
    const int64_t rate = std::max(it->rate, 1);
    result->position = static_cast<int32_t>(it->played * 1000 / rate);
    result->remaining = static_cast<int32_t>(std::max<int64_t>(it->total - it->played, 0) * 1000 / rate);
    result->buffered = static_cast<int32_t>(it->buffered * 1000 / rate);
    return AUDIOSTREAM_OK;
  });
}

int AUDIOSTREAM_service() {
  AUDIO_lock();
  for (Player* p : players)
    if (p && p->count > 0) service(*p);
  AUDIO_unlock();
  return 0;
}

namespace {

struct TagField {
  int tag;
  int32_t AUDIOSTREAMHEADER::*member;
};
constexpr TagField kTagFields[] = {
    {0x06, &AUDIOSTREAMHEADER::priority},     {0x0A, &AUDIOSTREAMHEADER::bendrange},
    {0x13, &AUDIOSTREAMHEADER::reverb},       {0x80, &AUDIOSTREAMHEADER::revision},
    {0x82, &AUDIOSTREAMHEADER::channels},     {0x84, &AUDIOSTREAMHEADER::rate},
    {0x85, &AUDIOSTREAMHEADER::totalsamples}, {0x8C, &AUDIOSTREAMHEADER::playflags},
    {0xA0, &AUDIOSTREAMHEADER::rep},
};

// Bounds-checked reader of the header's tags.
struct TagReader {
  const uint8_t* p;
  const uint8_t* end;
  bool ok = true;
  int byte() {
    if (p >= end) {
      ok = false;
      return 0xFF;
    }
    return *p++;
  }
};

}  // namespace

int AUDIOSTREAM_parseheader(const void* chunk, size_t size, AUDIOSTREAMHEADER* h) {
  if (!h) return AUDIOSTREAM_ERR;
  *h = AUDIOSTREAMHEADER{};
  h->rate = 22050;
  h->channels = 1;
  h->rep = kQvxa;
  const auto* c = static_cast<const uint8_t*>(chunk);
  if (!c || size < 12 || get32(c) != kSCHl) return AUDIOSTREAM_ECORRUPT;
  const size_t chunksize = std::min<size_t>(get32(c + 4), size);
  if (chunksize < 12 || c[8] != 'P' || c[9] != 'T') return AUDIOSTREAM_ECORRUPT;
  TagReader r{c + 12, c + chunksize};
  if (c[11] & 2) r.p += std::min<ptrdiff_t>(4, r.end - r.p);
  bool flags8c = false;
  int32_t flagbits = 0;
  for (;;) {
    const int tag = r.byte();
    if (!r.ok) return AUDIOSTREAM_ECORRUPT;
    if (tag == 0xFF) break;
    if (tag == 0xFC || tag == 0xFD || tag == 0xFE) continue;
    int64_t len = r.byte();
    if (len == 0xFF) {
      len = 0;
      for (int i = 0; i < 4; ++i) len = len << 8 | r.byte();
    }
    if (!r.ok || len > r.end - r.p) return AUDIOSTREAM_ECORRUPT;
    if (tag == 0x14 || (tag >= 0x98 && tag <= 0x9B)) ++h->datablocks;
    if (len > 4) {
      r.p += len;
      continue;
    }
    uint32_t u = 0;
    for (int i = 0; i < len; ++i) u = u << 8 | static_cast<uint32_t>(r.byte());
    int32_t v = static_cast<int32_t>(u);
    if (len > 0 && len < 4 && (u >> (8 * len - 1)) & 1) v = static_cast<int32_t>(u | (~0u << (8 * len)));
    const auto field = std::find_if(std::begin(kTagFields), std::end(kTagFields),
                                    [&](const TagField& f) { return f.tag == tag; });
    if (field != std::end(kTagFields)) h->*field->member = v;
    if (tag == 0x8C) flags8c = true;
    if (tag == 0xA1) flagbits = v;
    if (tag >= 0x9C && tag <= 0x9F) h->direction[tag - 0x9C] = static_cast<uint16_t>(v);
  }
  if (!flags8c)
    h->playflags = (flagbits & 1 ? 1 : 0) | (flagbits & 2 ? 2 : 0) | (flagbits & 0x80 ? 0x20 : 0) |
                   (flagbits & 0x40 ? 0x40 : 0);
  if (h->channels < 1 || h->channels > AUDIOSTREAM_MAXCHANNELS || h->rate <= 0 || h->rate > 0x7FFFFF)
    return AUDIOSTREAM_ECORRUPT;
  return AUDIOSTREAM_OK;
}

int AUDIOSTREAM_hassource(int rep) {
  return rep == kParlet || rep == kS16B || rep == kS16L || rep == kS8 || rep == kQvxa ? 1 : 0;
}
