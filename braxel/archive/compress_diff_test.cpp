// Differential test of the LZ77 compressor: on many generated inputs of varied kinds and sizes
// its stream must equal, byte for byte, the one of the plain transcription of the algorithm,
// and decode back to the input.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/lz77_reference.h"
#include "braxel/cli/console/console.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937;

std::size_t pick(Rng& rng, std::size_t lo, std::size_t hi) {
  return lo + rng() % (hi - lo + 1);
}

Bytes random_data(Rng& rng, std::size_t n, int alphabet) {
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng() % alphabet);
  return b;
}

// Runs of a few values, some longer than the longest run entry (65535 positions).
Bytes runs(Rng& rng, std::size_t n) {
  static const std::size_t kLengths[] = {1, 2, 3, 4, 5, 31, 32, 33, 1000, 65534, 65535, 65536, 65537, 70000};
  Bytes b;
  while (b.size() < n) {
    const std::size_t len = rng() % 2 ? pick(rng, 1, 40) : kLengths[rng() % std::size(kLengths)];
    b.insert(b.end(), len, static_cast<std::uint8_t>(rng() % 4));
  }
  b.resize(n);
  return b;
}

Bytes text(Rng& rng, std::size_t n) {
  static const char* kWords[] = {"the ",  "puck ", "goalie ", "saves ", "a ",   "slap ",
                                 "shot ", "from ", "blue ",   "line ",  "and ", "crowd ",
                                 "roars", "\n",    "    ",    ", ",     "tthe"};
  Bytes b;
  while (b.size() < n) {
    const std::string w = kWords[rng() % std::size(kWords)];
    b.insert(b.end(), w.begin(), w.end());
    if (rng() % 50 == 0) b.push_back(static_cast<std::uint8_t>('A' + rng() % 26));
  }
  b.resize(n);
  return b;
}

// Periodic patterns (period 1 to 9): every shift of the pattern is a candidate.
Bytes periodic(Rng& rng, std::size_t n) {
  Bytes b;
  while (b.size() < n) {
    Bytes unit = random_data(rng, pick(rng, 1, 9), 1 + static_cast<int>(rng() % 256));
    const std::size_t reps = pick(rng, 1, 3000);
    for (std::size_t r = 0; r < reps && b.size() < n; ++r) b.insert(b.end(), unit.begin(), unit.end());
  }
  b.resize(n);
  return b;
}

// Copies of earlier data at distances around every command form and the window edge, with
// lengths around the length limits of the forms, sometimes with one byte changed.
Bytes repeats(Rng& rng, std::size_t n, int alphabet) {
  static const std::size_t kDistances[] = {1,     2,      3,      4,      8,      1023,
                                           1024,  1025,   1026,   16383,  16384,  16385,
                                           16386, 100000, 131071, 131072, 131073, 131074};
  static const std::size_t kLengths[] = {2,  3,  4,  5,  6,    9,    10,   11,   12,
                                         66, 67, 68, 69, 1027, 1028, 1029, 1030, 2100};
  Bytes b = random_data(rng, std::min<std::size_t>(n, pick(rng, 100, 140000)), alphabet);
  while (b.size() < n) {
    const std::size_t d = rng() % 3 ? kDistances[rng() % std::size(kDistances)] : pick(rng, 1, 131100);
    const std::size_t len = kLengths[rng() % std::size(kLengths)];
    if (d <= b.size()) {
      const std::size_t at = b.size();
      for (std::size_t i = 0; i < len; ++i) b.push_back(b[at + i - d]);
      if (rng() % 4 == 0) b[at + rng() % len] ^= 1;
    }
    const Bytes gap = random_data(rng, pick(rng, 0, 12), alphabet);
    b.insert(b.end(), gap.begin(), gap.end());
  }
  b.resize(n);
  return b;
}

// Pieces of all the kinds above, one after the other.
Bytes mixture(Rng& rng, std::size_t n) {
  Bytes b;
  while (b.size() < n) {
    const std::size_t len = pick(rng, 1, 20000);
    Bytes piece;
    switch (rng() % 5) {
      case 0:
        piece = random_data(rng, len, 1 + static_cast<int>(rng() % 256));
        break;
      case 1:
        piece = runs(rng, len);
        break;
      case 2:
        piece = text(rng, len);
        break;
      case 3:
        piece = periodic(rng, len);
        break;
      default:
        if (!b.empty()) {  // an earlier stretch again
          const std::size_t from = rng() % b.size();
          piece.assign(b.begin() + static_cast<std::ptrdiff_t>(from),
                       b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), from + len)));
        }
    }
    b.insert(b.end(), piece.begin(), piece.end());
  }
  b.resize(n);
  return b;
}

struct Kind {
  const char* name;
  std::function<Bytes(Rng&, std::size_t)> make;
};

