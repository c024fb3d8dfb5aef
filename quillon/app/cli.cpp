// Dispatch of quillon's subcommands and the commands that only describe the program.
#include "quillon/app/cli.h"

#include <cstring>
#include <string_view>

#include "quillon/soundcore/aurex.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

constexpr Command kCommands[] = {
    {"import", cmd_import},   {"preview", cmd_preview}, {"play", cmd_play}, {"info", cmd_info},
    {"convert", cmd_convert}, {"formats", cmd_formats}, {"bank", cmd_bank},
};

bool canread(const AUREX_FORMAT& f) {
  return f.open && f.info && f.read && f.close;
}
bool canwrite(const AUREX_FORMAT& f) {
  return f.create && f.write && f.wclose;
}

}  // namespace

void cli_usage(FILE* out) {
  std::fputs(
      "usage: quillon [COMMAND [OPTIONS] ARGUMENTS]\n"
      "\n"
      "Without a command, quillon opens its window. Commands:\n"
      "  import [--reverb N] [--crop] INPUT... OUTDIR\n"
      "                                              convert each INPUT into OUTDIR/<base name>.asf\n"
      "  preview [--reverb N] [--crop] INPUT         convert INPUT and play it (Ctrl-C stops)\n"
      "  play [--reverb N] FILE.asf                  play a stream file with the arena reverb; N\n"
      "                                              replaces the file's own amount (Ctrl-C stops)\n"
      "  info FILE                                   format, elements and the fields of each timbre\n"
      "  convert [--format NAME] [--rep NAME] [--element N] INPUT OUTPUT\n"
      "                                              read element N (default 0) of INPUT, write it as\n"
      "                                              OUTPUT\n"
      "  bank [--format NAME] [--rep NAME] OUTPUT INPUT...\n"
      "                                              write the inputs as elements 0, 1, ... of a new\n"
      "                                              bank (default pcbank)\n"
      "  formats                                     list the file formats\n"
      "  --help                                      show this text\n"
      "\n"
      "N is the reverb amount, 0..127 (default 0). --crop shortens long input (to 70 seconds for\n"
      "44.1 kHz stereo). Exit status: 0 success, 1 failure, 2 wrong usage.\n",
      out);
}

int cmd_formats(int argc, char**) {
  if (argc != 1) {
    cli_usage(stderr);
    return CLI_USAGE;
  }
  std::printf("%-5s %-14s %-28s %-4s %s\n", "index", "name", "description", "read", "write");
  for (int i = 0; i < AUREX_NUMFORMATS; ++i) {
    const AUREX_FORMAT& f = AUREX_formats[i];
    std::printf("%5d %-14s %-28s %-4s %s\n", i, *f.shortname ? f.shortname : "-",
                *f.longname ? f.longname : "-", canread(f) ? "yes" : "no", canwrite(f) ? "yes" : "no");
  }
  return CLI_OK;
}

int quillon_main(int argc, char** argv) {
  if (argc < 2) {  // the window is main's; here a command is required
    cli_usage(stderr);
    return CLI_USAGE;
  }
  const std::string_view word = argv[1];
  if (word == "--help" || word == "-h" || word == "help") {
    cli_usage(stdout);
    return CLI_OK;
  }
  for (const Command& c : kCommands) {
    if (word != c.name) continue;
    return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "quillon: unknown command '%s'\n", argv[1]);
  cli_usage(stderr);
  return CLI_USAGE;
}
