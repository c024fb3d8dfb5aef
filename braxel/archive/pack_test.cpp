// Tests of the pack scanner, the directory readers of every layout, the read cursors and the
// temporary name of a rebuild, in process on archives written to a scratch folder.
#include "braxel/archive/pack.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack_fixtures.h"
#include "braxel/archive/update.h"
#include "braxel/cli/console/console.h"

namespace {

namespace fs = std::filesystem;
using namespace pack_fixtures;

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    console_init();
    char tmpl[] = "/tmp/braxel_pack_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    EXPECT_EQ(console_live_bytes(), 0) << "a block was not released";
    fs::remove_all(dir_);
  }
  std::string write(const std::string& name, const Bytes& data) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return path;
  }
  // Scans a file; null when it is not a pack. The caller releases with pack_release.
  PackEntry* scan(const std::string& name, const Bytes& data, int flags = 0) {
    PackEntry* root = pack_root(write(name, data).c_str());
    if (root == nullptr) return nullptr;
    PackEntry* dir = pack_scan(root, flags);
    if (dir == nullptr) pack_release(root);
    return dir;
  }
  static std::vector<std::string> names(PackEntry* dir) {
    std::vector<std::string> out;
    for (PackEntry* e = dir + 1; e->name[0] != '\0'; ++e) out.push_back(e->name);
    return out;
  }
  static Bytes read_all(PackEntry* e) {
    std::int64_t size = 0;
    std::uint8_t* data = pack_read_whole(e, &size);
    if (data == nullptr) return {};
    Bytes out(data, data + size);
    console.release(data);
    return out;
  }
  fs::path dir_;
};

const Files kFiles = {{"zeta.dat", text("zeta data!")}, {"Alpha", text("AA")}, {"mid", Bytes(300, 7)}};

// Every layout reads back the names, sizes and bytes it was built with.
TEST_F(PackTest, EveryLayoutReadsItsEntries) {
  struct Case {
    const char* file;
    Bytes data;
  };
  const Files fst_files = {{"one", text("1111")}, {"two", text("22")}, {"three", text("333")}};
  const Files qpp_files = {{"!pal", text("pp")}, {"img0", text("image")}};
  const std::vector<std::pair<Case, Files>> cases = {
      {{"a.big", bigf(kFiles)}, kFiles},      {{"a.c0", c0fb(kFiles)}, kFiles},
      {{"a.fst", fst(fst_files)}, fst_files}, {{"a.mas", mas(kFiles)}, kFiles},
      {{"a.apk", apuk(kFiles)}, kFiles},      {{"a.QPP", qpp(qpp_files)}, qpp_files},
  };
  for (const auto& [c, files] : cases) {
    PackEntry* dir = scan(c.file, c.data, kScanFileOrder);
    ASSERT_NE(dir, nullptr) << c.file;
    ASSERT_EQ(pack_count(dir), static_cast<int>(files.size())) << c.file;
    for (std::size_t i = 0; i < files.size(); ++i) {
      PackEntry* e = dir + 1 + i;
      EXPECT_EQ(e->name, files[i].first) << c.file;
      EXPECT_STREQ(e->type, "----");
      EXPECT_EQ(e->width, -1);
      EXPECT_EQ(e->height, -1);
      EXPECT_EQ(e->parent, dir->parent);
      EXPECT_EQ(read_all(e), files[i].second) << c.file << " " << files[i].first;
      pack_close(e, 0);
    }
    pack_release(dir);
  }
}

TEST_F(PackTest, QppImageKindAndNameRule) {
  const Files files = {{"!pal", text("pp")}, {"img0", text("image")}};
  PackEntry* dir = scan("x.ppv", qpp(files), kScanFileOrder);
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir[1].kind & kKindImage, 0);
  EXPECT_EQ(dir[2].kind & kKindImage, kKindImage);
  pack_release(dir);
  // The same bytes under another name are not a pack.
  EXPECT_EQ(scan("x.bin", qpp(files)), nullptr);
}

TEST_F(PackTest, SortIgnoresCaseAndKeepsFileOrderForEqualNames) {
  const Files files = {
      {"b", text("1")}, {"A", text("2")}, {"c", text("3")}, {"a", text("4")}, {"B", text("5")}};
  PackEntry* dir = scan("s.viv", bigf(files));
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(names(dir), (std::vector<std::string>{"A", "a", "b", "B", "c"}));
  pack_release(dir);
  dir = scan("s.viv", bigf(files), kScanFileOrder);
  EXPECT_EQ(names(dir), (std::vector<std::string>{"b", "A", "c", "a", "B"}));
  pack_release(dir);
}

// The directory has no fixed number of records.
TEST_F(PackTest, LargeDirectoriesHaveNoFixedLimit) {
  Files files;
  for (int i = 0; i < 5000; ++i) files.push_back({"e" + std::to_string(4999 - i), text(std::to_string(i))});
  PackEntry* dir = scan("many.viv", bigf(files));
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(pack_count(dir), 5000);
  EXPECT_STREQ(dir[1].name, "e0");
  EXPECT_EQ(read_all(pack_find(dir, "E4999")), text("0"));
  pack_release(dir);
}

