// End-to-end tests of the command line: they run the built braxel program in a scratch
// directory and check its standard output, its exit status and the files it writes. A few
// in-process tests cover the helpers of the front end.
#include "braxel/cli/driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/cli/braxel_run.h"
#include "braxel/cli/console/console.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const char* const kUsage =
    "\n"
    " BRAXEL 0.58 (01.09.2002) BMP/GIF/JPG/PCX/PNG<->QV-SHPI converter by\n"
    " the braxel team; portable C++ edition for the game's user content\n"
    "\n"
    "*replace images:\n"
    "  -r(p) (-real) (-pal <palfile>) <path> <img1> <SHPI1> <img2> <SHPI2> ...\n"
    "*create new SHPI-file and replace images:\n"
    "  -c(p) (-real) (-pal <palfile>) <path> <SHPI-file> <img1> <SHPI1> ...\n"
    "*update pack file:\n"
    "  -p (-real) <pack file> <file1> <file2> ...\n"
    "*delete file(s) inside pack file:\n"
    "  -d <path> name1 name2...\n"
    "*list pack file contents:\n"
    "  -l <pack-file path>\n"
    "*extract and decompress images from pack file:\n"
    "  -e(gif/bmp/jpeg/pcx/png) <pack file path> (<name1> <name2> ...)\n"
    "*extract and decompress data from pack file:\n"
    "  -u <pack-file path> (<name1> <name2> ...)\n"
    "*compress/decompress file:\n"
    "  -de/compress (-real) <source file> <destination file>\n"
    "*add new KRV'98/'99 face(s):\n"
    "  -face <game basedir> <face number> <another face number> ...\n";

const char* const kUnknown = "\nunknown command or not enough parameters\n";

class CliTest : public BraxelRunTest {};

Bytes header(std::uint32_t size) {
  return {0x10, 0xFB, static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 8),
          static_cast<std::uint8_t>(size)};
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- usage and dispatch ----------------------------------------------------------------------

TEST_F(CliTest, NoArgumentsPrintsUsage) {
  RunResult r = run({});
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.status, kExitUsage);
}

TEST_F(CliTest, CommandWordAlonePrintsUsage) {
  for (const char* word : {"-compress", "-l", "-zzz", "-real"}) {
    RunResult r = run({word});
    EXPECT_EQ(r.out, kUsage) << word;
    EXPECT_EQ(r.status, kExitUsage) << word;
  }
  // The switches are removed before counting: a command word and a switch is still alone.
  RunResult r = run({"-compress", "-REAL", "-notrans"});
  EXPECT_EQ(r.out, kUsage);
}

TEST_F(CliTest, UnknownCommandPrintsOnlyTheLine) {
  RunResult r = run({"-frobnicate", "x"});
  EXPECT_EQ(r.out, kUnknown);
  EXPECT_EQ(r.status, kExitUsage);
}

TEST_F(CliTest, CompressWithoutDestinationWritesNothing) {
  write_bytes("src.bin", Bytes(8, 1));
  RunResult r = run({"-compress", "src.bin"});
  EXPECT_EQ(r.out, kUnknown);
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_EQ(files(), (std::vector<std::string>{"src.bin"}));
}

TEST_F(CliTest, PatchIsNotImplemented) {
  write_bytes("base.bin", Bytes{1, 2, 3});
  RunResult r = run({"-patch", "base.bin", "other"});
  EXPECT_EQ(r.out, "not implemented yet\n");
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(files(), (std::vector<std::string>{"base.bin"}));
  EXPECT_EQ(read_bytes("base.bin"), (Bytes{1, 2, 3}));
}

