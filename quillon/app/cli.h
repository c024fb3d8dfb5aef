// quillon's command line: with a subcommand the program works headless.
#pragma once

#include <cstdio>

// Exit statuses of every command.
enum : int { CLI_OK = 0, CLI_FAILED = 1, CLI_USAGE = 2 };

// Runs the command named by argv[1]; returns the exit status.
int quillon_main(int argc, char** argv);

// Prints the usage text to `out`.
void cli_usage(FILE* out);

// The subcommands; argv[0] is the command word.
int cmd_formats(int argc, char** argv);
int cmd_import(int argc, char** argv);
int cmd_preview(int argc, char** argv);
int cmd_play(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_convert(int argc, char** argv);
int cmd_bank(int argc, char** argv);
