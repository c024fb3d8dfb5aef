// End-to-end tests of hostile input: sample rates no real file has, stream data short of its
// header's count, and links planted in the output folder.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/app/apptest.h"

namespace {

using namespace apptest;
namespace fs = std::filesystem;

class Hostile : public ScratchTest {
 protected:
  // A 16-bit mono WAV whose rate field says `rate`, with 50 frames of data.
  std::string wavat(uint32_t rate) {
    const std::string p = path("r" + std::to_string(rate) + ".wav");
    writewav(p, 50, 1, 22050, [](int i, int) { return i * 100; });
    std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(24);
    for (int i = 0; i < 4; ++i) f.put(static_cast<char>(rate >> (8 * i)));
    return p;
  }
  // A PC stream of a short stereo sound, made by the program itself.
  std::string stream() {
    writemusic(path("s.wav"), 22050, 2, 32000);
    EXPECT_EQ(
        quillon("convert --format pcstream --rep qvxa_blk " + path("s.wav") + " " + path("s.asf")).status, 0);
    return slurp(path("s.asf"));
  }
  void save(const std::string& name, const std::string& bytes) {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
};

TEST_F(Hostile, RatesOutsideTheRangeAreRefused) {
  struct Case {
    uint32_t rate;
    bool accepted;
  };
  const Case cases[] = {{0, false},          {1, false},          {999, false},
                        {1000, true},        {384000, true},      {384001, false},
                        {0x7FFFFFFF, false}, {0xFFFFFFFF, false}, {268435456, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const std::string in = wavat(c.rate);
    Result r = quillon("convert " + in + " " + path("out.wav"));
    EXPECT_EQ(r.status, c.accepted ? 0 : 1) << r.out;
    r = quillon("import --crop " + in + " " + dir_.string());
    EXPECT_EQ(r.status, c.accepted ? 0 : 1) << r.out;
    if (!c.accepted) {
      EXPECT_NE(r.out.find("Unsupported sample rate in Wave importer."), std::string::npos) << r.out;
    }
  }
  // A stream's rate tag is signed: 0xFF11 reads as -239.
  std::string s = stream();
  const std::string tag = {'\x84', '\x02', '\x7D', '\x00'};  // 32000
  const size_t at = s.find(tag);
  ASSERT_NE(at, std::string::npos);
  s[at + 2] = '\xFF', s[at + 3] = '\x11';
  save("neg.asf", s);
  const Result r = quillon("info " + path("neg.asf"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Unsupported sample rate in SND stream file."), std::string::npos) << r.out;
}

TEST_F(Hostile, StreamDataShortOfTheHeaderIsCorrupt) {
  const std::string whole = stream();
  std::string renamed = whole;
  renamed[renamed.rfind("SCDl")] = 'X';  // the last data chunk no longer counts
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"renamed", renamed}, {"truncated", whole.substr(0, whole.size() * 2 / 3)}};
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    save("bad.asf", bytes);
    Result r = quillon("convert " + path("bad.asf") + " " + path("bad.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Corrupt SND stream file."), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(path("bad.wav")));
    r = quillon("import " + path("bad.asf") + " " + path("out"));
    EXPECT_EQ(r.status, 1);
    r = quillon("info " + path("bad.asf"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("timbre 0: 2 channels, 32000 Hz, 22050 frames"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sample data: short or unreadable (Corrupt SND stream file.)"), std::string::npos)
        << r.out;
  }
}

TEST_F(Hostile, LinksAtTheOutputNameAreReplacedNotFollowed) {
  fs::create_directories(dir_ / "outside");
  fs::create_directories(dir_ / "work");
  save("outside/victim", "precious");
  fs::permissions(dir_ / "outside" / "victim", fs::perms::owner_read);
  writemusic(path("s.wav"), 2000, 1, 22050);
  fs::create_symlink(dir_ / "outside" / "victim", dir_ / "work" / "out.wav");
  fs::create_symlink(dir_ / "outside" / "victim", dir_ / "work" / "s.asf");
  EXPECT_EQ(quillon("convert " + path("s.wav") + " " + path("work/out.wav")).status, 0);
  EXPECT_EQ(quillon("import " + path("s.wav") + " " + path("work")).status, 0);
  EXPECT_EQ(slurp(path("outside/victim")), "precious");
  EXPECT_EQ(fs::status(dir_ / "outside" / "victim").permissions() & fs::perms::all, fs::perms::owner_read);
  for (const char* name : {"work/out.wav", "work/s.asf"}) {
    EXPECT_FALSE(fs::is_symlink(path(name))) << name;
    EXPECT_GT(fs::file_size(path(name)), 1000u) << name;
  }
}

}  // namespace
