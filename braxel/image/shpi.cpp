// SHPI pack layout: scanning a pack held in memory into a directory (with the "----" area, entry
// sizes from the nearest following block and the image entries), the ORIP record, the palette
// search over a directory, and the writers of image blocks and whole packs.
#include "braxel/image/shpi.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "braxel/image/shpi_internal.h"

namespace {

// Directory identifiers whose entries are pictures.
constexpr const char* kImageIdentifiers[] = {"GIMX", "FACE", "WRAP", "SPIT", "G335"};

// ORIP record: offset of the LE32 name pointer, the name count and the name table offset.
constexpr std::size_t kOripNameAt = 12;
constexpr std::size_t kOripCountAt = 48;
constexpr std::size_t kOripTableAt = 52;
constexpr std::size_t kOripNameSize = 24;
constexpr std::size_t kOripHeaderSize = 56;

// The palette search only takes small "!" and "????" entries: a 256-colour palette of 4 bytes
// per colour with its header stays below this.
constexpr std::int32_t kSmallPaletteLimit = 1401;

void copy_name(char* dst, std::size_t dst_size, const std::uint8_t* src, std::size_t n) {
  std::size_t i = 0;
  for (; i < n && i + 1 < dst_size && src[i] != 0; ++i) dst[i] = static_cast<char>(src[i]);
  dst[i] = 0;
}

bool image_identifier(const char* identifier) {
  for (const char* id : kImageIdentifiers)
    if (std::strcmp(identifier, id) == 0) return true;
  return false;
}

bool starts_nocase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

namespace shpi {

ShpiStatus fail(ShpiError* error, ShpiStatus status, const char* format, ...) {
  if (error != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(error->message, sizeof error->message, format, args);
    va_end(args);
  }
  return status;
}

void warn(ShpiError* error, const char* format, ...) {
  if (error == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(error->warning, sizeof error->warning, format, args);
  va_end(args);
}

}  // namespace shpi

using shpi::fail;
using shpi::le16;
using shpi::le32;

bool shpi_identify(const std::uint8_t* data, std::size_t size) {
  return data != nullptr && size >= 3 && std::memcmp(data, "SHP", 3) == 0;
}

bool orip_identify(const std::uint8_t* data, std::size_t size) {
  return data != nullptr && size >= 4 && std::memcmp(data, "ORIP", 4) == 0;
}

ShpiStatus shpi_scan(const std::uint8_t* data, std::size_t size, ShpiDirectory* directory, ShpiError* error) {
  *directory = ShpiDirectory{};
  if (!shpi_identify(data, size)) return fail(error, ShpiStatus::kNotShpi, "not an SHPI pack");
  if (size < kShpiHeaderSize) return fail(error, ShpiStatus::kCorrupt, "SHPI header truncated");
  // Offsets are signed 32-bit in the directory records; larger packs cannot be described.
  if (size > 0x7FFFFFFF) return fail(error, ShpiStatus::kCorrupt, "SHPI pack too large");

  const std::uint32_t total = le32(data + 4);
  const std::uint32_t count = le32(data + 8);
  // A zero in the identifier would cut it short; keep all four characters for the writer.
  for (int i = 0; i < 4; ++i) directory->identifier[i] = static_cast<char>(data[12 + i]);

  const std::uint64_t dir_end = kShpiHeaderSize + std::uint64_t{count} * kShpiDirEntrySize;
  if (count >= kShpiMaxEntries)
    return fail(error, ShpiStatus::kCorrupt, "SHPI directory of %u entries exceeds the limit of %zu", count,
                kShpiMaxEntries - 1);
  if (dir_end > size)
    return fail(error, ShpiStatus::kCorrupt, "SHPI directory of %u entries runs past the end (%zu bytes)",
                count, size);
  // The last block runs to the size field; a field that is beyond the bytes present or that would
  // cut off a block is not trusted, and the bytes present are used instead.
  std::uint32_t last_start = 0;
  for (std::uint32_t i = 0; i < count; ++i)
    last_start = std::max(last_start, le32(data + kShpiHeaderSize + std::size_t{i} * kShpiDirEntrySize + 4));
  const std::uint32_t end =
      total <= size && total >= last_start && total >= dir_end ? total : static_cast<std::uint32_t>(size);
  directory->total_size = end;

  const bool images = image_identifier(directory->identifier);
  std::vector<ShpiEntry> entries(count);
  std::uint32_t first_block = end;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* slot = data + kShpiHeaderSize + std::size_t{i} * kShpiDirEntrySize;
    ShpiEntry& e = entries[i];
    copy_name(e.name, sizeof e.name, slot, 4);
    const std::uint32_t offset = le32(slot + 4);
    if (offset > end)
      return fail(error, ShpiStatus::kCorrupt, "SHPI entry '%s' starts at %u, beyond the end (%u)", e.name,
                  offset, end);
    e.offset = static_cast<std::int32_t>(offset);
    first_block = std::min(first_block, offset);
    e.kind = images && e.name[0] != '!' ? kShpiKindImage : 0;
  }

