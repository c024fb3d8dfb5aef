// Test oracle: a literal, unoptimised transcription of the LZ77 compressor's algorithm (byte
// by byte, no quick tests, one empty block per slot at the start). The tests check that the
// real compressor writes exactly the same stream.
#pragma once

#include <cstdint>
#include <vector>

std::vector<std::uint8_t> lz77_reference_compress(const std::vector<std::uint8_t>& data);
