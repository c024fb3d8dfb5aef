// Operations from a fixed pool, queued per device in (priority, serial) order and carried out by
// the device's thread over the raw file layer.
#include "quillon/runtime/filesys.h"

#include <fcntl.h>
#include <unistd.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "quillon/runtime/diag.h"
#include "quillon/runtime/rawfile.h"
#include "quillon/runtime/thread.h"
#include "quillon/runtime/timer.h"

namespace {

constexpr const char* kSource = "pc/nfile";
constexpr int32_t kSyncPiece = 8192;  // the most a synchronous read or write moves per operation

enum Type {
  kOpen,
  kClose,
  kRead,
  kWrite,
  kSize,
  kSetEnd,
  kExists,
  kDelete,
  kMarker,
  kOpenArchive,
  kCloseArchive
};
enum Flags { kCancelled = 2, kHasCallback = 4, kCalled = 8 };

struct Op {
  int handle = 0;  // 0 while free
  int type = 0;
  int priority = 0;
  int flags = 0;
  int status = FILESYS_PENDING;
  int error = 0;
  int file = 0;
  void* user = nullptr;
  FILE_callback callback = nullptr;
  int32_t count = 0;
  void* buffer = nullptr;
  std::string name;
  int32_t mode = 0;  // open mode, or the position of a read or write
  uint64_t order = 0;
  int32_t result = 0;
};

struct Device {
  bool started = false;
  THREAD thread{};
  Op* current = nullptr;
  std::vector<Op*> pending;  // by (priority, order)
  std::vector<Op*> completed;
  EVENT* work = EVENT_create(0, 0);
  std::condition_variable done;  // an operation of the device finished
  uint32_t next_serial = 1;
  int allowed = 255;
  std::recursive_mutex atomic_section;  // an atomic section may nest on its thread
};

struct Archive {
  bool open = false;
  std::string name;
  int file = 0;
};

struct System {
  std::mutex init_mutex;
  std::atomic<bool> initialised{false};
  std::atomic<bool> shutting_down{false};
  bool exit_registered = false;
  std::mutex mutex;  // the pool, the devices' lists and the archives
  std::vector<Op> ops;
  Device devices[FILESYS_DEVICES];
  Archive archives[16];
  uint64_t next_order = 1;
};

System& sys() {
  static System& s = *new System;
  return s;
}

int device_of_op(int op) {
  return op & 31;
}

Op* find_in(std::vector<Op*>& list, int op) {
  for (Op* o : list)
    if (o->handle == op) return o;
  return nullptr;
}

void release_op(Op& o) {
  o = Op();
}

int device_thread_start(System& s, int device);

// The device whose thread this is, -1 elsewhere. A device's own thread looks at its list before
// it waits, so what it queues itself (a callback issuing the next read) needs no wake-up.
thread_local int own_device = -1;

void insert_pending(Device& d, Op* o) {
  auto at = std::upper_bound(d.pending.begin(), d.pending.end(), o, [](const Op* a, const Op* b) {
    return a->priority != b->priority ? a->priority < b->priority : a->order < b->order;
  });
  d.pending.insert(at, o);
}

// Takes a free operation and queues it on its device; the caller fills the fields in `fill`.
template <typename Fill>
int queue(int device, int type, int priority, void* user, Fill fill) {
  System& s = sys();
  if (!s.initialised) FILESYS_init(0, 0, 0);
  std::unique_lock lock(s.mutex);
  Op* o = nullptr;
  for (Op& candidate : s.ops)
    if (candidate.handle == 0) {
      o = &candidate;
      break;
    }
  if (!o) {
    lock.unlock();
    FAULT(kSource, "FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n");
    return 0;
  }
  Device& d = s.devices[device];
  if (!d.started && !device_thread_start(s, device)) {
    lock.unlock();
    FAULT(kSource, "FILE_startdevice - FAILED TO START THREAD FOR FILE SYSTEM DEVICE.\n");
    return 0;
  }
  *o = Op();
  o->type = type;
  o->priority = std::clamp(priority, 0, 255);
  o->user = user;
  fill(*o);
  o->handle = device | static_cast<int>(d.next_serial << 5);
  if (++d.next_serial > 0xFFFFFF) d.next_serial = 1;
  o->order = s.next_order++;
  insert_pending(d, o);
  const int handle = o->handle;
  lock.unlock();
  if (device != own_device) EVENT_set(d.work);
  return handle;
}

Archive* find_archive(System& s, const std::string& name) {
  for (Archive& a : s.archives)
    if (a.open && (name.empty() || a.name == name)) return &a;
  return nullptr;
}

// An "archive|entry" path: a memory file over the entry inside the archive's mapped image.
int open_entry(System& s, const std::string& path, int* error) {
  const size_t bar = path.find('|');
  int archive_file = 0;
  {
    std::lock_guard lock(s.mutex);
    const Archive* a = find_archive(s, path.substr(0, bar));
    if (a) archive_file = a->file;
  }
  int32_t length = 0;
  const uint8_t* image = archive_file ? RAW_view(archive_file, &length) : nullptr;
  uint32_t offset = 0, size = 0;
  const std::string entry = path.substr(bar + 1);
  if (!image || !BIG_locateentry(image, static_cast<size_t>(length), entry.c_str(), 0, &offset, &size) ||
      offset > static_cast<uint32_t>(length) || size > static_cast<uint32_t>(length) - offset) {
    *error = ENOENT;  // no such archive or entry, or an entry that does not lie inside the archive
    return 0;
  }
  return RAW_openmemory(image + offset, static_cast<int32_t>(size), error);
}

int raw_mode(int mode, int* transfer) {
  *transfer = 0;
  if (mode & FILE_READONLY) {
    // The pieces of a read-only file cover one read of the data streams and the synchronous
    // forms: one system call each, and a cancel still stops within 8 KB.
    *transfer = kSyncPiece;
    return RAW_READ | RAW_SHAREREAD | ((mode & FILE_MAPPED) ? RAW_MAP : 0) |
           ((mode & FILE_SEQUENTIAL) ? RAW_SEQUENTIAL : 0);
  }
  int raw = RAW_READ | RAW_WRITE;
  if (mode & FILE_CREATENEW) raw |= RAW_CREATE;
  if (mode & FILE_TRUNCATE) raw |= RAW_TRUNCATE;
  if (mode & FILE_MAPPED) raw |= RAW_MAP;
  if (mode & FILE_NOBUFFER) raw |= RAW_NOBUFFER;
  if (mode & FILE_SEQUENTIAL) raw |= RAW_SEQUENTIAL;
  return raw;
}

void carry_out(System& s, Op& o) {
  int error = 0;
  int32_t result = 0;
  switch (o.type) {
    case kOpen:
      if (o.name.find('|') != std::string::npos) {
        result = open_entry(s, o.name, &error);
      } else {
        int transfer = 0;
        const int raw = raw_mode(o.mode, &transfer);
        result = RAW_open(o.name.c_str(), raw, transfer, &error);
      }
      break;
    case kClose:
      result = RAW_close(o.file);
      if (!result) error = EBADF;
      break;
    case kRead:
      result = RAW_read(o.file, o.mode, o.buffer, o.count, &error);
      break;
    case kWrite:
      result = RAW_write(o.file, o.mode, o.buffer, o.count, &error);
      break;
    case kSize:
      result = RAW_length(o.file, &error);
      break;
    case kSetEnd:
      result = RAW_setend(o.file, o.count, &error);
      break;
    case kExists: {
      // Outside the raw table, which the program keeps small.
      const int fd = ::open(o.name.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
      result = fd >= 0 ? 1 : 0;
      break;
    }
    case kDelete:
      result = ::unlink(o.name.c_str()) == 0 ? 1 : 0;
      if (!result) error = errno;
      break;
    case kMarker:
      break;
    case kOpenArchive: {
      const int file = RAW_open(o.name.c_str(), RAW_READ | RAW_SHAREREAD | RAW_MAP, 0, &error);
      if (!file) break;
      std::lock_guard lock(s.mutex);
      for (size_t i = 0; i < std::size(s.archives); ++i)
        if (!s.archives[i].open) {
          s.archives[i] = {true, o.name, file};
          result = static_cast<int32_t>(i) + 1;
          break;
        }
      if (!result) {
        RAW_close(file);
        error = EMFILE;
      }
      break;
    }
    case kCloseArchive: {
      int file = 0;
      {
        std::lock_guard lock(s.mutex);
        if (o.file >= 1 && o.file <= static_cast<int>(std::size(s.archives)) && s.archives[o.file - 1].open) {
          file = s.archives[o.file - 1].file;
          s.archives[o.file - 1] = {};
        }
      }
      result = file ? RAW_close(file) : 0;
      if (!result) error = EBADF;
      break;
    }
    default:
      FAULT(kSource, "FILE_devicethread - UNKNOWN TYPE OF OPERATION %d.\n", o.type);
      error = EINVAL;
  }
  o.error = error;
  o.status = error ? FILESYS_FAILED : FILESYS_DONE;
  o.result = error ? 0 : result;
}

// Moves a finished operation to the completed list; returns whether its callback is to be called
// now (it is then marked called). Caller holds the lock.
bool finish(Device& d, Op& o) {
  d.completed.push_back(&o);
  if (!(o.flags & kHasCallback) || (o.flags & kCalled)) return false;
  o.flags |= kCalled;
  return true;
}

void device_thread(void* p) {
  System& s = sys();
  const int device = static_cast<int>(reinterpret_cast<intptr_t>(p));
  Device& d = s.devices[device];
  own_device = device;
  for (;;) {
    if (s.shutting_down) return;
    Op* o = nullptr;
    {
      std::lock_guard lock(s.mutex);
      if (!d.pending.empty() && d.pending.front()->priority <= d.allowed) {
        o = d.pending.front();
        d.pending.erase(d.pending.begin());
        d.current = o;
      }
    }
    if (!o) {
      EVENT_wait(d.work, WAIT_FOREVER);
      continue;
    }
    // A pending operation that is cancelled leaves the list, so this one is carried out; a
    // cancel while it runs is seen under the lock below.
    carry_out(s, *o);
    FILE_callback callback = nullptr;
    int handle, status;
    void* user;
    {
      std::lock_guard lock(s.mutex);
      d.current = nullptr;
      if (o->flags & kCancelled) {
        // An open that was cancelled while it ran gives back the file it got.
        if (o->type == kOpen && o->result) RAW_close(o->result);
        o->status = FILESYS_CANCELLED;
        o->result = 0;
      }
      if (finish(d, *o)) callback = o->callback;
      handle = o->handle;
      status = o->status == FILESYS_CANCELLED ? -1 : o->status;
      user = o->user;
    }
    d.done.notify_all();
    if (callback) callback(handle, status, user);
  }
}

int device_thread_start(System& s, int device) {
  Device& d = s.devices[device];
  EVENT_reset(d.work);
  if (!THREAD_create(device_thread, reinterpret_cast<void*>(static_cast<intptr_t>(device)), 0, THREAD_ABOVE,
                     &d.thread))
    return 0;
  d.started = true;
  return 1;
}

// Finds an operation anywhere on its device. Caller holds the lock.
Op* locate(System& s, int op, bool* pending, bool* completed) {
  if (op <= 0) return nullptr;
  Device& d = s.devices[device_of_op(op)];
  *pending = *completed = false;
  if (Op* o = find_in(d.pending, op)) return *pending = true, o;
  if (d.current && d.current->handle == op) return d.current;
  if (Op* o = find_in(d.completed, op)) return *completed = true, o;
  return nullptr;
}

int raw_device(int file) {
  const int device = RAW_device(file);
  return device >= 0 ? device : 0;  // a bad handle fails on device 0
}

}  // namespace

int FILESYS_init(int rawfiles, int /*ignored*/, int ops) {
  System& s = sys();
  std::lock_guard init(s.init_mutex);
  if (s.initialised) return 1;
  RAW_init(rawfiles);
  {
    std::lock_guard lock(s.mutex);
    s.ops = std::vector<Op>(static_cast<size_t>(ops > 0 ? ops : 64));
  }
  s.shutting_down = false;
  s.initialised = true;
  if (!s.exit_registered) {
    s.exit_registered = true;
    std::atexit(FILESYS_shutdown);
  }
  return 1;
}

void FILESYS_shutdown() {
  System& s = sys();
  if (FAULT_ending()) {
    // A device thread may be in a callback waiting for a lock the report is held in.
    s.shutting_down = true;
    return;
  }
  std::lock_guard init(s.init_mutex);
  if (!s.initialised) return;
  s.shutting_down = true;
  for (Device& d : s.devices) {
    if (!d.started) continue;
    EVENT_set(d.work);
    THREAD_wait(&d.thread, 0);
  }
  std::lock_guard lock(s.mutex);
  for (Device& d : s.devices) {
    d.started = false;
    d.thread = {};
    d.current = nullptr;
    d.pending.clear();
    d.completed.clear();
    d.allowed = 255;
  }
  for (Archive& a : s.archives) a = {};
  RAW_shutdown();
  s.ops.clear();
  s.initialised = false;
}

int FILE_device(const char* path) {
  if (!path) return 0;
  if (std::strchr(path, '|')) return 0;
  return RAW_pathdevice(path);
}

int FILE_open(const char* path, int mode, int priority, void* user) {
  return queue(FILE_device(path), kOpen, priority, user, [&](Op& o) {
    o.name = path ? path : "";
    o.mode = mode;
  });
}

int FILE_close(int file, int priority, void* user) {
  return queue(raw_device(file), kClose, priority, user, [&](Op& o) { o.file = file; });
}

int FILE_read(int file, int32_t position, void* buffer, int32_t count, int priority, void* user) {
  return queue(raw_device(file), kRead, priority, user, [&](Op& o) {
    o.file = file;
    o.mode = position;
    o.buffer = buffer;
    o.count = count;
  });
}

int FILE_write(int file, int32_t position, const void* buffer, int32_t count, int priority, void* user) {
  return queue(raw_device(file), kWrite, priority, user, [&](Op& o) {
    o.file = file;
    o.mode = position;
    o.buffer = const_cast<void*>(buffer);
    o.count = count;
  });
}

int FILE_size(int file, int priority, void* user) {
  return queue(raw_device(file), kSize, priority, user, [&](Op& o) { o.file = file; });
}

int FILE_setend(int file, int32_t length, int priority, void* user) {
  return queue(raw_device(file), kSetEnd, priority, user, [&](Op& o) {
    o.file = file;
    o.count = length;
  });
}

int FILE_exists(const char* path, int priority, void* user) {
  return queue(FILE_device(path), kExists, priority, user, [&](Op& o) { o.name = path ? path : ""; });
}

int FILE_delete(const char* path, int priority, void* user) {
  return queue(FILE_device(path), kDelete, priority, user, [&](Op& o) { o.name = path ? path : ""; });
}

int FILE_marker(int device, int priority, void* user) {
  return queue(device & 31, kMarker, priority, user, [](Op&) {});
}

int FILE_openarchive(const char* path, int priority, void* user) {
  return queue(FILE_device(path), kOpenArchive, priority, user, [&](Op& o) { o.name = path ? path : ""; });
}

int FILE_closearchive(int archive, int priority, void* user) {
  int file = 0;
  {
    System& s = sys();
    std::lock_guard lock(s.mutex);
    if (archive >= 1 && archive <= static_cast<int>(std::size(s.archives)) && s.archives[archive - 1].open)
      file = s.archives[archive - 1].file;
  }
  return queue(raw_device(file), kCloseArchive, priority, user, [&](Op& o) { o.file = archive; });
}

void FILESYS_callbackop(int op, FILE_callback callback) {
  if (!callback) {
    FAULT(kSource, "FILESYS_callbackop - can not specify a NULL callback.\n");
    return;
  }
  System& s = sys();
  std::unique_lock lock(s.mutex);
  bool pending, completed;
  Op* o = locate(s, op, &pending, &completed);
  if (!o) {
    lock.unlock();
    FAULT(kSource, "FILESYS_callbackop - UNKNOWN FILEOP.\n");
    return;
  }
  o->callback = callback;
  o->flags |= kHasCallback;
  if (!completed || (o->flags & kCalled)) return;
  o->flags |= kCalled;
  const int status = o->status == FILESYS_CANCELLED ? -1 : o->status;
  void* user = o->user;
  lock.unlock();
  callback(op, status, user);
}

int FILESYS_status(int op) {
  System& s = sys();
  std::lock_guard lock(s.mutex);
  bool pending, completed;
  const Op* o = locate(s, op, &pending, &completed);
  return o ? (completed ? o->status : FILESYS_PENDING) : FILESYS_UNKNOWN;
}

int32_t FILESYS_completeop(int op) {
  System& s = sys();
  std::unique_lock lock(s.mutex);
  Op* o = op > 0 ? find_in(s.devices[device_of_op(op)].completed, op) : nullptr;
  if (!o) {
    lock.unlock();
    FAULT(kSource, "FILESYS_completeop - OPERATION NOT FOUND IN COMPLETED LIST.\n");
    return 0;
  }
  const int32_t result = o->result;
  std::erase(s.devices[device_of_op(op)].completed, o);
  release_op(*o);
  return result;
}

int FILESYS_wait(int op) {
  System& s = sys();
  if (op <= 0) return FILESYS_NOTRUNNING;
  Device& d = s.devices[device_of_op(op)];
  std::unique_lock lock(s.mutex);
  if (!d.started) return FILESYS_NOTRUNNING;
  for (;;) {
    bool pending, completed;
    const Op* o = locate(s, op, &pending, &completed);
    if (!o) return FILESYS_UNKNOWN;
    if (completed) return o->status;
    if (THREAD_ismain()) {
      // The main thread keeps the synchronous tasks (the audio engine's service) running.
      lock.unlock();
      SYNCTASK_run(nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      lock.lock();
    } else {
      d.done.wait(lock);
    }
  }
}

void FILESYS_cancelop(int op) {
  System& s = sys();
  std::unique_lock lock(s.mutex);
  bool pending, completed;
  Op* o = locate(s, op, &pending, &completed);
  if (!o || completed || o->type == kClose || o->type == kSetEnd || o->type == kDelete) return;
  Device& d = s.devices[device_of_op(op)];
  if (!pending) {
    o->flags |= kCancelled;
    if (o->type == kRead || o->type == kWrite) {
      RAW_stop(o->file);
      // The transfer moves data until it sees the busy byte: the buffer is the caller's again
      // only once it has stopped.
      d.done.wait(lock, [&] { return d.current != o; });
    }
    return;
  }
  o->flags |= kCancelled;
  o->status = FILESYS_CANCELLED;
  std::erase(d.pending, o);
  const bool call = finish(d, *o);
  FILE_callback callback = o->callback;
  void* user = o->user;
  lock.unlock();
  d.done.notify_all();
  if (call) callback(op, -1, user);
}

void FILESYS_setpriorityop(int op, int priority) {
  System& s = sys();
  std::lock_guard lock(s.mutex);
  bool pending, completed;
  Op* o = locate(s, op, &pending, &completed);
  if (!o || !pending) return;
  Device& d = s.devices[device_of_op(op)];
  std::erase(d.pending, o);
  o->priority = std::clamp(priority, 0, 255);
  insert_pending(d, o);
}

int FILESYS_atomic(int (*fn)(int priority, void* arg), int device, int priority, void* arg) {
  System& s = sys();
  if (!s.initialised) {
    FAULT(kSource, "FILESYS_atomic - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n");
    return 0;
  }
  if (device < 0 || device >= FILESYS_DEVICES) {
    FAULT(kSource, "FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (%d).\n", device);
    return 0;
  }
  Device& d = s.devices[device];
  bool started;
  {
    std::lock_guard lock(s.mutex);
    started = d.started || device_thread_start(s, device);
  }
  if (!started) {
    FAULT(kSource, "FILE_startdevice - FAILED TO START THREAD FOR FILE SYSTEM DEVICE.\n");
    return 0;
  }
  std::lock_guard section(d.atomic_section);
  int saved;
  {
    std::unique_lock lock(s.mutex);
    if (d.allowed < priority) {
      const int allowed = d.allowed;
      lock.unlock();
      FAULT(kSource, "FILESYS_atomic - CALLED AT PRIORITY (%d) LOWER THAN CURRENT DEVICE PRIORITY (%d).\n",
            priority, allowed);
      return 0;
    }
    saved = d.allowed;
    d.allowed = priority;
  }
  const int result = fn(priority, arg);
  {
    std::lock_guard lock(s.mutex);
    d.allowed = saved;
  }
  EVENT_set(d.work);
  return result;
}

namespace {

int32_t sync_run(int op) {
  if (!op) return 0;
  FILESYS_wait(op);
  return FILESYS_completeop(op);
}

constexpr int kSyncPriority = 100;

}  // namespace

int FILE_syncopen(const char* path, int mode) {
  return sync_run(FILE_open(path, mode, kSyncPriority, nullptr));
}
int FILE_syncclose(int file) {
  return sync_run(FILE_close(file, kSyncPriority, nullptr));
}
int32_t FILE_syncsize(int file) {
  return sync_run(FILE_size(file, kSyncPriority, nullptr));
}
int FILE_syncsetend(int file, int32_t length) {
  return sync_run(FILE_setend(file, length, kSyncPriority, nullptr));
}
int FILE_syncexists(const char* path) {
  return sync_run(FILE_exists(path, kSyncPriority, nullptr));
}
int FILE_syncdelete(const char* path) {
  return sync_run(FILE_delete(path, kSyncPriority, nullptr));
}

int32_t FILE_syncread(int file, int32_t position, void* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    const int32_t piece = std::min(count - done, kSyncPiece);
    const int32_t n = sync_run(FILE_read(file, position + done, static_cast<uint8_t*>(buffer) + done, piece,
                                         kSyncPriority, nullptr));
    done += n;
    if (n < piece) break;
  }
  return done;
}

int32_t FILE_syncwrite(int file, int32_t position, const void* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    const int32_t piece = std::min(count - done, kSyncPiece);
    const int32_t n = sync_run(FILE_write(file, position + done, static_cast<const uint8_t*>(buffer) + done,
                                          piece, kSyncPriority, nullptr));
    done += n;
    if (n < piece) break;
  }
  return done;
}
