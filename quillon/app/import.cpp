#include "quillon/app/import.h"

#include <cstdint>
#include <cstdio>
#include <memory>

#include "quillon/app/cliutil.h"
#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/filters.h"

namespace {

IMPORT_STATUSFN g_status = nullptr;
// The temporary file of the running job, for import_discard.
std::string g_pending;

void status(const char* text) {
  if (g_status) g_status(text);
}

}  // namespace

void import_setstatus(IMPORT_STATUSFN fn) {
  g_status = fn;
}

namespace {

// What a job holds while it runs; finish() releases it in the documented order.
struct Job {
  gfile* in = nullptr;
  SINSTANCE* ininst = nullptr;
  SINSTANCE* outinst = nullptr;
  SINFO* info = nullptr;
  std::unique_ptr<AtomicOutput> out;

  int run(const char* input, const char* output, int reverb, int crop) {
    status("Opening...");
    in = gopen(input);
    if (!in) return IMPORT_CANTOPENINPUT;
    const int format = AUREX_identify(in);
    if (format < 0) return IMPORT_UNKNOWNFORMAT;
    if (AUREX_open(in, &ininst, format) != 1) return IMPORT_MULTIPLEELEMENTS;
    AUREX_info(ininst, &info, 0);
    if (!info) {
      status("Done");
      return IMPORT_INVALIDDATA;
    }
    status("Reading...");
    if (!AUREX_read(ininst, info, 0)) return IMPORT_READFAILED;
    gclose(in);
    in = nullptr;
    AUREX_close(ininst);
    ininst = nullptr;

    const STIMBRE& first = info->timbres[0];
    if (crop && first.numchannels > 0) {
      // The readers refuse such rates; a module that did not would otherwise ask for a length
      // the clip filter cannot hold.
      if (!sinfo_rateinrange(first.samplerate)) {
        AUREX_seterror("Unsupported sample rate.");
        return IMPORT_READFAILED;
      }
      status("Cropping...");
      const int64_t length = int64_t{first.samplerate} / first.numchannels * IMPORT_CROPFACTOR;
      AUREX_filterclipsinfo(info, 0, static_cast<int32_t>(length));
    }
    status("Fading...");
    AUREX_filterfadeinsinfo(info, IMPORT_FADEINMS);
    AUREX_filterfadeoutsinfo(info, IMPORT_FADEOUTMS);
    info->timbres[0].samplerep = SREP_QVXA_BLK;
    info->timbres[0].reverb = static_cast<int8_t>(reverb);

    status("Writing...");
    out = std::make_unique<AtomicOutput>(output);
    if (!out->file()) return IMPORT_CANTOPENOUTPUT;
    g_pending = out->temporary();
    AUREX_create(out->file(), &outinst, AUREX_FORMAT_PCSTREAM);
    if (!AUREX_write(outinst, info, 0)) return IMPORT_WRITEFAILED;
    status("Done");
    return IMPORT_OK;
  }

  // Only a stream that wclose finished replaces the output; on every other path the temporary
  // file goes, so the output folder never holds a partial stream.
  int finish(int result) {
    AUREX_freesinfo(info);
    if (outinst && !AUREX_wclose(outinst) && result == IMPORT_OK) result = IMPORT_WRITEFAILED;
    if (ininst) AUREX_close(ininst);
    if (in) gclose(in);
    g_pending.clear();
    if (result == IMPORT_OK && !out->commit()) result = IMPORT_CANTOPENOUTPUT;
    out.reset();
    return result;
  }
};

}  // namespace

int import_ditty(const char* input, const char* output, int reverb, int crop) {
  Job job;
  return job.finish(job.run(input, output, reverb, crop));
}

void import_discard() {
  if (!g_pending.empty()) std::remove(g_pending.c_str());
  g_pending.clear();
}

std::string import_message(int code, const std::string& input, const std::string& output) {
  switch (code) {
    case IMPORT_OK:
      return {};
    case IMPORT_CANTOPENINPUT:
      return "Could not open " + input + " for reading";
    case IMPORT_UNKNOWNFORMAT:
      return "Unknown file format in " + input;
    case IMPORT_MULTIPLEELEMENTS:
      return input + " contains multiple audio elements";
    case IMPORT_READFAILED:
      return "Failed to read " + input + ": " + AUREX_lasterror();
    case IMPORT_CANTOPENOUTPUT:
      return "Could not open " + output + " for writing";
    case IMPORT_WRITEFAILED:
      return "Write failed for " + output + ": " + AUREX_lasterror();
    case IMPORT_INVALIDDATA:
      return input + " contains invalid data: " + AUREX_lasterror();
    default:
      return "Unknown error code: " + std::to_string(code);
  }
}

std::string import_basename(const std::string& input) {
  const size_t slash = input.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? input : input.substr(slash + 1);
  return name.substr(0, name.find('.'));
}

std::string import_outputpath(const std::string& folder, const std::string& input) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + import_basename(input) + ".asf";
}
