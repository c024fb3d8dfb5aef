// Ogg Vorbis through libogg's page and stream layers and libvorbis's header parser, synthesis and
// analysis. Every library record is cleared on every path by the owners below.
#include "quillon/codecs/oggvorbis.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <ctime>

#include "quillon/runtime/gfile.h"

namespace {

constexpr const char* kMsgCorrupt = "Corrupt Ogg Vorbis bitstream.";
constexpr const char* kMsgLength = "Could not find the length of the Ogg Vorbis bitstream.";
constexpr const char* kMsgNotVorbis = "This Ogg bitstream does not contain Vorbis audio data.";
constexpr int kHeaderPackets = 3;      // identification, comment, setup
constexpr float kWriteQuality = 0.4f;  // about 128 kbit/s for 44.1 kHz stereo

// The file's bytes from offset 0, through the sync layer; from a file or from memory.
class PageReader {
 public:
  explicit PageReader(gfile* f) : f_(f) {
    ogg_sync_init(&sync_);
    gseek(f_, 0);
  }
  PageReader(const uint8_t* data, int32_t size) : mem_(data), size_(size) { ogg_sync_init(&sync_); }
  ~PageReader() { ogg_sync_clear(&sync_); }
  PageReader(const PageReader&) = delete;
  PageReader& operator=(const PageReader&) = delete;

  // Hands one block of the file to the sync layer: the bytes given, 0 at the end of the file.
  int32_t feed() {
    char* buf = ogg_sync_buffer(&sync_, OGGVORBIS_BLOCKBYTES);
    int32_t n = 0;
    if (buf && f_) {
      n = gread(f_, buf, OGGVORBIS_BLOCKBYTES);
    } else if (buf) {
      n = std::min<int32_t>(OGGVORBIS_BLOCKBYTES, size_ - pos_);
      std::memcpy(buf, mem_ + pos_, static_cast<size_t>(n));
      pos_ += n;
    }
    ogg_sync_wrote(&sync_, std::max(n, 0));
    return n;
  }
  // 1 with the next page, 0 at the end of the file, -1 when bytes had to be skipped (a damaged
  // page or one whose checksum is wrong).
  int next(ogg_page* page) {
    for (;;) {
      const int r = ogg_sync_pageout(&sync_, page);
      if (r != 0) return r > 0 ? 1 : -1;
      if (feed() <= 0) return 0;
    }
  }
  // As next, with the file offset of the page.
  int nextat(ogg_page* page, int32_t* offset) {
    for (;;) {
      const long r = ogg_sync_pageseek(&sync_, page);
      if (r < 0) return -1;
      if (r > 0) {
        *offset = consumed_;
        consumed_ += static_cast<int32_t>(r);
        return 1;
      }
      if (feed() <= 0) return 0;
    }
  }
  // Only the pages within the bytes fed so far.
  int nextbuffered(ogg_page* page) { return ogg_sync_pageout(&sync_, page); }
  // The next page read is the one at `offset` of the memory.
  void jump(int32_t offset) {
    ogg_sync_reset(&sync_);
    pos_ = consumed_ = offset;
  }

 private:
  gfile* f_ = nullptr;
  const uint8_t* mem_ = nullptr;
  int32_t size_ = 0, pos_ = 0, consumed_ = 0;
  ogg_sync_state sync_;
};

// One logical stream's decoder records, from its first page to its last.
struct Stream {
  ogg_stream_state os{};
  vorbis_info vi{};
  vorbis_comment vc{};
  vorbis_dsp_state vd{};
  vorbis_block vb{};
  bool open = false;
  bool synthesis = false;
  int headers = 0;

