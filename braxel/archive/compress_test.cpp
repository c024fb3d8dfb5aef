// Tests of the compressed stream formats: header recognition, the three decoders on streams
// made by small encoders written here, the compressor against a literal transcription of its
// algorithm, round trips and refusal of corrupt streams.
#include "braxel/archive/compress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "braxel/archive/lz77_reference.h"
#include "braxel/cli/console/console.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class CompressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    console_init();
    options = BraxelOptions{};
  }
};

Bytes header(std::uint8_t type, std::uint32_t size) {
  return {type, 0xFB, static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 8),
          static_cast<std::uint8_t>(size)};
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes compress_quiet(const Bytes& in) {
  Bytes out;
  lz77_compress(in.data(), static_cast<std::int64_t>(in.size()), out, false);
  return out;
}

Bytes decode_ok(const Bytes& stream) {
  Bytes out;
  EXPECT_EQ(stream_decode(stream, out), DecodeStatus::kOk);
  return out;
}

Bytes random_bytes(std::size_t n, std::uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng() % alphabet);
  return b;
}

Bytes repeated_text(std::size_t n) {
  static const std::string words[] = {"the ",  "puck ", "goalie ", "saves ", "a ",     "slap ",  "shot ",
                                      "from ", "blue ", "line ",   "and ",   "crowd ", "roars\n"};
  std::mt19937 rng(7);
  Bytes b;
  while (b.size() < n) {
    const std::string& w = words[rng() % 13];
    b.insert(b.end(), w.begin(), w.end());
  }
  b.resize(n);
  return b;
}

// Literal runs and copies at every distance form: the same random chunk recurs at distances
// around 1024, 16384 and 131072 with lengths 3 to 1028 and more.
Bytes distance_forms(std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b = random_bytes(140000, seed);
  static const int kDistances[] = {1,     2,     3,     7,      1023,   1024,   1025,
                                   16383, 16384, 16385, 100000, 131071, 131072, 131073};
  static const int kLengths[] = {3, 4, 5, 10, 11, 67, 68, 1028, 1029, 3000};
  for (int round = 0; round < 60; ++round) {
    const int d = kDistances[rng() % std::size(kDistances)];
    const int len = kLengths[rng() % std::size(kLengths)];
    const std::size_t at = b.size();
    for (int i = 0; i < len; ++i) b.push_back(b[at + i - d]);
    for (int i = 0; i < 1 + static_cast<int>(rng() % 9); ++i) b.push_back(static_cast<std::uint8_t>(rng()));
  }
  return b;
}

// ---- header ----------------------------------------------------------------------------------

TEST_F(CompressTest, RecognisesOnlyTheThreeTypes) {
  std::int32_t size = -1;
  for (int t = 0; t < 256; ++t) {
    Bytes h = header(static_cast<std::uint8_t>(t), 0x123456);
    const bool ok = stream_is_compressed(h.data(), 5, &size);
    EXPECT_EQ(ok, t == 0x10 || t == 0x30 || t == 0x46) << t;
    if (ok) {
      EXPECT_EQ(size, 0x123456);
    }
  }
  Bytes h = {0x10, 0xFA, 0, 0, 1};
  EXPECT_FALSE(stream_is_compressed(h.data(), 5, &size));
  Bytes shortbuf = {0x10, 0xFB, 0, 0};
  EXPECT_FALSE(stream_is_compressed(shortbuf.data(), 4, &size));
  // Types 0x11 and 0x47 carry extra header bytes but are not recognised.
  for (std::uint8_t t : {0x11, 0x47}) {
    Bytes odd = header(t, 4);
    EXPECT_FALSE(stream_is_compressed(odd.data(), 5, &size)) << int{t};
  }
}

