// The raw file layer under the asynchronous file system: its own table of open files, one lock
// per disk, transfers in pieces of the file's transfer size that a busy byte can stop, and
// optional mapping of a whole file. A raw file handle is the complement of its table index.
#pragma once

#include <cstdint>

enum {
  RAW_READ = 0x1,
  RAW_WRITE = 0x2,
  RAW_SHAREREAD = 0x4,  // sharing is not enforced here; kept for callers that state it
  RAW_SHAREWRITE = 0x8,
  RAW_CREATE = 0x10,    // with RAW_TRUNCATE: create always; alone: create new
  RAW_TRUNCATE = 0x20,  // alone: truncate an existing file
  RAW_NOBUFFER = 0x100,
  RAW_SEQUENTIAL = 0x200,
  RAW_WRITETHROUGH = 0x400,
  RAW_MAP = 0x800,
};

int RAW_init(int count);
void RAW_shutdown();

// The device (1..31) of the file system holding a path, 0 when nothing of it exists.
int RAW_pathdevice(const char* path);

// Opens a file; `transfer` is the piece size asked for (0: 16384). Returns the handle, or 0 with
// the platform error in *error.
int RAW_open(const char* path, int mode, int transfer, int* error);
// A read-only file over memory that outlives it (an entry of a mapped archive), on device 0.
int RAW_openmemory(const uint8_t* data, int32_t length, int* error);
int RAW_close(int file);
// The device of an open file, -1 for a bad handle.
int RAW_device(int file);
int32_t RAW_length(int file, int* error);
// Clamps reads to the length; stops early when RAW_stop clears the busy byte. Returns the bytes
// moved, 0 with *error set after a failure.
int32_t RAW_read(int file, int32_t position, void* buffer, int32_t count, int* error);
int32_t RAW_write(int file, int32_t position, const void* buffer, int32_t count, int* error);
int RAW_setend(int file, int32_t length, int* error);
void RAW_stop(int file);
// The whole mapped image of a file opened with RAW_MAP, or null.
const uint8_t* RAW_view(int file, int32_t* length);
