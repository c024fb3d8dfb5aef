// Tests of "-makepatch": the patch-information file, and patch files made from modified archives
// and their base files built here, read back with braxel's own pack and image pack readers.
#include "braxel/cli/patch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "braxel/archive/pack.h"
#include "braxel/archive/pack_fixtures.h"
#include "braxel/cli/braxel_run.h"
#include "braxel/cli/console/console.h"
#include "braxel/cli/shpi_fixtures.h"
#include "braxel/image/shpi.h"

namespace {

using namespace pack_fixtures;
using namespace shpi_fixtures;

TEST(PatchInfo, LinesCommentsAndTheTwoMessageLines) {
  struct Case {
    const char* what;
    std::string text;
    bool ok;
    std::string message;
    std::vector<std::string> archives;
  };
  const Case cases[] = {
      {"full",
       "ignored\r\n; comment\r\n!MESSAGE\r\nHello \r\n# not "
       "part\r\n\r\n\r\nworld\n!message\na.viv\r\n;x\rdata\\b.big",
       true,
       "Hello world",
       {"a.viv", "data\\b.big"}},
      {"empty message, no archives", "!message\n!message\n", true, "", {}},
      {"one !message line", "!message\nHello\na.viv\n", false, "", {}},
      {"no line at all", "", false, "", {}},
  };
  for (const Case& c : cases) {
    PatchInfo info;
    EXPECT_EQ(parse_patch_info(c.text, &info), c.ok) << c.what;
    if (!c.ok) continue;
    EXPECT_EQ(info.message, c.message) << c.what;
    EXPECT_EQ(info.archives, c.archives) << c.what;
  }
}

namespace fs = std::filesystem;

class PatchTest : public BraxelRunTest {
 protected:
  void SetUp() override {
    BraxelRunTest::SetUp();
    console_init();
    fs::create_directories(dir_ / "base");
  }
  // The entries of a pack (a nested path below the scratch folder) in file order, each read whole.
  Files read_pack(const std::string& path) {
    testing::internal::CaptureStdout();
    PackEntry* dir = pack_open((dir_ / path).string().c_str(), kScanFileOrder);
    testing::internal::GetCapturedStdout();
    Files out;
    if (dir == nullptr) return out;
    for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) {
      std::int64_t size = 0;
      std::uint8_t* data = pack_read_whole(e, &size);
      out.push_back({e->name, data == nullptr ? Bytes{} : Bytes(data, data + size)});
      console.release(data);
      pack_close(e, 0);
    }
    pack_release(dir);
    return out;
  }
  void info(const std::string& archives) {
    write_bytes("patch.txt", text("!message\nUpdated pictures.\n!message\n" + archives));
  }
};

Bytes padded(Bytes b) {
  b.resize(round4(b.size()), 0);
  return b;
}

const Bytes kImg1 = image_block(0x7B, 2, 2, Bytes{1, 2, 3, 4});
const Bytes kImg2 = image_block(0x7B, 2, 2, Bytes{5, 6, 7, 8});
const Bytes kImg2New = image_block(0x7B, 2, 2, Bytes{8, 7, 6, 5});
const Bytes kBigText = text(std::string(120, 'b'));

