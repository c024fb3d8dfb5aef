// quillon import [--reverb N] [--crop] INPUT... OUTDIR: the import job for each input in turn.
#include <cstdio>
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
      if (!cli_parsereverb(argv[++i], &reverb)) return CLI_USAGE;
    } else if (arg.starts_with("--")) {
      cli_usage(stderr);
      return CLI_USAGE;
    } else {
      operands.emplace_back(arg);
    }
  }
  if (operands.size() < 2) {
    cli_usage(stderr);
    return CLI_USAGE;
  }
  const std::string folder = cli_resolvepath(operands.back());
  operands.pop_back();
  for (std::string& input : operands) input = cli_resolvepath(input);

  import_setstatus(printstatus);
  int status = CLI_OK;
  for (size_t i = 0; i < operands.size(); ++i) {
    const std::string& input = operands[i];
    const std::string output = import_outputpath(folder, input);
    // A single input keeps the plain report; several get a line naming each.
    if (operands.size() > 1) std::printf("[%zu/%zu] %s\n", i + 1, operands.size(), input.c_str());
    int result;
    {
      ProgressBar progress;
      result = import_ditty(input.c_str(), output.c_str(), reverb, crop ? 1 : 0);
    }
    if (result == IMPORT_OK) {
      std::printf("Wrote %s\n", output.c_str());
    } else {
      std::fflush(stdout);
      std::fprintf(stderr, "%s\n", import_message(result, input, output).c_str());
      status = CLI_FAILED;
    }
    std::fflush(stdout);
  }
  import_setstatus(nullptr);
  return status;
}
