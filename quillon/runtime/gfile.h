// Buffered files with one 8 KB window aligned on 8 KB file offsets. "con:" paths use standard
// input (reading) or standard output (writing).
#pragma once

#include <cstdint>

struct gfile;

gfile* gopen(const char* path);
gfile* gwopen(const char* path);
// A file for writing over a descriptor the caller has just created (an exclusive temporary file),
// so that nothing can be put at its name between the creation and the writing. Takes ownership of
// `fd`: gclose closes it, and so does a failure here.
gfile* gwopenfd(int fd);
int32_t gread(gfile* f, void* dst, int32_t n);
int32_t gwrite(gfile* f, const void* src, int32_t n);
int gseek(gfile* f, int32_t pos);
int32_t gtell(gfile* f);
int32_t gsize(gfile* f);
int32_t gwriteflush(gfile* f);
int gclose(gfile* f);
