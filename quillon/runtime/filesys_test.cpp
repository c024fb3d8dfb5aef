#include "quillon/runtime/filesys.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quillon/runtime/faultcatch_test.h"

namespace {

namespace fs = std::filesystem;
using Messages = std::vector<std::string>;

class FileSys : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("filesys_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    ASSERT_EQ(FILESYS_init(8, 0, 16), 1);
    order().clear();
  }
  void TearDown() override {
    FILESYS_shutdown();
    fs::remove_all(dir_);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  void write(const std::string& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static std::string pattern(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
  }

  // Results of operations in the order their callbacks ran.
  static std::vector<intptr_t>& order() {
    static std::vector<intptr_t> v;
    return v;
  }
  static std::mutex& order_mutex() {
    static std::mutex m;
    return m;
  }
  static void record(int, int status, void* user) {
    std::lock_guard lock(order_mutex());
    order().push_back(status < 0 ? -reinterpret_cast<intptr_t>(user) : reinterpret_cast<intptr_t>(user));
  }
  // What `record` has seen once it has been called `n` times (or after 20 s): a device thread
  // calls an operation's callback after the operation shows as finished.
  static std::vector<intptr_t> recorded(size_t n) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      {
        std::lock_guard lock(order_mutex());
        if (order().size() >= n || std::chrono::steady_clock::now() > give_up) return order();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  fs::path dir_;
};

TEST_F(FileSys, SyncFormsRoundTripInPieces) {
  const std::string data = pattern(20000);
  const int file = FILE_syncopen(path("f").c_str(), FILE_CREATENEW | FILE_TRUNCATE);
  ASSERT_LT(file, 0);  // raw handles are complements of table indexes
  EXPECT_EQ(FILE_syncwrite(file, 0, data.data(), 20000), 20000);
  EXPECT_EQ(FILE_syncsize(file), 20000);
  std::string back(20000, 0);
  EXPECT_EQ(FILE_syncread(file, 0, back.data(), 20000), 20000);
  EXPECT_EQ(back, data);
  EXPECT_EQ(FILE_syncsetend(file, 5000), 1);
  EXPECT_EQ(FILE_syncsize(file), 5000);
  EXPECT_EQ(FILE_syncclose(file), 1);
  EXPECT_EQ(read(path("f")), data.substr(0, 5000));
  EXPECT_EQ(FILE_syncexists(path("f").c_str()), 1);
  EXPECT_EQ(FILE_syncdelete(path("f").c_str()), 1);
  EXPECT_EQ(FILE_syncexists(path("f").c_str()), 0);
}

TEST_F(FileSys, OpenModesAndTheirFailures) {
  write(path("old"), "0123456789");
  struct Case {
    const char* name;
    int mode;
    bool opens;
    int32_t size;  // after opening
  } cases[] = {
      {"old", FILE_READONLY, true, 10},
      {"old", FILE_READONLY | FILE_MAPPED, true, 10},
      {"old", 0, true, 10},               // open existing for writing
      {"old", FILE_CREATENEW, false, 0},  // exists already
      {"missing", 0, false, 0},           // does not exist
      {"missing", FILE_READONLY, false, 0},
      {"new", FILE_CREATENEW, true, 0},
      {"old", FILE_TRUNCATE, true, 0},                    // truncated
      {"gone", FILE_TRUNCATE, false, 0},                  // truncating needs a file
      {"old2", FILE_CREATENEW | FILE_TRUNCATE, true, 0},  // create always
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(c.mode));
    const int op = FILE_open(path(c.name).c_str(), c.mode, 10, nullptr);
    ASSERT_NE(op, 0);
    EXPECT_EQ(FILESYS_wait(op), c.opens ? FILESYS_DONE : FILESYS_FAILED);
    const int file = FILESYS_completeop(op);
    EXPECT_EQ(file != 0, c.opens);
    if (file) {
      EXPECT_EQ(FILE_syncsize(file), c.size);
      EXPECT_EQ(FILE_syncclose(file), 1);
    }
  }
  EXPECT_EQ(FILE_syncopen(dir_.c_str(), FILE_READONLY), 0);  // a directory is no file
}

TEST_F(FileSys, ReadsAreClampedToTheLength) {
  const std::string data = pattern(1000);
  write(path("f"), data);
  for (int mode : {int{FILE_READONLY}, FILE_READONLY | FILE_MAPPED}) {
    const int file = FILE_syncopen(path("f").c_str(), mode);
    ASSERT_NE(file, 0);
    std::string got(100, 0);
    EXPECT_EQ(FILE_syncread(file, 990, got.data(), 100), 10);
    EXPECT_EQ(got.substr(0, 10), data.substr(990));
    EXPECT_EQ(FILE_syncread(file, 2000, got.data(), 100), 0);
    EXPECT_EQ(FILE_syncwrite(file, 0, "x", 1), 0);  // read only
    FILE_syncclose(file);
  }
}

// Runs `body` while the device serves only operations of priority 0, so that whatever the body
// queues at other priorities stays pending until it returns.
int while_held(int device, const std::function<int()>& body) {
  auto call = [](int, void* arg) { return (*static_cast<const std::function<int()>*>(arg))(); };
  return FILESYS_atomic(call, device, 0, const_cast<std::function<int()>*>(&body));
}

TEST_F(FileSys, PendingOperationsAreServedByPriorityThenQueueOrder) {
  const int device = FILE_device(dir_.c_str());
  std::vector<int> ops;
  EXPECT_EQ(
      while_held(device,
                 [&] {
                   for (intptr_t user : {1, 2, 3}) {
                     ops.push_back(FILE_marker(device, user == 3 ? 50 : 150, reinterpret_cast<void*>(user)));
                     FILESYS_callbackop(ops.back(), record);
                   }
                   ops.push_back(FILE_marker(device, 200, reinterpret_cast<void*>(4)));
                   FILESYS_callbackop(ops.back(), record);
                   FILESYS_setpriorityop(ops.back(), 10);  // moves ahead of all of them
                   EXPECT_EQ(FILESYS_status(ops[0]), FILESYS_PENDING);
                   return 7;
                 }),
      7);
  for (int op : ops) {
    EXPECT_EQ(FILESYS_wait(op), FILESYS_DONE);
    EXPECT_EQ(FILESYS_completeop(op), 0);
  }
  EXPECT_EQ(recorded(4), (std::vector<intptr_t>{4, 3, 1, 2}));
}

TEST_F(FileSys, SeventeenthOperationFindsThePoolEmpty) {
  FaultCatcher faults;
  const int device = FILE_device(dir_.c_str());
  std::vector<int> ops;
  while_held(device, [&] {
    for (int i = 0; i < 16; ++i) ops.push_back(FILE_marker(device, 10, nullptr));
    EXPECT_EQ(FILE_marker(device, 10, nullptr), 0);
    return 0;
  });
  EXPECT_EQ(faults.messages(), Messages{"FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n"});
  for (int op : ops) {
    ASSERT_NE(op, 0);
    FILESYS_wait(op);
    FILESYS_completeop(op);
  }
  EXPECT_NE(FILE_marker(device, 10, nullptr), 0);  // back in the pool
}

TEST_F(FileSys, HandlesCarryDeviceAndSerial) {
  const int device = FILE_device(dir_.c_str());
  const int a = FILE_marker(device, 1, nullptr), b = FILE_marker(device, 1, nullptr);
  EXPECT_EQ(a & 31, device);
  EXPECT_EQ((b >> 5) - (a >> 5), 1);
  for (int op : {a, b}) FILESYS_wait(op), FILESYS_completeop(op);
}

TEST_F(FileSys, CancelFinishesPendingOperationsOnly) {
  write(path("f"), "data");
  const int device = FILE_device(path("f").c_str());
  const int file = FILE_syncopen(path("f").c_str(), FILE_READONLY);
  char buffer[4];
  int read = 0, close = 0;
  while_held(device, [&] {
    read = FILE_read(file, 0, buffer, 4, 10, reinterpret_cast<void*>(5));
    FILESYS_callbackop(read, record);
    FILESYS_cancelop(read);
    FILESYS_cancelop(read);  // already finished: nothing
    close = FILE_close(file, 20, reinterpret_cast<void*>(6));
    FILESYS_cancelop(close);  // a close is never cancelled
    return 0;
  });
  EXPECT_EQ(FILESYS_wait(read), FILESYS_CANCELLED);
  EXPECT_EQ(FILESYS_completeop(read), 0);
  EXPECT_EQ(FILESYS_wait(close), FILESYS_DONE);
  EXPECT_EQ(FILESYS_completeop(close), 1);
  EXPECT_EQ(order(), (std::vector<intptr_t>{-5}));
}

TEST_F(FileSys, CancelStopsAReadInProgress) {
  constexpr size_t kSize = 16 << 20;  // thousands of pieces: long enough to be caught under way
  const std::string data = pattern(kSize);
  write(path("big"), data);
  const int device = FILE_device(path("big").c_str());
  const int file = FILE_syncopen(path("big").c_str(), FILE_READONLY);
  static std::atomic<bool> started;
  bool stopped_midway = false;
  intptr_t cancelled = 0, attempt = 0;
  while (++attempt <= 20 && !stopped_midway) {
    SCOPED_TRACE(attempt);
    std::string buffer(kSize, 0);
    for (size_t i = 0; i < kSize; ++i) buffer[i] = static_cast<char>(~data[i]);  // every byte read shows
    started = false;
    // The device takes the read right after it has called the marker's callback.
    const int marker = FILE_marker(device, 10, nullptr);
    const int read = FILE_read(file, 0, buffer.data(), kSize, 10, reinterpret_cast<void*>(attempt));
    FILESYS_callbackop(marker, [](int, int, void*) { started = true; });
    FILESYS_callbackop(read, record);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!started && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    ASSERT_TRUE(started);
    FILESYS_cancelop(read);
    const std::string at_cancel = buffer;
    // A read that finished before the cancel came keeps its result.
    const int status = FILESYS_wait(read);
    ASSERT_TRUE(status == FILESYS_CANCELLED || status == FILESYS_DONE) << status;
    EXPECT_EQ(FILESYS_completeop(read), status == FILESYS_DONE ? static_cast<int32_t>(kSize) : 0);
    FILESYS_wait(marker);
    FILESYS_completeop(marker);
    EXPECT_TRUE(buffer == at_cancel);  // nothing written once the cancel returned
    size_t moved = 0;
    while (moved < kSize && buffer[moved] == data[moved]) ++moved;
    if (status == FILESYS_CANCELLED) ++cancelled;
    stopped_midway = status == FILESYS_CANCELLED && moved > 0 && moved < kSize;
  }
  EXPECT_TRUE(stopped_midway);
  const std::vector<intptr_t> calls = recorded(static_cast<size_t>(attempt - 1));
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](intptr_t r) { return r < 0; }), cancelled);
  FILE_syncclose(file);
}

