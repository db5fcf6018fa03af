#include "app/platform/RequestSpacing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pallix {

namespace {

using Micros = std::chrono::microseconds;

Error fileError(const std::string& what, const std::string& path) {
  return Error::make("Cannot " + what + " " + path + ": " + std::strerror(errno));
}

// Closes the descriptor (which releases its flock) on every path out.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Date InProcessRequestSpacing::claim(Date now) {
  std::lock_guard<std::mutex> lock(mutex_);
  Date slot = now;
  if (last_) {
    const Date next = *last_ + std::chrono::duration_cast<Date::duration>(interval_);
    if (next > now && next - now <= kMaximumWait) slot = next;
  }
  last_ = slot;
  return slot;
}

LockFileRequestSpacing::LockFileRequestSpacing(std::string path, Duration interval)
    : path_(std::move(path)), interval_(interval), fallback_(interval) {}

Date LockFileRequestSpacing::claim(Date now) {
  Result<Date> slot = claimInFile(now);
  if (slot.ok()) return slot.value();
  std::call_once(loggedFailure_, [&] {
    logger_.error("Request spacing falls back to this process alone: %s", slot.error().description().c_str());
  });
  return fallback_.claim(now);
}

Result<Date> LockFileRequestSpacing::claimInFile(Date now) {
  Descriptor file;
  file.fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (file.fd < 0) return fileError("open", path_);
  int locked;
  do {
    locked = ::flock(file.fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return fileError("lock", path_);
  char text[32] = {};
  const ssize_t n = ::pread(file.fd, text, sizeof text - 1, 0);
  if (n < 0) return fileError("read", path_);
  // The file holds the last claimed start as microseconds since 1970; anything else reads as no earlier request.
  Date slot = now;
  char* end = nullptr;
  errno = 0;
  const long long stored = std::strtoll(text, &end, 10);
  // Compared in microseconds: a damaged value may not fit the clock's own unit.
  const long long nowMicros = std::chrono::duration_cast<Micros>(now.time_since_epoch()).count();
  const long long intervalMicros = std::chrono::duration_cast<Micros>(interval_).count();
  const long long maximumWaitMicros = std::chrono::duration_cast<Micros>(kMaximumWait).count();
  if (n > 0 && end != text && errno == 0 && stored > nowMicros - intervalMicros &&
      stored <= nowMicros + maximumWaitMicros - intervalMicros) {
    slot = Date(std::chrono::duration_cast<Date::duration>(Micros(stored + intervalMicros)));
  }
  const std::string written =
      std::to_string(std::chrono::duration_cast<Micros>(slot.time_since_epoch()).count()) + "\n";
  if (::ftruncate(file.fd, 0) != 0) return fileError("truncate", path_);
  if (::pwrite(file.fd, written.data(), written.size(), 0) != static_cast<ssize_t>(written.size())) {
    return fileError("write", path_);
  }
  return slot;
}

}  // namespace pallix
