// End-to-end tests of the bank commands: building a bank, listing its elements, converting one.
#include <filesystem>
#include <string>

#include "quillon/app/apptest.h"

namespace {

using namespace apptest;
namespace fs = std::filesystem;

class BankCli : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    writemusic(path("a.wav"), 3000, 1, 22050);
    writemusic(path("b.wav"), 1200, 2, 11025);
  }
};

TEST_F(BankCli, BuildListAndConvertElements) {
  Result r = quillon("bank " + path("out.bnk") + " " + path("a.wav") + " " + path("b.wav"));
  ASSERT_EQ(r.status, 0) << r.out;
  r = quillon("info " + path("out.bnk"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("format 7: pcbank (SND PC bank)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("elements: 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 channel, 22050 Hz, 3000 frames, s16l_blk"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 channels, 11025 Hz, 1200 frames, s16l_blk"), std::string::npos) << r.out;

  ASSERT_EQ(quillon("convert --element 1 " + path("out.bnk") + " " + path("b2.wav")).status, 0);
  EXPECT_EQ(samplesof(path("b2.wav")), samplesof(path("b.wav")));
  r = quillon("convert --element 2 " + path("out.bnk") + " " + path("c.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Can't read empty bank element."), std::string::npos) << r.out;
  EXPECT_EQ(quillon("convert --element 512 " + path("out.bnk") + " " + path("c.wav")).status, 2);
  for (const auto& e : fs::directory_iterator(dir_))  // no temporary files left behind
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

TEST_F(BankCli, FormatAndRepresentationAndRefusals) {
  Result r = quillon("bank --format psxbank " + path("p.bnk") + " " + path("a.wav"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(quillon("info " + path("p.bnk")).out.find("vag_blk"), std::string::npos);
  r = quillon("bank --rep qvxa_blk " + path("q.bnk") + " " + path("a.wav") + " " + path("a.wav"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(quillon("info " + path("q.bnk")).out.find("qvxa_blk"), std::string::npos);

  EXPECT_EQ(quillon("bank --format vag " + path("x.bnk") + " " + path("a.wav")).status, 2);
  EXPECT_EQ(quillon("bank " + path("x.bnk")).status, 2);
  EXPECT_EQ(quillon("bank --rep nonsense " + path("x.bnk") + " " + path("a.wav")).status, 2);
  // A failing input leaves no bank (and no temporary file) behind.
  r = quillon("bank " + path("x.bnk") + " " + path("a.wav") + " " + path("missing.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(path("x.bnk")));
  r = quillon("bank --rep cdxa " + path("x.bnk") + " " + path("a.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("This exporter does not support the sample representation specified."),
            std::string::npos)
      << r.out;
  for (const auto& e : fs::directory_iterator(dir_))
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

}  // namespace
