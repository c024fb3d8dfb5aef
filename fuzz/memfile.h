// An in-memory file with a path, so that fuzz targets can hand their input to readers that
// open files by name.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

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
