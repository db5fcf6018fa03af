#include "app/semantic/Lzfse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "app/semantic/lzfse/LzfseStream.h"
#include "core/FileUtil.h"

namespace pallix::lzfse {
namespace {

constexpr uint8_t kEndOfStream[4] = {'b', 'v', 'x', '$'};
constexpr std::size_t kMaxInputBuffer = 1024 * 1024;

Error streamError(StreamError::Code code, const std::string& description) {
  return Error(StreamError::kDomain, code, description);
}

// An open file descriptor, closed on destruction.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { close(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; returns the close error, if any.
  int close() {
    int err = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) err = errno;
    fd_ = -1;
    return err;
  }

 private:
  int fd_ = -1;
};

Result<std::size_t> readSome(int fd, uint8_t* buffer, std::size_t capacity, const std::string& path) {
  std::size_t total = 0;
  while (total < capacity) {
    ssize_t n = ::read(fd, buffer + total, capacity - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno("Cannot read " + path, errno);
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  return total;
}

Status writeAll(int fd, const uint8_t* data, std::size_t size, const std::string& path) {
  std::size_t written = 0;
  while (written < size) {
    ssize_t n = ::write(fd, data + written, size - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno("Cannot write " + path, errno);
    }
    written += static_cast<std::size_t>(n);
  }
  return okStatus();
}

// Encodes one piece; the piece's blocks without their end-of-stream block.
std::optional<std::string> encodePiece(const uint8_t* data, std::size_t size, std::vector<uint8_t>& scratch,
                                       std::vector<uint8_t>& out) {
  // Room for the raw-block fallback (8-byte header, data, end marker) and more.
  out.resize(size + 64);
  const std::size_t n = pallix_lzfse_encode_buffer(out.data(), out.size(), data, size, scratch.data());
  if (n < sizeof(kEndOfStream) || std::memcmp(out.data() + n - 4, kEndOfStream, 4) != 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out.data()), n - 4);
}

struct Decoder {
  std::unique_ptr<pallix_lzfse_stream, void (*)(pallix_lzfse_stream*)> stream{nullptr, pallix_lzfse_stream_destroy};
};

// One pass of the streamed decode with `history` bytes kept in front of the output.
Result<DecodeStats> decodePass(const Reader& read, const Writer& write, std::size_t history,
                               std::optional<uint64_t> stopAfter) {
  Decoder decoder;
  decoder.stream.reset(pallix_lzfse_stream_create());
  if (!decoder.stream) return streamError(StreamError::initFailed, "stream init failed");
  std::vector<uint8_t> input(kStreamBufferSize);
  std::vector<uint8_t> output(history + kStreamBufferSize);
  std::size_t inputLength = 0;
  bool inputEnded = false;
  std::size_t position = 0;  // write position in `output`
  DecodeStats stats;
  uint64_t consumed = 0;

  while (true) {
    if (!inputEnded && inputLength < input.size()) {
      auto n = read(input.data() + inputLength, input.size() - inputLength);
      if (!n.ok()) return n.error();
      if (n.value() == 0) inputEnded = true;
      inputLength += n.value();
    }
    std::size_t used = 0;
    std::size_t written = 0;
    const int status = pallix_lzfse_stream_decode(decoder.stream.get(), input.data(), inputLength, &used, output.data(),
                                                  output.data() + position, output.data() + output.size(), &written);
    consumed += used;
    std::memmove(input.data(), input.data() + used, inputLength - used);
    inputLength -= used;
    if (written > 0) {
      std::size_t take = written;
      if (stopAfter) take = static_cast<std::size_t>(std::min<uint64_t>(take, *stopAfter - stats.decodedBytes));
      PALLIX_RETURN_IF_ERROR(write(output.data() + position, take));
      stats.decodedBytes += take;
      position += written;
    }
    stats.compressedBytes = consumed;
    stats.bufferBytes = input.size() + output.size();
    if (stopAfter && stats.decodedBytes >= *stopAfter) return stats;

    switch (status) {
      case PALLIX_LZFSE_STREAM_END:
        return stats;
      case PALLIX_LZFSE_STREAM_OUTPUT_FULL: {
        const std::size_t keep = std::min(history, position);
        std::memmove(output.data(), output.data() + position - keep, keep);
        position = keep;
        break;
      }
      case PALLIX_LZFSE_STREAM_NEED_INPUT:
        if (inputEnded) {
          return streamError(StreamError::incomplete, "decompression incomplete: wrote " +
                                                          std::to_string(stats.decodedBytes) + " bytes from " +
                                                          std::to_string(consumed + inputLength) + " compressed bytes");
        }
        if (inputLength == input.size()) {
          // A block larger than the buffer must be present whole.
          if (input.size() >= kMaxInputBuffer) {
            return streamError(StreamError::invalidData, "invalid LZFSE data after " + std::to_string(consumed) +
                                                             " compressed bytes: block larger than " +
                                                             std::to_string(kMaxInputBuffer) + " bytes");
          }
          input.resize(input.size() * 2);
        }
        break;
      default:
        return streamError(StreamError::invalidData,
                           "invalid LZFSE data after " + std::to_string(consumed) + " compressed bytes");
    }
  }
}

}  // namespace

