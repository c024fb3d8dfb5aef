// The N64/AIFF hybrid: identify, the chunk walk and its refusals, and NATb chunks read as AIFF.
#include <gtest/gtest.h>

#include <cstring>

#include "quillon/formats/consoletest.h"
#include "quillon/runtime/gmem.h"

namespace {

using namespace consoletest;

const int kHybrid = formatnamed("n64hybrid");

void chunk(Bytes& b, const char* id, const Bytes& body) {
  b.insert(b.end(), id, id + 4);
  b.resize(b.size() + 4);
  gputbe(&b[b.size() - 4], uint32_t(body.size()), 4);
  b.insert(b.end(), body.begin(), body.end());
  if (body.size() & 1) b.push_back(0);
}

Bytes hybrid(const std::vector<Bytes>& aiffs, const Bytes& filler = Bytes(300)) {
  Bytes b;
  chunk(b, "N64b", {});
  chunk(b, "JUNK", filler);
  for (const Bytes& a : aiffs) chunk(b, "NATb", a);
  return b;
}

TEST(N64Hybrid, IdentifyNeedsTheHeaderChunkAndSize) {
  const Bytes good = hybrid({Bytes(40)});
  struct Case {
    const char* what;
    Bytes file;
    bool identified;
  };
  Bytes nonzero = good;
  nonzero[7] = 1;
  const Case cases[] = {
      {"header chunk and 300 bytes", good, true},
      {"shorter than 300 bytes", Bytes(good.begin(), good.begin() + 299), false},
      {"header chunk not empty", nonzero, false},
      {"another first chunk", Bytes(300, 'N'), false},
  };
  for (const Case& c : cases) {
    Opened o(c.file, kHybrid);
    EXPECT_EQ(o.identify() == kHybrid, c.identified) << c.what;
  }
}

TEST(N64Hybrid, TruncatedOrMissingSoundChunks) {
  Bytes cut = hybrid({Bytes(100)});
  cut.resize(cut.size() - 10);
  Bytes lying = hybrid({Bytes(100)});
  gputbe(&lying[lying.size() - 104], 0xFFFFFFF0u, 4);
  struct Case {
    const char* what;
    Bytes file;
    const char* message;
  };
  const Case cases[] = {
      {"NATb cut short", cut, "Truncated NATb chunk in N64/AIFF hybrid file."},
      {"NATb size past the end", lying, "Truncated NATb chunk in N64/AIFF hybrid file."},
      {"no NATb", hybrid({}), "No NATb chunk in N64/AIFF hybrid file."},
  };
  for (const Case& c : cases) {
    Opened o(c.file, kHybrid);
    SINFO* info = nullptr;
    EXPECT_FALSE(AUREX_info(o.inst, &info, 0)) << c.what;
    EXPECT_STREQ(AUREX_lasterror(), c.message) << c.what;
  }
}

TEST(N64Hybrid, NatbChunksAreReadAsAiffTimbres) {
  Sound mono(SREP_S16B_INT, 1, 22050, 700), stereo(SREP_S16B_INT, 2, 32000, 300, 4);
  const int aiff = formatnamed("aiff");
  const Bytes a = writefile(aiff, {mono.info}), b = writefile(aiff, {stereo.info});
  ASSERT_FALSE(a.empty() || b.empty()) << AUREX_lasterror();
  Bytes file;
  chunk(file, "N64b", {});
  chunk(file, "NATb", a);
  chunk(file, "INST", Bytes(21, 7));  // odd-sized: padded, and skipped
  chunk(file, "NATb", b);
  Opened o(file, kHybrid);
  EXPECT_EQ(o.identify(), kHybrid);
  SINFO* back = o.read(0);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  ASSERT_EQ(back->numtimbres, 2);
  const STIMBRE& t0 = back->timbres[0];
  const STIMBRE& t1 = back->timbres[1];
  EXPECT_EQ(t0.samplerate, 22050);
  EXPECT_EQ(t1.samplerate, 32000);
  ASSERT_EQ(t0.numsamples, 700);
  ASSERT_EQ(t1.numsamples, 300);
  ASSERT_EQ(t1.numchannels, 2);
  EXPECT_EQ(0, std::memcmp(t0.samples[0], mono.t().samples[0], 1400));
  EXPECT_EQ(0, std::memcmp(t1.samples[1], stereo.t().samples[1], 600));
  AUREX_freesinfo(back);
  EXPECT_EQ(o.read(1), nullptr);
}

}  // namespace
