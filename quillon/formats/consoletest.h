// Helpers of the console and bank format tests: sounds to write, and whole write and read passes
// through the format table on temporary files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

namespace consoletest {

using Bytes = std::vector<uint8_t>;

inline std::string temppath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/console_test_" + std::to_string(getpid()) + "_" + name;
}

inline Bytes slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}

inline void spit(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

inline int formatnamed(const char* name) {
  for (int i = 0; i < AUREX_NUMFORMATS; ++i)
    if (std::string(AUREX_formats[i].shortname) == name) return i;
  return -1;
}

// A SINFO of one timbre of music-like samples, freed with the object.
struct Sound {
  SINFO* info;
  Sound(int rep, int channels, int rate, int n, int seed = 1) : info(AUREX_newsinfo()) {
    STIMBRE& t = info->timbres[0];
    t.samplerep = int8_t(rep);
    t.numchannels = int8_t(channels);
    t.samplerate = rate;
    t.numsamples = n;
    if (n > 0) {
      EXPECT_EQ(AUREX_allocsamples(&t), 0);
    }
    for (int c = 0; c < channels && n > 0; ++c)
      for (int i = 0; i < n; ++i)
        t.samples[c][i] =
            int16_t(11000 * std::sin(i * 0.013 * (c + seed)) + 6000 * std::sin(i * 0.21 + c + seed));
  }
  ~Sound() { AUREX_freesinfo(info); }
  Sound(const Sound&) = delete;
  Sound& operator=(const Sound&) = delete;
  STIMBRE& t() { return info->timbres[0]; }
};

// Writes the SINFOs as elements 0, 1, ... (null entries skipped) of `format`; the file's bytes, or
// empty with *result 0 on failure.
inline Bytes writefile(int format, const std::vector<SINFO*>& elements, int* result = nullptr,
                       const std::vector<int>& indexes = {}) {
  const std::string path = temppath("w.bin");
  gfile* f = gwopen(path.c_str());
  SINSTANCE* inst = nullptr;
  int ok = AUREX_create(f, &inst, format) > 0;
  for (size_t i = 0; ok && i < elements.size(); ++i)
    if (elements[i]) ok = AUREX_write(inst, elements[i], indexes.empty() ? int(i) : indexes[i]);
  if (inst) {
    // The first failure's message is the one to report.
    const std::string message = AUREX_lasterror();
    const int closed = AUREX_wclose(inst);
    if (!ok) AUREX_seterror(message.c_str());
    ok = ok && closed;
  }
  gclose(f);
  if (result) *result = ok;
  Bytes b = ok ? slurp(path) : Bytes();
  std::remove(path.c_str());
  return b;
}

// An open file of the given bytes with its instance; closed with the object.
struct Opened {
  std::string path;
  gfile* f = nullptr;
  SINSTANCE* inst = nullptr;
  int elements = 0;
  Opened(const Bytes& b, int format) : path(temppath("r.bin")) {
    spit(path, b);
    f = gopen(path.c_str());
    elements = AUREX_open(f, &inst, format);
  }
  ~Opened() {
    if (inst) AUREX_close(inst);
    gclose(f);
    std::remove(path.c_str());
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  // Element `e` with its samples, or null (the last error says why).
  SINFO* read(int e) {
    SINFO* info = nullptr;
    if (!AUREX_info(inst, &info, e)) return nullptr;
    if (!AUREX_read(inst, info, e)) {
      AUREX_freesinfo(info);
      return nullptr;
    }
    return info;
  }
  int identify() { return AUREX_identify(f); }
};

inline double snrdb(const int16_t* ref, const int16_t* got, int32_t n) {
  double sig = 0, err = 0;
  for (int32_t i = 0; i < n; ++i) {
    sig += double(ref[i]) * ref[i];
    err += (double(ref[i]) - got[i]) * (double(ref[i]) - got[i]);
  }
  return err == 0 ? 200.0 : 10.0 * std::log10(sig / err);
}

}  // namespace consoletest
