// Pieces shared by quillon's commands: the terminal progress bar, writing a file under a
// temporary name beside its target, and reading element 0 of any identifiable file.
#pragma once

#include <string>

struct SINFO;
struct gfile;

// Installs a progress bar on standard error while it lives (only when that is a terminal).
class ProgressBar {
 public:
  ProgressBar();
  ~ProgressBar();
  // What draws the bar (for progress other than the sound core's), or null without a terminal.
  void (*drawer() const)(int percent);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
};

// A file written under a temporary name in the target's folder and renamed over the target by
// commit(); destroyed without commit() it removes the temporary file, leaving the target as it
// was. The path "con:" (standard output) is written directly.
class AtomicOutput {
 public:
  explicit AtomicOutput(std::string target);
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  // The open file, or null when it could not be created.
  gfile* file() const { return file_; }
  // The temporary name ("" when written directly or once committed).
  const std::string& temporary() const { return temp_; }
  // Closes the file and moves it into place; false (with the target untouched) on failure.
  bool commit();

 private:
  std::string target_;
  std::string temp_;
  gfile* file_ = nullptr;
  int fd_ = -1;  // the temporary file's descriptor, owned by file_
};

// Reads element `element` of `path` with whichever module identifies it. Returns the SINFO
// (caller frees with AUREX_freesinfo) and the format index, or null with a message for the user
// in `error`.
SINFO* cli_load(const std::string& path, int* format, std::string* error, int element = 0);

// A path the user gave, with '\' taken as '/'. When it does not exist as written, each missing
// component is looked up in its folder without regard to letter case (names from the game's
// Windows world); what cannot be found is left as written.
std::string cli_resolvepath(const std::string& path);

// A reverb amount 0..127 from a command line word; false after printing that it is not one.
bool cli_parsereverb(const char* word, int* reverb);

// An element number 0..511 (the most a bank holds) from a command line word; false otherwise.
bool cli_parseelement(const char* word, int* element);

// The format whose short name is `name` (case-insensitive), or -1.
int cli_formatbyname(const std::string& name);

// The representation named by --rep into *rep (SREP_NONE when no name was given); false after
// printing that the name is unknown.
bool cli_repbyname(const std::string& name, int* rep);
