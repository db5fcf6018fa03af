#include "app/clipboard/ClipboardRecorderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/FileUtil.h"

namespace pallix {

Result<std::unique_ptr<ClipboardRecorderLock>> ClipboardRecorderLock::acquire(const DataDirectories& dirs) {
  PALLIX_RETURN_IF_ERROR(createPrivateDirectory(dirs.data));
  const std::string path = dirs.data + "/" + kFileName;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Error::fromErrno("Cannot open the clipboard lock " + path, errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return Error::make("another process is already recording the clipboard (lock " + path + ")");
  }
  return std::unique_ptr<ClipboardRecorderLock>(new ClipboardRecorderLock(fd));
}

ClipboardRecorderLock::~ClipboardRecorderLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace pallix