  // Sizes: the distance to the nearest block that starts after the entry, else to the end.
  std::vector<std::uint32_t> starts;
  starts.reserve(count);
  for (const ShpiEntry& e : entries) starts.push_back(static_cast<std::uint32_t>(e.offset));
  std::sort(starts.begin(), starts.end());
  for (ShpiEntry& e : entries) {
    const auto next = std::upper_bound(starts.begin(), starts.end(), static_cast<std::uint32_t>(e.offset));
    const std::uint32_t stop = next == starts.end() ? end : *next;
    e.size = static_cast<std::int32_t>(stop - static_cast<std::uint32_t>(e.offset));
  }

  // Known pixel formats give the picture size and palette kind.
  for (ShpiEntry& e : entries) {
    std::snprintf(e.type, sizeof e.type, "%s", directory->identifier);
    if (e.size < kShpiBlockHeaderSize) continue;
    const std::uint8_t* header = data + e.offset;
    const ShpiPixelFormat* format = shpi_lookup_format(header[0]);
    if (format == nullptr) continue;
    e.width = static_cast<std::int16_t>(le16(header + 4));
    e.height = static_cast<std::int16_t>(le16(header + 6));
    e.palette_kind = format->palettised ? kShpiPalettised : kShpiTrueColour;
  }

