// The header chunk that quillon play finds and gives another reverb amount, read back by the
// stream player's own header parser.
#include "quillon/app/playheader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "quillon/engine/audiostream.h"

namespace {

std::string chunk(const char* id, const std::string& body) {
  std::string c = id;
  std::string b = body;
  while (b.size() % 4) b.push_back(0);
  const uint32_t size = static_cast<uint32_t>(b.size() + 8);
  for (int i = 0; i < 4; ++i) c.push_back(static_cast<char>(size >> (8 * i)));
  return c + b;
}

std::vector<unsigned char> bytesof(const std::string& s) {
  return {s.begin(), s.end()};
}

TEST(PlayHeader, FoundAmongTheChunksOrNot) {
  const std::string header = chunk("SCHl", std::string("PT\0\0\x82\x01\x02\xFF", 8));
  struct Case {
    const char* name;
    std::string file;
    bool found;
    std::streamoff offset;
  };
  const Case cases[] = {
      {"first", header + chunk("SCEl", ""), true, 0},
      {"after another chunk", chunk("XXXX", "abcdef") + header, true, 16},
      {"none", chunk("SCCl", "1234") + chunk("SCEl", ""), false, -1},
      {"a size that goes nowhere", std::string("XXXX\x04\0\0\0", 8) + header, false, -1},
      {"cut in the chunk header", header.substr(0, 6), false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::istringstream in(c.file);
    STREAMHEADERCHUNK h;
    EXPECT_EQ(stream_findheader(in, &h), c.found);
    if (!c.found) continue;
    EXPECT_EQ(h.offset, c.offset);
    EXPECT_EQ(h.bytes, bytesof(header));
    EXPECT_EQ(h.size, header.size());
  }
  // A size beyond the file is kept as given, with what could be read.
  std::istringstream in(std::string("SCHl\0\0\0\x40PT\0\0", 12));
  STREAMHEADERCHUNK h;
  ASSERT_TRUE(stream_findheader(in, &h));
  EXPECT_EQ(h.size, 0x40000000u);
  EXPECT_EQ(h.bytes.size(), 12u);
}

TEST(PlayHeader, NothingToPlayOnlyWhenTheChunksEndCleanly) {
  const std::string header = chunk("SCHl", std::string("PT\0\0\xFF", 5));
  const std::string tail = chunk("SCCl", std::string(4, '\0')) + chunk("SCEl", "");
  const std::string empty = chunk("SCDl", std::string(8, '\0')),
                    full = chunk("SCDl", std::string("\x05\0\0\0\0\0\0\0", 8));
  struct Case {
    const char* name;
    std::string file;
    bool nothing;
  };
  const Case cases[] = {
      {"header and end", header + tail, true},
      {"only empty data chunks", header + empty + empty + tail, true},
      {"a data chunk with samples", header + empty + full + tail, false},
      {"a data chunk size that lies", header + std::string("SCDl\x03\0\0\0", 8) + tail, false},
      {"cut in a chunk header", header + tail.substr(0, 5), false},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.file);
    EXPECT_EQ(stream_playsnothing(in), c.nothing) << c.name;
  }
}

TEST(PlayHeader, ReverbIsReplacedOrAdded) {
  struct Case {
    const char* name;
    std::string tags;  // after "PT", platform and flags
    char flags;
    bool ok;
    bool grows;
  };
  const Case cases[] = {
      {"no reverb tag", "\x06\x01\x65\xFD\x82\x01\x02\xFF", 0, true, true},
      {"a one-byte amount", "\x13\x01\x20\x82\x01\x02\xFF", 0, true, false},
      {"a two-byte amount", std::string("\x13\x02\x00\x20\xFF", 5), 0, true, false},
      {"a long length form", std::string("\x14\xFF\0\0\0\x02xy\x13\x01\x05\xFF", 12), 0, true, false},
      {"a data block under the reverb tag", std::string("\x13\x05\0\0\0\0\x01\xFF", 8), 0, true, true},
      {"four skipped bytes", std::string("\x13\x01\x05\xFF", 4), 2, true, false},
      {"a value past the end", "\x06\x09\x65", 0, false, false},
      {"no end tag", "\x06\x01\x65", 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string body = std::string("PT\0", 3) + c.flags;
    if (c.flags & 2) body += std::string(4, '\x13');  // skipped, never taken as a tag
    std::vector<unsigned char> h = bytesof(chunk("SCHl", body + c.tags));
    const size_t before = h.size();
    ASSERT_EQ(stream_setreverb(h, 100), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(h.size(), before + (c.grows ? 4 : 0));
    EXPECT_EQ(h[4] | h[5] << 8, static_cast<int>(h.size()));
    AUDIOSTREAMHEADER header;
    ASSERT_EQ(AUDIOSTREAM_parseheader(h.data(), h.size(), &header), AUDIOSTREAM_OK);
    EXPECT_EQ(header.reverb, 100);
  }
}

}  // namespace
