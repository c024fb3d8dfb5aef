// Directory readers of the archive layouts BIGF, C0FB, APUK, MAS, FST and QPP. Every count is
// checked against the bytes that can hold it before anything is reserved, every name must end
// inside its field, and every entry must lie inside the container after the directory.
#include "braxel/archive/pack_formats.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "braxel/cli/console/console.h"

namespace {

// On-disk facts of the layouts.
constexpr int kBigfHeader = 16;   // magic, total size, count, header size
constexpr int kBigfMinEntry = 9;  // offset, size, one terminating zero
constexpr int kC0fbHeader = 6;    // magic, header size - 4, count
constexpr int kC0fbMinEntry = 7;  // 24-bit offset, 24-bit size, terminating zero
constexpr int kApukHeader = 32;   // magic, count, 24 unused bytes
constexpr int kApukEntry = 32;    // size, offset, 8 unused bytes, 16-byte name
constexpr int kApukName = 16;
constexpr int kMasHeader = 8;  // count, data size
constexpr int kMasEntry = 32;  // 16-byte name, offset, size, 8 further bytes
constexpr int kMasName = 16;
constexpr int kFstEntry = 68;  // offset, 64-byte name
constexpr int kFstName = 64;
constexpr int kFstMinHeader = 135;  // the smallest table the size rule accepts, minus 8
constexpr int kQppHeader = 6;       // 4 unused bytes, 16-bit count
constexpr int kQppName = 4;
constexpr int kReserveLimit = 65536;  // entries reserved up front; more grow as they are read

// Reads a container's directory through its cursor in blocks, never past the readable size.
class DirReader {
 public:
  DirReader(const PackSource& src, std::int64_t pos) : src_(src), pos_(pos), buf_(kBlock) {}

  std::int64_t pos() const { return pos_; }

  bool byte(std::uint8_t* out) {
    if (pos_ < start_ || pos_ >= start_ + length_) {
      if (pos_ < 0 || pos_ >= src_.readable) return false;
      pack_seek(src_.container, pos_, 0);
      length_ = pack_read(src_.container, buf_.data(), std::min<std::int64_t>(kBlock, src_.readable - pos_));
      start_ = pos_;
      if (length_ <= 0) return false;
    }
    *out = buf_[static_cast<std::size_t>(pos_ - start_)];
    ++pos_;
    return true;
  }

  // An unsigned field of width bytes in either byte order.
  bool field(int width, bool big_endian, std::uint32_t* value) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
      std::uint8_t b;
      if (!byte(&b)) return false;
      if (big_endian)
        v = v << 8 | b;
      else
        v |= static_cast<std::uint32_t>(b) << (8 * i);
    }
    *value = v;
    return true;
  }

  // A zero-terminated name: 1 read, 0 the data ended first, -1 longer than a record holds.
  int cstring(char* out) {
    for (int i = 0; i < kPackNameChars; ++i) {
      std::uint8_t b;
      if (!byte(&b)) return 0;
      out[i] = static_cast<char>(b);
      if (b == 0) return 1;
    }
    out[kPackNameChars - 1] = '\0';
    return -1;
  }

  // A fixed field of width bytes, zero-padded; a full field without a zero is a full-width name.
  bool fixed(int width, char* out) {
    std::string text;
    bool ended = false;
    for (int i = 0; i < width; ++i) {
      std::uint8_t b;
      if (!byte(&b)) return false;
      if (b == 0) ended = true;
      if (!ended) text.push_back(static_cast<char>(b));
    }
    if (text.size() >= static_cast<std::size_t>(kPackNameChars)) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
  }

 private:
  static constexpr std::int64_t kBlock = 65536;
  const PackSource& src_;
  std::int64_t pos_;
  std::vector<std::uint8_t> buf_;
  std::int64_t start_ = 0;
  std::int64_t length_ = 0;
};

PackEntry blank_entry() {
  PackEntry e{};
  e.width = e.height = -1;
  return e;
}

bool add_entry(const PackSource& src, std::vector<PackEntry>& out, PackEntry e, std::int64_t offset,
               std::int64_t size, std::int64_t directory_end) {
  if (e.name[0] == '\0') {
    console.print("'%s': entry %zu has no name\n", src.shown, out.size() + 1);
    return false;
  }
  if (offset < 0 || size < 0 || offset > src.readable || size > src.readable - offset) {
    console.print("'%s': entry '%s' lies outside the pack (offset %lld, size %lld, pack %lld bytes)\n",
                  src.shown, console_printable(e.name).c_str(), static_cast<long long>(offset),
                  static_cast<long long>(size), static_cast<long long>(src.readable));
    return false;
  }
  // Data inside the directory would let a pack contain itself.
  if (size > 0 && offset < directory_end) {
    console.print("'%s': entry '%s' overlaps the directory\n", src.shown, console_printable(e.name).c_str());
    return false;
  }
  e.offset = static_cast<std::int32_t>(offset);
  e.size = static_cast<std::int32_t>(size);
  out.push_back(e);
  return true;
}

