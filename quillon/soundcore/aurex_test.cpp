#include "quillon/soundcore/aurex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "quillon/runtime/gmem.h"

namespace {

// Test modules: each identify returns a fixed score and counts its calls.
int g_calls[4];
template <int Index, int Score>
int scorer(gfile*) {
  ++g_calls[Index];
  return Score;
}

std::vector<int> g_exportreps;
uint32_t g_caps;
uint32_t g_spatial;
SABOUT* testabout() {
  auto* a = static_cast<SABOUT*>(galloc(sizeof(SABOUT)));
  std::memset(a->exportreps, -1, sizeof a->exportreps);
  for (size_t i = 0; i < g_exportreps.size(); ++i) a->exportreps[i] = static_cast<int8_t>(g_exportreps[i]);
  a->caps = g_caps;
  a->spatial = g_spatial;
  return a;
}

int g_writes;
int writeok(SINSTANCE*, SINFO*, int) {
  ++g_writes;
  return 1;
}
int writemodifies(SINSTANCE*, SINFO* info, int) {
  ++g_writes;
  info->timbres[0].volume = 3;
  return 1;
}

SINSTANCE g_instance;
int openok(SINSTANCE** out, gfile*) {
  *out = &g_instance;
  return 1;
}

void reset(std::initializer_list<int> reps, uint32_t caps = 0, uint32_t spatial = 0) {
  g_exportreps = reps;
  g_caps = caps;
  g_spatial = spatial;
  g_writes = 0;
  std::memset(g_calls, 0, sizeof g_calls);
}

TEST(FormatApi, IdentifyPicksTheBestAndTheEarliestOnTies) {
  struct Case {
    std::vector<AUREX_FORMAT> table;
    int expect;
    std::vector<int> calls;
  };
  AUREX_FORMAT none{"none", "none"};
  AUREX_FORMAT a75{"a", "a", nullptr, scorer<0, 75>};
  AUREX_FORMAT b75{"b", "b", nullptr, scorer<1, 75>};
  AUREX_FORMAT c100{"c", "c", nullptr, scorer<2, 100>};
  AUREX_FORMAT d100{"d", "d", nullptr, scorer<3, 100>};
  AUREX_FORMAT raw{"raw", "raw", nullptr, scorer<3, 0>};
  const std::vector<Case> cases = {
      {{a75, c100}, 1, {1, 0, 1, 0}},       // a later 100 beats an earlier 75
      {{none, a75, b75}, 1, {1, 1, 0, 0}},  // equal scores keep the earlier index
      {{c100, d100}, 0, {0, 0, 1, 0}},      // 100 stops the search
      {{raw}, -1, {0, 0, 0, 1}},            // nobody above 0
      {{none, raw, a75}, 2, {1, 0, 0, 1}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    reset({});
    EXPECT_EQ(aurex::identify(cases[i].table, nullptr), cases[i].expect);
    EXPECT_EQ(std::vector<int>(g_calls, g_calls + 4), cases[i].calls);
  }
}

TEST(FormatApi, MissingFormatsAndOperationsReportTheirCall) {
  const std::string name = "The file format passed to AUREX_";
  for (int format : {2, 24, -1}) {
    SCOPED_TRACE(format);
    EXPECT_EQ(AUREX_about(format), nullptr);
    EXPECT_EQ(AUREX_lasterror(), name + "about is not supported.");
    SINSTANCE* inst = nullptr;
    EXPECT_EQ(AUREX_open(nullptr, &inst, format), 0);
    EXPECT_EQ(AUREX_lasterror(), name + "open is not supported.");
    EXPECT_EQ(AUREX_create(nullptr, &inst, format), 0);
    EXPECT_EQ(AUREX_lasterror(), name + "create is not supported.");
    SINSTANCE fake{};
    fake.format = format;
    SINFO* out = reinterpret_cast<SINFO*>(&fake);
    EXPECT_EQ(AUREX_info(&fake, &out, 0), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(AUREX_lasterror(), name + "info is not supported.");
    SINFO info;
    AUREX_initsinfo(&info);
    EXPECT_EQ(AUREX_read(&fake, &info, 0), 0);
    EXPECT_EQ(AUREX_lasterror(), name + "read is not supported.");
    EXPECT_EQ(AUREX_write(&fake, &info, 0), 0);
    EXPECT_EQ(AUREX_lasterror(), name + "write is not supported.");
    EXPECT_EQ(AUREX_close(&fake), 0);
    EXPECT_EQ(AUREX_lasterror(), name + "close is not supported.");
    EXPECT_EQ(AUREX_wclose(&fake), 0);
    EXPECT_EQ(AUREX_lasterror(), name + "wclose is not supported.");
  }
  // Formats that can only be written have no open.
  for (int format : {17, 18}) {
    SINSTANCE* inst = nullptr;
    EXPECT_EQ(AUREX_open(nullptr, &inst, format), 0);
    EXPECT_EQ(AUREX_lasterror(), name + "open is not supported.");
  }
}

TEST(FormatApi, OpenRecordsTheFormatIndex) {
  const AUREX_FORMAT table[] = {{"x", "x"}, {"y", "y", nullptr, nullptr, openok}};
  SINSTANCE* inst = nullptr;
  g_instance = {};
  EXPECT_EQ(aurex::open(table, nullptr, &inst, 1), 1);
  EXPECT_EQ(inst, &g_instance);
  EXPECT_EQ(inst->format, 1);
}

class WriteChecks : public testing::Test {
 protected:
  void SetUp() override {
    AUREX_initsinfo(&info_);
    info_.timbres[0].samplerep = SREP_QVXA_BLK;
    inst_.format = 0;
  }
  int write(int (*fn)(SINSTANCE*, SINFO*, int)) {
    const AUREX_FORMAT table[] = {
        {"t", "t", testabout, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, fn}};
    return aurex::write(table, &inst_, &info_, 0);
  }
  SINFO info_;
  SINSTANCE inst_{};
};

TEST_F(WriteChecks, UnsupportedRepresentationWritesNothing) {
  reset({SREP_S16L_INT});
  EXPECT_EQ(write(writeok), 0);
  EXPECT_STREQ(AUREX_lasterror(), "This exporter does not support the sample representation specified.");
  EXPECT_EQ(g_writes, 0);
  // Every timbre in use is checked, not just the first.
  reset({SREP_QVXA_BLK});
  info_.numtimbres = 2;
  EXPECT_EQ(write(writeok), 0);
  EXPECT_EQ(g_writes, 0);
  info_.timbres[1].samplerep = SREP_QVXA_BLK;
  EXPECT_EQ(write(writeok), 1);
  EXPECT_EQ(g_writes, 1);
}

TEST_F(WriteChecks, ExporterThatModifiesItsInputFails) {
  reset({SREP_QVXA_BLK});
  EXPECT_EQ(write(writemodifies), 0);
  EXPECT_EQ(g_writes, 1);
  EXPECT_STREQ(AUREX_lasterror(), "INTERNAL ERROR: Source SINFO was modified by exporter.");
}

TEST_F(WriteChecks, PlaybackChecksRunBeforeTheExporter) {
  reset({SREP_QVXA_BLK}, (1u << 25) | (1u << 26));  // play locations 8 and 4 only
  info_.timbres[0].playloc = 16;
  EXPECT_EQ(write(writeok), 0);
  EXPECT_STREQ(AUREX_lasterror(), "The specified playloc is not supported by this exporter.");
  EXPECT_EQ(g_writes, 0);
}

TEST(FormatApi, PlaybackChecks) {
  struct Case {
    uint32_t caps, spatial;
    int16_t playloc, playlocflag, spatialization;
    const char* error;  // null: passes
  };
  const uint32_t two_locs = (1u << 25) | (1u << 26), flags = (1u << 28) | (1u << 29);
  const Case cases[] = {
      {0, 0, 16, 2, 128, nullptr},  // one choice or none of each kind: anything goes
      {1u << 27, 0, 8, 0, 0, nullptr},
      {two_locs, 0, 8, 0, 0, nullptr},
      {two_locs, 0, 4, 0, 0, nullptr},
      {two_locs, 0, 16, 0, 0, "The specified playloc is not supported by this exporter."},
      {two_locs, 0, 0, 0, 0, nullptr},
      {flags, 0, 0, 0, 0, nullptr},
      {flags, 0, 0, 1, 0, nullptr},
      {flags, 0, 0, 2, 0, "The specified playlocflag is not supported by this exporter."},
      {(1u << 29) | (1u << 30), 0, 0, 0, 0, "The specified playlocflag is not supported by this exporter."},
      {1u << 31, 1, 0, 0, 32, nullptr},
      {1u << 31, 1, 0, 0, 0, nullptr},
      {1u << 31, 1, 0, 0, 64, "The specified spatialization is not supported by this exporter."},
      {0, 3, 0, 0, 0, "The specified spatialization is not supported by this exporter."},
      {0, 3, 0, 0, 64, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.caps << " " << c.spatial << std::dec << " " << c.playloc
                                    << " " << c.playlocflag << " " << c.spatialization);
    reset({}, c.caps, c.spatial);
    const AUREX_FORMAT table[] = {{"t", "t", testabout}};
    STIMBRE t;
    AUREX_initsound(&t);
    t.playloc = c.playloc;
    t.playlocflag = c.playlocflag;
    t.spatialization = c.spatialization;
    AUREX_seterror("No Error");
    EXPECT_EQ(aurex::checkplayback(table, 0, &t), c.error ? 0 : 1);
    EXPECT_STREQ(AUREX_lasterror(), c.error ? c.error : "No Error");
  }
}

TEST(FormatApi, ClosestRepresentation) {
  struct Case {
    int current;
    std::initializer_list<int> accepted;
    int expect;  // SREP_NONE: fails and leaves the timbre alone
  };
  const Case cases[] = {
      {SREP_QVXA_INT, {SREP_S16L_INT, SREP_U8_INT}, SREP_S16L_INT},
      {SREP_QVXA_INT, {SREP_U8_INT, SREP_QVXA_BLK}, SREP_QVXA_BLK},
      {SREP_S16L_INT, {SREP_QVXA_BLK, SREP_S8_BLK}, SREP_S8_BLK},
      {SREP_LAYER3, {SREP_S16B_INT, SREP_OGG}, SREP_OGG},
      {SREP_S8_BLK, {SREP_QVXA_INT, SREP_QVXA_BLK}, SREP_QVXA_BLK},
      {SREP_PL_BLK, {SREP_PL_BLK}, SREP_PL_BLK},
      {SREP_S16B_BLK, {}, SREP_NONE},
      {SREP_NONE, {SREP_S16L_INT}, SREP_NONE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.current);
    reset(c.accepted);
    const AUREX_FORMAT table[] = {{"t", "t", testabout}};
    STIMBRE t;
    AUREX_initsound(&t);
    t.samplerep = static_cast<int8_t>(c.current);
    EXPECT_EQ(aurex::closestsamplerepsound(table, &t, 0), c.expect == SREP_NONE ? 0 : 1);
    EXPECT_EQ(t.samplerep, c.expect == SREP_NONE ? c.current : c.expect);
    if (c.expect == SREP_NONE) {
      EXPECT_STREQ(AUREX_lasterror(), "Couldn't find appropriate samplerep in AUREX_closestsamplerepsound.");
    }
  }
}

int g_lastpercent = -1;
TEST(FormatApi, ProgressGoesToTheInstalledCallback) {
  AUREX_progress(10);  // nothing installed: nothing happens
  AUREX_setprogress([](int p) { g_lastpercent = p; });
  AUREX_progress(42);
  EXPECT_EQ(g_lastpercent, 42);
  AUREX_setprogress(nullptr);
  AUREX_progress(50);
  EXPECT_EQ(g_lastpercent, 42);
}

}  // namespace