std::optional<std::string> encode(std::string_view data, std::size_t capacity) {
  std::vector<uint8_t> scratch(pallix_lzfse_encode_scratch_size() + 1);
  std::vector<uint8_t> out;
  std::string stream;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (std::size_t at = 0; at < data.size(); at += kPieceSize) {
    auto piece = encodePiece(bytes + at, std::min(kPieceSize, data.size() - at), scratch, out);
    if (!piece || stream.size() + piece->size() + 4 > capacity) return std::nullopt;
    stream += *piece;
  }
  if (stream.size() + 4 > capacity) return std::nullopt;
  stream.append(reinterpret_cast<const char*>(kEndOfStream), 4);
  return stream;
}

Result<FileEncodeOutcome> encodeFile(const std::string& sourcePath, const std::string& destinationPath,
                                     uint64_t capacity, uint64_t* encodedSize) {
  auto opened = openRegularFile(sourcePath, O_RDONLY);
  if (!opened.ok()) return streamError(StreamError::sourceUnreadable, opened.error().description());
  FileHandle in(opened.value());
  FileHandle out(::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPrivateFileMode));
  if (!out.valid() || ::fchmod(out.get(), kPrivateFileMode) != 0) {
    return Error::fromErrno("Cannot create " + destinationPath, errno);
  }
  auto fail = [&](FileEncodeOutcome outcome) -> Result<FileEncodeOutcome> {
    out.close();
    ::unlink(destinationPath.c_str());
    return outcome;
  };
  auto failWith = [&](const Error& error) -> Result<FileEncodeOutcome> {
    out.close();
    ::unlink(destinationPath.c_str());
    return error;
  };

  std::vector<uint8_t> scratch(pallix_lzfse_encode_scratch_size() + 1);
  std::vector<uint8_t> piece(kPieceSize);
  std::vector<uint8_t> encoded;
  uint64_t total = 0;
  while (true) {
    auto n = readSome(in.get(), piece.data(), piece.size(), sourcePath);
    if (!n.ok()) return failWith(streamError(StreamError::sourceUnreadable, n.error().description()));
    if (n.value() == 0) break;
    auto blocks = encodePiece(piece.data(), n.value(), scratch, encoded);
    if (!blocks) return fail(FileEncodeOutcome::encoderFailed);
    if (total + blocks->size() + 4 > capacity) return fail(FileEncodeOutcome::wouldNotFit);
    Status wrote =
        writeAll(out.get(), reinterpret_cast<const uint8_t*>(blocks->data()), blocks->size(), destinationPath);
    if (!wrote.ok()) return failWith(wrote.error());
    total += blocks->size();
  }
  if (total + 4 > capacity) return fail(FileEncodeOutcome::wouldNotFit);
  Status wrote = writeAll(out.get(), kEndOfStream, 4, destinationPath);
  if (!wrote.ok()) return failWith(wrote.error());
  total += 4;
  if (::fsync(out.get()) != 0) return failWith(Error::fromErrno("Cannot flush " + destinationPath, errno));
  if (int err = out.close(); err != 0) {
    ::unlink(destinationPath.c_str());
    return Error::fromErrno("Cannot close " + destinationPath, err);
  }
  if (encodedSize) *encodedSize = total;
  return FileEncodeOutcome::written;
}