TEST_F(PatchTest, ChangedEntriesAndImagesGoIntoThePatch) {
  write_bytes("base/a.viv", bigf({{"same.txt", kBigText},
                                  {"changed.txt", text("old text")},
                                  {"pics.fsh", shpi_pack("GIMX", {{"img1", kImg1}, {"img2", kImg2}})}}));
  write_bytes("a.viv", bigf({{"same.txt", kBigText},
                             {"changed.txt", text("new text!")},
                             {"pics.fsh", shpi_pack("GIMX", {{"img1", kImg1}, {"img2", kImg2New}})},
                             {"added.bin", text("brand new")}}));
  write_bytes("base/b.viv", bigf({{"x", kBigText}}));
  write_bytes("b.viv", bigf({{"x", kBigText}}));
  info("a.viv\nb.viv\n");
  const RunResult r = run({"-makepatch", "patch.txt", "out.big", "base/"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "scanning original file '.\\a.viv'\n"
            "'a.viv\\added.bin' size 9 added\n"
            "'a.viv\\changed.txt' size 9 added\n"
            "'a.viv\\pics.fsh' size 44 added\n"
            "creating patch file 'a.viv#1000.tmp' (3 entries)\n"
            "patch file created successfully\n"
            "3 different files/images\n"
            "scanning original file '.\\b.viv'\n"
            "no differences found\n"
            "creating patch file 'out.big' (2 entries)\n"
            "patch file created successfully\n");
  const Files patch = read_pack("out.big");
  ASSERT_EQ(patch.size(), 2u);
  EXPECT_EQ(patch[0].first, "a.viv");
  EXPECT_EQ(patch[0].second.size() % 4, 0u);
  EXPECT_EQ(patch[1], (std::pair<std::string, Bytes>{"#README.TXT", text("Updated pictures.")}));

  const Files diff = read_pack("out.big\\a.viv");
  ASSERT_EQ(diff.size(), 3u);
  EXPECT_EQ(diff[0], (std::pair<std::string, Bytes>{"added.bin", padded(text("brand new"))}));
  EXPECT_EQ(diff[1], (std::pair<std::string, Bytes>{"changed.txt", padded(text("new text!"))}));
  // The image pack holds only the changed image.
  EXPECT_EQ(diff[2].first, "pics.fsh");
  ShpiDirectory images;
  ShpiError error;
  ASSERT_EQ(shpi_scan(diff[2].second.data(), diff[2].second.size(), &images, &error), ShpiStatus::kOk)
      << error.message;
  ASSERT_EQ(images.entries.size(), 1u);
  EXPECT_STREQ(images.entries[0].name, "img2");
  EXPECT_STREQ(images.identifier, "GIMX");
  const Bytes block(diff[2].second.begin() + images.entries[0].offset,
                    diff[2].second.begin() + images.entries[0].offset + images.entries[0].size);
  EXPECT_EQ(block, kImg2New);
  // Only the inputs and the patch are left.
  EXPECT_EQ(files(),
            (std::vector<std::string>{"a.viv", "b.viv", "base/a.viv", "base/b.viv", "out.big", "patch.txt"}));
}

TEST_F(PatchTest, ArchivesThatCannotBeComparedAreSkipped) {
  write_bytes("small.viv", bigf({{"s", text("tiny")}}));
  write_bytes("text.viv", kBigText);
  write_bytes("nobase.viv", bigf({{"x", kBigText}}));
  write_bytes("same.viv", bigf({{"x", kBigText}}));
  write_bytes("base/same.viv", bigf({{"x", kBigText}}));
  info("missing.viv\nsmall.viv\ntext.viv\nnobase.viv\nsame.viv\n");
  const RunResult r = run({"-makepatch", "patch.txt", "out.big", "base/"});
  EXPECT_EQ(r.status, 1) << r.out;
  for (const char* said :
       {"Couldn't open '.\\missing.viv'\n", "too small, ignored\n",
        "not BIGF or C0FB pack file or compressed file, ignored\n", "Couldn't load 'base/nobase.viv'\n"})
    EXPECT_NE(r.out.find(said), std::string::npos) << said << r.out;
  EXPECT_EQ(r.out.find("creating patch file"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir_ / "out.big"));
}

TEST_F(PatchTest, FatalProblems) {
  write_bytes("base/a.viv", bigf({{"p", kBigText}}));
  write_bytes("a.viv", bigf({{"p", shpi_pack("GIMX", {{"img1", kImg1}, {"img2", kImg2}, {"img3", kImg1}})}}));
  struct Case {
    std::string info;
    std::string message;
  };
  const Case cases[] = {
      {"!message\nonly one marker\na.viv\n", "patch-infofile syntax error"},
      {"", "patch-infofile syntax error"},
      {"!message\nm\n!message\na.viv\n", "SHPI-file mismatch p and p"},
  };
  for (const Case& c : cases) {
    write_bytes("patch.txt", text(c.info));
    const RunResult r = run({"-makepatch", "patch.txt", "out.big", "base/"});
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_TRUE(r.out.ends_with(fatal_text(c.message))) << r.out;
    EXPECT_FALSE(fs::exists(dir_ / "out.big"));
  }
  const RunResult r = run({"-makepatch", "none.txt", "out.big", "base/"});
  EXPECT_EQ(r.out, fatal_text("couldn't open patch-infofile 'none.txt'"));
}

}  // namespace
