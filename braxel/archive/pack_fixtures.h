// Builders of small pack archives in every layout, for the tests, fuzz seeds and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pack_fixtures {

using Bytes = std::vector<std::uint8_t>;
using Files = std::vector<std::pair<std::string, Bytes>>;

inline Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

inline void put_be(Bytes& b, std::uint32_t v, int width) {
  for (int i = width - 1; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_le(Bytes& b, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_name(Bytes& b, const std::string& name, std::size_t field) {
  for (std::size_t i = 0; i < field; ++i)
    b.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0);
}
inline std::size_t round4(std::size_t n) {
  return (n + 3) & ~std::size_t{3};
}

// BIGF as the update writes it: directory padded to 4, each entry's data padded to 4.
inline Bytes bigf(const Files& files) {
  std::size_t header = 16;
  for (const auto& f : files) header += 9 + f.first.size();
  header = round4(header);
  std::size_t total = header;
  for (const auto& f : files) total += round4(f.second.size());
  Bytes b = text("BIGF");
  put_be(b, static_cast<std::uint32_t>(total), 4);
  put_be(b, static_cast<std::uint32_t>(files.size()), 4);
  put_be(b, static_cast<std::uint32_t>(header), 4);
  std::size_t at = header;
  for (const auto& f : files) {
    put_be(b, static_cast<std::uint32_t>(at), 4);
    put_be(b, static_cast<std::uint32_t>(f.second.size()), 4);
    put_name(b, f.first, f.first.size() + 1);
    at += round4(f.second.size());
  }
  b.resize(header, 0);
  for (const auto& f : files) {
    b.insert(b.end(), f.second.begin(), f.second.end());
    b.resize(round4(b.size()), 0);
  }
  return b;
}

inline Bytes c0fb(const Files& files) {
  std::size_t header = 6;
  for (const auto& f : files) header += 7 + f.first.size();
  header = round4(header);
  Bytes b = {0xC0, 0xFB};
  put_be(b, static_cast<std::uint32_t>(header - 4), 2);
  put_be(b, static_cast<std::uint32_t>(files.size()), 2);
  std::size_t at = header;
  for (const auto& f : files) {
    put_be(b, static_cast<std::uint32_t>(at), 3);
    put_be(b, static_cast<std::uint32_t>(f.second.size()), 3);
    put_name(b, f.first, f.first.size() + 1);
    at += round4(f.second.size());
  }
  b.resize(header, 0);
  for (const auto& f : files) {
    b.insert(b.end(), f.second.begin(), f.second.end());
    b.resize(round4(b.size()), 0);
  }
  return b;
}

// FST with count + 1 records, the last an empty-named record at the end of the data.
inline Bytes fst(const Files& files) {
  const std::size_t records = files.size() + 1;
  Bytes b;
  put_le(b, static_cast<std::uint32_t>(records), 4);
  std::size_t at = 4 + 68 * records;
  for (const auto& f : files) {
    put_le(b, static_cast<std::uint32_t>(at), 4);
    put_name(b, f.first, 64);
    at += f.second.size();
  }
  put_le(b, static_cast<std::uint32_t>(at), 4);
  put_name(b, "", 64);
  for (const auto& f : files) b.insert(b.end(), f.second.begin(), f.second.end());
  return b;
}

inline Bytes mas(const Files& files) {
  std::size_t data = 0;
  for (const auto& f : files) data += f.second.size();
  Bytes b;
  put_le(b, static_cast<std::uint32_t>(files.size()), 4);
  put_le(b, static_cast<std::uint32_t>(data), 4);
  std::size_t at = 8 + 32 * files.size();
  for (const auto& f : files) {
    put_name(b, f.first, 16);
    put_le(b, static_cast<std::uint32_t>(at), 4);
    put_le(b, static_cast<std::uint32_t>(f.second.size()), 4);
    put_le(b, 0, 8);
    at += f.second.size();
  }
  for (const auto& f : files) b.insert(b.end(), f.second.begin(), f.second.end());
  return b;
}

inline Bytes apuk(const Files& files) {
  Bytes b = text("APUK");
  put_le(b, static_cast<std::uint32_t>(files.size()), 4);
  b.resize(32, 0);
  std::size_t at = 32 + 32 * files.size();
  for (const auto& f : files) {
    put_le(b, static_cast<std::uint32_t>(f.second.size()), 4);
    put_le(b, static_cast<std::uint32_t>(at), 4);
    put_le(b, 0, 8);
    put_name(b, f.first, 16);
    at += f.second.size();
  }
  for (const auto& f : files) b.insert(b.end(), f.second.begin(), f.second.end());
  return b;
}

// QPP: names of 4 characters; offsets count from the end of the directory.
inline Bytes qpp(const Files& files) {
  Bytes b = {0, 0, 0, 0};
  put_le(b, static_cast<std::uint32_t>(files.size()), 2);
  for (const auto& f : files) put_name(b, f.first, 4);
  std::size_t at = 0;
  for (const auto& f : files) {
    put_le(b, static_cast<std::uint32_t>(at), 4);
    at += f.second.size();
  }
  for (const auto& f : files) b.insert(b.end(), f.second.begin(), f.second.end());
  return b;
}

}  // namespace pack_fixtures
