// SHPI image packs: the scanner of a pack held in memory (directory, the "----" area, entry sizes,
// image entries), the ORIP record, the pixel and palette formats of image blocks, decoding a block
// into a picture with the palette search, encoding pictures and palettes back into a block's own
// formats, and the writer that lays out a whole pack.
//
// Everything here works on memory buffers and never ends the program: each call gives a status
// and, on failure, a message. The command layer turns failures into the console's fatal error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "braxel/image/imagefile.h"

inline constexpr int kShpiHeaderSize = 16;       // magic, total size, count, identifier
inline constexpr int kShpiDirEntrySize = 8;      // name, block offset
inline constexpr int kShpiBlockHeaderSize = 16;  // code, attachment offset, width, height, 8 bytes
// A directory of the archive layer holds at most this many entries (record 0 is the pack).
inline constexpr std::size_t kShpiMaxEntries = 2998;
inline constexpr std::uint8_t kShpiCompressedBit = 0x80;
// Name of the area between the directory and the first block; it has no directory slot.
inline constexpr char kShpiPseudoName[] = "----";

// Entry kind bits, as in the archive layer's directory records.
inline constexpr std::uint8_t kShpiKindImage = 1;
inline constexpr std::uint8_t kShpiKindOrip = 8;

// Palette kind of an entry whose block header holds a known pixel format.
inline constexpr std::uint8_t kShpiPalettised = 1;
inline constexpr std::uint8_t kShpiTrueColour = 2;

enum class ShpiStatus {
  kOk,
  kNotShpi,      // the bytes are not a pack of this kind
  kCorrupt,      // damaged, truncated or implausible data
  kUnsupported,  // a block whose format code is not a pixel format
};

struct ShpiError {
  char message[160] = {};
  // A problem that did not stop the call (an attachment offset outside its block); empty if none.
  char warning[160] = {};
};

// One scanned entry. Offsets and sizes are those of the stored bytes inside the pack.
struct ShpiEntry {
  char name[65] = {};             // 4 characters for SHPI entries; ORIP names are longer
  char type[9] = {};              // the directory identifier, or "ORIP"
  std::uint8_t kind = 0;          // kShpiKind* bits
  std::uint8_t palette_kind = 0;  // 0, kShpiPalettised or kShpiTrueColour
  bool pseudo = false;            // the "----" area between the directory and the first block
  std::int32_t offset = 0;
  std::int32_t size = 0;
  std::int16_t width = -1;
  std::int16_t height = -1;
};

// A scanned pack: its identifier and its entries in directory order; the "----" area, when there
// is one, comes first because it is the first thing after the directory.
struct ShpiDirectory {
  char identifier[5] = {};
  std::uint32_t total_size = 0;  // the header's size field, limited to the bytes present
  std::vector<ShpiEntry> entries;
};

// --- Scanning ---------------------------------------------------------------------------------

// True when the bytes start with "SHP" (any fourth character).
bool shpi_identify(const std::uint8_t* data, std::size_t size);

// Scans a whole pack held in memory.
ShpiStatus shpi_scan(const std::uint8_t* data, std::size_t size, ShpiDirectory* directory, ShpiError* error);

// True when the bytes start with "ORIP".
bool orip_identify(const std::uint8_t* data, std::size_t size);

// Scans an ORIP record: entry 0 is the record itself (kind kShpiKindOrip, named by the text its
// header points to), followed by one names-only entry per name of its name table.
ShpiStatus orip_scan(const std::uint8_t* data, std::size_t size, ShpiDirectory* directory, ShpiError* error);

// --- Formats ----------------------------------------------------------------------------------

struct ShpiPixelFormat {
  int bytes_per_pixel;  // 1 for the 4-bit format as well
  bool palettised;
  const char* description;  // null for palettised formats (they take the palette's text)
};

// The pixel format of a block code (bit 7 ignored), or null when the code is not one.
const ShpiPixelFormat* shpi_lookup_format(int code);

// Bytes a block of `code` stores for width * height pixels (the 4-bit format packs two pixels
// per byte, an odd last pixel taking a byte of its own); 0 for unknown codes.
std::size_t shpi_pixel_bytes(int code, std::size_t width, std::size_t height);