// The type bytes are hexadecimal: the game's streams begin 10 FB, 30 FB or 46 FB, and the
// same numbers read as decimal (0A, 1E, 2E) are nothing the game writes.
TEST_F(CompressTest, TypeBytesAreHexadecimal) {
  const Bytes plain = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  Bytes wrapped;
  literal_wrap(plain.data(), 8, wrapped);
  EXPECT_EQ(wrapped, (Bytes{0x10, 0xFB, 0x00, 0x00, 0x08, 0xE1, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
                            0x48, 0xFC}));
  EXPECT_EQ(compress_quiet(plain)[0], 0x10);
  for (std::uint8_t decimal : {0x0A, 0x1E, 0x2E}) {
    Bytes s = wrapped;
    s[0] = decimal;
    Bytes out;
    EXPECT_FALSE(stream_is_compressed(s.data(), static_cast<std::int64_t>(s.size()), nullptr))
        << int{decimal};
    EXPECT_EQ(stream_decode(s, out), DecodeStatus::kNotCompressed) << int{decimal};
  }
}

// ---- LZ77 decoder ----------------------------------------------------------------------------

TEST_F(CompressTest, Lz77OffsetOneRepeatsLastByte) {
  // literal 'x' via the stop-less path: E0 gives 4 literals, then a copy of 10 from offset 1.
  Bytes s = cat(header(0x10, 14), {0xE0, 'a', 'b', 'c', 'x', 0x1C, 0x00, 0xFC});
  // 0x1C: literals 0, length ((0x1C >> 2) & 7) + 3 = 10, offset 0 + 1
  Bytes out = decode_ok(s);
  EXPECT_EQ(std::string(out.begin(), out.end()), "abcxxxxxxxxxxx");
}

TEST_F(CompressTest, Lz77AllCommandForms) {
  // 2-byte form with 2 literals, 3-byte form with 1 literal, 4-byte form with 3 literals.
  Bytes s = header(0x10, 0);
  Bytes plain;
  auto lit = [&](std::uint8_t v) {
    plain.push_back(v);
    s.push_back(v);
  };
  s.push_back(0xE0);
  for (int i = 0; i < 4; ++i) lit(static_cast<std::uint8_t>('A' + i));
  // 2-byte: lits 2, len 5, offset 4  -> b0 = (0 << 5) | ((5-3) << 2) | 2, b1 = 3
  s.push_back((2 << 2) | 2);
  s.push_back(3);
  lit('x');
  lit('y');
  for (int i = 0; i < 5; ++i) plain.push_back(plain[plain.size() - 4]);
  // 3-byte: len 20, offset 11, lits 1
  s.push_back(0x80 | (20 - 4));
  s.push_back((1 << 6) | 0);
  s.push_back(10);
  lit('z');
  for (int i = 0; i < 20; ++i) plain.push_back(plain[plain.size() - 11]);
  // 4-byte: len 300, offset 30, lits 3
  const int len = 300;
  const int o = 29;
  s.push_back(static_cast<std::uint8_t>(0xC0 | ((o >> 16) << 4) | (((len - 5) >> 8) << 2) | 3));
  s.push_back(static_cast<std::uint8_t>(o >> 8));
  s.push_back(static_cast<std::uint8_t>(o));
  s.push_back(static_cast<std::uint8_t>((len - 5) & 0xFF));
  lit('1');
  lit('2');
  lit('3');
  for (int i = 0; i < len; ++i) plain.push_back(plain[plain.size() - 30]);
  s.push_back(0xFD);
  lit('!');
  s[2] = static_cast<std::uint8_t>(plain.size() >> 16);
  s[3] = static_cast<std::uint8_t>(plain.size() >> 8);
  s[4] = static_cast<std::uint8_t>(plain.size());
  EXPECT_EQ(decode_ok(s), plain);
}

