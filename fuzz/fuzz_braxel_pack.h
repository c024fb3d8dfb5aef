// Shared set-up of the pack fuzz targets: the console services with printing silenced and every
// fatal error turned into a crash (bad input must never reach one), and a scratch file per process
// that each run writes its input to.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "braxel/archive/pack.h"
#include "braxel/cli/console/console.h"

inline void fuzz_pack_quiet(const char*, ...) {}
BRAXEL_NORETURN inline void fuzz_pack_fatal(const char* format, ...) {
  std::fprintf(stderr, "fatal error reached: %s\n", format);
  std::abort();
}

inline void fuzz_pack_init() {
  static const bool ready = [] {
    console_init();
    console.print = fuzz_pack_quiet;
    console.fatal = fuzz_pack_fatal;
    return true;
  }();
  (void)ready;
}

// Writes data to a scratch file whose name ends in suffix; gives its path.
inline std::string fuzz_pack_file(const std::uint8_t* data, std::size_t size, const char* suffix) {
  const std::string path = "/tmp/fuzz_braxel_pack_" + std::to_string(::getpid()) + suffix;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

// The name rules of listing and unpacking on a name read from a pack: what is shown holds no
// control byte, and a name that may be unpacked stays below the folder and names a file.
inline void fuzz_pack_check_name(const char* name) {
  for (const char c : console_printable(name))
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
  if (unpack_refusal(name) != nullptr) return;
  const std::string n(name);
  const std::size_t last = n.find_last_of("/\\");
  const std::string file = last == std::string::npos ? n : n.substr(last + 1);
  for (const char c : n)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ':') std::abort();
  if (n[0] == '/' || n[0] == '\\' || file.empty() || file == "." || file == ".." ||
      ("/" + n + "/").find("/../") != std::string::npos ||
      ("\\" + n + "\\").find("\\..\\") != std::string::npos)
    std::abort();
}

// Reads every entry of a block whole and releases the data.
inline void fuzz_pack_read_all(PackEntry* dir) {
  for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) {
    fuzz_pack_check_name(e->name);
    std::int64_t size = 0;
    if (std::uint8_t* data = pack_read_whole(e, &size)) console.release(data);
    pack_close(e, 0);
  }
}
