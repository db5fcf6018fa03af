#include "core/Error.h"

#include <cstring>

namespace pallix {

Error Error::fromErrno(const std::string& what, int errnum) {
  return Error("POSIX", errnum, what + ": " + std::strerror(errnum));
}

}  // namespace pallix