// Signed attachment offset of a block header (24-bit, values above 800000 hex are negative).
std::int32_t shpi_attachment_offset(const std::uint8_t* header);

// --- Palettes ---------------------------------------------------------------------------------

// Decodes the palette block at `block` (at most `budget` bytes are read) into the colours it
// defines; other colours of `palette` stay as they are. Gives the number of colour bytes read,
// 0 when the block code is not a palette format or nothing could be read. `description`
// (may be null, at least 33 bytes) gets the palette's text, `code` (may be null) its block code.
int shpi_decode_palette(const std::uint8_t* block, std::size_t budget, std::uint8_t palette[256][4],
                        char* description, std::uint16_t* code);

// Rewrites the colour entries of the palette block at `block` (`size` bytes, header included) in
// the block's own format from `palette`: the colours the block defines, within the block's bytes.
// Gives the number of colours written; 0 leaves the block unchanged (not a palette format).
int shpi_encode_palette(std::uint8_t* block, std::size_t size, const std::uint8_t palette[256][4]);

// The program-wide palette taken from the first palettised image that found one.
bool shpi_remembered_palette(std::uint8_t palette[256][4]);
// Forgets it (a new run; used by tests and the fuzz target).
void shpi_forget_palette();

// The palette search: which entry of `entries` serves as palette for the image entry at index
// `image`. Gives the entry's index, or -1 when none qualifies.
int shpi_pick_palette(const ShpiEntry* entries, std::size_t count, std::size_t image);

// Fills the picture's palette (and description, palette code) from the palette entry that the
// search picks in the pack. Gives false when none is found or it holds no palette.
bool shpi_find_palette(const std::uint8_t* pack, std::size_t pack_size, const ShpiDirectory& directory,
                       std::size_t image, ShapeImage* picture);

// --- Decoding ---------------------------------------------------------------------------------

// Where a block without an attached palette gets its palette from. `find` fills the picture's
// palette, description and palette code and gives true when it found one.
struct ShpiPaletteSource {
  bool (*find)(const void* context, ShapeImage* picture) = nullptr;
  const void* context = nullptr;
};

// Decodes one image block (the entry's whole bytes; a compressed entry is decompressed first)
// into `picture`, which must be empty. On failure the picture stays empty.
ShpiStatus shpi_decode_block(const std::uint8_t* block, std::size_t size, const ShpiPaletteSource& source,
                             ShapeImage* picture, ShpiError* error);

// Decodes entry `index` of a scanned pack, searching the pack for a palette when needed.
ShpiStatus shpi_decode_entry(const std::uint8_t* pack, std::size_t pack_size, const ShpiDirectory& directory,
                             std::size_t index, ShapeImage* picture, ShpiError* error);

// The background index of an indexed picture: the lowest index that fills more than a third of
// the border, or 0.
int shpi_transparent_index(const std::uint8_t* index, int width, int height);

// --- Encoding ---------------------------------------------------------------------------------

// Encodes the picture into the pixel format `code` (bit 7 ignored), appending
// shpi_pixel_bytes(code, width, height) bytes to `out`. Palettised formats need the index plane,
// the others the true-colour plane (a missing alpha plane counts as opaque).
ShpiStatus shpi_encode_pixels(int code, const ShapeImage& picture, ImageBytes* out, ShpiError* error);

// Builds an image block: the 16-byte header (code without the compressed bit, the attachment
// offset, width, height, bytes 8 to 15 of `template_header`), the pixels, zeros up to the stated
// attachment offset and the attachment. The stated offset is 16 + the pixel bytes rounded up to
// 4, so that it always points at the attachment.
void shpi_build_block(const std::uint8_t* template_header, int code, int width, int height,
                      const std::uint8_t* pixels, std::size_t pixel_size, const std::uint8_t* attachment,
                      std::size_t attachment_size, ImageBytes* out);

// One block of a pack to write. A pseudo block is the "----" area: written in place right after
// the directory, without a directory slot.
struct ShpiOutBlock {
  char name[5] = {};
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool pseudo = false;
};

// Lays out a whole pack: header, directory, the "----" area, then the blocks in order, each
// padded with zeros to a multiple of 4 except the last.
ShpiStatus shpi_write(const char identifier[4], const ShpiOutBlock* blocks, std::size_t count,
                      ImageBytes* out, ShpiError* error);
