// End-to-end tests of the archive commands (-l, -u, -p, -p1, -d): they run the built braxel
// program on archives the tests build in a scratch folder and check its output, its exit status
// and the bytes it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack_fixtures.h"
#include "braxel/cli/braxel_run.h"
#include "braxel/cli/console/console.h"

namespace {

namespace fs = std::filesystem;
using namespace pack_fixtures;

Bytes compressed(const Bytes& plain) {
  std::vector<std::uint8_t> out;
  lz77_compress(plain.data(), static_cast<std::int64_t>(plain.size()), out, false);
  return out;
}

Bytes decompressed(const Bytes& stream) {
  std::vector<std::uint8_t> out;
  EXPECT_EQ(stream_decode(stream, out), DecodeStatus::kOk);
  return out;
}

class ArchiveTest : public BraxelRunTest {};

const Files kThree = {{"b", text("bbbb")}, {"A", text("aaaaaaa")}, {"c", text("c")}};

// ---- listing ---------------------------------------------------------------------------------

TEST_F(ArchiveTest, ListSortsByNameAndShowsReadableSizes) {
  const Bytes plain(5000, 'x');
  write_bytes("pack.viv", bigf({{"b", text("bbbb")}, {"A", compressed(plain)}, {"c", text("c")}}));
  for (const char* word : {"-l", "-L", "-list"}) {
    RunResult r = run({word, "pack.viv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "pack file 'pack.viv' opened\n"
              "Directory 'pack.viv'\n"
              "    5000 A\n"
              "       4 b\n"
              "       1 c\n")
        << word;
  }
  RunResult r = run({"-l", "notapack.txt"});
  EXPECT_EQ(r.out, fatal_text("couldn't open pack file 'notapack.txt'\n"));
  write_bytes("notapack.txt", text("just some text, not a pack"));
  r = run({"-l", "notapack.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "pack file 'notapack.txt' opened\ncouldn't scan packfile 'notapack.txt'\n");
  r = run({"-unpack", "notapack.txt"});
  EXPECT_EQ(r.out,
            "pack file 'notapack.txt' opened\ncouldn't scan packfile 'notapack.txt'\n"
            "Couldn't load directory 'notapack.txt'\n");
}

TEST_F(ArchiveTest, ListWholeCompressedArchiveAndNestedPaths) {
  const Bytes inner = c0fb({{"leaf.bin", text("leafleaf")}, {"Img", text("xy")}});
  const Bytes middle = bigf({{"inner.c0", compressed(inner)}});
  write_bytes("outer.viv", compressed(bigf({{"mid.viv", middle}, {"top", text("t")}})));
  auto line = [](std::size_t size, const char* name) {
    char text[64];
    std::snprintf(text, sizeof text, "%8zu %s\n", size, name);
    return std::string(text);
  };
  struct Case {
    const char* path;
    std::string listing;
  };
  // Sizes shown are readable sizes: the inner pack is stored compressed.
  const Case cases[] = {
      {"outer.viv", "Directory 'outer.viv'\n" + line(middle.size(), "mid.viv") + line(1, "top")},
      {"outer.viv\\MID.viv", "Directory 'outer.viv\\MID.viv'\n" + line(inner.size(), "inner.c0")},
      {"outer.viv/mid.viv\\inner.c0",
       "Directory 'outer.viv/mid.viv\\inner.c0'\n" + line(2, "Img") + line(8, "leaf.bin")},
  };
  for (const Case& c : cases) {
    RunResult r = run({"-l", c.path});
    EXPECT_EQ(r.status, 0) << c.path;
    EXPECT_EQ(r.out, std::string("pack file 'outer.viv' opened\n") + c.listing) << c.path;
  }
  RunResult r = run({"-l", "outer.viv\\mid.viv\\nothing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "pack file 'outer.viv' opened\ncouldn't find 'nothing' inside 'outer.viv\\mid.viv'\n");
  r = run({"-l", "missing.viv\\x"});
  EXPECT_EQ(r.out, fatal_text("couldn't open pack file 'missing.viv\\x'\n"));
  r = run({"-l", "outer.viv\\top"});
  EXPECT_EQ(r.out, "pack file 'outer.viv' opened\ncouldn't scan directory 'top'\n");
}

// ---- unpacking -------------------------------------------------------------------------------

TEST_F(ArchiveTest, UnpackWritesEntriesAndSkipsUnknownNames) {
  const Bytes plain(3000, 'q');
  write_bytes("p.viv",
              bigf({{"one.txt", text("1")}, {"Two.bin", compressed(plain)}, {"sub\\dir/three", text("3")}}));
  RunResult r = run({"-u", "p.viv", "TWO.BIN", "nothere"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "pack file 'p.viv' opened\n    3000 Two.bin\n");
  EXPECT_EQ(files(), (std::vector<std::string>{"Two.bin", "p.viv"}));
  EXPECT_EQ(read_bytes("Two.bin"), plain);

  r = run({"-u", "p.viv"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(files(), (std::vector<std::string>{"Two.bin", "one.txt", "p.viv", "sub/dir/three"}));
  EXPECT_EQ(read_bytes("sub/dir/three"), text("3"));
}

TEST_F(ArchiveTest, UnpackRefusesNamesLeavingTheFolder) {
  const char* hostile[] = {"../up", "/abs", "\\abs2", "C:\\drive", "a/../../b", "..\\x"};
  Files entries = {{"fine", text("ok")}};
  for (const char* name : hostile) entries.push_back({name, text("evil")});
  fs::create_directories(dir_ / "work");
  write_bytes("work/h.viv", bigf(entries));
  const fs::path work = dir_ / "work";
  std::string expected;
  RunResult r;
  {
    // Run inside a sub-folder so that an escape would land in the scratch folder.
    const fs::path saved = dir_;
    dir_ = work;
    r = run({"-u", "h.viv"});
    dir_ = saved;
  }
  EXPECT_EQ(r.status, 1);
  for (const char* name : hostile)
    EXPECT_NE(
        r.out.find(std::string("'") + name + "' not unpacked: the name leads outside the current folder\n"),
        std::string::npos)
        << name;
  EXPECT_EQ(files(), (std::vector<std::string>{"work/fine", "work/h.viv"}));
}

// Names that are not plain text are shown with \xHH and not written; a name without a file part
// is not written either; a name that repeats (in any letter case) is written once.
TEST_F(ArchiveTest, UnpackRefusesControlCharactersEmptyFileNamesAndRepeats) {
  struct Case {
    const char* name;
    const char* shown;
    const char* refusal;  // null: unpacked
  };
  const Case cases[] = {
      {"\x1b[31m red", "\\x1B[31m red", "the name holds control characters"},
      {"line\nbreak", "line\\x0Abreak", "the name holds control characters"},
      {"bell\x07\x7f", "bell\\x07\\x7F", "the name holds control characters"},
      {"a/", "a/", "the name has no file name after its last separator"},
      {"b\\.", "b\\.", "the name has no file name after its last separator"},
      {"Dup.txt", "Dup.txt", nullptr},
      {"dup.TXT", "dup.TXT", "an entry of the same name was written before"},
  };
  Files entries;
  for (const Case& c : cases) entries.push_back({c.name, text(c.name)});
  write_bytes("n.viv", bigf(entries));
  const RunResult listed = run({"-l", "n.viv"});
  const RunResult r = run({"-u", "n.viv"});
  EXPECT_EQ(r.status, 1);
  for (const Case& c : cases) {
    EXPECT_NE(listed.out.find(std::string(" ") + c.shown + "\n"), std::string::npos) << c.shown << listed.out;
    if (c.refusal != nullptr) {
      EXPECT_NE(r.out.find(std::string("'") + c.shown + "' not unpacked: " + c.refusal + "\n"),
                std::string::npos)
          << c.shown << r.out;
    }
  }
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(files(), (std::vector<std::string>{"Dup.txt", "n.viv"}));
  EXPECT_EQ(read_bytes("Dup.txt"), text("Dup.txt"));
}

// Links planted in the current folder before a run: at a temporary name, as a folder of an
// entry's path and at an entry's own name. Nothing outside the folder may change, neither its
// bytes nor its read-only mark.
TEST_F(ArchiveTest, PlantedLinksAreNeverWrittenThrough) {
  const fs::path work = dir_ / "work";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* link;     // in work
    const char* target;   // in the scratch folder, outside work
    const char* refused;  // the "not unpacked" line, or null when the command succeeds
  };
  const Case cases[] = {
      {"temporary name of -u", {"-u", "a.viv"}, "ok.txt.~braxel", "victim", nullptr},
      {"folder component",
       {"-u", "a.viv"},
       "sub",
       "outdir",
       "'sub/f.txt' not unpacked: a symbolic link is in the way"},
      {"final name",
       {"-u", "a.viv"},
       "ok.txt",
       "victim",
       "'ok.txt' not unpacked: a symbolic link is in the way"},
      {"temporary name of -p", {"-p", "a.viv", "new.txt"}, "a.tmp", "victim", nullptr},
      {"temporary name of -compress", {"-compress", "new.txt", "c.cmp"}, "c.cmp.~braxel", "victim", nullptr},
  };
  for (const Case& c : cases) {
    fs::remove_all(work);
    fs::remove_all(dir_ / "outdir");
    fs::create_directories(work);
    fs::create_directories(dir_ / "outdir");
    write_bytes("victim", text("keep me"));
    fs::permissions(dir_ / "victim", fs::perms::owner_read | fs::perms::group_read);
    write_bytes("work/a.viv", bigf({{"ok.txt", text("ok!!")}, {"sub/f.txt", text("f")}}));
    write_bytes("work/new.txt", text("new!"));
    fs::create_symlink(dir_ / c.target, work / c.link);
    const fs::path saved = dir_;
    dir_ = work;
    const RunResult r = run(c.args);
    dir_ = saved;
    EXPECT_EQ(r.status, c.refused == nullptr ? 0 : 1) << c.what << r.out;
    if (c.refused != nullptr) {
      EXPECT_NE(r.out.find(c.refused), std::string::npos) << c.what << r.out;
    }
    EXPECT_EQ(read_bytes("victim"), text("keep me")) << c.what;
    EXPECT_EQ(fs::status(dir_ / "victim").permissions() & fs::perms::owner_write, fs::perms::none) << c.what;
    EXPECT_TRUE(fs::is_empty(dir_ / "outdir")) << c.what;
    fs::permissions(dir_ / "victim", fs::perms::owner_write, fs::perm_options::add);
  }
}

// ---- update ----------------------------------------------------------------------------------

TEST_F(ArchiveTest, ReplaceKeepsStoredNameAndAddGrowsHeader) {
  write_bytes("pack.viv", bigf(kThree));
  write_bytes("in/a", text("new A data"));
  write_bytes("in/longer-name.dat", text("added"));
  RunResult r = run({"-p", "pack.viv", "in/a", "in\\longer-name.dat"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "updating packfile 'pack.viv'\n"
            "replaced 'A'\n"
            "added 'longer-name.dat'\n"
            "total 3, replaced 1, added 1\n"
            "creating header\n"
            "writing data\n"
            "packfile 'pack.viv' updated successfully\n");
  // Existing entries keep their order, new ones follow; the layout is the documented one.
  const Bytes written = read_bytes("pack.viv");
  EXPECT_EQ(written, bigf({{"b", text("bbbb")},
                           {"A", text("new A data")},
                           {"c", text("c")},
                           {"longer-name.dat", text("added")}}));
  // Header: 16 + 3 * 10 = 46 -> 48 before; plus 9 + 15 = 70 -> 72 after.
  EXPECT_EQ(written[15], 72);
  EXPECT_EQ(fs::exists(dir_ / "pack.tmp"), false);
}

TEST_F(ArchiveTest, RewrittenLayoutsMatchFieldByField) {
  struct Case {
    const char* name;
    Bytes (*build)(const Files&);
  };
  const Case cases[] = {{"x.viv", bigf}, {"x.c0", c0fb}, {"x.fst", fst}};
  const Files before = {{"first.dat", text("12345")}, {"second", text("67")}, {"third", Bytes(9, 3)}};
  for (const Case& c : cases) {
    write_bytes(c.name, c.build(before));
    write_bytes("second", text("changed!!"));
    RunResult r = run({"-p", c.name, "second"});
    EXPECT_EQ(r.status, 0) << c.name << r.out;
    EXPECT_EQ(read_bytes(c.name),
              c.build({{"first.dat", text("12345")}, {"second", text("changed!!")}, {"third", Bytes(9, 3)}}))
        << c.name;
    if (c.build == fst) {
      EXPECT_NE(r.out.find("writing data...\n"), std::string::npos) << r.out;
    }
  }
}

// Our writer stores a single entry as two records and a first offset of 140, which the general
// FST size rule would refuse: the archive must stay usable after it shrinks to one entry.
TEST_F(ArchiveTest, FstDeletedDownToOneEntryStaysReadable) {
  write_bytes("x.fst", fst({{"one", text("1111")}, {"two", text("22")}, {"three", text("333")}}));
  EXPECT_EQ(run({"-d", "x.fst", "one"}).status, 0);
  RunResult r = run({"-d", "x.fst", "THREE"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_bytes("x.fst"), fst({{"two", text("22")}}));
  r = run({"-l", "x.fst"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "pack file 'x.fst' opened\nDirectory 'x.fst'\n       2 two\n");
  r = run({"-u", "x.fst"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_bytes("two"), text("22"));
  write_bytes("four", text("4444"));
  r = run({"-p", "x.fst", "four"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_bytes("x.fst"), fst({{"two", text("22")}, {"four", text("4444")}}));
}

TEST_F(ArchiveTest, CompressFlagAndAlreadyCompressedFiles) {
  write_bytes("pack.viv", bigf(kThree));
  const Bytes stream = compressed(Bytes(400, 'z'));
  write_bytes("pre.z", stream);
  write_bytes("plain.txt", text("plain text, 32 bytes long ......"));
  RunResult r = run({"-p1", "pack.viv", "pre.z", "plain.txt"});
  EXPECT_EQ(r.status, 0) << r.out;
  const Bytes written = read_bytes("pack.viv");
  // The compressed file is stored as it is; the plain one is wrapped into a stream.
  const Bytes wrapped = [] {
    std::vector<std::uint8_t> out;
    const Bytes t = text("plain text, 32 bytes long ......");
    literal_wrap(t.data(), static_cast<std::int64_t>(t.size()), out);
    return out;
  }();
  EXPECT_EQ(written, bigf({kThree[0], kThree[1], kThree[2], {"pre.z", stream}, {"plain.txt", wrapped}}));
  r = run({"-l", "pack.viv"});
  EXPECT_NE(r.out.find("      32 plain.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     400 pre.z\n"), std::string::npos) << r.out;
}

TEST_F(ArchiveTest, WholeCompressedArchiveIsCompressedAgain) {
  write_bytes("pack.viv", compressed(bigf(kThree)));
  write_bytes("c", text("CCCC"));
  RunResult r = run({"-p", "pack.viv", "c"});
  EXPECT_EQ(r.status, 0) << r.out;
  const Bytes written = read_bytes("pack.viv");
  ASSERT_GE(written.size(), 2u);
  EXPECT_EQ(written[0], 0x10);
  EXPECT_EQ(written[1], 0xFB);
  EXPECT_EQ(decompressed(written), bigf({kThree[0], kThree[1], {"c", text("CCCC")}}));
  EXPECT_EQ(files(), (std::vector<std::string>{"c", "pack.viv"}));
}

TEST_F(ArchiveTest, DeleteEveryEntryAndMissingNames) {
  write_bytes("pack.viv", bigf(kThree));
  RunResult r = run({"-d", "pack.viv", "zzz"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "deletes files from packfile 'pack.viv'\n" + fatal_text("can't find 'zzz'"));
  EXPECT_EQ(read_bytes("pack.viv"), bigf(kThree));

  r = run({"-d", "pack.viv", "B", "a", "C"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "deletes files from packfile 'pack.viv'\n"
            "total 3, deleted 3\n"
            "creating header\n"
            "writing data\n"
            "packfile 'pack.viv' updated successfully\n");
  EXPECT_EQ(read_bytes("pack.viv"), bigf({}));
}

TEST_F(ArchiveTest, RebuildGoesThroughTheTemporaryName) {
  // A folder in the way of the temporary file makes the rebuild stop before it touches the archive.
  for (const auto& [archive, temp] : {std::pair{"PACK.VIV", "PACK.tmp"}, std::pair{"PACK", "PACK.tmp"}}) {
    write_bytes(archive, bigf(kThree));
    fs::create_directory(dir_ / temp);
    RunResult r = run({"-d", archive, "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(fatal_text(std::string("couldn't open '") + temp + "' for writing")),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_bytes(archive), bigf(kThree));
    fs::remove(dir_ / temp);
    r = run({"-d", archive, "b"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_bytes(archive), bigf({kThree[1], kThree[2]}));
    fs::remove(dir_ / archive);
  }
}

TEST_F(ArchiveTest, UnsupportedArchivesAreRefused) {
  write_bytes("img.fsh", text("SHPI\x20\0\0\0\0\0\0\0GIMX"));
  write_bytes("m.mas", mas(kThree));
  write_bytes("new.bin", text("data"));
  RunResult r = run({"-p", "img.fsh", "new.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "updating packfile 'img.fsh'\n" +
                       fatal_text("'img.fsh' is SHPI file, use -r/-rp to replace images"));
  r = run({"-p", "m.mas", "new.bin"});
  EXPECT_EQ(r.out, "updating packfile 'm.mas'\n" + fatal_text("'m.mas' is not supported packfile"));
  r = run({"-p", "none.viv", "new.bin"});
  EXPECT_EQ(r.out, fatal_text("couldn't open packfile 'none.viv'\n"));
  r = run({"-p", "m.mas", "this-name-is-longer-than-32-chars.bin"});
  EXPECT_EQ(r.out, "updating packfile 'm.mas'\n" +
                       fatal_text("filename 'this-name-is-longer-than-32-chars.bin' is too long\n"));
  EXPECT_EQ(read_bytes("m.mas"), mas(kThree));
}

// A kill at any moment of a rebuild leaves either the old archive or the complete new one.
TEST_F(ArchiveTest, KilledRebuildNeverLosesTheArchive) {
  Files big;
  for (int i = 0; i < 4; ++i)
    big.push_back({"part" + std::to_string(i), Bytes(4 << 20, static_cast<std::uint8_t>(i))});
  const Bytes old_archive = bigf(big);
  Files changed = big;
  changed[2].second = text("small");
  const Bytes new_archive = bigf(changed);
  write_bytes("part2", text("small"));
  int interrupted = 0;
  for (int round = 0; round < 3; ++round) {
    write_bytes("big.viv", old_archive);
    pid_t pid = start({"-p", "big.viv", "part2"});
    // Wait until the rebuild is writing its temporary file (or is over), then kill it.
    bool done = false;
    while (!fs::exists(dir_ / "big.tmp") && !done) {
      int wstatus;
      done = ::waitpid(pid, &wstatus, WNOHANG) == pid;
    }
    if (!done) {
      ::kill(pid, SIGKILL);
      RunResult r = finish(pid);
      if (r.status == 128 + SIGKILL) ++interrupted;
    }
    const Bytes now = read_bytes("big.viv");
    EXPECT_TRUE(now == old_archive || now == new_archive) << "round " << round;
    fs::remove(dir_ / "big.tmp");
  }
  EXPECT_GT(interrupted, 0);
}

}  // namespace
