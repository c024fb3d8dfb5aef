// Tests of the console services: files, read-only handling, guarded blocks, fatal errors and
// printing that formats once.
#include "braxel/cli/console/console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    console_init();
    char tmpl[] = "/tmp/braxel_console_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static void write_file(const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string read_file(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  fs::path dir_;
};

TEST_F(ConsoleTest, WriteReadSeekSize) {
  const std::string p = path("data.bin");
  ConsoleFile* f = console.open(p.c_str(), 1);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(console.write(f, "hello world", 11), 11);
  console.close(f);

  f = console.open(p.c_str(), 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(console.size(f), 11);
  char buf[16] = {};
  console.seek(f, 6, kSeekFromStart);
  EXPECT_EQ(console.read(f, buf, 16), 5);
  EXPECT_STREQ(buf, "world");
  console.seek(f, -5, kSeekFromEnd);
  EXPECT_EQ(console.read(f, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "wo");
  console.close(f);
}

TEST_F(ConsoleTest, IllegalSeekModeIsFatal) {
  const std::string p = path("seek.bin");
  write_file(p, "abc");
  ConsoleFile* f = console.open(p.c_str(), 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EXIT(console.seek(f, 0, 1), ::testing::ExitedWithCode(kExitFailure), "");
  console.close(f);
}

TEST_F(ConsoleTest, FailedOpenGivesNoneAndNoMessage) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(console.open(path("missing.bin").c_str(), 0), nullptr);
  EXPECT_EQ(console.open(path("no/such/dir/x.bin").c_str(), 1), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(console.exists(path("missing.bin").c_str()), 0);
  EXPECT_EQ(console.open(dir_.c_str(), 0), nullptr);  // a directory is not a file
}

TEST_F(ConsoleTest, WritingAReadOnlyFileClearsTheMarkAndTruncates) {
  const std::string p = path("ro.bin");
  write_file(p, "old contents");
  ASSERT_EQ(::chmod(p.c_str(), 0444), 0);
  ::testing::internal::CaptureStdout();
  ConsoleFile* f = console.open(p.c_str(), 1);
  const std::string said = ::testing::internal::GetCapturedStdout();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(said, "'" + p + "': removed read-only flag\n");
  console.write(f, "new", 3);
  console.close(f);
  EXPECT_EQ(read_file(p), "new");
  struct stat st;
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  // A writable file says nothing.
  ::testing::internal::CaptureStdout();
  f = console.open(p.c_str(), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  console.close(f);
}

TEST_F(ConsoleTest, ExistsRenameDelete) {
  const std::string a = path("a.bin");
  const std::string b = path("b.bin");
  write_file(a, "x");
  EXPECT_EQ(console.exists(a.c_str()), 1);
  EXPECT_EQ(console.rename(a.c_str(), b.c_str()), 1);
  EXPECT_EQ(console.exists(a.c_str()), 0);
  EXPECT_EQ(console.exists(b.c_str()), 1);
  EXPECT_EQ(console.rename(a.c_str(), b.c_str()), 0);
  // Renaming onto a read-only file replaces it after clearing its mark.
  write_file(a, "new");
  ASSERT_EQ(::chmod(b.c_str(), 0444), 0);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(console.rename(a.c_str(), b.c_str()), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "'" + b + "': removed read-only flag\n");
  EXPECT_EQ(read_file(b), "new");
  ASSERT_EQ(::chmod(b.c_str(), 0444), 0);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(console.remove(b.c_str()), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "'" + b + "': removed read-only flag\n");
  EXPECT_EQ(console.exists(b.c_str()), 0);
  EXPECT_EQ(console.remove(b.c_str()), 0);
}

TEST_F(ConsoleTest, WindowsStylePathsAreFound) {
  fs::create_directories(dir_ / "Data" / "Sub");
  write_file(path("Data/Sub/File.BIN"), "payload");
  const std::string windows = dir_.string() + "\\data\\SUB\\file.bin";
  ConsoleFile* f = console.open(windows.c_str(), 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(console.size(f), 7);
  console.close(f);
  // Writing a new file into a directory written in another case.
  const std::string out = dir_.string() + "/DATA/sub/new.bin";
  f = console.open(out.c_str(), 1);
  ASSERT_NE(f, nullptr);
  console.close(f);
  EXPECT_TRUE(fs::exists(dir_ / "Data" / "Sub" / "new.bin"));
}

TEST_F(ConsoleTest, AllocateIsZeroFilledAndCounted) {
  const std::int64_t before = console_live_bytes();
  auto* block = static_cast<unsigned char*>(console.allocate(1000));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(block[i], 0);
  EXPECT_EQ(console_live_bytes(), before + 1000);
  // The hidden header holds the marker just before the caller's area.
  std::uint32_t marker;
  std::memcpy(&marker, block - 8, 4);
  EXPECT_EQ(marker, kBlockMarker);
  void* empty = console.allocate(0);
  ASSERT_NE(empty, nullptr);
  console.release(empty);
  console.release(block);
  EXPECT_EQ(console_live_bytes(), before);
  console.release(nullptr);  // ignored
  EXPECT_EQ(console_live_bytes(), before);
}

TEST_F(ConsoleTest, DoubleReleaseIsFatal) {
  void* block = console.allocate(16);
  console.release(block);
  EXPECT_EXIT(console.release(block), ::testing::ExitedWithCode(kExitFailure), "");
}

TEST_F(ConsoleTest, ReleasingAForeignPointerIsFatal) {
  int local[8] = {};
  EXPECT_EXIT(console.release(&local[4]), ::testing::ExitedWithCode(kExitFailure), "");
  void* block = console.allocate(64);
  EXPECT_EXIT(console.release(static_cast<char*>(block) + 16), ::testing::ExitedWithCode(kExitFailure), "");
  console.release(block);
}

TEST_F(ConsoleTest, ExhaustionIsFatal) {
  EXPECT_EXIT(console.allocate(SIZE_MAX - 4), ::testing::ExitedWithCode(kExitFailure), "");
}

TEST_F(ConsoleTest, FatalPrintsFourLinesAndExits) {
  // Run the fatal error in a child whose standard output goes to a file, then read it.
  const std::string out = path("fatal.txt");
  EXPECT_EXIT(
      {
        std::freopen(out.c_str(), "w", stdout);
        console.fatal("bad thing %d in '%s'", 42, "x%sy");
      },
      ::testing::ExitedWithCode(kExitFailure), "");
  EXPECT_EQ(read_file(out), "***********\nFatal Error\n***********\n-- bad thing 42 in 'x%sy'\n");
}

TEST_F(ConsoleTest, PrintFormatsOnce) {
  ::testing::internal::CaptureStdout();
  console.print("file '%s' at %d%%\n", "50%done%s.bin", 50);
  console.print("plain 100%% text\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "file '50%done%s.bin' at 50%\nplain 100% text\n");
}

}  // namespace
