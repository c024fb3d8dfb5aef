// Console services of braxel: the one table through which every part of the program reaches
// files, memory and the console, and the program-wide options set by the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__GNUC__) || defined(__clang__)
#define BRAXEL_NORETURN __attribute__((noreturn))
#define BRAXEL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define BRAXEL_NORETURN
#define BRAXEL_PRINTF(f, a)
#endif

// An open file; what it holds is private to the console services.
struct ConsoleFile;

// Seek modes of the seek operation.
inline constexpr int kSeekFromStart = 0;
inline constexpr int kSeekFromEnd = 2;

// Marker stored in the hidden header of every block handed out by allocate.
inline constexpr std::uint32_t kBlockMarker = 0x44891701u;

// Exit status of a run: the command did what was asked, a failure stopped it, or the usage text
// or the unknown-command line was shown.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct ConsoleServices {
  // Reading opens an existing file with shared access. Writing makes a new file: whatever had the
  // name (a file, a symbolic link) is removed first and the file is created exclusively, so it is
  // never written through a link nor shared with another name. Gives null on failure without a
  // message.
  ConsoleFile* (*open)(const char* name, int for_writing);
  void (*close)(ConsoleFile* file);
  std::int64_t (*read)(ConsoleFile* file, void* buffer, std::int64_t count);
  std::int64_t (*write)(ConsoleFile* file, const void* buffer, std::int64_t count);
  // mode kSeekFromStart or kSeekFromEnd; any other mode is a fatal error.
  void (*seek)(ConsoleFile* file, std::int64_t position, int mode);
  std::int64_t (*size)(ConsoleFile* file);
  int (*exists)(const char* name);
  // Replaces an existing new_name (a read-only one with the message "'%s': removed read-only
  // flag"; the file it replaces is not changed, nor is the target of a link at new_name).
  int (*rename)(const char* old_name, const char* new_name);
  int (*remove)(const char* name);  // the "delete" operation
  // Zero-filled, guarded by a hidden header; exhaustion is a fatal error.
  void* (*allocate)(std::size_t count);
  // Null is ignored; a block this table did not hand out (or handed out and already released)
  // is a fatal error.
  void (*release)(void* block);
  // Prints the four-line fatal block and ends the run with kExitFailure.
  void (*fatal)(const char* format, ...) BRAXEL_NORETURN BRAXEL_PRINTF(1, 2);
  // Formats once and writes the result to standard output.
  void (*print)(const char* format, ...) BRAXEL_PRINTF(1, 2);
  // Creates one folder; 1 when the name is a folder afterwards (a link to one is not).
  int (*make_folder)(const char* name);
  // 1 when the name, taken as written, is a symbolic link.
  int (*is_link)(const char* name);
  // As open for writing and rename, with the names taken as written ("\\" still becomes "/"):
  // no letter-case lookup. For writing many new files into one folder, where looking up every
  // new name would read the whole folder each time.
  ConsoleFile* (*create_exact)(const char* name);
  int (*rename_exact)(const char* old_name, const char* new_name);
  // Writes the file's data through to the disk; 1 on success. A file that replaces another is
  // flushed before replace, so that a power loss after the rename cannot leave it empty.
  int (*flush)(ConsoleFile* file);
  // As rename, and then flushes the folder of new_name so that the rename itself is on disk.
  int (*replace)(const char* old_name, const char* new_name);
};

// The table; empty until console_init fills it.
extern ConsoleServices console;

// Fills the table with the operations of this platform. Called once at start-up.
void console_init();

// The text with bytes below 0x20 and 0x7F shown as \xHH, so that names crafted with control
// characters cannot drive the user's terminal; keep_layout leaves line ends and tabs alone.
// print and fatal pass their whole text through it with keep_layout; names are shown through it
// without, so that a line end inside a name is seen as well.
std::string console_printable(const std::string& text, bool keep_layout = false);

// Bytes currently handed out by allocate and not yet released.
std::int64_t console_live_bytes();

// Program-wide options, set once by the command line before the command runs.
inline constexpr int kMaxPaletteBytes = 2000;
inline constexpr std::uint16_t kTransparencyFlag = 4;

struct BraxelOptions {
  std::uint16_t real_compression = 0;              // "-real"
  std::uint16_t transparency = kTransparencyFlag;  // 0 after "-notrans"
  std::uint16_t palette_present = 0;               // "-pal <file>" loaded
  std::int32_t palette_size = 0;                   // bytes read into palette
  std::uint8_t palette[kMaxPaletteBytes] = {};
};

extern BraxelOptions options;
