// quillon import [--reverb N] [--crop] INPUT OUTDIR: the import job from the command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/app/cli.h"
#include "quillon/app/cliutil.h"
#include "quillon/app/import.h"

namespace {

void printstatus(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

}  // namespace

int cmd_import(int argc, char** argv) {
  int reverb = 0;
  bool crop = false;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--crop") {
      crop = true;
    } else if (arg == "--reverb" && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*argv[i] == 0 || *end != 0 || value < 0 || value > 127) {
        std::fprintf(stderr, "quillon: --reverb takes a number from 0 to 127\n");
        return CLI_USAGE;
      }
      reverb = static_cast<int>(value);
    } else if (arg.starts_with("--")) {
      cli_usage(stderr);
      return CLI_USAGE;
    } else {
      operands.emplace_back(arg);
    }
  }
  if (operands.size() != 2) {
    cli_usage(stderr);
    return CLI_USAGE;
  }
  const std::string input = cli_resolvepath(operands[0]);
  std::string folder = cli_resolvepath(operands[1]);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const std::string output = folder + import_basename(operands[0]) + ".asf";

  import_setstatus(printstatus);
  int result;
  {
    ProgressBar progress;
    result = import_ditty(input.c_str(), output.c_str(), reverb, crop ? 1 : 0);
  }
  import_setstatus(nullptr);
  if (result != IMPORT_OK) {
    std::fprintf(stderr, "%s\n", import_message(result, input, output).c_str());
    return CLI_FAILED;
  }
  std::printf("Wrote %s\n", output.c_str());
  return CLI_OK;
}