TEST_F(FileSys, FaultsOfBadCalls) {
  FaultCatcher faults;
  const int device = FILE_device(dir_.c_str());
  const int op = FILE_marker(device, 1, nullptr);
  FILESYS_wait(op);
  FILESYS_callbackop(op, record);  // finished: called at once
  EXPECT_EQ(order(), (std::vector<intptr_t>{0}));
  FILESYS_callbackop(op, nullptr);
  EXPECT_EQ(FILESYS_completeop(op), 0);
  EXPECT_EQ(FILESYS_completeop(op), 0);
  FILESYS_callbackop(op, record);
  EXPECT_EQ(FILESYS_wait(op), FILESYS_UNKNOWN);
  EXPECT_EQ(FILESYS_wait(0), FILESYS_NOTRUNNING);
  EXPECT_EQ(FILESYS_atomic([](int, void*) { return 1; }, 32, 10, nullptr), 0);
  while_held(device, [&] {
    EXPECT_EQ(FILESYS_atomic([](int, void*) { return 1; }, device, 10, nullptr), 0);
    EXPECT_EQ(FILESYS_atomic([](int, void*) { return 2; }, device, 0, nullptr), 2);
    return 0;
  });
  FILESYS_shutdown();
  EXPECT_EQ(FILESYS_atomic([](int, void*) { return 1; }, 1, 10, nullptr), 0);
  EXPECT_EQ(faults.messages(),
            (Messages{"FILESYS_callbackop - can not specify a NULL callback.\n",
                      "FILESYS_completeop - OPERATION NOT FOUND IN COMPLETED LIST.\n",
                      "FILESYS_callbackop - UNKNOWN FILEOP.\n",
                      "FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (32).\n",
                      "FILESYS_atomic - CALLED AT PRIORITY (10) LOWER THAN CURRENT DEVICE PRIORITY (0).\n",
                      "FILESYS_atomic - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n"}));
}

