// An in-memory file with a path, so that fuzz targets can hand their input to readers that
// open files by name, and the harness shared by the sound core's format module targets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

class MemFile {
 public:
  MemFile() : fd_(memfd_create("fuzz-input", 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {}
  ~MemFile() { close(fd_); }

  // Replaces the contents with `data` and returns the path to open.
  const char* set(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) return path_.c_str();
    for (size_t done = 0; done < size;) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return path_.c_str();
  }

 private:
  int fd_;
  std::string path_;
};

// Runs one format module of the sound core over `data` as a whole file: identify, then open, info
// and read of element 0, and the clean-up.
inline void fuzz_format(const uint8_t* data, size_t size, int format) {
  static MemFile file;
  gfile* f = gopen(file.set(data, size));
  if (!f) return;
  AUREX_formats[format].identify(f);
  SINSTANCE* inst = nullptr;
  if (AUREX_open(f, &inst, format) > 0) {
    SINFO* info = nullptr;
    if (AUREX_info(inst, &info, 0)) {
      AUREX_read(inst, info, 0);
      AUREX_freesinfo(info);
    }
    AUREX_close(inst);
  }
  gclose(f);
}
