// quillon convert [--format NAME] [--rep NAME] [--element N] INPUT OUTPUT: reads one element with
// any module and writes it with any module.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/app/cli.h"
#include "quillon/app/cliutil.h"
#include "quillon/soundcore/aurex.h"

namespace {

// The format an output name suggests when --format is not given.
int formatfromextension(const std::string& path) {
  struct Ext {
    const char* ext;
    const char* format;
  };
  static constexpr Ext kExts[] = {
      {".wav", "wave"}, {".asf", "pcstream"}, {".aif", "aiff"},      {".aiff", "aiff"}, {".aifc", "aiff"},
      {".mp2", "mpeg"}, {".mp3", "mpeg"},     {".ogg", "oggvorbis"}, {".vag", "vag"},   {".raw", "raw"}};
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find_first_of("/\\", dot) != std::string::npos) return -1;
  std::string ext = path.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Ext& e : kExts)
    if (ext == e.ext) return cli_formatbyname(e.format);
  return -1;
}

}  // namespace

int cmd_convert(int argc, char** argv) {
  std::string formatname, repname;
  std::vector<std::string> operands;
  int element = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--format" || arg == "--rep") && i + 1 < argc)
      (arg == "--format" ? formatname : repname) = argv[++i];
    else if (arg == "--element" && i + 1 < argc && cli_parseelement(argv[i + 1], &element))
      ++i;
    else if (arg.starts_with("--"))
      return cli_usage(stderr), CLI_USAGE;
    else
      operands.emplace_back(arg);
  }
  if (operands.size() != 2) return cli_usage(stderr), CLI_USAGE;
  const std::string& input = operands[0];
  const std::string& output = operands[1];

  const int format = formatname.empty() ? formatfromextension(output) : cli_formatbyname(formatname);
  if (format < 0) {
    if (formatname.empty())
      std::fprintf(stderr, "quillon: give --format NAME for %s (see quillon formats)\n", output.c_str());
    else
      std::fprintf(stderr, "quillon: unknown format '%s' (see quillon formats)\n", formatname.c_str());
    return CLI_USAGE;
  }
  int rep = SREP_NONE;
  if (!cli_repbyname(repname, &rep)) return CLI_USAGE;

  ProgressBar progress;
  int informat = -1;
  std::string error;
  SINFO* info = cli_load(input, &informat, &error, element);
  if (!info) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return CLI_FAILED;
  }
  bool ok = true;
  for (int i = 0; i < info->numtimbres && i < SINFO_MAXTIMBRES && ok; ++i) {
    STIMBRE& t = info->timbres[i];
    if (rep != SREP_NONE)
      t.samplerep = static_cast<int8_t>(rep);
    else
      ok = AUREX_closestsamplerepsound(&t, format);
  }
  AtomicOutput out(output);
  SINSTANCE* inst = nullptr;
  if (!ok) {
    std::fprintf(stderr, "Write failed for %s: %s\n", output.c_str(), AUREX_lasterror());
  } else if (!out.file()) {
    std::fprintf(stderr, "Could not open %s for writing\n", output.c_str());
    ok = false;
  } else if (AUREX_create(out.file(), &inst, format) < 1 || !AUREX_write(inst, info, 0)) {
    std::fprintf(stderr, "Write failed for %s: %s\n", output.c_str(), AUREX_lasterror());
    ok = false;
  }
  if (inst && !AUREX_wclose(inst) && ok) {
    std::fprintf(stderr, "Write failed for %s: %s\n", output.c_str(), AUREX_lasterror());
    ok = false;
  }
  if (ok && !out.commit()) {
    std::fprintf(stderr, "Write failed for %s: could not move it into place\n", output.c_str());
    ok = false;
  }
  AUREX_freesinfo(info);
  if (ok) std::printf("%s -> %s (%s)\n", input.c_str(), output.c_str(), AUREX_formats[format].shortname);
  return ok ? CLI_OK : CLI_FAILED;
}
