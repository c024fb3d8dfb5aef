#include "quillon/runtime/diag.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "quillon/runtime/faultcatch_test.h"

namespace {

using Messages = std::vector<std::string>;

// ---- Fault report ----

TEST(FaultReport, FilterSeesTheFormattedTextAndDismissesTheFault) {
  FaultCatcher faults;
  FAULT("pc/nfile", "FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n");
  FAULT("cmn/stream", "STREAM - unable to open file '%s'\n", "a.asf");
  FAULT("cmn/stream", "%s", std::string(400, 'x').c_str());
  const Messages got = faults.messages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n");
  EXPECT_EQ(got[1], "STREAM - unable to open file 'a.asf'\n");
  EXPECT_EQ(got[2], std::string(255, 'x'));
}

int nested_calls = 0;
int nesting_filter(const char*) {
  if (++nested_calls == 1) FAULT("pc/nfile", "second\n");
  return 0;
}

TEST(FaultReport, ReportRaisedWhileAnotherIsShownReturnsAtOnce) {
  nested_calls = 0;
  FAULT_setfilter(nesting_filter);
  FAULT("pc/nfile", "first\n");
  FAULT_setfilter(nullptr);
  EXPECT_EQ(nested_calls, 1);
}

void box_on_stderr(const char* title, const char* text) {
  std::fprintf(stderr, "[box %s] %s", title, text);
}

class FaultExit : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// A failure must show in the exit status, from the main thread (exit handlers run) and from any
// other thread (the process ends at once).
TEST_F(FaultExit, EndsTheProgramWithStatusOneAfterTheBox) {
  auto report = [] {
    FAULT_setbox(box_on_stderr);
    FAULT("pc/inittmr", "TIMER_init - FAILED TO CREATE TIMER THREAD.\n");
  };
  EXPECT_EXIT(report(), testing::ExitedWithCode(1),
              "Abort Message: TIMER_init - FAILED TO CREATE TIMER THREAD.\n"
              "\\[box Abort Message\\] TIMER_init - FAILED TO CREATE TIMER THREAD.");
  EXPECT_EXIT(std::thread(report).join(), testing::ExitedWithCode(1), "FAILED TO CREATE TIMER THREAD");
}

TEST_F(FaultExit, SourceSwitchNamesTheSourceInTheTitle) {
  auto report = [] {
    FAULT_setsourceswitch(1);
    FAULT_report("cmn/systask", 42, "SYNCTASK_add - LIST FULL\n");
  };
  EXPECT_EXIT(report(), testing::ExitedWithCode(1),
              "Abort from file \"cmn/systask\", line 42: SYNCTASK_add - LIST FULL");
}

// ---- Printing ----

class Printing : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("PRINT_CHANNEL");
    unsetenv("PRINT_DEVICE");
    PRINT_init();
    PRINT_setdevice(PRINT_DEBUGGER, keep, nullptr);
    PRINT_enabledevice(PRINT_DEBUGGER, 1);
    PRINT_enabledevice(PRINT_CONSOLE, 0);
    printed().clear();
  }
  void TearDown() override {
    unsetenv("PRINT_CHANNEL");
    unsetenv("PRINT_DEVICE");
    PRINT_setdevice(PRINT_DEBUGGER, nullptr, nullptr);
    PRINT_init();
  }
  static Messages& printed() {
    static Messages m;
    return m;
  }
  static void keep(const char* text, void*) { printed().emplace_back(text); }
  static std::vector<int> enabled() {
    std::vector<int> on;
    for (int i = 0; i < PRINT_CHANNELS; ++i)
      if (PRINT_channelenabled(i)) on.push_back(i);
    return on;
  }
};