  void start(int serial) {
    ogg_stream_init(&os, serial);
    vorbis_info_init(&vi);
    vorbis_comment_init(&vc);
    open = true;
    headers = 0;
  }
  void stop() {
    if (synthesis) {
      vorbis_block_clear(&vb);
      vorbis_dsp_clear(&vd);
      synthesis = false;
    }
    if (open) {
      vorbis_comment_clear(&vc);
      vorbis_info_clear(&vi);
      ogg_stream_clear(&os);
      open = false;
    }
  }
  ~Stream() { stop(); }
  // Starts a stream on its first page and parses the identification header there.
  const char* begin(ogg_page* page) {
    start(ogg_page_serialno(page));
    if (ogg_stream_pagein(&os, page) < 0) return "Error reading first page of Ogg bitstream data.";
    ogg_packet packet;
    if (ogg_stream_packetout(&os, &packet) != 1) return "Could not read initial header";
    if (vorbis_synthesis_headerin(&vi, &vc, &packet) < 0) return kMsgNotVorbis;
    headers = 1;
    return nullptr;
  }
};

int16_t to16(float x) {
  const float v = x * 32767.0f;
  if (!(v > -32768.0f)) return v == v ? -32768 : 0;
  if (v >= 32767.0f) return 32767;
  return static_cast<int16_t>(v);  // truncated toward zero
}

}  // namespace

int oggvorbis_probe(gfile* file, OGGVORBIS_FACTS* facts) {
  PageReader r(file);
  if (r.feed() <= 0) return 0;
  ogg_page page;
  if (r.nextbuffered(&page) != 1) return 0;
  Stream s;
  if (s.begin(&page)) return 0;
  if (facts) *facts = {std::min(s.vi.channels, OGGVORBIS_MAXCHANNELS), static_cast<int32_t>(s.vi.rate), 0};
  return 1;
}

int oggvorbis_scan(gfile* file, OGGVORBIS_FACTS* facts, const char** message) {
  PageReader r(file);
  ogg_page page;
  Stream s;
  bool first = true, active = false;
  int serial = 0;
  int64_t total = 0, packets = 0, bound = 0;
  for (;;) {
    const int got = r.next(&page);
    if (got < 0) return *message = kMsgCorrupt, 0;
    if (got == 0) break;
    if (ogg_page_bos(&page) && !active) {
      // A stream that follows the end of another one is chained to it.
      if (const char* bad = s.begin(&page)) {
        if (first) return *message = bad, 0;
        s.stop();
        continue;  // a chained stream of another kind is not part of the sound
      }
      if (first)
        *facts = {std::min(s.vi.channels, OGGVORBIS_MAXCHANNELS), static_cast<int32_t>(s.vi.rate), 0};
      if (s.vi.rate != facts->rate)
        return *message = "Chained Ogg Vorbis streams of different sample rates are not supported.", 0;
      // No packet yields more than half the long block: a length beyond that is a lie.
      bound = vorbis_info_blocksize(&s.vi, 1) / 2;
      s.stop();
      first = false;
      active = true;
      serial = ogg_page_serialno(&page);
      packets = 0;
    }
    if (!active || ogg_page_serialno(&page) != serial) continue;
    const int segments = page.header[26];
    for (int i = 0; i < segments && 27 + i < page.header_len; ++i) packets += page.header[27 + i] < 255;
    if (ogg_page_eos(&page)) {
      const int64_t length = ogg_page_granulepos(&page);
      if (length < 0 || length > packets * bound) return *message = kMsgCorrupt, 0;
      total += length;
      active = false;
    }
  }
  if (first) return *message = "Could not read initial header", 0;
  if (active) return *message = kMsgLength, 0;
  facts->samples = total;
  return 1;
}