Result<DecodeStats> decodeStream(const Reader& read, const Writer& write, const Rewind& rewind,
                                 std::optional<uint64_t> stopAfter) {
  auto first = decodePass(read, write, 0, stopAfter);
  if (first.ok() || first.error().domain() != StreamError::kDomain || first.error().code() != StreamError::invalidData)
    return first;
  // Perhaps a stream from another writer whose matches reach further back.
  PALLIX_RETURN_IF_ERROR(rewind());
  auto second = decodePass(read, write, kFullHistory, stopAfter);
  if (!second.ok()) return first.error();
  second.value().neededFullHistory = true;
  return second;
}

Result<DecodeStats> decodeFile(const std::string& sourcePath, const std::string& destinationPath) {
  PALLIX_ASSIGN_OR_RETURN(int source, openRegularFile(sourcePath, O_RDONLY));
  FileHandle in(source);
  FileHandle out(::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPrivateFileMode));
  if (!out.valid() || ::fchmod(out.get(), kPrivateFileMode) != 0) {
    return Error::fromErrno("Cannot create " + destinationPath, errno);
  }
  auto stats = decodeStream(
      [&](uint8_t* buffer, std::size_t capacity) { return readSome(in.get(), buffer, capacity, sourcePath); },
      [&](const uint8_t* data, std::size_t size) { return writeAll(out.get(), data, size, destinationPath); },
      [&]() -> Status {
        if (::lseek(in.get(), 0, SEEK_SET) != 0 || ::ftruncate(out.get(), 0) != 0 ||
            ::lseek(out.get(), 0, SEEK_SET) != 0) {
          return Error::fromErrno("Cannot rewind " + sourcePath, errno);
        }
        return okStatus();
      });
  if (!stats.ok()) return stats.error();
  if (int err = out.close(); err != 0) return Error::fromErrno("Cannot close " + destinationPath, err);
  return stats;
}

Result<std::string> decodeFileToString(const std::string& sourcePath, DecodeStats* statsOut) {
  PALLIX_ASSIGN_OR_RETURN(int source, openRegularFile(sourcePath, O_RDONLY));
  FileHandle in(source);
  std::string out;
  struct stat st {};
  // Item files shrink to about 60 %: start with room for twice the stream.
  if (::fstat(in.get(), &st) == 0) out.reserve(std::size_t(st.st_size) * 2);
  auto stats = decodeStream(
      [&](uint8_t* buffer, std::size_t capacity) { return readSome(in.get(), buffer, capacity, sourcePath); },
      [&](const uint8_t* data, std::size_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
        return okStatus();
      },
      [&]() -> Status {
        out.clear();
        if (::lseek(in.get(), 0, SEEK_SET) != 0) return Error::fromErrno("Cannot rewind " + sourcePath, errno);
        return okStatus();
      });
  if (!stats.ok()) return stats.error();
  if (statsOut) *statsOut = stats.value();
  return out;
}

Result<std::string> decodeFilePrefix(const std::string& sourcePath, std::size_t count) {
  PALLIX_ASSIGN_OR_RETURN(int source, openRegularFile(sourcePath, O_RDONLY));
  FileHandle in(source);
  std::string prefix;
  auto stats = decodeStream(
      [&](uint8_t* buffer, std::size_t capacity) {
        // Small reads: the header sits in the first block.
        return readSome(in.get(), buffer, std::min<std::size_t>(capacity, 4096), sourcePath);
      },
      [&](const uint8_t* data, std::size_t size) {
        prefix.append(reinterpret_cast<const char*>(data), size);
        return okStatus();
      },
      [&]() -> Status {
        prefix.clear();
        if (::lseek(in.get(), 0, SEEK_SET) != 0) return Error::fromErrno("Cannot rewind " + sourcePath, errno);
        return okStatus();
      },
      count);
  if (!stats.ok()) return stats.error();
  return prefix;
}

Result<std::string> decode(std::string_view data) {
  std::size_t offset = 0;
  std::string out;
  auto stats = decodeStream(
      [&](uint8_t* buffer, std::size_t capacity) -> Result<std::size_t> {
        const std::size_t n = std::min(capacity, data.size() - offset);
        if (n > 0) std::memcpy(buffer, data.data() + offset, n);
        offset += n;
        return n;
      },
      [&](const uint8_t* bytes, std::size_t size) {
        out.append(reinterpret_cast<const char*>(bytes), size);
        return okStatus();
      },
      [&]() -> Status {
        offset = 0;
        out.clear();
        return okStatus();
      });
  if (!stats.ok()) return stats.error();
  return out;
}

}  // namespace pallix::lzfse
