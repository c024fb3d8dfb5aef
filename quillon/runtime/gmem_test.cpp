#include "quillon/runtime/gmem.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string released(void* p) {
  testing::internal::CaptureStdout();
  const int result = gfree(p);
  return std::to_string(result) + ":" + testing::internal::GetCapturedStdout();
}

TEST(GuardedMemory, ReleaseDetectsFaults) {
  auto* p = static_cast<uint8_t*>(galloc(16));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0);
  EXPECT_EQ(released(p), "1:");
  EXPECT_EQ(released(p), "0:gfree - ATTEMPT TO FREE MEMORY TWICE\n");

  auto* q = static_cast<uint8_t*>(galloc(5));
  q[5] = 'x';  // one byte past the end lands on the tail mark
  EXPECT_EQ(released(q), "0:gfree - SENTINAL CORRUPTED; PROBABLE MEMORY DATA CORRUPTION\n");
  q[5] = 'G';
  EXPECT_EQ(released(q), "1:");

  EXPECT_EQ(released(nullptr), "0:gfree - ATTEMPT TO FREE NULL POINTER\n");
  EXPECT_EQ(released(reinterpret_cast<void*>(2047)), "0:gfree - ATTEMPT TO FREE NULL POINTER\n");
}

TEST(GuardedMemory, RefusesInvalidSizes) {
  for (int32_t size : {0, -1}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(galloc(size), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "galloc - INVALID SIZE " + std::to_string(size) + "\n");
  }
}

TEST(GuardedMemory, LargeBlocksAreReleased) {
  // Long songs need sample buffers beyond 100 MiB; their release must not count as corruption.
  void* p = galloc(104857600);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(released(p), "1:");
}

TEST(ByteOrder, GetAndPut) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(ggetbe(bytes, 2), 258u);
  EXPECT_EQ(ggetle(bytes, 2), 513u);
  EXPECT_EQ(ggetbe(bytes, 4), 0x01020304u);
  EXPECT_EQ(ggetle(bytes, 3), 0x030201u);
  uint8_t out[4] = {};
  gputbe(out, 258, 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 2);
  gputle(out, 0xAABBCCDD, 4);
  EXPECT_EQ(std::memcmp(out, "\xDD\xCC\xBB\xAA", 4), 0);
  gputbe(out, 0x12345678, 1);
  EXPECT_EQ(out[0], 0x78);
}

}  // namespace