TEST_F(CliTest, CreateCommandWordsInAnyCase) {
  // Four operands select the create command, whatever the letter case of its word.
  for (const char* word : {"-Cp", "-c1P"}) {
    RunResult r = run({word, "tpl", "new.shpi", "a.bmp", "ABCD"});
    EXPECT_EQ(r.status, kExitFailure) << word;
    EXPECT_EQ(r.out.rfind("scanning original pack file\n", 0), 0u) << word << r.out;
  }
  RunResult r;
  // Three operands are too few for it.
  r = run({"-cp", "tpl", "new.shpi", "a.bmp"});
  EXPECT_EQ(r.out, kUnknown);
  // "-compress" in capitals is the compress command, not the create command.
  write_bytes("in.bin", Bytes{1, 2, 3, 4});
  r = run({"-COMPRESS", "in.bin", "out.bin"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(read_bytes("out.bin"), cat(header(4), {0xE0, 1, 2, 3, 4, 0xFC}));
}

TEST_F(CliTest, PaletteFileMissing) {
  RunResult r = run({"-r", "-pal", "nopal.pal", "pack.viv", "a.bmp", "ABCD"});
  EXPECT_EQ(r.out, "couldn't open palette file 'nopal.pal'\n");
  EXPECT_EQ(r.status, kExitFailure);
  r = run({"-cp", "-PAL", "missing%s.pal", "tpl", "new", "a.bmp", "ABCD"});
  EXPECT_EQ(r.out, "couldn't open palette file 'missing%s.pal'\n");
  // A palette that exists is read, then the operands are counted after it.
  write_bytes("p.pal", Bytes(3000, 7));
  r = run({"-rp", "-pal", "p.pal", "pack.viv", "a.bmp"});
  EXPECT_EQ(r.out, kUnknown);
  r = run({"-r", "-pal"});
  EXPECT_EQ(r.out, kUnknown);
}

TEST_F(CliTest, LaterCommandsAreNotAvailableYet) {
  const std::vector<std::vector<std::string>> lines = {
      {"-makepatch", "a", "b", "c"},
      {"-face", "a", "1"},
  };
  for (const auto& line : lines) {
    RunResult r = run(line);
    EXPECT_EQ(r.status, kExitFailure) << line[0];
    EXPECT_EQ(r.out, fatal_text("the command '" + line[0] + "' is not available in this version yet"))
        << line[0];
  }
  // One operand short of each minimum gives the unknown-command line.
  for (const auto& line : std::vector<std::vector<std::string>>{
           {"-makepatch", "a", "b"}, {"-r", "a", "b"}, {"-p", "a"}, {"-face", "a"}, {"-decompress", "a"}}) {
    EXPECT_EQ(run(line).out, kUnknown) << line[0];
  }
}

// ---- compression commands --------------------------------------------------------------------

TEST_F(CliTest, LiteralOnlyCompression) {
  write_bytes("eight.bin", Bytes{'1', '2', '3', '4', '5', '6', '7', '8'});
  RunResult r = run({"-compress", "eight.bin", "eight.cmp"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_bytes("eight.cmp"), cat(header(8), {0xE1, '1', '2', '3', '4', '5', '6', '7', '8', 0xFC}));

  write_bytes("six.bin", Bytes(6, 'x'));
  r = run({"-compress", "six.bin", "six.cmp"});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, fatal_text("tried to compress data not divisible by 4"));
  EXPECT_FALSE(fs::exists(dir_ / "six.cmp"));
}

TEST_F(CliTest, RealCompressionOfTinyInputs) {
  write_bytes("three.bin", Bytes{'a', 'b', 'c'});
  // The switch after the operands, in capitals.
  RunResult r = run({"-compress", "three.bin", "three.cmp", "-REAL"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(read_bytes("three.cmp"), cat(header(3), {0xFF, 'a', 'b', 'c'}));
  EXPECT_EQ(r.out,
            "compressing 1/3 (33%) (OUT 5 500%)\r" + std::string(79, ' ') + "\rold size 3, new size 9\n");

  write_bytes("empty.bin", Bytes{});
  r = run({"-Real", "-compress", "empty.bin", "empty.cmp"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(read_bytes("empty.cmp"), cat(header(0), {0xFC}));
  EXPECT_EQ(r.out, std::string(79, ' ') + "\rold size 0, new size 6\n");
}

TEST_F(CliTest, DecompressUncompressedFile) {
  write_bytes("plain%d%s.txt", Bytes{'h', 'e', 'l', 'l', 'o'});
  RunResult r = run({"-decompress", "plain%d%s.txt", "out.bin"});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, fatal_text("file 'plain%d%s.txt' is not compressed"));
  EXPECT_FALSE(fs::exists(dir_ / "out.bin"));
}

TEST_F(CliTest, DecompressCorruptFiles) {
  // Copy offset before the start, a size no 6-byte file can expand to, a missing stop byte.
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {cat(header(20), {0xE0, 1, 2, 3, 4, 0x1C, 0x05, 0xFC}), "copy reaches before the start of the output"},
      {cat(header(0xFFFFFF), {0xFC}), "declared size larger than the data can expand to"},
      {cat(header(4), {0xE0, 1, 2, 3, 4}), "stream ends too early"},
  };
  for (const auto& [stream, why] : cases) {
    write_bytes("bad.cmp", stream);
    RunResult r = run({"-decompress", "bad.cmp", "bad.out"});
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.out, fatal_text("file 'bad.cmp' is corrupt (" + why + ")"));
    EXPECT_FALSE(fs::exists(dir_ / "bad.out"));
  }
}

TEST_F(CliTest, MissingFilesAreReported) {
  RunResult r = run({"-compress", "nothere%s%n.bin", "out.bin"});
  EXPECT_EQ(r.out, "couldn't open 'nothere%s%n.bin' for reading\n");
  EXPECT_EQ(r.status, kExitFailure);
  write_bytes("in.bin", Bytes(4, 0));
  r = run({"-compress", "in.bin", "no/such/dir/out%%.bin"});
  EXPECT_EQ(r.out, "couldn't open 'no/such/dir/out%%.bin' for writing\n");
  EXPECT_EQ(r.status, kExitFailure);
  r = run({"-decompress", "gone.bin", "out.bin"});
  EXPECT_EQ(r.out, "couldn't open 'gone.bin' for reading\n");
  EXPECT_EQ(r.status, kExitFailure);
}

TEST_F(CliTest, PercentSignsInFileNames) {
  const std::string src = "50%done%s%n.bin";
  const std::string dst = "out%d%%.cmp";
  Bytes data(4096);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 / 5);
  write_bytes(src, data);
  RunResult r = run({"-compress", "-real", src, dst});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_NE(r.out.find("compressing 1/4096 (0%) (OUT 5 500%)\r"), std::string::npos);
  r = run({"-decompress", dst, "back%s.bin"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(read_bytes("back%s.bin"), data);
}

TEST_F(CliTest, ReadOnlyDestinationIsReplaced) {
  write_bytes("in.bin", Bytes{9, 8, 7, 6});
  write_bytes("out.cmp", Bytes{1});
  ASSERT_EQ(::chmod((dir_ / "out.cmp").c_str(), 0444), 0);
  RunResult r = run({"-compress", "in.bin", "out.cmp"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out, "'out.cmp': removed read-only flag\n");
  EXPECT_EQ(read_bytes("out.cmp"), cat(header(4), {0xE0, 9, 8, 7, 6, 0xFC}));
  EXPECT_EQ(files(), (std::vector<std::string>{"in.bin", "out.cmp"}));  // no temporary file left
}

// Inputs for the round trips: sizes from empty to 10 MB, random data, long runs, repeated
// text and copies at every distance form.
std::vector<std::pair<std::string, Bytes>> round_trip_inputs() {
  std::vector<std::pair<std::string, Bytes>> inputs;
  std::mt19937 rng(1234);
  auto random = [&](std::size_t n) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng());
    return b;
  };
  inputs.emplace_back("empty", Bytes{});
  inputs.emplace_back("one", Bytes{42});
  inputs.emplace_back("five", Bytes{1, 1, 1, 1, 1});
  inputs.emplace_back("random", random(100000));
  Bytes runs;
  while (runs.size() < 300000)
    runs.insert(runs.end(), 1 + rng() % 80000, static_cast<std::uint8_t>(rng() % 4));
  inputs.emplace_back("runs", runs);
  Bytes text;
  static const char* words[] = {"faceoff ", "icing ", "offside ", "power play ", "hat trick ", "\n"};
  while (text.size() < 400000) {
    const char* w = words[rng() % 6];
    text.insert(text.end(), w, w + std::strlen(w));
  }
  inputs.emplace_back("text", text);
  Bytes forms = random(140000);
  static const int kDistances[] = {1, 3, 1024, 1025, 16384, 16385, 131072, 131073};
  static const int kLengths[] = {3, 4, 5, 10, 11, 67, 68, 1028, 1029, 5000};
  for (int i = 0; i < 200; ++i) {
    const int d = kDistances[rng() % 8];
    const int len = kLengths[rng() % 10];
    const std::size_t at = forms.size();
    for (int k = 0; k < len; ++k) forms.push_back(forms[at + k - d]);
    forms.push_back(static_cast<std::uint8_t>(rng()));
  }
  inputs.emplace_back("forms", forms);
  // 10 MB: text, binary-like records, runs and noise in turn.
  Bytes big;
  while (big.size() < 10 * 1000 * 1000) {
    switch (rng() % 4) {
      case 0:
        big.insert(big.end(), text.begin() + static_cast<long>(rng() % 300000),
                   text.begin() + static_cast<long>(300000 + rng() % 100000));
        break;
      case 1:
        for (int k = 0; k < 20000; ++k) {
          const std::uint32_t v = rng() % 512;
          big.insert(big.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), 0, 0});
        }
        break;
      case 2:
        big.insert(big.end(), rng() % 200000, static_cast<std::uint8_t>(rng()));
        break;
      default: {
        Bytes noise = random(50000);
        big.insert(big.end(), noise.begin(), noise.end());
      }
    }
  }
  big.resize(10 * 1000 * 1000);
  inputs.emplace_back("big", big);
  return inputs;
}

TEST_F(CliTest, RealRoundTripsAreExactAndDeterministic) {
  for (const auto& [name, data] : round_trip_inputs()) {
    write_bytes(name, data);
    RunResult r = run({"-compress", "-real", name, name + ".cmp"});
    ASSERT_EQ(r.status, kExitOk) << name << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
    Bytes stream = read_bytes(name + ".cmp");
    EXPECT_NE(r.out.find("old size " + std::to_string(data.size()) + ", new size " +
                         std::to_string(stream.size()) + "\n"),
              std::string::npos)
        << name;
    r = run({"-decompress", name + ".cmp", name + ".out"});
    ASSERT_EQ(r.status, kExitOk) << name << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_bytes(name + ".out") == data) << name;
    // A second run writes the same bytes.
    r = run({"-compress", name, name + ".cmp2", "-real"});
    EXPECT_TRUE(read_bytes(name + ".cmp2") == stream) << name;
    fs::remove(dir_ / name);
    fs::remove(dir_ / (name + ".out"));
    fs::remove(dir_ / (name + ".cmp"));
    fs::remove(dir_ / (name + ".cmp2"));
  }
}

