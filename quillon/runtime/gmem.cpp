// Guarded heap blocks. Each block carries "GMEM" and its size in front of the user area and
// "GEND" right after it, so a release can tell a live block from one released before or one
// whose ends were overwritten.
#include "quillon/runtime/gmem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

namespace {

constexpr char kLive[4] = {'G', 'M', 'E', 'M'};
constexpr char kFreed[4] = {'G', 'F', 'R', 'E'};
constexpr char kTail[4] = {'G', 'E', 'N', 'D'};
constexpr int kHead = 8;  // mark + size
constexpr int kOverhead = 12;

// Released blocks stay allocated for a while, marked "GFRE", so that a second release of a
// recent block reads memory that is still ours and is reported instead of corrupting the heap.
// Large blocks are returned at once to keep the memory they hold bounded.
class Quarantine {
 public:
  void add(char* block, size_t bytes) {
    if (bytes > kMaxBlock) {
      std::free(block);
      return;
    }
    std::lock_guard lock(mutex_);
    blocks_.push_back({block, bytes});
    bytes_ += bytes;
    while (blocks_.size() > kMaxBlocks || bytes_ > kMaxBytes) {
      bytes_ -= blocks_.front().bytes;
      std::free(blocks_.front().block);
      blocks_.pop_front();
    }
  }

 private:
  struct Entry {
    char* block;
    size_t bytes;
  };
  static constexpr size_t kMaxBlock = 1 << 20;
  static constexpr size_t kMaxBlocks = 256;
  static constexpr size_t kMaxBytes = 4 << 20;
  std::mutex mutex_;
  std::deque<Entry> blocks_;
  size_t bytes_ = 0;
};

Quarantine& quarantine() {
  static Quarantine* q = new Quarantine;  // outlives every static that may release blocks
  return *q;
}

}  // namespace

void* galloc(int32_t size) {
  if (size <= 0) {
    std::printf("galloc - INVALID SIZE %ld\n", static_cast<long>(size));
    return nullptr;
  }
  auto* block = static_cast<char*>(std::calloc(static_cast<size_t>(size) + kOverhead, 1));
  if (!block) {
    std::printf("galloc - FAILED. OUT OF MEMORY. SIZE REQUESTED %ld\n", static_cast<long>(size));
    return nullptr;
  }
  std::memcpy(block, kLive, 4);
  std::memcpy(block + 4, &size, 4);
  std::memcpy(block + kHead + size, kTail, 4);
  return block + kHead;
}

int gfree(void* p) {
  const auto addr = reinterpret_cast<intptr_t>(p);
  if (addr >= -2047 && addr <= 2047) {
    std::printf("gfree - ATTEMPT TO FREE NULL POINTER\n");
    return 0;
  }
  char* block = static_cast<char*>(p) - kHead;
  int32_t size;
  std::memcpy(&size, block + 4, 4);
  if (std::memcmp(block, kLive, 4) == 0 && size >= 1 && size <= INT32_MAX - kOverhead &&
      std::memcmp(block + kHead + size, kTail, 4) == 0) {
    std::memcpy(block, kFreed, 4);
    quarantine().add(block, static_cast<size_t>(size) + kOverhead);
    return 1;
  }
  if (std::memcmp(block, kFreed, 4) == 0)
    std::printf("gfree - ATTEMPT TO FREE MEMORY TWICE\n");
  else
    std::printf("gfree - SENTINAL CORRUPTED; PROBABLE MEMORY DATA CORRUPTION\n");
  return 0;
}

uint32_t ggetbe(const void* p, int n) {
  const auto* b = static_cast<const uint8_t*>(p);
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | b[i];
  return v;
}

uint32_t ggetle(const void* p, int n) {
  const auto* b = static_cast<const uint8_t*>(p);
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

void gputbe(void* p, uint32_t value, int n) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = n - 1; i >= 0; --i, value >>= 8) b[i] = static_cast<uint8_t>(value);
}

void gputle(void* p, uint32_t value, int n) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < n; ++i, value >>= 8) b[i] = static_cast<uint8_t>(value);
}
