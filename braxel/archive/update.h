// Archive update: replacing, adding and deleting entries of BIGF, C0FB and FST archives by
// rewriting the archive under a temporary name and renaming it over the old one.
#pragma once

#include <cstdint>

#include "braxel/archive/pack.h"

inline constexpr int kSlotNameChars = 128;
// Longest entry name a file put into an archive may have.
inline constexpr int kMaxAddedName = 32;

// Archive types the rewrite knows.
inline constexpr int kArchiveC0fb = 0;
inline constexpr int kArchiveBigf = 1;
inline constexpr int kArchiveFst = 2;

// One entry of the archive being rewritten; a slot with an empty name ends the table.
struct PackSlot {
  char name[kSlotNameChars];
  std::int32_t offset;  // of the stored data in the old archive; -1 when data holds it
  std::uint32_t size;   // bytes to write
  std::uint8_t* data;   // new data (a console block), when offset is -1
  std::uint8_t compress;
  std::uint8_t deleted;
};

// Type of the archive whose table was read last.
extern int pack_archive_type;

// The table of the archive at path with room for files_to_add more slots, and the archive's
// root record (through *archive). Null after a printed message when the archive cannot be read;
// an image pack or an archive of another layout is a fatal error.
PackSlot* read_pack_table(const char* path, int files_to_add, PackEntry** archive);

// Writes the archive anew from the table and replaces the old one in a single rename.
void rebuild_pack(const char* path, PackSlot* table, PackEntry* archive);

// Releases a table and the new data its slots hold.
void release_pack_table(PackSlot* table);

// The temporary name of a rebuild: the three-letter extension replaced by "tmp", else ".tmp"
// appended.
void pack_temp_name(const char* path, char* out, int capacity);

// "-p" (compress 0) and "-p1" (compress 1); names is a name list of files. Give the run's exit
// status.
int pack_update(const char* base, const char* archive, const char* names, int compress);
// "-d": names is a name list of entry names.
int pack_delete(const char* base, const char* archive, const char* names);