TEST_F(CompressTest, Lz77RefusesBadStreams) {
  Bytes out;
  // Offset before the start of the output.
  EXPECT_EQ(stream_decode(cat(header(0x10, 20), {0xE0, 1, 2, 3, 4, 0x1C, 0x05, 0xFC}), out),
            DecodeStatus::kBadOffset);
  // Copy past the declared size.
  EXPECT_EQ(stream_decode(cat(header(0x10, 6), {0xE0, 1, 2, 3, 4, 0x1C, 0x00, 0xFC}), out),
            DecodeStatus::kOverrun);
  // Literals past the declared size.
  EXPECT_EQ(stream_decode(cat(header(0x10, 2), {0xE0, 1, 2, 3, 4, 0xFC}), out), DecodeStatus::kOverrun);
  // Truncated: no stop byte, literals cut short, a command cut short.
  EXPECT_EQ(stream_decode(cat(header(0x10, 4), {0xE0, 1, 2, 3, 4}), out), DecodeStatus::kTruncated);
  EXPECT_EQ(stream_decode(cat(header(0x10, 4), {0xE0, 1, 2}), out), DecodeStatus::kTruncated);
  EXPECT_EQ(stream_decode(cat(header(0x10, 40), {0xE0, 1, 2, 3, 4, 0xC0, 0}), out), DecodeStatus::kTruncated);
  EXPECT_EQ(stream_decode(header(0x10, 0), out), DecodeStatus::kTruncated);
  // A 5-byte file cannot claim 16 MiB.
  EXPECT_EQ(stream_decode(cat(header(0x10, 0xFFFFFF), {0xFC}), out), DecodeStatus::kTooLarge);
}

