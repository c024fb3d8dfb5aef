#include "quillon/formats/moviebind.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
}

#include "quillon/runtime/gfile.h"

namespace {

constexpr int kIoBufferBytes = 32768;
constexpr int64_t kMaxWaveData = INT32_MAX - 64;  // what a WAVE file and our reader can hold

// The entry points, looked up by name; the types are those of the headers we build against, whose
// major versions are also the libraries' file names.
struct Api {
#define MOVIE_ENTRY(name) decltype(&::name) name = nullptr;
  MOVIE_ENTRY(avformat_version)
  MOVIE_ENTRY(avformat_alloc_context)
  MOVIE_ENTRY(avformat_open_input)
  MOVIE_ENTRY(avformat_find_stream_info)
  MOVIE_ENTRY(avformat_close_input)
  MOVIE_ENTRY(av_find_input_format)
  MOVIE_ENTRY(av_read_frame)
  MOVIE_ENTRY(avio_alloc_context)
  MOVIE_ENTRY(avio_context_free)
  MOVIE_ENTRY(avcodec_version)
  MOVIE_ENTRY(avcodec_find_decoder)
  MOVIE_ENTRY(avcodec_alloc_context3)
  MOVIE_ENTRY(avcodec_parameters_to_context)
  MOVIE_ENTRY(avcodec_open2)
  MOVIE_ENTRY(avcodec_free_context)
  MOVIE_ENTRY(avcodec_send_packet)
  MOVIE_ENTRY(avcodec_receive_frame)
  MOVIE_ENTRY(av_packet_alloc)
  MOVIE_ENTRY(av_packet_free)
  MOVIE_ENTRY(av_packet_unref)
  MOVIE_ENTRY(avutil_version)
  MOVIE_ENTRY(av_malloc)
  MOVIE_ENTRY(av_freep)
  MOVIE_ENTRY(av_frame_alloc)
  MOVIE_ENTRY(av_frame_free)
  MOVIE_ENTRY(av_channel_layout_default)
  MOVIE_ENTRY(av_channel_layout_copy)
  MOVIE_ENTRY(av_channel_layout_uninit)
  MOVIE_ENTRY(av_log_set_level)
  MOVIE_ENTRY(swresample_version)
  MOVIE_ENTRY(swr_alloc_set_opts2)
  MOVIE_ENTRY(swr_init)
  MOVIE_ENTRY(swr_convert)
  MOVIE_ENTRY(swr_get_out_samples)
  MOVIE_ENTRY(swr_free)
#undef MOVIE_ENTRY
};

#define MOVIE_STR2(x) #x
#define MOVIE_STR(x) MOVIE_STR2(x)
const char* const kLibraries[] = {
    "libavutil.so." MOVIE_STR(LIBAVUTIL_VERSION_MAJOR),
    "libswresample.so." MOVIE_STR(LIBSWRESAMPLE_VERSION_MAJOR),
    "libavcodec.so." MOVIE_STR(LIBAVCODEC_VERSION_MAJOR),
    "libavformat.so." MOVIE_STR(LIBAVFORMAT_VERSION_MAJOR),
};
constexpr int kNumLibraries = 4;

std::mutex g_lock;
int g_users = 0;
void* g_handles[kNumLibraries] = {};
Api g_api;
bool g_loaded = false;

void unload() {
  for (void*& h : g_handles) {
    if (h) dlclose(h);
    h = nullptr;
  }
  g_api = Api{};
  g_loaded = false;
}

template <typename T>
bool lookup(T& fn, const char* name) {
  for (void* h : g_handles) {
    if (void* p = h ? dlsym(h, name) : nullptr) {
      fn = reinterpret_cast<T>(p);
      return true;
    }
  }
  return false;
}

int load() {
  const char* dir = std::getenv("QUILLON_MOVIELIBS");
  for (int i = 0; i < kNumLibraries; ++i) {
    const std::string name = dir && *dir ? std::string(dir) + "/" + kLibraries[i] : kLibraries[i];
    // The last release closes the handles, but the code stays mapped: the libraries keep
    // state of their own that unloading would leak.
    g_handles[i] = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!g_handles[i]) return unload(), MOVIE_ERR_NOLIBRARY;
  }
  Api& a = g_api;
  bool ok = true;
#define MOVIE_LOOKUP(name) ok = lookup(a.name, #name) && ok;
  MOVIE_LOOKUP(avformat_version)
  MOVIE_LOOKUP(avformat_alloc_context)
  MOVIE_LOOKUP(avformat_open_input)
  MOVIE_LOOKUP(avformat_find_stream_info)
  MOVIE_LOOKUP(avformat_close_input)
  MOVIE_LOOKUP(av_find_input_format)
  MOVIE_LOOKUP(av_read_frame)
  MOVIE_LOOKUP(avio_alloc_context)
  MOVIE_LOOKUP(avio_context_free)
  MOVIE_LOOKUP(avcodec_version)
  MOVIE_LOOKUP(avcodec_find_decoder)
  MOVIE_LOOKUP(avcodec_alloc_context3)
  MOVIE_LOOKUP(avcodec_parameters_to_context)
  MOVIE_LOOKUP(avcodec_open2)
  MOVIE_LOOKUP(avcodec_free_context)
  MOVIE_LOOKUP(avcodec_send_packet)
  MOVIE_LOOKUP(avcodec_receive_frame)
  MOVIE_LOOKUP(av_packet_alloc)
  MOVIE_LOOKUP(av_packet_free)
  MOVIE_LOOKUP(av_packet_unref)
  MOVIE_LOOKUP(avutil_version)
  MOVIE_LOOKUP(av_malloc)
  MOVIE_LOOKUP(av_freep)
  MOVIE_LOOKUP(av_frame_alloc)
  MOVIE_LOOKUP(av_frame_free)
  MOVIE_LOOKUP(av_channel_layout_default)
  MOVIE_LOOKUP(av_channel_layout_copy)
  MOVIE_LOOKUP(av_channel_layout_uninit)
  MOVIE_LOOKUP(av_log_set_level)
  MOVIE_LOOKUP(swresample_version)
  MOVIE_LOOKUP(swr_alloc_set_opts2)
  MOVIE_LOOKUP(swr_init)
  MOVIE_LOOKUP(swr_convert)
  MOVIE_LOOKUP(swr_get_out_samples)
  MOVIE_LOOKUP(swr_free)
#undef MOVIE_LOOKUP
  if (!ok) return unload(), MOVIE_ERR_NOENTRY;
  // The records we read are laid out as in the headers only for the same major versions.
  if (AV_VERSION_MAJOR(a.avformat_version()) != LIBAVFORMAT_VERSION_MAJOR ||
      AV_VERSION_MAJOR(a.avcodec_version()) != LIBAVCODEC_VERSION_MAJOR ||
      AV_VERSION_MAJOR(a.avutil_version()) != LIBAVUTIL_VERSION_MAJOR ||
      AV_VERSION_MAJOR(a.swresample_version()) != LIBSWRESAMPLE_VERSION_MAJOR)
    return unload(), MOVIE_ERR_NOLIBRARY;
  a.av_log_set_level(AV_LOG_QUIET);
  g_loaded = true;
  return MOVIE_OK;
}