void expect_same_as_reference(const Bytes& in, const std::string& what) {
  Bytes s;
  lz77_compress(in.data(), static_cast<std::int64_t>(in.size()), s, false);
  const Bytes ref = lz77_reference_compress(in);
  ASSERT_EQ(s.size(), ref.size()) << what;
  ASSERT_TRUE(s == ref) << what;
  Bytes back;
  ASSERT_EQ(stream_decode(s, back), DecodeStatus::kOk) << what;
  ASSERT_TRUE(back == in) << what;
}

class CompressDiffTest : public ::testing::Test {
 protected:
  void SetUp() override { console_init(); }
};

const std::vector<Kind>& kinds() {
  static const std::vector<Kind> k = {
      {"random256", [](Rng& r, std::size_t n) { return random_data(r, n, 256); }},
      {"random4", [](Rng& r, std::size_t n) { return random_data(r, n, 4); }},
      {"random16", [](Rng& r, std::size_t n) { return random_data(r, n, 16); }},
      {"runs", runs},
      {"text", text},
      {"periodic", periodic},
      {"repeats256", [](Rng& r, std::size_t n) { return repeats(r, n, 256); }},
      {"repeats3", [](Rng& r, std::size_t n) { return repeats(r, n, 3); }},
      {"mixture", mixture},
  };
  return k;
}

TEST_F(CompressDiffTest, EveryKindAtManySizes) {
  Rng rng(20261210);
  for (const Kind& kind : kinds()) {
    for (int round = 0; round < 6; ++round) {
      const std::size_t n = round < 3 ? pick(rng, 0, 300) : pick(rng, 300, 60000);
      const std::uint32_t seed = rng();
      Rng gen(seed);
      expect_same_as_reference(kind.make(gen, n), std::string(kind.name) + " n=" + std::to_string(n) +
                                                      " seed=" + std::to_string(seed));
    }
  }
}

TEST_F(CompressDiffTest, SizesAroundTheWindow) {
  // Inputs that end just before, at and after the window size, ones long enough for candidates
  // to leave the window repeatedly, and runs longer than one run entry holds.
  static const std::size_t kSizes[] = {131071, 131072, 131073, 131076, 262150};
  Rng rng(77);
  for (std::size_t n : kSizes) {
    for (const char* name : {"repeats256", "mixture", "text", "runs"}) {
      for (const Kind& kind : kinds()) {
        if (std::string(kind.name) != name) continue;
        const std::uint32_t seed = rng();
        Rng gen(seed);
        expect_same_as_reference(kind.make(gen, n), std::string(name) + " n=" + std::to_string(n) +
                                                        " seed=" + std::to_string(seed));
      }
    }
  }
}

TEST_F(CompressDiffTest, SecondThreadFromAnySplitPoint) {
  // Large inputs are parsed in two parts at once; the stream must not depend on where the second
  // part starts, including just past the first point it can (a window and 1024 bytes in), next
  // to the end, after a run longer than the window (its index starts further back) and where
  // the first part's copies reach past the split point.
  const std::size_t n = 400000;
  Rng rng(91);
  for (const char* name : {"mixture", "text", "runs", "repeats256", "random4"}) {
    for (const Kind& kind : kinds()) {
      if (std::string(kind.name) != name) continue;
      const std::uint32_t seed = rng();
      Rng gen(seed);
      const Bytes in = kind.make(gen, n);
      const Bytes ref = lz77_reference_compress(in);
      for (std::int64_t split :
           {std::int64_t{133000}, std::int64_t{200000}, std::int64_t{200001},
            static_cast<std::int64_t>(n) - 4, static_cast<std::int64_t>(pick(rng, 140000, n))}) {
        Bytes s;
        const std::int64_t takeover =
            lz77_compress_split(in.data(), static_cast<std::int64_t>(n), s, false, split);
        const std::string what = std::string(name) + " seed=" + std::to_string(seed) +
                                 " split=" + std::to_string(split) + " takeover=" + std::to_string(takeover);
        ASSERT_TRUE(s == ref) << what;
        // The second part is used: the two parses meet again after the split point.
        if (split < static_cast<std::int64_t>(n) - 4 && std::string(name) != "runs") {
          EXPECT_GE(takeover, split) << what;
        }
      }
    }
  }
  // One value throughout: no position starts a run, so there is no second part.
  const Bytes flat(n, 7);
  Bytes s;
  EXPECT_EQ(lz77_compress_split(flat.data(), static_cast<std::int64_t>(n), s, false, 200000), -1);
  EXPECT_TRUE(s == lz77_reference_compress(flat));
}

TEST_F(CompressDiffTest, TinyInputsOfFewValues) {
  // Every short input shape the end-of-data limits can meet.
  Rng rng(5);
  for (std::size_t n = 0; n <= 40; ++n) {
    for (int alphabet : {1, 2, 3}) {
      for (int round = 0; round < 2; ++round) {
        const Bytes in = random_data(rng, n, alphabet);
        expect_same_as_reference(in, "n=" + std::to_string(n) + " alphabet=" + std::to_string(alphabet));
      }
    }
  }
}

}  // namespace