TEST_F(Printing, ChannelVariableSelectsByLongestSharedPrefix) {
  std::vector<int> every;
  for (int i = 0; i < PRINT_CHANNELS; ++i) every.push_back(i);
  struct Case {
    const char* value;
    std::vector<int> on;
  } cases[] = {
      {"", {PRINT_ALERT}},
      {"-alert,codec", {PRINT_CODEC}},
      {"CODEC FILE", {PRINT_ALERT, PRINT_FILE, PRINT_CODEC}},
      {"co", {PRINT_ALERT, PRINT_CONNECTION}},  // "connection" and "codec" share it; the first wins
      {"cod", {PRINT_ALERT, PRINT_CODEC}},
      {"runtime,-memory", {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {"all", every},
      {"xyz", {PRINT_ALERT}},  // shares no letter with any channel
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    setenv("PRINT_CHANNEL", c.value, 1);
    PRINT_init();
    EXPECT_EQ(enabled(), c.on);
  }
}

TEST_F(Printing, TextReachesEnabledDevicesOfEnabledChannels) {
  PRINT(PRINT_ALERT, "alert %d\n", 1);
  PRINT(PRINT_CODEC, "codec %d\n", 2);
  PRINT_enablechannel(PRINT_STANDARD, 1);
  PRINT(PRINT_CODEC, "codec %d\n", 3);
  PRINT_enabledevice(PRINT_DEBUGGER, 0);
  PRINT(PRINT_CODEC, "codec %d\n", 4);
  EXPECT_EQ(printed(), (Messages{"alert 1\n", "codec 3\n"}));
}

TEST_F(Printing, NamesAndOutputsSetLaterReadTheVariablesAgain) {
  setenv("PRINT_CHANNEL", "-alert mine", 1);
  setenv("PRINT_DEVICE", "-console,deb", 1);
  PRINT_init();
  EXPECT_FALSE(PRINT_channelenabled(20));
  EXPECT_FALSE(PRINT_deviceenabled(PRINT_CONSOLE));
  PRINT_setchannelname(20, "mine");
  EXPECT_TRUE(PRINT_channelenabled(20));
  EXPECT_FALSE(PRINT_channelenabled(PRINT_ALERT));
  PRINT_setdevice(PRINT_DEBUGGER, keep, nullptr);
  EXPECT_TRUE(PRINT_deviceenabled(PRINT_DEBUGGER));
  PRINT(20, "to mine\n");
  EXPECT_EQ(printed(), Messages{"to mine\n"});
}

TEST_F(Printing, MonoScreenHandlesControlBytesAndScrolls) {
  PRINT_enabledevice(PRINT_MONO, 1);
  PRINT_monotabwidth(8);
  PRINT(PRINT_ALERT, "\fab\tc\bd\n\x0e\x1fX");
  uint8_t screen[4000];
  PRINT_monoscreen(screen);
  auto cell = [&](int row, int column) {
    return std::make_pair(screen[2 * (row * 80 + column)], screen[2 * (row * 80 + column) + 1]);
  };
  EXPECT_EQ(cell(0, 0).first, 'a');
  EXPECT_EQ(cell(0, 1).first, 'b');
  EXPECT_EQ(cell(0, 8).first, 'd');  // the tab went to column 8, "c" was overwritten after a backspace
  EXPECT_EQ(cell(1, 0), std::make_pair(uint8_t{'X'}, uint8_t{0x1f}));
  // 24 more lines scroll the first two lines off the top.
  std::string lines;
  for (int i = 0; i < 24; ++i) lines += "\n";
  PRINT(PRINT_ALERT, "%sZ", lines.c_str());
  PRINT_monoscreen(screen);
  EXPECT_EQ(cell(0, 0).first, 'X');
  EXPECT_EQ(cell(24, 0).first, 'Z');
  PRINT(PRINT_ALERT, "\x0e\x07");
  PRINT_enabledevice(PRINT_MONO, 0);
}

// ---- Current directory ----

TEST(Directory, SetAndGetAndTheirFaults) {
  FaultCatcher faults;
  char before[512];
  getdirectory(before);
  const std::string dir = std::filesystem::canonical(std::filesystem::temp_directory_path()).string();
  setdirectory(dir.c_str());
  char now[512];
  getdirectory(now);
  EXPECT_EQ(std::string(now), dir);
  setdirectory("/no/such/dir");
  setdirectory(before);
  EXPECT_EQ(faults.messages(), Messages{"setdirectory - FAILED ON '/no/such/dir'\n"});
}

// ---- Archive entries ----

std::vector<uint8_t> bigf(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<uint8_t> dir;
  auto be = [&](std::vector<uint8_t>& v, uint32_t x, int n) {
    for (int i = n - 1; i >= 0; --i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  };
  size_t header = 16;
  for (const auto& e : entries) header += 8 + e.first.size() + 1;
  std::vector<uint8_t> out = {'B', 'I', 'G', 'F'};
  be(out, 0, 4);
  be(out, static_cast<uint32_t>(entries.size()), 4);
  be(out, static_cast<uint32_t>(header), 4);
  size_t offset = header;
  for (const auto& e : entries) {
    be(out, static_cast<uint32_t>(offset), 4);
    be(out, static_cast<uint32_t>(e.second.size()), 4);
    out.insert(out.end(), e.first.begin(), e.first.end());
    out.push_back(0);
    offset += e.second.size();
  }
  for (const auto& e : entries) out.insert(out.end(), e.second.begin(), e.second.end());
  return out;
}

std::vector<uint8_t> c0fb(const std::vector<std::pair<std::string, std::string>>& entries) {
  // The same directory with 3-byte numbers after a 6-byte header.
  std::vector<uint8_t> out = {0xC0, 0xFB, 0, 0, 0, static_cast<uint8_t>(entries.size())};
  size_t header = 6;
  for (const auto& e : entries) header += 6 + e.first.size() + 1;
  size_t offset = header;
  for (const auto& e : entries) {
    for (uint32_t v : {static_cast<uint32_t>(offset), static_cast<uint32_t>(e.second.size())})
      for (int i = 2; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    out.insert(out.end(), e.first.begin(), e.first.end());
    out.push_back(0);
    offset += e.second.size();
  }
  for (const auto& e : entries) out.insert(out.end(), e.second.begin(), e.second.end());
  return out;
}

TEST(LocateEntry, FindsEntriesByNameOrNumberInBothLayouts) {
  const std::vector<std::pair<std::string, std::string>> entries = {{"song.asf", "hello"},
                                                                    {"Info.txt", "xy"}};
  for (const auto& image : {bigf(entries), c0fb(entries)}) {
    uint32_t offset = 1, size = 1;
    const char* name = BIG_locateentry(image.data(), image.size(), "INFO.TXT", 0, &offset, &size);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Info.txt");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + offset, size), "xy");
    name = BIG_locateentry(image.data(), image.size(), nullptr, 0, &offset, &size);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "song.asf");
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(BIG_locateentry(image.data(), image.size(), nullptr, 2, &offset, &size), nullptr);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
  }
}

TEST(LocateEntry, ForeignOrCutImagesFindNothing) {
  const auto good = bigf({{"a", "1"}, {"b", "2"}});
  const std::vector<uint8_t> foreign = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  uint32_t offset, size;
  EXPECT_EQ(BIG_locateentry(foreign.data(), foreign.size(), "a", 0, &offset, &size), nullptr);
  // Every cut of the directory: the names that lie wholly inside are still found, nothing past.
  for (size_t cut = 0; cut < 16 + 2 * 10; ++cut) {
    std::vector<uint8_t> part(good.begin(), good.begin() + static_cast<long>(cut));
    const char* b = BIG_locateentry(part.data(), part.size(), "b", 0, &offset, &size);
    EXPECT_EQ(b != nullptr, cut >= 36) << cut;
  }
}

TEST(LocateEntry, MissesAreReportedWhenAsked) {
  FaultCatcher faults;
  const auto image = bigf({{"a", "1"}, {"b", "22"}});
  uint32_t offset, size;
  BIG_locateentry(image.data(), image.size(), "zz", 0, &offset, &size);
  BIG_setreport(1);
  BIG_locateentry(image.data(), image.size(), "zz", 0, &offset, &size);
  BIG_locateentry(image.data(), image.size(), nullptr, 7, &offset, &size);
  BIG_setreport(0);
  const void* found[3];
  EXPECT_EQ(BIG_locatemany(image.data(), image.size(), "B,zz,a", found), 2);
  EXPECT_EQ(found[0], image.data() + image.size() - 2);
  EXPECT_EQ(found[1], nullptr);
  EXPECT_EQ(found[2], image.data() + image.size() - 3);
  EXPECT_EQ(faults.messages(),
            (Messages{"BIG_locateentry: ENTRY \"zz\" NOT FOUND\n", "BIG_locateentry: ENTRY #7 NOT FOUND\n",
                      "BIG_locatemany - FILE NOT FOUND 'zz'\n"}));
}

}  // namespace
