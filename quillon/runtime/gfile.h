// Buffered files with one 8 KB window aligned on 8 KB file offsets. "con:" paths use standard
// input (reading) or standard output (writing).
#pragma once

#include <cstdint>

struct gfile;

gfile* gopen(const char* path);
gfile* gwopen(const char* path);
int32_t gread(gfile* f, void* dst, int32_t n);
int32_t gwrite(gfile* f, const void* src, int32_t n);
int gseek(gfile* f, int32_t pos);
int32_t gtell(gfile* f);
int32_t gsize(gfile* f);
int32_t gwriteflush(gfile* f);
int gclose(gfile* f);