TEST_F(PackTest, NotAPack) {
  for (const Bytes& data :
       {text("SCHl and more bytes"), text("BNKl and more bytes"), Bytes(100, 0), Bytes{}}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(scan("n.viv", data), nullptr);
    testing::internal::GetCapturedStdout();
  }
}

// The one-entry FST our writer makes is taken in exactly its own shape; near misses are not FST.
TEST_F(PackTest, FstOfOneEntryOnlyInTheWritersShape) {
  const Bytes one = fst({{"solo.bin", text("solo data")}});
  auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes b = one;
    b[at] = value;
    return b;
  };
  constexpr std::size_t kClosing = 4 + 68;
  struct Case {
    const char* what;
    Bytes data;
    bool fst;
  };
  const Case cases[] = {
      {"as written", one, true},
      {"closing record has a name", with(kClosing + 4, 'x'), false},
      {"closing offset short of the end", with(kClosing, static_cast<std::uint8_t>(one[kClosing] - 1)),
       false},
      {"count 3", with(0, 3), false},
      {"first offset 144", with(4, 144), false},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    PackEntry* dir = scan("one.fst", c.data);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dir != nullptr, c.fst) << c.what;
    if (dir == nullptr) continue;
    EXPECT_EQ(names(dir), std::vector<std::string>{"solo.bin"});
    EXPECT_EQ(read_all(dir + 1), text("solo data"));
    pack_release(dir);
  }
}

// Hostile directories are refused with a line naming the fault, never read outside the file.
TEST_F(PackTest, BadDirectoriesAreRefused) {
  auto patched = [](Bytes b, std::size_t at, std::vector<std::uint8_t> with) {
    std::copy(with.begin(), with.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
  };
  const Bytes good = bigf(kFiles);
  Bytes no_end = bigf({{"name", text("data")}});
  no_end.resize(16 + 8 + 2);  // the name runs into the end of the file
  Bytes long_name = bigf({{std::string(70, 'n'), text("data")}});
  struct Case {
    const char* what;
    Bytes data;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"count beyond the bytes", patched(good, 8, {0x10, 0, 0, 0}), "does not fit"},
      {"offset beyond the end", patched(good, 16, {0x7F, 0, 0, 0}), "lies outside the pack"},
      {"size beyond the end", patched(good, 20, {0, 0, 0x10, 0}), "lies outside the pack"},
      {"data inside the directory", patched(good, 16, {0, 0, 0, 0}), "overlaps the directory"},
      {"name without an end", no_end, "ends inside entry 1"},
      {"name too long", long_name, "name without an end or longer"},
      {"C0FB count", patched(c0fb(kFiles), 4, {0xFF, 0xFF}), "does not fit"},
      {"APUK count", patched(apuk(kFiles), 4, {0xFF, 0xFF, 0xFF, 0x7F}), "does not fit"},
      {"FST offsets backwards",
       patched(fst({{"one", text("1111")}, {"two", text("22")}, {"three", text("333")}}), 4 + 68 + 0,
               {0xFF, 0, 0, 0}),
       "ends before it starts"},
      {"MAS entry outside", patched(mas(kFiles), 8 + 16, {0xFF, 0xFF, 0, 0}), "lies outside the pack"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    PackEntry* dir = scan("bad.viv", c.data);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dir, nullptr) << c.what;
    if (dir != nullptr) pack_release(dir);
    EXPECT_NE(out.find(c.message), std::string::npos) << c.what << ": " << out;
  }
}

TEST_F(PackTest, CompressedEntriesAndWholeArchivesReadDecompressed) {
  Bytes plain(1000);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> packed;
  lz77_compress(plain.data(), static_cast<std::int64_t>(plain.size()), packed, false);
  const Bytes archive = bigf({{"z.bin", packed}, {"p.txt", text("plain")}});
  std::vector<std::uint8_t> whole;
  lz77_compress(archive.data(), static_cast<std::int64_t>(archive.size()), whole, false);
  for (const Bytes& file : {archive, Bytes(whole.begin(), whole.end())}) {
    PackEntry* dir = scan("c.viv", file);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->parent->compressed, file == archive ? 0 : 1);
    PackEntry* z = pack_find(dir, "Z.BIN");
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(pack_readable_size(z), 1000);
    EXPECT_EQ(z->compressed, 1);
    EXPECT_EQ(read_all(z), plain);
    EXPECT_EQ(read_all(pack_find(dir, "p.txt")), text("plain"));
    pack_release(dir);
  }
}