  // The bytes between the directory and the first block belong to no entry, yet must survive a
  // rewrite: they become a data entry of their own (never an image).
  if (count > 0 && first_block > dir_end) {
    ShpiEntry area;
    std::snprintf(area.name, sizeof area.name, "%s", kShpiPseudoName);
    std::snprintf(area.type, sizeof area.type, "%s", directory->identifier);
    area.pseudo = true;
    area.offset = static_cast<std::int32_t>(dir_end);
    area.size = static_cast<std::int32_t>(first_block - dir_end);
    directory->entries.push_back(area);
  }
  directory->entries.insert(directory->entries.end(), entries.begin(), entries.end());
  return ShpiStatus::kOk;
}

ShpiStatus orip_scan(const std::uint8_t* data, std::size_t size, ShpiDirectory* directory, ShpiError* error) {
  *directory = ShpiDirectory{};
  if (!orip_identify(data, size)) return fail(error, ShpiStatus::kNotShpi, "not an ORIP record");
  if (size < kOripHeaderSize) return fail(error, ShpiStatus::kCorrupt, "ORIP header truncated");
  if (size > 0x7FFFFFFF) return fail(error, ShpiStatus::kCorrupt, "ORIP record too large");
  std::snprintf(directory->identifier, sizeof directory->identifier, "ORIP");
  directory->total_size = static_cast<std::uint32_t>(size);

  ShpiEntry self;
  const std::uint32_t name_at = le32(data + kOripNameAt);
  if (name_at >= size)
    return fail(error, ShpiStatus::kCorrupt, "ORIP name at %u is outside the record", name_at);
  copy_name(self.name, sizeof self.name, data + name_at, size - name_at);
  std::snprintf(self.type, sizeof self.type, "ORIP");
  self.kind = kShpiKindOrip;
  self.size = static_cast<std::int32_t>(size);

  const std::uint32_t count = le32(data + kOripCountAt);
  const std::uint32_t table = le32(data + kOripTableAt);
  if (count >= kShpiMaxEntries)
    return fail(error, ShpiStatus::kCorrupt, "ORIP name table of %u names exceeds the limit", count);
  if (std::uint64_t{table} + std::uint64_t{count} * kOripNameSize > size)
    return fail(error, ShpiStatus::kCorrupt, "ORIP name table (%u names at %u) runs past the end", count,
                table);
  directory->entries.push_back(self);
  for (std::uint32_t i = 0; i < count; ++i) {
    ShpiEntry e;
    copy_name(e.name, sizeof e.name, data + table + std::size_t{i} * kOripNameSize, kOripNameSize);
    std::snprintf(e.type, sizeof e.type, "ORIP");
    directory->entries.push_back(e);
  }
  return ShpiStatus::kOk;
}

int shpi_pick_palette(const ShpiEntry* entries, std::size_t count, std::size_t image) {
  if (image >= count) return -1;
  const char* own = entries[image].name;
  // Candidates never include the image itself nor the "----" area.
  auto candidate = [&](std::size_t i) { return i != image && !entries[i].pseudo; };
  auto first = [&](auto&& test) -> int {
    for (std::size_t i = 0; i < count; ++i)
      if (candidate(i) && test(entries[i])) return static_cast<int>(i);
    return -1;
  };
  int found = first([](const ShpiEntry& e) { return strcasecmp(e.name, "!pal") == 0; });
  if (found < 0 && own[0] != 0)
    found = first([&](const ShpiEntry& e) {
      return e.name[0] == '!' && std::strlen(e.name) == std::strlen(own) &&
             strcasecmp(e.name + 1, own + 1) == 0;
    });
  if (found < 0)
    found = first([](const ShpiEntry& e) { return e.name[0] == '!' && e.size < kSmallPaletteLimit; });
  if (found < 0) found = first([](const ShpiEntry& e) { return starts_nocase(e.name, "pal"); });
  if (found < 0)
    found = first(
        [](const ShpiEntry& e) { return std::strcmp(e.name, "????") == 0 && e.size < kSmallPaletteLimit; });
  return found;
}

bool shpi_find_palette(const std::uint8_t* pack, std::size_t pack_size, const ShpiDirectory& directory,
                       std::size_t image, ShapeImage* picture) {
  const int found = shpi_pick_palette(directory.entries.data(), directory.entries.size(), image);
  if (found < 0) return false;
  const ShpiEntry& e = directory.entries[static_cast<std::size_t>(found)];
  if (e.offset < 0 || e.size < 0 || static_cast<std::uint64_t>(e.offset) + e.size > pack_size) return false;
  shpi::EntryBytes bytes;
  if (!shpi::entry_bytes(pack + e.offset, static_cast<std::size_t>(e.size), &bytes, nullptr)) return false;
  return shpi_decode_palette(bytes.data, bytes.size, picture->palette, picture->description,
                             &picture->palette_code) > 0;
}

namespace {

struct PackSource {
  const std::uint8_t* pack;
  std::size_t size;
  const ShpiDirectory* directory;
  std::size_t image;
};

bool find_in_pack(const void* context, ShapeImage* picture) {
  const auto* s = static_cast<const PackSource*>(context);
  return shpi_find_palette(s->pack, s->size, *s->directory, s->image, picture);
}

}  // namespace

ShpiStatus shpi_decode_entry(const std::uint8_t* pack, std::size_t pack_size, const ShpiDirectory& directory,
                             std::size_t index, ShapeImage* picture, ShpiError* error) {
  if (index >= directory.entries.size()) return fail(error, ShpiStatus::kCorrupt, "no entry %zu", index);
  const ShpiEntry& e = directory.entries[index];
  if (e.pseudo || (e.kind & kShpiKindOrip) != 0)
    return fail(error, ShpiStatus::kUnsupported, "'%s' is not an image block", e.name);
  if (e.offset < 0 || e.size < 0 || static_cast<std::uint64_t>(e.offset) + e.size > pack_size)
    return fail(error, ShpiStatus::kCorrupt, "'%s' lies outside the pack", e.name);
  const PackSource context{pack, pack_size, &directory, index};
  ShpiPaletteSource source;
  source.find = find_in_pack;
  source.context = &context;
  return shpi_decode_block(pack + e.offset, static_cast<std::size_t>(e.size), source, picture, error);
}

void shpi_build_block(const std::uint8_t* template_header, int code, int width, int height,
                      const std::uint8_t* pixels, std::size_t pixel_size, const std::uint8_t* attachment,
                      std::size_t attachment_size, ImageBytes* out) {
  // The attachment must start exactly where the header says: the pixels are padded up to it.
  const std::size_t padded = (pixel_size + 3) & ~std::size_t{3};
  const std::size_t offset = kShpiBlockHeaderSize + padded;
  std::uint8_t header[kShpiBlockHeaderSize] = {};
  header[0] = static_cast<std::uint8_t>(code & ~kShpiCompressedBit);
  header[1] = static_cast<std::uint8_t>(offset);
  header[2] = static_cast<std::uint8_t>(offset >> 8);
  header[3] = static_cast<std::uint8_t>(offset >> 16);
  header[4] = static_cast<std::uint8_t>(width);
  header[5] = static_cast<std::uint8_t>(width >> 8);
  header[6] = static_cast<std::uint8_t>(height);
  header[7] = static_cast<std::uint8_t>(height >> 8);
  if (template_header != nullptr) std::memcpy(header + 8, template_header + 8, 8);
  image_bytes_append(out, header, sizeof header);
  if (pixel_size > 0) image_bytes_append(out, pixels, pixel_size);
  static const std::uint8_t zeros[4] = {};
  if (padded > pixel_size) image_bytes_append(out, zeros, padded - pixel_size);
  if (attachment_size > 0) image_bytes_append(out, attachment, attachment_size);
}

ShpiStatus shpi_write(const char identifier[4], const ShpiOutBlock* blocks, std::size_t count,
                      ImageBytes* out, ShpiError* error) {
  std::size_t slots = 0;
  const ShpiOutBlock* area = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    if (!blocks[i].pseudo) {
      ++slots;
    } else if (area != nullptr) {
      return fail(error, ShpiStatus::kCorrupt, "more than one '----' area");
    } else {
      area = &blocks[i];
    }
  }
  if (slots >= kShpiMaxEntries)
    return fail(error, ShpiStatus::kCorrupt, "%zu entries exceed the limit of an SHPI pack", slots);

