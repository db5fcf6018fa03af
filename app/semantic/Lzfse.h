// Lzfse: LZFSE compression of the embedding-store files, through the
// reference library (app/semantic/lzfse/).
//
// Writing. The data is cut into 64 KiB pieces, each encoded by the reference
// encoder on its own; the pieces' blocks are joined and closed by one
// end-of-stream block. The result is a plain LZFSE stream that any LZFSE
// decoder reads, and no match in it reaches back before the 64 KiB piece it
// sits in, so a decoder needs no history beyond its 64 KiB output buffer.
//
// Reading. The decoder streams through a 64 KiB input and a 64 KiB output
// buffer (plus the library's decoder state, about 50 KiB). A stream written
// elsewhere may reach up to 256 KiB back; when the small window fails, the
// stream is decoded once more from the start with a 256 KiB history. Blocks
// larger than the input buffer (never written here) grow it up to 1 MiB.
//
// Stateless functions; safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/Error.h"

namespace pallix::lzfse {

inline constexpr std::size_t kPieceSize = 64 * 1024;
inline constexpr std::size_t kStreamBufferSize = 64 * 1024;
// The farthest back an LZFSE match can reach (the format's largest distance is 262,139).
inline constexpr std::size_t kFullHistory = 256 * 1024;

// Error domain "LZFSEStreamError" for streams that cannot be decoded.
struct StreamError {
  static constexpr const char* kDomain = "LZFSEStreamError";
  enum Code { initFailed = 1, incomplete, invalidData, sourceUnreadable };
};

// What one streamed decode did.
struct DecodeStats {
  uint64_t compressedBytes = 0;  // input consumed
  uint64_t decodedBytes = 0;     // output produced
  std::size_t bufferBytes = 0;   // input + output buffers held (the decoder state excluded)
  bool neededFullHistory = false;
};

// Encodes `data` in memory; nullopt when the stream would not fit in
// `capacity` bytes or the encoder failed.
std::optional<std::string> encode(std::string_view data, std::size_t capacity);

// The outcome of encoding a file into another.
enum class FileEncodeOutcome { written, wouldNotFit, encoderFailed };

// Encodes the file `sourcePath` into `destinationPath` piece by piece, never
// writing more than `capacity` bytes. A source that cannot be opened or read
// fails with StreamError::sourceUnreadable, a destination that cannot be
// written with the system's error; on any outcome but `written` the
// destination is removed.
Result<FileEncodeOutcome> encodeFile(const std::string& sourcePath, const std::string& destinationPath,
                                     uint64_t capacity, uint64_t* encodedSize = nullptr);

// Reads up to `capacity` bytes into `buffer`; returns the count (0 at the end) or an error.
using Reader = std::function<Result<std::size_t>(uint8_t* buffer, std::size_t capacity)>;
// Takes decoded bytes.
using Writer = std::function<Status(const uint8_t* data, std::size_t size)>;
// Starts the input and the output over (for the full-history retry).
using Rewind = std::function<Status()>;

// Streams a decode from `read` to `write`. With `stopAfter`, stops once that
// many bytes were produced (a header read). Failures: "stream init failed",
// "decompression incomplete: wrote N bytes from M compressed bytes" (the input
// ended early), "invalid LZFSE data after M compressed bytes".
Result<DecodeStats> decodeStream(const Reader& read, const Writer& write, const Rewind& rewind,
                                 std::optional<uint64_t> stopAfter = std::nullopt);

// The file `sourcePath` decoded into `destinationPath` (created or truncated).
Result<DecodeStats> decodeFile(const std::string& sourcePath, const std::string& destinationPath);
// The file `sourcePath` decoded into memory.
Result<std::string> decodeFileToString(const std::string& sourcePath, DecodeStats* stats = nullptr);
// The first `count` decoded bytes of `sourcePath` (fewer when the stream is shorter).
Result<std::string> decodeFilePrefix(const std::string& sourcePath, std::size_t count);
// `data` decoded in memory through the same streamed decoder.
Result<std::string> decode(std::string_view data);

}  // namespace pallix::lzfse
