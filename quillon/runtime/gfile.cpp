// Buffered files: reads and writes of up to a window are served from one 8 KB window aligned on
// 8 KB file offsets; larger transfers move their aligned middle part straight between the
// caller's buffer and the file.
#include "quillon/runtime/gfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "quillon/runtime/gmem.h"

namespace {
constexpr int32_t kWindow = 8192;
}

struct gfile {
  FILE* stream;
  bool console;
  int32_t position;
  int32_t length;
  int32_t base;       // file offset of window[0], a multiple of kWindow
  int32_t cursor;     // index into window
  int32_t end;        // one past the last valid byte in window
  int64_t streampos;  // where the stream stands, -1 when unknown
  bool writable;
  bool dirty;
  uint8_t window[kWindow];
};

namespace {

bool seekstream(gfile* f, int64_t pos) {
  if (f->streampos == pos) return true;
  if (std::fseek(f->stream, static_cast<long>(pos), SEEK_SET) != 0) {
    f->streampos = -1;
    return false;
  }
  f->streampos = pos;
  return true;
}

int32_t readstream(gfile* f, void* dst, int32_t n) {
  if (n <= 0) return 0;
  const size_t got = std::fread(dst, 1, static_cast<size_t>(n), f->stream);
  f->streampos = got == static_cast<size_t>(n) && f->streampos >= 0 ? f->streampos + n : -1;
  return static_cast<int32_t>(got);
}

int32_t writestream(gfile* f, const void* src, int32_t n) {
  if (n <= 0) return 0;
  const size_t put = std::fwrite(src, 1, static_cast<size_t>(n), f->stream);
  f->streampos = put == static_cast<size_t>(n) && f->streampos >= 0 ? f->streampos + n : -1;
  return static_cast<int32_t>(put);
}

// Points the window at the block holding `pos`, loading what the file has there. Bytes between
// the end of the file and `pos` read as zeros, so a gap made by seeking past the end is written
// as zeros together with the window.
bool loadwindow(gfile* f, int32_t pos) {
  f->base = pos & ~(kWindow - 1);
  bool ok = seekstream(f, f->base);
  int32_t got = 0;
  if (ok && f->base < f->length) got = readstream(f, f->window, std::min(f->length - f->base, kWindow));
  const int32_t offset = pos - f->base;
  if (got < offset) std::memset(f->window + got, 0, static_cast<size_t>(offset - got));
  f->end = std::max(got, offset);
  f->cursor = offset;
  return ok;
}

bool inwindow(const gfile* f) {
  return f->position == f->base + f->cursor;
}

gfile* newhandle(FILE* stream, bool console, bool writable, int32_t length) {
  auto* f = static_cast<gfile*>(galloc(sizeof(gfile)));
  if (!f) return nullptr;
  f->stream = stream;
  f->console = console;
  f->length = length;
  f->streampos = console ? -1 : 0;
  f->writable = writable;
  return f;
}

bool isconsole(const char* path) {
  return std::strncmp(path, "con:", 4) == 0;
}

}  // namespace

gfile* gopen(const char* path) {
  if (!path) return nullptr;
  if (isconsole(path)) return newhandle(stdin, true, false, INT32_MAX);
  FILE* stream = std::fopen(path, "rb");
  if (!stream) return nullptr;
  long length = -1;
  if (std::fseek(stream, 0, SEEK_END) == 0) length = std::ftell(stream);
  if (length < 0 || length > INT32_MAX || std::fseek(stream, 0, SEEK_SET) != 0) {
    if (length > INT32_MAX) std::printf("gopen - FILE TOO LARGE (%s)\n", path);
    std::fclose(stream);
    return nullptr;
  }
  std::setvbuf(stream, nullptr, _IONBF, 0);  // the window is the buffer
  gfile* f = newhandle(stream, false, false, static_cast<int32_t>(length));
  if (!f) std::fclose(stream);
  return f;
}

gfile* gwopen(const char* path) {
  if (!path) return nullptr;
  if (isconsole(path)) return newhandle(stdout, true, true, 0);
  struct stat st;
  if (stat(path, &st) == 0) {
    if ((st.st_mode & S_IRUSR) && !(st.st_mode & S_IWUSR)) {
      std::printf("gwopen - ATTEMPT TO OPEN READONLY FILE FOR WRITING (%s)\n", path);
      return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
      std::printf("gwopen - ATTEMPT TO OPEN DIRECTORY FOR WRITING (%s)\n", path);
      return nullptr;
    }
  }
  FILE* stream = std::fopen(path, "w+b");
  if (!stream) stream = std::fopen(path, "wb");
  if (!stream) return nullptr;
  std::setvbuf(stream, nullptr, _IONBF, 0);
  gfile* f = newhandle(stream, false, true, 0);
  if (!f) std::fclose(stream);
  return f;
}

gfile* gwopenfd(int fd) {
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w+b");
  if (!stream) {
    close(fd);
    return nullptr;
  }
  std::setvbuf(stream, nullptr, _IONBF, 0);
  gfile* f = newhandle(stream, false, true, 0);
  if (!f) std::fclose(stream);
  return f;
}