TEST_F(FileSys, BadRawHandlesFailTheirOperation) {
  char buffer[4];
  for (int file : {0, 5, -1, -100}) {
    const int op = FILE_read(file, 0, buffer, 4, 1, nullptr);
    EXPECT_EQ(FILESYS_wait(op), FILESYS_FAILED) << file;
    EXPECT_EQ(FILESYS_completeop(op), 0);
  }
}

TEST_F(FileSys, DevicesFollowFileSystems) {
  EXPECT_EQ(FILE_device("song.big|intro.asf"), 0);
  EXPECT_EQ(FILE_device("|intro.asf"), 0);
  const int here = FILE_device(dir_.c_str());
  EXPECT_GE(here, 1);
  EXPECT_LE(here, 31);
  EXPECT_EQ(FILE_device(path("not/yet/there.asf").c_str()), here);  // nearest existing parent
  EXPECT_NE(FILE_device("/proc/self/status"), here);
}

std::string bigf(const std::vector<std::pair<std::string, std::string>>& entries) {
  auto be = [](std::string& s, uint32_t v) {
    for (int i = 3; i >= 0; --i) s += static_cast<char>(v >> (8 * i));
  };
  uint32_t header = 16;
  for (const auto& e : entries) header += 8 + static_cast<uint32_t>(e.first.size()) + 1;
  std::string out = "BIGF";
  be(out, 0);
  be(out, static_cast<uint32_t>(entries.size()));
  be(out, header);
  uint32_t offset = header;
  for (const auto& e : entries) {
    be(out, offset);
    be(out, static_cast<uint32_t>(e.second.size()));
    out += e.first;
    out += '\0';
    offset += static_cast<uint32_t>(e.second.size());
  }
  for (const auto& e : entries) out += e.second;
  return out;
}