TEST_F(CliTest, LiteralRoundTrip) {
  Bytes data(100000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
  write_bytes("in.bin", data);
  ASSERT_EQ(run({"-compress", "in.bin", "in.cmp"}).status, kExitOk);
  EXPECT_EQ(read_bytes("in.cmp").size(), data.size() + (data.size() + 63) / 64 + 6);
  ASSERT_EQ(run({"-decompress", "in.cmp", "in.out"}).status, kExitOk);
  EXPECT_EQ(read_bytes("in.out"), data);
}

// ---- helpers of the front end (in process) ---------------------------------------------------

TEST(DriverHelpers, VersionAndDate) {
  EXPECT_EQ(version_text(kVersionRecord), "0.58");
  EXPECT_EQ(build_date_text(kBuildDate), "01.09.2002");
  EXPECT_EQ(build_date_text("DEC 25 1999"), "25.12.1999");
}

TEST(DriverHelpers, CreateFlags) {
  EXPECT_EQ(create_flags("-c"), 0);
  EXPECT_EQ(create_flags("-cp"), 2);
  EXPECT_EQ(create_flags("-Cp"), 2);
  EXPECT_EQ(create_flags("-c1P"), 3);
  EXPECT_EQ(create_flags("-c1"), 1);
}

TEST(DriverHelpers, NameList) {
  console_init();
  char a[] = "first";
  char b[] = "SECOND.BIN";
  char c[] = "";
  char* names[] = {a, b, c};
  char* list = make_name_list(names, 2);
  EXPECT_STREQ(list, "first");
  EXPECT_STREQ(list + 6, "SECOND.BIN");
  EXPECT_EQ(list[17], '\0');  // the closing empty string
  console.release(list);

  // Exactly filling the block is fine; one byte more is a clear fatal error.
  std::string big(kNameListBytes - 2, 'x');  // big + its terminator + the closing empty string
  char* one[] = {big.data()};
  list = make_name_list(one, 1);
  console.release(list);
  std::string bigger(kNameListBytes - 1, 'x');
  char* too_many[] = {bigger.data()};
  EXPECT_EXIT(make_name_list(too_many, 1), ::testing::ExitedWithCode(kExitFailure), "");
}

}  // namespace