TEST_F(CompressTest, DecompressInterface) {
  Bytes s = cat(header(0x10, 3), {0xFF, 'a', 'b', 'c'});
  auto* buf = static_cast<std::uint8_t*>(console.allocate(s.size()));
  std::memcpy(buf, s.data(), s.size());
  std::int32_t size = static_cast<std::int32_t>(s.size());
  const std::int64_t before = console_live_bytes();
  std::uint8_t* out = stream_decompress(buf, &size, 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
  // The input was released; the output has 32 spare bytes.
  EXPECT_EQ(console_live_bytes(), before - static_cast<std::int64_t>(s.size()) + 3 + 32);
  console.release(out);

  Bytes plain = {'n', 'o', 'p', 'e', '!', '!'};
  auto* raw = static_cast<std::uint8_t*>(console.allocate(plain.size()));
  std::memcpy(raw, plain.data(), plain.size());
  size = 6;
  DecodeStatus status = DecodeStatus::kOk;
  EXPECT_EQ(stream_decompress(raw, &size, 1, &status), nullptr);
  EXPECT_EQ(status, DecodeStatus::kNotCompressed);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(raw[0], 'n');  // left alone
  console.release(raw);
}

// ---- literal-only wrapper --------------------------------------------------------------------

TEST_F(CompressTest, LiteralWrapperLayout) {
  Bytes in = {'1', '2', '3', '4', '5', '6', '7', '8'};
  auto* buf = static_cast<std::uint8_t*>(console.allocate(in.size()));
  std::memcpy(buf, in.data(), in.size());
  std::int32_t size = 8;
  std::uint8_t* out = stream_compress(buf, &size);
  ASSERT_EQ(size, 15);
  Bytes got(out, out + size);
  EXPECT_EQ(got, cat(header(0x10, 8), {0xE1, '1', '2', '3', '4', '5', '6', '7', '8', 0xFC}));
  console.release(out);

  for (std::size_t n : {0u, 4u, 60u, 64u, 68u, 128u, 1000u, 4096u}) {
    Bytes data = random_bytes(n, static_cast<std::uint32_t>(n));
    Bytes s;
    literal_wrap(data.data(), static_cast<std::int64_t>(n), s);
    EXPECT_EQ(s.size(), n + (n + 63) / 64 + 6) << n;
    EXPECT_EQ(decode_ok(s), data) << n;
  }
}

TEST_F(CompressTest, LiteralWrapperRefusesOddSizes) {
  Bytes in(6, 1);
  Bytes out;
  EXPECT_EXIT(literal_wrap(in.data(), 6, out), ::testing::ExitedWithCode(1),
              "");  // the fatal text goes to standard output; the CLI tests check it
}

// ---- Huffman variant (type 0x30) ---------------------------------------------------------------

// Most significant bit first, padded to whole 16-bit words as the decoder reads them.
struct BitWriter {
  Bytes bytes;
  int used = 0;  // bits used in the last byte
  void put(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (used == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<std::uint8_t>(0x80 >> used);
      used = (used + 1) & 7;
    }
  }
  void number(std::uint32_t n) {
    if (n < 4) {
      put(1, 1);
      put(n, 2);
      return;
    }
    int k = 1;
    while (n >= (1u << (k + 3)) - 4) ++k;
    put(0, k);
    put(1, 1);
    put(n - ((1u << (k + 2)) - 4), k + 2);
  }
  Bytes finish() {
    if (bytes.size() % 2) bytes.push_back(0);
    return bytes;
  }
};

struct HuffmanOptions {
  std::uint8_t clue = 0xF5;
  std::uint32_t seed = 1;         // order of the symbol list
  int escape_every = 0;           // code every n-th byte through the clue's literal escape
  bool runs = true;               // code runs through the clue's repeat
  std::uint32_t extra_turns = 0;  // whole turns added to each symbol step (the decoder skips them)
};

Bytes encode_huffman(const Bytes& data, const HuffmanOptions& opt) {
  std::vector<int> symbols;
  std::array<bool, 256> seen{};
  seen[opt.clue] = true;
  for (std::uint8_t b : data) seen[b] = true;
  for (int v = 0; v < 256; ++v)
    if (seen[v]) symbols.push_back(v);
  if (symbols.size() == 1) symbols.push_back(opt.clue ^ 1);
  std::mt19937 rng(opt.seed);
  std::shuffle(symbols.begin(), symbols.end(), rng);

  // A full code: the first `shorter` symbols get d bits, the rest d + 1.
  const int k = static_cast<int>(symbols.size());
  int d = 0;
  while ((2 << d) <= k) ++d;
  const int shorter = (k == (1 << d)) ? k : (2 << d) - k;
  std::array<std::uint32_t, 18> count{};
  count[d] = static_cast<std::uint32_t>(shorter);
  count[d + 1] = static_cast<std::uint32_t>(k - shorter);
  const int max_length = count[d + 1] ? d + 1 : d;

  BitWriter w;
  w.put(opt.clue, 8);
  for (int length = 1; length <= max_length; ++length) w.number(count[length]);
  std::array<bool, 256> chosen{};
  int at = -1;
  for (int i = 0; i < k; ++i) {
    std::uint32_t steps = 0;
    int v = at;
    do {
      v = (v + 1) & 255;
      if (!chosen[v]) ++steps;
    } while (v != symbols[i]);
    chosen[v] = true;
    at = v;
    w.number(steps - 1 + opt.extra_turns * static_cast<std::uint32_t>(256 - i));
  }
  std::array<std::uint32_t, 256> code{};
  std::array<int, 256> bits{};
  std::uint32_t next = 0;
  int index = 0;
  for (int length = 1; length <= max_length; ++length) {
    for (std::uint32_t c = 0; c < count[length]; ++c, ++index) {
      code[symbols[index]] = next + c;
      bits[symbols[index]] = length;
    }
    next = (next + count[length]) << 1;
  }
  auto sym = [&](int v) { w.put(code[v], bits[v]); };
  for (std::size_t i = 0; i < data.size();) {
    const std::uint8_t b = data[i];
    std::size_t run = 1;
    while (i + run < data.size() && data[i + run] == b) ++run;
    if (b == opt.clue || (opt.escape_every && i % opt.escape_every == 0)) {
      sym(opt.clue);
      w.number(0);
      w.put(0, 1);
      w.put(b, 8);
    } else {
      sym(b);
    }
    if (opt.runs && run >= 3) {
      sym(opt.clue);
      w.number(static_cast<std::uint32_t>(run - 1));
      i += run;
    } else {
      ++i;
    }
  }
  sym(opt.clue);
  w.number(0);
  w.put(1, 1);
  return cat(header(0x30, static_cast<std::uint32_t>(data.size())), w.finish());
}

TEST_F(CompressTest, HuffmanDecodesWhatTheTestEncoderWrites) {
  Bytes all(256 * 3);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i * 7);
  Bytes runs;
  for (int i = 0; i < 50; ++i) runs.insert(runs.end(), 1 + i * 37 % 300, static_cast<std::uint8_t>(i % 5));
  const std::vector<std::pair<Bytes, HuffmanOptions>> cases = {
      {Bytes{'a'}, {}},
      {Bytes{}, {}},
      {repeated_text(5000), {}},
      {repeated_text(5000), {0x20, 9, 3, true, 0}},  // the clue is a frequent byte
      {all, {}},                                     // every byte value; the clue is one of them
      {random_bytes(3000, 4, 5), {0x00, 2, 0, true, 2}},
      {runs, {}},
      {runs, {0x01, 3, 0, false, 0}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Bytes stream = encode_huffman(cases[i].first, cases[i].second);
    Bytes out;
    ASSERT_EQ(stream_decode(stream, out), DecodeStatus::kOk) << "case " << i;
    EXPECT_EQ(out, cases[i].first) << "case " << i;
  }
}

TEST_F(CompressTest, HuffmanVariableLengthNumbers) {
  // A one-symbol-plus-clue code: 'x' is 0, the clue 1. Repeats of every size class of the
  // variable-length number must come out exactly.
  for (std::uint32_t n : {1u, 3u, 4u, 11u, 12u, 27u, 28u, 1000u, 70000u}) {
    BitWriter w;
    w.put(0xC1, 8);         // clue
    w.number(2);            // two codes of length 1: full
    w.number(0x78);         // 'x' is the 121st value: step 0x78 + 1
    w.number(0xC1 - 0x79);  // clue: counted on from just after 'x'
    w.put(0, 1);            // 'x'
    w.put(1, 1);            // clue
    w.number(n);            // repeat
    w.put(1, 1);
    w.number(0);
    w.put(1, 1);  // end
    Bytes stream = cat(header(0x30, n + 1), w.finish());
    Bytes out;
    ASSERT_EQ(stream_decode(stream, out), DecodeStatus::kOk) << n;
    EXPECT_EQ(out, Bytes(n + 1, 'x')) << n;
  }
}

TEST_F(CompressTest, HuffmanRefusesBadStreams) {
  Bytes out;
  auto stream = [](auto&& body, std::uint32_t size) {
    BitWriter w;
    body(w);
    return cat(header(0x30, size), w.finish());
  };
  // Over-full code space: three codes of length 1.
  EXPECT_EQ(stream_decode(stream([](BitWriter& w) { w.put(0, 8), w.number(3); }, 4), out),
            DecodeStatus::kBadTable);
  // Never full within 16 bits: one code per length.
  EXPECT_EQ(stream_decode(stream(
                              [](BitWriter& w) {
                                w.put(0, 8);
                                for (int i = 0; i < 17; ++i) w.number(1);
                              },
                              4),
                          out),
            DecodeStatus::kBadTable);
  // More symbols than byte values.
  EXPECT_EQ(stream_decode(stream(
                              [](BitWriter& w) {
                                w.put(0, 8);
                                for (int i = 0; i < 8; ++i) w.number(0);
                                w.number(300);
                              },
                              4),
                          out),
            DecodeStatus::kBadTable);
  // A repeat before any output.
  EXPECT_EQ(stream_decode(stream(
                              [](BitWriter& w) {
                                w.put(0, 8);
                                w.number(2);
                                w.number(0);
                                w.number(0);
                                w.put(0, 1);  // value 0 = the clue
                                w.number(5);
                              },
                              4),
                          out),
            DecodeStatus::kBadOffset);
  // Output beyond the declared size, and a stream cut short.
  Bytes good = encode_huffman(repeated_text(500), {});
  Bytes bigger = good;
  bigger[4] = static_cast<std::uint8_t>(bigger[4] - 1);
  bigger[3] = good[3];
  EXPECT_EQ(stream_decode(bigger, out), DecodeStatus::kOverrun);
  for (std::size_t cut : {std::size_t{6}, std::size_t{9}, std::size_t{40}, good.size() - 3}) {
    Bytes shortened(good.begin(), good.begin() + static_cast<long>(cut));
    EXPECT_EQ(stream_decode(shortened, out), DecodeStatus::kTruncated) << cut;
  }
  // Zero bits forever are no valid stream and end, not hang.
  EXPECT_NE(stream_decode(cat(header(0x30, 100), Bytes(64, 0)), out), DecodeStatus::kOk);
  EXPECT_NE(stream_decode(cat(header(0x30, 100), Bytes(64, 0xFF)), out), DecodeStatus::kOk);
}

// ---- byte-pair variant (type 0x46) -------------------------------------------------------------

// Replaces the most frequent pair of tokens by a new code, `rounds` times; codes may contain
// codes. Every `escape_every`-th non-zero literal goes through the escape.
Bytes encode_bytepair(const Bytes& data, int rounds, int escape_every) {
  std::array<bool, 256> used{};
  for (std::uint8_t b : data) used[b] = true;
  std::vector<int> free_values;
  for (int v = 255; v > 0; --v)
    if (!used[v]) free_values.push_back(v);
  EXPECT_FALSE(free_values.empty());
  const int escape = free_values.back();
  free_values.pop_back();
  std::vector<int> tokens(data.begin(), data.end());
  Bytes table;
  int pairs = 0;
  for (int r = 0; r < rounds && !free_values.empty() && pairs < 255; ++r) {
    std::map<std::pair<int, int>, int> freq;
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) ++freq[{tokens[i], tokens[i + 1]}];
    auto best = std::max_element(freq.begin(), freq.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    if (best == freq.end() || best->second < 3) break;
    const int code = free_values.back();
    free_values.pop_back();
    table.insert(table.end(), {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(best->first.first),
                               static_cast<std::uint8_t>(best->first.second)});
    ++pairs;
    std::vector<int> next;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      if (i + 1 < tokens.size() && tokens[i] == best->first.first && tokens[i + 1] == best->first.second) {
        next.push_back(code);
        ++i;
      } else {
        next.push_back(tokens[i]);
      }
    }
    tokens = std::move(next);
  }
  Bytes s = header(0x46, static_cast<std::uint32_t>(data.size()));
  s.push_back(static_cast<std::uint8_t>(escape));
  s.push_back(static_cast<std::uint8_t>(pairs));
  s.insert(s.end(), table.begin(), table.end());
  int literal = 0;
  for (int t : tokens) {
    if (used[t] && t != 0 && escape_every && ++literal % escape_every == 0)
      s.push_back(static_cast<std::uint8_t>(escape));
    s.push_back(static_cast<std::uint8_t>(t));
  }
  s.push_back(static_cast<std::uint8_t>(escape));
  s.push_back(0);
  return s;
}

