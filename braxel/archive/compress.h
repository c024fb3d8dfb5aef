// Compressed streams of the game: the 5-byte header, the decoders of the LZ77 command stream
// (type 0x10), the Huffman variant (type 0x30) and the byte-pair variant (type 0x46), the LZ77
// compressor with its match table, the literal-only wrapper and the -compress/-decompress
// commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Stream types the program recognises (byte 0 of the header; byte 1 is kStreamMagic).
// The streams are named by their first two bytes (10FB, 30FB, 46FB, like the C0FB archive).
inline constexpr std::uint8_t kStreamLz77 = 0x10;
inline constexpr std::uint8_t kStreamHuffman = 0x30;
inline constexpr std::uint8_t kStreamBytePair = 0x46;
inline constexpr std::uint8_t kStreamMagic = 0xFB;
inline constexpr int kStreamHeaderSize = 5;
// The size field is 24 bits wide.
inline constexpr std::int64_t kMaxStreamSize = 0xFFFFFF;

// Outcome of decoding one stream.
enum class DecodeStatus {
  kOk = 0,
  kNotCompressed,  // no recognised header
  kTooLarge,       // declared size is more than the input can expand to
  kTruncated,      // the input ends inside the stream
  kBadOffset,      // a copy reaches before the start of the output
  kOverrun,        // the stream produces more than the declared size
  kShort,          // the stream ends before it has produced the declared size
  kBadTable,       // a code table (Huffman lengths/symbols, byte-pair nesting) is invalid
};

// A short English text for a status ("copy offset before the start of the output", ...).
const char* decode_status_text(DecodeStatus status);

// True and the decompressed size when buf (length bytes) starts with a recognised header.
bool stream_is_compressed(const std::uint8_t* buf, std::int64_t length, std::int32_t* size);

// The three decoders. Each reads only in, writes only out (whose size is the declared size
// from the header) and refuses anything that would leave either. A stream must produce exactly
// out's size: one that stops earlier is kShort, since the rest would be made up.
DecodeStatus decode_lz77(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
DecodeStatus decode_huffman(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
DecodeStatus decode_bytepair(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// Decodes a whole stream (header included) into out; checks the declared size against what
// the input can expand to before allocating.
DecodeStatus stream_decode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);

// decompress: buf holds *size bytes taken from the console services. When they start with a
// recognised header, gives a new console block with the decoded data (plus 32 spare bytes),
// sets *size to the decompressed size and releases buf when release_input is set. Otherwise
// gives null and leaves buf alone. A corrupt stream gives null with *status set when status is
// given, and is a fatal error when it is not.
std::uint8_t* stream_decompress(std::uint8_t* buf, std::int32_t* size, int release_input,
                                DecodeStatus* status = nullptr);

// compress: takes ownership of buf (*size bytes from the console services) and releases it;
// gives a new console block holding the stream and sets *size to its size. Runs the real
// compressor and its self-test when the real compression option is on, the literal-only
// wrapper otherwise.
std::uint8_t* stream_compress(std::uint8_t* buf, std::int32_t* size);

// The real compressor over n bytes, appending the stream to out. With report set it prints
// the progress line and the closing size line through the console services.
void lz77_compress(const std::uint8_t* data, std::int64_t n, std::vector<std::uint8_t>& out, bool report);

// The same stream, with the part from `split` on parsed ahead by a second thread (0: one thread).
// lz77_compress splits large inputs in the middle; the tests choose other points. Gives the
// position from which the second thread's parse was used, or -1 when it was not.
std::int64_t lz77_compress_split(const std::uint8_t* data, std::int64_t n, std::vector<std::uint8_t>& out,
                                 bool report, std::int64_t split);

// The literal-only stream over n bytes (n a multiple of 4), appended to out.
void literal_wrap(const std::uint8_t* data, std::int64_t n, std::vector<std::uint8_t>& out);

// The commands "-compress" and "-decompress". Give the run's exit status.
int command_compress(const char* source, const char* destination);
int command_decompress(const char* source, const char* destination);
