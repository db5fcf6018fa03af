// SocketOwnership: the checks that keep the instance socket between
// processes of one user. A runtime folder that another user owns or may
// write into lets that user put a socket of their own at the agent's name, so
// both ends refuse such a folder (and a socket another user owns), and each
// end checks the uid of the process at the other end of the connection.
//
// Pure functions over stat results, plus the two that call lstat() and
// getsockopt(SO_PEERCRED); safe on any thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "core/Error.h"

namespace pallix {

inline constexpr const char* kSingleInstanceErrorDomain = "SingleInstanceError";

// The codes of kSingleInstanceErrorDomain errors.
enum SingleInstanceErrorCode : int {
  kSocketPathTooLong = 1,
  kHolderDidNotEnd = 2,
  kEndedWithoutAnswer = 3,
  kNobodyListens = 4,
  kAgentSilent = 5,
  kNotOwnedByUser = 6,
};

// An error of kSingleInstanceErrorDomain with its canonical code: no agent
// listening, or one that went silent or away, is "unavailable"; a socket of
// another user "permission"; a holder that did not end "busy".
Error singleInstanceError(SingleInstanceErrorCode code, std::string description);

// Fails unless `st` (lstat of the folder `path`) is a folder owned by `uid`
// that neither its group nor others may write to.
Status checkPrivateFolder(const std::string& path, const struct stat& st, uid_t uid);
// Fails unless `st` (lstat of `path`) is a socket owned by `uid`.
Status checkOwnSocket(const std::string& path, const struct stat& st, uid_t uid);

// The folder holding `socketPath` and, when it exists, the socket itself,
// checked for the current user. A missing socket is fine (nobody listens).
Status checkSocketLocation(const std::string& socketPath);

// The process at the other end of the connected socket `fd`.
struct PeerCredentials {
  pid_t pid;
  uid_t uid;
};
Result<PeerCredentials> peerCredentials(int fd);

}  // namespace pallix
