// The sound core's file API: one constant table of format modules, reached through the
// AUREX_ calls, plus the nearest-representation choice and the process-wide progress callback.
#pragma once

#include <cstdint>
#include <span>

#include "quillon/soundcore/sinfo.h"

// One format module. Any operation may be absent (null): a call that needs it then reports the
// call's own "not supported" message.
struct AUREX_FORMAT {
  const char* shortname = "";
  const char* longname = "";
  SABOUT* (*about)() = nullptr;
  int (*identify)(gfile* file) = nullptr;                            // score 0..100
  int (*open)(SINSTANCE** out, gfile* file) = nullptr;               // element count, or 0
  int (*info)(SINSTANCE* inst, SINFO** out, int element) = nullptr;  // 1 with a new header-only SINFO
  int (*read)(SINSTANCE* inst, SINFO* info, int element) = nullptr;  // non-zero on success
  int (*close)(SINSTANCE* inst) = nullptr;
  int (*create)(SINSTANCE** out, gfile* file) = nullptr;              // > 0 on success
  int (*write)(SINSTANCE* inst, SINFO* info, int element) = nullptr;  // must leave `info` unchanged
  int (*wclose)(SINSTANCE* inst) = nullptr;
};

constexpr int AUREX_NUMFORMATS = 24;
// Defined by the format modules' folder: index = format number.
extern const AUREX_FORMAT AUREX_formats[AUREX_NUMFORMATS];

enum : int { AUREX_FORMAT_WAVE = 1, AUREX_FORMAT_PCSTREAM = 9, AUREX_FORMAT_MPEG = 23 };

SABOUT* AUREX_about(int format);
int AUREX_identify(gfile* file);
int AUREX_open(gfile* file, SINSTANCE** out, int format);
int AUREX_info(SINSTANCE* inst, SINFO** out, int element);
int AUREX_read(SINSTANCE* inst, SINFO* info, int element);
int AUREX_close(SINSTANCE* inst);
int AUREX_create(gfile* file, SINSTANCE** out, int format);
int AUREX_write(SINSTANCE* inst, SINFO* info, int element);
int AUREX_wclose(SINSTANCE* inst);

int AUREX_supportssamplerep(int format, int samplerep);
int AUREX_checkplayback(int format, const STIMBRE* timbre);
int AUREX_closestsamplerepsound(STIMBRE* timbre, int format);

// The same calls over another table of modules (tests use their own).
namespace aurex {
using FormatTable = std::span<const AUREX_FORMAT>;
SABOUT* about(FormatTable table, int format);
int identify(FormatTable table, gfile* file);
int open(FormatTable table, gfile* file, SINSTANCE** out, int format);
int info(FormatTable table, SINSTANCE* inst, SINFO** out, int element);
int read(FormatTable table, SINSTANCE* inst, SINFO* info, int element);
int close(FormatTable table, SINSTANCE* inst);
int create(FormatTable table, gfile* file, SINSTANCE** out, int format);
int write(FormatTable table, SINSTANCE* inst, SINFO* info, int element);
int wclose(FormatTable table, SINSTANCE* inst);
int supportssamplerep(FormatTable table, int format, int samplerep);
int checkplayback(FormatTable table, int format, const STIMBRE* timbre);
int closestsamplerepsound(FormatTable table, STIMBRE* timbre, int format);
}  // namespace aurex

// Progress in percent (0..100) from the long loops of the sound core; null for none.
using AUREX_PROGRESSFN = void (*)(int percent);
void AUREX_setprogress(AUREX_PROGRESSFN fn);
// Reports `percent` to the installed callback, if any.
void AUREX_progress(int percent);
