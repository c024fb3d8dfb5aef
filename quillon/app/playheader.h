// The header chunk of an SND stream file as quillon play looks at it before playing: found
// among the file's chunks, and given another reverb amount.
#pragma once

#include <cstdint>
#include <istream>
#include <vector>

// The file's first header chunk, whole (a chunk is its 4-byte id, its 4-byte little-endian size,
// which counts those 8 bytes, and its body), and where it starts.
struct STREAMHEADERCHUNK {
  std::vector<unsigned char> bytes;
  std::streamoff offset = -1;
  uint32_t size = 0;  // as the chunk gives it
};

// Walks the chunks from the start to the first SCHl. False when there is none (not a stream, or
// a chunk size that leads nowhere).
bool stream_findheader(std::istream& in, STREAMHEADERCHUNK* h);

// True when the file's chunks run cleanly to its end and no data chunk among them holds samples:
// such a stream plays nothing, and its item would wait for data that never comes. A chunk that
// does not fit is left for the player to judge.
bool stream_playsnothing(std::istream& in);

// The header chunk with its reverb amount (tag 0x13) set to `reverb`: a tag already there gets
// the new value, else one is put right after the patch header with a pad tag that keeps the
// chunk a multiple of 4 bytes. False when the tags cannot be followed.
bool stream_setreverb(std::vector<unsigned char>& chunk, int reverb);