namespace {

// What one decoder does of a read: it delivers samples from `at` on, and stores [keep, end). In a
// split read, the second decoder jumps after the headers to the split's page, and both check
// that the stream behaves as the plan says around the split's packet (`exact`).
struct Part {
  int64_t at = 0;
  int64_t keep = 0, end = 0;
  const OGGVORBIS_SPLIT* split = nullptr;
  bool second = false;
  bool exact = true;
  std::atomic<int64_t> stored{0};
};

void store(float** pcm, int have, int channels, int16_t** buffers, int64_t at, int from, int take) {
  int16_t* left = buffers[0] + at;
  for (int i = from; i < take; ++i) left[i] = to16(pcm[0][i]);
  if (channels < 2) return;
  // Channel 0 is the left; the right is channel 1, the mean of all the others, or the only
  // channel of a mono stream chained to a stereo one.
  int16_t* right = buffers[1] + at;
  const float* second = pcm[have == 1 ? 0 : 1];
  if (have <= 2) {
    for (int i = from; i < take; ++i) right[i] = to16(second[i]);
  } else {
    for (int i = from; i < take; ++i) {
      float sum = second[i];
      for (int c = 2; c < have; ++c) sum += pcm[c][i];
      right[i] = to16(sum / static_cast<float>(have - 1));
    }
  }
}

// `report(at, take)` runs before samples [at, at + take) are stored. 1, or 0 with *message.
template <typename Report>
int decodepart(PageReader& r, Part& part, int channels, int16_t** buffers, Report report, const char** message) {
  ogg_page page;
  Stream s;
  int serial = 0;
  int32_t rate = 0;
  const OGGVORBIS_SPLIT* split = part.split;
  int64_t packetno = 0;  // audio packets of the first stream seen so far
  bool checked = false;
  int64_t made = part.at;  // as `at`, beyond the end too
  while (part.at < part.end) {
    const int got = r.next(&page);
    if (got < 0) return *message = kMsgCorrupt, 0;
    if (got == 0) break;
    if (ogg_page_bos(&page) && !s.open) {
      const char* bad = s.begin(&page);
      if (bad && rate == 0) return *message = bad, 0;
      if (bad) {
        s.stop();
        continue;
      }
      if (rate == 0) rate = static_cast<int32_t>(s.vi.rate);
      if (s.vi.rate != rate)
        return *message = "Chained Ogg Vorbis streams of different sample rates are not supported.", 0;
      serial = ogg_page_serialno(&page);
      continue;
    }
    if (!s.open || ogg_page_serialno(&page) != serial) continue;
    if (ogg_stream_pagein(&s.os, &page) < 0) return *message = kMsgCorrupt, 0;
    ogg_packet packet;
    for (int p; (p = ogg_stream_packetout(&s.os, &packet)) != 0;) {
      if (p < 0) return *message = kMsgCorrupt, 0;
      if (s.headers < kHeaderPackets) {
        if (vorbis_synthesis_headerin(&s.vi, &s.vc, &packet) < 0)
          return *message = "Corrupt secondary header.", 0;
        if (++s.headers == kHeaderPackets) {
          if (vorbis_synthesis_init(&s.vd, &s.vi) != 0) return *message = "Corrupt secondary header.", 0;
          vorbis_block_init(&s.vd, &s.vb);
          s.synthesis = true;
          if (part.second && packetno == 0) {
            // The rest of the header page is not ours: the split's page comes next.
            r.jump(split->offset);
            ogg_stream_reset(&s.os);
            packetno = split->packet;
            break;
          }
        }
        continue;
      }
      const bool synthesized = vorbis_synthesis(&s.vb, &packet) == 0;
      if (synthesized) vorbis_synthesis_blockin(&s.vd, &s.vb);
      int64_t delivered = 0;
      float** pcm;
      for (int n; (n = vorbis_synthesis_pcmout(&s.vd, &pcm)) > 0;) {
        const int take = static_cast<int>(std::min<int64_t>(n, part.end - part.at));
        const int from = static_cast<int>(std::clamp<int64_t>(part.keep - part.at, 0, take));
        report(part.at, take);
        store(pcm, s.vi.channels, channels, buffers, part.at, from, take);
        part.at += take;
        if (part.at > part.keep) part.stored.store(part.at - part.keep, std::memory_order_relaxed);
        delivered += n;
        made += n;
        vorbis_synthesis_read(&s.vd, n);
      }
      if (split) {
        if (!part.second && packetno == split->packet) checked = synthesized && made == split->sample;
        const bool wrong = part.second && ((packetno == split->packet && !(synthesized && delivered == 0)) ||
                                           (packetno == split->packet + 1 && !(synthesized && delivered == split->expect)));
        if (wrong) return part.exact = false, 1;
        if (part.second && packetno == split->packet + 1) checked = true;
      }
      ++packetno;
    }
    if (ogg_page_eos(&page)) s.stop();
  }
  if (split) part.exact = checked;
  if (part.at < part.end) {
    *message =
        s.open && s.headers < kHeaderPackets ? "End of file before finding all Vorbis headers!" : kMsgCorrupt;
    return 0;
  }
  return 1;
}

// Progress at every 4096th sample of the stream.
template <typename Percent>
void marks(int64_t at, int take, Percent percent) {
  for (int64_t mark = (at + 4095) / 4096 * 4096; mark < at + take; mark += 4096) percent(mark);
}

int percentof(int64_t done, int32_t count) { return static_cast<int>(std::min<int64_t>(100, done * 100 / count)); }

// One decoder over the whole read.
int decodeone(PageReader& r, int32_t first, int32_t count, int channels, int16_t** buffers,
              void (*progress)(int percent), const char** message) {
  Part part;
  part.keep = first;
  part.end = int64_t{first} + count;
  return decodepart(
      r, part, channels, buffers,
      [&](int64_t at, int take) {
        if (progress && count > 0)
          marks(at, take, [&](int64_t mark) { progress(percentof(std::max<int64_t>(0, mark - first), count)); });
      },
      message);
}

}  // namespace