int32_t gwriteflush(gfile* f) {
  if (!f) return 0;
  int32_t written = 0;
  if (f->dirty && f->writable) {
    const int32_t want = f->end;
    if (f->console || seekstream(f, f->base)) written = writestream(f, f->window, want);
    if (written < want) std::printf("gwriteflush - OUT OF DISK SPACE\n");
    f->dirty = false;
  }
  f->cursor = f->end = 0;
  std::fflush(f->stream);
  return written;
}

int32_t gread(gfile* f, void* dst, int32_t n) {
  if (!f) return 0;
  if (n < 0) n = 0;
  auto* out = static_cast<uint8_t*>(dst);
  int32_t delivered = std::min(n, f->end - f->cursor);
  if (delivered > 0 && inwindow(f)) {
    std::memcpy(out, f->window + f->cursor, static_cast<size_t>(delivered));
    f->cursor += delivered;
    f->position += delivered;
    n -= delivered;
  } else {
    delivered = 0;
  }
  const int32_t left = f->length - f->position;
  if (left < 0) {
    std::printf("gread - ATTEMPT TO READ PAST END OF FILE\n");
    return delivered;
  }
  n = std::min(n, left);
  if (n <= 0) return delivered;

  gwriteflush(f);
  const int32_t target = (f->position + n) & ~(kWindow - 1);
  if (f->position < target) {
    const int32_t want = target - f->position;
    int32_t got = 0;
    if (f->console || seekstream(f, f->position)) got = readstream(f, out + delivered, want);
    f->position += got;
    delivered += got;
    n -= got;
    if (got < want) return delivered;  // the file ended early or failed
  }
  f->base = target;
  int32_t got = 0;
  if (f->console || seekstream(f, target))
    got = readstream(f, f->window, std::min(f->length - target, kWindow));
  f->end = got;
  const int32_t rest = std::min(n, got);
  std::memcpy(out + delivered, f->window, static_cast<size_t>(rest));
  f->cursor = rest;
  f->position += rest;
  return delivered + rest;
}

int32_t gwrite(gfile* f, const void* src, int32_t n) {
  if (!f) return 0;
  if (!f->writable) {
    std::printf("gwrite - ATTEMPT TO WRITE TO A READ ONLY FILE\n");
    return 0;
  }
  if (n <= 0) return 0;
  if (!inwindow(f) && !f->console) loadwindow(f, f->position);
  const auto* in = static_cast<const uint8_t*>(src);

  const auto place = [f](const uint8_t* from, int32_t count) {
    std::memcpy(f->window + f->cursor, from, static_cast<size_t>(count));
    f->cursor += count;
    f->position += count;
    f->end = std::max(f->end, f->cursor);
    f->length = std::max(f->length, f->position);
    f->dirty = true;
  };
  const int32_t first = std::min(n, kWindow - f->cursor);
  place(in, first);
  int32_t rest = n - first;
  if (rest == 0) return n;

  gwriteflush(f);
  const int32_t target = (f->position + rest) & ~(kWindow - 1);
  if (!f->console && target < f->length && seekstream(f, target))
    f->end = readstream(f, f->window, std::min(f->length - target, kWindow));
  const int32_t direct = target - f->position;
  if (direct > 0) {
    int32_t put = 0;
    if (f->console || seekstream(f, f->position)) put = writestream(f, in + first, direct);
    if (put < direct) {
      std::printf("gwrite - OUT OF DISK SPACE\n");
      f->position += put;
      f->length = std::max(f->length, f->position);
      f->cursor = f->end = 0;
      return first + put;
    }
    f->position += put;
    f->length = std::max(f->length, f->position);
    rest -= put;
  }
  f->base = target;
  f->cursor = 0;
  place(in + first + direct, rest);
  return n;
}

int gseek(gfile* f, int32_t pos) {
  if (!f) return 0;
  int result = 1;
  if (pos < 0) {
    pos = 0;
    result = 0;
  }
  if (!f->writable && pos > f->length) {
    pos = f->length;
    result = 0;
  }
  const int64_t moved = static_cast<int64_t>(f->cursor) + pos - f->position;
  if (inwindow(f) && moved >= 0 && moved <= f->end) {
    f->cursor = static_cast<int32_t>(moved);
    f->position = pos;
    return result;
  }
  gwriteflush(f);
  f->position = pos;
  if (f->console) return 0;  // standard streams move forward only
  if (!loadwindow(f, pos)) result = 0;
  return result;
}

int32_t gtell(gfile* f) {
  return f ? f->position : 0;
}

int32_t gsize(gfile* f) {
  return f ? f->length : 0;
}

int gclose(gfile* f) {
  if (!f) return 0;
  gwriteflush(f);
  // Standard streams stay open: the program goes on printing after a "con:" handle is closed.
  const bool closed = f->console ? std::fflush(f->stream) == 0 : std::fclose(f->stream) == 0;
  return gfree(f) && closed ? 1 : 0;
}
