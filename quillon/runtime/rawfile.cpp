// Raw files over POSIX descriptors (pread/pwrite) or a mapped view.
#include "quillon/runtime/rawfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "quillon/platform/platform_file.h"
#include "quillon/runtime/filesys.h"

namespace {

constexpr int kDefaultTransfer = 16384;
constexpr int kUnknownSector = 2048;

struct Raw {
  bool in_use = false;
  int drive = 0;
  std::atomic<uint8_t> busy{0};
  int mode = 0;
  int fd = -1;
  int transfer = 0;
  uint8_t* view = nullptr;  // mapped file or archive entry
  int32_t view_length = 0;
  bool owns_view = false;
  int32_t position = 0;
  int32_t length = 0;
};

struct Table {
  std::mutex mutex;  // the table's entries
  std::vector<Raw> files;
  std::mutex drives[FILESYS_DEVICES];  // one per disk, held during each transfer
  std::mutex devices_mutex;
  std::vector<uint64_t> devices;  // file system ids in the order first seen
};

Table& table() {
  static Table& t = *new Table;
  return t;
}

Raw* entry(int file) {
  Table& t = table();
  const int index = ~file;
  if (file >= 0 || index >= static_cast<int>(t.files.size()) || !t.files[index].in_use) return nullptr;
  return &t.files[index];
}

int take_entry(int* error) {
  Table& t = table();
  for (size_t i = 0; i < t.files.size(); ++i)
    if (!t.files[i].in_use) {
      t.files[i].in_use = true;
      return ~static_cast<int>(i);
    }
  *error = EMFILE;
  return 0;
}

void release(Raw& r) {
  if (r.owns_view) platform_file_unmap(r.view, static_cast<size_t>(r.view_length));
  if (r.fd >= 0) ::close(r.fd);
  r.fd = -1;
  r.view = nullptr;
  r.view_length = 0;
  r.owns_view = false;
  r.in_use = false;
}

}  // namespace

int RAW_init(int count) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.files = std::vector<Raw>(static_cast<size_t>(count > 0 ? count : 64));
  return 1;
}

void RAW_shutdown() {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  for (Raw& r : t.files)
    if (r.in_use) release(r);
  t.files = std::vector<Raw>();
}

int RAW_pathdevice(const char* path) {
  uint64_t id = 0;
  if (!platform_file_device(path, &id)) return 0;
  Table& t = table();
  std::lock_guard lock(t.devices_mutex);
  auto it = std::find(t.devices.begin(), t.devices.end(), id);
  if (it == t.devices.end()) it = t.devices.insert(t.devices.end(), id);
  // More file systems than devices share devices; each still gets one of 1..31.
  return static_cast<int>((it - t.devices.begin()) % (FILESYS_DEVICES - 1)) + 1;
}

int RAW_open(const char* path, int mode, int transfer, int* error) {
  *error = 0;
  const int drive = RAW_pathdevice(path);
  Table& t = table();
  std::unique_lock lock(t.mutex);
  const int file = take_entry(error);
  if (!file) return 0;
  Raw& r = t.files[~file];
  lock.unlock();
  std::lock_guard drive_lock(t.drives[drive]);
  int flags = (mode & RAW_WRITE) ? ((mode & RAW_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  const int disposition = mode & (RAW_CREATE | RAW_TRUNCATE);
  if (disposition == (RAW_CREATE | RAW_TRUNCATE)) flags |= O_CREAT | O_TRUNC;
  if (disposition == RAW_CREATE) flags |= O_CREAT | O_EXCL;
  if (disposition == RAW_TRUNCATE) flags |= O_TRUNC;
  if (mode & RAW_WRITETHROUGH) flags |= O_DSYNC;
  const int fd = ::open(path, flags | O_CLOEXEC, 0666);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || st.st_size > INT32_MAX) {
    *error = fd < 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : EFBIG);
    if (fd >= 0) ::close(fd);
    std::lock_guard relock(t.mutex);
    r.in_use = false;
    return 0;
  }
  if (mode & RAW_SEQUENTIAL) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const int sector = platform_file_sectorsize(fd) > 0 ? platform_file_sectorsize(fd) : kUnknownSector;
  r.drive = drive;
  r.mode = mode;
  r.fd = fd;
  r.transfer = transfer > 0 ? (transfer + sector - 1) / sector * sector : kDefaultTransfer;
  r.position = 0;
  r.length = static_cast<int32_t>(st.st_size);
  if (mode & RAW_MAP) {
    // Without a mapping (an empty file, say) the file is read the ordinary way.
    r.view =
        static_cast<uint8_t*>(platform_file_map(fd, static_cast<size_t>(r.length), (mode & RAW_WRITE) != 0));
    r.owns_view = r.view != nullptr;
    r.view_length = r.view ? r.length : 0;
  }
  return file;
}

