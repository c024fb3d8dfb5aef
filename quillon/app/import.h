// The import job: one user's sound file becomes a game stream (.asf) with crop, fades and the
// user's reverb, reporting status texts and progress through two plain callbacks.
#pragma once

#include <string>

// Result codes of import_ditty.
enum : int {
  IMPORT_OK = 0,
  IMPORT_CANTOPENINPUT = -1,
  IMPORT_UNKNOWNFORMAT = -2,
  IMPORT_MULTIPLEELEMENTS = -3,
  IMPORT_READFAILED = -4,
  IMPORT_CANTOPENOUTPUT = -5,
  IMPORT_WRITEFAILED = -6,
  IMPORT_INVALIDDATA = -7,
};

constexpr int IMPORT_CROPFACTOR = 140;
constexpr int IMPORT_FADEINMS = 500;
constexpr int IMPORT_FADEOUTMS = 1500;

using IMPORT_STATUSFN = void (*)(const char* text);

// Installs the status text callback used by later jobs (null for none).
void import_setstatus(IMPORT_STATUSFN fn);

// Converts `input` into the stream file `output`. The output appears only when the whole job
// succeeded; a file already there is replaced then and left untouched otherwise.
int import_ditty(const char* input, const char* output, int reverb, int crop);

// Removes the partly written output of the job that is running (for a process that ends inside
// the job's callbacks, which never returns to the job's own clean-up).
void import_discard();

// The message the window shows for a result code (empty for success).
std::string import_message(int code, const std::string& input, const std::string& output);

// The output name for an input path: the part after the last '/' or '\', up to its first '.'.
std::string import_basename(const std::string& input);

// The output path of `input` in `folder`: folder/<base name>.asf.
std::string import_outputpath(const std::string& folder, const std::string& input);
