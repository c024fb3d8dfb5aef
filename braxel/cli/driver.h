// Front end of braxel: argument pre-pass, usage text, command table and dispatch.
#pragma once

#include <cstdint>
#include <string>

// The version record and build date the banner is made from.
inline constexpr const char* kVersionRecord = "$VER:1:0.58";
inline constexpr const char* kBuildDate = "Sep  1 2002";
inline constexpr const char* kBuildTime = "12:00:00";

// Size of a name list block, terminators included.
inline constexpr int kNameListBytes = 100000;

// "0.58": the version record after its first seven characters.
std::string version_text(const char* record);

// "01.09.2002" from a compiler-style date ("Sep  1 2002").
std::string build_date_text(const char* date);

// Case-insensitive comparison of two command words or names.
bool same_word(const char* a, const char* b);

// Flag letters of a create command word: a "1" anywhere gives 1 (compress the new pack), a "p"
// or "P" anywhere gives 2 (replaced images get their own palette).
int create_flags(const char* word);

// A name list: a zero-filled console block of kNameListBytes holding names[0..count) as
// consecutive zero-terminated strings closed by an empty string. Operands that do not fit are a
// fatal error. The caller releases the block.
char* make_name_list(char* const* names, int count);

// Runs one command line; gives the exit status.
int braxel_main(int argc, char** argv);
