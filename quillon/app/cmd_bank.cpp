// quillon bank [--format NAME] [--rep NAME] OUTPUT INPUT...: element 0 of each input becomes
// element 0, 1, ... of a new bank.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/app/cli.h"
#include "quillon/app/cliutil.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

constexpr const char* kDefaultFormat = "pcbank";

// Banks are the modules that hold more than one element.
bool isbank(int format) {
  SABOUT* a = AUREX_about(format);
  const bool bank = a && a->elementlimit > 1 && (a->caps & SABOUT_CANWRITE);
  if (a) gfree(a);
  return bank;
}

}  // namespace

int cmd_bank(int argc, char** argv) {
  std::string formatname = kDefaultFormat, repname;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--format" || arg == "--rep") && i + 1 < argc)
      (arg == "--format" ? formatname : repname) = argv[++i];
    else if (arg.starts_with("--"))
      return cli_usage(stderr), CLI_USAGE;
    else
      operands.emplace_back(arg);
  }
  if (operands.size() < 2) return cli_usage(stderr), CLI_USAGE;
  const std::string& output = operands[0];
  const int format = cli_formatbyname(formatname);
  if (format < 0 || !isbank(format)) {
    std::fprintf(stderr, "quillon: '%s' is not a bank format (see quillon formats)\n", formatname.c_str());
    return CLI_USAGE;
  }
  int rep = SREP_NONE;
  if (!cli_repbyname(repname, &rep)) return CLI_USAGE;
  if (operands.size() - 1 > 512) {
    std::fprintf(stderr, "quillon: a bank holds at most 512 elements\n");
    return CLI_USAGE;
  }

  ProgressBar progress;
  AtomicOutput out(output);
  SINSTANCE* inst = nullptr;
  bool ok = out.file() != nullptr;
  if (!ok) std::fprintf(stderr, "Could not open %s for writing\n", output.c_str());
  if (ok && AUREX_create(out.file(), &inst, format) < 1) {
    std::fprintf(stderr, "Write failed for %s: %s\n", output.c_str(), AUREX_lasterror());
    ok = false;
  }
  for (size_t k = 1; ok && k < operands.size(); ++k) {
    const int element = static_cast<int>(k - 1);
    int informat = -1;
    std::string error;
    SINFO* info = cli_load(cli_resolvepath(operands[k]), &informat, &error);
    if (!info) {
      std::fprintf(stderr, "%s\n", error.c_str());
      ok = false;
      break;
    }
    for (int i = 0; i < info->numtimbres && i < SINFO_MAXTIMBRES && ok; ++i) {
      STIMBRE& t = info->timbres[i];
      if (rep != SREP_NONE)
        t.samplerep = static_cast<int8_t>(rep);
      else
        ok = AUREX_closestsamplerepsound(&t, format);
    }
    if (!ok || !AUREX_write(inst, info, element)) {
      std::fprintf(stderr, "Write failed for %s (element %d from %s): %s\n", output.c_str(), element,
                   operands[k].c_str(), AUREX_lasterror());
      ok = false;
    } else {
      std::printf("%s -> %s element %d (%s)\n", operands[k].c_str(), output.c_str(), element,
                  AUREX_samplerepshortname(info->timbres[0].samplerep));
    }
    AUREX_freesinfo(info);
  }
  if (inst && !AUREX_wclose(inst) && ok) {
    std::fprintf(stderr, "Write failed for %s: %s\n", output.c_str(), AUREX_lasterror());
    ok = false;
  }
  if (ok && !out.commit()) {
    std::fprintf(stderr, "Write failed for %s: could not move it into place\n", output.c_str());
    ok = false;
  }
  return ok ? CLI_OK : CLI_FAILED;
}