TEST_F(CompressTest, BytePairDecodesNestedCodes) {
  const std::vector<Bytes> inputs = {Bytes{}, Bytes{'z'}, repeated_text(8000), random_bytes(4000, 8, 6),
                                     Bytes(5000, 'a')};
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    for (int escape_every : {0, 3}) {
      Bytes stream = encode_bytepair(inputs[i], 60, escape_every);
      Bytes out;
      ASSERT_EQ(stream_decode(stream, out), DecodeStatus::kOk) << i;
      EXPECT_EQ(out, inputs[i]) << i;
    }
  }
  // 'aaaa...' nests: each round pairs the previous code with itself.
  Bytes nested = encode_bytepair(Bytes(4096, 'a'), 20, 0);
  EXPECT_LT(nested.size(), 60u);
}

TEST_F(CompressTest, BytePairRefusesBadStreams) {
  Bytes out;
  // A code whose expansion contains itself on the left never produces output.
  EXPECT_EQ(stream_decode(cat(header(0x46, 10), {0xFF, 1, 0x80, 0x80, 'x', 0x80, 0xFF, 0}), out),
            DecodeStatus::kBadTable);
  // Two codes naming each other.
  EXPECT_EQ(
      stream_decode(cat(header(0x46, 10), {0xFF, 2, 0x80, 0x81, 'x', 0x81, 0x80, 'y', 0x80, 0xFF, 0}), out),
      DecodeStatus::kBadTable);
  // On the right it produces output without end: stopped at the declared size.
  EXPECT_EQ(stream_decode(cat(header(0x46, 10), {0xFF, 1, 0x80, 'x', 0x80, 0x80, 0xFF, 0}), out),
            DecodeStatus::kOverrun);
  // Truncated table, data without the end mark, an escape at the very end.
  EXPECT_EQ(stream_decode(cat(header(0x46, 10), {0xFF, 3, 0x80, 'a'}), out), DecodeStatus::kTruncated);
  EXPECT_EQ(stream_decode(cat(header(0x46, 10), {0xFF, 0, 'a', 'b'}), out), DecodeStatus::kTruncated);
  EXPECT_EQ(stream_decode(cat(header(0x46, 10), {0xFF, 0, 'a', 0xFF}), out), DecodeStatus::kTruncated);
  EXPECT_EQ(stream_decode(cat(header(0x46, 1), {0xFF, 0, 'a', 'b', 0xFF, 0}), out), DecodeStatus::kOverrun);
  // Escaped values come out unchanged, even when they are codes.
  out.clear();
  EXPECT_EQ(stream_decode(cat(header(0x46, 3), {0xFF, 1, 0x80, 'a', 'b', 0xFF, 0x80, 0x80, 0xFF, 0}), out),
            DecodeStatus::kOk);
  EXPECT_EQ(out, (Bytes{0x80, 'a', 'b'}));
}

