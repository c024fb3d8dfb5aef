#include "quillon/app/cliutil.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

namespace {

int g_lastdrawn = -1;

void drawprogress(int percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  if (percent == g_lastdrawn) return;
  g_lastdrawn = percent;
  constexpr int kWidth = 40;
  char bar[kWidth + 1];
  const int filled = percent * kWidth / 100;
  std::memset(bar, '#', static_cast<size_t>(filled));
  std::memset(bar + filled, '.', static_cast<size_t>(kWidth - filled));
  bar[kWidth] = 0;
  std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
  std::fflush(stderr);
}

}  // namespace

ProgressBar::ProgressBar() {
  if (isatty(STDERR_FILENO)) AUREX_setprogress(drawprogress);
}

void (*ProgressBar::drawer() const)(int) {
  return isatty(STDERR_FILENO) ? drawprogress : nullptr;
}

ProgressBar::~ProgressBar() {
  AUREX_setprogress(nullptr);
  if (g_lastdrawn >= 0) std::fputs("\r\033[K", stderr);
  g_lastdrawn = -1;
}

AtomicOutput::AtomicOutput(std::string target) : target_(std::move(target)) {
  if (target_.rfind("con:", 0) == 0) {
    file_ = gwopen(target_.c_str());
    return;
  }
  const size_t slash = target_.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string pattern = folder + "." + name + ".XXXXXX";
  // mkstemp creates a fresh name exclusively (never through a link planted at it), and the file
  // is written through that descriptor, never reopened by name.
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return;
  // mkstemp makes the file private; give it the permissions a newly created file would get.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  file_ = gwopenfd(fd);
  if (file_) {
    temp_ = pattern;
    fd_ = fd;
  } else {
    std::remove(pattern.c_str());
  }
}

AtomicOutput::~AtomicOutput() {
  if (file_) gclose(file_);
  if (!temp_.empty()) std::remove(temp_.c_str());
}

bool AtomicOutput::commit() {
  if (!file_) return false;
  // The data reaches the disk before the rename, and the folder's new entry after it: otherwise
  // a power loss can leave the target renamed but empty or short.
  gwriteflush(file_);
  const bool flushed = temp_.empty() || fsync(fd_) == 0;
  const bool closed = gclose(file_) == 1;
  file_ = nullptr;
  if (temp_.empty()) return closed;
  // rename replaces a link at the target itself and never writes through it.
  if (!flushed || !closed || std::rename(temp_.c_str(), target_.c_str()) != 0) return false;
  temp_.clear();
  const size_t slash = target_.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    ::close(dir);
  }
  return true;
}

SINFO* cli_load(const std::string& path, int* format, std::string* error, int element) {
  gfile* f = gopen(path.c_str());
  if (!f) {
    *error = "Could not open " + path + " for reading";
    return nullptr;
  }
  SINFO* info = nullptr;
  SINSTANCE* inst = nullptr;
  *format = AUREX_identify(f);
  if (*format < 0) {
    *error = "Unknown file format in " + path;
  } else if (AUREX_open(f, &inst, *format) < 1) {
    *error = "Failed to read " + path + ": " + AUREX_lasterror();
  } else if (!AUREX_info(inst, &info, element)) {
    *error = path + " contains invalid data: " + AUREX_lasterror();
  } else if (!AUREX_read(inst, info, element)) {
    *error = "Failed to read " + path + ": " + AUREX_lasterror();
    AUREX_freesinfo(info);
    info = nullptr;
  }
  if (inst) AUREX_close(inst);
  gclose(f);
  return info;
}

bool cli_parseelement(const char* word, int* element) {
  char* end = nullptr;
  const long v = std::strtol(word, &end, 10);
  if (end == word || *end != '\0' || v < 0 || v > 511) return false;
  *element = static_cast<int>(v);
  return true;
}

int cli_formatbyname(const std::string& name) {
  for (int i = 0; i < AUREX_NUMFORMATS; ++i)
    if (*AUREX_formats[i].shortname && strcasecmp(name.c_str(), AUREX_formats[i].shortname) == 0) return i;
  return -1;
}

bool cli_repbyname(const std::string& name, int* rep) {
  *rep = name.empty() ? SREP_NONE : AUREX_samplerepbyname(name.c_str());
  if (name.empty() || *rep != SREP_NONE) return true;
  std::fprintf(stderr, "quillon: unknown representation '%s'\n", name.c_str());
  return false;
}

std::string cli_resolvepath(const std::string& path) {
  namespace fs = std::filesystem;
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  std::error_code ec;
  if (p.empty() || fs::exists(p, ec)) return p;
  fs::path resolved = p[0] == '/' ? fs::path("/") : fs::path();
  for (const fs::path& part : fs::path(p).relative_path()) {
    fs::path next = resolved / part;
    if (!fs::exists(next, ec)) {
      const fs::path folder = resolved.empty() ? fs::path(".") : resolved;
      for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (strcasecmp(entry.path().filename().c_str(), part.c_str()) == 0) {
          next = resolved / entry.path().filename();
          break;
        }
      }
    }
    resolved = std::move(next);
  }
  return resolved.string();
}

bool cli_parsereverb(const char* word, int* reverb) {
  char* end = nullptr;
  const long value = std::strtol(word, &end, 10);
  if (*word == 0 || *end != 0 || value < 0 || value > 127) {
    std::fprintf(stderr, "quillon: --reverb takes a number from 0 to 127\n");
    return false;
  }
  *reverb = static_cast<int>(value);
  return true;
}