bool too_many(const PackSource& src, const char* layout, std::int64_t count, std::int64_t room) {
  if (count >= 0 && count <= room) return false;
  console.print("'%s': %s directory of %lld entries does not fit in %lld bytes\n", src.shown, layout,
                static_cast<long long>(count), static_cast<long long>(src.readable));
  return true;
}

bool truncated(const PackSource& src, const char* layout, std::size_t index) {
  console.print("'%s': %s directory ends inside entry %zu\n", src.shown, layout, index + 1);
  return false;
}

bool bad_name(const PackSource& src, const char* layout, std::size_t index) {
  console.print("'%s': %s entry %zu has a name without an end or longer than %d characters\n", src.shown,
                layout, index + 1, kPackNameChars - 1);
  return false;
}

struct Raw {
  PackEntry entry;
  std::int64_t offset;
  std::int64_t size;
};

bool add_all(const PackSource& src, std::vector<Raw>& raw, std::int64_t directory_end,
             std::vector<PackEntry>& out) {
  out.reserve(std::min<std::size_t>(raw.size(), kReserveLimit));
  for (const Raw& r : raw)
    if (!add_entry(src, out, r.entry, r.offset, r.size, directory_end)) return false;
  return true;
}

// BIGF and C0FB share a shape: big-endian offset and size, then a zero-terminated name.
bool read_named_directory(const PackSource& src, const char* layout, std::int64_t count, int header,
                          int width, std::vector<PackEntry>& out) {
  DirReader r(src, header);
  std::vector<Raw> raw;
  raw.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, kReserveLimit)));
  for (std::int64_t i = 0; i < count; ++i) {
    Raw item{blank_entry(), 0, 0};
    std::uint32_t offset, size;
    if (!r.field(width, true, &offset) || !r.field(width, true, &size))
      return truncated(src, layout, raw.size());
    const int got = r.cstring(item.entry.name);
    if (got == 0) return truncated(src, layout, raw.size());
    if (got < 0) return bad_name(src, layout, raw.size());
    item.offset = offset;
    item.size = size;
    raw.push_back(item);
  }
  return add_all(src, raw, r.pos(), out);
}

}  // namespace

bool fst_rule(const std::uint8_t* head, std::int64_t head_length, std::int64_t size) {
  if (head_length < 8) return false;
  const std::int64_t c = static_cast<std::int32_t>(read_le32(head));
  const std::int64_t d = read_le32(head + 4);
  if (d - 8 < size && d - 8 > kFstMinHeader && c > 0 && c < d - 8 && d - 4 == kFstEntry * c) return true;
  // The rule's bound leaves out the archive our own writer makes for a single entry: two
  // records, the second the closing one (no name, offset at the end of the file). Only that
  // exact shape is taken, so no other small file becomes an FST archive by chance.
  constexpr std::int64_t kClosing = 4 + kFstEntry;
  if (c != 2 || d != 4 + kFstEntry * 2 || head_length < kClosing + 5) return false;
  return read_le32(head + kClosing) == size && head[kClosing + 4] == 0 && d <= size;
}

bool mas_rule(const std::uint8_t* head, std::int64_t size) {
  const std::int64_t c = read_le32(head);
  const std::int64_t d = read_le32(head + 4);
  return size != 0 && d != 0 && size > d && size == c * kMasEntry + kMasHeader + d;
}

bool read_bigf(const PackSource& src, std::vector<PackEntry>& out) {
  DirReader r(src, 8);
  std::uint32_t count;
  if (!r.field(4, true, &count)) return truncated(src, "BIGF", 0);
  if (too_many(src, "BIGF", count, (src.readable - kBigfHeader) / kBigfMinEntry)) return false;
  return read_named_directory(src, "BIGF", count, kBigfHeader, 4, out);
}

bool read_c0fb(const PackSource& src, std::vector<PackEntry>& out) {
  DirReader r(src, 4);
  std::uint32_t count;
  if (!r.field(2, true, &count)) return truncated(src, "C0FB", 0);
  if (too_many(src, "C0FB", count, (src.readable - kC0fbHeader) / kC0fbMinEntry)) return false;
  return read_named_directory(src, "C0FB", count, kC0fbHeader, 3, out);
}

