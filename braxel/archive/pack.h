// Pack archives: the directory records every command works on, the scanner that recognises
// BIGF, C0FB, FST, MAS, APUK and QPP packs (SHPI and ORIP through the image readers), nested
// pack paths, read cursors that decompress compressed data on the fly, and the -list and
// -unpack commands.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

struct ConsoleFile;

inline constexpr int kPackPathChars = 128;
inline constexpr int kPackNameChars = 64;
inline constexpr int kPackTypeChars = 8;

// Bytes read from the start of a container to decide what kind of pack it is.
inline constexpr int kPackProbeBytes = 8192;

// Scan flag: keep the entries in the order of the file instead of sorting them by name.
inline constexpr int kScanFileOrder = 2;

// Entry kind bits.
inline constexpr std::uint8_t kKindImage = 1;
inline constexpr std::uint8_t kKindOrip = 8;

// A pack opened by a path nests at most this deep; a pack holding itself can then not make
// the opener run away.
inline constexpr int kMaxPackDepth = 32;

struct EntryCursor;

// One record of a directory block. Record 0 of a block describes the scanned pack itself
// (allocation kind 1); the entries follow from record 1 and a record with an empty name ends
// the block.
struct PackEntry {
  char container[kPackPathChars];  // path of the pack that holds the entry
  char name[kPackNameChars];       // as stored
  char type[kPackTypeChars];       // "----" for archive entries
  std::uint8_t alloc_kind;         // 1 in record 0 of a block
  std::uint8_t kind;               // kKindImage, kKindOrip
  std::uint8_t palette_kind;       // image entries: 1 palettised, 2 true colour
  std::uint8_t compressed;         // data was found compressed and is decompressed on reading
  PackEntry* parent;               // the record whose data holds this entry; null for a file
  PackEntry* first_child;          // block scanned from this record, when it is a pack
  EntryCursor* cursor;             // open read cursor, or null
  PackEntry* home;                 // record 0 of the block this record lives in
  std::int32_t offset;             // position of the data inside the parent's readable data
  std::int32_t size;               // stored size
  std::int16_t width;              // image size, -1 when unknown
  std::int16_t height;
};

// Read cursor of one record.
struct EntryCursor {
  std::uint8_t* memory;  // console block with the readable data, or null
  int direct;            // data is read straight from the outermost file
  ConsoleFile* file;     // the outermost file, shared by the direct cursors of one chain
  std::int64_t pos;      // read position within the readable data
  std::int64_t base;     // offset of the data inside the outermost file (direct cursors)
  std::int64_t size;     // readable size (after decompression)
};

// Readers of image packs; they live with the image codecs and are installed at start-up. Each
// reads the container through the cursor functions below and appends its entries (name, type
// text, kind, palette kind, offset, size, width, height) to out. Gives 1 on success, 0 when
// the data is not a readable pack of its kind.
using ImagePackReader = int (*)(PackEntry* container, std::vector<PackEntry>& out);
void pack_set_image_readers(ImagePackReader shpi, ImagePackReader orip);

// A record describing a whole file, as record 0 of a block of its own; null (no message) when
// the file cannot be opened. Released with pack_release.
PackEntry* pack_root(const char* path);

// Scans the data of container as a pack; gives the new block (also stored as
// container->first_child) or null. Bad directories print a line saying what is wrong.
PackEntry* pack_scan(PackEntry* container, int flags);

// Opens a nested pack path (a file followed by entry names, separated by "\" or "/") and gives
// the block of the innermost pack, or null after the printed message. No openable prefix is a
// fatal error.
PackEntry* pack_open(const char* path, int flags);

// Releases the block of dir (closing every cursor in it) and then the blocks up its parent
// chain.
void pack_release(PackEntry* dir);

// Entries of a block: record 1 up to the closing empty name.
int pack_count(const PackEntry* dir);

// The first entry named name, compared without regard to letter case, or null.
PackEntry* pack_find(PackEntry* dir, const char* name);

// Cursor operations. pack_open_cursor prepares the chain from the outermost file down and gives
// 1, or 0 after a printed message when data is corrupt; a null record is a fatal error.
int pack_open_cursor(PackEntry* entry);
std::int64_t pack_read(PackEntry* entry, void* buffer, std::int64_t count);
// mode 0 absolute, 1 relative (clamped at 0).
void pack_seek(PackEntry* entry, std::int64_t position, int mode);
// Readable size, opening the cursor first; -1 when it cannot be opened.
std::int64_t pack_readable_size(PackEntry* entry);
// A console block with the whole readable data; null when the cursor cannot be opened.
std::uint8_t* pack_read_whole(PackEntry* entry, std::int64_t* size);
void pack_close(PackEntry* entry, int whole_chain);

// Case-insensitive name order and equality of the game's names.
int pack_name_compare(const char* a, const char* b);

// The FST size rule over the first head_length bytes of a file of size bytes.
bool fst_rule(const std::uint8_t* head, std::int64_t head_length, std::int64_t size);

// Why an entry cannot be written under its name below the current folder, or null when it can:
// the name leads outside the folder (absolute, drive prefix, ".." component), holds control
// characters, or has no file name after its last separator ("a/").
const char* unpack_refusal(const char* name);

// Where "-u" and the extract commands write an entry: below the current folder, along the
// entry's "\" or "/" separated components, creating the folders. `suffix` is the extension an
// image writer may append. Gives "" and the reason in *why instead when the name is refused, when
// seen (the names written so far, lower case) already holds it, or when a folder of the path or
// the file itself is a symbolic link, through which the write would reach outside the folder.
std::string unpack_target(const char* name, const char* suffix, std::unordered_set<std::string>& seen,
                          const char** why);

// The commands "-list" and "-unpack". Give the run's exit status.
int pack_list(const char* path);
int pack_extract(const char* path, const char* names);