TEST_F(PackTest, CorruptCompressedEntryIsReportedNotFatal) {
  const Bytes archive = bigf({{"z.bin", {0x10, 0xFB, 0, 0, 100, 0xE0}}});
  PackEntry* dir = scan("c.viv", archive);
  ASSERT_NE(dir, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(pack_readable_size(dir + 1), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("compressed data is corrupt"), std::string::npos);
  pack_release(dir);
}

TEST_F(PackTest, CursorReadsAreShortenedAndSeeksClamp) {
  PackEntry* dir = scan("r.viv", bigf({{"e", text("0123456789")}}));
  ASSERT_NE(dir, nullptr);
  PackEntry* e = dir + 1;
  char buf[32] = {};
  pack_seek(e, 7, 0);
  EXPECT_EQ(pack_read(e, buf, 32), 3);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_EQ(pack_read(e, buf, 32), 0);
  pack_seek(e, -100, 1);
  EXPECT_EQ(pack_read(e, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "01");
  pack_seek(e, 3, 1);
  EXPECT_EQ(pack_read(e, buf, 1), 1);
  EXPECT_EQ(buf[0], '5');
  pack_release(dir);
}

TEST_F(PackTest, CursorMisuseIsFatal) {
  const std::string path = write("f.viv", bigf({{"e", text("0123456789")}}));
  struct Case {
    const char* message;
    void (*action)(PackEntry*);
  };
  const Case cases[] = {
      {"-- lenght<0", [](PackEntry* e) { pack_read(e, nullptr, -1); }},
      {"-- seek out of file size",
       [](PackEntry* e) {
         char b;
         pack_seek(e, 11, 0);
         pack_read(e, &b, 1);
       }},
      {"-- seeklist SEEK_SET<0", [](PackEntry* e) { pack_seek(e, -1, 0); }},
      {"-- openlist\\(\\) zero list", [](PackEntry*) { pack_open_cursor(nullptr); }},
  };
  for (const Case& c : cases) {
    // The fatal block goes to standard output; the child sends it to standard error to match it.
    EXPECT_EXIT(
        {
          ::dup2(2, 1);
          PackEntry* dir = pack_scan(pack_root(path.c_str()), 0);
          c.action(dir + 1);
          std::exit(0);
        },
        testing::ExitedWithCode(kExitFailure), c.message);
  }
}

TEST_F(PackTest, TemporaryNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"PACK.VIV", "PACK.tmp"}, {"PACK", "PACK.tmp"},   {"dir/a.b", "dir/a.b.tmp"},
      {".viv", ".viv.tmp"},     {"X.TMP", "X.TMP.tmp"}, {"data\\ice.big", "data\\ice.tmp"},
  };
  for (const auto& [path, temp] : cases) {
    char out[256];
    pack_temp_name(path, out, sizeof out);
    EXPECT_STREQ(out, temp) << path;
  }
}

TEST_F(PackTest, NestedOpenDescendsAndReportsMissingNames) {
  const Bytes innermost = c0fb({{"leaf.txt", text("leaf!")}});
  const Bytes middle = bigf({{"deep.c0", innermost}, {"other", text("o")}});
  const std::string path = write("outer.viv", bigf({{"mid.viv", middle}, {"top.txt", text("top")}}));
  testing::internal::CaptureStdout();
  PackEntry* dir = pack_open((path + "\\MID.VIV/deep.c0").c_str(), 0);
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(names(dir), (std::vector<std::string>{"leaf.txt"}));
  EXPECT_EQ(read_all(dir + 1), text("leaf!"));
  pack_release(dir);
  EXPECT_EQ(pack_open((path + "\\mid.viv\\none").c_str(), 0), nullptr);
  EXPECT_EQ(pack_open((path + "\\top.txt").c_str(), 0), nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("couldn't find 'none' inside '" + path + "\\mid.viv'\n"), std::string::npos) << out;
  EXPECT_NE(out.find("couldn't scan directory 'top.txt'\n"), std::string::npos) << out;
}

// The base directory is joined with a backslash unless it ends in one (or a colon or slash), and
// path components whose letter case differs from the disk are still found.
TEST_F(PackTest, UpdateJoinsTheBaseDirectoryAndFindsComponentsInAnyCase) {
  fs::create_directories(dir_ / "Sub");
  write("Sub/Pack.viv", bigf({{"a", text("aaaa")}}));
  const std::string added = write("new.txt", text("new!"));
  const std::string list = added + std::string(1, '\0');
  const struct {
    std::string base;
    const char* archive;
    std::string joined;
  } cases[] = {
      {(dir_ / "SUB").string(), "pack.VIV", (dir_ / "SUB").string() + "\\pack.VIV"},
      {(dir_ / "sub").string() + "\\", "PACK.viv", (dir_ / "sub").string() + "\\PACK.viv"},
  };
  int entries = 1;
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(pack_update(c.base.c_str(), c.archive, list.c_str(), 0), kExitOk);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("packfile '" + c.joined + "' updated successfully\n"), std::string::npos) << out;
    entries = 2;
  }
  PackEntry* dir = scan("Sub/Pack.viv", [&] {
    std::ifstream f(dir_ / "Sub/Pack.viv", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  }());
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(pack_count(dir), entries);
  EXPECT_EQ(read_all(pack_find(dir, "new.txt")), text("new!"));
  pack_release(dir);
  EXPECT_FALSE(fs::exists(dir_ / "Sub/Pack.tmp"));
}

}  // namespace