// Every decoder must produce exactly the declared size: a stream whose end comes first would
// otherwise give made-up zero bytes and look like success.
TEST_F(CompressTest, EarlyEndIsShortInEveryDecoder) {
  auto declared_plus_one = [](Bytes s) {
    const std::uint32_t size = ((std::uint32_t{s[2]} << 16) | (s[3] << 8) | s[4]) + 1;
    s[2] = static_cast<std::uint8_t>(size >> 16), s[3] = static_cast<std::uint8_t>(size >> 8);
    s[4] = static_cast<std::uint8_t>(size);
    return s;
  };
  struct Case {
    const char* what;
    Bytes stream;
  };
  const Case cases[] = {
      {"LZ77 stop after 2 of 6 bytes", cat(header(0x10, 6), {0xFE, 7, 8})},
      {"LZ77 stop at once", cat(header(0x10, 200), {0xFC})},
      {"LZ77 one short", declared_plus_one(compress_quiet(repeated_text(3000)))},
      {"Huffman end one short", declared_plus_one(encode_huffman(repeated_text(500), {}))},
      {"byte-pair end at once, 16 MiB declared", cat(header(0x46, 0xFFFFFF), {0xFF, 0, 0xFF, 0})},
      {"byte-pair one short", declared_plus_one(encode_bytepair(repeated_text(800), 20, 0))},
  };
  for (const Case& c : cases) {
    Bytes out;
    EXPECT_EQ(stream_decode(c.stream, out), DecodeStatus::kShort) << c.what;
    auto* block = static_cast<std::uint8_t*>(console.allocate(c.stream.size()));
    std::memcpy(block, c.stream.data(), c.stream.size());
    std::int32_t size = static_cast<std::int32_t>(c.stream.size());
    DecodeStatus status = DecodeStatus::kOk;
    EXPECT_EQ(stream_decompress(block, &size, 1, &status), nullptr) << c.what;
    EXPECT_EQ(status, DecodeStatus::kShort) << c.what;
    console.release(block);
  }
  EXPECT_STREQ(decode_status_text(DecodeStatus::kShort), "stream stops before the declared size");
}