TEST_F(FileSys, ArchiveEntriesOpenAsFiles) {
  std::string image = bigf({{"intro.asf", "INTRO"}, {"far.asf", "x"}});
  image[image.find("far.asf") - 5] = 0x70;  // far.asf's size now runs past the archive
  write(path("a.big"), image);
  const int op = FILE_openarchive(path("a.big").c_str(), 1, nullptr);
  FILESYS_wait(op);
  const int archive = FILESYS_completeop(op);
  ASSERT_GE(archive, 1);
  for (const std::string& name : {path("a.big") + "|INTRO.ASF", std::string("|intro.asf")}) {
    SCOPED_TRACE(name);
    const int file = FILE_syncopen(name.c_str(), FILE_READONLY);
    ASSERT_NE(file, 0);
    EXPECT_EQ(FILE_syncsize(file), 5);
    char got[8] = {};
    EXPECT_EQ(FILE_syncread(file, 1, got, 8), 4);
    EXPECT_STREQ(got, "NTRO");
    FILE_syncclose(file);
  }
  EXPECT_EQ(FILE_syncopen((path("a.big") + "|far.asf").c_str(), FILE_READONLY), 0);
  EXPECT_EQ(FILE_syncopen((path("a.big") + "|none.asf").c_str(), FILE_READONLY), 0);
  EXPECT_EQ(FILE_syncopen((path("b.big") + "|intro.asf").c_str(), FILE_READONLY), 0);
  const int close = FILE_closearchive(archive, 1, nullptr);
  FILESYS_wait(close);
  EXPECT_EQ(FILESYS_completeop(close), 1);
  EXPECT_EQ(FILE_syncopen("|intro.asf", FILE_READONLY), 0);
}

// Several threads, each with its own file, through the shared device threads and pool.
TEST_F(FileSys, ThreadsShareDevicesAndPool) {
  const std::string data = pattern(30000);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    write(path(("t" + std::to_string(t)).c_str()), data);
    threads.emplace_back([&, t] {
      const int file = FILE_syncopen(path(("t" + std::to_string(t)).c_str()).c_str(), FILE_READONLY);
      std::string got(30000, 0);
      if (FILE_syncread(file, 0, got.data(), 30000) == 30000 && got == data) good.fetch_add(1);
      FILE_syncclose(file);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 4);
}

}  // namespace
