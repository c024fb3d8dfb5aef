// Linux: st_dev names the file system, st_blksize its transfer unit, mmap maps files.
#include "quillon/platform/platform_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

int platform_file_device(const char* path, uint64_t* device) {
  std::string p = path && *path ? path : ".";
  if (p[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) p = std::string(cwd) + "/" + p;
  }
  for (;;) {
    struct stat st;
    if (stat(p.c_str(), &st) == 0) {
      *device = static_cast<uint64_t>(st.st_dev);
      return 1;
    }
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return 0;
    p.resize(slash == 0 ? 1 : slash);
    if (p == "/" && stat("/", &st) == 0) {
      *device = static_cast<uint64_t>(st.st_dev);
      return 1;
    }
  }
}

int platform_file_sectorsize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_blksize <= 0) return 0;
  return static_cast<int>(st.st_blksize);
}

void* platform_file_map(int fd, size_t length, int writable) {
  if (length == 0) return nullptr;
  void* view = mmap(nullptr, length, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

void platform_file_unmap(void* view, size_t length) {
  if (view) munmap(view, length);
}