// ---- the real compressor ---------------------------------------------------------------------

TEST_F(CompressTest, ThreeByteInput) {
  EXPECT_EQ(compress_quiet({'a', 'b', 'c'}), cat(header(0x10, 3), {0xFF, 'a', 'b', 'c'}));
  EXPECT_EQ(compress_quiet({'a', 'a', 'a'}), cat(header(0x10, 3), {0xFF, 'a', 'a', 'a'}));
}

TEST_F(CompressTest, EmptyInput) {
  EXPECT_EQ(compress_quiet({}), cat(header(0x10, 0), {0xFC}));
}

TEST_F(CompressTest, SmallInputsAreLiterals) {
  for (std::size_t n = 1; n <= 8; ++n) {
    Bytes in(n, 'q');
    Bytes s = compress_quiet(in);
    EXPECT_EQ(decode_ok(s), in);
    EXPECT_EQ(s, lz77_reference_compress(in)) << n;
  }
}

TEST_F(CompressTest, Distance16385Length5UsesFourByteForm) {
  // A 5-byte pattern, 16385 bytes of filler that never repeats it, the pattern again, then a
  // byte that differs.
  Bytes in = {'Q', 'W', 'E', 'R', 'T'};
  Bytes filler = random_bytes(16380, 99, 16);  // values 0..15 only
  in.insert(in.end(), filler.begin(), filler.end());
  in.insert(in.end(), {'Q', 'W', 'E', 'R', 'T', 'z', 'z', 'y', 'x'});
  Bytes s = compress_quiet(in);
  EXPECT_EQ(decode_ok(s), in);
  EXPECT_EQ(s, lz77_reference_compress(in));
  // Find the 4-byte command of length 5 and offset 16385 (o = 16384).
  const Bytes form = {0x00, 0x40, 0x00, 0x00};  // C0|..|lits (masked), o>>8 = 0x40, o & FF, len-5
  bool found = false;
  for (std::size_t i = 5; i + 4 <= s.size(); ++i) {
    if ((s[i] & 0xFC) == 0xC0 && s[i + 1] == form[1] && s[i + 2] == form[2] && s[i + 3] == form[3])
      found = true;
  }
  EXPECT_TRUE(found);
}

