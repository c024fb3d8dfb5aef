// The asynchronous file system: operations queued by priority on one worker thread per device
// (per disk), completed by polling, by waiting or by a callback, over a raw file layer with its
// own table of open files. "archive|entry" paths open an entry of an open pack archive.
#pragma once

#include <cstdint>

// Operation status (FILESYS_status, FILESYS_wait).
enum {
  FILESYS_PENDING = 0,
  FILESYS_DONE = 1,
  FILESYS_UNKNOWN = 253,
  FILESYS_FAILED = 254,
  FILESYS_CANCELLED = 255,
  FILESYS_NOTRUNNING = -3,  // FILESYS_wait of 0 or of an operation on a device not running
};

// Open modes of FILE_open.
enum {
  FILE_READONLY = 1,
  FILE_CREATENEW = 2,  // fails when the file exists; with FILE_TRUNCATE: create or truncate
  FILE_TRUNCATE = 4,   // alone: truncate an existing file
  FILE_MAPPED = 8,     // map the whole file into memory
  FILE_NOBUFFER = 16,
  FILE_SEQUENTIAL = 32,
};

enum { FILESYS_DEVICES = 32 };

// Called on the device thread (or in FILESYS_callbackop for a finished operation) with the
// operation, its status (-1 when cancelled) and the user data given when it was queued.
using FILE_callback = void (*)(int op, int status, void* user);

// Raw table size (0 = 64), an ignored value, operation count (0 = 64). Later calls return 1 and
// change nothing until FILESYS_shutdown.
int FILESYS_init(int rawfiles, int ignored, int ops);
// Closes open archives and files, stops every device thread, frees everything (also at exit).
void FILESYS_shutdown();

// Each queues one operation and returns its handle, or 0 when none could be queued.
int FILE_open(const char* path, int mode, int priority, void* user);
int FILE_close(int file, int priority, void* user);
int FILE_read(int file, int32_t position, void* buffer, int32_t count, int priority, void* user);
int FILE_write(int file, int32_t position, const void* buffer, int32_t count, int priority, void* user);
int FILE_size(int file, int priority, void* user);
int FILE_setend(int file, int32_t length, int priority, void* user);
int FILE_exists(const char* path, int priority, void* user);
int FILE_delete(const char* path, int priority, void* user);
int FILE_marker(int device, int priority, void* user);
int FILE_openarchive(const char* path, int priority, void* user);
int FILE_closearchive(int archive, int priority, void* user);

void FILESYS_callbackop(int op, FILE_callback callback);
// Status of a queued operation without waiting: FILESYS_PENDING until it has finished.
int FILESYS_status(int op);
// The result of a finished operation, which goes back to the pool: open: the raw file (0 on
// failure); close: 1; read, write: bytes moved; size: the length; exists: 1 when the file
// exists; marker: 0; open archive: the archive's id; close archive, set end, delete: 1 when done.
int32_t FILESYS_completeop(int op);
// Waits until the operation has finished (running the synchronous tasks meanwhile on the main
// thread) and returns its status; the operation still has to be completed.
int FILESYS_wait(int op);
// A pending operation is finished as cancelled. A read or write in progress stops after the
// piece it is moving and ends cancelled; this returns once it has stopped, so its buffer is no
// longer written. Close, set end and delete are never cancelled.
void FILESYS_cancelop(int op);
// Gives a pending operation a new priority; one already under way or finished keeps its own.
void FILESYS_setpriorityop(int op, int priority);
// Runs fn(priority, arg) while the device serves only operations of at most that priority
// number. Returns fn's result, or 0.
int FILESYS_atomic(int (*fn)(int priority, void* arg), int device, int priority, void* arg);

// The device of a path: 0 for "archive|entry" paths, else 1..31 per file system.
int FILE_device(const char* path);

// Synchronous forms at priority 100; results as FILESYS_completeop gives them. Reads and writes
// move at most 8192 bytes per operation.
int FILE_syncopen(const char* path, int mode);
int FILE_syncclose(int file);
int32_t FILE_syncread(int file, int32_t position, void* buffer, int32_t count);
int32_t FILE_syncwrite(int file, int32_t position, const void* buffer, int32_t count);
int32_t FILE_syncsize(int file);
int FILE_syncsetend(int file, int32_t length);
int FILE_syncexists(const char* path);
int FILE_syncdelete(const char* path);
