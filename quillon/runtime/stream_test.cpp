#include "quillon/runtime/stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quillon/runtime/faultcatch_test.h"
#include "quillon/runtime/filesys.h"

namespace {

namespace fs = std::filesystem;
using Messages = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

uint32_t fourcc(const char* s) {
  return static_cast<uint8_t>(s[0]) | static_cast<uint8_t>(s[1]) << 8 | static_cast<uint8_t>(s[2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}
const uint32_t kSCHl = fourcc("SCHl"), kSCDl = fourcc("SCDl"), kSCEl = fourcc("SCEl");

void put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A chunk of `size` bytes whose body is `seed`, seed+1, ...
void chunk(Bytes& out, uint32_t id, uint32_t size, uint8_t seed = 0) {
  put32(out, id);
  put32(out, size);
  for (uint32_t i = 8; i < size; ++i) out.push_back(static_cast<uint8_t>(seed + i));
}

// A stream file: header, `count` data chunks of varied sizes, end chunk.
Bytes song(int count, uint8_t seed, uint32_t max_size = 3000) {
  Bytes out;
  chunk(out, kSCHl, 40, seed);
  std::mt19937 rng(seed);
  for (int i = 0; i < count; ++i) chunk(out, kSCDl, 8 + rng() % max_size, static_cast<uint8_t>(seed + i));
  chunk(out, kSCEl, 8, seed);
  return out;
}

// The chunks of an image, split at their headers.
std::vector<Bytes> split(const Bytes& image) {
  std::vector<Bytes> out;
  for (size_t p = 0; p + 8 <= image.size();) {
    const uint32_t size = image[p + 4] | image[p + 5] << 8 | image[p + 6] << 16 | image[p + 7] << 24;
    out.emplace_back(image.begin() + static_cast<long>(p), image.begin() + static_cast<long>(p + size));
    p += size;
  }
  return out;
}

Bytes as_bytes(const void* c) {
  const auto* p = static_cast<const uint8_t*>(c);
  const uint32_t size = p[4] | p[5] << 8 | p[6] << 16 | p[7] << 24;
  return Bytes(p, p + size);
}

class Stream : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("stream_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    FILESYS_init(8, 0, 16);
  }
  void TearDown() override {
    if (s_) STREAM_destroy(s_);
    FILESYS_shutdown();
    fs::remove_all(dir_);
  }
  STREAM* create(size_t ring = 0x8000, int requests = 4, int filters = 1, int taps = 1) {
    memory_.assign(STREAM_memsize(requests, filters, taps) + ring, 0);
    s_ = STREAM_create(requests, filters, taps, memory_.data(), memory_.size());
    return s_;
  }
  std::string file(const char* name, const Bytes& data) {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
    return p;
  }
  // Takes every chunk the tap delivers until the stream ends, releasing them in a shuffled order
  // with up to `held` chunks kept at a time.
  std::vector<Bytes> drain(STREAM* tap, size_t held = 1, unsigned seed = 1) {
    std::vector<Bytes> got;
    std::deque<void*> holding;
    std::mt19937 rng(seed);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < give_up) {
      if (void* c = STREAM_get(tap)) {
        got.push_back(as_bytes(c));
        holding.push_back(c);
        if (holding.size() < held) continue;
      } else if (holding.empty()) {
        if (STREAM_isendofstream(tap)) break;
        // Each of these streams ends within moments: a wait that runs out missed its wake-up.
        EXPECT_EQ(STREAM_wait(tap, 500), 1);
        continue;
      }
      const size_t i = rng() % holding.size();
      STREAM_release(tap, holding[i]);
      holding.erase(holding.begin() + static_cast<long>(i));
    }
    for (void* c : holding) STREAM_release(tap, c);
    return got;
  }

  fs::path dir_;
  Bytes memory_;
  STREAM* s_ = nullptr;
};

TEST_F(Stream, CreateChecksRingAndTableSizes) {
  FaultCatcher faults;
  struct Case {
    size_t ring;
    int requests, filters, taps;
    bool made;
    const char* fault;
  } cases[] = {
      {0x5FFF, 2, 1, 1, false, "STREAM_create - stream buffer too small\n"},
      {0x6000, 2, 1, 1, true, ""},
      {0x6000, 1, 1, 1, false, "STREAM_create - a minimum of two requests is required\n"},
      {0x6000, 257, 1, 1, false, "STREAM_create - too many requests (257)\n"},
      {0x6000, 2, 0, 1, false, "STREAM_create - invalid number of filters (0)\n"},
      {0x6000, 2, 17, 1, false, "STREAM_create - invalid number of filters (17)\n"},
      {0x6000, 2, 2, 3, false, "STREAM_create - invalid number of taps (3)\n"},
      {0x6000, 2, 2, 0, false, "STREAM_create - invalid number of taps (0)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ring << " " << c.requests << " " << c.filters << " " << c.taps);
    faults.clear();
    Bytes memory(STREAM_memsize(c.requests, c.filters, c.taps) + c.ring);
    STREAM* s = STREAM_create(c.requests, c.filters, c.taps, memory.data(), memory.size());
    EXPECT_EQ(s != nullptr, c.made);
    EXPECT_EQ(faults.messages(), c.made ? Messages{} : Messages{c.fault});
    if (s) {
      EXPECT_GE(STREAM_buffersize(s), 0x6000);
      EXPECT_EQ(STREAM_tapnum(s), 1);
      STREAM_destroy(s);
    }
  }
}

TEST_F(Stream, MemoryRequestOfLengthZeroEndsWithTheEndChunk) {
  ASSERT_NE(create(), nullptr);
  Bytes image = song(30, 3);
  const size_t end = image.size();
  chunk(image, kSCDl, 100);  // after the end chunk: not part of the request
  const uint32_t id = STREAM_queuemem(s_, image.data(), 0, kSCEl);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(STREAM_taprequestid(s_), id);
  EXPECT_EQ(drain(s_, 3), split(Bytes(image.begin(), image.begin() + static_cast<long>(end))));
  EXPECT_EQ(STREAM_bufferusage(s_), 0);
  EXPECT_EQ(STREAM_taprequestid(s_), 0u);
}

TEST_F(Stream, TwoFilesBackToBackThroughOneTap) {
  ASSERT_NE(create(0x6000), nullptr);  // smaller than each file: the ring wraps many times
  const Bytes a = song(60, 10), b = song(50, 20);
  const uint32_t ida = STREAM_queuefile(s_, file("a.asf", a).c_str(), 0, kSCEl);
  const uint32_t idb = STREAM_queuefile(s_, file("b.asf", b).c_str(), 0, kSCEl);
  ASSERT_NE(ida, 0u);
  ASSERT_NE(idb, 0u);
  const uint32_t idc = STREAM_queuefile(s_, file("c.asf", a).c_str(), 0, kSCEl);
  STREAM_cancelrequest(s_, STREAM_queuefile(s_, "never-opened.asf", 0, kSCEl));  // queued: just dropped
  std::vector<Bytes> want = split(a), wb = split(b);
  want.insert(want.end(), wb.begin(), wb.end());
  const std::vector<Bytes> wa = split(a);
  want.insert(want.end(), wa.begin(), wa.end());
  EXPECT_EQ(drain(s_, 4, 7), want);
  EXPECT_EQ(STREAM_requeststate(s_, idb), 0);               // retired once the next one's data was reached
  EXPECT_EQ(STREAM_requeststate(s_, idc), STREAM_ALLREAD);  // nothing follows it yet
}

TEST_F(Stream, FileRequestFromAnOffsetAndOneThatCannotOpen) {
  FaultCatcher faults;
  ASSERT_NE(create(), nullptr);
  Bytes a = song(5, 1);
  const std::vector<Bytes> chunks = split(a);
  const std::string path = file("a.asf", a);
  STREAM_queuefile(s_, (dir_ / "missing.asf").c_str(), 0, kSCEl);
  STREAM_queuefile(s_, path.c_str(), static_cast<int32_t>(chunks[0].size()), kSCEl);
  EXPECT_EQ(drain(s_), std::vector<Bytes>(chunks.begin() + 1, chunks.end()));
  EXPECT_EQ(faults.messages(),
            Messages{"STREAM - unable to open file '" + (dir_ / "missing.asf").string() + "'\n"});
}

TEST_F(Stream, LyingChunkSizesStopTheStreamVisibly) {
  struct Case {
    uint32_t size;
    const char* fault;
  } cases[] = {
      {0x01000000, "STREAM - invalid chunk (53 43 44 6c 00 00 00 01)\n"},
      {0, "STREAM - invalid chunk (53 43 44 6c 00 00 00 00)\n"},
      {7, "STREAM - invalid chunk (53 43 44 6c 07 00 00 00)\n"},
      {0xFFFFFF, "STREAM - invalid chunk (53 43 44 6c ff ff ff 00)\n"},  // can never fit the ring
  };
  FaultCatcher faults;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    faults.clear();
    ASSERT_NE(create(), nullptr);
    Bytes image;
    chunk(image, kSCHl, 16);
    put32(image, kSCDl);
    put32(image, c.size);
    image.resize(image.size() + 0x10000, 0xAB);
    for (bool file_request : {false, true}) {
      if (file_request)
        STREAM_queuefile(s_, file("bad.asf", image).c_str(), 0, kSCEl);
      else
        STREAM_queuemem(s_, image.data(), static_cast<int32_t>(image.size()), kSCEl);
      // The header before the bad chunk arrives; once it is given back nothing else can, and a
      // consumer waiting for more is woken by the stop.
      ASSERT_EQ(STREAM_wait(s_, 500), 1);
      void* header = STREAM_get(s_);
      ASSERT_NE(header, nullptr);
      EXPECT_EQ(as_bytes(header), Bytes(image.begin(), image.begin() + 16));
      STREAM_release(s_, header);
      EXPECT_EQ(STREAM_wait(s_, 500), 1);
      EXPECT_EQ(STREAM_get(s_), nullptr);
      EXPECT_TRUE(STREAM_invalidchunk(s_));  // stays stopped until killed
      STREAM_kill(s_);
      EXPECT_FALSE(STREAM_invalidchunk(s_));
      EXPECT_EQ(STREAM_state(s_), STREAM_IDLE);
    }
    EXPECT_EQ(faults.messages(), (Messages{c.fault, c.fault}));
    STREAM_destroy(s_);
    s_ = nullptr;
  }
}

TEST_F(Stream, ChunkCutByTheEndOfTheDataIsDropped) {
  ASSERT_NE(create(), nullptr);
  Bytes a = song(3, 5);
  a.resize(a.size() - 1);  // the end chunk loses its last byte
  STREAM_queuefile(s_, file("cut.asf", a).c_str(), 0, kSCEl);
  Bytes b = song(2, 6);
  STREAM_queuemem(s_, b.data(), static_cast<int32_t>(b.size()), kSCEl);
  std::vector<Bytes> want = split(a);  // the cut end chunk is not among them
  for (const Bytes& c : split(b)) want.push_back(c);
  EXPECT_EQ(drain(s_), want);
}

TEST_F(Stream, FiltersRouteToTapsDiscardAndAbort) {
  FaultCatcher faults;
  ASSERT_NE(create(0x8000, 4, 3, 2), nullptr);
  STREAM* tap2 = STREAM_taphandle(s_, 2);
  ASSERT_NE(tap2, nullptr);
  EXPECT_EQ(STREAM_tapnum(tap2), 2);
  STREAM_setfilter(s_, 1, 0xFFFFFFFF, kSCDl, 2);
  STREAM_setfilter(s_, 2, 0xFFFFFFFF, kSCHl, STREAM_DISCARD);
  STREAM_setfilter(s_, 3, 0, 0, STREAM_ABORT);
  // The faults of bad filter calls, in the order they are checked.
  STREAM_setfilter(s_, 4, 0, 0, 1);
  STREAM_setfilter(s_, 3, 1, 0, 1);
  STREAM_setfilter(s_, 1, 0, 0, 3);
  STREAM_setfilter(s_, 1, 0, 0, 0);
  EXPECT_EQ(STREAM_taphandle(s_, 3), nullptr);
  const Bytes image = song(100, 9);  // more than the ring holds: the stream stays busy
  STREAM_queuemem(s_, image.data(), static_cast<int32_t>(image.size()), kSCEl);
  STREAM_setfilter(s_, 1, 0, 0, 1);
  std::vector<Bytes> data = split(image);
  data = std::vector<Bytes>(data.begin() + 1, data.end() - 1);
  EXPECT_EQ(STREAM_gettable(s_), 0);
  EXPECT_EQ(drain(tap2, 2), data);
  EXPECT_EQ(
      faults.messages(),
      (Messages{"STREAM_setfilter - invalid filter number\n", "STREAM_setfilter - last filter must be null\n",
                "STREAM_setfilter - invalid tap number\n", "STREAM_setfilter - invalid tap number\n",
                "STREAM_taphandle - invalid tap number\n",
                "STREAM_setfilter - stream must be idle to set filter\n",
                "STREAM - chunk received at abort tap\n"}));  // the end chunk
}

TEST_F(Stream, ReleaseFaults) {
  FaultCatcher faults;
  ASSERT_NE(create(), nullptr);
  const Bytes image = song(3, 2);
  STREAM_queuemem(s_, image.data(), static_cast<int32_t>(image.size()), kSCEl);
  void* first = STREAM_get(s_);
  ASSERT_NE(first, nullptr);
  const int32_t used = STREAM_bufferusage(s_);
  STREAM_release(s_, first);
  STREAM_release(s_, first);
  uint8_t outside[16] = {};
  STREAM_release(s_, outside);
  STREAM_release(s_, static_cast<uint8_t*>(STREAM_get(s_)) + 1);  // not a chunk's start
  EXPECT_EQ(STREAM_bufferusage(s_), used - 40);
  EXPECT_EQ(faults.messages(), (Messages{"STREAM_release - chunk has already been released\n",
                                         "STREAM_release - chunk does not belong to specified stream\n",
                                         "STREAM_release - chunk does not belong to specified stream\n"}));
}

TEST_F(Stream, KillKeepsHeldChunksReleasable) {
  FaultCatcher faults;
  ASSERT_NE(create(0x6000), nullptr);
  const Bytes image = song(200, 4);
  STREAM_queuemem(s_, image.data(), static_cast<int32_t>(image.size()), kSCEl);
  void* held = STREAM_get(s_);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(STREAM_state(s_), STREAM_FULL);
  STREAM_kill(s_);
  EXPECT_EQ(STREAM_state(s_), STREAM_IDLE);
  EXPECT_EQ(STREAM_get(s_), nullptr);
  EXPECT_EQ(STREAM_bufferusage(s_), 40);
  STREAM_release(s_, held);
  EXPECT_EQ(STREAM_bufferusage(s_), 0);
  const Bytes next = song(2, 8);
  STREAM_queuemem(s_, next.data(), static_cast<int32_t>(next.size()), kSCEl);
  EXPECT_EQ(drain(s_), split(next));
  EXPECT_EQ(faults.messages(), Messages{});
}

TEST_F(Stream, CancelDropsTheRequestsWaitingChunks) {
  ASSERT_NE(create(0x10000), nullptr);
  const Bytes a = song(5, 1), b = song(5, 2);
  const uint32_t ida = STREAM_queuemem(s_, a.data(), static_cast<int32_t>(a.size()), kSCEl);
  const uint32_t idb = STREAM_queuemem(s_, b.data(), static_cast<int32_t>(b.size()), kSCEl);
  void* held = STREAM_get(s_);  // a's header
  EXPECT_EQ(STREAM_requeststate(s_, ida), STREAM_ALLREAD);
  STREAM_cancelrequest(s_, ida);
  EXPECT_EQ(STREAM_requeststate(s_, ida), STREAM_CANCELLED);
  EXPECT_EQ(STREAM_taprequestid(s_), idb);
  EXPECT_EQ(drain(s_), split(b));
  STREAM_release(s_, held);
  EXPECT_EQ(STREAM_bufferusage(s_), 0);
}

TEST_F(Stream, GreedyStateFollowsTheLevel) {
  ASSERT_NE(create(), nullptr);
  STREAM_setgreedylevel(s_, 100);  // 0 bytes in use: below the level
  const Bytes image = song(3, 1, 500);
  STREAM_queuemem(s_, image.data(), static_cast<int32_t>(image.size()), kSCEl);
  EXPECT_GE(STREAM_bufferusage(s_), 100);
  std::vector<Bytes> got = drain(s_, 1);
  EXPECT_EQ(got, split(image));
}

TEST_F(Stream, BadHandlesAreReported) {
  FaultCatcher faults;
  ASSERT_NE(create(), nullptr);
  STREAM* s = s_;
  STREAM_destroy(s);
  s_ = nullptr;
  EXPECT_EQ(STREAM_get(s), nullptr);
  EXPECT_EQ(STREAM_queuemem(nullptr, "x", 1, 0), 0u);
  EXPECT_EQ(STREAM_tapnum(s), 0);
  EXPECT_EQ(faults.messages(),
            (Messages{"STREAM_get - invalid stream handle\n", "STREAM_queuemem - invalid stream handle\n",
                      "STREAM_tapnum - invalid stream handle\n"}));
}

}  // namespace