int readpacket(void* opaque, uint8_t* buf, int size) {
  const int32_t n = gread(static_cast<gfile*>(opaque), buf, size);
  return n > 0 ? n : AVERROR_EOF;
}

int64_t seekfile(void* opaque, int64_t offset, int whence) {
  auto* f = static_cast<gfile*>(opaque);
  const int64_t size = gsize(f);
  if (whence & AVSEEK_SIZE) return size;
  int64_t to = offset;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_CUR:
      to += gtell(f);
      break;
    case SEEK_END:
      to += size;
      break;
    case SEEK_SET:
      break;
    default:
      return -1;
  }
  if (to < 0 || to > size || gseek(f, static_cast<int32_t>(to)) != 1) return -1;
  return to;
}

bool writeall(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void le(uint8_t* p, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 44-byte header of a 16-bit PCM WAVE file.
void waveheader(uint8_t* h, int channels, int32_t rate, uint32_t databytes) {
  std::memcpy(h, "RIFF", 4);
  le(h + 4, 36 + databytes, 4);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  le(h + 16, 16, 4);
  le(h + 20, 1, 2);
  le(h + 22, static_cast<uint32_t>(channels), 2);
  le(h + 24, static_cast<uint32_t>(rate), 4);
  le(h + 28, static_cast<uint32_t>(rate * channels * 2), 4);
  le(h + 32, static_cast<uint32_t>(channels * 2), 2);
  le(h + 34, 16, 2);
  std::memcpy(h + 36, "data", 4);
  le(h + 40, databytes, 4);
}

}  // namespace

struct MOVIE {
  AVFormatContext* format = nullptr;
  AVIOContext* io = nullptr;
  int stream = -1;  // the first sound track
};

int movie_init() {
  const std::lock_guard<std::mutex> hold(g_lock);
  if (!g_loaded) {
    if (const int r = load(); r != MOVIE_OK) return r;
  }
  ++g_users;
  return MOVIE_OK;
}

void movie_release() {
  const std::lock_guard<std::mutex> hold(g_lock);
  if (g_users > 0 && --g_users == 0) unload();
}

int movie_open(gfile* file, MOVIE** out) {
  *out = nullptr;
  if (!g_loaded) return MOVIE_ERR_NOTINIT;
  const Api& a = g_api;
  auto* m = new MOVIE;
  auto* buffer = static_cast<uint8_t*>(a.av_malloc(kIoBufferBytes));
  m->io =
      buffer ? a.avio_alloc_context(buffer, kIoBufferBytes, 0, file, readpacket, nullptr, seekfile) : nullptr;
  if (!m->io) {
    a.av_freep(&buffer);
    movie_close(m);
    return MOVIE_ERR_OPEN;
  }
  gseek(file, 0);
  m->format = a.avformat_alloc_context();
  if (m->format) {
    m->format->pb = m->io;
    m->format->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  // Only the movie demuxer: the module identified the file as a movie, and nothing else may
  // read it.
  if (!m->format || a.avformat_open_input(&m->format, nullptr, a.av_find_input_format("mov"), nullptr) < 0 ||
      a.avformat_find_stream_info(m->format, nullptr) < 0) {
    movie_close(m);
    return MOVIE_ERR_OPEN;
  }
  for (unsigned i = 0; i < m->format->nb_streams && m->stream < 0; ++i)
    if (m->format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) m->stream = static_cast<int>(i);
  *out = m;
  return MOVIE_OK;
}

void movie_close(MOVIE* m) {
  if (!m) return;
  const Api& a = g_api;
  if (m->format) a.avformat_close_input(&m->format);
  if (m->io) {
    a.av_freep(&m->io->buffer);
    a.avio_context_free(&m->io);
  }
  delete m;
}

int movie_sound(MOVIE* m, MOVIE_SOUND* sound) {
  if (m->format->nb_streams == 0) return MOVIE_ERR_NOTRACKS;
  if (m->stream < 0) return MOVIE_ERR_NOSOUND;
  const AVStream* s = m->format->streams[m->stream];
  const AVCodecParameters* p = s->codecpar;
  if (!g_api.avcodec_find_decoder(p->codec_id)) return MOVIE_ERR_CODEC;
  sound->channels = std::min(p->ch_layout.nb_channels, 2);
  sound->rate = p->sample_rate;
  int64_t frames = 0;
  if (s->duration > 0 && s->time_base.den > 0)
    frames = static_cast<int64_t>(static_cast<double>(s->duration) * s->time_base.num * p->sample_rate /
                                  s->time_base.den);
  sound->frames = frames;
  return MOVIE_OK;
}

int movie_towave(MOVIE* m, int fd, int64_t* frames) {
  *frames = 0;
  const Api& a = g_api;
  MOVIE_SOUND sound{};
  if (const int r = movie_sound(m, &sound); r != MOVIE_OK) return r;
  const AVCodecParameters* par = m->format->streams[m->stream]->codecpar;
  const AVCodec* codec = a.avcodec_find_decoder(par->codec_id);
  AVCodecContext* ctx = a.avcodec_alloc_context3(codec);
  AVPacket* packet = a.av_packet_alloc();
  AVFrame* frame = a.av_frame_alloc();
  SwrContext* swr = nullptr;
  AVChannelLayout inlayout{}, outlayout{};
  uint8_t* out = nullptr;
  int outcapacity = 0;
  int64_t written = 0;
  int result = MOVIE_OK;
  bool ok = ctx && packet && frame && a.avcodec_parameters_to_context(ctx, par) >= 0 &&
            a.avcodec_open2(ctx, codec, nullptr) >= 0;
  if (!ok) result = MOVIE_ERR_CODEC;
  uint8_t header[44];
  waveheader(header, sound.channels, sound.rate, 0);
  ok = ok && writeall(fd, header, sizeof header);

  // Every decoded frame goes through the converter: 16 bits, at most two channels, the rate kept.
  const auto convert = [&](const uint8_t** data, int samples) {
    if (!swr) {
      if (ctx->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        a.av_channel_layout_default(&inlayout, ctx->ch_layout.nb_channels);
      else
        a.av_channel_layout_copy(&inlayout, &ctx->ch_layout);
      a.av_channel_layout_default(&outlayout, sound.channels);
      if (a.swr_alloc_set_opts2(&swr, &outlayout, AV_SAMPLE_FMT_S16, sound.rate, &inlayout, ctx->sample_fmt,
                                ctx->sample_rate, 0, nullptr) < 0 ||
          a.swr_init(swr) < 0)
        return false;
    }
    const int room = a.swr_get_out_samples(swr, samples);
    if (room < 0) return false;
    if (room > outcapacity) {
      a.av_freep(&out);
      out = static_cast<uint8_t*>(a.av_malloc(static_cast<size_t>(room) * sound.channels * 2));
      outcapacity = out ? room : 0;
      if (!out) return false;
    }
    const int got = a.swr_convert(swr, &out, outcapacity, data, samples);
    if (got < 0) return false;
    const int64_t bytes = int64_t{got} * sound.channels * 2;
    if ((written + got) * sound.channels * 2 > kMaxWaveData) return false;
    written += got;
    return writeall(fd, out, static_cast<size_t>(bytes));
  };
  const auto drain = [&]() {
    while (a.avcodec_receive_frame(ctx, frame) == 0) {
      // A track whose layout or rate changes midway is not one sound.
      if (frame->sample_rate != ctx->sample_rate || frame->format != ctx->sample_fmt ||
          frame->ch_layout.nb_channels != ctx->ch_layout.nb_channels ||
          !convert(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples))
        return false;
    }
    return true;
  };
  while (ok && a.av_read_frame(m->format, packet) >= 0) {
    if (packet->stream_index == m->stream) ok = a.avcodec_send_packet(ctx, packet) >= 0 && drain();
    a.av_packet_unref(packet);
  }
  if (ok) ok = a.avcodec_send_packet(ctx, nullptr) >= 0 && drain();
  if (ok && swr) ok = convert(nullptr, 0);  // what the converter still holds
  if (ok) {
    waveheader(header, sound.channels, sound.rate, static_cast<uint32_t>(written * sound.channels * 2));
    ok = pwrite(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
  }
  if (!ok && result == MOVIE_OK) result = MOVIE_ERR_CONVERT;
  *frames = written;
  a.av_freep(&out);
  if (swr) a.swr_free(&swr);
  a.av_channel_layout_uninit(&inlayout);
  a.av_channel_layout_uninit(&outlayout);
  if (frame) a.av_frame_free(&frame);
  if (packet) a.av_packet_free(&packet);
  if (ctx) a.avcodec_free_context(&ctx);
  return result;
}
