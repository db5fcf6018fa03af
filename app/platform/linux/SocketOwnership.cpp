#include "app/platform/linux/SocketOwnership.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pallix {

Error singleInstanceError(SingleInstanceErrorCode code, std::string description) {
  ErrorCode canonical = ErrorCode::internal;
  switch (code) {
    case kSocketPathTooLong:
      canonical = ErrorCode::invalidArgument;
      break;
    case kHolderDidNotEnd:
      canonical = ErrorCode::busy;
      break;
    case kEndedWithoutAnswer:
    case kNobodyListens:
    case kAgentSilent:
      canonical = ErrorCode::unavailable;
      break;
    case kNotOwnedByUser:
      canonical = ErrorCode::permission;
      break;
  }
  return Error(kSingleInstanceErrorDomain, code, std::move(description), canonical);
}
namespace {

std::string octal(mode_t mode) {
  char out[8];
  std::snprintf(out, sizeof(out), "%04o", static_cast<unsigned>(mode & 07777));
  return out;
}

Error notOwned(const std::string& what) {
  return singleInstanceError(kNotOwnedByUser, what);
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

Status checkPrivateFolder(const std::string& path, const struct stat& st, uid_t uid) {
  if (!S_ISDIR(st.st_mode)) return notOwned("The socket folder " + path + " is not a folder");
  if (st.st_uid != uid) {
    return notOwned("The socket folder " + path + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
                    std::to_string(uid) + "; set XDG_RUNTIME_DIR to a folder of your own");
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    return notOwned("The socket folder " + path + " is writable by other users (mode " + octal(st.st_mode) +
                    "); make it 0700 or set XDG_RUNTIME_DIR to a private folder");
  }
  return okStatus();
}

Status checkOwnSocket(const std::string& path, const struct stat& st, uid_t uid) {
  if (!S_ISSOCK(st.st_mode)) return notOwned(path + " is not a socket");
  if (st.st_uid != uid) {
    return notOwned("The socket " + path + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
                    std::to_string(uid));
  }
  return okStatus();
}

Status checkSocketLocation(const std::string& socketPath) {
  const uid_t uid = ::geteuid();
  const std::string folder = parentOf(socketPath);
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    return singleInstanceError(kNobodyListens, "No Pallix agent answers on " + socketPath +
                                                   ": its folder cannot be read (" +
                                                   Error::fromErrno(folder, errno).description() + ")");
  }
  PALLIX_RETURN_IF_ERROR(checkPrivateFolder(folder, st, uid));
  if (::lstat(socketPath.c_str(), &st) != 0) {
    if (errno == ENOENT) return okStatus();
    return Error::fromErrno("Cannot inspect the socket " + socketPath, errno);
  }
  return checkOwnSocket(socketPath, st, uid);
}

Result<PeerCredentials> peerCredentials(int fd) {
  struct ucred credentials {};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return Error::fromErrno("Cannot read the credentials of the process at the other end of the socket", errno);
  }
  return PeerCredentials{credentials.pid, credentials.uid};
}

}  // namespace pallix