TEST_F(CompressTest, RunOfZerosThenRepeat) {
  // The run's own positions are never candidates; its later repeat is copied.
  Bytes in(1000, 0);
  Bytes tail = random_bytes(3000, 5);
  in.insert(in.end(), tail.begin(), tail.end());
  in.insert(in.end(), 1000, 0);
  in.insert(in.end(), {1, 2, 3, 4, 5, 6, 7, 8});
  Bytes s = compress_quiet(in);
  EXPECT_EQ(decode_ok(s), in);
  EXPECT_EQ(s, lz77_reference_compress(in));
  // The first 1000 zeros are stored as literals: at least 1000 payload bytes before any copy.
  EXPECT_EQ(s[5], 0xFB);
}

TEST_F(CompressTest, MatchesTheReferenceTranscription) {
  std::vector<Bytes> inputs = {
      random_bytes(5000, 1), random_bytes(20000, 2, 4),  repeated_text(60000),
      Bytes(70000, 0x55),    random_bytes(100000, 3, 2), distance_forms(11),
  };
  Bytes runs;
  std::mt19937 rng(3);
  while (runs.size() < 200000)
    runs.insert(runs.end(), 1 + rng() % 70000, static_cast<std::uint8_t>(rng() % 3));
  inputs.push_back(runs);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    Bytes s = compress_quiet(inputs[i]);
    Bytes ref = lz77_reference_compress(inputs[i]);
    ASSERT_EQ(s.size(), ref.size()) << "input " << i;
    EXPECT_TRUE(s == ref) << "input " << i;
    EXPECT_EQ(decode_ok(s), inputs[i]) << "input " << i;
  }
}

}  // namespace
