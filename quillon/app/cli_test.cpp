// End-to-end tests of the quillon command line: they run the built program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

struct Result {
  int status;
  std::string out;
};

Result run(const std::string& args) {
  const std::string command = std::string(QUILLON_EXE) + " " + args + " 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  Result r{-1, {}};
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

TEST(QuillonCli, FormatsListsTheWholeTable) {
  const Result r = run("formats");
  EXPECT_EQ(r.status, 0);
  int lines = 0;
  for (char c : r.out) lines += c == '\n';
  EXPECT_EQ(lines, 25);  // heading + 24 rows
  EXPECT_NE(r.out.find("    9 pcstream       SND PC stream"), std::string::npos);
  EXPECT_NE(r.out.find("   18 dzlpsstream    Obsolete DZL 2000 PS stream"), std::string::npos);
  EXPECT_NE(r.out.find("   23 mpeg           MPEG"), std::string::npos);
}

TEST(QuillonCli, ExitStatuses) {
  struct Case {
    const char* args;
    int status;
  };
  const Case cases[] = {{"--help", 0}, {"", 2}, {"frobnicate", 2}, {"formats extra", 2}};
  for (const Case& c : cases) EXPECT_EQ(run(c.args).status, c.status) << c.args;
  EXPECT_NE(run("--help").out.find("usage: quillon"), std::string::npos);
}

}  // namespace