bool read_apuk(const PackSource& src, std::vector<PackEntry>& out) {
  DirReader r(src, 4);
  std::uint32_t count;
  if (!r.field(4, false, &count)) return truncated(src, "APUK", 0);
  if (too_many(src, "APUK", count, (src.readable - kApukHeader) / kApukEntry)) return false;
  DirReader d(src, kApukHeader);
  std::vector<Raw> raw;
  for (std::uint32_t i = 0; i < count; ++i) {
    Raw item{blank_entry(), 0, 0};
    std::uint32_t size, offset, unused;
    if (!d.field(4, false, &size) || !d.field(4, false, &offset) || !d.field(4, false, &unused) ||
        !d.field(4, false, &unused) || !d.fixed(kApukName, item.entry.name))
      return truncated(src, "APUK", raw.size());
    item.offset = offset;
    item.size = size;
    raw.push_back(item);
  }
  return add_all(src, raw, d.pos(), out);
}

bool read_mas(const PackSource& src, std::vector<PackEntry>& out) {
  DirReader r(src, 0);
  std::uint32_t count, data;
  if (!r.field(4, false, &count) || !r.field(4, false, &data)) return truncated(src, "MAS", 0);
  std::vector<Raw> raw;
  for (std::uint32_t i = 0; i < count; ++i) {
    Raw item{blank_entry(), 0, 0};
    std::uint32_t offset, size, unused;
    if (!r.fixed(kMasName, item.entry.name) || !r.field(4, false, &offset) || !r.field(4, false, &size) ||
        !r.field(4, false, &unused) || !r.field(4, false, &unused))
      return truncated(src, "MAS", raw.size());
    item.offset = offset;
    item.size = size;
    raw.push_back(item);
  }
  return add_all(src, raw, r.pos(), out);
}

bool read_fst(const PackSource& src, std::vector<PackEntry>& out) {
  DirReader r(src, 0);
  std::uint32_t count;
  if (!r.field(4, false, &count)) return truncated(src, "FST", 0);
  // The size rule has tied the count to the first offset, which lies inside the file.
  std::vector<Raw> raw;
  std::vector<std::int64_t> offsets;
  for (std::uint32_t i = 0; i < count; ++i) {
    Raw item{blank_entry(), 0, 0};
    std::uint32_t offset;
    if (!r.field(4, false, &offset)) return truncated(src, "FST", raw.size());
    if (!r.fixed(kFstName, item.entry.name)) return bad_name(src, "FST", raw.size());
    offsets.push_back(offset);
    if (item.entry.name[0] == '\0') break;
    item.offset = offset;
    raw.push_back(item);
  }
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::int64_t next = i + 1 < offsets.size() ? offsets[i + 1] : src.readable;
    raw[i].size = next - raw[i].offset;
    if (raw[i].size < 0) {
      console.print("'%s': FST entry '%s' ends before it starts\n", src.shown,
                    console_printable(raw[i].entry.name).c_str());
      return false;
    }
  }
  return add_all(src, raw, static_cast<std::int64_t>(4) + std::int64_t{kFstEntry} * count, out);
}

bool read_qpp(const PackSource& src, std::vector<PackEntry>& out) {
  DirReader r(src, 4);
  std::uint32_t count;
  if (!r.field(2, false, &count)) return truncated(src, "QPP", 0);
  const std::int64_t directory_end = kQppHeader + std::int64_t{8} * count;
  if (too_many(src, "QPP", count, (src.readable - kQppHeader) / 8)) return false;
  std::vector<Raw> raw;
  for (std::uint32_t i = 0; i < count; ++i) {
    Raw item{blank_entry(), 0, 0};
    if (!r.fixed(kQppName, item.entry.name)) return truncated(src, "QPP", raw.size());
    if (item.entry.name[0] != '!') item.entry.kind = kKindImage;
    raw.push_back(item);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t offset;
    if (!r.field(4, false, &offset)) return truncated(src, "QPP", i);
    raw[i].offset = std::int64_t{offset} + directory_end;
  }
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::int64_t next = i + 1 < raw.size() ? raw[i + 1].offset : src.readable;
    raw[i].size = next - raw[i].offset;
    if (raw[i].size < 0) {
      console.print("'%s': QPP entry '%s' ends before it starts\n", src.shown,
                    console_printable(raw[i].entry.name).c_str());
      return false;
    }
  }
  return add_all(src, raw, directory_end, out);
}
