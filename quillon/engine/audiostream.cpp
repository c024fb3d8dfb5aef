// The stream player (first step: the interface, every operation refusing).
#include "quillon/engine/audiostream.h"

#include <cstring>

int32_t AUDIOSTREAM_memsize(int, int) {
  return 0;
}
int AUDIOSTREAM_defaults(AUDIOSTREAMPARAMS* p) {
  *p = AUDIOSTREAMPARAMS{127, 64, 127, 0, 64, 60, 127, 0, 0, 4096, 4096, 4096, 0, 0xFFFF, 0};
  return 0;
}
int AUDIOSTREAM_create(const AUDIOSTREAMPARAMS*, int, int, void*, int32_t) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_createshared(const AUDIOSTREAMPARAMS*, int, int, void*, int32_t, STREAM*) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_destroy(int) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_playfile(int, int, const char*, int32_t) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_playmem(int, int, const void*) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_stop(int) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_setvolume(int, int) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_setgreedylevel(int, int32_t) {
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_status(int, AUDIOSTREAMSTATUS* r) {
  std::memset(r, 0, sizeof *r);
  return AUDIOSTREAM_ENOTRUNNING;
}
int AUDIOSTREAM_service() {
  return 0;
}
int AUDIOSTREAM_parseheader(const void*, size_t, AUDIOSTREAMHEADER* h) {
  std::memset(h, 0, sizeof *h);
  return AUDIOSTREAM_ECORRUPT;
}
int AUDIOSTREAM_hassource(int) {
  return 0;
}
