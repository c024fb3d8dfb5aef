// Patch files: "-makepatch" compares modified game archives in the current folder with the base
// files they were made from and writes a BIGF archive of BIGF archives holding only what changed,
// with a message for the user.
#pragma once

#include <string>
#include <vector>

// A parsed patch-information file: the joined message and the archives to compare.
struct PatchInfo {
  std::string message;
  std::vector<std::string> archives;
};

// Parses the text of a patch-information file. False when it ends before both "!message" lines.
bool parse_patch_info(const std::string& text, PatchInfo* info);

// "-makepatch": ops[0] the information file, ops[1] the patch file to create, ops[2] the prefix
// of the base files. Gives the run's exit status.
int make_patch(char* const* ops);
