#include "core/Error.h"

#include <cerrno>
#include <cstring>

namespace pallix {

const char* errorCodeName(ErrorCode code) {
  switch (code) {
    case ErrorCode::internal:
      return "internal";
    case ErrorCode::notFound:
      return "not found";
    case ErrorCode::invalidArgument:
      return "invalid argument";
    case ErrorCode::busy:
      return "busy";
    case ErrorCode::damaged:
      return "damaged";
    case ErrorCode::unavailable:
      return "unavailable";
    case ErrorCode::cancelled:
      return "cancelled";
    case ErrorCode::permission:
      return "permission";
  }
  return "internal";
}

ErrorCode errorCodeForErrno(int errnum) {
  switch (errnum) {
    case ENOENT:
    case ENOTDIR:
    case ESRCH:
      return ErrorCode::notFound;
    case EINVAL:
    case ENAMETOOLONG:
    case EISDIR:
    case ELOOP:
      return ErrorCode::invalidArgument;
    case EBUSY:
    case EAGAIN:
    case ETXTBSY:
      return ErrorCode::busy;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorCode::permission;
    case EINTR:
    case ECANCELED:
      return ErrorCode::cancelled;
    case EIO:
    case EBADMSG:
      return ErrorCode::damaged;
    case ENOSPC:
    case EDQUOT:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ECONNREFUSED:
    case ENODEV:
    case ENXIO:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT:
      return ErrorCode::unavailable;
    default:
      return ErrorCode::internal;
  }
}

Error Error::fromErrno(const std::string& what, int errnum) {
  return Error("POSIX", errnum, what + ": " + std::strerror(errnum), errorCodeForErrno(errnum));
}

}  // namespace pallix
