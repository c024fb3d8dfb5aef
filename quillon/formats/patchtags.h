// The tag bytes of the patch header that SND streams, patches and banks share: each value tag
// is followed by its length and big-endian value; the markers 0xFC to 0xFF need none.
#pragma once

#include <cstdint>

enum PatchTag : uint8_t {
  kTagFlags = 0x00,
  kTagBankWord = 0x24,
  kTagUserData = 0x14,
  kTagStreamRate = 0x1B,
  kTagChannelsGeneral = 0x0B,
  kTagRevision = 0x80,
  kTagBits = 0x81,
  kTagChannels = 0x82,
  kTagCompression = 0x83,
  kTagRate = 0x84,
  kTagSamples = 0x85,
  kTagLoopStart = 0x86,
  kTagLoopEnd = 0x87,
  kTagDataOffset = 0x88,
  kTagPsxReserved = 0x8A,
  kTagPlayLoc = 0x8C,
  kTagSideData = 0x98,  // + channel
  kTagAngle = 0x9C,     // + channel
  kTagRep = 0xA0,
  kTagEnvelope = 0x19,
  kTagPad = 0xFC,
  kTagPlatformSection = 0xFD,
  kTagNextTimbre = 0xFE,
  kTagEnd = 0xFF,
};
inline constexpr uint8_t kScalingTableTags[4] = {0x12, 0x17, 0x1D, 0x20};
inline constexpr uint8_t kDataOffsetTags[4] = {0x88, 0x89, 0x94, 0x95};