int RAW_openmemory(const uint8_t* data, int32_t length, int* error) {
  *error = 0;
  Table& t = table();
  std::lock_guard lock(t.mutex);
  const int file = take_entry(error);
  if (!file) return 0;
  Raw& r = t.files[~file];
  r.drive = 0;
  r.mode = RAW_READ;
  r.fd = -1;
  r.transfer = kDefaultTransfer;
  r.view = const_cast<uint8_t*>(data);
  r.view_length = length;
  r.owns_view = false;
  r.position = 0;
  r.length = length;
  return file;
}

int RAW_close(int file) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  Raw* r = entry(file);
  if (!r) return 0;
  release(*r);
  return 1;
}

int RAW_device(int file) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  const Raw* r = entry(file);
  return r ? r->drive : -1;
}

int32_t RAW_length(int file, int* error) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  const Raw* r = entry(file);
  *error = r ? 0 : EBADF;
  return r ? r->length : 0;
}

namespace {

int32_t transfer(int file, int32_t position, uint8_t* buffer, int32_t count, bool write, int* error) {
  *error = 0;
  Table& t = table();
  Raw* r;
  {
    std::lock_guard lock(t.mutex);
    r = entry(file);
  }
  if (!r || count < 0 || position < 0 || (write && !(r->mode & RAW_WRITE))) {
    *error = !r ? EBADF : (count < 0 || position < 0 ? EINVAL : EBADF);
    return 0;
  }
  std::lock_guard drive_lock(t.drives[r->drive]);
  r->position = position;
  if (!write) count = std::max(0, std::min(count, r->length - position));
  if (write && count > INT32_MAX - position) count = INT32_MAX - position;
  r->busy = 1;
  int32_t moved = 0;
  while (moved < count && r->busy) {
    const int32_t piece = std::min(count - moved, r->transfer);
    ssize_t n;
    if (r->view && position + moved + piece <= r->view_length) {
      if (write)
        std::memcpy(r->view + position + moved, buffer + moved, static_cast<size_t>(piece));
      else
        std::memcpy(buffer + moved, r->view + position + moved, static_cast<size_t>(piece));
      n = piece;
      std::this_thread::yield();
    } else if (r->fd < 0) {
      n = 0;  // memory files are not written past their end
    } else {
      n = write ? ::pwrite(r->fd, buffer + moved, static_cast<size_t>(piece), position + moved)
                : ::pread(r->fd, buffer + moved, static_cast<size_t>(piece), position + moved);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
    }
    if (n < 0) {
      *error = errno;
      r->busy = 0;
      return 0;
    }
    moved += static_cast<int32_t>(n);
    if (n < piece) break;
  }
  r->busy = 0;
  r->position = position + moved;
  if (write) r->length = std::max(r->length, r->position);
  return moved;
}

}  // namespace

int32_t RAW_read(int file, int32_t position, void* buffer, int32_t count, int* error) {
  return transfer(file, position, static_cast<uint8_t*>(buffer), count, false, error);
}

int32_t RAW_write(int file, int32_t position, const void* buffer, int32_t count, int* error) {
  return transfer(file, position, static_cast<uint8_t*>(const_cast<void*>(buffer)), count, true, error);
}

int RAW_setend(int file, int32_t length, int* error) {
  *error = 0;
  Table& t = table();
  Raw* r;
  {
    std::lock_guard lock(t.mutex);
    r = entry(file);
  }
  if (!r || r->fd < 0 || !(r->mode & RAW_WRITE) || length < 0) {
    *error = r && length < 0 ? EINVAL : EBADF;
    return 0;
  }
  std::lock_guard drive_lock(t.drives[r->drive]);
  if (r->owns_view && length < r->view_length) {
    // The view would reach past the end of the file; it is used the ordinary way from now on.
    platform_file_unmap(r->view, static_cast<size_t>(r->view_length));
    r->view = nullptr;
    r->view_length = 0;
    r->owns_view = false;
  }
  if (::ftruncate(r->fd, length) != 0) {
    *error = errno;
    return 0;
  }
  r->length = length;
  return 1;
}

void RAW_stop(int file) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  if (Raw* r = entry(file)) r->busy = 0;
}

const uint8_t* RAW_view(int file, int32_t* length) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  const Raw* r = entry(file);
  *length = r && r->owns_view ? r->view_length : 0;
  return r && r->owns_view ? r->view : nullptr;
}
