// quillon info FILE: the identified format, the element count and the fields of each timbre.
#include <cstdio>
#include <string>
#include <string_view>

#include "quillon/app/cli.h"
#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

namespace {

constexpr std::string_view kEmptyElement = "Can't read empty bank element.";

void printtimbre(int index, const STIMBRE& t) {
  std::printf("  timbre %d: %d channel%s, %d Hz, %d frames, %s (%s)\n", index, t.numchannels,
              t.numchannels == 1 ? "" : "s", t.samplerate, t.numsamples,
              AUREX_samplerepshortname(t.samplerep), AUREX_samplerepname(t.samplerep));
  if (t.loopend > 0 && t.loopstart >= 0)
    std::printf("    loop %d..%d\n", t.loopstart, t.loopend);
  else
    std::printf("    no loop\n");
  std::printf("    reverb %d, pan %d, volume %d\n", t.reverb, t.pan, t.volume);
}

}  // namespace

int cmd_info(int argc, char** argv) {
  if (argc != 2) {
    cli_usage(stderr);
    return CLI_USAGE;
  }
  const char* path = argv[1];
  gfile* f = gopen(path);
  if (!f) {
    std::fprintf(stderr, "Could not open %s for reading\n", path);
    return CLI_FAILED;
  }
  int status = CLI_OK;
  SINSTANCE* inst = nullptr;
  const int format = AUREX_identify(f);
  const int elements = format < 0 ? 0 : AUREX_open(f, &inst, format);
  if (format < 0) {
    std::fprintf(stderr, "Unknown file format in %s\n", path);
    status = CLI_FAILED;
  } else if (elements < 1) {
    std::fprintf(stderr, "Failed to read %s: %s\n", path, AUREX_lasterror());
    status = CLI_FAILED;
  } else {
    std::printf("%s\nformat %d: %s (%s)\nelements: %d\n", path, format, AUREX_formats[format].shortname,
                AUREX_formats[format].longname, elements);
    for (int e = 0; e < elements; ++e) {
      SINFO* info = nullptr;
      if (!AUREX_info(inst, &info, e)) {
        // Banks may leave slots between their elements unused.
        if (std::string_view(AUREX_lasterror()) == kEmptyElement) {
          std::printf("element %d: empty\n", e);
          continue;
        }
        std::fprintf(stderr, "%s contains invalid data: element %d: %s\n", path, e, AUREX_lasterror());
        status = CLI_FAILED;
        break;
      }
      std::printf("element %d: %d timbre%s\n", e, info->numtimbres, info->numtimbres == 1 ? "" : "s");
      for (int i = 0; i < info->numtimbres && i < SINFO_MAXTIMBRES; ++i) printtimbre(i, info->timbres[i]);
      // A header can promise more than the file holds: the data is read to find out (N64 data
      // has no decoder, so there is nothing to read it with).
      if (info->timbres[0].samplerep != SREP_N64_BLK && !AUREX_read(inst, info, e)) {
        std::printf("  sample data: short or unreadable (%s)\n", AUREX_lasterror());
        std::fprintf(stderr, "Failed to read %s: %s\n", path, AUREX_lasterror());
        status = CLI_FAILED;
      }
      AUREX_freesinfo(info);
    }
  }
  if (inst) AUREX_close(inst);
  gclose(f);
  return status;
}
