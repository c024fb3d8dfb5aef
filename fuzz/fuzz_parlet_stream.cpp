// Feeds arbitrary data chunks to the SND PC stream reader behind a fixed header that declares
// pl_blk data, so that every input reaches the Parlet import of the sample engine.
#include <algorithm>
#include <vector>

#include "fuzz/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Channels and sample count come from the first bytes; the count stays small to keep runs fast.
  const uint8_t channels = static_cast<uint8_t>(1 + data[0] % 4);
  const int samples = ((data[1] << 8) | data[2]) % 4000;
  data += 3;
  size -= 3;
  std::vector<uint8_t> file = {'S',
                               'C',
                               'H',
                               'l',
                               0,
                               0,
                               0,
                               0,
                               'P',
                               'T',
                               0,
                               0,
                               0x06,
                               1,
                               0x65,
                               0xFD,
                               0x80,
                               1,
                               1,
                               0x85,
                               2,
                               static_cast<uint8_t>(samples >> 8),
                               static_cast<uint8_t>(samples),
                               0x82,
                               1,
                               channels,
                               0xA0,
                               1,
                               4,
                               0xFF};
  while (file.size() % 4) file.push_back(0);
  file[4] = static_cast<uint8_t>(file.size());
  const uint8_t count[] = {'S', 'C', 'C', 'l', 12, 0, 0, 0, 0, 0, 0, 0};
  file.insert(file.end(), count, count + sizeof count);
  file.insert(file.end(), data, data + size);
  fuzz_format(file.data(), file.size(), 9);
  return 0;
}