  // Offsets first, so that the directory can be written in one go and sizes checked.
  std::vector<std::uint32_t> offsets(count);
  std::uint64_t at = kShpiHeaderSize + std::uint64_t{slots} * kShpiDirEntrySize;
  if (area != nullptr) at += area->size;
  std::size_t last = count;
  for (std::size_t i = 0; i < count; ++i)
    if (!blocks[i].pseudo) last = i;
  for (std::size_t i = 0; i < count; ++i) {
    if (blocks[i].pseudo) continue;
    offsets[i] = static_cast<std::uint32_t>(at);
    at += blocks[i].size;
    if (i != last) at = (at + 3) & ~std::uint64_t{3};
    if (at > 0x7FFFFFFF) return fail(error, ShpiStatus::kCorrupt, "SHPI pack would exceed 2 GB");
  }
  const std::uint32_t total = static_cast<std::uint32_t>(at);

  std::uint8_t header[kShpiHeaderSize];
  std::memcpy(header, "SHPI", 4);
  shpi::put_le32(header + 4, total);
  shpi::put_le32(header + 8, static_cast<std::uint32_t>(slots));
  std::memcpy(header + 12, identifier, 4);
  image_bytes_append(out, header, sizeof header);
  for (std::size_t i = 0; i < count; ++i) {
    if (blocks[i].pseudo) continue;
    std::uint8_t slot[kShpiDirEntrySize] = {};
    for (int k = 0; k < 4 && blocks[i].name[k] != 0; ++k)
      slot[k] = static_cast<std::uint8_t>(blocks[i].name[k]);
    shpi::put_le32(slot + 4, offsets[i]);
    image_bytes_append(out, slot, sizeof slot);
  }
  if (area != nullptr && area->size > 0) image_bytes_append(out, area->data, area->size);
  static const std::uint8_t zeros[4] = {};
  for (std::size_t i = 0; i < count; ++i) {
    if (blocks[i].pseudo) continue;
    if (blocks[i].size > 0) image_bytes_append(out, blocks[i].data, blocks[i].size);
    if (i != last && (blocks[i].size & 3) != 0) image_bytes_append(out, zeros, 4 - (blocks[i].size & 3));
  }
  return ShpiStatus::kOk;
}