int oggvorbis_decode(gfile* file, int32_t first, int32_t count, int channels, int16_t** buffers,
                     void (*progress)(int percent), const char** message) {
  PageReader r(file);
  return decodeone(r, first, count, channels, buffers, progress, message);
}

int oggvorbis_plan_split(const uint8_t* data, int32_t size, int64_t at, OGGVORBIS_SPLIT* split) {
  if (!data || size <= 0 || at <= 0) return 0;
  PageReader r(data, size);
  ogg_page page;
  int32_t offset = 0;
  Stream s;
  if (r.nextat(&page, &offset) != 1 || !ogg_page_bos(&page) || s.begin(&page)) return 0;
  const int serial = ogg_page_serialno(&page);
  // Every packet's output is what the block sizes say, and every granule agrees with that count,
  // up to the first granule at or after the split: from there on both decoders track the same one.
  int64_t packetno = 0, natural = 0, candidate = -1;
  int32_t candidateoffset = 0;
  long previous = 0;
  bool chosen = false;
  OGGVORBIS_SPLIT plan{};
  for (int got; (got = r.nextat(&page, &offset)) != 0;) {
    if (got < 0 || ogg_page_bos(&page) || ogg_page_serialno(&page) != serial) return 0;
    if (!chosen && s.headers == kHeaderPackets && !ogg_page_continued(&page)) {
      candidate = packetno;
      candidateoffset = offset;
    }
    if (ogg_stream_pagein(&s.os, &page) < 0) return 0;
    ogg_packet packet;
    for (int p; (p = ogg_stream_packetout(&s.os, &packet)) != 0;) {
      if (p < 0) return 0;
      if (s.headers < kHeaderPackets) {
        if (vorbis_synthesis_headerin(&s.vi, &s.vc, &packet) < 0) return 0;
        ++s.headers;
        continue;
      }
      const long block = vorbis_packet_blocksize(&s.vi, &packet);
      if (block <= 0 || packet.e_o_s) return 0;
      if (packetno > 0) natural += previous / 4 + block / 4;
      previous = block;
      if (packet.granulepos != -1 && packet.granulepos != natural) return 0;
      if (!chosen && packetno == candidate && natural >= at) {
        chosen = true;
        plan = {candidateoffset, packetno, natural, 0};
      } else if (chosen && packetno == plan.packet + 1) {
        plan.expect = static_cast<int32_t>(natural - plan.sample);
      }
      if (chosen && packetno > plan.packet && packet.granulepos != -1) {
        *split = plan;
        return 1;
      }
      ++packetno;
    }
  }
  return 0;
}

int oggvorbis_decode_memory(const uint8_t* data, int32_t size, const OGGVORBIS_SPLIT* split, int32_t first,
                            int32_t count, int channels, int16_t** buffers, void (*progress)(int percent),
                            const char** message) {
  if (split && split->sample > first && split->sample < int64_t{first} + count) {
    Part a, b;
    a.keep = first;
    a.end = split->sample;
    a.split = b.split = split;
    b.at = b.keep = split->sample;
    b.end = int64_t{first} + count;
    b.second = true;
    PageReader ra(data, size), rb(data, size);
    const char* bmessage = nullptr;
    int bok = 0;
    const auto second = [&] { bok = decodepart(rb, b, channels, buffers, [](int64_t, int) {}, &bmessage); };
    std::thread worker;
    try {
      worker = std::thread(second);
    } catch (const std::system_error&) {
      // No thread: this one decodes the second part after the first.
    }
    const auto report = [&](int64_t at, int take) {
      if (progress)
        marks(at, take, [&](int64_t mark) {
          progress(percentof(std::max<int64_t>(0, mark - first) + b.stored.load(std::memory_order_relaxed), count));
        });
    };
    const int aok = decodepart(ra, a, channels, buffers, report, message);
    if (worker.joinable()) {
      worker.join();
    } else {
      second();
    }
    if (aok && bok && a.exact && b.exact) {
      if (progress) progress(100);
      return 2;
    }
    // A stream that did not keep to the plan, or a failure: one decoder gives the samples, or the
    // message, of a read without the split.
  }
  PageReader r(data, size);
  return decodeone(r, first, count, channels, buffers, progress, message);
}

