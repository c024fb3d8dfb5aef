// What the file system needs to know about files beyond reading and writing them: the disk a
// path lies on, the disk's transfer unit, and mapping a whole file into memory.
#pragma once

#include <cstddef>
#include <cstdint>

// The id of the file system holding `path`, or its nearest existing parent when the path does
// not exist yet. Returns 1, or 0 when no part of the path exists.
int platform_file_device(const char* path, uint64_t* device);

// The preferred transfer unit of an open file's disk, 0 when unknown.
int platform_file_sectorsize(int fd);

// Maps `length` bytes of an open file (readable, writable when asked); null on failure.
void* platform_file_map(int fd, size_t length, int writable);
void platform_file_unmap(void* view, size_t length);
