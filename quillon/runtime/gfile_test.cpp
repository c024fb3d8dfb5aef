#include "quillon/runtime/gfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace {

namespace fs = std::filesystem;

class BufferedFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("gfile_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_ / "ro", fs::perms::owner_all, ec);
    fs::remove_all(dir_);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  static std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    std::mt19937 rng(7);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  }
  void writeplain(const std::string& p, const std::vector<uint8_t>& data) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  }
  static std::vector<uint8_t> readplain(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path dir_;
};

TEST_F(BufferedFile, ReadsAcrossWindowsMatchPlainReads) {
  const auto data = pattern(3 * 8192 + 1000);
  writeplain(path("in"), data);
  // Pieces that start and end inside windows, span several windows, or land on boundaries.
  const std::vector<std::pair<int32_t, int32_t>> reads = {
      {0, 10}, {10, 8182}, {8192, 1}, {8000, 400}, {100, 20000}, {8191, 8194}, {0, 40000}, {25500, 1000}};
  gfile* f = gopen(path("in").c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(gsize(f), static_cast<int32_t>(data.size()));
  for (auto [pos, count] : reads) {
    SCOPED_TRACE(testing::Message() << "at " << pos << " count " << count);
    std::vector<uint8_t> got(count);
    gseek(f, pos);
    const int32_t expect = std::min<int32_t>(count, static_cast<int32_t>(data.size()) - pos);
    ASSERT_EQ(gread(f, got.data(), count), expect);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + expect, data.begin() + pos));
    EXPECT_EQ(gtell(f), pos + expect);
  }
  // Sequential small reads through the whole file.
  gseek(f, 0);
  std::vector<uint8_t> all;
  uint8_t chunk[777];
  int32_t n;
  while ((n = gread(f, chunk, sizeof chunk)) > 0) all.insert(all.end(), chunk, chunk + n);
  EXPECT_EQ(all, data);
  EXPECT_EQ(gclose(f), 1);
}

TEST_F(BufferedFile, EndOfFileAndSeekClamping) {
  writeplain(path("in"), pattern(100));
  gfile* f = gopen(path("in").c_str());
  ASSERT_NE(f, nullptr);
  uint8_t b[16];
  EXPECT_EQ(gseek(f, 100), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(gread(f, b, 16), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(gseek(f, 150), 0);
  EXPECT_EQ(gtell(f), 100);
  EXPECT_EQ(gseek(f, -5), 0);
  EXPECT_EQ(gtell(f), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(gwrite(f, b, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "gwrite - ATTEMPT TO WRITE TO A READ ONLY FILE\n");
  gclose(f);
}

TEST_F(BufferedFile, FileThatShrankNeverYieldsStaleBytes) {
  const auto data = pattern(20000);
  writeplain(path("in"), data);
  gfile* f = gopen(path("in").c_str());
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> got(20000, 0xEE);
  ASSERT_EQ(gread(f, got.data(), 100), 100);  // fills the first window
  ASSERT_EQ(truncate(path("in").c_str(), 9000), 0);
  // The length measured at open is 20000, but only 9000 bytes exist now.
  const int32_t n = gread(f, got.data() + 100, 19900);
  EXPECT_EQ(n, 8900);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 9000, data.begin()));
  gclose(f);
}

TEST_F(BufferedFile, WritesAcrossWindowsMatchPlainData) {
  const auto data = pattern(5 * 8192 + 123);
  gfile* f = gwopen(path("out").c_str());
  ASSERT_NE(f, nullptr);
  // Mixed sizes: small writes inside a window, writes spanning several windows.
  size_t at = 0;
  for (size_t size : {1u, 8190u, 3u, 20000u, 500u, 8192u}) {
    ASSERT_EQ(gwrite(f, data.data() + at, static_cast<int32_t>(size)), static_cast<int32_t>(size));
    at += size;
  }
  ASSERT_EQ(gwrite(f, data.data() + at, static_cast<int32_t>(data.size() - at)),
            static_cast<int32_t>(data.size() - at));
  EXPECT_EQ(gsize(f), static_cast<int32_t>(data.size()));
  // Overwrite a range that spans a window boundary, then read it back through the handle.
  const std::vector<uint8_t> patch(300, 0x5A);
  ASSERT_EQ(gseek(f, 8100), 1);
  ASSERT_EQ(gwrite(f, patch.data(), 300), 300);
  std::vector<uint8_t> back(300);
  ASSERT_EQ(gseek(f, 8100), 1);
  ASSERT_EQ(gread(f, back.data(), 300), 300);
  EXPECT_EQ(back, patch);
  EXPECT_EQ(gclose(f), 1);

  auto expect = data;
  std::copy(patch.begin(), patch.end(), expect.begin() + 8100);
  EXPECT_EQ(readplain(path("out")), expect);
}

TEST_F(BufferedFile, SeekPastEndOfWriteHandleLeavesZeros) {
  for (int32_t existing : {0, 100, 8190}) {
    SCOPED_TRACE(existing);
    gfile* f = gwopen(path("out").c_str());
    ASSERT_NE(f, nullptr);
    const std::vector<uint8_t> head(existing, 0x11);
    gwrite(f, head.data(), existing);
    gwriteflush(f);
    ASSERT_EQ(gseek(f, existing + 10), 1);
    const uint8_t one = 0x77;
    ASSERT_EQ(gwrite(f, &one, 1), 1);
    gclose(f);
    auto expect = head;
    expect.insert(expect.end(), 10, 0);
    expect.push_back(0x77);
    EXPECT_EQ(readplain(path("out")), expect);
  }
}

TEST_F(BufferedFile, WriteAfterFlushLandsAtThePosition) {
  gfile* f = gwopen(path("out").c_str());
  ASSERT_NE(f, nullptr);
  const auto data = pattern(9000);
  gwrite(f, data.data(), 5000);
  gwriteflush(f);
  gwrite(f, data.data() + 5000, 4000);
  gclose(f);
  EXPECT_EQ(readplain(path("out")), data);
}

TEST_F(BufferedFile, RefusesReadOnlyFilesAndDirectories) {
  writeplain(path("ro"), pattern(4));
  chmod(path("ro").c_str(), 0444);
  if (access(path("ro").c_str(), W_OK) == 0 && getuid() != 0) GTEST_SKIP();
  testing::internal::CaptureStdout();
  EXPECT_EQ(gwopen(path("ro").c_str()), nullptr);
  EXPECT_EQ(gwopen(dir_.string().c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "gwopen - ATTEMPT TO OPEN READONLY FILE FOR WRITING (" + path("ro") +
                ")\ngwopen - ATTEMPT TO OPEN DIRECTORY FOR WRITING (" + dir_.string() + ")\n");
  EXPECT_EQ(gopen(path("missing").c_str()), nullptr);
}

TEST(BufferedFileNull, NullHandles) {
  uint8_t b[1];
  EXPECT_EQ(gread(nullptr, b, 1), 0);
  EXPECT_EQ(gwrite(nullptr, b, 1), 0);
  EXPECT_EQ(gseek(nullptr, 0), 0);
  EXPECT_EQ(gtell(nullptr), 0);
  EXPECT_EQ(gsize(nullptr), 0);
  EXPECT_EQ(gwriteflush(nullptr), 0);
  EXPECT_EQ(gclose(nullptr), 0);
}

}  // namespace