int64_t oggvorbis_encode(const int16_t* const* samples, int channels, int32_t rate, int32_t frames,
                         const OGGVORBIS_SINK* sink, void (*progress)(int percent), const char** message) {
  if (rate != OGGVORBIS_WRITERATE) {
    *message =
        "Cannot convert audio data with this samplerate to ogg vorbis format.  Please re-sample input data "
        "to "
        "44.1kHz";
    return -1;
  }
  vorbis_info vi;
  vorbis_info_init(&vi);
  if (vorbis_encode_init_vbr(&vi, channels, rate, kWriteQuality) != 0) {
    vorbis_info_clear(&vi);
    *message = "Could not write header data";
    return -1;
  }
  vorbis_comment vc;
  vorbis_comment_init(&vc);
  vorbis_comment_add(&vc, "Track encoded by AUREX");
  vorbis_dsp_state vd;
  vorbis_block vb;
  vorbis_analysis_init(&vd, &vi);
  vorbis_block_init(&vd, &vb);
  ogg_stream_state os;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  ogg_stream_init(&os, std::rand());

  int64_t written = 0;
  bool ok = true;
  const auto put = [&](const ogg_page& page) {
    ok = ok && sink->write(sink->context, page.header, static_cast<int32_t>(page.header_len)) &&
         sink->write(sink->context, page.body, static_cast<int32_t>(page.body_len));
    written += page.header_len + page.body_len;
  };
  ogg_packet header, comments, setup;
  if (vorbis_analysis_headerout(&vd, &vc, &header, &comments, &setup) != 0) {
    *message = "Could not write header data";
    ok = false;
  } else {
    ogg_stream_packetin(&os, &header);
    ogg_stream_packetin(&os, &comments);
    ogg_stream_packetin(&os, &setup);
    // The headers stand on pages of their own, before any audio.
    for (ogg_page page; ok && ogg_stream_flush(&os, &page) != 0;) put(page);
    if (!ok) *message = nullptr;
  }
  bool eos = false, ended = false;
  for (int32_t at = 0; ok && !eos;) {
    const int32_t n = std::min<int32_t>(OGGVORBIS_BLOCKBYTES, frames - at);
    if (n > 0) {
      float** buf = vorbis_analysis_buffer(&vd, n);
      for (int c = 0; c < channels; ++c)
        for (int32_t i = 0; i < n; ++i) buf[c][i] = samples[c][at + i] / 32768.0f;
      vorbis_analysis_wrote(&vd, n);
      at += n;
      if (progress) progress(static_cast<int>(int64_t{at} * 100 / frames));
    } else {
      if (ended) break;
      vorbis_analysis_wrote(&vd, 0);  // the end of the sound
      ended = true;
    }
    while (ok && vorbis_analysis_blockout(&vd, &vb) == 1) {
      vorbis_analysis(&vb, nullptr);
      vorbis_bitrate_addblock(&vb);
      ogg_packet packet;
      while (ok && vorbis_bitrate_flushpacket(&vd, &packet)) {
        ogg_stream_packetin(&os, &packet);
        for (ogg_page page; ok && ogg_stream_pageout(&os, &page) != 0;) {
          put(page);
          eos = eos || ogg_page_eos(&page);
        }
      }
    }
    if (!ok) *message = nullptr;
  }
  ogg_stream_clear(&os);
  vorbis_block_clear(&vb);
  vorbis_dsp_clear(&vd);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  return ok ? written : -1;
}
